# velm_add_library(<target> DEPENDS <libs...>)
# One static library per source folder: every .cpp and .h of the calling
# folder (not its subfolders) belongs to it. There is one include root,
# src/, so an include names the folder it reaches into ("core/logger.h").
function(velm_add_library target)
    cmake_parse_arguments(ARG "" "" "DEPENDS;SOURCES" ${ARGN})
    file(GLOB _sources CONFIGURE_DEPENDS
         ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c
         ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
    add_library(${target} STATIC ${_sources} ${ARG_SOURCES})
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${target} PUBLIC ${ARG_DEPENDS})
endfunction()

# velm_test_environment(<test> [TIMEOUT <seconds>] [FULL_STACKS])
# Gives a ctest test a HOME of its own so that nothing ever touches the real
# ~/.config/velm, with a config.ini that points every outside address at
# nothing, and the sanitizers' options. The time limit is 300 s unless given.
# FULL_STACKS: the offscreen platform never frees its screen, and what the
# scene graph tied to it (textures of the images a QML page showed) is
# reported as leaked with it; with full stacks tests/lsan.supp recognises
# those (slower, so only for tests that show QML pages with images).
function(velm_test_environment name)
    cmake_parse_arguments(ARG "FULL_STACKS" "TIMEOUT" "" ${ARGN})
    set(_asan "detect_leaks=1:detect_stack_use_after_return=0")
    if(ARG_FULL_STACKS)
        set(_asan "fast_unwind_on_malloc=0:${_asan}")
    endif()
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 300)
    endif()
    set(_home ${CMAKE_BINARY_DIR}/testhome/${name})
    file(MAKE_DIRECTORY ${_home}/run)
    # No test reaches outside: the default config.ini names no STUN server.
    if(NOT EXISTS ${_home}/.config/velm/config.ini)
        file(WRITE ${_home}/.config/velm/config.ini "[Network]\nstunServers=\n")
    endif()
    file(CHMOD ${_home}/run DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
    set_tests_properties(${name} PROPERTIES
        TIMEOUT ${ARG_TIMEOUT}
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QT_QUICK_BACKEND=software;HOME=${_home};XDG_CONFIG_HOME=${_home}/.config;XDG_DATA_HOME=${_home}/.local/share;XDG_CACHE_HOME=${_home}/.cache;XDG_RUNTIME_DIR=${_home}/run;LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp:print_suppressions=0;UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1;ASAN_OPTIONS=${_asan}")
endfunction()

# velm_add_tests([FULL_STACKS] LIBS <libs...>)
# Every tst_*.cpp of the calling folder becomes one QtTest executable and
# one ctest test, each in an environment of its own (velm_test_environment).
function(velm_add_tests)
    cmake_parse_arguments(ARG "FULL_STACKS" "" "LIBS" ${ARGN})
    set(_full)
    if(ARG_FULL_STACKS)
        set(_full FULL_STACKS)
    endif()
    file(GLOB _tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tst_*.cpp)
    foreach(_src ${_tests})
        get_filename_component(_name ${_src} NAME_WE)
        add_executable(${_name} ${_src})
        target_link_libraries(${_name} PRIVATE ${ARG_LIBS} velm_testsupport Qt5::Test)
        add_test(NAME ${_name} COMMAND ${_name})
        velm_test_environment(${_name} ${_full})
    endforeach()
endfunction()

# Adds each listed subdirectory that has a CMakeLists.txt yet.
function(velm_add_subdirectories)
    foreach(_dir ${ARGN})
        if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${_dir}/CMakeLists.txt)
            add_subdirectory(${_dir})
        endif()
    endforeach()
endfunction()

# Includes every *.cmake fragment of the calling folder (fuzz and bench targets).
function(velm_include_fragments)
    file(GLOB _fragments CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cmake)
    foreach(_fragment ${_fragments})
        include(${_fragment})
    endforeach()
endfunction()

if(TARGET velm_desktop)
    velm_add_fuzzer(fuzz_desktopexec ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_desktopexec.cpp LIBS velm_desktop)
endif()

# The file-system client taking arbitrary replies. The client and the
# protocol sources are built with coverage instrumentation for this target.
set(_vfs ${PROJECT_SOURCE_DIR}/src/vfs)
add_library(fuzz_vfsclient_sources STATIC
    ${_vfs}/vfsclient.cpp ${_vfs}/vfsclient.h
    ${_vfs}/vfsclientvelm.cpp ${_vfs}/vfsclientvelm.h
    ${_vfs}/vfsdrive.cpp ${_vfs}/vfsentryname.cpp
    ${_vfs}/vfsmirkcommand.cpp ${_vfs}/vfsmirkcommandparser.cpp ${_vfs}/vfsmirkcommandparser.h
    ${_vfs}/vfsmirkcommandwriter.cpp ${_vfs}/vfsmirkframewriter.cpp
    ${_vfs}/vfsmirklistentry.cpp ${_vfs}/vfsmirklistpagewriter.cpp)
target_include_directories(fuzz_vfsclient_sources PUBLIC ${_vfs})
target_compile_options(fuzz_vfsclient_sources PRIVATE -fsanitize=fuzzer-no-link)
target_link_libraries(fuzz_vfsclient_sources PUBLIC velm_com velm_core Qt5::Core)

velm_add_fuzzer(fuzz_vfsclient ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_vfsclient.cpp
                LIBS fuzz_vfsclient_sources)

file(GLOB _vfsclient_seeds ${CMAKE_CURRENT_SOURCE_DIR}/corpus/fuzz_vfsclient/*)
if(_vfsclient_seeds)
    file(COPY ${_vfsclient_seeds} DESTINATION ${CMAKE_CURRENT_BINARY_DIR}/corpus/fuzz_vfsclient)
endif()

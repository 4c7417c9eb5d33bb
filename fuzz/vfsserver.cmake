# The file-system server of a paired peer taking arbitrary requests. The
# server, its path guard and the protocol are built with coverage
# instrumentation for this target.
set(_vfs ${PROJECT_SOURCE_DIR}/src/vfs)
add_library(vfsserver_sources STATIC
    ${_vfs}/vfsservervelm.cpp ${_vfs}/vfsservervelm.h
    ${_vfs}/vfspathguard.cpp ${_vfs}/vfsfileoperations.cpp ${_vfs}/vfsfiletimes.cpp
    ${_vfs}/vfsopenfile.cpp ${_vfs}/vfsopenfiletable.cpp ${_vfs}/vfsaccesstest.cpp
    ${_vfs}/vfstrash.cpp ${_vfs}/vfstrashgio.cpp
    ${_vfs}/vfsmirkcommand.cpp ${_vfs}/vfsmirkcommandparser.cpp ${_vfs}/vfsmirkcommandparser.h
    ${_vfs}/vfsmirkcommandwriter.cpp ${_vfs}/vfsmirkframewriter.cpp
    ${_vfs}/vfsmirklistentry.cpp ${_vfs}/vfsmirklistpagewriter.cpp
    ${_vfs}/vfswatcher.cpp ${_vfs}/vfswatcher.h ${_vfs}/idriveplatform.h
    ${_vfs}/driveplatformlinux.cpp ${_vfs}/driveplatformlinux.h ${_vfs}/giovolumemonitor.cpp)
target_include_directories(vfsserver_sources PUBLIC ${_vfs})
target_compile_options(vfsserver_sources PRIVATE -fsanitize=fuzzer-no-link)
target_link_libraries(vfsserver_sources PUBLIC velm_com velm_core Qt5::Core Qt5::Concurrent
                      PkgConfig::GIO)

velm_add_fuzzer(vfsserver ${CMAKE_CURRENT_SOURCE_DIR}/vfsserver.cpp LIBS vfsserver_sources
                RUNS 2000)

file(GLOB _vfsserver_seeds ${CMAKE_CURRENT_SOURCE_DIR}/corpus/vfsserver/*)
if(_vfsserver_seeds)
    file(COPY ${_vfsserver_seeds} DESTINATION ${CMAKE_CURRENT_BINARY_DIR}/corpus/vfsserver)
endif()

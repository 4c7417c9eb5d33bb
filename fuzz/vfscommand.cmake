# The parser's own sources are built with coverage instrumentation for this
# target, so that the fuzzer can steer by the parser's branches.
set(_vfs ${PROJECT_SOURCE_DIR}/src/vfs)
add_library(vfscommand_parser STATIC
    ${_vfs}/vfsmirkcommand.cpp ${_vfs}/vfsmirkcommand.h
    ${_vfs}/vfsmirkcommandparser.cpp ${_vfs}/vfsmirkcommandparser.h
    ${_vfs}/vfsmirklistentry.cpp ${_vfs}/vfsmirklistentry.h)
target_include_directories(vfscommand_parser PUBLIC ${_vfs})
target_compile_options(vfscommand_parser PRIVATE -fsanitize=fuzzer-no-link)
target_link_libraries(vfscommand_parser PUBLIC velm_com velm_core Qt5::Core)

velm_add_fuzzer(vfscommand ${CMAKE_CURRENT_SOURCE_DIR}/vfscommand.cpp LIBS vfscommand_parser)

# Seed the corpus with one frame of every command.
file(GLOB _vfscommand_seeds ${CMAKE_CURRENT_SOURCE_DIR}/corpus/vfscommand/*)
if(_vfscommand_seeds)
    file(COPY ${_vfscommand_seeds} DESTINATION ${CMAKE_CURRENT_BINARY_DIR}/corpus/vfscommand)
endif()

velm_add_fuzzer(fuzz_vfscommand ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_vfscommand.cpp LIBS velm_vfs_protocol)

# The file-system server of a paired peer taking arbitrary requests over a
# temporary share; each input is slow (real files), so the short run is short.
velm_add_fuzzer(fuzz_vfsserver ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_vfsserver.cpp LIBS velm_vfs_server RUNS 2000)

# The file-system client taking arbitrary replies.
velm_add_fuzzer(fuzz_vfsclient ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_vfsclient.cpp LIBS velm_vfs_client)

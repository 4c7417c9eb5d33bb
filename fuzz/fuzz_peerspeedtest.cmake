velm_add_fuzzer(fuzz_peerspeedtest ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_peerspeedtest.cpp LIBS velm_peer)

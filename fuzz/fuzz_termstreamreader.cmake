velm_add_fuzzer(fuzz_termstreamreader ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_termstreamreader.cpp LIBS velm_com)

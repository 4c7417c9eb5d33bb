velm_add_fuzzer(fuzz_endpoint ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_endpoint.cpp LIBS velm_com_link)

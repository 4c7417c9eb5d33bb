velm_add_fuzzer(fuzz_circularbuffer ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_circularbuffer.cpp LIBS velm_com_wire)

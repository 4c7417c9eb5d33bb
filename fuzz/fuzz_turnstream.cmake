velm_add_fuzzer(fuzz_turnstream ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_turnstream.cpp LIBS velm_com_transport)

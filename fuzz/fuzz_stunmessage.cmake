velm_add_fuzzer(fuzz_stunmessage ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_stunmessage.cpp LIBS velm_com_transport)

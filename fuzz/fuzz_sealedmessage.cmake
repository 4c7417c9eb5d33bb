velm_add_fuzzer(fuzz_sealedmessage ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_sealedmessage.cpp LIBS velm_crypto)

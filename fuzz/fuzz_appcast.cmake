velm_add_fuzzer(fuzz_appcast ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_appcast.cpp LIBS velm_update)

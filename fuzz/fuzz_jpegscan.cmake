velm_add_fuzzer(fuzz_jpegscan ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_jpegscan.cpp LIBS velm_imaging)

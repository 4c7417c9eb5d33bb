velm_add_fuzzer(fuzz_exifreader ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_exifreader.cpp LIBS velm_imaging RUNS 3000)

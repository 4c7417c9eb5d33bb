velm_add_fuzzer(fuzz_handshakedto ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_handshakedto.cpp LIBS velm_com_link)

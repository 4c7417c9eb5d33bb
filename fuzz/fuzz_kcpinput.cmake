velm_add_fuzzer(fuzz_kcpinput ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_kcpinput.cpp LIBS velm_com_kcp)

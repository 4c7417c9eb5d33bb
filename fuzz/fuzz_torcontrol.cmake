velm_add_fuzzer(fuzz_torcontrol ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_torcontrol.cpp LIBS velm_com_tor)

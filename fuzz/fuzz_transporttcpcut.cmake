velm_add_fuzzer(fuzz_transporttcpcut ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_transporttcpcut.cpp LIBS velm_com)

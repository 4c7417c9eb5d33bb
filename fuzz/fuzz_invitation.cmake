velm_add_fuzzer(fuzz_invitation ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_invitation.cpp LIBS velm_peer)

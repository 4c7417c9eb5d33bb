velm_add_fuzzer(fuzz_archivelisting ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_archivelisting.cpp LIBS velm_archive)

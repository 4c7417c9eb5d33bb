if(TARGET velm_nodeview)
    velm_add_fuzzer(fuzz_remotepaths ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_remotepaths.cpp LIBS velm_nodeview)
endif()

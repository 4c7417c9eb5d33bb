add_executable(bench_sealing ${CMAKE_CURRENT_SOURCE_DIR}/bench_sealing.cpp)
target_link_libraries(bench_sealing PRIVATE velm_crypto)

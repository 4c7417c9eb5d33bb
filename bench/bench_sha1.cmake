add_executable(bench_sha1 ${CMAKE_CURRENT_SOURCE_DIR}/bench_sha1.cpp)
target_link_libraries(bench_sha1 PRIVATE velm_crypto)

add_executable(bench_kcp ${CMAKE_CURRENT_SOURCE_DIR}/bench_kcp.cpp)
target_link_libraries(bench_kcp PRIVATE velm_com_link)

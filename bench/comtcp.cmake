add_executable(bench_comtcp ${CMAKE_CURRENT_SOURCE_DIR}/comtcp.cpp)
target_link_libraries(bench_comtcp PRIVATE velm_com)

add_executable(bench_comtcp ${CMAKE_CURRENT_SOURCE_DIR}/bench_comtcp.cpp)
target_link_libraries(bench_comtcp PRIVATE velm_com_link)

add_executable(bench_kcprelay ${CMAKE_CURRENT_SOURCE_DIR}/bench_kcprelay.cpp)
target_link_libraries(bench_kcprelay PRIVATE velm_com_link)

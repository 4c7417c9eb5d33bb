add_executable(bench_database ${CMAKE_CURRENT_SOURCE_DIR}/bench_database.cpp)
target_link_libraries(bench_database PRIVATE velm_core)

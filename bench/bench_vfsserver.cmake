add_executable(bench_vfsserver ${CMAKE_CURRENT_SOURCE_DIR}/bench_vfsserver.cpp)
target_link_libraries(bench_vfsserver PRIVATE velm_vfs)

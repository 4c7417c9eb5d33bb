add_executable(bench_vfsserver ${CMAKE_CURRENT_SOURCE_DIR}/vfsserver.cpp)
target_link_libraries(bench_vfsserver PRIVATE velm_vfs)

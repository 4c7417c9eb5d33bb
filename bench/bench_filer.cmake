add_executable(bench_filer ${CMAKE_CURRENT_SOURCE_DIR}/bench_filer.cpp)
target_link_libraries(bench_filer PRIVATE velm_filer velm_vfs_loopback)

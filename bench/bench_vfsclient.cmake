add_executable(bench_vfsclient ${CMAKE_CURRENT_SOURCE_DIR}/bench_vfsclient.cpp)
target_link_libraries(bench_vfsclient PRIVATE velm_vfs)

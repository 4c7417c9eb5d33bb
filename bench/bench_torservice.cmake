add_executable(bench_torservice ${CMAKE_CURRENT_SOURCE_DIR}/bench_torservice.cpp)
target_link_libraries(bench_torservice PRIVATE velm_com_tor)
target_compile_definitions(bench_torservice PRIVATE
    FAKE_TOR_SCRIPT="${PROJECT_SOURCE_DIR}/tests/support/fake_tor.py")

if(TARGET velm_desktop)
    add_executable(bench_applauncher ${CMAKE_CURRENT_SOURCE_DIR}/bench_applauncher.cpp)
    target_link_libraries(bench_applauncher PRIVATE velm_desktop)
endif()

if(NOT VELM_ENGINE_ONLY)
    add_executable(bench_nodeview ${CMAKE_CURRENT_SOURCE_DIR}/bench_nodeview.cpp)
    target_link_libraries(bench_nodeview PRIVATE velm_guitestsupport velm_nodeview)
endif()

# The link with delay and loss of the copy benchmark (bench_copy_netns.py):
# plain C++, no Qt.
add_executable(netdelay ${CMAKE_CURRENT_SOURCE_DIR}/netdelay.cpp)

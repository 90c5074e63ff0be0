# The walker's shell as units: commands, limits, keys, the script, the ring.
add_executable(walker_shell_test walker_shell_test.cpp)
target_link_libraries(walker_shell_test PRIVATE walker_shell e2e_harness GTest::gtest_main)
gtest_discover_tests(walker_shell_test DISCOVERY_TIMEOUT 60)

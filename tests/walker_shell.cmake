# The walker's shell as units: commands, limits, keys, the script, the ring.
add_executable(walker_shell_test walker_shell_test.cpp)
target_link_libraries(walker_shell_test PRIVATE walker_shell e2e_harness GTest::gtest_main)
gtest_discover_tests(walker_shell_test DISCOVERY_TIMEOUT 60)

# The walker end to end: refusals, the script, the end of input, the keys
# on a pseudo-terminal and the terminal restored, the velocity drawn.
if(TARGET walker)
  add_executable(walker_test walker_test.cpp)
  add_dependencies(walker_test walker)
  target_link_libraries(walker_test PRIVATE e2e_harness GTest::gtest_main)
  target_compile_definitions(walker_test PRIVATE WALKER_PATH="$<TARGET_FILE:walker>"
                                                 RENDER_PATH="${PROJECT_SOURCE_DIR}/tools/render"
                                                 RENDER_BUILD_DIR="${PROJECT_BINARY_DIR}")
  if(TARGET alloc_probe)
    add_dependencies(walker_test alloc_probe)
    target_compile_definitions(walker_test PRIVATE ALLOC_PROBE_PATH="$<TARGET_FILE:alloc_probe>")
  endif()
  gtest_discover_tests(walker_test DISCOVERY_TIMEOUT 60)
endif()

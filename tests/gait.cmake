# The gait engine offline: the preview control, the feet, the engine's plan
# against the servo speed, its changes and stops, its refusals.
add_executable(gait_test gait_test.cpp)
target_link_libraries(gait_test PRIVATE gait e2e_harness GTest::gtest_main)
target_compile_definitions(gait_test PRIVATE
  ROBOT_MODEL_PATH="${PROJECT_SOURCE_DIR}/standin/robot.xml")
gtest_discover_tests(gait_test DISCOVERY_TIMEOUT 60)

# The gait engine offline: the preview control, the feet, the engine's plan
# against the servo speed, its changes and stops, its refusals.
add_executable(gait_test gait_test.cpp)
target_link_libraries(gait_test PRIVATE gait e2e_harness GTest::gtest_main)
target_compile_definitions(gait_test PRIVATE
  ROBOT_MODEL_PATH="${PROJECT_SOURCE_DIR}/standin/robot.xml")
gtest_discover_tests(gait_test DISCOVERY_TIMEOUT 60)

# The walker walking in the physics world: the commanded walks, changes
# and stops, the fastest forward walk held 30 s (a long test), the same
# log from the same script, a fall.
if(TARGET walker)
  add_executable(walker_walk_test walker_walk_test.cpp)
  add_dependencies(walker_walk_test walker)
  target_link_libraries(walker_walk_test PRIVATE e2e_harness GTest::gtest_main)
  target_compile_definitions(walker_walk_test PRIVATE WALKER_PATH="$<TARGET_FILE:walker>")
  # Seconds of walking in the physics world each: past the harness's
  # deadline under valgrind, so the short set leaves them out.
  set(walker_long "WalkerWalks.*")
  gtest_discover_tests(walker_walk_test DISCOVERY_TIMEOUT 60 TEST_FILTER "${walker_long}"
                       PROPERTIES LABELS long)
  gtest_discover_tests(walker_walk_test DISCOVERY_TIMEOUT 60 TEST_FILTER "-${walker_long}")
endif()

# The walker's loop closed against the same gait open: pushes while
# walking and a straight minute (long tests), open loop said and walked.
if(TARGET walker)
  add_executable(walker_feedback_test walker_feedback_test.cpp)
  add_dependencies(walker_feedback_test walker)
  target_link_libraries(walker_feedback_test PRIVATE e2e_harness GTest::gtest_main)
  target_compile_definitions(walker_feedback_test PRIVATE WALKER_PATH="$<TARGET_FILE:walker>")
  discover_tests(walker_feedback_test LONG
                 WalkerFeedback.PushesWhileWalkingTheClosedLoopSurvivesAndTheOpenOneDoesNot
                 WalkerFeedback.AStraightMinuteDriftsLessThanThreePercentAndKeepsItsHeading
                 WalkerFeedback.ServosThatAnswerLateDoNotFellTheClosedLoop
                 WalkerFeedback.OpenLoopIsSaidOnceAndWalksAndAFallRefusesCommands)
endif()

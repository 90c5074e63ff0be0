# Hostile inputs, end to end: every program on directories, FIFOs, devices,
# unreadable files, huge lines, NUL bytes, CRLF, numbers out of range,
# overlong names, end of input and unwritable snapshot targets.
add_executable(hostile_input_test hostile_input_test.cpp)
add_dependencies(hostile_input_test motion_player motion_skim pose_tuner motion_check)
target_link_libraries(hostile_input_test PRIVATE e2e_harness body_model GTest::gtest_main)
target_compile_definitions(hostile_input_test PRIVATE
  MOTION_PLAYER_PATH="$<TARGET_FILE:motion_player>"
  MOTION_SKIM_PATH="$<TARGET_FILE:motion_skim>"
  POSE_TUNER_PATH="$<TARGET_FILE:pose_tuner>"
  MOTION_CHECK_PATH="$<TARGET_FILE:motion_check>")
gtest_discover_tests(hostile_input_test DISCOVERY_TIMEOUT 60)

# Hostile surroundings: standard streams closed at start, non-blocking input.
add_executable(hostile_use_test hostile_use_test.cpp)
add_dependencies(hostile_use_test motion_player motion_skim pose_tuner standin_probe)
target_link_libraries(hostile_use_test PRIVATE e2e_harness GTest::gtest_main)
target_compile_definitions(hostile_use_test PRIVATE
  MOTION_PLAYER_PATH="$<TARGET_FILE:motion_player>"
  MOTION_SKIM_PATH="$<TARGET_FILE:motion_skim>"
  POSE_TUNER_PATH="$<TARGET_FILE:pose_tuner>"
  STANDIN_PROBE_PATH="$<TARGET_FILE:standin_probe>"
  MOTIONS_DIR="${PROJECT_SOURCE_DIR}/motions")
gtest_discover_tests(hostile_use_test DISCOVERY_TIMEOUT 60)

# Hand-over stress: motion_player and pose_tuner run for thousands of
# cycles with file_probe preloaded, checked against the stand-in's trace.

# Logs every stream opened and closed, with the robot_step count.
add_library(file_probe SHARED file_probe.cpp)
target_link_libraries(file_probe PRIVATE ${CMAKE_DL_LIBS})
set_target_properties(file_probe PROPERTIES PREFIX "" OUTPUT_NAME file_probe)

# Under AddressSanitizer its runtime must be the first library loaded, so it
# is preloaded ahead of the probe.
set(FILE_PROBE_PRELOAD "$<TARGET_FILE:file_probe>")
if(CMAKE_CXX_FLAGS MATCHES "-fsanitize=[a-z,]*address")
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
                  OUTPUT_VARIABLE STRESS_LIBASAN OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(FILE_PROBE_PRELOAD "${STRESS_LIBASAN} $<TARGET_FILE:file_probe>")
endif()

add_executable(handover_stress_test handover_stress_test.cpp)
target_link_libraries(handover_stress_test PRIVATE e2e_harness body_model GTest::gtest_main)
target_compile_definitions(handover_stress_test PRIVATE
  MOTION_PLAYER_PATH="$<TARGET_FILE:motion_player>"
  POSE_TUNER_PATH="$<TARGET_FILE:pose_tuner>"
  FILE_PROBE_PRELOAD="${FILE_PROBE_PRELOAD}")
add_dependencies(handover_stress_test motion_player pose_tuner file_probe)
gtest_discover_tests(handover_stress_test DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)

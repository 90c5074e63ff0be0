# Heap allocations in the control loops, counted by a preloaded probe.
# The probe replaces malloc and operator new, so it cannot run beside a
# sanitizer or valgrind; the tests skip themselves there.
add_library(alloc_probe SHARED alloc_probe.cpp)
set_target_properties(alloc_probe PROPERTIES CXX_VISIBILITY_PRESET hidden
                                             VISIBILITY_INLINES_HIDDEN ON)
target_link_libraries(alloc_probe PRIVATE ${CMAKE_DL_LIBS})

# The test binary doubles as a small controller with known allocations
# (LOOP_ALLOCATION_CONTROLLER=1), to check the probe itself.
add_executable(loop_allocation_test loop_allocation_test.cpp)
add_dependencies(loop_allocation_test alloc_probe motion_skim motion_player pose_tuner)
# As a controller it reads the sensors too, so it links the stand-in itself.
target_link_libraries(loop_allocation_test PRIVATE e2e_harness standin GTest::gtest)
target_include_directories(loop_allocation_test PRIVATE ${PROJECT_SOURCE_DIR}/body_model)
target_compile_definitions(loop_allocation_test PRIVATE
  ALLOC_PROBE_PATH="$<TARGET_FILE:alloc_probe>"
  MOTION_SKIM_PATH="$<TARGET_FILE:motion_skim>"
  MOTION_PLAYER_PATH="$<TARGET_FILE:motion_player>"
  POSE_TUNER_PATH="$<TARGET_FILE:pose_tuner>"
  MOTIONS_DIR="${PROJECT_SOURCE_DIR}/motions")
gtest_discover_tests(loop_allocation_test DISCOVERY_TIMEOUT 60)
# The walker's loop, where it is built.
if(TARGET walker)
  add_dependencies(loop_allocation_test walker)
  target_compile_definitions(loop_allocation_test PRIVATE WALKER_PATH="$<TARGET_FILE:walker>")
endif()

// pose_tuner: starts the robot, takes over its posture, starts the operator
// console and runs the 64 ms control loop for as long as the simulator runs
// the program.
#include <cstdio>

#include "body_model.h"
#include "console_input.h"
#include "playback.h"
#include "tuner.h"

namespace {

constexpr int kTouchPeriodMs = 64;  // touch sensor sampling period, ms
constexpr auto reset = reset_touch;

}  // namespace

int main() {
  // Before anything is opened: a file must never take the console's place.
  keep_standard_streams_open();
  tuner_reset_state();
  std::fputs("reset\n", stdout);
  robot_live(reset);
  touch_sensor_enable(left_touch, kTouchPeriodMs);
  touch_sensor_enable(right_touch, kTouchPeriodMs);
  robot_step(kFirstStepMs);
  Posture read;
  read_posture(read);
  {
    std::lock_guard hold(posture_lock);
    take_over_posture(read);
  }
  // If the console cannot start, the loop still holds the posture.
  start_console_thread(posture_moves);
  for (;;) control_step();
}

// pose_tuner: starts the robot, takes over its posture, starts the operator
// console and runs the 64 ms control loop for as long as the simulator runs
// the program.
#include <cstdio>

#include "body_model.h"
#include "console_input.h"
#include "tuner.h"

namespace {

constexpr int kFirstStepMs = 128;   // first simulation step, ms
constexpr int kTouchPeriodMs = 64;  // touch sensor sampling period, ms
constexpr auto reset = reset_touch;

}  // namespace

int main() {
  tuner_reset_state();
  std::fputs("reset\n", stdout);
  robot_live(reset);
  touch_sensor_enable(left_touch, kTouchPeriodMs);
  touch_sensor_enable(right_touch, kTouchPeriodMs);
  robot_step(kFirstStepMs);
  {
    std::lock_guard hold(posture_lock);
    read_posture(futurPosition);
  }
  // If the console cannot start, the loop still holds the posture.
  start_console_thread(posture_moves);
  for (;;) control_step();
}

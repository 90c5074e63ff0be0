// pose_tuner: starts the robot, takes over its posture, starts the operator
// console and runs the 64 ms control loop for as long as the simulator runs
// the program.
#include <pthread.h>
#include <signal.h>

#include <cstdio>

#include "body_model.h"
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
  // If the console cannot start, the loop still holds the posture. It is
  // never joined: detached, it leaves nothing behind when input ends. It
  // starts with every signal blocked, so that a signal to the process (the
  // simulator ending it) reaches the control loop, never a thread that may
  // wait for input for ever.
  sigset_t all, loop_mask;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &loop_mask);
  pthread_t console;
  if (pthread_create(&console, nullptr, posture_moves, nullptr) == 0) pthread_detach(console);
  pthread_sigmask(SIG_SETMASK, &loop_mask, nullptr);
  for (;;) control_step();
}

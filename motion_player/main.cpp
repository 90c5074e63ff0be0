// motion_player: asks for motion files one after another, moves the robot
// smoothly to each file's first row, then plays the file at the rate its
// row period gives. The simulator ends the process.
#include <cstdio>

#include "body_model.h"
#include "console_input.h"
#include "playback.h"
#include "player.h"

namespace {

constexpr int kGpsPeriodMs = 64;  // GPS sampling period, ms
constexpr auto reset = reset_full;

}  // namespace

int main() {
  // Before anything is opened: a file must never take the console's place.
  keep_standard_streams_open();
  player_reset_state();
  // The loader asks at once; its prompt may come among the start-up texts.
  // If it cannot start, no file is asked for and the loop goes on waiting.
  start_console_thread(exec_csv);
  std::fputs("\n", stdout);
  robot_live(reset);
  gps_enable(gps, kGpsPeriodMs);
  robot_step(kFirstStepMs);
  read_posture(futurPosition);
  for (;;) {
    player_step();
    robot_step(one_step);
  }
}

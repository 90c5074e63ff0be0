// motion_skim: asks once for a motion file and plays every hundredth row,
// one row per 64 ms control step, with no approach and whatever the file's
// row period. Once the file is exhausted it holds the last row.
#include <cstdio>

#include "body_model.h"
#include "console_input.h"
#include "line_reader.h"
#include "playback.h"

namespace {

constexpr int kGpsPeriodMs = 64;  // GPS sampling period, ms
constexpr char kPrompt[] = " Give the name of the csv file: ";

Posture posture;                    // commanded angles, rad; zero until a row sets them
MotionRow row;                      // fields of the rows parsed so far; zero at start
char line[kSkimLineBytes];          // latest line read from the file
LineReader reader{kSkimLineBytes};  // the motion file, read in blocks
std::FILE *file;                    // the motion file; never closed
constexpr auto reset = reset_full;

// Known state at start: zero posture, zero row, no file.
void skim_reset_state() {
  posture = {};
  row = {};
  line[0] = '\0';
  file = nullptr;
  reader.attach(nullptr);
}

// Prompts until a file opens. False when the input ends first.
bool ask_for_file() {
  file = ask_for_motion_file(kPrompt);
  if (file == nullptr) return false;
  reader.attach(file);
  return true;
}

// One control step: the 100th next line becomes the commanded posture. The
// commands go out after the step, so they act during the next one.
void skim_step() {
  bool read_any = false;
  for (int k = 0; k < kSkimRowsPerStep && reader.next(); ++k) read_any = true;
  if (read_any) reader.copy_last(line);
  parse_csv_row(line, row);
  for (int i : kColumnOrder) posture[i] = pulse2rad(row.pulses[i], i);
  robot_step(kSkimStepMs);
  send_posture_body(posture);
}

}  // namespace

int main() {
  // Before anything is opened: a file must never take the console's place.
  keep_standard_streams_open();
  skim_reset_state();
  std::fputs("\n", stdout);
  robot_live(reset);
  gps_enable(gps, kGpsPeriodMs);
  robot_step(kFirstStepMs);
  if (!ask_for_file()) {
    // No name will come: keep the robot stepping and command nothing.
    std::fflush(stdout);
    for (;;) robot_step(kSkimStepMs);
  }
  for (;;) skim_step();
}

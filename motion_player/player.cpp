#include "player.h"

#include <algorithm>
#include <cmath>

#include "console_input.h"

std::atomic<int> file_ended{1};       // the token: 1 loader owns the state, 0 loop does
std::atomic<int> interpolating{0};    // set by the loader, cleared at the end of the approach
int comInterval = 0;                  // rows per playing step of the current file
std::FILE *file = nullptr;            // the file being played
LineReader reader{kPlayerLineBytes};  // splits `file` into 500-byte fgets reads
Posture motorPos = {};                // approach target, rad
Posture futurPosition = {};           // commanded posture, rad; the loop's alone

namespace {

constexpr char kPrompt[] = "Give the name of the csv file: ";

MotionRow tempMotor;                // loader: first row of the latest file taken
char first_line[kPlayerLineBytes];  // loader: the first line of the file being prepared
MotionRow row;                      // loop: fields of the rows parsed so far
char line[kPlayerLineBytes];        // loop: its copy of the latest line read
int columns_parsed = 0;             // loop: joint columns any parse has reached, 0..21
bool holding = false;               // loop: it has taken over the file now open
bool line_from_file = false;        // loop: `line` holds a row of the file now open

// The loop takes over a file. The waiting steps wrote measured values into
// entries 17 and 22; the loader's zeros for them come in motorPos, since
// only this thread writes futurPosition.
void take_file() {
  futurPosition[17] = motorPos[17];
  futurPosition[22] = motorPos[22];
  line_from_file = false;
  holding = true;
}

// The loop's end of a file: closes it and hands the token back. Nothing the
// loader owns may be touched after the store.
void give_file_back() {
  reader.attach(nullptr);
  std::fclose(file);
  file = nullptr;
  holding = false;
  file_ended.store(1, std::memory_order_release);
  file_ended.notify_one();
}

// One playing step: consumes `count` lines and commands the last one read.
void play_rows() {
  // Taken before the token can go back: the loader may set the next file's.
  const int count = comInterval;
  bool got = false;
  bool ended = false;
  for (int k = 0; k < count; ++k) {
    if (!reader.next()) {
      ended = true;
      break;
    }
    got = true;
  }
  if (got) {
    reader.copy_last(line);
    line_from_file = true;
  }
  if (ended) give_file_back();
  // A file of only its first row leaves no line: the approach's posture stays.
  if (line_from_file) {
    int fields = parse_csv_row(line, row);
    columns_parsed = std::max(columns_parsed, std::clamp(fields - 2, 0, kNumberedJoints));
    // Joints no parse has reached stay where the approach put them.
    for (int c = 0; c < columns_parsed; ++c) {
      int i = kColumnOrder[c];
      futurPosition[i] = pulse2rad(row.pulses[i], i);
    }
  }
  send_posture_body(futurPosition);
}

// Refuses a file the loader cannot prepare: one line, then the file closes.
void refuse(std::FILE *opened, const char *why) {
  reader.attach(nullptr);
  std::fclose(opened);
  std::fputs(why, stdout);
}

// Asks until a file is handed over. False at the end of standard input.
bool ask_for_file() {
  while (std::FILE *opened = ask_for_motion_file(kPrompt)) {
    if (load_file(opened)) return true;
  }
  return false;
}

}  // namespace

void interpol() {
  int moving = kApproachJoints;
  for (int i = 0; i < kApproachJoints; ++i) {
    double &now = futurPosition[i];
    // A servo that reads no number gives nothing to start from.
    if (!std::isfinite(now)) now = motorPos[i];
    if (std::fabs(motorPos[i] - now) <= kApproachTolerance) {
      --moving;
      continue;
    }
    now += now > motorPos[i] ? -kApproachStep : kApproachStep;
  }
  if (moving == 0) {
    std::fputs("The interpolation is over\nExecuting your file...\n", stdout);
    std::fflush(stdout);
    interpolating.store(0, std::memory_order_relaxed);
  }
}

void player_step() {
  if (file_ended.load(std::memory_order_acquire) == 1) {
    read_posture(futurPosition);
    return;
  }
  const bool approaching = interpolating.load(std::memory_order_acquire) != 0;
  if (!holding) take_file();
  if (approaching) {
    interpol();
    send_posture_body(futurPosition);
    return;
  }
  play_rows();
}

bool load_file(std::FILE *opened) {
  reader.attach(opened);
  if (!reader.next()) {
    // A file that opens but cannot be read (EIO) is not an empty one.
    refuse(opened, reader.failed() ? "unable to read the file\n" : "the file is empty\n");
    return false;
  }
  reader.copy_last(first_line);
  // A refused file must not leave its counts for the next file's first row.
  MotionRow first = tempMotor;
  if (parse_csv_row(first_line, first) < 1) {
    refuse(opened, "no row period in the first row\n");
    return false;
  }
  if (first.period <= 0) {
    refuse(opened, "the row period must be above 0 ms\n");
    return false;
  }
  tempMotor = first;
  for (int i : kColumnOrder) motorPos[i] = pulse2rad(tempMotor.pulses[i], i);
  motorPos[17] = 0.0;
  motorPos[22] = 0.0;
  file = opened;
  std::fputs("interpolating\n", stdout);
  comInterval = rows_per_step(tempMotor.period);
  if (tempMotor.period > one_step)
    std::fputs("row period above 50 ms: one row per 50 ms step, faster than the file's time base\n",
               stdout);
  std::fflush(stdout);
  interpolating.store(1, std::memory_order_release);
  // The last write of the hand-over.
  file_ended.store(0, std::memory_order_release);
  return true;
}

void *exec_csv(void *) {
  for (;;) {
    // The loop wakes us as soon as it hands the token back.
    file_ended.wait(0, std::memory_order_acquire);
    if (!ask_for_file()) break;
  }
  // No name can come any more; the thread ends.
  return nullptr;
}

void player_reset_state() {
  file_ended.store(1);
  interpolating.store(0);
  comInterval = 0;
  if (file) std::fclose(file);
  file = nullptr;
  reader.attach(nullptr);
  motorPos = {};
  futurPosition = {};
  tempMotor = {};
  first_line[0] = '\0';
  row = {};
  line[0] = '\0';
  columns_parsed = 0;
  holding = false;
  line_from_file = false;
}

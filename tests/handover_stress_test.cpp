// Hand-over stress: motion_player and pose_tuner run for thousands of
// cycles on the stand-in with file_probe preloaded, and every cycle is
// checked against the trace, the probe's log of opened and closed streams,
// and the screens. Meant above all for the ThreadSanitizer build.
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "body_model.h"
#include "e2e_harness.h"

namespace {

// ---- Shared: the probe's log and the trace ---------------------------------

// One line of the probe's log.
struct FileEvent {
  bool open = false;   // open or close
  long step = 0;       // robot_step calls completed when it happened
  std::string stream;  // FILE* as hex
  std::string name;    // opens: the file's base name
};

std::string base_name(std::string_view path) {
  std::size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::vector<std::string_view> words(std::string_view line) {
  std::vector<std::string_view> found;
  while (!line.empty()) {
    std::size_t end = line.find(' ');
    if (end != 0) found.push_back(line.substr(0, end));
    if (end == std::string_view::npos) break;
    line.remove_prefix(end + 1);
  }
  return found;
}

bool is_number(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Parses the probe's log; a malformed line fails the test.
std::vector<FileEvent> parse_probe_log(const std::string &text) {
  std::vector<FileEvent> events;
  std::string_view rest = text;
  while (!rest.empty()) {
    std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    std::vector<std::string_view> w = words(line);
    FileEvent event;
    bool ok = w.size() >= 3 && (w[0] == "open" || w[0] == "close") && is_number(w[1]);
    if (ok) {
      event.open = w[0] == "open";
      std::from_chars(w[1].data(), w[1].data() + w[1].size(), event.step);
      event.stream = w[2];
      // fopen: the path; fdopen: the descriptor, then where it leads.
      if (event.open && w.size() == 4) event.name = base_name(w[3]);
      if (event.open && w.size() == 5 && is_number(w[3])) event.name = base_name(w[4]);
      ok = event.open ? !event.name.empty() : w.size() == 3;
    }
    if (!ok) {
      ADD_FAILURE() << "malformed probe line: \"" << line << "\"";
      continue;
    }
    events.push_back(std::move(event));
  }
  return events;
}

// The opens of files `wanted` accepts and the closes of those streams, in
// log order. Each open must be closed, exactly once, before the next one:
// one file at a time changes hands. Returns one (open, close) pair per file.
std::vector<std::pair<FileEvent, FileEvent>> file_lifetimes(const std::vector<FileEvent> &events,
                                                            bool (*wanted)(const std::string &)) {
  std::vector<std::pair<FileEvent, FileEvent>> lives;
  std::optional<FileEvent> open;
  for (const FileEvent &event : events) {
    if (event.open) {
      if (!wanted(event.name)) continue;
      EXPECT_FALSE(open.has_value()) << event.name << " opened while " << open->name
                                     << " was still open (step " << event.step << ")";
      open = event;
    } else if (open.has_value() && event.stream == open->stream) {
      lives.push_back({*open, event});
      open.reset();
    }
  }
  EXPECT_FALSE(open.has_value()) << open->name << " was never closed";
  return lives;
}

// The environment that preloads the probe.
std::pair<std::string, std::string> preload_probe() {
  return {"LD_PRELOAD", FILE_PROBE_PRELOAD};
}

// Per control step of a trace: the servo commands it sent and the servos
// it read.
struct Step {
  std::vector<float> sent;  // servo_set_position values, in call order
  std::vector<std::string> devices;
  int reads = 0;  // servo_get_position calls
};

std::vector<Step> steps_of(const std::vector<e2e::TraceLine> &trace) {
  std::vector<Step> steps(static_cast<std::size_t>(e2e::steps(trace)) + 1);
  for (const e2e::TraceLine &line : trace) {
    if (line.step < 0 || static_cast<std::size_t>(line.step) >= steps.size()) continue;
    Step &step = steps[static_cast<std::size_t>(line.step)];
    if (line.call == "servo_set_position") {
      step.sent.push_back(e2e::to_float(line.value));
      step.devices.push_back(line.device);
    } else if (line.call == "servo_get_position") {
      ++step.reads;
    }
  }
  return steps;
}

// ---- motion_player -----------------------------------------------------------

const std::string kFilePrompt = "Give the name of the csv file: ";
const std::string kPlayerOver = "The interpolation is over\nExecuting your file...\n";

// Files typed ahead, names per input line.
constexpr int kPlayerFiles = 2000;
constexpr int kNamesPerLine = 100;

// Pulse count of joint column c (0..20) in row r (1..3) of file f. Columns
// 0..2 name the file and the row, the others mix all three, so a posture
// taken from two rows or two files matches no row. Every count is within
// 100 of zero: any two postures lie within the approach's tolerance of
// each other (200 pulses, 0.0167 rad), so each approach takes one step.
int count_of(int f, int r, int c) {
  if (c == 0) return f % 201 - 100;
  if (c == 1) return f / 201 % 201 - 100;
  if (c == 2) return 30 * r - 60;
  return (f * 31 + r * 17 + c * 7) % 201 - 100;
}

// Rows and row period of file f: all four ways a file can end.
int rows_of(int f) {
  return 2 + f % 2;
}
int period_of(int f) {
  return f / 2 % 2 == 0 ? 50 : 10;
}

std::string name_of(int f) {
  char name[16];
  std::snprintf(name, sizeof name, "f%04d.csv", f);
  return name;
}

bool is_motion_file(const std::string &name) {
  return name.size() == 9 && name[0] == 'f' && name.ends_with(".csv");
}

std::string file_text(int f) {
  std::string text;
  for (int r = 1; r <= rows_of(f); ++r) {
    text += std::to_string(period_of(f)) + ",2";
    for (int c = 0; c < kNumberedJoints; ++c) text += "," + std::to_string(count_of(f, r, c));
    text += ", R ,R ,R,R\n";
  }
  return text;
}

// The 21 commands of row r of file f, in body order, as the player sends
// them; row 0 is the zero posture the robot starts in.
std::vector<float> row_sent(int f, int r) {
  Posture angles{};
  if (r > 0) {
    for (int c = 0; c < kNumberedJoints; ++c)
      angles[kColumnOrder[c]] = pulse2rad(count_of(f, r, c), kColumnOrder[c]);
  }
  std::vector<float> sent;
  for (int i : kBodyOrder) sent.push_back(narrow_angle(angles[i]));
  return sent;
}

// Which file and row a step's commands name, from columns 0..2; the test
// then compares all 21 commands with that row.
std::string which_row(const std::vector<float> &sent) {
  std::map<int, int> column_of;  // JointIndex -> column
  for (int c = 0; c < kNumberedJoints; ++c) column_of[kColumnOrder[c]] = c;
  int counts[3] = {};
  for (std::size_t k = 0; k < kBodyOrder.size() && k < sent.size(); ++k) {
    int i = kBodyOrder[k];
    int c = column_of[i];
    if (c < 3) counts[c] = static_cast<int>(std::lround(sent[k] * pulse[i] / kRadPerDegree));
  }
  int f = (counts[1] + 100) * 201 + counts[0] + 100;
  int r = (counts[2] + 60) / 30;
  return "file " + std::to_string(f) + " row " + std::to_string(r);
}

// Rows each file's playing steps send after its approach: a step consumes
// 1 row at 50 ms, 5 at 10 ms; the step that meets the end sends the last
// row (again, when an earlier step sent it already).
std::vector<int> rows_played(int f) {
  std::vector<int> rows;
  int per_step = period_of(f) == 50 ? 1 : 5;
  int at = 1;
  for (;;) {
    int got = std::min(per_step, rows_of(f) - at);
    at += got;
    rows.push_back(at);
    if (got < per_step) return rows;
  }
}

TEST(PlayerHandOver, ThousandsOfFilesTypedAheadChangeHandsOneAtATime) {
  std::string dir = e2e::temp_dir();
  std::string names;
  for (int f = 0; f < kPlayerFiles; ++f) {
    e2e::write_file(dir + "/" + name_of(f), file_text(f));
    names += name_of(f) + ((f + 1) % kNamesPerLine == 0 ? "\n" : " ");
  }
  std::string probe_log = e2e::temp_dir() + "/probe.log";
  e2e::Options options;
  options.program = MOTION_PLAYER_PATH;
  options.cwd = dir;
  // 200 times real time: 250 us a step. The loader prepares the next file
  // while the loop sleeps in its step, so most hand-overs take no waiting
  // step at all; unpaced, or at 1000 times, a ThreadSanitizer build's loop
  // outruns the loader and the trace grows by hundreds of waiting steps a
  // file. stop() ends the run at the last prompt.
  options.env = {{"STANDIN_PACE", "200"}, preload_probe(), {"FILE_PROBE_LOG", probe_log}};
  options.stop_ms = 1'000'000'000;
  e2e::Session session(options);
  session.write(names);
  std::size_t from = 0;
  for (int prompt = 0; prompt <= kPlayerFiles; ++prompt) {
    ASSERT_TRUE(session.wait_for_output(kFilePrompt, from)) << "prompt " << prompt;
    from = session.out().find(kFilePrompt, from) + kFilePrompt.size();
  }
  e2e::Result result = session.stop();
  EXPECT_EQ(result.exit_code, 0);
  // The stand-in reports any library call from the loader thread.
  EXPECT_EQ(result.err, "");

  // The dialogue, with main's "\n" and "starting reset\n" within it.
  std::string dialogue;
  for (int f = 0; f < kPlayerFiles; ++f) dialogue += kFilePrompt + "interpolating\n" + kPlayerOver;
  dialogue += kFilePrompt;
  const std::string reset_text = "starting reset\n";
  std::size_t reset_at = result.out.find(reset_text);
  ASSERT_NE(reset_at, std::string::npos);
  bool matched = false;
  for (std::size_t q = 0; q < reset_at && !matched; ++q) {
    if (result.out[q] != '\n') continue;
    std::string rest = result.out.substr(0, q) + result.out.substr(q + 1, reset_at - q - 1) +
                       result.out.substr(reset_at + reset_text.size());
    matched = rest == dialogue;
  }
  EXPECT_TRUE(matched) << "the dialogue is not one prompt, \"interpolating\" and the end of "
                          "the approach per file; output starts:\n"
                       << result.out.substr(0, 2000);

  // Every step from the second on either sends one posture or only reads
  // the 25 servos; the sending steps are the files' approaches and rows.
  std::vector<Step> steps = steps_of(result.trace);
  ASSERT_GT(steps.size(), 3u);
  std::vector<long> sending;
  for (std::size_t n = 1; n + 1 < steps.size(); ++n) {
    const Step &step = steps[n];
    // Step 1 also holds main's read of the posture at start.
    const int reads = step.reads - (n == 1 ? 25 : 0);
    if (step.sent.empty()) {
      EXPECT_EQ(reads, 25) << "waiting step " << n;
      continue;
    }
    EXPECT_EQ(reads, 0) << "sending step " << n;
    ASSERT_EQ(step.sent.size(), kBodyOrder.size()) << "step " << n;
    sending.push_back(static_cast<long>(n));
  }

  // Each file: one approach step holding the previous file's last row (the
  // zero posture for the first), then its rows in order, in consecutive
  // steps. A step whose 21 commands are not one row names the rows mixed.
  std::vector<long> approach_step(kPlayerFiles), last_step(kPlayerFiles);
  std::size_t k = 0;
  int failures = 0;
  std::vector<float> previous = row_sent(0, 0);
  for (int f = 0; f < kPlayerFiles && failures < 10; ++f) {
    std::vector<int> rows = rows_played(f);
    ASSERT_LE(k + 1 + rows.size(), sending.size()) << "file " << f << " was not played whole";
    approach_step[f] = sending[k];
    if (steps[sending[k]].sent != previous) {
      ++failures;
      ADD_FAILURE() << "file " << f << ": approach step " << sending[k] << " sends "
                    << which_row(steps[sending[k]].sent) << ", not the posture before it";
    }
    ++k;
    for (int r : rows) {
      const std::vector<float> &sent = steps[sending[k]].sent;
      if (sent != row_sent(f, r)) {
        ++failures;
        ADD_FAILURE() << "file " << f << " row " << r << ": step " << sending[k] << " sends "
                      << which_row(sent)
                      << (which_row(sent) == which_row(row_sent(f, r)) ? ", mixed with another row"
                                                                       : "");
      }
      if (sending[k] != sending[k - 1] + 1) {
        ++failures;
        ADD_FAILURE() << "file " << f << ": steps " << sending[k - 1] << " and " << sending[k]
                      << " are not consecutive";
      }
      ++k;
    }
    last_step[f] = sending[k - 1];
    previous = row_sent(f, rows.back());
  }
  ASSERT_EQ(failures, 0);
  EXPECT_EQ(k, sending.size()) << "steps sent after the last file";

  // The probe: every file named was opened, in the order typed, and closed
  // once before the next was opened; the close came in the step that met
  // the end of the file, and the open between the previous close and the
  // approach.
  auto lives = file_lifetimes(parse_probe_log(e2e::read_file(probe_log)), is_motion_file);
  ASSERT_EQ(lives.size(), static_cast<std::size_t>(kPlayerFiles));
  for (int f = 0; f < kPlayerFiles; ++f) {
    const auto &[open, close] = lives[f];
    ASSERT_EQ(open.name, name_of(f)) << "open number " << f;
    EXPECT_EQ(close.step, last_step[f]) << name_of(f);
    EXPECT_LE(open.step, approach_step[f]) << name_of(f);
    if (f > 0) {
      EXPECT_GE(open.step, lives[f - 1].second.step) << name_of(f);
    }
  }
  std::printf("[ stress   ] %d files, %zu control steps, %zu sending\n", kPlayerFiles,
              steps.size() - 1, sending.size());
}

}  // namespace

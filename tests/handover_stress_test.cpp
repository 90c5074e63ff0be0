// Hand-over stress: motion_player and pose_tuner run for thousands of
// cycles on the stand-in with file_probe preloaded, and every cycle is
// checked against the trace, the probe's log of opened and closed streams,
// and the screens. Meant above all for the ThreadSanitizer build.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
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
    std::vector<std::string_view> w = e2e::words(line);
    FileEvent event;
    bool ok = w.size() >= 3 && (w[0] == "open" || w[0] == "close") && is_number(w[1]);
    if (ok) {
      event.open = w[0] == "open";
      std::from_chars(w[1].data(), w[1].data() + w[1].size(), event.step);
      event.stream = w[2];
      // fopen: the path; fdopen: the descriptor, then where it leads.
      if (event.open && w.size() == 4) event.name = base_name(w[3]);
      // An unnamed file (O_TMPFILE) leads to "DIR/#INODE (deleted)".
      if (event.open && w.size() >= 5 && is_number(w[3]))
        event.name = base_name(line.substr(w[4].data() - line.data()));
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
  if (e2e::under_valgrind())
    GTEST_SKIP() << "valgrind runs one thread at a time: no hand-over race to stress";
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
  int prompts = 0;
  for (; prompts <= kPlayerFiles && session.wait_for_output(kFilePrompt, from); ++prompts)
    from = session.out().find(kFilePrompt, from) + kFilePrompt.size();
  e2e::Result result = session.stop();
  ASSERT_EQ(prompts, kPlayerFiles + 1) << "the program ended early (status " << result.exit_code
                                       << ", signal " << result.signal << "):\n"
                                       << result.err;
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

namespace {

// ---- pose_tuner ----------------------------------------------------------------

constexpr char kInsertLine[] =
    "Insert joint number (01-21) followed by the amount of angle (rd) to add to joint";
const std::string kInsert = std::string(kInsertLine) + "\n";
constexpr char kOverLine[] = "The interpolation is over";
constexpr char kNamePrompt[] = " Give the name of the csv file: ";
constexpr char kWriting[] = "writing position to the file TeSt.csv";
constexpr char kBannerEdge[] = "&&&&&&&&&&&&";
constexpr char kBannerText[] =
    "Do not press a button, please wait for the end of the interpollation";
// Interpolation step and arrival tolerance, rad, as the tuner takes them.
constexpr double kJogStep = 0.005f;
constexpr double kJogTolerance = 0.007f;
// Groups of five commands typed in one burst, and the stand-in's pace.
// Nearly all the run's time is "clear", which both threads run for every
// screen: /bin/sh and "clear" started, with the probe preloaded into each,
// 4 ms a screen on a loaded machine and 50 to 100 ms under the sanitizers.
// 150 groups still land 450 jogs, 135 zeroings, 15 zeroings of all and 150
// snapshots within interpolations, in a few seconds. The pace keeps the
// shortest jog (0.03 rad, 6 steps) several screens long: 19 ms against 4
// in the release build; under the sanitizers, at pace 2, 192 ms against 50
// to 100, so that a loaded machine's slower screens still meet it.
#if defined(__SANITIZE_THREAD__)
constexpr int kTunerGroups = 20;
constexpr char kTunerPace[] = "2";
#elif defined(__SANITIZE_ADDRESS__)
constexpr int kTunerGroups = 40;
constexpr char kTunerPace[] = "2";
#else
constexpr int kTunerGroups = 150;
constexpr char kTunerPace[] = "20";
#endif

// Groups to type: kTunerGroups, or STRESS_TUNER_GROUPS for a longer run
// (e.g. 150 under ThreadSanitizer, for the release build's 750 commands).
int tuner_groups() {
  const char *text = std::getenv("STRESS_TUNER_GROUPS");
  int groups = 0;
  if (text == nullptr ||
      std::from_chars(text, text + std::strlen(text), groups).ec != std::errc() || groups <= 0)
    return kTunerGroups;
  return groups;
}

// A posture as the tuner shows or sends it: by JointNumber 1..21 (entry 0
// is 01), the angle and its pulse count.
struct Shown {
  std::array<double, kNumberedJoints> rad = {};
  std::array<int, kNumberedJoints> pulses = {};
};

// One command of the burst.
struct Typed {
  int number = 0;      // joint number as typed
  std::string amount;  // amount of angle as typed
  std::string name;    // snapshot file, for 999
  bool jog() const { return amount != "9" && amount != "666" && amount != "999"; }
  bool zero() const { return amount == "9" || amount == "666"; }
  // Numbered joints (0..20 for 01..21) the command zeroes.
  std::vector<int> zeroed() const {
    std::vector<int> joints;
    for (int n = 1; n <= kNumberedJoints; ++n) {
      if (amount == "666" || (amount == "9" && convertJoint(number) == convertJoint(n)))
        joints.push_back(n - 1);
    }
    return joints;
  }
  // Numbered joint (0..20) a jog moves.
  int joint() const { return kJoints[convertJoint(number)].number - 1; }
};

// The burst: per group two jogs, a zeroing (every tenth zeroes all), a
// snapshot and a last jog, so an interpolation runs after every zeroing and
// the burst ends on a jog. Each joint's jogs alternate in sign, so the
// targets stay near zero and every jog takes 6 to 16 steps.
std::vector<Typed> burst() {
  const char *magnitudes[] = {"0.05", "0.07", "0.04", "0.06", "0.08", "0.03"};
  std::array<int, kNumberedJoints + 1> jogs = {};
  std::vector<Typed> typed;
  int next = 0;
  auto jog = [&](int number) {
    int k = jogs[number]++;
    std::string amount = (k % 2 ? "-" : "") + std::string(magnitudes[(k / 2 + number) % 6]);
    typed.push_back({number, amount, ""});
  };
  const int groups = tuner_groups();
  for (int g = 0; g < groups; ++g) {
    jog(next % 21 + 1);
    jog((next + 7) % 21 + 1);
    if (g % 10 == 9) {
      typed.push_back({1, "666", ""});
    } else {
      typed.push_back({(next + 7) % 21 + 1, "9", ""});
    }
    char name[16];
    std::snprintf(name, sizeof name, "s%04d.csv", g);
    typed.push_back({g % 21 + 1, "999", name});
    jog((next + 3) % 21 + 1);
    next += 5;
  }
  return typed;
}

// What the tuner printed, in order.
struct Event {
  enum Kind { kScreen, kFrame } kind = kScreen;  // console screen, or a loop step
  bool landing = false;                          // frames: the step that landed
  Shown shown;
};

// Parses one table row "NN:\tname = angle  pulse: count\t\tmin=..\tmax=..".
bool parse_row(std::string_view line, int number, Shown &shown) {
  char head[8];
  std::snprintf(head, sizeof head, "%02d:\t", number);
  if (!line.starts_with(head)) return false;
  std::size_t equals = line.find(" = ");
  std::size_t pulse_at = line.find("  pulse: ");
  std::size_t tabs = line.find("\t\tmin=");
  if (equals == std::string_view::npos || pulse_at == std::string_view::npos ||
      tabs == std::string_view::npos)
    return false;
  std::string_view angle = line.substr(equals + 3, pulse_at - equals - 3);
  std::string_view count = line.substr(pulse_at + 9, tabs - pulse_at - 9);
  double rad = 0;
  int pulses = 0;
  auto a = std::from_chars(angle.data(), angle.data() + angle.size(), rad);
  auto p = std::from_chars(count.data(), count.data() + count.size(), pulses);
  if (a.ec != std::errc() || p.ec != std::errc()) return false;
  shown.rad[number - 1] = rad;
  shown.pulses[number - 1] = pulses;
  return true;
}

// Splits the output into console screens and loop frames; anything else
// than the start-up texts, tables, banners, prompts and snapshot texts
// fails the test. Returns the events and counts the snapshot texts.
std::vector<Event> parse_screens(const std::string &out, int &writings) {
  std::vector<std::string_view> lines;
  std::string_view rest = out;
  while (!rest.empty()) {
    std::size_t end = rest.find('\n');
    if (end == std::string_view::npos) break;  // the unfinished last line
    std::string_view line = rest.substr(0, end);
    // The name prompt has no line end: what follows it joins its line.
    while (line.starts_with(kNamePrompt)) line.remove_prefix(sizeof kNamePrompt - 1);
    if (!line.empty() || rest[0] == '\n') lines.push_back(line);
    rest.remove_prefix(end + 1);
  }
  std::vector<Event> events;
  bool landing = false;
  writings = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    if (line == "reset" || line == "starting reset") continue;
    if (line == kWriting) {
      ++writings;
      continue;
    }
    if (line == kOverLine) {
      landing = true;
      continue;
    }
    Event event;
    bool table = i + kNumberedJoints < lines.size();
    for (int n = 1; table && n <= kNumberedJoints; ++n)
      table = parse_row(lines[i + n - 1], n, event.shown);
    if (!table) {
      ADD_FAILURE() << "unexpected output line " << i << ": \"" << line << "\"";
      return events;
    }
    i += kNumberedJoints;
    auto at = [&](std::size_t k) {
      return i + k < lines.size() ? lines[i + k] : std::string_view("?");
    };
    if (at(0) == kInsertLine) {
      event.kind = Event::kScreen;
      events.push_back(event);
    } else if (at(0) == "" && at(1) == kBannerEdge && at(2) == kBannerEdge &&
               at(3) == kBannerText && at(4) == kBannerEdge && at(5) == kBannerEdge) {
      event.kind = Event::kFrame;
      event.landing = landing;
      landing = false;
      events.push_back(event);
      i += 5;
    } else if (at(0) == "" && at(1) == kOverLine && at(2) == kInsertLine) {
      // The landing step's table again, with the prompt.
      EXPECT_TRUE(!events.empty() && events.back().landing &&
                  events.back().shown.pulses == event.shown.pulses)
          << "a landing's second table differs from its first, line " << i;
      i += 2;
    } else {
      ADD_FAILURE() << "a table followed by \"" << at(0) << "\", line " << i;
      return events;
    }
  }
  return events;
}

// A step's commands as the tuner's table would show them.
Shown shown_of(const Step &step) {
  Shown shown;
  for (std::size_t k = 0; k < step.sent.size() && k < kHeadFirstOrder.size(); ++k) {
    int i = kHeadFirstOrder[k];
    if (kJoints[i].number == 0) continue;
    shown.rad[kJoints[i].number - 1] = step.sent[k];
    shown.pulses[kJoints[i].number - 1] = rad2pulse(step.sent[k], i);
  }
  return shown;
}

std::string pulses_text(const std::array<int, kNumberedJoints> &pulses) {
  std::string text;
  for (int p : pulses) text += std::to_string(p) + " ";
  return text;
}

bool is_snapshot_file(const std::string &name) {
  return (name.size() == 9 && name[0] == 's' && name.ends_with(".csv")) ||
         name.starts_with(".snapshot.") || (name.starts_with("#") && name.ends_with(" (deleted)"));
}

TEST(TunerHandOver, BurstOfJogsZeroesAndSnapshotsDuringInterpolations) {
  if (e2e::under_valgrind())
    GTEST_SKIP() << "valgrind runs one thread at a time: no hand-over race to stress";
  const std::vector<Typed> typed = burst();
  std::string input;
  for (const Typed &t : typed)
    input +=
        std::to_string(t.number) + " " + t.amount + (t.name.empty() ? "" : " " + t.name) + "\n";

  // A "clear" that prints nothing: screens then follow each other directly.
  std::string bin = e2e::temp_dir();
  std::filesystem::create_symlink(
      std::filesystem::exists("/usr/bin/true") ? "/usr/bin/true" : "/bin/true", bin + "/clear");
  std::string dir = e2e::temp_dir();
  std::string probe_log = e2e::temp_dir() + "/probe.log";
  e2e::Options options;
  options.program = POSE_TUNER_PATH;
  options.cwd = dir;
  options.stop_ms = 1'000'000'000;
  const char *path = std::getenv("PATH");
  // 20 times real time, 3.2 ms a step: a jog of 0.05 rad takes 32 ms, longer
  // than the console takes for a command, so the burst lands during
  // interpolations. Under the sanitizers 32 ms a step.
  options.env = {{"PATH", bin + ":" + (path != nullptr ? path : "/usr/bin:/bin")},
                 {"STANDIN_PACE", kTunerPace},
                 preload_probe(),
                 {"FILE_PROBE_LOG", probe_log}};
  e2e::Session session(options);
  ASSERT_TRUE(session.wait_for_output(kInsert));
  session.write(input);
  // One console screen per command, then the landing of the last jog.
  const std::string screen_end = "max=1.5708\n" + kInsert;
  std::size_t from = 0;
  std::size_t screens = 0;
  for (; screens <= typed.size() && session.wait_for_output(screen_end, from); ++screens)
    from = session.out().find(screen_end, from) + screen_end.size();
  const bool rested = screens == typed.size() + 1 &&
                      session.wait_for_output(std::string("\n") + kOverLine + "\n" + kInsert, from);
  e2e::Result result = session.stop();
  ASSERT_TRUE(rested) << screens << " screens; the program ended early (status " << result.exit_code
                      << ", signal " << result.signal << "):\n"
                      << result.err;
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.err, "");

  int writings = 0;
  std::vector<Event> events = parse_screens(result.out, writings);
  std::vector<std::size_t> screen_at;  // event index of the screen after command n (0: start)
  for (std::size_t e = 0; e < events.size(); ++e)
    if (events[e].kind == Event::kScreen) screen_at.push_back(e);
  ASSERT_EQ(screen_at.size(), typed.size() + 1) << "one screen per command";
  const int snapshots = static_cast<int>(
      std::count_if(typed.begin(), typed.end(), [](const Typed &t) { return t.amount == "999"; }));
  EXPECT_EQ(writings, snapshots);

  // Every step sent 23 commands; the postures sent, as pulse counts.
  std::vector<Step> steps = steps_of(result.trace);
  std::set<std::array<int, kNumberedJoints>> sent;
  for (std::size_t n = 1; n < steps.size(); ++n) {
    if (n + 1 == steps.size() && steps[n].sent.empty()) break;  // the stop
    ASSERT_EQ(steps[n].sent.size(), kHeadFirstOrder.size()) << "step " << n;
    sent.insert(shown_of(steps[n]).pulses);
  }
  const Shown final_sent = shown_of(steps[steps.size() - 2]);

  // Every frame shows a posture that was sent: drawn from the same copy.
  for (std::size_t e = 0; e < events.size(); ++e) {
    if (events[e].kind == Event::kFrame) {
      EXPECT_TRUE(sent.contains(events[e].shown.pulses))
          << "frame " << e << " was never sent: " << pulses_text(events[e].shown.pulses);
    }
  }

  // A command lands between two control cycles: the posture it met is the
  // one the previous command left, or one a step sent; the screen shows it
  // with the command applied.
  auto applied = [](const Typed &t, std::array<int, kNumberedJoints> pulses) {
    for (int j : t.zeroed()) pulses[j] = 0;
    return pulses;
  };
  auto met = [&](const Typed &t, const std::array<int, kNumberedJoints> &before,
                 const std::array<int, kNumberedJoints> &after) {
    if (applied(t, before) == after) return true;
    if (!t.zero()) return sent.contains(after);
    return std::any_of(sent.begin(), sent.end(),
                       [&](const auto &p) { return applied(t, p) == after; });
  };
  int during = 0;  // commands shown while an interpolation ran
  for (std::size_t n = 1; n <= typed.size(); ++n) {
    const Typed &t = typed[n - 1];
    const Shown &before = events[screen_at[n - 1]].shown;
    const Shown &after = events[screen_at[n]].shown;
    EXPECT_TRUE(met(t, before.pulses, after.pulses))
        << "command " << n << " met a posture no step sent: " << pulses_text(after.pulses);
    // A snapshot holds the posture of one step, or the previous command's.
    if (t.amount == "999") {
      MotionRow row;
      std::string text = e2e::read_file(dir + "/" + t.name);
      EXPECT_EQ(parse_csv_row(text.c_str(), row), kRowFields) << t.name;
      std::array<int, kNumberedJoints> saved;
      for (int c = 0; c < kNumberedJoints; ++c) saved[c] = row.pulses[convertJoint(c + 1)];
      EXPECT_TRUE(saved == before.pulses || sent.contains(saved))
          << t.name << " mixes postures: " << pulses_text(saved);
    }
    for (std::size_t e = screen_at[n]; e-- > 0;) {
      if (events[e].kind != Event::kFrame) continue;
      if (!events[e].landing) ++during;
      break;
    }
  }
  std::printf("[ stress   ] %zu commands, %d shown during an interpolation, %zu control steps\n",
              typed.size(), during, steps.size() - 2);
  EXPECT_GE(during, static_cast<int>(typed.size()) / 2) << "the burst did not meet interpolations";

  // A zeroing is never overwritten by the step in progress. The frame after
  // the last one printed before the zeroing's screen may come from a step
  // taken before it; the one after that cannot. So one of the two shows
  // each zeroed joint at zero, or at most one step (or its landing) from it.
  int zero_checks = 0;
  for (std::size_t n = 1; n <= typed.size(); ++n) {
    const Typed &t = typed[n - 1];
    if (!t.zero()) continue;
    const Shown &screen = events[screen_at[n]].shown;
    std::vector<std::size_t> frames_after;
    for (std::size_t e = screen_at[n] + 1; e < events.size() && frames_after.size() < 2; ++e)
      if (events[e].kind == Event::kFrame) frames_after.push_back(e);
    std::size_t before = screen_at[n];
    while (before > 0 && events[before].kind != Event::kFrame) --before;
    for (int j : t.zeroed()) {
      EXPECT_EQ(screen.pulses[j], 0) << "command " << n << " joint " << j + 1;
      if (events[before].kind != Event::kFrame || events[before].landing ||
          frames_after.size() < 2 || events[frames_after[0]].landing)
        continue;
      if (std::fabs(events[before].shown.rad[j]) <= 0.02) continue;
      ++zero_checks;
      const double near = kJogTolerance + 1e-6;
      EXPECT_TRUE(std::fabs(events[frames_after[0]].shown.rad[j]) <= near ||
                  std::fabs(events[frames_after[1]].shown.rad[j]) <= near)
          << "command " << n << " (" << t.number << " " << t.amount << "): joint " << j + 1
          << " went " << events[before].shown.rad[j] << ", " << events[frames_after[0]].shown.rad[j]
          << ", " << events[frames_after[1]].shown.rad[j];
    }
  }
  std::printf("[ stress   ] %d zeroed joints seen leaving an interpolation step\n", zero_checks);
  EXPECT_GT(zero_checks, tuner_groups() / 4);

  // A jog is never lost: a later landing shows its target (the angle its
  // screen showed plus the amount), unless a later jog of the same joint
  // replaced that target first.
  std::vector<double> target(typed.size() + 1, 0.0);
  std::array<double, kNumberedJoints> last_target = {};
  for (std::size_t n = 1; n <= typed.size(); ++n) {
    const Typed &t = typed[n - 1];
    if (!t.jog()) continue;
    target[n] = events[screen_at[n]].shown.rad[t.joint()] + std::strtof(t.amount.c_str(), nullptr);
    last_target[t.joint()] = target[n];
  }
  for (std::size_t n = 1; n <= typed.size(); ++n) {
    const Typed &t = typed[n - 1];
    if (!t.jog()) continue;
    bool landed = false;
    for (std::size_t e = screen_at[n] + 1; e < events.size() && !landed; ++e) {
      if (events[e].kind != Event::kFrame || !events[e].landing) continue;
      for (std::size_t m = n; m <= typed.size() && screen_at[m] < e && !landed; ++m) {
        landed = typed[m - 1].jog() && typed[m - 1].joint() == t.joint() &&
                 std::fabs(events[e].shown.rad[t.joint()] - target[m]) <= 2e-6;
      }
    }
    EXPECT_TRUE(landed) << "command " << n << " (" << t.number << " " << t.amount << ", target "
                        << target[n] << ") never landed";
  }
  // At rest, every joint is on the target of its last jog.
  for (int j = 0; j < kNumberedJoints; ++j)
    EXPECT_NEAR(final_sent.rad[j], last_target[j], 2e-6) << "joint " << j + 1;

  // The probe: one snapshot file open at a time, each closed once.
  auto lives = file_lifetimes(parse_probe_log(e2e::read_file(probe_log)), is_snapshot_file);
  EXPECT_EQ(lives.size(), static_cast<std::size_t>(snapshots));
}

}  // namespace

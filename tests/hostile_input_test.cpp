// Hostile inputs end to end: every program is given directories, FIFOs,
// devices, unreadable files, a 10 MB line, NUL bytes, CRLF line ends,
// numbers out of range, overlong names, end of input and unwritable
// snapshot targets. Each must say what it refuses, go on prompting or
// stepping, never crash, never spin and never lose or empty a file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "body_model.h"
#include "e2e_harness.h"

namespace {

namespace fs = std::filesystem;

const std::string kPlayerPrompt = "Give the name of the csv file: ";
const std::string kSkimPrompt = " Give the name of the csv file: ";
const std::string kOver = "The interpolation is over\nExecuting your file...\n";
const std::string kUnableToLocate = "unable to locate the file\n";
const std::string kInsert =
    "Insert joint number (01-21) followed by the amount of angle (rd) to add to joint\n";
const std::string kNamePrompt = " Give the name of the csv file: ";
const std::string kWriting = "writing position to the file TeSt.csv\n";
const std::string kUnableToOpen = "unable to open the file TeSt.csv\n";
const std::string kUnableToWrite = "unable to write the file TeSt.csv\n";
const std::string kSkipped =
    "not a joint number and an amount of angle: the rest of the line is skipped\n";
const std::string kNotFinite = "the amount of angle must be a finite number: command refused\n";
const std::string kLongName(4096, 'n');  // a name for every name prompt
const std::string kNulName("na\0me", 5);

// CPU time a program may use over an idle window of about 2 s: a bound so
// wide that no machine's speed crosses it. The window is counted in steps
// at real-time pace, so a slower machine stretches it rather than filling
// it. An idle loop uses 0-20 ms of it under valgrind (the slowest way the
// suite runs a program, tens of times slower than the release build): the
// bound is 25 times that. A spinning one uses all 2000 ms of a core, and
// still half of that on a machine with twice as many busy processes as
// cores.
constexpr long kIdleCpuMs = 500;
// Size of the single-line file, bytes.
constexpr std::size_t kLongLineBytes = 10 * 1000 * 1000;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // sanitizers' shadow memory hides the program's own
#else
constexpr bool kSanitized = false;
#endif

// --- Motion files ------------------------------------------------------------

std::string row_text(int period, const std::vector<std::string> &columns,
                     const std::string &end = "\n") {
  std::string text = std::to_string(period) + ",2";
  for (const std::string &column : columns) text += "," + column;
  return text + ", R ,R ,R,R" + end;
}

// Pulse counts of the distinctive row: a different count for every column.
std::vector<int> distinct_counts() {
  std::vector<int> counts;
  for (int c = 0; c < kNumberedJoints; ++c) counts.push_back((c % 2 ? -10 : 10) * (c + 1));
  return counts;
}

std::vector<std::string> texts_of(const std::vector<int> &counts) {
  std::vector<std::string> texts;
  for (int count : counts) texts.push_back(std::to_string(count));
  return texts;
}

std::string zero_row(const std::string &end = "\n") {
  return row_text(50, std::vector<std::string>(kNumberedJoints, "0"), end);
}

// The distinctive row with column `column` written as `text`.
std::string row_with(int column, const std::string &text) {
  std::vector<std::string> columns = texts_of(distinct_counts());
  columns[column] = text;
  return row_text(50, columns);
}

// The distinctive counts up to column `kept` (exclusive); later ones 0.
std::vector<int> kept_until(int kept) {
  std::vector<int> counts = distinct_counts();
  for (int c = kept; c < kNumberedJoints; ++c) counts[c] = 0;
  return counts;
}

// The 21 commands that a row of these counts by column gives.
std::vector<e2e::Command> body_commands(const std::vector<int> &column_counts) {
  Posture angles{};
  for (int c = 0; c < kNumberedJoints; ++c) {
    int i = kColumnOrder[c];
    angles[i] = pulse2rad(column_counts[c], i);
  }
  std::vector<e2e::Command> commands;
  for (int i : kBodyOrder) commands.push_back({jointNum2Text(i), narrow_angle(angles[i])});
  return commands;
}

// One line of 10 MB: the start of a row of 5s, its "5," repeated. A piece
// of it read as a row is a row of 5s if it starts on a digit, and parses
// to nothing if it starts on a comma: `prefix` ("1,2," or "1,2, ") sets
// which pieces start on a digit.
std::string long_line(const std::string &prefix) {
  std::string text = prefix;
  while (text.size() + 2 <= kLongLineBytes) text += "5,";
  return text;
}

// Rows the line readers make of the 10 MB line at `chars` per read.
long long_line_rows(const std::string &line, std::size_t chars) {
  return static_cast<long>((line.size() + chars - 1) / chars);
}

// A row the players parse only in part, and what they command for it.
struct RowCase {
  std::string name;
  std::string row;          // with its line end
  std::vector<int> counts;  // counts commanded, by column
  std::string end = "\n";   // line end of the other rows of the file
};

std::vector<RowCase> row_cases() {
  std::vector<int> all = distinct_counts();
  std::vector<int> nul = kept_until(8);
  nul[8] = 1;
  return {
      {"crlf.csv", row_text(50, texts_of(all), "\r\n"), all, "\r\n"},
      {"past_int.csv", row_with(4, "2147483648"), kept_until(4)},
      {"far_past_int.csv", row_with(0, "-99999999999"), kept_until(0)},
      {"nan.csv", row_with(6, "nan"), kept_until(6)},
      {"inf.csv", row_with(2, "inf"), kept_until(2)},
      {"nul.csv",
       row_with(8, std::string("1\0"
                               "5",
                               3)),
       nul},
  };
}

// --- Files that are not motion files -------------------------------------------

// A directory holding a subdirectory "dir" and a FIFO "fifo".
std::string dir_with_specials() {
  std::string dir = e2e::temp_dir();
  fs::create_directory(dir + "/dir");
  EXPECT_EQ(mkfifo((dir + "/fifo").c_str(), 0644), 0);
  return dir;
}

void expect_specials_kept(const std::string &dir) {
  EXPECT_TRUE(fs::is_directory(dir + "/dir"));
  EXPECT_TRUE(fs::is_fifo(dir + "/fifo"));
}

// Every file of `dir` that the test wrote still holds what it wrote.
void expect_unchanged(const std::string &dir,
                      const std::vector<std::pair<std::string, std::string>> &files) {
  for (const auto &[name, text] : files)
    EXPECT_TRUE(e2e::read_file(dir + "/" + name) == text) << name << " changed";
}

// --- Watching a program ---------------------------------------------------------

long steps_in(const std::string &trace_path) {
  std::string text = e2e::read_file(trace_path);
  return e2e::count(std::string_view(text).substr(0, text.rfind('\n') + 1), "\trobot_step\t");
}

// CPU time the program uses while `steps` more control steps pass.
long cpu_over_steps(e2e::Session &session, const std::string &trace, long steps) {
  const long before = session.cpu_time_ms();
  EXPECT_GE(before, 0);
  EXPECT_TRUE(session.wait_for_step(steps_in(trace) + steps));
  return session.cpu_time_ms() - before;
}

// Peak resident memory of the running program, kB (VmHWM).
long peak_memory_kb(const e2e::Session &session) {
  std::string status = e2e::read_file("/proc/" + std::to_string(session.pid()) + "/status");
  std::size_t at = status.find("VmHWM:");
  return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

// `out` once main's start-up texts, "\n" and later "starting reset\n",
// printed beside the player's loader, are taken out of it.
std::string without_start_up(std::string out) {
  const std::string reset_text = "starting reset\n";
  std::size_t reset_at = out.find(reset_text);
  if (reset_at == std::string::npos) return out;
  out.erase(reset_at, reset_text.size());
  // The lone "\n" came before it; the dialogue's own line ends all follow text.
  for (std::size_t at = 0; at <= reset_at && at < out.size(); ++at) {
    if (out[at] == '\n' && (at == 0 || out[at - 1] == '\n' || out[at - 1] == ' '))
      return out.erase(at, 1);
  }
  return out;
}

// The commands of each control step that sent any, in order.
std::vector<std::vector<e2e::Command>> sends(const e2e::Result &result) {
  std::vector<std::vector<e2e::Command>> all;
  long step = -1;
  for (const e2e::TraceLine &line : e2e::calls(result.trace, "servo_set_position")) {
    if (line.step != step) all.emplace_back();
    step = line.step;
    all.back().push_back({line.device, e2e::to_float(line.value)});
  }
  return all;
}

e2e::Options player_options(const std::string &dir, const std::string &pace,
                            const std::string &trace) {
  e2e::Options options;
  options.program = MOTION_PLAYER_PATH;
  options.cwd = dir;
  options.stop_ms = 100'000'000;
  options.env = {{"STANDIN_PACE", pace}, {"STANDIN_TRACE", trace}};
  return options;
}

// A directory holding a "clear" that prints a marker line.
const std::string &clear_dir() {
  static const std::string dir = [] {
    std::string made = e2e::temp_dir();
    e2e::write_file(made + "/clear", "#!/bin/sh\nprintf '<clear>\\n'\n");
    fs::permissions(made + "/clear", fs::perms::owner_all);
    return made;
  }();
  return dir;
}

e2e::Options tuner_options(const std::string &dir, const std::string &pace,
                           std::vector<std::pair<std::string, std::string>> env) {
  e2e::Options options;
  options.program = POSE_TUNER_PATH;
  options.cwd = dir;
  options.stop_ms = 100'000'000;
  const char *path = std::getenv("PATH");
  options.env = {{"PATH", clear_dir() + ":" + (path != nullptr ? path : "/usr/bin:/bin")},
                 {"STANDIN_PACE", pace}};
  options.env.insert(options.env.end(), env.begin(), env.end());
  return options;
}

// The tuner's output from byte `from` to the end of the next prompt,
// without its tables: what it said.
std::string said_until_prompt(e2e::Session &session, std::size_t from) {
  EXPECT_TRUE(session.wait_for_output(kInsert, from));
  std::size_t end = session.out().find(kInsert, from);
  if (end == std::string::npos) return "";
  std::string text = session.out().substr(from, end + kInsert.size() - from);
  // Each table is the marker and 21 rows; the name prompt, which has no
  // line end, may come right before one.
  for (std::size_t at = text.find("<clear>\n"); at != std::string::npos;
       at = text.find("<clear>\n", at)) {
    std::size_t end = at;
    for (int line = 0; line < 1 + kNumberedJoints && end != std::string::npos; ++line)
      end = text.find('\n', end) + 1;
    text.erase(at, end - at);
  }
  return text;
}

}  // namespace

// ---- motion_player -------------------------------------------------------------

TEST(HostileInput, MotionPlayerRefusesOrPlaysEveryFileAndThenTheNextGoodOne) {
  std::string dir = dir_with_specials();
  std::vector<std::pair<std::string, std::string>> files;
  std::string input;
  std::string dialogue;
  // Played in part: the row's later joints keep the earlier row's zeros.
  std::vector<RowCase> cases = row_cases();
  for (const RowCase &c : cases) {
    files.push_back({c.name, zero_row(c.end) + c.row + zero_row(c.end)});
    input += c.name + "\n";
    dialogue += kPlayerPrompt + "interpolating\n" + kOver;
  }
  // Refused, each with its line, and the next name tried.
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"dir", kUnableToLocate},
      {"fifo", kUnableToLocate},
      {"/dev/zero", kUnableToLocate},
      {"/dev/urandom", kUnableToLocate},
      {"/proc/self/mem", "unable to read the file\n"},
      {kLongName, "file name too long: at most 31 characters\n"},
      {kNulName, "file name contains a NUL byte\n"},
      {"period_past_int.csv", "no row period in the first row\n"},
      {"period_nan.csv", "no row period in the first row\n"},
      {"period_inf.csv", "no row period in the first row\n"},
      {"period_nul.csv", "no row period in the first row\n"},
  };
  files.push_back({"period_past_int.csv", "2147483648" + zero_row().substr(2) + zero_row()});
  files.push_back({"period_nan.csv", "nan" + zero_row().substr(2) + zero_row()});
  files.push_back({"period_inf.csv", "inf" + zero_row().substr(2) + zero_row()});
  files.push_back({"period_nul.csv", std::string(1, '\0') + zero_row() + zero_row()});
  for (const auto &[name, said] : refused) {
    input += name + "\n";
    dialogue += kPlayerPrompt + said;
  }
  // 10 MB on one line, in 499-character rows at 1 ms: 50 rows a step,
  // each row played a piece at an even offset, starting on a digit.
  const std::string line = long_line("1,2,");
  files.push_back({"long.csv", line});
  const std::vector<int> fives(kNumberedJoints, 5);
  const std::vector<std::string> good = {zero_row(), row_text(50, texts_of(distinct_counts())),
                                         row_text(50, texts_of(kept_until(10)))};
  files.push_back({"good.csv", good[0] + good[1] + good[2]});
  input += "long.csv\ngood.csv\n";
  dialogue += kPlayerPrompt + "interpolating\n" + kOver + kPlayerPrompt + "interpolating\n" +
              kOver + kPlayerPrompt;
  for (const auto &[name, text] : files) e2e::write_file(dir + "/" + name, text);

  std::string trace = e2e::temp_dir() + "/trace.tsv";
  // 1 ms a step: the trace stays small while the test waits.
  e2e::Session session(player_options(dir, "50", trace));
  session.write(input);
  const int prompts = static_cast<int>(cases.size() + refused.size()) + 3;
  std::size_t from = 0;
  for (int k = 0; k < prompts; ++k) {
    ASSERT_TRUE(session.wait_for_output(kPlayerPrompt, from)) << "prompt " << k + 1;
    from = session.out().find(kPlayerPrompt, from) + kPlayerPrompt.size();
  }
  const long peak_kb = peak_memory_kb(session);
  e2e::Result result = session.stop();
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(without_start_up(result.out), dialogue);
  expect_unchanged(dir, files);
  expect_specials_kept(dir);
  // Stdio never holds the line: the reader's block is all the memory it takes.
  if (!kSanitized && !e2e::under_valgrind()) {
    EXPECT_LT(peak_kb, 8000) << "kB at peak, for a 10 MB line";
  }

  // Each file: the approach (one step from the zero posture), its rows 2
  // and 3, and row 3 again at its end. The long file: 50 rows a step.
  std::vector<std::vector<e2e::Command>> sent = sends(result);
  const std::size_t long_sends = 1 + (long_line_rows(line, 499) - 1) / 50 + 1;
  ASSERT_EQ(sent.size(), 4 * cases.size() + long_sends + 4);
  const std::vector<e2e::Command> zeros = body_commands(std::vector<int>(kNumberedJoints, 0));
  for (std::size_t k = 0; k < cases.size(); ++k) {
    EXPECT_EQ(sent[4 * k], zeros) << cases[k].name;
    EXPECT_EQ(sent[4 * k + 1], body_commands(cases[k].counts)) << cases[k].name;
    EXPECT_EQ(sent[4 * k + 2], zeros) << cases[k].name;
  }
  const std::size_t long_first = 4 * cases.size();
  for (std::size_t k = long_first + 1; k < long_first + long_sends; ++k)
    ASSERT_EQ(sent[k], body_commands(fives)) << "long file, sending step " << k - long_first;
  EXPECT_EQ(sent[sent.size() - 3], body_commands(distinct_counts()));
  EXPECT_EQ(sent[sent.size() - 2], body_commands(kept_until(10)));
}

TEST(HostileInput, MotionPlayerIdlesAfterRefusedFilesAndAfterTheInputEnds) {
  std::string dir = dir_with_specials();
  std::string trace = e2e::temp_dir() + "/trace.tsv";
  e2e::Session session(player_options(dir, "realtime", trace));
  session.write("dir fifo /dev/zero\n");
  std::size_t from = 0;
  for (int k = 0; k < 4; ++k) {
    ASSERT_TRUE(session.wait_for_output(kPlayerPrompt, from));
    from = session.out().find(kPlayerPrompt, from) + kPlayerPrompt.size();
  }
  // 40 steps of 50 ms: 2 s waiting for a name, then 2 s after the input ends.
  const long waiting_ms = cpu_over_steps(session, trace, 40);
  session.close_input();
  const long ended_ms = cpu_over_steps(session, trace, 40);
  e2e::Result result = session.stop();
  EXPECT_LT(waiting_ms, kIdleCpuMs);
  EXPECT_LT(ended_ms, kIdleCpuMs);
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(e2e::count(result.out, kUnableToLocate), 3);
  EXPECT_TRUE(sends(result).empty());
  std::cout << "motion_player CPU over 2 s: " << waiting_ms << " ms waiting, " << ended_ms
            << " ms after the end of input\n";
}

// ---- motion_skim ----------------------------------------------------------------

TEST(HostileInput, MotionSkimRefusesEveryNameThatIsNoMotionFileThenPlaysOne) {
  std::string dir = dir_with_specials();
  std::vector<std::pair<std::string, std::string>> files = {
      {"good.csv", row_text(50, texts_of(distinct_counts()))}};
  for (const auto &[name, text] : files) e2e::write_file(dir + "/" + name, text);
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"dir", kUnableToLocate},
      {"fifo", kUnableToLocate},
      {"/dev/zero", kUnableToLocate},
      {"/dev/urandom", kUnableToLocate},
      {kLongName, "file name too long: at most 31 characters\n"},
      {kNulName, "file name contains a NUL byte\n"},
  };
  std::string input;
  std::string dialogue = "\nstarting reset\n";
  for (const auto &[name, said] : refused) {
    input += name + "\n";
    dialogue += kSkimPrompt + said;
  }
  input += "good.csv\n";
  dialogue += kSkimPrompt;
  e2e::Result result =
      e2e::run({.program = MOTION_SKIM_PATH, .input = input, .stop_ms = 128 + 64 * 4, .cwd = dir});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, dialogue);
  expect_unchanged(dir, files);
  expect_specials_kept(dir);
  std::vector<std::vector<e2e::Command>> sent = sends(result);
  ASSERT_EQ(sent.size(), 4u);
  for (const auto &step : sent) EXPECT_EQ(step, body_commands(distinct_counts()));
}

TEST(HostileInput, MotionSkimPlaysRowsAsFarAsTheyParse) {
  // A one-row file: every step commands what its row parses to.
  std::vector<RowCase> cases = row_cases();
  cases.push_back({"/proc/self/mem", "", std::vector<int>(kNumberedJoints, 0)});
  for (const RowCase &c : cases) {
    std::string dir = e2e::temp_dir();
    const bool own = c.name[0] != '/';
    if (own) e2e::write_file(dir + "/" + c.name, c.row);
    e2e::Result result = e2e::run(
        {.program = MOTION_SKIM_PATH, .input = c.name + "\n", .stop_ms = 128 + 64 * 3, .cwd = dir});
    EXPECT_EQ(result.exit_code, 0) << c.name;
    EXPECT_EQ(result.err, "") << c.name;
    EXPECT_EQ(result.out, "\nstarting reset\n" + kSkimPrompt) << c.name;
    if (own) {
      EXPECT_TRUE(e2e::read_file(dir + "/" + c.name) == c.row) << c.name;
    }
    std::vector<std::vector<e2e::Command>> sent = sends(result);
    ASSERT_EQ(sent.size(), 3u) << c.name;
    for (const auto &step : sent) EXPECT_EQ(step, body_commands(c.counts)) << c.name;
  }
}

TEST(HostileInput, MotionSkimSplitsATenMegabyteLineInBoundedMemory) {
  std::string dir = e2e::temp_dir();
  // Every hundredth 999-character piece is played: odd ones, which start
  // on a digit after the five characters of this prefix.
  const std::string text = long_line("1,2, ");
  e2e::write_file(dir + "/long.csv", text);
  std::string trace = e2e::temp_dir() + "/trace.tsv";
  e2e::Options options{.program = MOTION_SKIM_PATH, .stop_ms = 100'000'000, .cwd = dir};
  // Paced so that the trace, read while it grows, grows slower than it is read.
  options.env = {{"STANDIN_TRACE", trace}, {"STANDIN_PACE", "50"}};
  e2e::Session session(options);
  session.write("long.csv\n");
  // 999-character rows, 100 a step; a few steps more hold the last.
  const long steps = 1 + long_line_rows(text, 999) / 100 + 3;
  ASSERT_TRUE(session.wait_for_step(steps));
  const long peak_kb = peak_memory_kb(session);
  e2e::Result result = session.stop();
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.err, "");
  if (!kSanitized && !e2e::under_valgrind()) {
    EXPECT_LT(peak_kb, 8000) << "kB at peak, for a 10 MB line";
  }
  EXPECT_TRUE(e2e::read_file(dir + "/long.csv") == text);
  std::vector<std::vector<e2e::Command>> sent = sends(result);
  ASSERT_GE(sent.size(), static_cast<std::size_t>(steps - 1));
  for (const auto &step : sent)
    ASSERT_EQ(step, body_commands(std::vector<int>(kNumberedJoints, 5)));
}

TEST(HostileInput, MotionSkimIdlesAtItsPromptAndAfterTheInputEnds) {
  std::string dir = dir_with_specials();
  std::string trace = e2e::temp_dir() + "/trace.tsv";
  e2e::Options options{.program = MOTION_SKIM_PATH, .stop_ms = 100'000'000, .cwd = dir};
  options.env = {{"STANDIN_TRACE", trace}, {"STANDIN_PACE", "realtime"}};
  e2e::Session session(options);
  session.write("fifo\n");
  ASSERT_TRUE(session.wait_for_output(kUnableToLocate + kSkimPrompt));
  // Blocked on its console before its loop starts, it makes no step.
  const long before = session.cpu_time_ms();
  session.run_for(2000);
  const long waiting_ms = session.cpu_time_ms() - before;
  // Then 32 steps of 64 ms, about 2 s.
  session.close_input();
  const long ended_ms = cpu_over_steps(session, trace, 32);
  e2e::Result result = session.stop();
  EXPECT_LT(waiting_ms, kIdleCpuMs);
  EXPECT_LT(ended_ms, kIdleCpuMs);
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_TRUE(sends(result).empty());
  std::cout << "motion_skim CPU over 2 s: " << waiting_ms << " ms waiting, " << ended_ms
            << " ms after the end of input\n";
}

// ---- pose_tuner -----------------------------------------------------------------

TEST(HostileInput, PoseTunerRefusesBadCommandsAndUnwritableSnapshotsAndPromptsAgain) {
  std::string dir = dir_with_specials();
  e2e::write_file(dir + "/ro.csv", "keep");
  fs::permissions(dir + "/ro.csv", fs::perms(0444));
  fs::create_directory(dir + "/rodir");
  fs::permissions(dir + "/rodir", fs::perms(0555));
  e2e::write_file(dir + "/old.csv", "an older file\n");
  fs::permissions(dir + "/old.csv", fs::perms(0640));
  e2e::write_file(dir + "/linked.csv", "linked\n");
  fs::create_symlink("linked.csv", dir + "/link.csv");
  const std::string row = "1,2,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0, R ,R ,R,R";
  const std::string opened = kNamePrompt + kWriting;
  const std::vector<std::pair<std::string, std::string>> table = {
      {"3 nan\n", kNotFinite + kInsert},
      {"3 -inf\n", kNotFinite + kInsert},
      {std::string("3\0 0.1\n", 7), kSkipped + kInsert},
      {"3 " + std::string(kLongLineBytes, '7') + "\n", kSkipped + kInsert},
      {"1 999 " + kLongName + "\n",
       kNamePrompt + "file name too long: at most 255 characters\n" + kInsert},
      {"1 999 " + kNulName + "\n", kNamePrompt + "file name contains a NUL byte\n" + kInsert},
      {"1 999 dir\n", opened + kUnableToOpen + kInsert},
      {"1 999 fifo\n", opened + kUnableToOpen + kInsert},
      {"1 999 ro.csv\n", opened + kUnableToOpen + kInsert},
      {"1 999 rodir/new.csv\n", opened + kUnableToOpen + kInsert},
      {"1 999 crlf.csv\r\n", opened + kInsert},
      {"1 999 old.csv\n", opened + kInsert},
      {"1 999 link.csv\n", opened + kInsert},
      // The number takes two characters: 99 (the body joint), then a jog
      // of 999999999 rad, obeyed; then joint 0 (the body joint) and 0.1.
      {"99999999999 0.1\n", kInsert},
  };
  e2e::Session session(tuner_options(dir, "20", {}));
  ASSERT_TRUE(session.wait_for_output(kInsert));
  for (const auto &[typed, said] : table) {
    std::size_t mark = session.out().size();
    session.write(typed);
    EXPECT_EQ(said_until_prompt(session, mark), said) << typed.substr(0, 40);
  }
  e2e::Result result = session.stop();
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.err, "");

  expect_specials_kept(dir);
  EXPECT_EQ(e2e::read_file(dir + "/ro.csv"), "keep");
  EXPECT_TRUE(fs::is_empty(dir + "/rodir"));
  EXPECT_EQ(e2e::read_file(dir + "/crlf.csv"), row);
  EXPECT_EQ(e2e::read_file(dir + "/old.csv"), row);
  EXPECT_EQ(fs::status(dir + "/old.csv").permissions(), fs::perms(0640));
  EXPECT_TRUE(fs::is_symlink(dir + "/link.csv"));
  EXPECT_EQ(e2e::read_file(dir + "/linked.csv"), row);
  // Nothing else was made: no temporary file is left behind.
  std::vector<std::string> names;
  for (const auto &entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"crlf.csv", "dir", "fifo", "link.csv", "linked.csv",
                                             "old.csv", "ro.csv", "rodir"}));
}

TEST(HostileInput, PoseTunerFullDiskKeepsTheOldFileAndSaysSo) {
  // The file size limit would cut valgrind's own log.
  if (e2e::under_valgrind()) GTEST_SKIP() << "under valgrind";
  std::string dir = e2e::temp_dir();
  e2e::write_file(dir + "/old.csv", "old bytes");
  // Files the program writes stop at 16 bytes (a full disk for the row);
  // the limit and the ignored SIGXFSZ pass to the program at its start.
  // The trace and posture log go to a device, where the limit does not hold.
  // The options (and the "clear" they put on PATH) are made before the limit.
  e2e::Options options = tuner_options(
      dir, "20", {{"STANDIN_TRACE", "/dev/null"}, {"STANDIN_POSTURE_LOG", "/dev/null"}});
  std::optional<e2e::FileSizeLimit> full_disk(16);
  e2e::Session session(options);
  full_disk.reset();
  ASSERT_TRUE(session.wait_for_output(kInsert));
  std::size_t mark = session.out().size();
  session.write("1 999 old.csv\n");
  EXPECT_EQ(said_until_prompt(session, mark), kNamePrompt + kWriting + kUnableToWrite + kInsert);
  mark = session.out().size();
  session.write("1 999 new.csv\n");
  EXPECT_EQ(said_until_prompt(session, mark), kNamePrompt + kWriting + kUnableToWrite + kInsert);
  e2e::Result result = session.stop();
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(e2e::read_file(dir + "/old.csv"), "old bytes");
  std::vector<std::string> names;
  for (const auto &entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  EXPECT_EQ(names, std::vector<std::string>{"old.csv"});
}

TEST(HostileInput, PoseTunerIdlesWaitingAndAfterTheInputEndsAtEitherPrompt) {
  std::string dir = dir_with_specials();
  std::string trace = e2e::temp_dir() + "/trace.tsv";
  long waiting_ms = 0, at_name_ms = 0, at_command_ms = 0;
  {
    e2e::Session session(tuner_options(dir, "realtime", {{"STANDIN_TRACE", trace}}));
    ASSERT_TRUE(session.wait_for_output(kInsert));
    std::size_t mark = session.out().size();
    session.write("1 999 fifo\n");
    EXPECT_EQ(said_until_prompt(session, mark), kNamePrompt + kWriting + kUnableToOpen + kInsert);
    waiting_ms = cpu_over_steps(session, trace, 32);
    session.write("1 999");
    session.close_input();
    ASSERT_TRUE(session.wait_for_output(kNamePrompt, mark + 1));
    at_name_ms = cpu_over_steps(session, trace, 32);
    EXPECT_EQ(session.stop().exit_code, 0);
  }
  {
    std::string trace2 = e2e::temp_dir() + "/trace.tsv";
    e2e::Session session(tuner_options(dir, "realtime", {{"STANDIN_TRACE", trace2}}));
    session.close_input();
    ASSERT_TRUE(session.wait_for_output(kInsert));
    at_command_ms = cpu_over_steps(session, trace2, 32);
    EXPECT_EQ(session.stop().exit_code, 0);
  }
  EXPECT_LT(waiting_ms, kIdleCpuMs);
  EXPECT_LT(at_name_ms, kIdleCpuMs);
  EXPECT_LT(at_command_ms, kIdleCpuMs);
  expect_specials_kept(dir);
  std::cout << "pose_tuner CPU over 2 s: " << waiting_ms << " ms waiting, " << at_name_ms
            << " ms after the end of input at the name prompt, " << at_command_ms
            << " ms at the command prompt\n";
}

// ---- motion_check and every reader: unreadable files ---------------------------------

TEST(HostileInput, MotionCheckReportsEveryHostileFileWithoutWaiting) {
  std::string dir = dir_with_specials();
  std::vector<std::pair<std::string, std::string>> files;
  for (const RowCase &c : row_cases())
    files.push_back({c.name, zero_row(c.end) + c.row + zero_row(c.end)});
  files.push_back({"long.csv", long_line("1,2,")});
  for (const auto &[name, text] : files) e2e::write_file(dir + "/" + name, text);
  struct Expected {
    std::string name;
    int status;
    std::string first_line;  // after "<name>:"
  };
  const std::string open_error = " error: cannot open the file: ";
  const std::vector<Expected> table = {
      {"dir", 2, open_error + "it is a directory"},
      {"fifo", 2, open_error + "it is not a regular file"},
      {"/dev/zero", 2, open_error + "it is not a regular file"},
      {"/dev/urandom", 2, open_error + "it is not a regular file"},
      {"/proc/self/mem", 2, " error: cannot read the file: a read failed before its end"},
      {"crlf.csv", 0, " 3 rows, row period 50 ms: 0.150 s of motion; 0 errors, 0 warnings"},
      {"past_int.csv", 2,
       "2:20: error: parsing stops at field 7, joint 05 (rleg_joint_5): expected a number, found "
       "a number outside the int range; joints 05..21 keep their earlier values"},
      {"nan.csv", 2,
       "2:27: error: parsing stops at field 9, joint 07 (rarm_joint_1): expected a number, found "
       "'n'; joints 07..21 keep their earlier values"},
      {"nul.csv", 2,
       "2:35: error: parsing stops at field 12, joint 10 (rarm_joint_4): expected a comma, found "
       "a NUL byte; joints 10..21 keep their earlier values"},
      {"long.csv", 2,
       "1:500: error: the line is 10000000 characters long: motion_player reads at most 499 at a "
       "time and takes it as 20041 rows"},
  };
  for (const Expected &e : table) {
    const std::string path = e.name[0] == '/' ? e.name : dir + "/" + e.name;
    e2e::CommandOutput out = e2e::run_command(MOTION_CHECK_PATH, {path});
    EXPECT_EQ(out.status, e.status) << e.name << ":\n" << out.text;
    EXPECT_EQ(out.text.substr(0, out.text.find('\n')), path + ":" + e.first_line) << e.name;
  }
  expect_unchanged(dir, files);
  expect_specials_kept(dir);
}

TEST(HostileInput, FileOfModeZeroIsRefusedByEveryReader) {
  if (geteuid() == 0) {
    GTEST_SKIP() << "root reads a file of mode 000; /proc/self/mem, which opens but cannot be "
                    "read, stands for an unreadable file in the other tests";
  }
  std::string dir = e2e::temp_dir();
  const std::string text = zero_row() + zero_row();
  e2e::write_file(dir + "/locked.csv", text);
  fs::permissions(dir + "/locked.csv", fs::perms::none);
  e2e::write_file(dir + "/good.csv", text);
  std::string trace = e2e::temp_dir() + "/trace.tsv";
  e2e::Session player(player_options(dir, "50", trace));
  player.write("locked.csv good.csv\n");
  ASSERT_TRUE(player.wait_for_output(kOver));
  e2e::Result played = player.stop();
  EXPECT_EQ(without_start_up(played.out),
            kPlayerPrompt + kUnableToLocate + kPlayerPrompt + "interpolating\n" + kOver);
  e2e::Result skimmed = e2e::run({.program = MOTION_SKIM_PATH,
                                  .input = "locked.csv\ngood.csv\n",
                                  .stop_ms = 128 + 64 * 2,
                                  .cwd = dir});
  EXPECT_EQ(skimmed.out, "\nstarting reset\n" + kSkimPrompt + kUnableToLocate + kSkimPrompt);
  EXPECT_EQ(sends(skimmed).size(), 2u);
  e2e::CommandOutput checked = e2e::run_command(MOTION_CHECK_PATH, {dir + "/locked.csv"});
  EXPECT_EQ(checked.status, 2);
  EXPECT_EQ(checked.text.substr(0, checked.text.find('\n')),
            dir + "/locked.csv: error: cannot open the file: Permission denied");
  fs::permissions(dir + "/locked.csv", fs::perms::owner_read);
  EXPECT_EQ(e2e::read_file(dir + "/locked.csv"), text);
}

// motion_player: the rows-per-step rule and the approach as units, and the
// program end to end on the stand-in simulator.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "body_model.h"
#include "e2e_harness.h"
#include "player.h"

namespace {

const std::string kPrompt = "Give the name of the csv file: ";
const std::string kOver = "The interpolation is over\nExecuting your file...\n";

// Pulse count of joint column c (0..20) in row r: distinct per row and
// column, and within 0.017 rad of zero for row 1, so an approach from the
// zero posture to row 1 ends at its first call.
int count_of(int r, int c) {
  return (c % 2 ? -1 : 1) * (100 * r + c);
}

std::string row_of(int period, const std::vector<int> &column_counts) {
  std::string text = std::to_string(period) + ",2";
  for (int count : column_counts) text += "," + std::to_string(count);
  return text + ", R ,R ,R,R\n";
}

std::vector<int> counts_of(int r) {
  std::vector<int> counts;
  for (int c = 0; c < kNumberedJoints; ++c) counts.push_back(count_of(r, c));
  return counts;
}

std::string motion_file(int period, int rows) {
  std::string text;
  for (int r = 1; r <= rows; ++r) text += row_of(period, counts_of(r));
  return text;
}

// Counts of a row at zero but for the body joint (column 21).
std::vector<int> body_only(int count) {
  std::vector<int> counts(kNumberedJoints, 0);
  counts[20] = count;
  return counts;
}

// The 21 commands that sending `angles` (by JointIndex) in body order gives.
std::vector<e2e::Command> posture_commands(const Posture &angles) {
  std::vector<e2e::Command> commands;
  for (int i : kBodyOrder) commands.push_back({jointNum2Text(i), narrow_angle(angles[i])});
  return commands;
}

// The commands of a row with the given counts by column.
std::vector<e2e::Command> body_commands(const std::vector<int> &column_counts) {
  Posture angles{};
  for (int c = 0; c < kNumberedJoints; ++c) {
    int i = kColumnOrder[c];
    angles[i] = pulse2rad(column_counts[c], i);
  }
  return posture_commands(angles);
}

std::vector<e2e::Command> row_commands(int r) {
  return body_commands(counts_of(r));
}

// The commands one control step sent, and which step that was.
struct Sent {
  long step = 0;  // robot_step calls before the commands
  std::vector<e2e::Command> commands;
};

// Every control step that sent commands, in order.
std::vector<Sent> sends(const e2e::Result &result) {
  std::vector<Sent> all;
  for (const e2e::TraceLine &line : e2e::calls(result.trace, "servo_set_position")) {
    if (all.empty() || all.back().step != line.step) all.push_back({line.step, {}});
    all.back().commands.push_back({line.device, e2e::to_float(line.value)});
  }
  return all;
}

// The sending steps first..last (all from `first` on by default) are one
// control step after another.
void expect_consecutive(const std::vector<Sent> &sent, std::size_t first = 0,
                        std::size_t last = SIZE_MAX) {
  for (std::size_t k = first + 1; k < sent.size() && k <= last; ++k)
    EXPECT_EQ(sent[k].step, sent[k - 1].step + 1) << "sending step " << k;
}

// Where `moves` approach steps take an angle from `start`, rad: the steps
// are added one by one, as the loop does.
double approached(double start, double target, int moves) {
  for (int k = 0; k < moves; ++k) start += start > target ? -kApproachStep : kApproachStep;
  return start;
}

// The commanded angle of `device` in one step's commands.
float angle_of(const Sent &sent, const std::string &device) {
  for (const e2e::Command &c : sent.commands)
    if (c.device == device) return c.value;
  ADD_FAILURE() << device << " was not commanded";
  return 0.0f;
}

// While waiting the loop steps without pause, writing 26 trace lines a
// step: a thousand times real time and a stop time keep the trace of a run
// that never shows what a test waits for within 200,000 steps (10 s).
e2e::Options options_in(const std::string &dir,
                        std::vector<std::pair<std::string, std::string>> env = {}) {
  e2e::Options options;
  options.program = MOTION_PLAYER_PATH;
  options.cwd = dir;
  options.env = {{"STANDIN_PACE", "1000"}};  // a test's own pace comes later and wins
  options.env.insert(options.env.end(), env.begin(), env.end());
  options.stop_ms = 10'000'000;
  return options;
}

// Waits for the n-th prompt after byte `from`; returns the byte after it.
std::size_t wait_for_prompts(e2e::Session &session, int n, std::size_t from = 0) {
  for (int k = 0; k < n; ++k) {
    if (!session.wait_for_output(kPrompt, from)) return std::string::npos;
    from = session.out().find(kPrompt, from) + kPrompt.size();
  }
  return from;
}

// Runs motion_player with `input` until it has printed `prompts` prompts,
// that is until the files named have been played, and ends it there.
e2e::Result play(const std::string &dir, const std::string &input, int prompts,
                 std::vector<std::pair<std::string, std::string>> env = {}) {
  e2e::Session session(options_in(dir, std::move(env)));
  session.write(input);
  EXPECT_NE(wait_for_prompts(session, prompts), std::string::npos);
  e2e::Result result = session.stop();
  EXPECT_EQ(result.exit_code, 0);
  // The stand-in reports any library call from the loader thread.
  EXPECT_EQ(result.err, "");
  return result;
}

// The output is the dialogue `rest` with main's start-up texts, "\n" and
// then "starting reset\n", somewhere within it: the loader talks at once,
// beside the start-up.
void expect_output(const std::string &out, const std::string &rest) {
  const std::string newline = "\n";
  const std::string reset_text = "starting reset\n";
  for (std::size_t i = 0; i <= rest.size(); ++i) {
    for (std::size_t j = i; j <= rest.size(); ++j) {
      if (out == rest.substr(0, i) + newline + rest.substr(i, j - i) + reset_text + rest.substr(j))
        return;
    }
  }
  ADD_FAILURE() << "output:\n" << out << "\nexpected, with the start-up texts within it:\n" << rest;
}

// Steps from..to-1 each read the 25 servos and sent nothing.
void expect_waiting(const e2e::Result &result, long from, long to) {
  if (to <= from) return;
  std::vector<int> reads(to - from, 0);
  for (const e2e::TraceLine &line : result.trace) {
    if (line.step < from || line.step >= to) continue;
    if (line.call == "servo_get_position") ++reads[line.step - from];
    EXPECT_NE(line.call, "servo_set_position") << "step " << line.step;
  }
  for (std::size_t k = 0; k < reads.size(); ++k) EXPECT_EQ(reads[k], 25) << "step " << from + k;
}

// The player's globals start from a known state in every unit test.
class MotionPlayer : public testing::Test {
 protected:
  void SetUp() override { player_reset_state(); }
  void TearDown() override { player_reset_state(); }
};

}  // namespace

// ---- Units: the rows-per-step rule and interpol.

TEST_F(MotionPlayer, RowsPerStepFollowTheRowPeriod) {
  const std::vector<std::pair<int, int>> table = {
      {1, 50}, {2, 25}, {3, 16}, {5, 10},   {7, 7},       {10, 5}, {15, 3}, {20, 2},  {25, 2},
      {26, 1}, {50, 1}, {51, 1}, {1000, 1}, {INT_MAX, 1}, {0, 0},  {-1, 0}, {-10, 0}, {INT_MIN, 0}};
  for (auto [period, rows] : table) EXPECT_EQ(rows_per_step(period), rows) << period << " ms";
}

TEST_F(MotionPlayer, InterpolMovesOnlyJointsOutsideTheTolerance) {
  interpolating.store(1);
  motorPos[3] = 0.5;     // far below: moves up
  futurPosition[5] = 1;  // far above: moves down
  motorPos[8] = 0.017f;  // exactly at the tolerance: arrived
  motorPos[23] = 2.0;    // the head takes no part
  futurPosition[24] = -1;
  interpol();
  EXPECT_EQ(futurPosition[3], kApproachStep);
  EXPECT_EQ(futurPosition[5], 1 - kApproachStep);
  EXPECT_EQ(futurPosition[8], 0.0);
  EXPECT_EQ(futurPosition[23], 0.0);
  EXPECT_EQ(futurPosition[24], -1.0);
  EXPECT_EQ(interpolating.load(), 1);
}

TEST_F(MotionPlayer, InterpolOfATenthRadianMovesSeventeenTimesAndStopsShort) {
  interpolating.store(1);
  motorPos[7] = 0.1;
  testing::internal::CaptureStdout();
  int calls = 0;
  while (interpolating.load() != 0 && calls < 1000) {
    interpol();
    ++calls;
  }
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(calls, 18);
  EXPECT_EQ(out, kOver);
  EXPECT_EQ(futurPosition[7], approached(0.0, 0.1, 17));
  EXPECT_NEAR(motorPos[7] - futurPosition[7], 0.015, 1e-6) << "not snapped to the target";
}

TEST_F(MotionPlayer, InterpolEndsAtFirstCallWhenEveryJointIsWithinTolerance) {
  interpolating.store(1);
  for (int i = 0; i < kApproachJoints; ++i) motorPos[i] = (i % 2 ? 1 : -1) * 0.016;
  futurPosition[24] = 3;  // far from its target, but never interpolated
  motorPos[24] = -3;
  testing::internal::CaptureStdout();
  interpol();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), kOver);
  EXPECT_EQ(interpolating.load(), 0);
  for (int i = 0; i < kJointCount; ++i)
    EXPECT_EQ(futurPosition[i], i == 24 ? 3.0 : 0.0) << "joint " << i;
}

TEST_F(MotionPlayer, InterpolStartsAJointThatReadsNoNumberFromItsTarget) {
  interpolating.store(1);
  motorPos[2] = 0.4;
  futurPosition[2] = std::nan("");
  futurPosition[9] = INFINITY;
  interpol();
  EXPECT_EQ(futurPosition[2], 0.4);
  EXPECT_EQ(futurPosition[9], 0.0);
}

// ---- End to end: the dialogue.

TEST_F(MotionPlayer, PromptsAtOnceAndAgainSoonAfterTheFileEnds) {
  std::string dir = e2e::temp_dir();
  e2e::write_file(dir + "/m.csv", motion_file(50, 3));
  e2e::Session session(options_in(dir));
  // Both prompts are due well within the 4 s the loader may sleep: the
  // program's own promise, on the wall clock. It takes ms even under
  // valgrind, a bound so wide that no machine's speed crosses it, once the
  // program runs: the first is timed from its first library call (or the
  // prompt, if that comes first), not from the start, whose loading
  // valgrind makes slow.
  ASSERT_TRUE(session.wait_until([&] {
    return session.out().find(kPrompt) != std::string::npos || !session.trace_so_far().empty();
  }));
  auto started = std::chrono::steady_clock::now();
  std::size_t after = wait_for_prompts(session, 1);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));
  session.write("m.csv\n");
  ASSERT_TRUE(session.wait_for_output(kOver, after));
  auto played = std::chrono::steady_clock::now();
  wait_for_prompts(session, 1, after);
  EXPECT_LT(std::chrono::steady_clock::now() - played, std::chrono::seconds(4));
  e2e::Result result = session.stop();
  EXPECT_EQ(result.exit_code, 0);
  expect_output(result.out, kPrompt + "interpolating\n" + kOver + kPrompt);
  EXPECT_EQ(result.err, "");
}

TEST_F(MotionPlayer, FailedOpensPromptAgainAndTheNextWordIsTried) {
  std::string dir = e2e::temp_dir();
  e2e::write_file(dir + "/m.csv", motion_file(50, 3));
  e2e::Result result = play(dir, "missing.csv . m.csv\n", 4);
  expect_output(result.out, kPrompt + "unable to locate the file\n" + kPrompt +
                                "unable to locate the file\n" + kPrompt + "interpolating\n" +
                                kOver + kPrompt);
  std::vector<Sent> sent = sends(result);
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[1].commands, row_commands(2));
}

TEST_F(MotionPlayer, OverlongNameIsRefusedWholeAndTheNextWordIsTried) {
  std::string dir = e2e::temp_dir();
  std::string longest(31, 'n');  // the longest name that fits
  e2e::write_file(dir + "/" + longest, motion_file(50, 3));
  e2e::write_file(dir + "/" + longest.substr(0, 30), motion_file(50, 3));
  e2e::Result result = play(dir, longest + "n " + longest + "\n", 3);
  expect_output(result.out, kPrompt + "file name too long: at most 31 characters\n" + kPrompt +
                                "interpolating\n" + kOver + kPrompt);
  EXPECT_EQ(sends(result).size(), 4u);
}

TEST_F(MotionPlayer, UnusableFilesAreRefusedAndTheOperatorAskedAgain) {
  std::string dir = e2e::temp_dir();
  e2e::write_file(dir + "/empty.csv", "");
  e2e::write_file(dir + "/blank.csv", "\n" + motion_file(50, 3));
  e2e::write_file(dir + "/word.csv", "x" + motion_file(50, 3));
  e2e::write_file(dir + "/zero.csv", motion_file(0, 3));
  e2e::write_file(dir + "/negative.csv", motion_file(-10, 3));
  e2e::write_file(dir + "/m.csv", motion_file(50, 3));
  e2e::Result result = play(dir, "empty.csv blank.csv\nword.csv zero.csv negative.csv m.csv\n", 7);
  expect_output(result.out, kPrompt + "the file is empty\n" + kPrompt +
                                "no row period in the first row\n" + kPrompt +
                                "no row period in the first row\n" + kPrompt +
                                "the row period must be above 0 ms\n" + kPrompt +
                                "the row period must be above 0 ms\n" + kPrompt +
                                "interpolating\n" + kOver + kPrompt);
  // Only m.csv is played: approach, rows 2, 3 and 3 again.
  std::vector<Sent> sent = sends(result);
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[3].commands, row_commands(3));
}

TEST_F(MotionPlayer, EndOfInputStopsAskingButPlaybackFinishes) {
  std::string dir = e2e::temp_dir();
  e2e::write_file(dir + "/m.csv", motion_file(50, 4));
  e2e::Session session(options_in(dir));
  session.write("m.csv");
  session.close_input();
  wait_for_prompts(session, 2);
  e2e::Result result = session.stop();
  EXPECT_EQ(result.exit_code, 0);
  expect_output(result.out, kPrompt + "interpolating\n" + kOver + kPrompt);
  std::vector<Sent> sent = sends(result);
  ASSERT_EQ(sent.size(), 5u);
  EXPECT_EQ(sent[4].commands, row_commands(4));
  expect_waiting(result, sent[4].step + 1, e2e::steps(result.trace) - 1);
}

TEST_F(MotionPlayer, EndOfInputBeforeANameKeepsWaiting) {
  std::string dir = e2e::temp_dir();
  // Slow enough that the trace, read as it grows, is read to its end.
  e2e::Session session(options_in(dir, {{"STANDIN_PACE", "10"}}));
  session.close_input();
  wait_for_prompts(session, 1);
  ASSERT_TRUE(session.wait_for_step(40));
  e2e::Result result = session.stop();
  expect_output(result.out, kPrompt);
  EXPECT_TRUE(sends(result).empty());
  // Step 1 also holds the read of the posture at start.
  expect_waiting(result, 2, e2e::steps(result.trace) - 1);
}

// ---- End to end: the control loop.

TEST_F(MotionPlayer, WaitingSendsNothingAndTheApproachStartsFromTheMeasuredPosture) {
  std::string dir = e2e::temp_dir();
  const std::vector<int> zero(kNumberedJoints, 0);
  e2e::write_file(dir + "/m.csv", row_of(50, zero) + row_of(50, counts_of(2)));
  e2e::Result result =
      play(dir, "m.csv\n", 2, {{"STANDIN_POSTURE", "rleg_joint_1=0.3, head_joint_1=-0.5"}});
  std::vector<Sent> sent = sends(result);
  ASSERT_GE(sent.size(), 2u);
  // Step 1 also holds the read of the posture at start.
  expect_waiting(result, 2, sent[0].step);
  // 0.3 rad away: 57 moves, the approach ends at the 58th step.
  const float start = 0.3f;
  ASSERT_EQ(sent.size(), 58u + 2u);
  for (int k = 1; k <= 57; ++k) {
    EXPECT_EQ(angle_of(sent[k - 1], "rleg_joint_1"), narrow_angle(approached(start, 0, k))) << k;
    EXPECT_EQ(angle_of(sent[k - 1], "body_joint_1"), 0.0f) << k;
  }
  EXPECT_EQ(sent[57].commands, sent[56].commands);
  EXPECT_EQ(sent[58].commands, row_commands(2));
  EXPECT_EQ(sent[59].commands, row_commands(2));
  expect_consecutive(sent);
  // Neither the head nor the fifth arm joints are ever commanded.
  for (const e2e::TraceLine &line : e2e::calls(result.trace, "servo_set_position")) {
    EXPECT_FALSE(line.device.starts_with("head")) << line.device;
    EXPECT_NE(line.device, "larm_joint_5");
    EXPECT_NE(line.device, "rarm_joint_5");
  }
}

TEST_F(MotionPlayer, ApproachOfATenthRadianTakesEighteenSteps) {
  std::string dir = e2e::temp_dir();
  // The body joint 1197 pulses (0.09996 rad) from the zero posture.
  e2e::write_file(dir + "/m.csv", row_of(50, body_only(1197)) + row_of(50, body_only(1197)) +
                                      row_of(50, counts_of(3)));
  e2e::Result result = play(dir, "m.csv\n", 2);
  expect_output(result.out, kPrompt + "interpolating\n" + kOver + kPrompt);
  std::vector<Sent> sent = sends(result);
  ASSERT_EQ(sent.size(), 18u + 3u);
  expect_consecutive(sent);
  for (int k = 1; k <= 17; ++k)
    EXPECT_EQ(angle_of(sent[k - 1], "body_joint_1"), narrow_angle(approached(0, 1, k))) << k;
  // The 18th step moves nothing: every joint is within tolerance.
  EXPECT_EQ(sent[17].commands, sent[16].commands);
  EXPECT_NEAR(pulse2rad(1197, 0) - angle_of(sent[17], "body_joint_1"), 0.015, 1e-4);
  EXPECT_EQ(sent[18].commands, body_commands(body_only(1197)));
  EXPECT_EQ(sent[19].commands, row_commands(3));
}

TEST_F(MotionPlayer, ApproachEndsAtItsFirstCallDespiteMeasuredFifthArmJoints) {
  std::string dir = e2e::temp_dir();
  e2e::write_file(dir + "/m.csv", motion_file(50, 3));
  // The waiting steps read 0.5 and -0.5 into entries 17 and 22; the
  // hand-over's zeros must replace them, or the approach would take 97 steps.
  e2e::Result result =
      play(dir, "m.csv\n", 2, {{"STANDIN_POSTURE", "larm_joint_5=0.5, rarm_joint_5=-0.5"}});
  std::vector<Sent> sent = sends(result);
  ASSERT_EQ(sent.size(), 4u);
  expect_consecutive(sent);
  EXPECT_EQ(sent[0].commands, posture_commands(Posture{}));
  EXPECT_EQ(sent[1].commands, row_commands(2));
}

namespace {

// Plays a file of `rows` rows at 10 ms (5 rows a step) and checks that the
// approach is followed by playing steps sending `played`, then waiting.
void expect_rows_at_ten_ms(int rows, const std::vector<int> &played) {
  std::string dir = e2e::temp_dir();
  e2e::write_file(dir + "/m.csv", motion_file(10, rows));
  e2e::Result result = play(dir, "m.csv\n", 2);
  std::vector<Sent> sent = sends(result);
  ASSERT_EQ(sent.size(), played.size() + 1);
  expect_consecutive(sent);
  for (std::size_t k = 0; k < played.size(); ++k)
    EXPECT_EQ(sent[k + 1].commands, row_commands(played[k])) << "playing step " << k + 1;
  expect_waiting(result, sent.back().step + 1, e2e::steps(result.trace) - 1);
}

}  // namespace

TEST_F(MotionPlayer, ElevenRowsAtTenMillisecondsSendRowsSixElevenEleven) {
  expect_rows_at_ten_ms(11, {6, 11, 11});
}

TEST_F(MotionPlayer, TwelveRowsAtTenMillisecondsSendRowsSixElevenTwelve) {
  expect_rows_at_ten_ms(12, {6, 11, 12});
}

TEST_F(MotionPlayer, RowPeriodSetsTheRowsPlayedPerStep) {
  const std::vector<std::pair<int, int>> table = {{1, 50}, {3, 16}, {7, 7},  {10, 5}, {20, 2},
                                                  {25, 2}, {26, 1}, {50, 1}, {60, 1}};
  std::string dir = e2e::temp_dir();
  for (auto [period, rows] : table) {
    SCOPED_TRACE(std::to_string(period) + " ms");
    std::string name = std::to_string(period) + ".csv";
    // Three full steps of rows after the first; the fourth step meets the end.
    e2e::write_file(dir + "/" + name, motion_file(period, 1 + 3 * rows));
    e2e::Result result = play(dir, name + "\n", 2);
    std::string slow =
        period > 50
            ? "row period above 50 ms: one row per 50 ms step, faster than the file's time base\n"
            : "";
    expect_output(result.out, kPrompt + "interpolating\n" + slow + kOver + kPrompt);
    std::vector<Sent> sent = sends(result);
    ASSERT_EQ(sent.size(), 5u);
    expect_consecutive(sent);
    EXPECT_EQ(sent[1].commands, row_commands(1 + rows));
    EXPECT_EQ(sent[2].commands, row_commands(1 + 2 * rows));
    EXPECT_EQ(sent[3].commands, row_commands(1 + 3 * rows));
    EXPECT_EQ(sent[4].commands, row_commands(1 + 3 * rows));
  }
}

TEST_F(MotionPlayer, TwoFilesNamedAheadOnOneLinePlayOneAfterTheOther) {
  std::string dir = e2e::temp_dir();
  e2e::write_file(dir + "/a.csv", motion_file(50, 4));
  std::string b;
  for (int r = 1; r <= 5; ++r) b += row_of(25, counts_of(10 + r));
  e2e::write_file(dir + "/b.csv", b);
  e2e::Result result = play(dir, "a.csv b.csv\n", 3);
  expect_output(result.out, kPrompt + "interpolating\n" + kOver + kPrompt + "interpolating\n" +
                                kOver + kPrompt);
  std::vector<Sent> sent = sends(result);
  ASSERT_GE(sent.size(), 5u + 2u + 3u);
  expect_consecutive(sent, 0, 4);
  EXPECT_EQ(sent[1].commands, row_commands(2));
  EXPECT_EQ(sent[2].commands, row_commands(3));
  EXPECT_EQ(sent[3].commands, row_commands(4));
  EXPECT_EQ(sent[4].commands, row_commands(4));
  // b (2 rows per step) is approached from a's last row, then plays rows 3, 5, 5.
  std::size_t n = sent.size();
  EXPECT_EQ(sent[n - 3].commands, row_commands(13));
  EXPECT_EQ(sent[n - 2].commands, row_commands(15));
  EXPECT_EQ(sent[n - 1].commands, row_commands(15));
  expect_consecutive(sent, 5);
  expect_waiting(result, sent[4].step + 1, sent[5].step);
  // Every approach step moves each joint by at most one step.
  for (std::size_t k = 5; k < n - 3; ++k) {
    for (std::size_t j = 0; j < sent[k].commands.size(); ++j) {
      float before = k == 5 ? sent[4].commands[j].value : sent[k - 1].commands[j].value;
      EXPECT_LE(std::fabs(sent[k].commands[j].value - before), kApproachStep + 1e-6)
          << "step " << k << " joint " << sent[k].commands[j].device;
    }
  }
  EXPECT_GT(n - 3, 5u + 1) << "b's first row is far from a's last: the approach takes steps";
}

// Named before the start, the files play from the same steps in every run,
// however busy the machine: six players at once as fast as they go, and
// the stand-in's steps wait for the loader each time it hands a file over.
TEST_F(MotionPlayer, FilesNamedBeforeTheStartPlayFromTheSameStepsInEveryRun) {
  std::string dir = e2e::temp_dir();
  e2e::write_file(dir + "/a.csv", motion_file(50, 4));
  e2e::write_file(dir + "/b.csv", motion_file(25, 5));
  constexpr int kRuns = 6;
  std::vector<std::unique_ptr<e2e::Session>> runs;
  for (int k = 0; k < kRuns; ++k) {
    e2e::Options options = options_in(dir, {{"STANDIN_PACE", "fast"}});
    options.input = "a.csv b.csv\n";
    options.stop_ms = 3000;
    options.env.emplace_back("STANDIN_TRACE", dir + "/trace" + std::to_string(k) + ".tsv");
    runs.push_back(std::make_unique<e2e::Session>(options));
  }
  // Every command, with the step it came in: the same in every run.
  std::vector<std::pair<long, e2e::Command>> first;
  for (auto &run : runs) {
    const e2e::Result r = run->finish();
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(e2e::count(r.out, kOver), 2) << r.out;
    std::vector<std::pair<long, e2e::Command>> sent;
    for (const e2e::TraceLine &line : r.trace)
      if (line.call == "servo_set_position")
        sent.push_back({line.step, {line.device, std::stof(line.value)}});
    ASSERT_FALSE(sent.empty());
    if (first.empty()) first = sent;
    EXPECT_TRUE(sent == first) << "a run commanded otherwise, or at other steps";
  }
  // The first file comes in right after the first step.
  EXPECT_EQ(first.front().first, 1);
}

TEST_F(MotionPlayer, FirstRowMissingAColumnKeepsThePreviousFilesCount) {
  std::string dir = e2e::temp_dir();
  // a approaches the body joint to 1197 pulses, then plays the zero posture.
  e2e::write_file(dir + "/a.csv",
                  row_of(50, body_only(1197)) + row_of(50, std::vector<int>(21, 0)));
  // A refused file does not leave its counts behind.
  e2e::write_file(dir + "/refused.csv", row_of(0, body_only(-5000)));
  // b's first row lacks the body joint's column: its target stays 1197.
  std::vector<int> short_row(20, 0);
  e2e::write_file(dir + "/b.csv", row_of(50, short_row) + row_of(50, std::vector<int>(21, 0)));
  e2e::Result result = play(dir, "a.csv refused.csv b.csv\n", 4);
  std::vector<Sent> sent = sends(result);
  // a: 18 approach steps and its row twice; b the same.
  ASSERT_EQ(sent.size(), 2u * (18 + 2));
  for (std::size_t k = 20; k < 38; ++k) {
    int moves = std::min<int>(k - 20 + 1, 17);
    EXPECT_EQ(angle_of(sent[k], "body_joint_1"), narrow_angle(approached(0, 1, moves))) << k;
  }
  EXPECT_EQ(sent[38].commands, body_commands(std::vector<int>(21, 0)));
}

TEST_F(MotionPlayer, FileOfOnlyItsFirstRowSendsTheApproachedPostureThenWaits) {
  std::string dir = e2e::temp_dir();
  e2e::write_file(dir + "/a.csv", motion_file(50, 3));
  // As the tuner writes it: one row, no line end.
  std::string one = row_of(50, body_only(1197));
  one.pop_back();
  e2e::write_file(dir + "/one.csv", one);
  e2e::Result result = play(dir, "a.csv one.csv\n", 3);
  std::vector<Sent> sent = sends(result);
  ASSERT_GE(sent.size(), 4u + 2u);
  EXPECT_EQ(sent[3].commands, row_commands(3));
  std::size_t n = sent.size();
  // The one playing step repeats the approach's last posture, not a's row.
  EXPECT_EQ(sent[n - 1].commands, sent[n - 2].commands);
  EXPECT_NE(sent[n - 1].commands, row_commands(3));
  EXPECT_NEAR(angle_of(sent[n - 1], "body_joint_1"), pulse2rad(1197, 0), 0.017);
  expect_consecutive(sent, 4);
  expect_waiting(result, sent[n - 1].step + 1, e2e::steps(result.trace) - 1);
}

TEST_F(MotionPlayer, BrokenRowsKeepEarlierJointsAndNeverReachedOnesStayApproached) {
  std::string dir = e2e::temp_dir();
  std::string text = row_of(50, body_only(1197));
  text += "50,2,1,-2,3,-4,x,6\n";  // breaks at the fifth joint column
  text += row_of(50, counts_of(3));
  text += "50,2,9,9,9,9,oops\n";
  e2e::write_file(dir + "/m.csv", text);
  e2e::Result result = play(dir, "m.csv\n", 2);
  std::vector<Sent> sent = sends(result);
  ASSERT_EQ(sent.size(), 18u + 4u);
  // Columns 1..4 from the row; the rest, body joint included, as approached.
  Posture expected{};
  expected[0] = approached(0, 1, 17);
  const std::vector<int> first_four = {1, -2, 3, -4};
  for (int c = 0; c < 4; ++c) expected[kColumnOrder[c]] = pulse2rad(first_four[c], kColumnOrder[c]);
  EXPECT_EQ(sent[18].commands, posture_commands(expected));
  EXPECT_EQ(sent[19].commands, row_commands(3));
  std::vector<int> counts = counts_of(3);
  for (int c = 0; c < 4; ++c) counts[c] = 9;
  EXPECT_EQ(sent[20].commands, body_commands(counts));
  EXPECT_EQ(sent[21].commands, body_commands(counts));
}

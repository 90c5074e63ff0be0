// motion_skim end to end, on the stand-in simulator.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "body_model.h"
#include "e2e_harness.h"

namespace {

constexpr char kPrompt[] = " Give the name of the csv file: ";
constexpr long kLoopStart = 128;  // simulated ms when the control loop begins

// Pulse count of joint column c (0..20) in row r: distinct per row and column.
int count_of(int r, int c) {
  return (c % 2 ? -1 : 1) * (100 * r + c);
}

std::string row_text(int period, int r) {
  std::string text = std::to_string(period) + ",2";
  for (int c = 0; c < kNumberedJoints; ++c) text += "," + std::to_string(count_of(r, c));
  return text + ", R ,R ,R,R\n";
}

std::string motion_file(int period, int rows) {
  std::string text;
  for (int r = 1; r <= rows; ++r) text += row_text(period, r);
  return text;
}

// The 21 commands that sending `counts` (by column) in body order gives.
std::vector<e2e::Command> body_commands(const std::vector<int> &column_counts) {
  PulseCounts counts{};
  for (int c = 0; c < kNumberedJoints; ++c) counts[kColumnOrder[c]] = column_counts[c];
  std::vector<e2e::Command> commands;
  for (int i : kBodyOrder)
    commands.push_back({jointNum2Text(i), static_cast<float>(pulse2rad(counts[i], i))});
  return commands;
}

std::vector<e2e::Command> row_commands(int r) {
  std::vector<int> counts;
  for (int c = 0; c < kNumberedJoints; ++c) counts.push_back(count_of(r, c));
  return body_commands(counts);
}

// Runs motion_skim for `steps` control steps with `input` on stdin.
e2e::Result skim(const std::string &input, int steps, const std::string &dir,
                 std::vector<std::pair<std::string, std::string>> env = {}) {
  e2e::Options options;
  options.program = MOTION_SKIM_PATH;
  options.input = input;
  options.cwd = dir;
  options.env = std::move(env);
  options.stop_ms = kLoopStart + 64L * steps;
  e2e::Result result = e2e::run(options);
  EXPECT_EQ(result.exit_code, 0) << result.err;
  return result;
}

// Commands issued after the k-th robot_step(64) of the control loop.
std::vector<e2e::Command> step_commands(const e2e::Result &result, int k) {
  return e2e::commands_after_step(result.trace, 1 + k);
}

// The trace up to the first call named `call`.
std::vector<e2e::TraceLine> calls_before(const std::vector<e2e::TraceLine> &trace,
                                         std::string_view call) {
  std::vector<e2e::TraceLine> before;
  for (const e2e::TraceLine &line : trace) {
    if (line.call == call) break;
    before.push_back(line);
  }
  return before;
}

}  // namespace

TEST(MotionSkim, StartsUpInOrderAndPromptsOnce) {
  std::string dir = e2e::temp_dir();
  e2e::Result result = skim("", 2, dir);
  EXPECT_EQ(result.out, std::string("\nstarting reset\n") + kPrompt);

  std::vector<std::string> expected = {"robot_live -"};
  for (int i = 0; i < kJointCount; ++i) {
    expected.push_back(std::string("robot_get_device ") + jointNum2Text(i));
    expected.push_back(std::string("servo_enable_position ") + jointNum2Text(i));
  }
  for (const char *name : {"camera", "distance", "left touch", "right touch", "gps", "emitter"})
    expected.push_back(std::string("robot_get_device ") + name);
  expected.push_back("gps_enable gps");
  expected.push_back("robot_step -");
  ASSERT_GE(result.trace.size(), expected.size());
  for (std::size_t n = 0; n < expected.size(); ++n) {
    const e2e::TraceLine &line = result.trace[n];
    EXPECT_EQ(line.call + " " + line.device, expected[n]) << "call " << n;
  }
  EXPECT_EQ(result.trace[expected.size() - 1].value, "128");
  EXPECT_EQ(result.trace[expected.size() - 2].value, "64");
}

TEST(MotionSkim, ReportsMissingJointByItsIndex) {
  std::string dir = e2e::temp_dir();
  e2e::Result result = skim("", 1, dir, {{"STANDIN_MISSING", "rleg_joint_3"}});
  EXPECT_EQ(result.out, std::string("\nstarting reset\nJoint 8 is missing") + kPrompt);
}

TEST(MotionSkim, ReportsAllMissingJointsOnOneLineAndCarriesOn) {
  std::string dir = e2e::temp_dir();
  std::string expected = "\nstarting reset\n";
  for (int i = 0; i < kJointCount; ++i) expected += "Joint " + std::to_string(i) + " is missing";
  e2e::write_file(dir + "/m.csv", motion_file(10, 5));
  e2e::Result result = skim("m.csv", 2, dir, {{"STANDIN_MISSING", "joints"}});
  EXPECT_EQ(result.out, expected + kPrompt);
  // The loop commands the missing servos regardless, with identifier 0.
  std::vector<e2e::Command> sent = step_commands(result, 1);
  ASSERT_EQ(sent.size(), 21u);
  for (const e2e::Command &c : sent) EXPECT_EQ(c.device, "none");
}

TEST(MotionSkim, ReportsMissingEmitterButNotCamera) {
  std::string dir = e2e::temp_dir();
  e2e::Result result = skim("", 1, dir, {{"STANDIN_MISSING", "emitter,camera"}});
  EXPECT_EQ(result.out, std::string("\nstarting reset\nmissing emitter\n") + kPrompt);
}

TEST(MotionSkim, PlaysEveryHundredthRowAndHoldsTheLast) {
  std::string dir = e2e::temp_dir();
  e2e::write_file(dir + "/m.csv", motion_file(10, 250));
  e2e::Result result = skim("m.csv\n", 5, dir);
  EXPECT_EQ(result.out, std::string("\nstarting reset\n") + kPrompt);
  EXPECT_TRUE(step_commands(result, 0).empty()) << "nothing is sent before the loop steps";
  EXPECT_EQ(step_commands(result, 1), row_commands(100));
  EXPECT_EQ(step_commands(result, 2), row_commands(200));
  EXPECT_EQ(step_commands(result, 3), row_commands(250));
  EXPECT_EQ(step_commands(result, 4), row_commands(250));
  // Every command follows a robot_step(64) of the loop: the first at 192 ms.
  for (const e2e::TraceLine &line : e2e::calls(result.trace, "servo_set_position")) {
    EXPECT_GE(line.step, 2);
    EXPECT_EQ(line.time_ms, kLoopStart + 64L * (line.step - 1));
  }
  for (const e2e::TraceLine &line : e2e::calls(result.trace, "robot_step"))
    EXPECT_EQ(line.value, line.step == 0 ? "128" : "64");
}

TEST(MotionSkim, ShortFileSendsItsLastRowFromTheFirstStep) {
  std::string dir = e2e::temp_dir();
  e2e::write_file(dir + "/m.csv", motion_file(10, 40));
  e2e::Result result = skim("m.csv", 3, dir);
  for (int k = 1; k <= 3; ++k) EXPECT_EQ(step_commands(result, k), row_commands(40)) << k;
}

TEST(MotionSkim, RowPeriodDoesNotChangeTheRowsSent) {
  std::string dir = e2e::temp_dir();
  e2e::write_file(dir + "/fast.csv", motion_file(10, 320));
  e2e::write_file(dir + "/slow.csv", motion_file(50, 320));
  e2e::Result fast = skim("fast.csv", 4, dir);
  e2e::Result slow = skim("slow.csv", 4, dir);
  for (int k = 1; k <= 4; ++k) {
    EXPECT_EQ(step_commands(fast, k), step_commands(slow, k)) << k;
    EXPECT_EQ(step_commands(fast, k), row_commands(k < 4 ? 100 * k : 320)) << k;
  }
}

TEST(MotionSkim, LongLineIsSplitIntoRowsAndBlankLinesCount) {
  std::string dir = e2e::temp_dir();
  std::string text = std::string(1500, ' ') + "\n";  // two reads: 999 then 501 characters
  text += "\n";                                      // a blank line is a row too
  for (int r = 4; r <= 100; ++r) text += row_text(10, r);
  text += row_text(10, 101);
  e2e::write_file(dir + "/m.csv", text);
  e2e::Result result = skim("m.csv", 1, dir);
  EXPECT_EQ(step_commands(result, 1), row_commands(100));
}

TEST(MotionSkim, UnopenableNamesArePromptedAgain) {
  std::string dir = e2e::temp_dir();
  e2e::write_file(dir + "/m.csv", motion_file(10, 100));
  std::string too_long(32, 'n');
  e2e::Result result = skim("missing.csv " + too_long + " . m.csv", 1, dir);
  std::string prompt = kPrompt;
  EXPECT_EQ(result.out, "\nstarting reset\n" + prompt + "unable to locate the file\n" + prompt +
                            "file name too long: at most 31 characters\n" + prompt +
                            "unable to locate the file\n" + prompt);
  EXPECT_EQ(step_commands(result, 1), row_commands(100));
}

TEST(MotionSkim, EndOfInputBeforeANameKeepsSteppingAndSendsNothing) {
  std::string dir = e2e::temp_dir();
  e2e::Result result = skim("nothing-here.csv\n", 20, dir);
  EXPECT_EQ(result.out,
            std::string("\nstarting reset\n") + kPrompt + "unable to locate the file\n" + kPrompt);
  EXPECT_TRUE(e2e::calls(result.trace, "servo_set_position").empty());
  // 128, then 20 of 64, then the one that meets the stop time.
  EXPECT_EQ(e2e::steps(result.trace), 22);
}

TEST(MotionSkim, JointsNoParseReachedAreSentAtZero) {
  std::string dir = e2e::temp_dir();
  // Row 100 breaks at the fifth joint column: only columns 1..4 are stored.
  std::string text = motion_file(10, 99) + "10,2,1,-2,3,-4,x,6\n";
  e2e::write_file(dir + "/m.csv", text);
  e2e::Result result = skim("m.csv", 1, dir);
  std::vector<int> counts(kNumberedJoints, 0);
  counts[0] = 1, counts[1] = -2, counts[2] = 3, counts[3] = -4;
  EXPECT_EQ(step_commands(result, 1), body_commands(counts));
}

TEST(MotionSkim, BrokenRowKeepsTheEarlierRowsJoints) {
  std::string dir = e2e::temp_dir();
  std::string text = motion_file(10, 199) + "10,2,7,7,7,7,oops\n";
  e2e::write_file(dir + "/m.csv", text);
  e2e::Result result = skim("m.csv", 2, dir);
  std::vector<int> counts;
  for (int c = 0; c < kNumberedJoints; ++c) counts.push_back(c < 4 ? 7 : count_of(100, c));
  EXPECT_EQ(step_commands(result, 2), body_commands(counts));
}

TEST(MotionSkim, RunsOnTheControllerLibraryFirstOnTheLibraryPath) {
  e2e::Options options;
  options.program = MOTION_SKIM_PATH;
  options.stop_ms = 1000;
  options.env = {{"LD_LIBRARY_PATH", FAKE_CONTROLLER_DIR}};
  e2e::Result result = e2e::run(options);
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "\nfake controller library\n");
  EXPECT_TRUE(result.trace.empty());
}

TEST(MotionSkim, PromptReachesAPipeBeforeTheNameIsRead) {
  std::string dir = e2e::temp_dir();
  e2e::write_file(dir + "/m.csv", motion_file(10, 100));
  e2e::Options options;
  options.program = MOTION_SKIM_PATH;
  options.cwd = dir;
  options.stop_ms = kLoopStart + 64L * 2;
  e2e::Session session(options);
  // No control step is made while the prompt waits for the name.
  ASSERT_TRUE(session.wait_for_output(kPrompt));
  session.write("m.csv\n");
  ASSERT_TRUE(session.wait_for_step(3));
  e2e::Result result = session.finish();
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(e2e::steps(calls_before(result.trace, "servo_set_position")), 2);
  EXPECT_EQ(step_commands(result, 1), row_commands(100));
}

// motion_check: the checks through the library, and the program on a table
// of broken files, one fault per file.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "body_model.h"
#include "e2e_harness.h"
#include "motion_check_lib.h"

namespace {

using Counts = std::array<int, kNumberedJoints>;  // pulse counts by column

// One row with the given period and counts, closed as the tuner closes it.
std::string row(int period, const Counts &counts = {}, std::string_view tail = ", R ,R ,R,R") {
  std::string text = std::to_string(period) + ",0";
  for (int c : counts) text += "," + std::to_string(c);
  return text + std::string(tail) + "\n";
}

// `n` rows of the zero posture.
std::string rows(int n, int period = 10) {
  std::string text;
  for (int r = 0; r < n; ++r) text += row(period);
  return text;
}

// Counts with one joint column set.
Counts one(int joint_number, int count) {
  Counts counts{};
  counts[joint_number - 1] = count;
  return counts;
}

// Replaces line `n` (1-based) of `text`, line end included.
std::string with_line(const std::string &text, int n, const std::string &line) {
  std::size_t begin = 0;
  for (int k = 1; k < n; ++k) begin = text.find('\n', begin) + 1;
  const std::size_t end = text.find('\n', begin) + 1;
  return text.substr(0, begin) + line + text.substr(end);
}

using Output = e2e::CommandOutput;

Output run_check(const std::vector<std::string> &args) {
  return e2e::run_command(MOTION_CHECK_PATH, args);
}

// Lines of output that are findings (not the summary).
std::vector<std::string> findings(const std::string &text) {
  std::vector<std::string> found;
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(begin, end - begin);
    if (line.find(": error: ") != std::string::npos ||
        line.find(": warning: ") != std::string::npos || line.find(": note: ") != std::string::npos)
      found.push_back(line);
    begin = end + 1;
  }
  return found;
}

std::string write_motion(const std::string &name, const std::string &text) {
  static const std::string dir = e2e::temp_dir();
  const std::string path = dir + "/" + name;
  e2e::write_file(path, text);
  return path;
}

FileSummary check_text(const std::string &text, std::vector<Finding> *found = nullptr) {
  const std::string path = write_motion("lib.csv", text);
  return check_motion_file(path.c_str(), CheckOptions{}, [found](const Finding &f) {
    if (found) found->push_back(f);
  });
}

// One broken file of the table: its single fault and where it is reported.
struct BrokenFile {
  std::string name;  // the fault, also the file's name
  std::string text;
  long line;
  long column;
  std::string severity;                   // "error" or "warning"
  std::string message;                    // the finding's message, or its beginning
  int status;                             // exit status
  int count = 1;                          // findings in all
  std::vector<std::string> options = {};  // given before the file
};

std::vector<BrokenFile> broken_files() {
  const std::string clean = rows(5);
  std::string twenty_joints = "10,0";
  for (int c = 0; c < 20; ++c) twenty_joints += ",0";
  std::string nul = "10,0,0,";
  nul += '\0';
  nul += ",0\n";
  const std::string padded = row(10);
  std::string long_row = padded.substr(0, padded.size() - 1) + std::string(540, ' ') + "\n";
  std::string longer_row = padded.substr(0, padded.size() - 1) + std::string(1100, ' ') + "\n";
  const std::string tailless = row(10, {}, "");
  return {
      {"letter_in_fifth_joint.csv", with_line(clean, 3, "10,0,0,0,0,0,x" + row(10).substr(14)), 3,
       14, "error",
       "parsing stops at field 7, joint 05 (rleg_joint_5): expected a number, found 'x'; "
       "joints 05..21 keep their earlier values",
       2},
      {"space_before_comma.csv", with_line(clean, 2, "10,0 ,0\n"), 2, 5, "error",
       "parsing stops at field 3, joint 01 (rleg_joint_1): expected a comma, found a space; all "
       "21 joints keep their earlier values",
       2},
      {"row_ends_after_tenth_joint.csv", with_line(clean, 4, "10,0,0,0,0,0,0,0,0,0,0,0\n"), 4, 25,
       "error",
       "parsing stops at field 13, joint 11 (lleg_joint_1): expected a comma, found the end of "
       "the line; joints 11..21 keep their earlier values",
       2},
      {"last_joint_missing.csv", with_line(clean, 2, twenty_joints + ", R ,R ,R,R\n"), 2, 47,
       "error",
       "parsing stops at field 23, joint 21 (body_joint_1): expected a number, found 'R'; "
       "joint 21 (body_joint_1) keeps its earlier value",
       2},
      {"number_out_of_range.csv", with_line(clean, 5, "10,0,99999999999" + row(10).substr(6)), 5, 6,
       "error",
       "parsing stops at field 3, joint 01 (rleg_joint_1): expected a number, found a number "
       "outside the int range",
       2},
      {"nul_byte.csv", with_line(clean, 2, nul), 2, 8, "error",
       "parsing stops at field 4, joint 02 (rleg_joint_2): expected a number, found a NUL byte", 2},
      {"blank_row.csv", with_line(clean, 3, "\n"), 3, 1, "warning",
       "blank row: the players keep every joint at its earlier value", 1},
      {"no_closing_characters.csv", with_line(clean, 2, tailless), 2,
       static_cast<long>(tailless.size()), "warning",
       "parsing stops at field 24, a closing character: expected a comma, found the end of the "
       "line; the players ignore these fields",
       1},
      {"line_split_by_motion_player.csv", with_line(clean, 2, long_row), 2, 500, "error",
       "the line is 597 characters long: motion_player reads at most 499 at a time and takes it "
       "as 2 rows",
       2},
      {"line_split_by_both_players.csv", with_line(clean, 3, longer_row), 3, 500, "error",
       "the line is 1157 characters long: motion_player reads at most 499 at a time and takes "
       "it as 3 rows",
       2, 2},
      {"period_zero.csv", rows(5, 0), 1, 1, "error",
       "row period 0 ms: motion_player refuses a row period of 0 ms or less", 2},
      {"period_negative.csv", rows(5, -10), 1, 1, "error",
       "row period -10 ms: motion_player refuses a row period of 0 ms or less", 2},
      {"period_above_fifty.csv", rows(5, 60), 1, 1, "warning",
       "row period 60 ms is above 50 ms: motion_player plays 1 row per 50 ms step, 20% faster "
       "than written",
       1},
      {"period_not_dividing_fifty.csv", rows(5, 20), 1, 1, "warning",
       "row period 20 ms does not divide 50 ms: motion_player plays 2 rows (40 ms of the file) "
       "per 50 ms step, 25% slower than written",
       1},
      {"period_after_spaces.csv", "  30" + rows(5, 30).substr(2), 1, 3, "warning",
       "row period 30 ms does not divide 50 ms: motion_player plays 1 row (30 ms of the file) "
       "per 50 ms step, 67% slower than written",
       1},
      {"period_unparsable.csv", with_line(clean, 1, "ten" + row(10).substr(2)), 1, 1, "error",
       "parsing stops at field 1, the row period: expected a number, found 't'; motion_player "
       "has no row period for this file",
       2},
      {"first_row_blank.csv", "\n" + clean, 1, 1, "error",
       "the first row is blank: motion_player has no row period and no posture to approach", 2},
      {"other_period_later.csv", with_line(clean, 4, row(20)), 4, 1, "warning",
       "row period 20 ms differs from the first row's 10 ms; the players go by the first row's", 1},
      {"right_hip_beyond_limit.csv",
       with_line(clean, 2, row(10, one(1, 7000))),
       2,
       6,
       "error",
       "joint 01 (rleg_joint_1) at pulse count 7000 is 0.585 rad, above its limit 0.541052 rad "
       "(pulse counts -19019..6478 are within)",
       2,
       1,
       {"--max-speed", "1000"}},
      // lleg_joint_4 counts the other way: a positive count is a negative angle.
      {"left_knee_below_limit.csv",
       with_line(clean, 3, row(10, one(14, 300))),
       3,
       32,
       "error",
       "joint 14 (lleg_joint_4) at pulse count 300 is -0.025 rad, below its limit -0.017453 rad "
       "(pulse counts -27170..208 are within)",
       2,
       1,
       {"--max-speed", "1000"}},
      {"joint_too_fast.csv", row(10) + row(10) + row(10, one(7, 11974)) + row(10, one(7, 11974)), 3,
       18, "warning",
       "joint 07 (rarm_joint_1) moves 1.000 rad in 10 ms from the row before: 99.99 rad/s, "
       "above 5.236 rad/s",
       1},
      {"empty.csv", "", 1, 1, "error",
       "the file is empty: motion_player has no row period and no posture to approach", 2},
      {"one_row.csv", row(10), 1, 1, "warning",
       "the file has only one row: motion_player approaches it and has nothing left to play", 1},
  };
}

}  // namespace

TEST(MotionCheck, EachBrokenFileGivesItsFindingAtItsLineAndColumn) {
  for (const BrokenFile &broken : broken_files()) {
    SCOPED_TRACE(broken.name);
    const std::string path = write_motion(broken.name, broken.text);
    std::vector<std::string> args = broken.options;
    args.push_back(path);
    const Output out = run_check(args);
    const std::vector<std::string> found = findings(out.text);
    EXPECT_EQ(out.status, broken.status) << out.text;
    ASSERT_EQ(found.size(), static_cast<std::size_t>(broken.count)) << out.text;
    const std::string expected = path + ":" + std::to_string(broken.line) + ":" +
                                 std::to_string(broken.column) + ": " + broken.severity + ": " +
                                 broken.message;
    EXPECT_EQ(found[0].substr(0, expected.size()), expected);
  }
}

TEST(MotionCheck, LineSplitByBothPlayersIsReportedForEach) {
  const std::string row_text = row(10);
  const std::string path =
      write_motion("split_twice.csv", row_text + row_text.substr(0, row_text.size() - 1) +
                                          std::string(1100, ' ') + "\n");
  const std::vector<std::string> found = findings(run_check({path}).text);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[1], path +
                          ":2:1000: error: the line is 1157 characters long: motion_skim reads "
                          "at most 999 at a time and takes it as 2 rows");
}

TEST(MotionCheck, CleanFileExitsZeroWithItsSummary) {
  const std::string path = write_motion("clean.csv", rows(11));
  const Output out = run_check({path});
  EXPECT_EQ(out.status, 0);
  EXPECT_EQ(out.text,
            path + ": 11 rows, row period 10 ms: 0.110 s of motion; 0 errors, 0 warnings\n" + path +
                ": motion_player: 5 rows per 50 ms step; approach from the zero posture 0.050 s "
                "(1 step), then playback 0.150 s (3 steps); largest jump 0 rad\n" +
                path +
                ": motion_skim: 100 rows per 64 ms step; playback 0.064 s (1 step); first "
                "command 0 rad; largest jump 0 rad\n");
}

TEST(MotionCheck, AcceptedSyntaxVariantsAreClean) {
  // White space before every number and after the sixth; Windows line ends.
  const std::string spaced =
      "10, 0, 0, 0, 0, 0 ,0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, R ,R ,R,R\n";
  std::string crlf = rows(3);
  for (std::size_t at = crlf.find('\n'); at != std::string::npos; at = crlf.find('\n', at + 2))
    crlf.insert(at, "\r");
  // The tuner's snapshot has no line end after its one row: a second row follows here.
  const std::string no_end = rows(2).substr(0, rows(2).size() - 1);
  for (const std::string &text : {spaced + spaced, crlf, no_end}) {
    const Output out = run_check({write_motion("variant.csv", text)});
    EXPECT_EQ(out.status, 0) << out.text;
    EXPECT_TRUE(findings(out.text).empty()) << out.text;
  }
}

TEST(MotionCheck, UnopenableFilesAreErrors) {
  const std::string dir = e2e::temp_dir();
  Output out = run_check({dir + "/missing.csv"});
  EXPECT_EQ(out.status, 2);
  EXPECT_EQ(findings(out.text), std::vector<std::string>{dir + "/missing.csv: error: cannot open "
                                                               "the file: No such file or "
                                                               "directory"});
  out = run_check({dir});
  EXPECT_EQ(out.status, 2);
  EXPECT_EQ(findings(out.text),
            std::vector<std::string>{dir + ": error: cannot open the file: it is a directory"});
}

TEST(MotionCheck, WorstFileDecidesExitStatus) {
  const std::string clean = write_motion("a_clean.csv", rows(3));
  const std::string warned = write_motion("a_warned.csv", rows(3, 20));
  const std::string failed = write_motion("a_failed.csv", rows(3, 0));
  EXPECT_EQ(run_check({clean, clean}).status, 0);
  EXPECT_EQ(run_check({clean, warned}).status, 1);
  EXPECT_EQ(run_check({failed, warned, clean}).status, 2);
  // Every file gets its findings and its summary.
  const Output out = run_check({warned, failed});
  EXPECT_EQ(findings(out.text).size(), 2u);
  EXPECT_NE(out.text.find(warned + ": 3 rows"), std::string::npos);
  EXPECT_NE(out.text.find(failed + ": 3 rows"), std::string::npos);
}

TEST(MotionCheck, MaxSpeedOptionMovesTheThreshold) {
  const std::string path =
      write_motion("fast.csv", row(10) + row(10, one(7, 11974)) + row(10, one(7, 11974)));
  EXPECT_EQ(run_check({path}).status, 1);
  EXPECT_EQ(run_check({"--max-speed", "100.5", path}).status, 0);
  const Output low = run_check({"--max-speed", "99.5", path});
  EXPECT_EQ(low.status, 1);
  EXPECT_NE(low.text.find("above 99.500 rad/s"), std::string::npos) << low.text;
  // 627 counts in 10 ms is 3 degrees: exactly the default threshold, at
  // the servo speed (motion_walk's rows held to it); one count more is
  // above it.
  const std::string at =
      write_motion("at_speed.csv",
                   row(10) + row(10, one(7, 627)) + row(10, one(7, 1254)) + row(10, one(7, 1882)));
  const Output held = run_check({at});
  EXPECT_EQ(held.text.find("above 5.236 rad/s"), held.text.rfind("above 5.236 rad/s")) << held.text;
  EXPECT_NE(held.text.find(":4:"), std::string::npos) << held.text;
  EXPECT_EQ(held.text.find(":3:"), std::string::npos) << held.text;
  for (const char *bad : {"0", "-1", "fast", "nan", "inf", "1e999"}) {
    const Output out = run_check({"--max-speed", bad, path});
    EXPECT_EQ(out.status, 2) << bad;
    EXPECT_NE(out.text.find("--max-speed takes a positive number"), std::string::npos) << bad;
  }
  EXPECT_EQ(run_check({}).status, 2);
}

TEST(MotionCheck, FindingsOfOneKindAreCappedWithACount) {
  std::string text = row(10);
  for (int r = 0; r < kShownPerKind + 5; ++r) text += "10,0,x\n";
  const std::string path = write_motion("many.csv", text);
  const Output out = run_check({path});
  const std::vector<std::string> found = findings(out.text);
  EXPECT_EQ(out.status, 2);
  ASSERT_EQ(found.size(), static_cast<std::size_t>(kShownPerKind + 1));
  EXPECT_EQ(found.back(), path + ": note: 5 more rows that stop parsing early not shown");
  EXPECT_NE(out.text.find("; 15 errors, 0 warnings"), std::string::npos) << out.text;
}

TEST(MotionCheck, StopMsOptionGivesSimulatedPlayTime) {
  const std::string path = write_motion("eleven.csv", rows(11));
  // 128 ms first step; the player: one approach step and three playing steps.
  Output out = run_check({"--stop-ms", "motion_player", path});
  EXPECT_EQ(out.status, 0);
  EXPECT_EQ(out.text, "328\n");
  // motion_skim: the last row goes out after one 64 ms step and acts during the next.
  out = run_check({"--stop-ms", "motion_skim", path});
  EXPECT_EQ(out.text, "256\n");
  // Above 50 ms: approach, then rows 2, 3 and 3 again, one per step.
  out = run_check({"--stop-ms", "motion_player", write_motion("slow.csv", rows(3, 60))});
  EXPECT_EQ(out.text, "328\n");
  out = run_check({"--stop-ms", "motion_player", write_motion("zero.csv", rows(3, 0))});
  EXPECT_EQ(out.status, 2);
  EXPECT_NE(out.text.find("motion_player cannot play"), std::string::npos);
  EXPECT_EQ(run_check({"--stop-ms", "pose_tuner", path}).status, 2);
}

TEST(MotionCheck, LimitsOptionListsTheSharedTable) {
  const Output out = run_check({"--limits"});
  EXPECT_EQ(out.status, 0);
  EXPECT_EQ(std::count(out.text.begin(), out.text.end(), '\n'), kNumberedJoints);
  EXPECT_EQ(out.text.substr(0, out.text.find('\n')),
            "01 rleg_joint_1 -1.58825 0.541052 -19019 6478");
  EXPECT_NE(out.text.find("\n18 larm_joint_2 -0.0175 1.6755 -209 20063\n"), std::string::npos);
}

TEST(MotionCheck, LocateFieldsAgreesWithTheRowParser) {
  const std::vector<std::string> bases = {
      "1,2,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0, R ,R ,R,R",
      "10, -2, 3, +4, 5, 6 ,7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, a ,b "
      ",c,d\n",
      "-2147483648,2147483647,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,,,,,",
  };
  const std::string marks = "x ,-+9\t\nR";
  long cases = 0;
  auto agree = [&](const std::string &text) {
    MotionRow row;
    const int parsed = parse_csv_row(text.c_str(), row);
    const RowLayout layout = locate_fields(text);
    ++cases;
    EXPECT_EQ(layout.fields, parsed) << "row: " << text;
  };
  for (const std::string &base : bases) {
    for (std::size_t cut = 0; cut <= base.size(); ++cut) agree(base.substr(0, cut));
    for (std::size_t at = 0; at < base.size(); ++at) {
      for (char mark : marks) {
        std::string changed = base;
        changed[at] = mark;
        agree(changed);
        agree(base.substr(0, at) + mark + base.substr(at));
      }
    }
  }
  EXPECT_GT(cases, 3000);
}

TEST(MotionCheck, LocateFieldsFindsFieldStartsAndTheStop) {
  const RowLayout layout = locate_fields("7,  -8,\t9,x");
  EXPECT_EQ(layout.fields, 3);
  EXPECT_EQ(layout.start[0], 0);
  EXPECT_EQ(layout.start[1], 4);  // after the white space, at the sign
  EXPECT_EQ(layout.start[2], 8);
  EXPECT_EQ(layout.stop, 10);
  EXPECT_EQ(layout.expected, 'd');
  const RowLayout out_of_range = locate_fields("1, 2147483648,");
  EXPECT_EQ(out_of_range.fields, 1);
  EXPECT_TRUE(out_of_range.out_of_range);
  EXPECT_EQ(out_of_range.stop, 3);
}

TEST(MotionCheck, PulseLimitsHoldExactlyTheCountsWithinTheLimits) {
  for (int n = 1; n <= kNumberedJoints; ++n) {
    SCOPED_TRACE(n);
    const int i = convertJoint(n);
    const JointLimits &lim = kJointLimits[n - 1];
    const PulseRange range = pulse_limits(n);
    auto within = [&](int p) {
      const double a = pulse2rad(p, i);
      return a >= lim.min && a <= lim.max;
    };
    EXPECT_TRUE(within(range.lo));
    EXPECT_TRUE(within(range.hi));
    EXPECT_FALSE(within(range.lo - 1));
    EXPECT_FALSE(within(range.hi + 1));
  }
  // A negative calibration puts the upper angle limit at the lower count.
  EXPECT_EQ(pulse_limits(14).lo, -27170);
  EXPECT_EQ(pulse_limits(14).hi, 208);
  EXPECT_EQ(pulse_limits(4).lo, -208);
  EXPECT_EQ(pulse_limits(4).hi, 27170);
}

TEST(MotionCheck, ApproachStepsFollowThePlayersArithmetic) {
  PulseCounts target{};
  EXPECT_EQ(approach_steps(target), 1);  // ends at the first call
  // 0.1 rad: 17 moves and the call that finds it arrived.
  target[8] = rad2pulse(0.1f, 8);
  EXPECT_EQ(approach_steps(target), 18);
  target[8] = rad2pulse(1.0f, 8);
  EXPECT_EQ(approach_steps(target), 198);
  // Within the tolerance: no move.
  target[8] = rad2pulse(0.016f, 8);
  EXPECT_EQ(approach_steps(target), 1);
  // Far beyond any joint's travel the count comes from the formula.
  target[8] = 2000000000;
  EXPECT_GT(approach_steps(target), 1000000);
}

TEST(MotionCheck, PlayerStepsEndWithTheStepThatMeetsTheEnd) {
  // 11 rows at 5 per step: rows 6, 11 and 11 again; 12 rows: 6, 11, 12.
  EXPECT_EQ(check_text(rows(11)).play_steps, 3);
  EXPECT_EQ(check_text(rows(12)).play_steps, 3);
  // One row per step: rows 2..5 and the last again.
  EXPECT_EQ(check_text(rows(5, 50)).play_steps, 5);
  EXPECT_EQ(check_text(rows(1)).play_steps, 1);
  // Above 50 ms, one row per step too: rows 2, 3 and 3 again.
  EXPECT_EQ(check_text(rows(3, 60)).play_steps, 3);
  EXPECT_EQ(check_text(rows(3, 60)).rows_per_step, 1);
  // A period the player refuses gives no playback.
  EXPECT_EQ(check_text(rows(3, 0)).play_steps, 0);
  EXPECT_EQ(check_text(rows(3, 0)).rows_per_step, 0);
}

TEST(MotionCheck, PlayerJumpCountsOnlyTheRowsItCommands) {
  // Row 3 is skipped unparsed at 5 rows per step; row 6 is commanded.
  const std::string spike = row(10, one(7, 5987));
  FileSummary skipped = check_text(with_line(rows(11), 3, spike));
  EXPECT_EQ(skipped.player_jump.joint_number, 0);
  FileSummary played = check_text(with_line(rows(11), 6, spike));
  EXPECT_EQ(played.player_jump.joint_number, 7);
  EXPECT_EQ(played.player_jump.from_line, 1);
  EXPECT_EQ(played.player_jump.to_line, 6);
  EXPECT_NEAR(played.player_jump.rad, pulse2rad(5987, 18), 1e-12);
  // The step that meets the end sends the last row.
  FileSummary last = check_text(with_line(rows(12), 12, spike));
  EXPECT_EQ(last.player_jump.from_line, 11);
  EXPECT_EQ(last.player_jump.to_line, 12);
}

TEST(MotionCheck, SkimCommandsEveryHundredthRowAndTheLast) {
  std::string text;
  for (int r = 1; r <= 250; ++r) text += row(10, one(1, 10 * r));
  const FileSummary s = check_text(text);
  EXPECT_EQ(s.skim_rows, 250);
  EXPECT_EQ(s.skim_steps, 3);
  EXPECT_EQ(s.skim_first.from_line, 0);
  EXPECT_EQ(s.skim_first.to_line, 100);
  EXPECT_NEAR(s.skim_first.rad, pulse2rad(1000, 7), 1e-12);
  // 100 to 200 is a step of 1000 counts, 200 to 250 one of 500.
  EXPECT_EQ(s.skim_jump.from_line, 100);
  EXPECT_EQ(s.skim_jump.to_line, 200);
  EXPECT_EQ(check_text(rows(40)).skim_steps, 1);
}

TEST(MotionCheck, SplitLinesCountAsExtraRowsForEachPlayer) {
  const std::string r = row(10);
  const std::string text = r + r.substr(0, r.size() - 1) + std::string(600, ' ') + "\n" + r;
  std::vector<Finding> found;
  const FileSummary s = check_text(text, &found);
  EXPECT_EQ(s.lines, 3);
  EXPECT_EQ(s.player_rows, 4);
  EXPECT_EQ(s.skim_rows, 3);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].line, 2);
  // The rest of the split line is not checked again as a row of its own.
  EXPECT_EQ(found[0].column, kPlayerReadChars + 1);
}

TEST(MotionCheck, SummarySaysWhereTheJointsAShortRowLeavesOutComeFrom) {
  const std::string tail =
      " short rows: the joints a short row leaves out keep the values of whatever was played "
      "before it, from this file or an earlier one\n";
  const std::string clean = write_motion("no_short.csv", rows(4));
  const std::string short_rows =
      write_motion("short.csv", with_line(with_line(rows(4), 2, "10,0,0,0\n"), 3, "\n"));
  EXPECT_EQ(run_check({clean}).text.find("short row"), std::string::npos);
  const std::string text = run_check({short_rows}).text;
  const std::string last = short_rows + ": 2" + tail;
  ASSERT_GE(text.size(), last.size());
  EXPECT_EQ(text.substr(text.size() - last.size()), last) << text;
}

TEST(MotionCheck, EveryModeFailsWhenItsOutputCannotBeWritten) {
  const std::string path = write_motion("full_disk.csv", rows(3));
  const std::vector<std::vector<std::string>> modes = {
      {"--limits"}, {"--help"}, {"--stop-ms", "motion_skim", path}, {path}};
  for (const std::vector<std::string> &mode : modes) {
    SCOPED_TRACE(mode.front());
    std::vector<std::string> args = {"-c", "\"$0\" \"$@\" >/dev/full", MOTION_CHECK_PATH};
    args.insert(args.end(), mode.begin(), mode.end());
    const Output out = e2e::run_command("/bin/sh", args);
    EXPECT_EQ(out.status, 2);
    EXPECT_EQ(out.text, "motion_check: cannot write the output: No space left on device\n");
  }
}

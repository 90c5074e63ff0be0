// pose_tuner: the interpolation, the servo value table, the console's
// command reader and the snapshot row as units; then the program end to
// end on the stand-in, driven through stdin.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "body_model.h"
#include "e2e_harness.h"
#include "tuner.h"

namespace {

constexpr char kBanner[] =
    "\n&&&&&&&&&&&&\n&&&&&&&&&&&&\nDo not press a button, please wait for the end of the "
    "interpollation\n&&&&&&&&&&&&\n&&&&&&&&&&&&\n";
constexpr char kClear[] = "<clear>\n";  // what the tests' own "clear" prints
constexpr char kInsert[] =
    "Insert joint number (01-21) followed by the amount of angle (rd) to add to joint\n";
constexpr char kOver[] = "\nThe interpolation is over\n";
constexpr char kNamePrompt[] = " Give the name of the csv file: ";
constexpr char kSkipped[] =
    "not a joint number and an amount of angle: the rest of the line is skipped\n";
constexpr char kNotFinite[] = "the amount of angle must be a finite number: command refused\n";

// --- Units -----------------------------------------------------------------

// Runs interpol until it reports arrival; the number of calls it took.
int steps_to_arrive(int limit = 10000) {
  for (int call = 1; call <= limit; ++call) {
    if (interpol()) return call;
  }
  return -1;
}

std::string rows_of(const Posture &posture) {
  char *text = nullptr;
  std::size_t size = 0;
  std::FILE *out = open_memstream(&text, &size);
  write_servo_rows(out, posture);
  std::fclose(out);
  std::string rows(text, size);
  std::free(text);
  return rows;
}

// Commands read from `input` until its end, as "number angle" pairs; a
// mismatch shows as "skip" and the rest of its line is skipped.
std::string reads(const std::string &input) {
  std::string copy = input + '\0';
  std::FILE *in = fmemopen(copy.data(), input.size(), "r");
  std::string seen;
  for (int n = 0; n < 20; ++n) {
    Command command;
    CommandRead got = read_command(in, command);
    if (got == CommandRead::kEnd) break;
    if (!seen.empty()) seen += ", ";
    if (got == CommandRead::kMismatch) {
      seen += "skip";
      skip_line(in);
      continue;
    }
    char text[64];
    std::snprintf(text, sizeof text, "%d %g", command.number, command.add_angle);
    seen += text;
  }
  std::fclose(in);
  return seen.empty() ? "end" : seen + ", end";
}

TEST(PoseTuner, JogOfOneTenthMovesNineteenStepsAndLandsOnTheTwentieth) {
  tuner_reset_state();
  apply_command({3, 0.1f});
  EXPECT_EQ(interpolating, 1);
  EXPECT_EQ(wantedPos[8], static_cast<double>(0.1f));
  for (int move = 1; move <= 19; ++move) {
    ASSERT_FALSE(interpol()) << "move " << move;
    EXPECT_NEAR(futurPosition[8], move * kJogStep, 1e-15);
    EXPECT_EQ(interpolating, 1);
  }
  EXPECT_TRUE(interpol());
  EXPECT_EQ(interpolating, 0);
  // Landed exactly, not within the tolerance; nothing else moved.
  EXPECT_EQ(futurPosition, wantedPos);
  for (int i = 0; i < kJointCount; ++i) EXPECT_EQ(futurPosition[i], i == 8 ? wantedPos[8] : 0.0);
}

// Whatever library the tuner runs on: a joint that reads back no number
// would make every jog endless.
TEST(PoseTuner, JointReadBackAsNanOrInfinityStartsAtItsTargetAndTheJogEnds) {
  for (const double bad : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
    tuner_reset_state();
    Posture read{};
    read[8] = bad;  // rleg_joint_3, joint 03
    read[24] = bad;
    read[0] = 0.01;
    take_over_posture(read);
    EXPECT_EQ(futurPosition[8], 0.0);
    EXPECT_EQ(futurPosition[24], 0.0);
    EXPECT_EQ(futurPosition[0], 0.01);
    apply_command({3, 0.1f});
    EXPECT_EQ(steps_to_arrive(), 20) << bad;
  }
}

TEST(PoseTuner, JogWithinToleranceLandsOnTheFirstStep) {
  tuner_reset_state();
  apply_command({1, 0.006f});
  EXPECT_TRUE(interpol());
  EXPECT_EQ(futurPosition[7], static_cast<double>(0.006f));
  EXPECT_EQ(interpolating, 0);
  // Just beyond the tolerance takes one move.
  tuner_reset_state();
  apply_command({1, 0.0071f});
  EXPECT_FALSE(interpol());
  EXPECT_DOUBLE_EQ(futurPosition[7], kJogStep);
  EXPECT_TRUE(interpol());
}

TEST(PoseTuner, FirstJogAwayFromZeroPullsEveryJointTowardZero) {
  tuner_reset_state();
  futurPosition.fill(0.05);
  futurPosition[17] = -0.05;
  futurPosition[23] = 0.3;
  futurPosition[24] = -0.3;
  apply_command({3, 0.1f});
  EXPECT_NEAR(wantedPos[8], 0.15, 1e-7);
  EXPECT_FALSE(interpol());
  for (int i = 0; i < kJogJoints; ++i) {
    double expected = i == 8 ? 0.055 : i == 17 ? -0.045 : 0.045;
    EXPECT_NEAR(futurPosition[i], expected, 1e-9) << i;
  }
  // The 0.1 jog takes longest: 19 moves, so 18 more calls, then arrival.
  EXPECT_EQ(steps_to_arrive(), 19);
  for (int i = 0; i < kJogJoints; ++i) EXPECT_EQ(futurPosition[i], wantedPos[i]) << i;
  EXPECT_EQ(futurPosition[0], 0.0);
  // The head is never interpolated.
  EXPECT_EQ(futurPosition[23], 0.3);
  EXPECT_EQ(futurPosition[24], -0.3);
}

TEST(PoseTuner, ZeroingDuringAnInterpolationRestartsTheJointFromZero) {
  tuner_reset_state();
  apply_command({5, 0.1f});
  for (int move = 0; move < 10; ++move) ASSERT_FALSE(interpol());
  apply_command({5, 9.0f});
  EXPECT_EQ(futurPosition[11], 0.0);
  EXPECT_EQ(wantedPos[11], static_cast<double>(0.1f)) << "the target is not changed";
  EXPECT_FALSE(interpol());
  EXPECT_DOUBLE_EQ(futurPosition[11], kJogStep);
  EXPECT_EQ(steps_to_arrive(), 19);
  EXPECT_EQ(futurPosition[11], wantedPos[11]);

  // A target within the tolerance of 0 leaves the zeroed joint at 0.
  tuner_reset_state();
  apply_command({3, 0.1f});
  apply_command({5, 0.005f});
  for (int move = 0; move < 3; ++move) ASSERT_FALSE(interpol());
  apply_command({5, 9.0f});
  EXPECT_FALSE(interpol());
  EXPECT_EQ(futurPosition[11], 0.0);
  EXPECT_GT(steps_to_arrive(), 0);
  EXPECT_EQ(futurPosition[11], static_cast<double>(0.005f));
}

TEST(PoseTuner, JogDuringAnInterpolationStartsFromTheIntermediatePosition) {
  tuner_reset_state();
  apply_command({3, 0.1f});
  for (int move = 0; move < 4; ++move) ASSERT_FALSE(interpol());
  apply_command({3, -0.05f});
  EXPECT_NEAR(wantedPos[8], 0.02 - 0.05, 1e-7);
  EXPECT_FALSE(interpol());
  EXPECT_NEAR(futurPosition[8], 0.015, 1e-9) << "turns back at once";
  EXPECT_GT(steps_to_arrive(), 0);
  EXPECT_EQ(futurPosition[8], wantedPos[8]);
}

TEST(PoseTuner, ZeroingCommandsLeaveTheTargetsAlone) {
  tuner_reset_state();
  for (int i = 0; i < kJointCount; ++i) futurPosition[i] = 0.01 * (i + 1);
  wantedPos.fill(0.5);
  // 9 rad is the zeroing command, not a jog; 21 and 0 both name the body.
  apply_command({21, 9.0f});
  EXPECT_EQ(futurPosition[0], 0.0);
  EXPECT_EQ(interpolating, 0);
  apply_command({5, 9.0f});
  EXPECT_EQ(futurPosition[11], 0.0);
  EXPECT_EQ(futurPosition[10], 0.11);
  // 666 zeroes 0..23 whatever the number; head_joint_1 keeps its value.
  apply_command({42, 666.0f});
  for (int i = 0; i < kJointCount - 1; ++i) EXPECT_EQ(futurPosition[i], 0.0) << i;
  EXPECT_EQ(futurPosition[24], 0.25);
  for (double target : wantedPos) EXPECT_EQ(target, 0.5);
  EXPECT_EQ(interpolating, 0);
}

TEST(PoseTuner, DisplayRowsAtZeroAreTheTable) {
  EXPECT_EQ(rows_of(Posture{}),
            "01:\trleg_joint_1 = 0.000000  pulse: 0\t\tmin=-1.58825\tmax=0.541052\n"
            "02:\trleg_joint_2 = 0.000000  pulse: 0\t\tmin=-0.541052\tmax=0.36652\n"
            "03:\trleg_joint_3 = 0.000000  pulse: 0\t\tmin=-1.43117\tmax=1.23918\n"
            "04:\trleg_joint_4 = 0.000000  pulse: 0\t\tmin=-0.017453\tmax=2.26893\n"
            "05:\trleg_joint_5 = 0.000000  pulse: 0\t\tmin=-1.06465\tmax=1.06465\n"
            "06:\trleg_joint_6 = 0.000000  pulse: 0\t\tmin=-0.43633\tmax=0.43633\n"
            "07:\trarm_joint_1 = 0.000000  pulse: 0\t\tmin=-1.5882\tmax=2.6354\n"
            "08:\trarm_joint_2 = 0.000000  pulse: 0\t\tmin=-1.6755\tmax=0.0175\n"
            "09:\trarm_joint_3 = 0.000000  pulse: 0\t\tmin=-1.5882\tmax=1.5882\n"
            "10:\trarm_joint_4 = 0.000000  pulse: 0\t\tmin=-2.0071\tmax=0.01745\n"
            "11:\tlleg_joint_1 = 0.000000  pulse: 0\t\tmin=-0.541052\tmax=1.58825\n"
            "12:\tlleg_joint_2 = 0.000000  pulse: 0\t\tmin=-0.36652\tmax=0.541052\n"
            "13:\tlleg_joint_3 = 0.000000  pulse: 0\t\tmin=-1.43117\tmax=1.23918\n"
            "14:\tlleg_joint_4 = 0.000000  pulse: 0\t\tmin=-0.017453\tmax=2.26893\n"
            "15:\tlleg_joint_5 = 0.000000  pulse: 0\t\tmin=-1.06465\tmax=1.06465\n"
            "16:\tlleg_joint_6 = 0.000000  pulse: 0\t\tmin=-0.43633\tmax=0.43633\n"
            "17:\tlarm_joint_1 = 0.000000  pulse: 0\t\tmin=-1.5882\tmax=2.6354\n"
            "18:\tlarm_joint_2 = 0.000000  pulse: 0\t\tmin=-0.0175\tmax=1.6755\n"
            "19:\tlarm_joint_3 = 0.000000  pulse: 0\t\tmin=-1.5882\tmax=1.5882\n"
            "20:\tlarm_joint_4 = 0.000000  pulse: 0\t\tmin=-2.0071\tmax=0.01745\n"
            "21:\tbody_joint_1 = 0.000000  pulse: 0\t\tmin=-0.017453\tmax=1.5708\n");
}

TEST(PoseTuner, DisplayRowShowsAngleAndPulseOfItsJoint) {
  Posture posture{};
  posture[8] = 0.1;    // rleg_joint_3, -209 pulses per degree
  posture[0] = -0.25;  // body_joint_1, 209
  std::string rows = rows_of(posture);
  EXPECT_NE(rows.find("03:\trleg_joint_3 = 0.100000  pulse: -1197\t\tmin=-1.43117\tmax=1.23918\n"),
            std::string::npos)
      << rows;
  EXPECT_NE(rows.find("21:\tbody_joint_1 = -0.250000  pulse: -2993\t"), std::string::npos) << rows;
  // The head and the fifth arm joints have no row.
  Posture others = posture;
  others[17] = others[22] = others[23] = others[24] = 1.0;
  EXPECT_EQ(rows_of(others), rows);
  for (const char *absent : {"larm_joint_5", "rarm_joint_5", "head"})
    EXPECT_EQ(rows.find(absent), std::string::npos) << absent;
}

TEST(PoseTuner, ParserReadsATokenStream) {
  EXPECT_EQ(reads("3 0.1\n"), "3 0.1, end");
  // Two characters at most for the number; newlines are white space.
  EXPECT_EQ(reads("666"), "66 6, end");
  EXPECT_EQ(reads("123 0.1"), "12 3, 0 0.1, end");
  EXPECT_EQ(reads("3\n\n  0.1\n5 9"), "3 0.1, 5 9, end");
  EXPECT_EQ(reads("-12 3"), "-1 2, end");
  EXPECT_EQ(reads("+7 -.5 07 1e-1"), "7 -0.5, 7 0.1, end");
  // The angle ends where a number can no longer go on.
  EXPECT_EQ(reads("3 0.1.2 5"), "3 0.1, skip, end");
  EXPECT_EQ(reads("3 2x\n4 1"), "3 2, skip, 4 1, end");
  // What strtof reads: exponents, hex floats, infinities, NaN.
  EXPECT_EQ(reads("1 0x1p-2 2 INF 3 -infinity 4 nan 5 nan(12_a)"),
            "1 0.25, 2 inf, 3 -inf, 4 nan, 5 nan, end");
  EXPECT_EQ(reads("1 1e50 2 1e-50"), "1 inf, 2 0, end");
  // 9, 9.0 and 9e0 are the same number.
  EXPECT_EQ(reads("5 9.0 5 9e0 7 999 7 0x1.38ep+9"), "5 9, 5 9, 7 999, 7 625.75, end");
}

TEST(PoseTuner, ParserSkipsWhatDoesNotMatchAndStopsAtTheEnd) {
  EXPECT_EQ(reads(""), "end");
  EXPECT_EQ(reads(" \n\t\n"), "end");
  EXPECT_EQ(reads("3"), "end");
  EXPECT_EQ(reads("3 \n"), "end");
  EXPECT_EQ(reads("-"), "end");
  // A mismatch never repeats the previous command; its line is skipped.
  EXPECT_EQ(reads("3 0.1\nx 0.2 4 0.3\n5 0.4"), "3 0.1, skip, 5 0.4, end");
  EXPECT_EQ(reads("- 1\n+x\n3 abc\n"), "skip, skip, skip, end");
  // Texts that start a number but are not one.
  for (const char *bad : {"3 .", "3 -", "3 1e", "3 1e+", "3 0x", "3 0x.p1", "3 infi", "3 in",
                          "3 nan(", "3 nan(a", "3 .e1"}) {
    EXPECT_EQ(reads(std::string(bad) + " \n4 1"), "skip, 4 1, end") << bad;
  }
  // The angle is read into a bounded buffer.
  std::string longest = "1." + std::string(kAngleChars - 2, '0');
  EXPECT_EQ(reads("3 " + longest), "3 1, end");
  EXPECT_EQ(reads("3 " + longest + "0\n4 1"), "skip, 4 1, end");
  EXPECT_EQ(reads("3 " + std::string(100000, '7') + "\n4 1"), "skip, 4 1, end");
}

TEST(PoseTuner, ParserAgreesWithScanfOnWellFormedCommands) {
  const char *numbers[] = {"3", "03", "21", "-1", "+7", "99", "-0"};
  const char *angles[] = {"0.1",    "-0.25",   "+.5",    "1.",        "1e3",  "1E-3",  "-2.5e+2",
                          "0x1p-2", "0X1.8P1", "inf",    "-Infinity", "9",    "9.0",   "9e0",
                          "666",    "999",     "3.4e38", "1e-50",     "1e50", "00012", "0.000001"};
  const char *gaps[] = {" ", "\t", "\n", "  \n "};
  const char *tails[] = {"", " ", "\n", "x", ",5", " 4 1"};
  int compared = 0;
  for (const char *number : numbers) {
    for (const char *angle : angles) {
      for (const char *gap : gaps) {
        for (const char *tail : tails) {
          std::string text = std::string(number) + gap + angle + tail;
          int n = 0, consumed = -1;
          float f = 0.0f;
          ASSERT_EQ(std::sscanf(text.c_str(), "%2d %f%n", &n, &f, &consumed), 2) << text;
          std::FILE *in = fmemopen(text.data(), text.size(), "r");
          Command command;
          ASSERT_EQ(read_command(in, command), CommandRead::kOk) << text;
          EXPECT_EQ(command.number, n) << text;
          EXPECT_EQ(command.add_angle, f) << text;
          EXPECT_EQ(std::ftell(in), consumed) << text;
          std::fclose(in);
          ++compared;
        }
      }
    }
  }
  EXPECT_EQ(compared, 7 * 21 * 4 * 6);
}

TEST(PoseTuner, SnapshotRowParsesBackToTheSameCounts) {
  Posture posture{};
  for (int i = 0; i < kJointCount; ++i) posture[i] = (i % 3 - 1) * 0.037 * i;
  posture[8] = 0.1;
  PulseCounts counts = snapshot_counts(posture);
  EXPECT_EQ(counts[8], -1197);
  EXPECT_EQ(counts[17], 0);
  EXPECT_EQ(counts[22], 0);
  char text[512] = {};
  std::FILE *out = fmemopen(text, sizeof text - 1, "w");
  write_csv_row(out, counts);
  std::fclose(out);
  MotionRow row;
  row.pulses.fill(12345);
  ASSERT_EQ(parse_csv_row(text, row), kRowFields) << text;
  EXPECT_EQ(row.period, 1);
  EXPECT_EQ(row.field2, 2);
  for (int i : kColumnOrder) {
    EXPECT_EQ(row.pulses[i], counts[i]) << i;
    EXPECT_NEAR(pulse2rad(row.pulses[i], i), posture[i], 1.0 / 209 * kRadPerDegree) << i;
  }
}

// --- End to end ----------------------------------------------------------

// The servo value table, from the row format and the limit table, written
// here independently of the program.
std::string table(const Posture &p) {
  std::string text;
  for (int number = 1; number <= kNumberedJoints; ++number) {
    int i = convertJoint(number);
    char row[160];
    std::snprintf(row, sizeof row, "%02d:\t%s = %f  pulse: %d\t\tmin=%s\tmax=%s\n", number,
                  jointNum2Text(i), p[i], rad2pulse(static_cast<float>(p[i]), i),
                  kJointLimits[number - 1].minText, kJointLimits[number - 1].maxText);
    text += row;
  }
  return text;
}

// The console's screen before it reads: cleared, the table, an optional
// notice, the prompt.
std::string screen(const Posture &p, const std::string &notice = "") {
  return kClear + table(p) + notice + kInsert;
}

// What one interpolation step shows; `over` for the step that lands.
std::string frame(const Posture &p, bool over = false) {
  std::string step = kClear + table(p) + kBanner;
  if (!over) return step;
  return "The interpolation is over\n" + step + kClear + table(p) + kOver + kInsert;
}

// The positions of one joint jogged from `start` to `target`, one per
// interpolation step of `steps`: `moves` moves, held within the tolerance
// until the last step, which lands on the target.
std::vector<double> jog_path(double start, double target, int moves, int steps = 0) {
  std::vector<double> path;
  double at = start;
  for (int move = 0; move < moves; ++move) {
    at += target > at ? kJogStep : -kJogStep;
    path.push_back(at);
  }
  while (static_cast<int>(path.size()) + 1 < steps) path.push_back(at);
  path.push_back(target);
  return path;
}

// The frames of a jog of joint `i` of posture `p` along `path`.
std::string jog_frames(Posture p, int i, const std::vector<double> &path) {
  std::string frames;
  for (std::size_t k = 0; k < path.size(); ++k) {
    p[i] = path[k];
    frames += frame(p, k + 1 == path.size());
  }
  return frames;
}

// A directory holding a "clear" that prints kClear: the tests see where
// the screen is cleared, whatever the terminal.
const std::string &clear_dir() {
  static const std::string dir = [] {
    std::string made = e2e::temp_dir();
    e2e::write_file(made + "/clear", "#!/bin/sh\nprintf '<clear>\\n'\n");
    std::filesystem::permissions(made + "/clear", std::filesystem::perms::owner_all);
    return made;
  }();
  return dir;
}

// "name=rad,..." for STANDIN_POSTURE, and the posture the program reads back.
std::string start_posture(const Posture &p, Posture &read_back) {
  std::string text;
  for (int i = 0; i < kJointCount; ++i) {
    char entry[64];
    std::snprintf(entry, sizeof entry, "%s%s=%.9g", i ? "," : "", jointNum2Text(i), p[i]);
    text += entry;
    read_back[i] = static_cast<float>(p[i]);
  }
  return text;
}

// robot_step calls in the trace so far, counting complete lines only: the
// program may be writing it.
long steps_in(const std::string &trace_path) {
  std::string text = e2e::read_file(trace_path);
  return e2e::count(std::string_view(text).substr(0, text.rfind('\n') + 1), "\trobot_step\t");
}

const std::string kStartText = "reset\nstarting reset\n";
const std::string kEndOfJog = kOver + std::string(kInsert);

// pose_tuner on the stand-in, typed at through stdin.
struct Tuner {
  std::string dir = e2e::temp_dir();                   // working directory
  std::string trace = e2e::temp_dir() + "/trace.tsv";  // read while it runs
  e2e::Session session;

  explicit Tuner(std::vector<std::pair<std::string, std::string>> env = {})
      : session(options(env)) {
    EXPECT_TRUE(session.wait_for_output(kInsert));
  }

  e2e::Options options(std::vector<std::pair<std::string, std::string>> &env) {
    e2e::Options options;
    options.program = POSE_TUNER_PATH;
    options.cwd = dir;
    // stop() ends every run; the stop time (30 s at this pace) is a backstop.
    options.stop_ms = 600000;
    const char *path = std::getenv("PATH");
    options.env = {{"PATH", clear_dir() + ":" + (path != nullptr ? path : "/usr/bin:/bin")},
                   {"STANDIN_PACE", "20"},
                   {"STANDIN_TRACE", trace}};
    for (auto &setting : env) options.env.push_back(std::move(setting));
    return options;
  }

  // Types `input` and waits until `until` is printed after it.
  void type(const std::string &input, const std::string &until) {
    std::size_t mark = session.out().size();
    session.write(input);
    EXPECT_TRUE(session.wait_for_output(until, mark)) << input;
  }

  // Waits for `n` more control steps.
  void let_steps_pass(long n) { EXPECT_TRUE(session.wait_for_step(steps_in(trace) + n)); }

  // Waits until the loop has sent `device` an angle that `wanted` takes,
  // after step `after`, and gives that step. The screen comes from the
  // console thread, which does not wait for the loop to take a command: a
  // count of steps from the command's own step holds however the two
  // threads run.
  long wait_until_sent(const std::string &device, const std::function<bool(float)> &wanted,
                       long after = 0) {
    long found = -1;
    EXPECT_TRUE(session.wait_until([&] {
      for (const e2e::TraceLine &line : e2e::calls(session.trace_so_far(), "servo_set_position")) {
        if (line.step > after && line.device == device && wanted(e2e::to_float(line.value))) {
          found = line.step;
          return true;
        }
      }
      return false;
    })) << device;
    return found;
  }

  e2e::Result stop() {
    e2e::Result result = session.stop();
    EXPECT_EQ(result.exit_code, 0) << result.err;
    return result;
  }
};

// The angle of `device` commanded after each robot_step: entry n for step n
// (entry 0, before the first, stays NaN).
std::vector<float> sent(const e2e::Result &result, const std::string &device) {
  // The last robot_step is the one that ended the run: nothing follows it.
  std::vector<float> values(static_cast<std::size_t>(e2e::steps(result.trace)), NAN);
  for (const e2e::TraceLine &line : e2e::calls(result.trace, "servo_set_position")) {
    if (line.device == device) values[line.step] = e2e::to_float(line.value);
  }
  return values;
}

// First step after step 1 whose command differs from the step before.
std::size_t first_change(const std::vector<float> &values, std::size_t from = 2) {
  for (std::size_t n = from; n < values.size(); ++n) {
    if (values[n] != values[n - 1]) return n;
  }
  return values.size();
}

// Expects `values` to follow `path` from step `start`, then hold its end.
void expect_path(const std::vector<float> &values, std::size_t start,
                 const std::vector<double> &path) {
  ASSERT_LE(start + path.size(), values.size());
  for (std::size_t k = 0; k < path.size(); ++k)
    EXPECT_EQ(values[start + k], static_cast<float>(path[k])) << "move " << k + 1;
  for (std::size_t n = start + path.size(); n < values.size(); ++n)
    EXPECT_EQ(values[n], static_cast<float>(path.back())) << "step " << n;
}

TEST(PoseTuner, StartsUpInOrderAndSendsHeadFirstEveryStep) {
  Tuner tuner;
  tuner.let_steps_pass(8);
  e2e::Result result = tuner.stop();
  EXPECT_EQ(result.out, kStartText + screen(Posture{}));

  std::vector<std::string> expected = {"robot_live -"};
  for (int i = 0; i < kJointCount; ++i) {
    expected.push_back(std::string("robot_get_device ") + jointNum2Text(i));
    expected.push_back(std::string("servo_enable_position ") + jointNum2Text(i));
  }
  for (const char *call :
       {"robot_get_device left touch", "robot_get_device right touch",
        "touch_sensor_enable left touch", "touch_sensor_enable right touch", "robot_step -"}) {
    expected.push_back(call);
  }
  for (int i = 0; i < kJointCount; ++i)
    expected.push_back(std::string("servo_get_position ") + jointNum2Text(i));
  ASSERT_GE(result.trace.size(), expected.size());
  for (std::size_t n = 0; n < expected.size(); ++n) {
    const e2e::TraceLine &line = result.trace[n];
    EXPECT_EQ(line.call + " " + line.device, expected[n]) << "call " << n;
  }
  EXPECT_EQ(result.trace[2 * kJointCount + 3].value, "64");
  EXPECT_EQ(result.trace[2 * kJointCount + 4].value, "64");
  EXPECT_EQ(result.trace[2 * kJointCount + 5].value, "128");

  // Every step of the loop sends 23 commands in head-first order.
  long steps = e2e::steps(result.trace);
  EXPECT_GE(steps, 9);
  EXPECT_TRUE(e2e::commands_after_step(result.trace, 0).empty());
  for (long n = 1; n < steps; ++n) {
    std::vector<e2e::Command> commands = e2e::commands_after_step(result.trace, n);
    ASSERT_EQ(commands.size(), kHeadFirstOrder.size()) << "step " << n;
    for (std::size_t k = 0; k < commands.size(); ++k) {
      EXPECT_EQ(commands[k].device, jointNum2Text(kHeadFirstOrder[k]));
      EXPECT_EQ(commands[k].value, 0.0f);
    }
  }
  for (const e2e::TraceLine &line : e2e::calls(result.trace, "robot_step"))
    EXPECT_EQ(line.value, line.step == 0 ? "128" : "64");
}

TEST(PoseTuner, JogRedrawsEveryStepAndLandsOnTheTwentieth) {
  Tuner tuner;
  tuner.type("3 0.1\n", kEndOfJog);
  e2e::Result result = tuner.stop();

  // The console's screen comes before the first step is drawn.
  Posture p{};
  std::vector<double> path = jog_path(0.0, 0.1f, 19);
  std::string expected = kStartText + screen(p) + screen(p) + jog_frames(p, 8, path);
  EXPECT_EQ(result.out, expected);
  EXPECT_EQ(e2e::count(result.out, kBanner), 20);
  EXPECT_NE(result.out.find("03:\trleg_joint_3 = 0.100000  pulse: -1197\t"), std::string::npos);

  std::vector<float> values = sent(result, "rleg_joint_3");
  expect_path(values, first_change(values), path);
  for (const char *other : {"rleg_joint_1", "body_joint_1", "head_joint_1", "head_joint_2"})
    EXPECT_EQ(first_change(sent(result, other)), values.size()) << other;
}

TEST(PoseTuner, FirstJogPullsEveryJointFromItsStartTowardZero) {
  Posture start{};
  for (int i = 0; i < kJointCount; ++i) start[i] = (i % 2 ? 0.0125 : -0.0125) * (i % 4 + 1);
  Posture p{};
  Tuner tuner({{"STANDIN_POSTURE", start_posture(start, p)}});
  tuner.type("21 -0.02\n", kEndOfJog);
  e2e::Result result = tuner.stop();

  // Every joint 0..22 heads for 0, the body for its start minus 0.02; the
  // one farthest away sets the number of steps.
  Posture target{};
  target[0] = p[0] + static_cast<double>(-0.02f);
  std::array<int, kJogJoints> moves{};
  int steps = 0;
  for (int i = 0; i < kJogJoints; ++i) {
    double distance = std::fabs(target[i] - p[i]);
    moves[i] = distance > kJogTolerance
                   ? static_cast<int>(std::ceil((distance - kJogTolerance) / kJogStep))
                   : 0;
    steps = std::max(steps, moves[i] + 1);
  }
  EXPECT_EQ(steps, 10);
  std::size_t first = first_change(sent(result, "body_joint_1"));
  for (int i : kHeadFirstOrder) {
    std::vector<float> values = sent(result, jointNum2Text(i));
    EXPECT_EQ(values[first - 1], static_cast<float>(p[i])) << i;
    if (i < kJogJoints) {
      expect_path(values, first, jog_path(p[i], target[i], moves[i], steps));
    } else {
      EXPECT_EQ(values.back(), static_cast<float>(p[i])) << "the head holds its start posture";
    }
  }
}

TEST(PoseTuner, NineZeroesAJointAtOnceAndALaterJogBringsItBack) {
  Tuner tuner;
  tuner.type("5 0.1\n", kEndOfJog);
  tuner.type("5 9\n", kInsert);
  // Three steps after the loop sent the zero.
  const long raised = tuner.wait_until_sent("rleg_joint_5", [](float v) { return v == 0.1f; });
  const long zeroed = tuner.wait_until_sent(
      "rleg_joint_5", [](float v) { return v == 0.0f; }, raised);
  ASSERT_TRUE(tuner.session.wait_for_step(zeroed + 3));
  tuner.type("3 0.1\n", kEndOfJog);
  e2e::Result result = tuner.stop();

  // Zeroing starts no interpolation: its screen shows the zero at once.
  Posture p{};
  std::vector<double> path = jog_path(0.0, 0.1f, 19);
  std::string expected = kStartText + screen(p) + screen(p) + jog_frames(p, 11, path);
  p[11] = 0.0;
  expected += screen(p) + screen(p);
  // Both climb: joint 5 back to its target, which the zeroing kept.
  std::string frames;
  for (std::size_t k = 0; k < path.size(); ++k) {
    p[8] = p[11] = path[k];
    frames += frame(p, k + 1 == path.size());
  }
  EXPECT_EQ(result.out, expected + frames);

  std::vector<float> joint5 = sent(result, "rleg_joint_5");
  std::size_t up = first_change(joint5);
  std::size_t drop = first_change(joint5, up + 20);
  ASSERT_LT(drop, joint5.size());
  EXPECT_EQ(joint5[drop - 1], 0.1f);
  EXPECT_EQ(joint5[drop], 0.0f);
  std::size_t back = first_change(joint5, drop + 1);
  EXPECT_GE(back, drop + 3);
  expect_path(joint5, back, path);
  std::vector<float> joint3 = sent(result, "rleg_joint_3");
  EXPECT_EQ(first_change(joint3), back);
  expect_path(joint3, back, path);
}

TEST(PoseTuner, SixSixSixZeroesAllButHeadJointOne) {
  Posture start{};
  for (int i = 0; i < kJointCount; ++i) start[i] = 0.01 * (i + 1);
  Posture p{};
  Tuner tuner({{"STANDIN_POSTURE", start_posture(start, p)}});
  tuner.type("1 666\n", kInsert);
  tuner.let_steps_pass(3);
  e2e::Result result = tuner.stop();

  Posture zeroed{};
  zeroed[24] = p[24];
  EXPECT_EQ(result.out, kStartText + screen(p) + screen(zeroed));
  long steps = e2e::steps(result.trace);
  std::vector<e2e::Command> first = e2e::commands_after_step(result.trace, 1);
  std::vector<e2e::Command> last = e2e::commands_after_step(result.trace, steps - 1);
  ASSERT_EQ(first.size(), 23u);
  ASSERT_EQ(last.size(), 23u);
  for (std::size_t k = 0; k < 23; ++k) {
    int i = kHeadFirstOrder[k];
    EXPECT_EQ(first[k].value, static_cast<float>(p[i])) << i;
    EXPECT_EQ(last[k].value, i == 24 ? static_cast<float>(p[24]) : 0.0f) << i;
  }
}

TEST(PoseTuner, SnapshotWritesTheCommandedPostureAsOneRow) {
  Posture start{};
  start[18] = 0.5;  // rarm_joint_1, JointNumber 07: 5987 pulses
  start[0] = -0.2;  // body_joint_1, 21: -2394
  start[24] = 1.0;  // head_joint_1: not in the row
  Posture p{};
  Tuner tuner({{"STANDIN_POSTURE", start_posture(start, p)}});
  e2e::write_file(tuner.dir + "/pose1", "an older file\nof two lines\n");
  const std::string writing = "writing position to the file TeSt.csv\n";
  // The name may follow 999 on the same line, or come when asked for.
  tuner.type("7 999 pose0\n", kInsert);
  tuner.type("3 0.1\n", kEndOfJog);
  tuner.type("12 999\n", kNamePrompt);
  tuner.type("pose1\n", kInsert);
  e2e::Result result = tuner.stop();

  EXPECT_EQ(e2e::read_file(tuner.dir + "/pose0"),
            "1,2,0,0,0,0,0,0,5987,0,0,0,0,0,0,0,0,0,0,0,0,0,-2394, R ,R ,R,R");
  EXPECT_EQ(e2e::read_file(tuner.dir + "/pose1"),
            "1,2,0,0,-1197,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0, R ,R ,R,R");
  Posture jogged{};
  jogged[24] = p[24];
  jogged[8] = 0.1f;
  std::string text = result.out;
  std::string before = kStartText + screen(p) + kNamePrompt + writing + screen(p) + screen(p);
  ASSERT_EQ(text.substr(0, before.size()), before);
  std::string after = kNamePrompt + writing + screen(jogged);
  ASSERT_GE(text.size(), after.size());
  EXPECT_EQ(text.substr(text.size() - after.size()), after);
}

TEST(PoseTuner, SnapshotToAMissingDirectoryPrintsBothMessages) {
  Tuner tuner;
  tuner.type("1 999 missing/pose1\n", kInsert);
  e2e::Result result = tuner.stop();
  EXPECT_EQ(result.out, kStartText + screen(Posture{}) + kNamePrompt +
                            "writing position to the file TeSt.csv\n"
                            "unable to open the file TeSt.csv\n" +
                            screen(Posture{}));
  EXPECT_FALSE(std::filesystem::exists(tuner.dir + "/missing"));
}

TEST(PoseTuner, OverlongSnapshotNameIsRefusedAndNoFileIsTouched) {
  Tuner tuner;
  // Paths of 255 and 256 characters through two 100-character directories.
  std::string parent = std::string(100, 'a') + "/" + std::string(100, 'b');
  std::filesystem::create_directories(tuner.dir + "/" + parent);
  std::string fits = parent + "/" + std::string(53, 'c');
  std::string too_long = parent + "/" + std::string(54, 'c');
  ASSERT_EQ(fits.size(), kNameBytes - 1);
  e2e::write_file(tuner.dir + "/" + too_long, "keep");
  tuner.type("1 999 " + too_long + "\n", kInsert);
  tuner.type("1 999 " + fits + "\n", kInsert);
  e2e::Result result = tuner.stop();

  EXPECT_EQ(e2e::read_file(tuner.dir + "/" + too_long), "keep");
  EXPECT_EQ(e2e::read_file(tuner.dir + "/" + fits),
            "1,2,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0, R ,R ,R,R");
  EXPECT_EQ(result.out, kStartText + screen(Posture{}) + kNamePrompt +
                            screen(Posture{}, "file name too long: at most 255 characters\n") +
                            kNamePrompt + "writing position to the file TeSt.csv\n" +
                            screen(Posture{}));
}

TEST(PoseTuner, InputIsReadAsATokenStream) {
  // 666 alone is joint 66 (the body joint) and 6 rad, beyond its limits.
  {
    Tuner tuner;
    tuner.type("666\n", kBanner);
    // Ten steps of the jog, from the one that started it.
    const long jogged = tuner.wait_until_sent("body_joint_1", [](float v) { return v != 0.0f; });
    ASSERT_TRUE(tuner.session.wait_for_step(jogged + 11));
    e2e::Result result = tuner.stop();
    Posture p{};
    p[0] = kJogStep;
    std::string expected = kStartText + screen(Posture{}) + screen(Posture{}) + frame(p);
    EXPECT_EQ(result.out.substr(0, expected.size()), expected);
    std::vector<float> body = sent(result, "body_joint_1");
    std::size_t start = first_change(body);
    ASSERT_LT(start + 10, body.size());
    double at = 0.0;
    for (std::size_t n = start; n < body.size(); ++n)
      EXPECT_EQ(body[n], static_cast<float>(at += kJogStep));
    EXPECT_EQ(first_change(sent(result, "rleg_joint_3")), body.size());
  }
  // 123 0.1 is joint 12 by 3 rad, then joint 0 (the body joint) by 0.1 rad.
  {
    Tuner tuner;
    tuner.session.write("123 0.1\n");
    // The console shows a screen once each command is applied: the first
    // prompt, then one per command.
    for (std::size_t from = 0, prompts = 0; prompts < 3; ++prompts) {
      ASSERT_TRUE(tuner.session.wait_for_output(kInsert, from));
      from = tuner.session.out().find(kInsert, from) + 1;
    }
    const long jogged = tuner.wait_until_sent("lleg_joint_2", [](float v) { return v != 0.0f; });
    ASSERT_TRUE(tuner.session.wait_for_step(jogged + 26));
    e2e::Result result = tuner.stop();
    std::vector<float> leg = sent(result, "lleg_joint_2");
    std::vector<float> body = sent(result, "body_joint_1");
    std::size_t start = first_change(leg);
    ASSERT_LT(start + 25, leg.size());
    EXPECT_EQ(leg.back(), static_cast<float>(jog_path(0.0, 3.0, 599)[leg.size() - 1 - start]));
    // The body stops within the tolerance of its target, 0.005 short: the
    // interpolation goes on for the leg.
    EXPECT_EQ(body.back(), static_cast<float>(jog_path(0.0, 0.1f, 19)[18]));
    EXPECT_GE(first_change(body), start);
  }
}

TEST(PoseTuner, BadInputSkipsTheRestOfItsLine) {
  Tuner tuner;
  tuner.type("x 0.1 3 0.1\n", kInsert);
  tuner.type("5 abc\n", kInsert);
  tuner.let_steps_pass(3);
  // The jog comes at step 5 at the earliest, however the loop has run.
  ASSERT_TRUE(tuner.session.wait_for_step(5));
  tuner.type("3 0.006\n", kEndOfJog);
  e2e::Result result = tuner.stop();

  Posture p{};
  p[8] = 0.006f;
  EXPECT_EQ(result.out, kStartText + screen(Posture{}) + screen(Posture{}, kSkipped) +
                            screen(Posture{}, kSkipped) + screen(Posture{}) + frame(p, true));
  std::vector<float> values = sent(result, "rleg_joint_3");
  std::size_t start = first_change(values);
  EXPECT_GE(start, 5u);
  expect_path(values, start, {0.006f});
}

TEST(PoseTuner, NonFiniteAngleIsRefusedAndTheTargetKept) {
  Tuner tuner;
  tuner.type("3 0.1\n", kEndOfJog);
  tuner.type("3 nan\n", kInsert);
  tuner.type("3 -inf\n", kInsert);
  tuner.type("3 1e39\n", kInsert);
  // The next jog lands at once: joint 3's target is still 0.1.
  tuner.type("5 0.006\n", kEndOfJog);
  e2e::Result result = tuner.stop();

  Posture p{};
  std::string expected =
      kStartText + screen(p) + screen(p) + jog_frames(p, 8, jog_path(0.0, 0.1f, 19));
  p[8] = 0.1f;
  for (int refused = 0; refused < 3; ++refused) expected += screen(p, kNotFinite);
  expected += screen(p);
  p[11] = 0.006f;
  expected += frame(p, true);
  EXPECT_EQ(result.out, expected);
  for (const e2e::TraceLine &line : e2e::calls(result.trace, "servo_set_position"))
    EXPECT_TRUE(std::isfinite(e2e::to_float(line.value))) << line.device;
}

TEST(PoseTuner, EndOfInputEndsTheConsoleAndTheLoopHoldsThePosture) {
  Tuner tuner;
  tuner.session.write("3 0.1\n");
  tuner.session.close_input();
  EXPECT_TRUE(tuner.session.wait_for_output(kEndOfJog));
  // Ten steps after the jog's last, from the one that started it.
  const long jogged = tuner.wait_until_sent("rleg_joint_3", [](float v) { return v != 0.0f; });
  ASSERT_TRUE(tuner.session.wait_for_step(jogged + 19 + 10));
  e2e::Result result = tuner.stop();

  Posture p{};
  std::vector<double> path = jog_path(0.0, 0.1f, 19);
  EXPECT_EQ(result.out, kStartText + screen(p) + screen(p) + jog_frames(p, 8, path));
  std::vector<float> values = sent(result, "rleg_joint_3");
  std::size_t start = first_change(values);
  expect_path(values, start, path);
  EXPECT_GE(values.size(), start + path.size() + 10);
}

TEST(PoseTuner, SavedPostureIsReachedByMotionPlayer) {
  Tuner tuner;
  tuner.type("3 0.1\n", kEndOfJog);
  tuner.type("7 -0.2\n", kEndOfJog);
  tuner.type("21 0.05\n", kEndOfJog);
  tuner.type("1 999 pose.csv\n", kInsert);
  tuner.stop();
  MotionRow saved;
  ASSERT_EQ(parse_csv_row(e2e::read_file(tuner.dir + "/pose.csv").c_str(), saved), kRowFields);
  EXPECT_EQ(saved.pulses[8], -1197);   // rleg_joint_3, 0.1 rad
  EXPECT_EQ(saved.pulses[18], -2394);  // rarm_joint_1, -0.2 rad
  EXPECT_EQ(saved.pulses[0], 598);     // body_joint_1, 0.05 rad

  // motion_player starts from the zero posture and approaches the row.
  e2e::Options options;
  options.program = MOTION_PLAYER_PATH;
  options.cwd = tuner.dir;
  options.stop_ms = 600000;
  options.env = {{"STANDIN_PACE", "20"}};
  e2e::Session player(options);
  player.write("pose.csv\n");
  ASSERT_TRUE(player.wait_for_output("Executing your file...\n"));
  e2e::Result played = player.stop();
  EXPECT_EQ(played.exit_code, 0) << played.err;

  // The last commands it sent: the loop goes on stepping, sending none,
  // for as long as the signal takes to come after the output.
  const std::vector<e2e::TraceLine> sends = e2e::calls(played.trace, "servo_set_position");
  ASSERT_FALSE(sends.empty());
  std::vector<e2e::Command> approached = e2e::commands_after_step(played.trace, sends.back().step);
  ASSERT_EQ(approached.size(), kBodyOrder.size());
  for (std::size_t k = 0; k < approached.size(); ++k) {
    int i = kBodyOrder[k];
    EXPECT_EQ(approached[k].device, jointNum2Text(i));
    EXPECT_NEAR(approached[k].value, pulse2rad(saved.pulses[i], i), 0.017f) << jointNum2Text(i);
  }
  // It got there in steps from the zero posture, not in one jump.
  std::vector<float> body = sent(played, "body_joint_1");
  std::size_t first = 1;
  while (first < body.size() && std::isnan(body[first])) ++first;
  ASSERT_LT(first, body.size());
  EXPECT_EQ(body[first], static_cast<float>(0.005f));
}

}  // namespace

// Both ways to the target: an unnamed file, and the named temporary file a
// file system without unnamed files gets.
TEST(PoseTuner, SnapshotFileIsReplacedWholeOrNotAtAll) {
  namespace fs = std::filesystem;
  for (const SnapshotTemp how : {SnapshotTemp::kUnnamed, SnapshotTemp::kNamed}) {
    SCOPED_TRACE(how == SnapshotTemp::kUnnamed ? "unnamed" : "named");
    const std::string dir = e2e::temp_dir();
    const std::string fresh = dir + "/new.csv", old = dir + "/old.csv";
    const std::string row = "1,2,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0, R ,R ,R,R";
    e2e::write_file(old, "old bytes");
    fs::permissions(old, fs::perms(0604));
    // A new file gets what fopen would give it; a replaced one keeps its mode.
    const mode_t mask = umask(022);
    EXPECT_EQ(write_snapshot(fresh.c_str(), PulseCounts{}, how), SnapshotWrite::kOk);
    EXPECT_EQ(write_snapshot(old.c_str(), PulseCounts{}, how), SnapshotWrite::kOk);
    umask(mask);
    EXPECT_EQ(fs::status(fresh).permissions(), fs::perms(0644));
    EXPECT_EQ(fs::status(old).permissions(), fs::perms(0604));
    EXPECT_EQ(e2e::read_file(old), row);

    // A write that fails (here past a 16-byte file size limit, as on a full
    // disk) leaves the old bytes and no temporary file.
    e2e::write_file(old, "old bytes");
    SnapshotWrite failed;
    {
      e2e::FileSizeLimit full_disk(16);
      failed = write_snapshot(old.c_str(), PulseCounts{}, how);
    }
    EXPECT_EQ(failed, SnapshotWrite::kCannotWrite);
    {
      e2e::FileSizeLimit full_disk(16);
      failed = write_snapshot((dir + "/none.csv").c_str(), PulseCounts{}, how);
    }
    EXPECT_EQ(failed, SnapshotWrite::kCannotWrite);
    EXPECT_EQ(e2e::read_file(old), "old bytes");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);

    // Nothing nobody may write is replaced, also for root.
    fs::permissions(old, fs::perms(0444));
    EXPECT_EQ(write_snapshot(old.c_str(), PulseCounts{}, how), SnapshotWrite::kCannotOpen);
    EXPECT_EQ(write_snapshot(dir.c_str(), PulseCounts{}, how), SnapshotWrite::kCannotOpen);
    fs::permissions(dir, fs::perms(0555));
    EXPECT_EQ(write_snapshot((dir + "/other.csv").c_str(), PulseCounts{}, how),
              SnapshotWrite::kCannotOpen);
    fs::permissions(dir, fs::perms(0755));
    EXPECT_EQ(e2e::read_file(old), "old bytes");
    EXPECT_FALSE(fs::exists(dir + "/other.csv"));
  }
}

// Whatever ends the process, no name ever holds a file still being written:
// the unnamed file is written, synced and closed before it gets one.
TEST(PoseTuner, SnapshotIsNamedOnlyOnceComplete) {
  const std::string dir = e2e::temp_dir();
  e2e::write_file(dir + "/old.csv", "old bytes");
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, dir.c_str(), IN_CREATE | IN_MODIFY | IN_MOVED_TO), 0);
  for (const char *name : {"/new.csv", "/old.csv"})
    EXPECT_EQ(write_snapshot((dir + name).c_str(), PulseCounts{}), SnapshotWrite::kOk);
  alignas(inotify_event) char events[16384];
  const ssize_t got = read(watch, events, sizeof events);
  close(watch);
  ASSERT_GT(got, 0);
  std::vector<std::string> named, written_after_naming;
  for (ssize_t at = 0; at < got;) {
    const auto *event = reinterpret_cast<const inotify_event *>(events + at);
    const std::string name = event->len > 0 ? event->name : "";
    if (event->mask & (IN_CREATE | IN_MOVED_TO)) named.push_back(name);
    if ((event->mask & IN_MODIFY) && std::ranges::find(named, name) != named.end())
      written_after_naming.push_back(name);
    at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
  }
  EXPECT_TRUE(written_after_naming.empty()) << written_after_naming.front();
  EXPECT_EQ(std::ranges::count(named, "new.csv"), 1);
  EXPECT_EQ(std::ranges::count(named, "old.csv"), 1);
}

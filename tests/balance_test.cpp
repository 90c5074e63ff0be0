// motion_check --balance held against the physics world: each motion of
// one table is checked, then played by motion_player on the stand-in, and
// the check's verdict must be the physics world's. A motion that falls
// must be flagged at or before the row that is playing when it falls.
#include "balance.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "body_model.h"
#include "e2e_harness.h"
#include "motion_check_lib.h"

namespace {

constexpr char kFell[] = "standin: the robot fell at ";
constexpr int kPeriod = 10;  // ms per row

// A keyframe: the time it is reached, and the joints it sets (rad by
// JointIndex; joints it leaves out keep the last keyframe's values).
struct Key {
  double time;  // s
  std::vector<std::pair<int, double>> joints;
};

// Rows at 10 ms, each joint moving from keyframe to keyframe linearly, or
// `eased` on motion_compose's minimum-jerk profile (at rest at each).
void write_motion(const std::string &path, const std::vector<Key> &keys, bool eased = false) {
  std::vector<Posture> at(keys.size());
  Posture last{};
  for (std::size_t k = 0; k < keys.size(); ++k) {
    for (auto [joint, angle] : keys[k].joints) last[joint] = angle;
    at[k] = last;
  }
  std::FILE *out = std::fopen(path.c_str(), "w");
  ASSERT_NE(out, nullptr);
  const int rows = static_cast<int>(keys.back().time * 1000 / kPeriod) + 1;
  std::size_t k = 0;
  for (int r = 0; r < rows; ++r) {
    const double t = r * kPeriod / 1000.0;
    while (k + 1 < keys.size() && keys[k + 1].time <= t) ++k;
    const std::size_t next = std::min(k + 1, keys.size() - 1);
    const double span = keys[next].time - keys[k].time;
    const double u = span > 0 ? std::clamp((t - keys[k].time) / span, 0.0, 1.0) : 0.0;
    const double f = eased ? u * u * u * (10.0 - 15.0 * u + 6.0 * u * u) : u;
    PulseCounts pulses{};
    for (int i = 0; i < kJointCount; ++i) {
      pulses[i] = rad2pulse(static_cast<float>(at[k][i] + f * (at[next][i] - at[k][i])), i);
    }
    write_motion_row(out, kPeriod, 0, pulses);
    std::fputc('\n', out);
  }
  std::fclose(out);
}

// JointIndex of the joints the motions move.
constexpr int kLHipRoll = 3, kLHipPitch = 2, kLKnee = 4, kLAnklePitch = 5, kLAnkleRoll = 6;
constexpr int kRHipRoll = 9, kRHipPitch = 8, kRKnee = 10, kRAnklePitch = 11, kRAnkleRoll = 12;
constexpr int kLShoulder = 13, kRShoulder = 18, kLShoulderRoll = 14, kRShoulderRoll = 19;

// Both legs bent alike: a squat of `knee` rad with the soles flat.
std::vector<std::pair<int, double>> bend(double knee) {
  return {{kLHipPitch, -knee / 2}, {kLKnee, knee}, {kLAnklePitch, -knee / 2},
          {kRHipPitch, -knee / 2}, {kRKnee, knee}, {kRAnklePitch, -knee / 2}};
}
// The right foot lifted by bending its leg.
std::vector<std::pair<int, double>> lift_right(double knee) {
  return {{kRHipPitch, -knee / 2}, {kRKnee, knee}, {kRAnklePitch, -knee / 2}};
}
// The same on the left.
std::vector<std::pair<int, double>> lift_left(double knee) {
  return {{kLHipPitch, -knee / 2}, {kLKnee, knee}, {kLAnklePitch, -knee / 2}};
}
// The pelvis shifted sideways over the left sole: both hips and ankles roll.
std::vector<std::pair<int, double>> shift_left(double roll) {
  return {{kLHipRoll, roll}, {kRHipRoll, roll}, {kLAnkleRoll, -roll}, {kRAnkleRoll, -roll}};
}

// Both ankles pitched alike: the robot leans on them, forward when `pitch`
// is negative, back when positive.
std::vector<std::pair<int, double>> ankles(double pitch) {
  return {{kLAnklePitch, pitch}, {kRAnklePitch, pitch}};
}
// A slow lean to the edge: both ankles to `pitch` in 2 s, then held 3 s.
std::vector<Key> lean(double pitch) {
  return {{0.0, {}}, {2.0, ankles(pitch)}, {5.0, {}}};
}
// On one foot, leaning out over its outer edge: the weight shifted over
// the left sole (hips and ankles rolled 0.24 rad), the right foot lifted,
// then the left ankle rolled on to `roll` in 2 s and held 3 s; `mirror`
// does the same on the right foot, leaning right.
std::vector<Key> lean_out(double roll, bool mirror) {
  const double m = mirror ? -1.0 : 1.0;
  const int stance_roll = mirror ? kRAnkleRoll : kLAnkleRoll;
  const int hip = mirror ? kLHipPitch : kRHipPitch, knee = mirror ? kLKnee : kRKnee;
  const int ankle = mirror ? kLAnklePitch : kRAnklePitch;
  return {{0.0, {}},
          {1.5,
           {{kLHipRoll, -0.24 * m},
            {kRHipRoll, -0.24 * m},
            {kLAnkleRoll, 0.24 * m},
            {kRAnkleRoll, 0.24 * m}}},
          {1.8, {}},
          {2.6, {{hip, -0.4}, {knee, 0.8}, {ankle, -0.4}}},
          {3.1, {}},
          {5.1, {{stance_roll, roll * m}}},
          {8.1, {}}};
}

// What the check says of a motion, and what the physics world does.
enum class Verdict { kUp, kAtRisk, kFalls };
const char *name_of(Verdict v) {
  return v == Verdict::kUp ? "up" : v == Verdict::kAtRisk ? "at risk" : "falls";
}
Verdict verdict_of(const BalanceSummary &held) {
  return held.first_line != 0 ? Verdict::kFalls
         : held.at_risk > 0   ? Verdict::kAtRisk
                              : Verdict::kUp;
}

// Holds the check's verdict on `path` against the physics world's, which
// motion_player gives playing it with a second to fall in after its last
// row: "up" stands, "falls" falls, at or after the row flagged, and "at
// risk" may do either. Returns the physics world's verdict.
Verdict hold_against_physics(BalanceCheck &check, const std::string &path, const char *name,
                             Verdict *predicted) {
  std::vector<Finding> findings;
  const BalanceSummary held = check.run(
      path.c_str(), [&](const Finding &f) { findings.push_back(f); }, nullptr);
  EXPECT_TRUE(held.checked);
  *predicted = verdict_of(held);
  const FileSummary summary = check_motion_file(path.c_str(), CheckOptions{}, [](auto &) {});
  e2e::Options options;
  options.program = MOTION_PLAYER_PATH;
  options.input = std::filesystem::path(path).filename().string() + "\n";
  options.cwd = std::filesystem::path(path).parent_path();
  options.env = {{"STANDIN_WORLD", "physics"}};
  options.stop_ms = play_stop_ms("motion_player", summary) + 1000;
  const e2e::Result r = e2e::run(options);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  // The file plays from the first command the trace shows.
  long first_ms = -1;
  for (const e2e::TraceLine &line : r.trace) {
    if (line.call != "servo_set_position") continue;
    first_ms = line.time_ms;
    break;
  }
  EXPECT_EQ(first_ms, kFirstStepMs) << "the file was handed over late";
  const std::size_t at = r.err.find(kFell);
  const Verdict physical = at == std::string::npos ? Verdict::kUp : Verdict::kFalls;
  std::printf("%-46s predicted %-8s physics %-6s smallest margin %5.0f mm, swaying %5.0f mm\n",
              name, name_of(*predicted), name_of(physical), held.smallest_margin,
              held.smallest_swaying);
  if (*predicted == Verdict::kUp) {
    EXPECT_EQ(physical, Verdict::kUp) << r.err;
  }
  if (*predicted == Verdict::kFalls) {
    EXPECT_EQ(physical, Verdict::kFalls) << "smallest margin " << held.smallest_margin << " mm";
    EXPECT_TRUE(std::any_of(findings.begin(), findings.end(), [](const Finding &f) {
      return f.message.rfind("balance: the robot falls: ", 0) == 0;
    }));
  }
  if (physical == Verdict::kFalls && *predicted == Verdict::kFalls) {
    long fell_ms = 0;
    EXPECT_EQ(std::sscanf(r.err.c_str() + at, "standin: the robot fell at %ld ms", &fell_ms), 1);
    // The row playing then: the steps after the approach, rows_per_step each.
    const long step = (fell_ms - first_ms) / kPlayerStepMs - summary.approach_steps;
    const long line = 1 + std::max(step, 0L) * summary.rows_per_step;
    EXPECT_LE(held.first_line, line);
  }
  return physical;
}

struct Motion {
  const char *name;
  std::vector<Key> keys;
  Verdict predicted;   // what the check says
  bool falls;          // what the physics world does with it
  bool eased = false;  // keyframes reached at rest, as motion_compose writes them
};

std::vector<Motion> motions() {
  using enum Verdict;
  return {
      {"standing", {{0.0, {}}, {1.5, {}}}, kUp, false},
      {"gentle arm raise",
       {{0.0, {}}, {2.0, {{kLShoulder, 1.2}, {kRShoulder, 1.2}}}, {2.5, {}}},
       kUp,
       false},
      {"squat", {{0.0, {}}, {1.5, bend(1.4)}, {2.0, bend(1.4)}, {3.0, bend(0.0)}}, kUp, false},
      {"forward lean on the ankles", {{0.0, {}}, {1.0, ankles(-0.45)}, {3.0, {}}}, kFalls, true},
      {"foot lifted with no weight shift",
       {{0.0, {}}, {0.6, lift_right(1.6)}, {3.0, {}}},
       kFalls,
       true},
      {"left foot lifted with no weight shift",
       {{0.0, {}}, {0.6, lift_left(1.6)}, {3.0, {}}},
       kFalls,
       true},
      {"foot lifted after the weight has shifted",
       {{0.0, {}}, {1.5, shift_left(-0.16)}, {2.0, {}}, {2.8, lift_right(0.8)}, {4.0, {}}},
       kAtRisk,
       false},
      {"fast swing",
       {{0.0, {}},
        {0.3, {{kLShoulder, 1.0}, {kRShoulder, -1.0}}},
        {0.6, {{kLShoulder, -1.0}, {kRShoulder, 1.0}}},
        {0.9, {{kLShoulder, 1.0}, {kRShoulder, -1.0}}},
        {1.2, {{kLShoulder, 0.0}, {kRShoulder, 0.0}, {kLShoulderRoll, 0.0}, {kRShoulderRoll, 0.0}}},
        {2.0, {}}},
       kUp,
       false},
      // Slow leans to the edge, on both ankles and on one foot, written as
      // motion_compose writes them: each move starts and stops at rest.
      {"back lean to 0.17 rad", lean(0.17), kUp, false, true},
      // At the edge: whether the robot stands turns on a tenth of a mm.
      {"back lean to 0.18 rad", lean(0.18), kAtRisk, false, true},
      {"back lean to 0.19 rad", lean(0.19), kAtRisk, false, true},
      {"back lean to 0.20 rad", lean(0.20), kFalls, true, true},
      {"forward lean to 0.22 rad", lean(-0.22), kUp, false, true},
      {"forward lean to 0.30 rad", lean(-0.30), kFalls, true, true},
      {"left foot, lean out to 0.34 rad", lean_out(0.34, false), kUp, false, true},
      {"left foot, lean out to 0.40 rad", lean_out(0.40, false), kFalls, true, true},
      {"right foot, lean out to 0.34 rad", lean_out(0.34, true), kUp, false, true},
      {"right foot, lean out to 0.40 rad", lean_out(0.40, true), kFalls, true, true},
      // The same lean stopped at full speed: the stop throws the centre of
      // pressure past the heels for 50 ms, and the robot turns about them.
      // By the check's servos and floor it comes down again; the robot goes
      // farther past the stop, and falls.
      {"back lean to 0.18 rad, stopped at full speed", lean(0.18), kAtRisk, true},
  };
}

}  // namespace

TEST(Balance, CheckAgreesWithThePhysicsWorldOnATableOfMotions) {
  if (e2e::under_valgrind()) GTEST_SKIP() << "a physics run per motion is too slow under valgrind";
  std::string error;
  std::unique_ptr<robot::Model> body = robot::Model::load("", &error);
  ASSERT_NE(body, nullptr) << error;
  BalanceCheck check(*body, kDefaultMaxSpeed);
  const std::string dir = e2e::temp_dir();
  const std::vector<Motion> table = motions();
  for (std::size_t k = 0; k < table.size(); k += e2e::short_run() ? 4 : 1) {
    const Motion &m = table[k];
    SCOPED_TRACE(m.name);
    const std::string path = dir + "/motion.csv";
    write_motion(path, m.keys, m.eased);
    Verdict predicted;
    const Verdict physical = hold_against_physics(check, path, m.name, &predicted);
    EXPECT_EQ(predicted, m.predicted);
    // At risk, the robot may stand or fall; the rest are held to the table.
    if (m.predicted != Verdict::kAtRisk) {
      EXPECT_EQ(physical == Verdict::kFalls, m.falls);
    }
  }
}

// Walks as motion_walk writes them today, slow, fast and sideways: the
// check's verdict must agree with the physics world's, whatever the gait.
TEST(Balance, CheckAgreesWithThePhysicsWorldOnWalks) {
#ifndef MOTION_WALK_PATH
  GTEST_SKIP() << "motion_walk is not built here";
#else
  if (e2e::under_valgrind()) GTEST_SKIP() << "minutes of physics under valgrind";
  // clang-format off
  // Sideways, a foot lifts while the give the rows command moves with the
  // load: the centre of pressure asked for leaves the sole's outer edge by
  // 3 mm for 50 ms, and the robot, turning about the edge, comes down again.
  struct Walk {
    const char *name;
    std::vector<std::string> args;
  };
  const std::vector<Walk> walks = {
      {"walk, motion_walk's defaults", {}},
      {"fast walk, 60 steps of 5.5 cm at 0.33 s", {"--steps", "60", "--stride", "0.055", "--step-time", "0.33", "--lift", "0.03"}},
      {"slow walk, steps of 0.8 s", {"--step-time", "0.8"}},
      {"sideways walk, 3 cm at 0.6 s", {"--side", "0.03", "--step-time", "0.6"}},
      {"sideways walk, 3 cm to the right at 0.6 s", {"--side", "-0.03", "--step-time", "0.6"}},
      {"walk lifting the feet 3 mm", {"--lift", "0.003"}},
      {"walk with no lift", {"--lift", "0"}},
  };
  // clang-format on
  std::string error;
  std::unique_ptr<robot::Model> body = robot::Model::load("", &error);
  ASSERT_NE(body, nullptr) << error;
  BalanceCheck check(*body, kDefaultMaxSpeed);
  const std::string dir = e2e::temp_dir();
  for (std::size_t k = 0; k < walks.size(); k += e2e::short_run() ? walks.size() : 1) {
    SCOPED_TRACE(walks[k].name);
    const std::string path = dir + "/walk.csv";
    std::vector<std::string> args = {"-o", path};
    args.insert(args.end(), walks[k].args.begin(), walks[k].args.end());
    const e2e::CommandOutput made = e2e::run_command(MOTION_WALK_PATH, args);
    ASSERT_LE(made.status, 1) << made.text;
    Verdict predicted;
    hold_against_physics(check, path, walks[k].name, &predicted);
  }
#endif
}

TEST(Balance, BundledMotionsStandByTheCheck) {
  // Minutes of motion checked in one process: the command-line tests run
  // the same code under valgrind on short files.
  if (e2e::under_valgrind()) GTEST_SKIP() << "every bundled motion is too slow under valgrind";
  std::string error;
  std::unique_ptr<robot::Model> body = robot::Model::load("", &error);
  ASSERT_NE(body, nullptr) << error;
  BalanceCheck check(*body, kDefaultMaxSpeed);
  int files = 0;
  for (const auto &entry : std::filesystem::directory_iterator(MOTIONS_DIR)) {
    if (entry.path().extension() != ".csv") continue;
    const std::string name = entry.path().filename().string();
    ++files;
    const std::string path = entry.path().string();
    std::vector<std::string> found;
    const BalanceSummary held = check.run(
        path.c_str(), [&](const Finding &f) { found.push_back(f.message); }, nullptr);
    EXPECT_TRUE(held.checked) << path;
    EXPECT_EQ(held.first_line, 0) << path << ": " << (found.empty() ? "" : found[0]);
    // The walks motion_walk wrote come near their soles' edges as a foot
    // lifts, and stand in the physics world (motion_walk_test plays them):
    // at risk at most; the rest stay inside.
    if (name.rfind("walk_", 0) == 0 || name.rfind("turn_", 0) == 0) continue;
    EXPECT_EQ(held.warnings, 0) << path << ": " << (found.empty() ? "" : found[0]);
    EXPECT_GE(held.smallest_margin, kEdgeBandMm) << path;
  }
  EXPECT_GE(files, 5);
}

// A motion and its mirror image get mirrored verdicts: the same line and
// margin, the other way. Standing on both soles, the robot keeps still on
// the leg that keeps still, whichever foot the check stood it on first.
TEST(Balance, MirroredMotionsGetMirroredVerdicts) {
  std::string error;
  std::unique_ptr<robot::Model> body = robot::Model::load("", &error);
  ASSERT_NE(body, nullptr) << error;
  BalanceCheck check(*body, kDefaultMaxSpeed);
  const std::string dir = e2e::temp_dir();
  struct Pair {
    const char *name;
    std::vector<Key> right, left;
    const char *right_way, *left_way;
  };
  const Pair pairs[] = {
      {"a foot lifted with no weight shift",
       {{0.0, {}}, {0.6, lift_right(1.6)}, {3.0, {}}},
       {{0.0, {}}, {0.6, lift_left(1.6)}, {3.0, {}}},
       "to the right",
       "to the left"},
      {"on one foot, leaning out", lean_out(0.40, true), lean_out(0.40, false), "to the right",
       "to the left"},
  };
  // The short run (sanitizers, valgrind) takes the first pair only.
  for (std::size_t k = 0; k < std::size(pairs); k += e2e::short_run() ? std::size(pairs) : 1) {
    const Pair &pair = pairs[k];
    SCOPED_TRACE(pair.name);
    write_motion(dir + "/right.csv", pair.right, true);
    write_motion(dir + "/left.csv", pair.left, true);
    const BalanceSummary right = check.run((dir + "/right.csv").c_str(), [](auto &) {}, nullptr);
    const BalanceSummary left = check.run((dir + "/left.csv").c_str(), [](auto &) {}, nullptr);
    ASSERT_NE(right.first_line, 0);
    EXPECT_EQ(left.first_line, right.first_line);
    EXPECT_NEAR(left.first_by, right.first_by, 1.0);
    EXPECT_EQ(right.first_toward, pair.right_way);
    EXPECT_EQ(left.first_toward, pair.left_way);
    EXPECT_NEAR(left.smallest_margin, right.smallest_margin, 1.0);
  }
}

// The command line: a fall's and a risk's warning and summary line, the
// exit status, the CSV, and the usage errors of the options.
TEST(Balance, CommandLineWarnsSummarisesAndWritesTheSamples) {
  const std::string dir = e2e::temp_dir();
  const std::string path = dir + "/lean.csv";
  write_motion(path, {{0.0, {}}, {1.0, ankles(-0.45)}});
  const std::string csv = dir + "/lean_balance.csv";
  const e2e::CommandOutput out = e2e::run_command(MOTION_CHECK_PATH, {"--balance-csv", csv, path});
  EXPECT_EQ(out.status, 1) << out.text;
  // FILE:LINE: with no column: a stretch of rows.
  EXPECT_TRUE(std::regex_search(
      out.text, std::regex(":[0-9]+: warning: balance: the robot falls: the centre of pressure "
                           "leaves the support by [0-9]+ mm toward the toes, lines [0-9]+ to "
                           "[0-9]+ \\([0-9.]+ s to [0-9.]+ s\\)\n")))
      << out.text;
  EXPECT_TRUE(std::regex_search(
      out.text, std::regex(path + ": balance: the robot falls from line [0-9]+ \\([0-9.]+ s\\): "
                                  "the centre of pressure leaves the support by [0-9]+ mm toward "
                                  "the toes\n")))
      << out.text;
  EXPECT_NE(out.text.find("0 errors, 1 warning\n"), std::string::npos) << out.text;
  std::ifstream in(csv);
  std::string header, first;
  std::getline(in, header);
  std::getline(in, first);
  EXPECT_EQ(header,
            "line,time_s,com_x,com_y,cop_x,cop_y,support_x,support_y,com_margin_mm,cop_margin_mm");
  EXPECT_TRUE(std::regex_match(first, std::regex("[0-9]+,[0-9.]+(,-?[0-9.]+){8}"))) << first;

  // A lean that stops just short of the edge: at risk, in the band.
  const std::string near = dir + "/near.csv";
  write_motion(near, lean(0.19), true);
  const e2e::CommandOutput risk = e2e::run_command(MOTION_CHECK_PATH, {"--balance", near});
  EXPECT_EQ(risk.status, 1) << risk.text;
  EXPECT_TRUE(std::regex_search(
      risk.text,
      std::regex(":[0-9]+: warning: balance: at risk: the centre of pressure comes within " +
                 text_of("%.0f", kEdgeBandMm) +
                 " mm of the support's edge toward the heels, [0-9]+ mm inside it at least, "
                 "lines [0-9]+ to [0-9]+ ")))
      << risk.text;
  EXPECT_NE(risk.text.find(near + ": balance: at risk: the centre of pressure comes within"),
            std::string::npos)
      << risk.text;
  EXPECT_NE(risk.text.find("; 1 stretch at risk\n"), std::string::npos) << risk.text;

  struct Usage {
    std::vector<std::string> args;
    const char *says;
  };
  const Usage usages[] = {
      {{"--balance-csv", csv, path, path}, "--balance-csv takes one file to check"},
      // The motion itself, even by another name, is never replaced.
      {{"--balance-csv", path, path}, "--balance-csv names the file to check"},
      {{"--balance-csv", dir + "/./lean.csv", path}, "--balance-csv names the file to check"},
      {{"--balance-csv", "-", path}, "--balance-csv takes a file, not \"-\""},
      // A mistyped name leaves the samples written above as they were.
      {{"--balance-csv", csv, path + ".absent"}, " is left as it was: "},
      {{"--balance-csv", dir + "/no/such/dir.csv", path}, "cannot create or replace"},
      {{"--model", "/nonexistent.xml", path}, "--model goes with --balance"},
      {{"--balance", "--model", "/nonexistent.xml", path},
       "cannot load the robot model \"/nonexistent.xml\": No such file or directory"},
  };
  for (const Usage &u : usages) {
    const e2e::CommandOutput bad = e2e::run_command(MOTION_CHECK_PATH, u.args);
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.text.find(u.says), std::string::npos) << bad.text;
  }
  EXPECT_EQ(e2e::read_file(csv).rfind(header + "\n" + first + "\n", 0), 0u)
      << "the samples were replaced";
  std::ifstream motion(path);
  std::string row;
  std::getline(motion, row);
  EXPECT_EQ(row.rfind("line,", 0), std::string::npos) << "the motion was replaced: " << row;
}

// --balance-csv streams: half an hour of motion at 10 ms a row (11 MB)
// checks in an address space of 60 MB, where keeping every sample took 50
// MB of memory and aborted; and memory that runs out, at any limit, ends
// the check with one line and status 2, never an abort.
TEST(Balance, SamplesStreamInABoundedAddressSpace) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers reserve terabytes of address space";
#endif
  if (e2e::under_valgrind()) GTEST_SKIP() << "valgrind's own address space";
  const std::string dir = e2e::temp_dir();
  const std::string big = dir + "/big.csv";
  {
    std::FILE *out = std::fopen(big.c_str(), "w");
    ASSERT_NE(out, nullptr);
    constexpr int kRows = 180000;
    for (int r = 0; r < kRows; ++r) {
      PulseCounts pulses{};
      pulses[kRShoulder] = rad2pulse(static_cast<float>(0.2 * std::sin(r / 50.0)), kRShoulder);
      write_motion_row(out, kPeriod, 0, pulses);
      std::fputc('\n', out);
    }
    ASSERT_EQ(std::fclose(out), 0);
  }
  const std::string csv = dir + "/big_balance.csv";
  // The limit is set in the child, by the shell that runs the check.
  auto limited = [&](long kb) {
    return e2e::run_command("sh",
                            {"-c", "ulimit -v " + std::to_string(kb) + " && exec \"$0\" \"$@\"",
                             MOTION_CHECK_PATH, "--balance-csv", csv, big});
  };
  const e2e::CommandOutput whole = limited(60000);
  EXPECT_EQ(whole.status, 0) << whole.text;
  EXPECT_NE(whole.text.find("big.csv: balance: inside the support throughout"), std::string::npos)
      << whole.text;
  // A sample every 10 ms, and the header.
  EXPECT_GE(e2e::count(e2e::read_file(csv), "\n"), 180000) << "samples missing";
  for (long kb : {12000L, 20000L, 26000L, 28000L, 30000L, 40000L}) {
    SCOPED_TRACE(kb);
    const e2e::CommandOutput out = limited(kb);
    EXPECT_LE(out.status, 2) << out.text;
    EXPECT_EQ(out.text.find("terminate called"), std::string::npos) << out.text;
    if (out.status == 2) {
      EXPECT_NE(out.text.find("motion_check: "), std::string::npos) << out.text;
    }
  }
}

// motion_check --balance held against the physics world: each motion of
// one table is checked, then played by motion_player on the stand-in, and
// the check's verdict must be the physics world's. A motion that falls
// must be flagged at or before the row that is playing when it falls.
#include "balance.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
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

// Rows at 10 ms, each joint moving linearly from keyframe to keyframe.
void write_motion(const std::string &path, const std::vector<Key> &keys) {
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
    const double f = span > 0 ? std::clamp((t - keys[k].time) / span, 0.0, 1.0) : 0.0;
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
// The pelvis shifted sideways over the left sole: both hips and ankles roll.
std::vector<std::pair<int, double>> shift_left(double roll) {
  return {{kLHipRoll, roll}, {kRHipRoll, roll}, {kLAnkleRoll, -roll}, {kRAnkleRoll, -roll}};
}

struct Motion {
  const char *name;
  std::vector<Key> keys;
  bool falls;  // what the physics world does with it
};

std::vector<Motion> motions() {
  return {
      {"standing", {{0.0, {}}, {1.5, {}}}, false},
      {"gentle arm raise",
       {{0.0, {}}, {2.0, {{kLShoulder, 1.2}, {kRShoulder, 1.2}}}, {2.5, {}}},
       false},
      {"squat", {{0.0, {}}, {1.5, bend(1.4)}, {2.0, bend(1.4)}, {3.0, bend(0.0)}}, false},
      {"forward lean on the ankles",
       {{0.0, {}}, {1.0, {{kLAnklePitch, -0.45}, {kRAnklePitch, -0.45}}}, {3.0, {}}},
       true},
      {"foot lifted with no weight shift", {{0.0, {}}, {0.6, lift_right(1.6)}, {3.0, {}}}, true},
      {"foot lifted after the weight has shifted",
       {{0.0, {}}, {1.5, shift_left(-0.16)}, {2.0, {}}, {2.8, lift_right(0.8)}, {4.0, {}}},
       false},
      {"fast swing",
       {{0.0, {}},
        {0.3, {{kLShoulder, 1.0}, {kRShoulder, -1.0}}},
        {0.6, {{kLShoulder, -1.0}, {kRShoulder, 1.0}}},
        {0.9, {{kLShoulder, 1.0}, {kRShoulder, -1.0}}},
        {1.2, {{kLShoulder, 0.0}, {kRShoulder, 0.0}, {kLShoulderRoll, 0.0}, {kRShoulderRoll, 0.0}}},
        {2.0, {}}},
       false},
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
  for (const Motion &m : motions()) {
    SCOPED_TRACE(m.name);
    const std::string path = dir + "/motion.csv";
    write_motion(path, m.keys);
    std::vector<Finding> findings;
    const BalanceSummary held = check.run(
        path.c_str(), [&](const Finding &f) { findings.push_back(f); }, nullptr);
    ASSERT_TRUE(held.checked);
    const FileSummary summary = check_motion_file(path.c_str(), CheckOptions{}, [](auto &) {});
    // What the physics world does, played with a second to fall in after
    // the last row. The loader hands the file over from its own thread,
    // whenever the machine runs it: the run is timed from the first
    // command the trace shows, not from the start.
    e2e::Options options;
    options.program = MOTION_PLAYER_PATH;
    options.cwd = dir;
    options.env = {{"STANDIN_WORLD", "physics"}};
    e2e::Session player(options);
    player.write("motion.csv\n");
    ASSERT_TRUE(player.wait_for_output("Executing your file...\n"));
    std::vector<e2e::TraceLine> sent;
    ASSERT_TRUE(player.wait_until([&] {
      sent = e2e::calls(player.trace_so_far(), "servo_set_position");
      return !sent.empty();
    }));
    const e2e::TraceLine first = sent.front();
    ASSERT_TRUE(player.wait_for_step(first.step + summary.approach_steps + summary.play_steps +
                                     1000 / kPlayerStepMs));
    const e2e::Result r = player.stop();
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const bool fell = r.err.find(kFell) != std::string::npos;
    std::printf("%-42s predicted %-5s physics %-5s smallest margin %.0f mm\n", m.name,
                held.first_line != 0 ? "falls" : "up", fell ? "falls" : "up", held.smallest_margin);
    EXPECT_EQ(fell, m.falls) << r.err;
    EXPECT_EQ(held.first_line != 0, fell) << "smallest margin " << held.smallest_margin << " mm";
    if (fell && held.first_line != 0) {
      long fell_ms = 0;
      ASSERT_EQ(std::sscanf(r.err.c_str() + r.err.find(kFell), "standin: the robot fell at %ld ms",
                            &fell_ms),
                1);
      // The row playing then: the steps after the approach, rows_per_step each.
      const long step = (fell_ms - first.time_ms) / kPlayerStepMs - summary.approach_steps;
      const long line = 1 + std::max(step, 0L) * summary.rows_per_step;
      EXPECT_LE(held.first_line, line);
      ASSERT_FALSE(findings.empty());
      EXPECT_NE(findings[0].message.find("balance: the centre of pressure leaves the support by"),
                std::string::npos);
    }
  }
}

TEST(Balance, BundledMotionsStayInsideTheSupport) {
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
    // The walks command each servo's give under the planned load on top of
    // the posture, which this check, without the servos' give, reads as a
    // posture of its own: motion_walk_test holds them against the physics
    // world instead.
    const std::string name = entry.path().filename().string();
    if (name.rfind("walk_", 0) == 0 || name.rfind("turn_", 0) == 0) continue;
    ++files;
    const std::string path = entry.path().string();
    std::vector<std::string> found;
    const BalanceSummary held = check.run(
        path.c_str(), [&](const Finding &f) { found.push_back(f.message); }, nullptr);
    EXPECT_TRUE(held.checked) << path;
    EXPECT_EQ(held.warnings, 0) << path << ": " << (found.empty() ? "" : found[0]);
    EXPECT_GT(held.smallest_margin, 0.0) << path;
  }
  EXPECT_GE(files, 5);
}

// The command line: a leaning motion's warning and summary line, the exit
// status, the CSV, and the usage errors of the new options.
TEST(Balance, CommandLineWarnsSummarisesAndWritesTheSamples) {
  const std::string dir = e2e::temp_dir();
  const std::string path = dir + "/lean.csv";
  write_motion(path, {{0.0, {}}, {1.0, {{kLAnklePitch, -0.45}, {kRAnklePitch, -0.45}}}});
  const std::string csv = dir + "/lean_balance.csv";
  const e2e::CommandOutput out = e2e::run_command(MOTION_CHECK_PATH, {"--balance-csv", csv, path});
  EXPECT_EQ(out.status, 1) << out.text;
  // FILE:LINE: with no column: a stretch of rows.
  EXPECT_TRUE(std::regex_search(
      out.text, std::regex(":[0-9]+: warning: balance: the centre of pressure leaves the support "
                           "by [0-9]+ mm toward the toes, lines [0-9]+ to [0-9]+ \\([0-9.]+ s to "
                           "[0-9.]+ s\\)\n")))
      << out.text;
  EXPECT_NE(out.text.find("toward the toes, lines "), std::string::npos) << out.text;
  EXPECT_NE(
      out.text.find(path + ": balance: the centre of pressure first leaves the support at line "),
      std::string::npos)
      << out.text;
  EXPECT_NE(out.text.find("0 errors, 1 warning\n"), std::string::npos) << out.text;
  std::ifstream in(csv);
  std::string header, first;
  std::getline(in, header);
  std::getline(in, first);
  EXPECT_EQ(header,
            "line,time_s,com_x,com_y,cop_x,cop_y,support_x,support_y,com_margin_mm,cop_margin_mm");
  EXPECT_TRUE(std::regex_match(first, std::regex("[0-9]+,[0-9.]+(,-?[0-9.]+){8}"))) << first;

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

TEST(Balance, DefaultWalkStaysInsideTheSupport) {
#ifndef MOTION_WALK_PATH
  GTEST_SKIP() << "motion_walk is not built here";
#else
  const std::string walk = e2e::temp_dir() + "/walk.csv";
  const e2e::CommandOutput made = e2e::run_command(MOTION_WALK_PATH, {"-o", walk});
  ASSERT_EQ(made.status, 0) << made.text;
  std::string error;
  std::unique_ptr<robot::Model> body = robot::Model::load("", &error);
  ASSERT_NE(body, nullptr) << error;
  BalanceCheck check(*body, kDefaultMaxSpeed);
  std::vector<std::string> found;
  const BalanceSummary held = check.run(
      walk.c_str(), [&](const Finding &f) { found.push_back(f.message); }, nullptr);
  EXPECT_EQ(held.warnings, 0) << (found.empty() ? "" : found[0]);
  EXPECT_GT(held.smallest_margin, 0.0);
#endif
}

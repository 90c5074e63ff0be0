// motion_compose --balance held against the physics world: motions that
// fall are balanced and must stand, motions that stand must barely change,
// and a motion no move of the hips saves must be said so. Every balanced
// file keeps the arms', the waist's and the head's columns byte for byte,
// and its soles where the original has them, by the model's kinematics.
#include "balancer.h"

#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "balance.h"
#include "body_model.h"
#include "e2e_harness.h"
#include "motion_check_lib.h"
#include "robot.h"

namespace {

// The fields of each line of a motion file, as text.
std::vector<std::vector<std::string>> fields_of(const std::string &path) {
  std::vector<std::vector<std::string>> rows;
  const std::string text = e2e::read_file(path);
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::vector<std::string> row;
    std::size_t from = at;
    while (from <= end) {
      std::size_t comma = std::min(text.find(',', from), end);
      row.push_back(text.substr(from, comma - from));
      from = comma + 1;
    }
    rows.push_back(row);
    at = end + 1;
  }
  return rows;
}

bool is_leg(int joint) {
  for (const auto &leg : robot::kLegJoints)
    if (std::find(leg.begin(), leg.end(), joint) != leg.end()) return true;
  return false;
}

Posture posture_of(const std::vector<std::string> &row) {
  Posture q{};
  for (int c = 0; c < kNumberedJoints; ++c)
    q[kColumnOrder[c]] = pulse2rad(std::stoi(row[2 + c]), kColumnOrder[c]);
  return q;
}

// Holds every row of `balanced` to `original`: the same period and rows,
// the columns that are not the legs' byte for byte, each sole turned as in
// the original against the pelvis (which keeps its turn), and the right
// sole where the original has it from the left, to within 1 mm: a sole on
// the floor stays put, a lifted one is lifted as before. Returns the
// hips' largest move against the soles, mm.
double hold_kept(robot::Data &body, const std::string &original, const std::string &balanced) {
  const auto before = fields_of(original), after = fields_of(balanced);
  EXPECT_EQ(before.size(), after.size());
  double most = 0.0;
  for (std::size_t r = 0; r < std::min(before.size(), after.size()); ++r) {
    SCOPED_TRACE("row " + std::to_string(r + 1));
    const auto &a = before[r], &b = after[r];
    EXPECT_EQ(a.size(), b.size());
    EXPECT_GE(a.size(), std::size_t{2 + kNumberedJoints});
    if (a.size() != b.size() || a.size() < 2 + kNumberedJoints) return INFINITY;
    // Every field but the legs' twelve, as text.
    for (std::size_t f = 0; f < a.size(); ++f) {
      const bool leg = f >= 2 && f < 2 + kNumberedJoints && is_leg(kColumnOrder[f - 2]);
      if (!leg) {
        EXPECT_EQ(a[f], b[f]) << "field " << f + 1;
      }
    }
    robot::SoleFrame sa[2], sb[2];
    body.set_posture(posture_of(a), robot::PelvisPose{});
    for (int s = 0; s < 2; ++s) sa[s] = body.sole_frame(static_cast<robot::Side>(s));
    body.set_posture(posture_of(b), robot::PelvisPose{});
    for (int s = 0; s < 2; ++s) sb[s] = body.sole_frame(static_cast<robot::Side>(s));
    for (int s = 0; s < 2; ++s) {
      const Eigen::AngleAxisd turn(sa[s].rotation.transpose() * sb[s].rotation);
      EXPECT_LT(std::fabs(turn.angle()), 0.01) << "sole " << s;
    }
    const Eigen::Vector3d apart_a = sa[1].position - sa[0].position;
    const Eigen::Vector3d apart_b = sb[1].position - sb[0].position;
    EXPECT_LT((apart_a - apart_b).norm(), 0.001);
    // The hips' move over the floor: the stance sole's move against the
    // pelvis, in the sole's frame (the floor's, the sole lying on it).
    const int stance = (sa[0].rotation.transpose() * apart_a).z() < -0.001 ? 1 : 0;
    const Eigen::Vector3d moved =
        sa[stance].rotation.transpose() * (sb[stance].position - sa[stance].position);
    most = std::max(most, moved.head<2>().norm() * 1000.0);
  }
  return most;
}

// Plays `path` with motion_player in the physics world, a second to fall
// in after its last row; true when the robot stays up.
bool stands(const std::string &path) {
  const FileSummary summary = check_motion_file(path.c_str(), CheckOptions{}, [](auto &) {});
  e2e::Options options;
  options.program = MOTION_PLAYER_PATH;
  options.input = std::filesystem::path(path).filename().string() + "\n";
  options.cwd = std::filesystem::path(path).parent_path();
  options.env = {{"STANDIN_WORLD", "physics"}, {"STANDIN_PACE", "fast"}};
  options.stop_ms = play_stop_ms("motion_player", summary) + 1000;
  const e2e::Result r = e2e::run(options);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  return r.err.find("standin: the robot fell at ") == std::string::npos;
}

// What motion_check --balance says of a file: its warnings.
long check_warnings(BalanceCheck &check, const std::string &path, std::string *first) {
  const BalanceSummary held = check.run(
      path.c_str(),
      [&](const Finding &f) {
        if (first->empty()) *first = f.message;
      },
      nullptr);
  EXPECT_TRUE(held.checked);
  return held.warnings;
}

struct Case {
  const char *name;
  const char *script;  // keyframes, the first line the starting posture
  std::vector<std::string> options;
  bool mendable;  // false: no move of the hips saves it
};

// clang-format off
const Case kCases[] = {
    // name                                      script                                           options        mendable
    {"forward lean on the ankles",              "zero\nlleg_joint_5=-0.45 rleg_joint_5=-0.45 1000\nhold 2000\n", {}, true},
    {"right foot lifted with no weight shift",  "zero\nrleg_joint_3=-0.8 rleg_joint_4=1.6 rleg_joint_5=-0.8 600\nhold 2400\n", {}, true},
    {"the same mirrored: the left foot lifted", "zero\nrleg_joint_3=-0.8 rleg_joint_4=1.6 rleg_joint_5=-0.8 600\nhold 2400\n", {"--mirror"}, true},
    {"fast swing of both arms, leaning back",   "zero\nlleg_joint_5=0.14 rleg_joint_5=0.14 800\nlarm_joint_1=-1.2 rarm_joint_1=-1.2 500\n"
                                                "larm_joint_1=2.0 rarm_joint_1=2.0 1200\nlarm_joint_1=-1.2 rarm_joint_1=-1.2 1200\nzero 1000\nhold 1000\n", {}, true},
    {"lean far past the toes",                  "zero\nlleg_joint_5=-0.9 rleg_joint_5=-0.9 1000\nhold 2000\n", {}, false},
};
// clang-format on

}  // namespace

// Each motion of the table falls as written; balanced, a mendable one
// stands, the check gives it no warning, and the composer reaches the
// margin or tells the few mm it stays short; one beyond
// saving is told at its lines, written all the same, exit 1, and still
// falls.
TEST(Balancer, FallingMotionsBalancedStandOrAreToldBeyondSaving) {
  if (e2e::under_valgrind()) GTEST_SKIP() << "physics runs are too slow under valgrind";
  std::string error;
  const std::unique_ptr<robot::Model> model = robot::Model::load("", &error);
  ASSERT_NE(model, nullptr) << error;
  robot::Data body(*model);
  BalanceCheck check(*model, kDefaultMaxSpeed);
  const std::string dir = e2e::temp_dir();
  const std::size_t every = e2e::short_run() ? 3 : 1;
  for (std::size_t k = 0; k < std::size(kCases); k += every) {
    const Case &c = kCases[k];
    SCOPED_TRACE(c.name);
    const std::string script = dir + "/moves.keys", original = dir + "/original.csv",
                      balanced = dir + "/balanced.csv";
    e2e::write_file(script, std::string("# ") + c.name + "\n" + c.script);
    std::vector<std::string> args = {script, "-o", original};
    args.insert(args.end(), c.options.begin(), c.options.end());
    ASSERT_EQ(e2e::run_command(MOTION_COMPOSE_PATH, args).status, 0);
    args[2] = balanced;
    args.push_back("--balance");
    const e2e::CommandOutput made = e2e::run_command(MOTION_COMPOSE_PATH, args);
    std::printf("%s\n%s", c.name, made.text.c_str());
    const double most = hold_kept(body, original, balanced);
    std::string said;
    EXPECT_GT(check_warnings(check, original, &said), 0);
    EXPECT_FALSE(stands(original));
    // The summary: the hips' largest move, the margins before and after.
    std::smatch m;
    ASSERT_TRUE(std::regex_search(made.text, m,
                                  std::regex("moves.keys: balance: the hips moved at most ([0-9]+) "
                                             "mm.*; smallest margin before (-?[0-9]+) mm at row "
                                             "[0-9]+, after (-?[0-9]+) mm at row [0-9]+")))
        << made.text;
    EXPECT_NEAR(std::stod(m[1]), most, 2.0);
    EXPECT_LT(std::stod(m[2]), 0.0);
    if (c.mendable) {
      // The margin reached, or the few mm it stays short told (exit 1).
      const double after = std::stod(m[3]);
      EXPECT_GE(after, kDefaultBalanceMarginMm - 2.0);
      EXPECT_EQ(made.status, after >= kDefaultBalanceMarginMm ? 0 : 1) << made.text;
      said.clear();
      EXPECT_EQ(check_warnings(check, balanced, &said), 0) << said;
      // Within the joints' limits and under the servo speed: motion_check's rules.
      const FileSummary rules =
          check_motion_file(balanced.c_str(), CheckOptions{}, [](const Finding &) {});
      EXPECT_EQ(rules.errors + rules.warnings, 0);
      EXPECT_TRUE(stands(balanced));
    } else {
      EXPECT_EQ(made.status, 1) << made.text;
      EXPECT_TRUE(std::regex_search(
          made.text, std::regex("moves.keys:3: warning: balance: lines 3 to 4 \\(rows [0-9]+ to "
                                "[0-9]+ of the result, [0-9.]+ s to [0-9.]+ s\\): the hips can "
                                "move only [0-9]+ mm of the [0-9]+ mm needed: .*; the centre of "
                                "pressure stays [0-9]+ mm outside the support")))
          << made.text;
      EXPECT_FALSE(stands(balanced));
    }
  }
}

// Every bundled motion stands already, motion_walk's walks too: balanced,
// the hips move not at all where the check finds the margin, a few mm
// where it is short of it, and what changed still stands.
TEST(Balancer, BundledMotionsBarelyChangeAndStillStand) {
  if (e2e::under_valgrind()) GTEST_SKIP() << "physics runs are too slow under valgrind";
  std::string error;
  const std::unique_ptr<robot::Model> model = robot::Model::load("", &error);
  ASSERT_NE(model, nullptr) << error;
  robot::Data body(*model);
  const std::string dir = e2e::temp_dir();
  int files = 0;
  for (const auto &entry : std::filesystem::directory_iterator(MOTIONS_DIR)) {
    const std::string name = entry.path().filename().string();
    if (entry.path().extension() != ".csv") continue;
    SCOPED_TRACE(name);
    ++files;
    // The composer writes a motion file's rows its own way: the rows
    // balanced are held to the rows it writes unbalanced.
    const std::string original = dir + "/original.csv", balanced = dir + "/" + name;
    ASSERT_EQ(e2e::run_command(MOTION_COMPOSE_PATH, {entry.path().string(), "-o", original}).status,
              0);
    const e2e::CommandOutput made =
        e2e::run_command(MOTION_COMPOSE_PATH, {entry.path().string(), "--balance", "-o", balanced});
    ASSERT_LE(made.status, 1) << made.text;
    // Inside by the margin already, the rows stay as they are; short of it
    // (step_10ms sways on one foot 9 mm inside), the weight goes a little
    // deeper over the stance sole.
    std::smatch m;
    ASSERT_TRUE(std::regex_search(made.text, m, std::regex("smallest margin before (-?[0-9]+) mm")))
        << made.text;
    const double most = hold_kept(body, original, balanced);
    EXPECT_LE(most, std::stod(m[1]) >= kDefaultBalanceMarginMm ? 0.5 : 12.0) << made.text;
    if (e2e::read_file(balanced) != e2e::read_file(original)) {
      EXPECT_TRUE(stands(balanced)) << made.text;
    }
  }
  EXPECT_GE(files, 5);
}

// The options: --margin goes with --balance and takes 0 to 35 mm; the
// balance comes after --speed and --reverse, and its findings point at
// the script's lines.
TEST(Balancer, MarginIsRefusedOutOfRangeOrAloneAndFindingsNameTheScriptsLines) {
  const std::string dir = e2e::temp_dir();
  const std::string script = dir + "/lean.keys";
  e2e::write_file(script, "# far past the toes\nzero\nlleg_joint_5=-0.9 rleg_joint_5=-0.9 1000\n");
  struct Refused {
    std::vector<std::string> args;
    const char *says;
  };
  const Refused refused[] = {
      {{"--margin", "10"}, "motion_compose: --margin goes with --balance"},
      {{"--balance", "--margin", "36"}, "motion_compose: --margin takes a number of mm, 0 to 35"},
      {{"--balance", "--margin", "-1"}, "motion_compose: --margin takes a number of mm, 0 to 35"},
      {{"--balance", "--margin"}, "motion_compose: --margin takes a number of mm, 0 to 35"},
  };
  for (const Refused &r : refused) {
    std::vector<std::string> args = {script, "-o", dir + "/out.csv"};
    args.insert(args.end(), r.args.begin(), r.args.end());
    const e2e::CommandOutput out = e2e::run_command(MOTION_COMPOSE_PATH, args);
    EXPECT_EQ(out.status, 2) << out.text;
    EXPECT_EQ(out.text.rfind(r.says, 0), 0u) << out.text;
    EXPECT_FALSE(std::filesystem::exists(dir + "/out.csv"));
  }
  // Reversed, the lean is the script's line 3 at the start of the result.
  const e2e::CommandOutput out =
      e2e::run_command(MOTION_COMPOSE_PATH,
                       {script, "--reverse", "--speed", "2", "--balance", "-o", dir + "/r.csv"});
  EXPECT_EQ(out.status, 1) << out.text;
  EXPECT_NE(out.text.find("lean.keys:2: warning: balance: lines 2 to 3 (rows 1 to "),
            std::string::npos)
      << out.text;
  EXPECT_TRUE(std::filesystem::exists(dir + "/r.csv"));
  // The weight over the right foot, then that foot lifted 0.2 s later: the
  // hips cannot cross in time at the servos' speed, and the finding says so.
  const std::string wrong = dir + "/wrong.keys";
  e2e::write_file(
      wrong,
      "# weight right, right foot lifted\nzero\n"
      "lleg_joint_2=0.16 rleg_joint_2=0.16 lleg_joint_6=-0.16 rleg_joint_6=-0.16 1000\n"
      "hold 200\nrleg_joint_3=-0.5 rleg_joint_4=1.0 rleg_joint_5=-0.5 300\nhold 1500\n");
  const e2e::CommandOutput late =
      e2e::run_command(MOTION_COMPOSE_PATH, {wrong, "--balance", "-o", dir + "/w.csv"});
  EXPECT_EQ(late.status, 1) << late.text;
  EXPECT_TRUE(std::regex_search(
      late.text, std::regex("wrong.keys:5: warning: balance: line 5 \\(rows [0-9]+ to [0-9]+ of "
                            "the result, [0-9.]+ s to [0-9.]+ s\\): the weight cannot reach the "
                            "left sole in 0\\.[1-4][0-9] s: .* would need [0-9.]+ rad/s; the "
                            "centre of pressure comes within [0-9]+ mm of the support's edge")))
      << late.text;
}

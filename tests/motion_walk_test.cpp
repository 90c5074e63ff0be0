// motion_walk: the planner and the preview control as units, the program's
// refusals, and walks played by motion_player in the physics world, where
// the posture log says where the robot went.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_harness.h"
#include "motion_walk_lib.h"

namespace {

constexpr char kPlayerPrompt[] = "Give the name of the csv file: ";
constexpr char kExecuting[] = "Executing your file...\n";
// The built-in model's gravity, m/s²: the preview control's units.
constexpr double kGravity = 9.81;

// --- The preview control -------------------------------------------------

// The pressure centre follows a reference it has seen coming: after a step
// of 5 cm the error settles under 0.1 mm, and the centre of mass comes to
// rest on it; the pressure centre stays within the step's span throughout
// (no overshoot that would leave the foot).
TEST(PreviewControl, FollowsStepsOfTheReferenceAtEveryComHeight) {
  // com height m  step m
  struct Case {
    double height;
    double step;
  };
  constexpr Case cases[] = {{0.20, 0.05}, {0.25, -0.05}, {0.30, 0.034}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.height);
    const walk::PreviewControl control(c.height, kGravity, walk::kPlanDt, 200);
    std::vector<double> ref(1200, 0.0);
    for (std::size_t i = 400; i < ref.size(); ++i) ref[i] = c.step;
    const auto track = control.track(ref);
    double worst_late = 0.0, beyond = 0.0;
    for (std::size_t i = 0; i < ref.size(); ++i) {
      if (i > 600) worst_late = std::max(worst_late, std::fabs(track.zmp[i] - ref[i]));
      const double out = c.step > 0 ? std::max(-track.zmp[i], track.zmp[i] - c.step)
                                    : std::max(track.zmp[i], c.step - track.zmp[i]);
      beyond = std::max(beyond, out);
    }
    EXPECT_LT(worst_late, 1e-4);
    EXPECT_LT(beyond, 0.1 * std::fabs(c.step));
    EXPECT_NEAR(track.com.back(), c.step, 1e-4);
    // The centre of mass starts before the step: it saw it coming.
    EXPECT_GT(std::fabs(track.com[399]), 1e-3);
  }
}

// --- The footstep plan and the swing foot --------------------------------

// Each command gives steps + 1 steps, alternating feet, the first on the
// side the robot goes, and ends with the feet together where the command
// took them.
TEST(PlanFootsteps, AlternateFeetAndEndTogetherWhereTheCommandGoes) {
  using robot::kLeft;
  using robot::kRight;
  // steps stride side turn  first foot  end forward, left, yaw
  struct Case {
    int steps;
    double stride, side, turn;
    robot::Side first;
    double forward, left, yaw;
  };
  constexpr Case cases[] = {
      {16, 0.04, 0.0, 0.0, kLeft, 0.64, 0.0, 0.0},    {12, -0.04, 0.0, 0.0, kLeft, -0.48, 0.0, 0.0},
      {12, 0.0, -0.02, 0.0, kRight, 0.0, -0.24, 0.0}, {12, 0.0, 0.0, 0.15, kLeft, 0.0, 0.0, 1.8},
      {12, 0.0, 0.0, -0.15, kRight, 0.0, 0.0, -1.8},
  };
  const walk::Place left{Eigen::Vector2d(0.01, 0.044), 0.0};
  const walk::Place right{Eigen::Vector2d(0.01, -0.044), 0.0};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.steps << " x " << c.stride << " " << c.side << " " << c.turn);
    walk::Command command;
    command.steps = c.steps, command.stride = c.stride, command.side = c.side;
    command.turn = c.turn;
    const auto steps = walk::plan_footsteps(command, left, right, 0.088, 0.074);
    ASSERT_EQ(steps.size(), static_cast<std::size_t>(c.steps) + 1);
    EXPECT_EQ(steps.front().swing, c.first);
    for (std::size_t k = 1; k < steps.size(); ++k) {
      EXPECT_NE(steps[k].swing, steps[k - 1].swing);
      // Each step lifts the foot where it last landed.
      if (k >= 2) {
        EXPECT_TRUE(steps[k].from.at.isApprox(steps[k - 2].to.at, 1e-12));
      }
    }
    const auto &last = steps.back();
    const Eigen::Vector2d middle = (last.to.at + last.stance.at) / 2.0;
    // Sideways the last step brings the feet from their wider walking gap.
    const double slack = std::fabs(c.side) > 0 ? 0.011 : 1e-9;
    EXPECT_NEAR(middle.x() - 0.01, c.forward, 1e-9);
    EXPECT_NEAR(middle.y(), c.left, slack);
    EXPECT_NEAR(last.to.yaw, c.yaw, 1e-9);
    EXPECT_NEAR((last.to.at - last.stance.at).norm(), 0.088, 1e-9);
  }
}

// The swing foot lifts and lands in place, at zero speed, and reaches the
// lift at mid-swing.
TEST(SwingFoot, LiftsAndLandsInPlaceAtZeroSpeed) {
  const walk::Place from{Eigen::Vector2d(0.0, 0.044), 0.0};
  const walk::Place to{Eigen::Vector2d(0.08, 0.05), 0.2};
  const double h = 1e-4;
  for (double s : {0.0, 1.0}) {
    const walk::FootAt at = walk::swing_foot(from, to, 0.03, s);
    const walk::FootAt near = walk::swing_foot(from, to, 0.03, s == 0.0 ? h : 1.0 - h);
    EXPECT_NEAR(at.at.z(), 0.0, 1e-12);
    EXPECT_LT((near.at - at.at).norm() / h, 1e-3) << "moving at s = " << s;
    EXPECT_NEAR(at.yaw, s == 0.0 ? 0.0 : 0.2, 1e-12);
  }
  EXPECT_NEAR(walk::swing_foot(from, to, 0.03, 0.5).at.z(), 0.03, 1e-12);
  // Level travel: the foot is clear of the floor before it moves forward.
  EXPECT_NEAR(walk::swing_foot(from, to, 0.03, 0.08).at.x(), 0.0, 1e-12);
}

// --- The program ---------------------------------------------------------

// Refused with exit 2, one line on stderr naming what is wrong, no file.
TEST(MotionWalkProgram, RefusesWhatCannotBeWalkedWithOneLineAndNoFile) {
  // arguments  words the line holds
  struct Case {
    std::vector<std::string> args;
    const char *says;
  };
  const Case cases[] = {
      {{"--steps", "0"}, "--steps takes a whole number"},
      {{"--steps", "-3"}, "--steps takes a whole number"},
      {{"--stride", "abc"}, "--stride takes"},
      {{"--stride", "inf"}, "--stride takes"},
      {{"--side", "nan"}, "--side takes"},
      {{"--step-time", "0.1"}, "to lift a foot"},
      {{"--lift", "-0.01"}, "--lift takes"},
      {{"--turn", "0.6"}, "beyond the hip yaw's range"},
      {{"--stride", "0.3"}, "step 1 (the left foot)"},
      {{"--height", "0.3"}, "cannot be reached"},
      {{"--frobnicate"}, "unknown argument"},
  };
  const std::string dir = e2e::temp_dir();
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args.front() + " " + (c.args.size() > 1 ? c.args[1] : ""));
    std::vector<std::string> args = {"-o", dir + "/walk.csv"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const e2e::CommandOutput out = e2e::run_command(MOTION_WALK_PATH, args);
    EXPECT_EQ(out.status, 2);
    EXPECT_EQ(e2e::count(out.text, "\n"), 1) << out.text;
    EXPECT_NE(out.text.find(c.says), std::string::npos) << out.text;
    EXPECT_FALSE(std::filesystem::exists(dir + "/walk.csv"));
  }
}

// The same arguments give the same bytes; the file starts and ends in the
// zero posture and passes motion_check.
TEST(MotionWalkProgram, SameArgumentsGiveTheSameBytesThatPassTheCheck) {
  const std::string dir = e2e::temp_dir();
  for (const char *name : {"/a.csv", "/b.csv"}) {
    const e2e::CommandOutput out =
        e2e::run_command(MOTION_WALK_PATH, {"-o", dir + name, "--steps", "4", "--turn", "0.1"});
    EXPECT_EQ(out.status, 0) << out.text;
    EXPECT_NE(out.text.find("4 steps"), std::string::npos) << out.text;
  }
  const std::string a = e2e::read_file(dir + "/a.csv");
  EXPECT_EQ(a, e2e::read_file(dir + "/b.csv"));
  const std::string zero = "10,2,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0, R ,R ,R,R\n";
  EXPECT_EQ(a.substr(0, zero.size()), zero);
  EXPECT_EQ(a.substr(a.size() - zero.size()), zero);
  const e2e::CommandOutput check = e2e::run_command(MOTION_CHECK_PATH, {dir + "/a.csv"});
  EXPECT_EQ(check.status, 0) << check.text;
}

// --- Walks in the physics world ------------------------------------------

// The posture log's columns by name.
struct Log {
  std::vector<std::map<std::string, double>> rows;
  double at(std::size_t r, const std::string &column) const {
    const auto found = rows[r].find(column);
    return found == rows[r].end() ? NAN : found->second;
  }
};

Log read_log(const std::string &text) {
  Log log;
  std::istringstream in(text);
  std::string line;
  std::vector<std::string> names;
  if (std::getline(in, line)) {
    std::istringstream header(line);
    for (std::string name; std::getline(header, name, ',');) names.push_back(name);
  }
  while (std::getline(in, line)) {
    std::map<std::string, double> row;
    std::istringstream fields(line);
    std::size_t i = 0;
    for (std::string field; std::getline(fields, field, ',') && i < names.size(); ++i)
      row[names[i]] = std::strtod(field.c_str(), nullptr);
    log.rows.push_back(std::move(row));
  }
  return log;
}

// Plays `path` with motion_player in the physics world from the standing
// robot until a second after its last row; the posture log.
e2e::Result play(const std::string &path) {
  const std::string log = e2e::temp_dir() + "/posture.csv";
  e2e::Options options;
  options.program = MOTION_PLAYER_PATH;
  // The player takes short names: it plays the file from its folder.
  options.cwd = std::filesystem::path(path).parent_path();
  options.env = {{"STANDIN_WORLD", "physics"}, {"STANDIN_POSTURE_LOG", log}};
  // Named before the player starts: the walk starts at the same simulated
  // time in every run, and plays the same.
  options.input = std::filesystem::path(path).filename().string() + "\n";
  e2e::Session s(options);
  const bool played =
      s.wait_for_output(kExecuting) && s.wait_for_output(kPlayerPrompt, s.out().find(kExecuting));
  EXPECT_TRUE(played) << s.out();
  e2e::Result r = s.stop();
  r.posture_log = e2e::read_file(log);
  return r;
}

// A walk and what it must achieve: the share of the planned distance in
// the planned direction, the most off it (a share of the plan), the
// heading's error (rad, or a share of a planned turn), the speed.
struct Walked {
  const char *name;
  std::vector<std::string> args;     // motion_walk's, or empty for a bundled file
  const char *bundled;               // motions/NAME, or nullptr
  double steps, stride, side, turn;  // the plan, per step
  double heading_error;              // rad when no turn, else a share of it
  double min_speed;                  // m/s over the walking part, 0 for none
};

TEST(WalksInThePhysicsWorld, GoWhereThePlanSaysWithoutFalling) {
  if (e2e::under_valgrind()) GTEST_SKIP() << "minutes of physics under valgrind";
  // clang-format off
  // name  motion_walk arguments  bundled file  steps stride side turn  heading  speed
  const Walked walks[] = {
      {"forward", {"--steps", "16", "--stride", "0.04"}, nullptr, 16, 0.04, 0, 0, 0.2, 0},
      {"backward", {"--steps", "12", "--stride", "-0.04"}, nullptr, 12, -0.04, 0, 0, 0.2, 0},
      {"sideways", {"--steps", "12", "--stride", "0", "--side", "0.02", "--step-time", "0.4", "--lift", "0.02"}, nullptr, 12, 0, 0.02, 0, 0.2, 0},
      {"turning", {"--steps", "12", "--stride", "0", "--turn", "0.15"}, nullptr, 12, 0, 0, 0.15, 0.25, 0},
      {"fast", {"--steps", "60", "--stride", "0.055", "--step-time", "0.33", "--lift", "0.03"}, nullptr, 60, 0.055, 0, 0, 0.3, 0.15},
      {"bundled forward", {}, "walk_forward_10ms.csv", 16, 0.04, 0, 0, 0.2, 0},
      {"bundled backward", {}, "walk_backward_10ms.csv", 12, -0.04, 0, 0, 0.2, 0},
      {"bundled sideways", {}, "walk_left_10ms.csv", 12, 0, 0.02, 0, 0.2, 0},
      {"bundled turn left", {}, "turn_left_10ms.csv", 12, 0, 0, 0.15, 0.25, 0},
      {"bundled turn right", {}, "turn_right_10ms.csv", 12, 0, 0, -0.15, 0.25, 0},
  };
  // clang-format on
  const std::string dir = e2e::temp_dir();
  // Under the sanitizers the first walk takes every path of the table; the
  // release build walks them all.
  const std::size_t walked = e2e::short_run() ? 1 : std::size(walks);
  for (const Walked &w : std::span(walks, walked)) {
    SCOPED_TRACE(w.name);
    std::string path = std::string(MOTIONS_DIR) + "/" + (w.bundled ? w.bundled : "");
    if (w.bundled == nullptr) {
      path = dir + "/" + std::to_string(&w - walks) + ".csv";
      std::vector<std::string> args = {"-o", path};
      args.insert(args.end(), w.args.begin(), w.args.end());
      const e2e::CommandOutput made = e2e::run_command(MOTION_WALK_PATH, args);
      ASSERT_LE(made.status, 1) << made.text;
    }
    const e2e::Result r = play(path);
    EXPECT_EQ(r.err.find("fell"), std::string::npos) << r.err;
    const Log log = read_log(r.posture_log);
    ASSERT_GT(log.rows.size(), 10u);
    double tilt = 0.0;
    for (std::size_t i = 0; i < log.rows.size(); ++i) tilt = std::max(tilt, log.at(i, "tilt"));
    EXPECT_LT(tilt, 0.3);
    const std::size_t last = log.rows.size() - 1;
    const Eigen::Vector2d went(log.at(last, "gps_x") - log.at(0, "gps_x"),
                               log.at(last, "gps_y") - log.at(0, "gps_y"));
    const Eigen::Vector2d planned = w.steps * Eigen::Vector2d(w.stride, w.side);
    const double yaw = log.at(last, "yaw") - log.at(0, "yaw");
    std::cout << "[ figures  ] " << w.name << ": went " << went.x() << " m forward, " << went.y()
              << " m left, turned " << yaw << " rad; planned " << planned.x() << ", " << planned.y()
              << ", " << w.steps * w.turn << "; tilt " << tilt << " rad at most\n";
    if (planned.norm() > 0) {
      const Eigen::Vector2d along = planned.normalized();
      const double ahead = went.dot(along);
      const double off = std::fabs(went.x() * along.y() - went.y() * along.x());
      std::cout << "[ figures  ] " << w.name << ": " << 100.0 * ahead / planned.norm()
                << "% of the planned distance\n";
      EXPECT_GE(ahead, 0.8 * planned.norm());
      // The fast walk is asked for its speed only: it drifts off its line.
      if (w.min_speed == 0) {
        EXPECT_LT(off, 0.1 * planned.norm() + 0.02);
      }
    }
    if (w.min_speed > 0) {
      // The walking part: from the first shift (after the 1 s lowering) to
      // the last landing, as the plan times it.
      const double walking = 0.5 + 0.8 * 0.33 + w.steps * 0.33;
      std::cout << "[ figures  ] " << w.name << ": " << went.x() / walking << " m/s\n";
      EXPECT_GE(went.x() / walking, w.min_speed);
    }
    if (std::isnan(yaw)) continue;  // a log without the heading
    const double turn = w.steps * w.turn;
    EXPECT_NEAR(yaw, turn, turn != 0 ? w.heading_error * std::fabs(turn) : w.heading_error);
  }
}

}  // namespace

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
  e2e::Session s(options);
  s.write(std::filesystem::path(path).filename().string() + "\n");
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
  for (const Walked &w : walks) {
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

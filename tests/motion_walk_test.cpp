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
      // A place beyond the doubles is out of reach, not "needs nan rad".
      {{"--stride", "1e308"}, "the foot is out of reach"},
      // Rounded up, never "600 s, more than 600 s".
      {{"--steps", "1325", "--period", "1", "--stride", "0"}, "the walk would last 600.2 s"},
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
    EXPECT_EQ(out.text.find("nan"), std::string::npos) << out.text;
    EXPECT_FALSE(std::filesystem::exists(dir + "/walk.csv"));
  }
}

// The plan and the rows in one file would lose one; a model whose zero
// posture stands on one sole (its left shin 30 mm longer) cannot start a
// walk. Both refused in one line, nothing written.
TEST(MotionWalkProgram, RefusesOneFileForTwoAndARobotThatStandsOnOneSole) {
  const std::string dir = e2e::temp_dir();
  for (const std::string &plan : {dir + "/w.csv", dir + "/./w.csv"}) {
    const e2e::CommandOutput out =
        e2e::run_command(MOTION_WALK_PATH, {"-o", dir + "/w.csv", "--plan-csv", plan});
    EXPECT_EQ(out.status, 2) << out.text;
    EXPECT_NE(out.text.find("--plan-csv names the file -o writes"), std::string::npos) << out.text;
    EXPECT_FALSE(std::filesystem::exists(dir + "/w.csv"));
  }
  std::string xml = e2e::read_file(ROBOT_MODEL_PATH);
  const std::string shin = "<body name=\"l_ankle\" pos=\"0 0 -0.1\">";
  ASSERT_NE(xml.find(shin), std::string::npos);
  xml.replace(xml.find(shin), shin.size(), "<body name=\"l_ankle\" pos=\"0 0 -0.13\">");
  e2e::write_file(dir + "/long_shin.xml", xml);
  const e2e::CommandOutput out =
      e2e::run_command(MOTION_WALK_PATH, {"-o", dir + "/w.csv", "--model", dir + "/long_shin.xml"});
  EXPECT_EQ(out.status, 2) << out.text;
  EXPECT_NE(out.text.find("does not stand on both soles: they are 30.0 mm apart"),
            std::string::npos)
      << out.text;
  EXPECT_FALSE(std::filesystem::exists(dir + "/w.csv"));
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

// A walk, the status motion_walk gives it, and whether it must go where
// its summary says: a walk it writes with status 0 must.
struct Walked {
  const char *name;
  std::vector<std::string> args;  // motion_walk's, or empty for a bundled file
  const char *bundled;            // motions/NAME, or nullptr
  int status;                     // motion_walk's exit status
  bool stands;                    // the physics world keeps it up
};

// The planned travel from the summary line: m forward, m left, rad turned.
Eigen::Vector3d planned(const std::string &summary) {
  double forward = 0.0, left = 0.0, turned = 0.0;
  const std::size_t at = summary.find(" steps, ");
  if (at != std::string::npos)
    std::sscanf(summary.c_str() + at, " steps, %lf m forward and %lf m to the left, turning %lf",
                &forward, &left, &turned);
  return Eigen::Vector3d(forward, left, turned);
}

// The figures docs/walking.md gives a walk written with status 0: it
// stands (tilt under 0.3 rad), covers 85% to 115% of the planned distance
// in the planned direction, strays off it by at most a tenth of it plus
// 3 cm, and turns within 0.1 rad plus a tenth of a planned turn.
TEST(WalksInThePhysicsWorld, ExitZeroMeansItStandsAndGoesWhereTheSummarySays) {
  if (e2e::under_valgrind()) GTEST_SKIP() << "minutes of physics under valgrind";
  // clang-format off
  // name  motion_walk arguments  bundled file  status  stands
  const Walked walks[] = {
      {"default", {}, nullptr, 0, true},
      {"slow 0.8 s (fell at 8.5 s)", {"--step-time", "0.8"}, nullptr, 0, true},
      {"slow 1.0 s (fell at 6.0 s)", {"--step-time", "1.0"}, nullptr, 0, true},
      {"slow 1.2 s, 4 cm lift (fell at 5.6 s)", {"--step-time", "1.2", "--lift", "0.04"}, nullptr, 1, true},
      {"slow 1.2 s, 4.5 cm strides", {"--step-time", "1.2", "--stride", "0.045"}, nullptr, 0, true},
      {"rocking 0.65 s, 3 cm back", {"--step-time", "0.65", "--stride", "-0.03"}, nullptr, 0, true},
      {"fast 0.4 s, 4.5 cm", {"--step-time", "0.4", "--stride", "0.045"}, nullptr, 0, true},
      {"low lift", {"--lift", "0.015"}, nullptr, 0, true},
      {"high lift", {"--lift", "0.035", "--step-time", "0.5"}, nullptr, 0, true},
      {"sideways left", {"--stride", "0", "--side", "0.025"}, nullptr, 0, true},
      {"sideways right, 0.6 s", {"--stride", "0", "--side", "-0.025", "--step-time", "0.6"}, nullptr, 0, true},
      {"diagonal (lost 60% of its side)", {"--steps", "20", "--stride", "0.03", "--side", "0.015"}, nullptr, 0, true},
      {"side steps (went 0.52 m forward)", {"--steps", "12", "--side", "0.02"}, nullptr, 0, true},
      {"turning left", {"--stride", "0", "--turn", "0.25"}, nullptr, 0, true},
      {"turning right, 1 s", {"--stride", "0", "--turn", "-0.2", "--step-time", "1.0"}, nullptr, 0, true},
      {"curve", {"--stride", "0.04", "--turn", "0.15"}, nullptr, 0, true},
      {"backward, 0.45 s", {"--stride", "-0.045"}, nullptr, 0, true},
      {"low and high", {"--height", "0.245", "--stride", "0.045", "--step-time", "0.5"}, nullptr, 0, true},
      {"no lift (warned)", {"--lift", "0"}, nullptr, 1, false},
      {"60 x 5 cm at 0.3 s (warned)", {"--steps", "60", "--stride", "0.05", "--step-time", "0.3"}, nullptr, 1, true},
      {"bundled forward", {}, "walk_forward_10ms.csv", 0, true},
      {"bundled backward", {}, "walk_backward_10ms.csv", 0, true},
      {"bundled sideways", {}, "walk_left_10ms.csv", 0, true},
      {"bundled turn left", {}, "turn_left_10ms.csv", 0, true},
      {"bundled turn right", {}, "turn_right_10ms.csv", 0, true},
  };
  // clang-format on
  // The arguments motion/regenerate.sh gives the bundled walks.
  const std::map<std::string, std::vector<std::string>> bundled_args = {
      {"walk_forward_10ms.csv", {"--steps", "16", "--stride", "0.04"}},
      {"walk_backward_10ms.csv", {"--steps", "12", "--stride", "-0.04"}},
      {"walk_left_10ms.csv",
       {"--steps", "12", "--stride", "0", "--side", "0.02", "--step-time", "0.4", "--lift",
        "0.02"}},
      {"turn_left_10ms.csv", {"--steps", "12", "--stride", "0", "--turn", "0.15"}},
      {"turn_right_10ms.csv", {"--steps", "12", "--stride", "0", "--turn", "-0.15"}},
  };
  const std::string dir = e2e::temp_dir();
  // Under the sanitizers the first walk takes every path of the table; the
  // release build walks them all.
  const std::size_t walked = e2e::short_run() ? 1 : std::size(walks);
  for (const Walked &w : std::span(walks, walked)) {
    SCOPED_TRACE(w.name);
    const std::string path = dir + "/" + std::to_string(&w - walks) + ".csv";
    std::vector<std::string> args = {"-o", path};
    const std::vector<std::string> &more = w.bundled ? bundled_args.at(w.bundled) : w.args;
    args.insert(args.end(), more.begin(), more.end());
    const e2e::CommandOutput made = e2e::run_command(MOTION_WALK_PATH, args);
    ASSERT_EQ(made.status, w.status) << made.text;
    // The bundled file is what motion_walk writes for its arguments.
    if (w.bundled) {
      EXPECT_TRUE(e2e::read_file(path) ==
                  e2e::read_file(std::string(MOTIONS_DIR) + "/" + w.bundled))
          << "motions/regenerate.sh has not been run";
    }
    const Eigen::Vector3d plan = planned(made.text);
    const e2e::Result r = play(path);
    const Log log = read_log(r.posture_log);
    ASSERT_GT(log.rows.size(), 10u);
    double tilt = 0.0;
    for (std::size_t i = 0; i < log.rows.size(); ++i) tilt = std::max(tilt, log.at(i, "tilt"));
    const std::size_t last = log.rows.size() - 1;
    const Eigen::Vector2d went(log.at(last, "gps_x") - log.at(0, "gps_x"),
                               log.at(last, "gps_y") - log.at(0, "gps_y"));
    const double yaw = log.at(last, "yaw") - log.at(0, "yaw");
    std::cout << "[ figures  ] " << w.name << ": planned " << plan.x() << " m, " << plan.y()
              << " m, " << plan.z() << " rad; went " << went.x() << " m, " << went.y()
              << " m, turned " << yaw << " rad; tilt " << tilt << " rad at most\n";
    const bool fell = r.err.find("fell") != std::string::npos;
    EXPECT_EQ(fell, !w.stands) << r.err;
    if (!w.stands || w.status != 0) {
      if (e2e::short_run()) break;
      continue;
    }
    EXPECT_LT(tilt, 0.3);
    const Eigen::Vector2d aim = plan.head<2>();
    // The pelvis starts and ends over the middle of the feet; a turn in
    // place moves it a little.
    if (aim.norm() > 0.15) {
      const Eigen::Vector2d along = aim.normalized();
      const double ahead = went.dot(along);
      const double off = std::fabs(went.x() * along.y() - went.y() * along.x());
      EXPECT_GE(ahead, 0.85 * aim.norm());
      EXPECT_LE(ahead, 1.15 * aim.norm());
      EXPECT_LT(off, 0.1 * aim.norm() + 0.03);
    } else {
      EXPECT_LT((went - aim).norm(), 0.05);
    }
    EXPECT_NEAR(yaw, plan.z(), 0.1 + 0.1 * std::fabs(plan.z()));
    if (e2e::short_run()) break;
  }
}

}  // namespace

// The stand-in's physics world as the surface shows it, driven through the
// probe controller: which world runs, which models are refused, and that
// a run is repeatable and keeps its time.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "body_model.h"
#include "e2e_harness.h"

namespace {

using Env = std::vector<std::pair<std::string, std::string>>;

// Runs the probe on `script` in the physics world; `env` comes last.
e2e::Result probe(const std::string &script, Env env = {}) {
  env.insert(env.begin(), {"STANDIN_WORLD", "physics"});
  return e2e::run({.program = STANDIN_PROBE_PATH,
                   .input = script,
                   .env = std::move(env),
                   .stop_ms = 1000000000});
}

std::string robot_xml() {
  return e2e::read_file(ROBOT_MODEL_PATH);
}

// A copy of the built-in model with each pattern replaced, in a file.
std::string edited_model(const std::vector<std::pair<std::string, std::string>> &edits) {
  std::string text = robot_xml();
  for (const auto &[pattern, with] : edits) {
    std::string edited = std::regex_replace(text, std::regex(pattern), with);
    EXPECT_NE(edited, text) << "the model no longer holds " << pattern;
    text = edited;
  }
  std::string path = e2e::temp_dir() + "/robot.xml";
  e2e::write_file(path, text);
  return path;
}

const std::string kStart = "live\nget rleg_joint_3\nenable rleg_joint_3 64\n";

TEST(StandinWorld, PhysicsIsTheDefaultAndKinematicIsExact) {
  // Pelvis sensors exist only in the physics world; the kinematic one
  // writes nan and moves the servo exactly at its speed.
  struct Case {
    const char *world;  // STANDIN_WORLD, "" = unset
    bool physics;
  };
  for (Case c :
       {Case{"", true}, Case{"physics", true}, Case{"kinematic", false}, Case{"wobbly", true}}) {
    SCOPED_TRACE(c.world);
    Env env = {{"STANDIN_SERVO_SPEED", "instant"}};
    // The harness pins the kinematic world; an empty value unsets it.
    env.emplace_back("STANDIN_WORLD", c.world);
    e2e::Result r = e2e::run({.program = STANDIN_PROBE_PATH,
                              .input = "live\nget rarm_joint_1\nset rarm_joint_1 0.3\nstep 200\n",
                              .env = env,
                              .stop_ms = 1000000000});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::vector<e2e::PostureRow> rows = e2e::parse_posture_log(r.posture_log);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(std::isnan(rows[0].tilt), !c.physics);
    EXPECT_EQ(std::isnan(rows[0].gps[2]), !c.physics);
    for (float seen : {rows[0].yaw, rows[0].com[0], rows[0].com[1], rows[0].cop[0], rows[0].cop[1]})
      EXPECT_EQ(std::isnan(seen), !c.physics);
    if (c.physics) {
      // The servo pulls the arm up toward 0.3 rad against its weight.
      EXPECT_NEAR(rows[0].rad[18], 0.3, 0.05);
      EXPECT_GT(rows[0].touch[0] + rows[0].touch[1], 10.0f);
    } else {
      EXPECT_EQ(rows[0].rad[18], 0.3f);
    }
    bool reported = std::string_view(c.world) == "wobbly";
    EXPECT_EQ(e2e::count(r.err,
                         "standin: STANDIN_WORLD=\"wobbly\" is not physics or kinematic; "
                         "using physics\n"),
              reported ? 1 : 0)
        << r.err;
  }
}

TEST(StandinWorld, UnusableModelIsRefusedWithItsNameAndNothingStarts) {
  struct Case {
    std::string model;    // STANDIN_MODEL
    std::string message;  // expected on stderr, after the model's name
  };
  std::string dir = e2e::temp_dir();
  e2e::write_file(dir + "/broken.xml", "<mujoco><worldbody><body>");
  // A FIFO would be read without end, and nobody writes to it.
  ASSERT_EQ(mkfifo((dir + "/fifo.xml").c_str(), 0600), 0);
  e2e::write_file(dir + "/include.xml", "<mujoco>\n  <include file = 'fifo.xml'/>\n</mujoco>\n");
  std::vector<Case> cases = {
      {dir + "/absent.xml", "\": No such file or directory\n"},
      {dir + "/fifo.xml", "\": not a regular file\n"},
      {dir, "\": not a regular file\n"},
      {dir + "/broken.xml", "\": "},
      // The engine would open the included FIFO without looking.
      {dir + "/include.xml",
       "\": it names \"fifo.xml\", which is not a regular file of at most 64 MiB\n"},
      {edited_model({{"(<joint[^>]*name=\")rleg_joint_4\"", "$1rleg_knee\""},
                     {"joint=\"rleg_joint_4\"", "joint=\"rleg_knee\""}}),
       "\" cannot be used: no hinge joint named \"rleg_joint_4\"\n"},
      {edited_model({{"<position[^>]*joint=\"rarm_joint_5\"[^>]*/>", ""}}),
       "\" cannot be used: no actuator drives the joint \"rarm_joint_5\"\n"},
      {edited_model({{"<touch name=\"left touch\"", "<touch name=\"left foot\""}}),
       "\" cannot be used: no touch sensor named \"left touch\"\n"},
      {edited_model({{"<camera name=\"camera\"", "<camera name=\"eye\""}}),
       "\" cannot be used: no camera named \"camera\"\n"},
      {edited_model({{"<freejoint[^>]*/>", ""}}),
       "\" cannot be used: no free joint: the robot is fixed to the world\n"},
      // A nanosecond step would make one robot_step last hours.
      {edited_model({{"timestep=\"0.002\"", "timestep=\"1e-9\""}}),
       "\" cannot be used: its time step, 1e-09 s, is not from 0.0001 to 0.1 s\n"},
      {edited_model({{"timestep=\"0.002\"", "timestep=\"1e30\""}}),
       "\" cannot be used: its time step, 1e+30 s, is not from 0.0001 to 0.1 s\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.model);
    e2e::Result r = probe(kStart + "say started\nstep 64\n", {{"STANDIN_MODEL", c.model}});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(e2e::count(r.err, "\n"), 1) << r.err;
    EXPECT_NE(r.err.find(c.model + c.message), std::string::npos) << r.err;
    EXPECT_TRUE(r.err.starts_with("standin: ")) << r.err;
  }
}

TEST(StandinWorld, ModelGivenByPathRunsLikeTheBuiltInOne) {
  std::string path = e2e::temp_dir() + "/copy.xml";
  e2e::write_file(path, robot_xml());
  std::string script = kStart + "set rleg_joint_3 -0.4\nstep 500\n";
  e2e::Result built_in = probe(script);
  e2e::Result copied = probe(script, {{"STANDIN_MODEL", path}});
  EXPECT_EQ(copied.exit_code, 0) << copied.err;
  EXPECT_EQ(copied.posture_log, built_in.posture_log);
}

TEST(StandinWorld, SameCommandsGiveTheSameLogBitForBit) {
  std::string script = kStart;
  for (int k = 0; k < 40; ++k) {
    script += "set rleg_joint_3 " + std::to_string(0.02 * (k % 7)) + "\nstep " +
              std::to_string(17 + k % 5) + "\n";
  }
  e2e::Result first = probe(script);
  e2e::Result second = probe(script);
  ASSERT_EQ(first.exit_code, 0) << first.err;
  EXPECT_EQ(e2e::parse_posture_log(first.posture_log).size(), 40u);
  EXPECT_EQ(first.posture_log, second.posture_log);
}

TEST(StandinWorld, OddPeriodsCarryTheRemainderSoTimeNeverDrifts) {
  // A 3 ms step is one and a half engine steps: a thousand of them must
  // leave the robot exactly where one 3000 ms step does.
  std::string many = kStart + "set rleg_joint_3 0.2\n";
  for (int k = 0; k < 1000; ++k) many += "step 3\n";
  e2e::Result fine = probe(many);
  e2e::Result whole = probe(kStart + "set rleg_joint_3 0.2\nstep 3000\n");
  std::vector<e2e::PostureRow> a = e2e::parse_posture_log(fine.posture_log);
  std::vector<e2e::PostureRow> b = e2e::parse_posture_log(whole.posture_log);
  ASSERT_EQ(a.size(), 1000u);
  ASSERT_EQ(b.size(), 1u);
  EXPECT_EQ(a.back().time_ms, b.back().time_ms);
  EXPECT_EQ(a.back().rad, b.back().rad);
  EXPECT_EQ(a.back().gps[2], b.back().gps[2]);
}

TEST(StandinWorld, JointsStartAndStayWithinTheirStops) {
  // A knee set far past its stop starts on it, said once; a command far
  // past it presses on the stop and a command back returns at once.
  e2e::Result r = probe(
      "live\nget rleg_joint_4\nenable rleg_joint_4 64\nstep 50\npos rleg_joint_4\n"
      "set rleg_joint_4 1e30\nrepeat 20 step 50\npos rleg_joint_4\n"
      "set rleg_joint_4 0.5\nrepeat 10 step 50\npos rleg_joint_4\n",
      {{"STANDIN_POSTURE", "rleg_joint_4=100"}, {"STANDIN_SERVO_SPEED", "instant"}});
  EXPECT_EQ(e2e::count(r.err,
                       "standin: STANDIN_POSTURE: rleg_joint_4=100 is beyond the joint's "
                       "stop; the physics world starts it at 2.26893\n"),
            1)
      << r.err;
  std::vector<e2e::PostureRow> rows = e2e::parse_posture_log(r.posture_log);
  ASSERT_EQ(rows.size(), 31u);
  for (std::size_t k : {0u, 20u}) EXPECT_NEAR(rows[k].rad[10], 2.26893, 0.02) << k;
  EXPECT_NEAR(rows[30].rad[10], 0.5, 0.05);
}

TEST(StandinWorld, ExitFromAnotherThreadWhileStepping) {
  // The world outlives exit(): the loop may still be stepping it.
  e2e::Result r = probe(kStart + "background exit\nforever step 1\n");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(r.posture_log.empty() || r.posture_log.back() == '\n');
}

TEST(StandinWorld, DivergingModelIsToldOnceAndNeverGivesNan) {
  // Servos far too stiff for a long time step: the engine blows up, more
  // than once.
  std::string model = edited_model({{"timestep=\"[^\"]*\"", "timestep=\"0.02\""},
                                    {"kp=\"[^\"]*\"", "kp=\"100000\""},
                                    {"forcerange=\"[^\"]*\"", "forcerange=\"-1e5 1e5\""}});
  e2e::Result r =
      probe(kStart + "set rleg_joint_3 1\nrepeat 40 step 50\n", {{"STANDIN_MODEL", model}});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(e2e::count(r.err, "standin: the physics diverged at "), 1) << r.err;
  std::vector<e2e::PostureRow> rows = e2e::parse_posture_log(r.posture_log);
  ASSERT_EQ(rows.size(), 40u);
  for (const e2e::PostureRow &row : rows) {
    for (float angle : row.rad) ASSERT_TRUE(std::isfinite(angle)) << row.time_ms;
    ASSERT_TRUE(std::isfinite(row.gps[2]) && std::isfinite(row.tilt)) << row.time_ms;
  }
}

// The measured balance in the log

TEST(StandinWorld, StandingRobotPressesBetweenItsSolesUnderItsCentreOfMass) {
  e2e::Result r = probe("live\nrepeat 10 step 100\n");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::vector<e2e::PostureRow> rows = e2e::parse_posture_log(r.posture_log);
  ASSERT_EQ(rows.size(), 10u);
  for (const e2e::PostureRow &row : rows) {
    SCOPED_TRACE(row.time_ms);
    EXPECT_NEAR(row.yaw, 0.0, 1e-4);
    // The soles sit 44 mm either side of the middle, the pelvis above them.
    EXPECT_LT(std::fabs(row.cop[1]), 0.044);
    EXPECT_LT(std::fabs(row.cop[0] - row.gps[0]), 0.03);
    // At rest the floor holds the weight right under the centre of mass.
    EXPECT_LT(std::hypot(row.cop[0] - row.com[0], row.cop[1] - row.com[1]), 0.003);
  }
}

TEST(StandinWorld, LeaningForwardOnTheAnklesMovesMassAndPressureForward) {
  // Toes up by 0.03 rad, slowly, tips the whole body forward over the soles.
  Env slow = {{"STANDIN_SERVO_SPEED", "0.05"}};
  e2e::Result upright = probe("live\nrepeat 20 step 100\n", slow);
  e2e::Result leaning = probe(
      "live\nget lleg_joint_5\nget rleg_joint_5\nset lleg_joint_5 -0.03\n"
      "set rleg_joint_5 -0.03\nrepeat 20 step 100\n",
      slow);
  std::vector<e2e::PostureRow> a = e2e::parse_posture_log(upright.posture_log);
  std::vector<e2e::PostureRow> b = e2e::parse_posture_log(leaning.posture_log);
  ASSERT_EQ(a.size(), 20u);
  ASSERT_EQ(b.size(), 20u);
  EXPECT_GT(b.back().com[0], a.back().com[0] + 0.005) << leaning.err;
  EXPECT_GT(b.back().cop[0], a.back().cop[0] + 0.005);
  EXPECT_LT(std::fabs(b.back().cop[0] - b.back().com[0]), 0.003);
}

TEST(StandinWorld, TurningBothHipsTurnsThePelvisTheOtherWay) {
  // Toes turned to the left against the floor turn the pelvis to the right;
  // the soles give way a little as the hips snap round.
  e2e::Result r = probe(
      "live\nget lleg_joint_1\nget rleg_joint_1\nset lleg_joint_1 0.3\nset rleg_joint_1 0.3\n"
      "repeat 10 step 100\n");
  std::vector<e2e::PostureRow> rows = e2e::parse_posture_log(r.posture_log);
  ASSERT_EQ(rows.size(), 10u);
  EXPECT_LT(rows.back().yaw, -0.15);
  EXPECT_GT(rows.back().yaw, -0.3);
  EXPECT_LT(rows.back().tilt, 0.1);
}

// Pushes

TEST(StandinWorld, BadPushIsToldOnceAndNoPushActs) {
  // The same run unpushed: a bad setting must leave it as it is.
  e2e::Result plain = probe("live\nrepeat 2 step 100\n");
  ASSERT_EQ(plain.exit_code, 0) << plain.err;
  // clang-format off
  // STANDIN_PUSH                         what the line says
  constexpr const char *kBad[] = {
      "100",                                 // no force, no length
      "100:5,0,0",                           // no length
      "100:5,0:100",                         // two components
      "100:5,0,0,0:100",                     // four components
      "100:5,0,0:100:7",                     // a fourth part
      "-1:5,0,0:100",                        // before the start
      "100:5,0,0:0",                         // no length
      "100.5:5,0,0:100",                     // not a whole ms
      "100:x,0,0:100",                       // not a number
      "100:nan,0,0:100",                     // not finite
      "100:1e400,0,0:100",                   // beyond a double
      "100:1001,0,0:100",                    // beyond the force bound
      "99999999999999999999:5,0,0:100",      // beyond 64 bits
      "1000000000001:5,0,0:100",             // beyond the time bound
      "0:500,0,0:100;0:5,0,0:100;oops",      // good ones, then a bad one
  };
  // clang-format on
  // Under valgrind every run loads the engine slowly: a sample of the table.
  const std::size_t stride = e2e::under_valgrind() ? 4 : 1;
  for (std::size_t k = 0; k < std::size(kBad); k += stride) {
    const char *value = kBad[k];
    SCOPED_TRACE(value);
    e2e::Result r = probe("live\nrepeat 2 step 100\n", {{"STANDIN_PUSH", value}});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(e2e::count(r.err, "\n"), 1) << r.err;
    EXPECT_TRUE(r.err.starts_with("standin: STANDIN_PUSH")) << r.err;
    EXPECT_NE(r.err.find("no pushes"), std::string::npos) << r.err;
    EXPECT_EQ(r.posture_log, plain.posture_log);
  }
  // The kinematic world has no chest to push.
  e2e::Result kinematic =
      probe("live\nstep 100\n", {{"STANDIN_WORLD", "kinematic"}, {"STANDIN_PUSH", "0:5,0,0:100"}});
  EXPECT_EQ(kinematic.exit_code, 0);
  EXPECT_EQ(kinematic.err,
            "standin: STANDIN_PUSH needs the physics world (STANDIN_WORLD=physics); no pushes\n");
}

// The probe standing for `seconds` under `pushes`: its largest tilt, log and reports.
struct Outcome {
  float tilt = 0.0f;
  std::string log;
  std::string err;
};
Outcome pushed(const std::string &pushes, int seconds = 2) {
  e2e::Result r = probe("live\nrepeat " + std::to_string(10 * seconds) + " step 100\n",
                        {{"STANDIN_PUSH", pushes}});
  EXPECT_EQ(r.exit_code, 0);
  Outcome outcome{0.0f, r.posture_log, r.err};
  for (const e2e::PostureRow &row : e2e::parse_posture_log(r.posture_log))
    outcome.tilt = std::max(outcome.tilt, row.tilt);
  return outcome;
}

TEST(StandinWorld, HardPushTopplesTheRobotAndGentleOneDoesNot) {
  // 100 ms from behind: 0.3 N s rocks it, 3 N s throws it on its face.
  Outcome gentle = pushed("500:3,0,0:100");
  Outcome hard = pushed("500:30,0,0:100");
  EXPECT_LT(gentle.tilt, 0.2) << gentle.err;
  EXPECT_GT(gentle.tilt, 0.0005);
  EXPECT_EQ(gentle.err, "");
  EXPECT_EQ(e2e::count(hard.err, "standin: the robot fell at "), 1) << hard.err;
  std::vector<e2e::PostureRow> rows = e2e::parse_posture_log(hard.log);
  ASSERT_FALSE(rows.empty());
  // Forward, the way it was pushed.
  EXPECT_GT(rows.back().gps[0], 0.1);
}

TEST(StandinWorld, PushesRepeatBitForBitAndLiftOffLeavesNoPressure) {
  // Up at more than the weight for 0.2 s: the robot leaves the floor.
  const std::string pushes = "300:0,0,100:200; 1200:-4,2,0:50 ;";
  Outcome first = pushed(pushes);
  Outcome second = pushed(pushes);
  EXPECT_EQ(first.log, second.log);
  std::vector<e2e::PostureRow> rows = e2e::parse_posture_log(first.log);
  ASSERT_EQ(rows.size(), 20u);
  EXPECT_FALSE(std::isnan(rows[2].cop[0]));
  bool flew = false;
  for (const e2e::PostureRow &row : rows)
    flew = flew || (std::isnan(row.cop[0]) && std::isnan(row.cop[1]) && row.gps[2] > 0.3);
  EXPECT_TRUE(flew);
}

}  // namespace

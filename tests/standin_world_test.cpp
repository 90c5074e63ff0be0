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
       "\": it names \"" + dir + "/fifo.xml\", which is not a regular file of at most 64 MiB\n"},
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

TEST(StandinWorld, EveryFileAModelNamesIsLookedAtHoweverItIsSpelled) {
  // The engine would open each FIFO and wait for ever for a writer; each
  // spelling below reaches one the way the engine resolves names.
  std::string dir = e2e::temp_dir();
  ASSERT_EQ(mkdir((dir + "/m").c_str(), 0700), 0);
  ASSERT_EQ(mkdir((dir + "/inc").c_str(), 0700), 0);
  ASSERT_EQ(mkfifo((dir + "/m/x.stl").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo((dir + "/m/x.skn").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo((dir + "/outer.xml").c_str(), 0600), 0);
  const std::string mesh = "<asset><mesh name='q' file='x.stl'/></asset>";
  // Beside the including file, where the engine never looks.
  e2e::write_file(dir + "/inc/outer.xml", "<mujoco/>");
  e2e::write_file(dir + "/inc/nested.xml", "<mujoco><include file='outer.xml'/></mujoco>");
  e2e::write_file(dir + "/inc/mesh.xml", "<mujoco>" + mesh + "</mujoco>");
  e2e::write_file(dir + "/inc/compiler.xml", "<mujoco><compiler meshdir='m'/></mujoco>");
  const std::string tetrahedron =
      "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 0 0 1\nf 1 2 3\nf 1 2 4\nf 1 3 4\nf 2 3 4\n";
  e2e::write_file(dir + "/m/fine.obj", "mtllib fine.mtl\n" + tetrahedron);
  e2e::write_file(dir + "/m/fine.mtl", "newmtl a\n");
  // The OBJ reader takes the first of its material libraries it can open.
  e2e::write_file(dir + "/m/bad.obj", "# a mesh\n  mtllib\tx.stl fine.mtl\r\n" + tetrahedron);
  const std::string fifo = dir + "/m/x.stl";
  struct Case {
    std::string body;   // inside <mujoco>
    std::string named;  // the path refused; empty: passes the check
  };
  std::vector<Case> cases = {
      {"<compiler meshdir='" + dir + "/m/'/>" + mesh, fifo},
      {"<compiler meshdir='m'/>" + mesh, fifo},
      {"<asset><mesh name='q' file='m/x&#46;stl'/></asset>", fifo},
      {"<asset><texture name='t' type='2d' file='x.stl'/></asset><compiler texturedir='m'/>", fifo},
      {"<asset><hfield name='h' file='m/x.stl' size='1 1 1 1'/></asset>", fifo},
      {"<asset><skin file='m/x.skn'/></asset>", dir + "/m/x.skn"},
      {"<compiler meshdir='m' strippath='true'/><asset><mesh file='else/where/x.stl'/></asset>",
       fifo},
      // The main file's directory holds inside an include, and a later
      // compiler counts for meshes named before it.
      {"<compiler meshdir='m'/><include file='inc/mesh.xml'/>", fifo},
      {mesh + "<include file='inc&#47;compiler.xml'/>", fifo},
      // Nested includes are found beside the main model.
      {"<include file='inc/nested.xml'/>", dir + "/outer.xml"},
      {"<asset><mesh name='q' file='m/bad.obj'/></asset>", fifo},
      // The engine would end the process on these.
      {"<asset><mesh name='q' file='ab'/></asset>", "ab"},
      {"<asset><mesh name='q' file='m/fine.obj'/></asset>", ""},
  };
  for (const char *face :
       {"fileright", "fileleft", "fileup", "filedown", "filefront", "fileback"}) {
    cases.push_back(
        {"<asset><texture name='c' type='cube' " + std::string(face) + "='m/x.stl'/></asset>",
         fifo});
  }
  for (std::size_t k = 0; k < cases.size(); ++k) {
    const Case &c = cases[k];
    SCOPED_TRACE(c.body);
    std::string model = dir + "/model" + std::to_string(k) + ".xml";
    e2e::write_file(model, "<mujoco>" + c.body + "</mujoco>\n");
    e2e::Result r = probe(kStart + "say started\n", {{"STANDIN_MODEL", model}});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(e2e::count(r.err, "\n"), 1) << r.err;
    std::string why = c.named == "ab" ? "it names \"ab\", too short a name to show the file's type"
                      : c.named.empty() ? "cannot be used: no hinge joint named"
                                        : "it names \"" + c.named +
                                              "\", which is not a regular file of at most 64 MiB\n";
    EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
  }
  // Only a model of this engine's own kind is read.
  std::string urdf = dir + "/robot.urdf";
  e2e::write_file(urdf, "<robot name='r'><link name='l'><visual><geometry><mesh filename='" + fifo +
                            "'/></geometry></visual></link></robot>\n");
  e2e::Result r = probe(kStart, {{"STANDIN_MODEL", urdf}});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "standin: cannot load the robot model \"" + urdf +
                       "\": its root element is <robot>, not <mujoco>\n");
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

// The sensors a controller reads

// What the probe's reads printed, in order: the values of each
// "read-<sensor> <device> <values>" line, as text.
std::vector<std::vector<std::string>> texts_read(const std::string &out) {
  std::vector<std::vector<std::string>> found;
  std::size_t start = 0;
  for (std::size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = out.substr(start, end - start);
    if (!line.starts_with("read-")) continue;
    std::vector<std::string_view> words = e2e::words(line);
    std::size_t count = line.starts_with("read-touch ") ? 1 : 3;
    found.emplace_back(words.end() - count, words.end());
  }
  return found;
}

// The same as numbers.
std::vector<std::vector<double>> values_read(const std::string &out) {
  std::vector<std::vector<double>> found;
  for (const std::vector<std::string> &texts : texts_read(out)) {
    std::vector<double> values;
    for (const std::string &text : texts) values.push_back(std::strtod(text.c_str(), nullptr));
    found.push_back(values);
  }
  return found;
}

const std::string kInertialStart =
    "live\nget inertial unit\nget gyro\nget accelerometer\n"
    "imu inertial unit 10\ngyro gyro 10\nacc accelerometer 10\n";
const std::string kReadInertial =
    "read-imu inertial unit\nread-gyro gyro\nread-acc accelerometer\n";

// The torso's inertial sensors after each 10 ms step.
struct Inertial {
  double rpy[3], gyro[3], acc[3];
};
std::vector<Inertial> inertial_run(const std::string &setup, int steps, Env env) {
  std::string script = kInertialStart + setup;
  for (int k = 0; k < steps; ++k) script += "step 10\n" + kReadInertial;
  e2e::Result r = probe(script, std::move(env));
  EXPECT_EQ(r.exit_code, 0) << r.err;
  std::vector<std::vector<double>> read = values_read(r.out);
  std::vector<Inertial> rows;
  for (std::size_t k = 0; k + 2 < read.size(); k += 3) {
    Inertial row;
    for (int i = 0; i < 3; ++i) {
      row.rpy[i] = read[k][i];
      row.gyro[i] = read[k + 1][i];
      row.acc[i] = read[k + 2][i];
    }
    rows.push_back(row);
  }
  EXPECT_EQ(rows.size(), static_cast<std::size_t>(steps));
  return rows;
}

TEST(StandinWorld, InertialSensorsReadTheTorsoStandingPushedAndTurned) {
  // Each row moves the robot about one of its axes; the angle about that
  // axis moves the stated way, the gyro turns that way while the push acts
  // (or the hips snap round), the accelerometer feels the push, and the
  // other angles stay small. A model turned round at the start still
  // counts its yaw from 0, through the wrap at pi.
  struct Case {
    const char *what;
    const char *push;   // STANDIN_PUSH, from 500 ms for 100 ms
    const char *setup;  // probe lines before the first step
    bool turned;        // the robot starts facing -3 rad
    int axis;           // 0 roll, 1 pitch, 2 yaw
    int sign;           // the way it turns
    int pushed_along;   // the accelerometer's axis the push shows on; -1 none
  };
  const std::string hips =
      "get lleg_joint_1\nget rleg_joint_1\nset lleg_joint_1 0.3\n"
      "set rleg_joint_1 0.3\n";
  // clang-format off
  // what                          push                setup          turned axis sign along
  const Case kCases[] = {
      {"pushed from behind",        "500:6,0,0:100",   "",            false, 1,  1,  0},
      {"pushed from the front",     "500:-6,0,0:100",  "",            false, 1, -1,  0},
      {"pushed from the left side", "500:0,-10,0:100", "",            false, 0,  1,  1},
      {"pushed from the right side","500:0,10,0:100",  "",            false, 0, -1,  1},
      {"hips turning it right",     "",                hips.c_str(),  false, 2, -1, -1},
      {"turned round, pushed from behind", "500:6,0,0:100",  "",      true,  1,  1,  0},
      {"turned round, hips turning it right", "",      hips.c_str(),  true,  2, -1, -1},
  };
  // clang-format on
  std::string turned_model =
      edited_model({{"<body name=\"pelvis\" pos=\"0 0 0.285\">",
                     "<body name=\"pelvis\" pos=\"0 0 0.285\" euler=\"0 0 -3\">"}});
  // Standing still: level, at rest, feeling only gravity.
  std::vector<Inertial> still = inertial_run("", 60, {});
  ASSERT_EQ(still.size(), 60u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(still.back().rpy[i], 0.0, 0.002) << i;
    EXPECT_NEAR(still.back().gyro[i], 0.0, 0.02) << i;
    EXPECT_NEAR(still.back().acc[i], i == 2 ? 9.81 : 0.0, 0.05) << i;
  }
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.what);
    Env env;
    if (*c.push != '\0') env.emplace_back("STANDIN_PUSH", c.push);
    if (c.turned) env.emplace_back("STANDIN_MODEL", turned_model);
    std::vector<Inertial> rows = inertial_run(c.setup, 150, env);
    ASSERT_EQ(rows.size(), 150u);
    EXPECT_NEAR(rows[0].rpy[2], 0.0, 0.01) << "the yaw starts at 0";
    // Where the push acts (the hips snap round at once), as steps.
    std::size_t from = *c.push != '\0' ? 50 : 0;
    double gyro = 0.0, along = 0.0, moved = 0.0, other = 0.0;
    for (std::size_t k = from; k < from + 10; ++k) {
      gyro += c.sign * rows[k].gyro[c.axis];
      if (c.pushed_along >= 0) along += c.sign * rows[k].acc[c.pushed_along];
    }
    for (const Inertial &row : rows) {
      moved = std::max(moved, c.sign * row.rpy[c.axis]);
      for (int i = 0; i < 3; ++i) {
        if (i != c.axis) other = std::max(other, std::fabs(row.rpy[i]));
      }
    }
    EXPECT_GT(moved, 0.03);
    EXPECT_LT(moved, 0.5) << "it stays up";
    EXPECT_GT(gyro / 10, 0.1);
    EXPECT_LT(other, 0.02);
    // The push shows on the accelerometer: forward from behind, as the
    // pitch; toward the right from the left side, against the roll.
    if (c.pushed_along >= 0) {
      EXPECT_GT((c.pushed_along == 0 ? along : -along) / 10, 1.0);
    }
    // The gyro's rate, summed over the steps, follows the angle: a sign or
    // an axis mixed up would be off by the whole swing.
    double angle = rows[0].rpy[c.axis];
    double worst = 0.0;
    for (std::size_t k = 1; k < rows.size(); ++k) {
      angle += 0.01 * (rows[k - 1].gyro[c.axis] + rows[k].gyro[c.axis]) / 2;
      worst = std::max(worst, std::fabs(angle - rows[k].rpy[c.axis]));
    }
    EXPECT_LT(worst, 0.05 * moved + 0.002);
  }
}

TEST(StandinWorld, SensorsSampleOncePerPeriodAndAreNanBeforeTheFirst) {
  // The gyro of a pushed robot, read after each of twelve 10 ms steps and
  // sampled at every step, is the reference; each row enables it otherwise
  // and names the step end whose reference each read must equal (0: NaN).
  // Reads change nothing, so the runs move alike.
  const Env push = {{"STANDIN_PUSH", "0:5,0,0:200"}};
  auto run = [&](const std::vector<std::string> &before_step) {
    std::string script = "live\nget gyro\n";
    for (const std::string &lines : before_step) script += lines + "step 10\nread-gyro gyro\n";
    e2e::Result r = probe(script, push);
    return std::make_pair(values_read(r.out), r.err);
  };
  std::vector<std::string> every_step(12);
  every_step[0] = "gyro gyro 10\n";
  std::vector<std::vector<double>> reference = run(every_step).first;
  ASSERT_EQ(reference.size(), 12u);
  struct Case {
    const char *what;
    std::vector<std::string> before_step;  // probe lines before each step
    std::vector<int> sampled_at;           // ms; 0 = NaN
    bool told = false;                     // read before it was on, or while off: told once
  };
  const std::string every30 = "gyro gyro 30\n";
  // clang-format off
  const std::vector<Case> kCases = {
      {"every 30 ms",
       {every30, "", "", "", "", "", "", "", "", "", "", ""},
       {0, 0, 30, 30, 30, 60, 60, 60, 90, 90, 90, 120}},
      // Each sample waits for the step that reaches its time; the beat holds.
      {"every 25 ms",
       {"gyro gyro 25\n", "", "", "", "", "", "", "", "", "", "", ""},
       {0, 0, 30, 30, 50, 50, 50, 80, 80, 100, 100, 100}},
      {"every 20 ms from 50 ms",
       {"", "", "", "", "", "gyro gyro 20\n", "", "", "", "", "", ""},
       {0, 0, 0, 0, 0, 0, 70, 70, 90, 90, 110, 110}, true},
      {"enabled again at every step, as a loop may",
       std::vector<std::string>(12, every30),
       {0, 0, 30, 30, 30, 60, 60, 60, 90, 90, 90, 120}},
      {"switched off at 60 ms, on again every 10 ms at 90 ms",
       {every30, "", "", "", "", "", "gyro gyro 0\n", "", "", "gyro gyro 10\n", "", ""},
       {0, 0, 30, 30, 30, 60, 0, 0, 0, 100, 110, 120}, true},
      {"from every 30 ms to every 20 ms at 40 ms",
       {every30, "", "", "", "gyro gyro 20\n", "", "", "", "", "", "", ""},
       {0, 0, 30, 30, 30, 60, 60, 80, 80, 100, 100, 120}},
  };
  // clang-format on
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.what);
    auto [read, err] = run(c.before_step);
    EXPECT_EQ(err, c.told ? "standin: gyro_get_values(gyro): the sensor is not enabled; "
                            "returning NaN\n"
                          : "");
    ASSERT_EQ(read.size(), 12u);
    for (std::size_t k = 0; k < 12; ++k) {
      int at = c.sampled_at[k];
      for (int i = 0; i < 3; ++i) {
        if (at == 0) {
          EXPECT_TRUE(std::isnan(read[k][i])) << "after step " << k + 1;
        } else {
          EXPECT_EQ(read[k][i], reference[at / 10 - 1][i]) << "after step " << k + 1;
        }
      }
    }
  }
}

TEST(StandinWorld, TouchAndGpsReadWhatThePostureLogShows) {
  // Sampled at every step, they give the log's columns, before its narrowing.
  std::string script =
      "live\nget left touch\nget right touch\nget gps\ntouch left touch 10\n"
      "touch right touch 10\ngps gps 10\n";
  for (int k = 0; k < 30; ++k)
    script += "step 10\nread-touch left touch\nread-touch right touch\nread-gps gps\n";
  e2e::Result r = probe(script, {{"STANDIN_PUSH", "100:0,8,0:100"}});
  std::vector<std::vector<double>> read = values_read(r.out);
  std::vector<e2e::PostureRow> rows = e2e::parse_posture_log(r.posture_log);
  ASSERT_EQ(read.size(), 90u);
  ASSERT_EQ(rows.size(), 30u);
  for (std::size_t k = 0; k < rows.size(); ++k) {
    SCOPED_TRACE(rows[k].time_ms);
    EXPECT_EQ(static_cast<float>(read[3 * k][0]), rows[k].touch[0]);
    EXPECT_EQ(static_cast<float>(read[3 * k + 1][0]), rows[k].touch[1]);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(static_cast<float>(read[3 * k + 2][i]), rows[k].gps[i]);
  }
  // On the whole the soles hold the robot's 3 kg.
  double pressed = 0.0;
  for (std::size_t k = 0; k < rows.size(); ++k) pressed += read[3 * k][0] + read[3 * k + 1][0];
  EXPECT_NEAR(pressed / rows.size(), 3.0 * 9.81, 1.0);
}

TEST(StandinWorld, SensorMisuseReadsNanAndIsToldOnce) {
  // Each read is made twice; a good one in the same run reads numbers.
  struct Case {
    const char *read;  // probe line
    const char *told;  // the report, after "standin: "
  };
  // clang-format off
  // read                          told
  constexpr Case kCases[] = {
      {"read-gyro #0",             "gyro_get_values(none): no device (identifier 0); returning NaN"},
      {"read-touch #0",            "touch_sensor_get_value(none): no device (identifier 0); returning NaN"},
      {"read-imu #99",             "inertial_unit_get_roll_pitch_yaw(#99): the robot has no device with identifier 99; ignored"},
      {"read-acc #33",             "accelerometer_get_values(gyro): gyro is not an accelerometer; ignored"},
      {"read-gps #26",             "gps_get_values(left touch): left touch is not a GPS; ignored"},
      {"read-touch #1",            "touch_sensor_get_value(body_joint_1): body_joint_1 is not a touch sensor; ignored"},
      {"read-acc #34",             "accelerometer_get_values(accelerometer): the sensor is not enabled; returning NaN"},
      {"read-gps #30",             "gps_get_values(gps): the sensor is not enabled; returning NaN"},
  };
  // clang-format on
  std::string script = "live\nimu #32 10\ngyro #33 10\ngyro #0 10\nimu #0 10\nstep 10\n";
  std::string told;
  for (const Case &c : kCases) {
    script += std::string(c.read) + "\n" + c.read + "\n";
    told += std::string("standin: ") + c.told + "\n";
  }
  e2e::Result r = probe(script + "read-imu #32\nread-gyro #33\n");
  EXPECT_EQ(r.err, told);
  std::vector<std::vector<double>> read = values_read(r.out);
  ASSERT_EQ(read.size(), 2 * std::size(kCases) + 2);
  for (std::size_t k = 0; k < 2 * std::size(kCases); ++k) {
    for (double value : read[k]) EXPECT_TRUE(std::isnan(value)) << kCases[k / 2].read;
  }
  for (std::size_t k = read.size() - 2; k < read.size(); ++k) {
    for (double value : read[k]) EXPECT_TRUE(std::isfinite(value));
  }
  // A call from another thread is told and ignored, as every call is.
  e2e::Result second = probe("live\nimu #32 10\nstep 10\nthread read-imu #32\n");
  EXPECT_EQ(second.err,
            "standin: controller library called from a second thread "
            "(inertial_unit_get_roll_pitch_yaw)\n");
  EXPECT_EQ(e2e::calls(second.trace, "inertial_unit_get_roll_pitch_yaw").size(), 0u);
}

TEST(StandinWorld, SensorCallsAreTracedWithWhatTheyReturn) {
  std::string trace = e2e::temp_dir() + "/calls.tsv";
  e2e::Result r = probe(
      "live\nimu #32 10\ngyro #33 20\nacc #34 0\ntouch #27 10\ngps #30 64\nread-imu #32\n"
      "step 10\nread-imu #32\nread-touch #27\nread-gyro #33\nread-acc #34\nread-gps #30\n"
      "read-gyro #0\nread-gyro #99\n",
      {{"STANDIN_TRACE", trace}});
  // After the step the inertial unit and the touch sensor have sampled;
  // the gyro's 20 ms and the GPS's 64 ms have not come, and the
  // accelerometer was switched off. Their values are what the probe printed.
  std::vector<std::vector<std::string>> printed = texts_read(r.out);
  ASSERT_EQ(printed.size(), 8u);
  EXPECT_EQ(printed[1][0].find("nan"), std::string::npos);
  EXPECT_EQ(printed[2][0].find("nan"), std::string::npos);
  auto joined = [](const std::vector<std::string> &texts) {
    return texts.size() == 1 ? texts[0] : texts[0] + "," + texts[1] + "," + texts[2];
  };
  EXPECT_EQ(e2e::read_file(trace),
            "0\t0\trobot_live\t-\t-\n"
            "0\t0\tinertial_unit_enable\tinertial unit\t10\n"
            "0\t0\tgyro_enable\tgyro\t20\n"
            "0\t0\taccelerometer_enable\taccelerometer\t0\n"
            "0\t0\ttouch_sensor_enable\tright touch\t10\n"
            "0\t0\tgps_enable\tgps\t64\n"
            "0\t0\tinertial_unit_get_roll_pitch_yaw\tinertial unit\tnan,nan,nan\n"
            "0\t0\trobot_step\t-\t10\n"
            "1\t10\tinertial_unit_get_roll_pitch_yaw\tinertial unit\t" +
                joined(printed[1]) +
                "\n"
                "1\t10\ttouch_sensor_get_value\tright touch\t" +
                joined(printed[2]) +
                "\n"
                "1\t10\tgyro_get_values\tgyro\tnan,nan,nan\n"
                "1\t10\taccelerometer_get_values\taccelerometer\tnan,nan,nan\n"
                "1\t10\tgps_get_values\tgps\tnan,nan,nan\n"
                "1\t10\tgyro_get_values\tnone\tnan,nan,nan\n"
                "1\t10\tgyro_get_values\t#99\tnan,nan,nan\n");
}

TEST(StandinWorld, ModelWithoutTheInertialSensorsOffersNoneAndMovesTheSame) {
  // The sensors measure and never push: without them, or with one of
  // another type (told once), the robot moves bit for bit as before.
  struct Case {
    const char *what;
    std::vector<std::pair<std::string, std::string>> edits;
    const char *ids;   // what the probe prints for inertial unit, gyro, accelerometer
    const char *told;  // the report after the model's name, or ""
  };
  // clang-format off
  const std::vector<Case> kCases = {
      {"none of the three",
       {{"<framequat name=\"inertial unit\"[^>]*/>", ""}, {"<gyro name=\"gyro\"[^>]*/>", ""},
        {"<accelerometer name=\"accelerometer\"[^>]*/>", ""}, {"<site name=\"imu\"[^>]*/>", ""}},
       "inertial unit 0\ngyro 0\naccelerometer 0\n", ""},
      {"a gyro that measures speed",
       {{"<gyro name=\"gyro\"", "<velocimeter name=\"gyro\""}},
       "inertial unit 32\ngyro 0\naccelerometer 34\n",
       "\": its sensor \"gyro\" is not a gyro; running without the gyro\n"},
  };
  // clang-format on
  const std::string script =
      "live\nget inertial unit\nget gyro\nget accelerometer\nget rleg_joint_3\n"
      "set rleg_joint_3 -0.3\nrepeat 20 step 50\n";
  const Env push = {{"STANDIN_PUSH", "300:6,-4,0:150"}};
  e2e::Result built_in = probe(script, push);
  ASSERT_EQ(built_in.exit_code, 0) << built_in.err;
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.what);
    std::string model = edited_model(c.edits);
    Env env = push;
    env.emplace_back("STANDIN_MODEL", model);
    e2e::Result r = probe(script, env);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, std::string("callback\n") + c.ids + "rleg_joint_3 9\n");
    EXPECT_EQ(r.err, *c.told == '\0' ? "" : "standin: the robot model \"" + model + c.told);
    EXPECT_EQ(r.posture_log, built_in.posture_log);
  }
}

}  // namespace

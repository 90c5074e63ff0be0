// The imperfect robot: each of its settings shows the one behaviour it
// stands for, measured in the posture log and the trace against the
// perfect robot, the physics world being the oracle. Bad values are told
// once and leave the perfect robot; the same settings give the same bytes,
// and none, or each at its default, today's.
#include <gtest/gtest.h>
#include <mujoco/mujoco.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <numbers>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "body_model.h"
#include "e2e_harness.h"

namespace {

using Env = std::vector<std::pair<std::string, std::string>>;
using Rows = std::vector<e2e::PostureRow>;

constexpr double kDegree = std::numbers::pi / 180.0;
constexpr double kGravity = 9.81;

// Runs the probe on `script` in `world` ("physics" or "kinematic").
e2e::Result probe(const std::string &script, const std::string &world, Env env) {
  env.insert(env.begin(), {"STANDIN_WORLD", world});
  return e2e::run({.program = STANDIN_PROBE_PATH,
                   .input = script,
                   .env = std::move(env),
                   .stop_ms = 1000000000});
}

int joint(std::string_view name) {
  for (int i = 0; i < kJointCount; ++i) {
    if (name == kJoints[i].name) return i;
  }
  ADD_FAILURE() << "no joint " << name;
  return 0;
}

// The row logged at `ms`.
const e2e::PostureRow &at(const Rows &rows, long ms) {
  for (const e2e::PostureRow &row : rows) {
    if (row.time_ms == ms) return row;
  }
  ADD_FAILURE() << "no row at " << ms << " ms";
  return rows.front();
}

// The first time after `from` ms at which joint `j` has left its angle then
// by more than `by` rad; -1 if it never does.
long first_move(const Rows &rows, int j, long from, float by) {
  const float still = at(rows, from).rad[j];
  for (const e2e::PostureRow &row : rows) {
    if (row.time_ms > from && std::fabs(row.rad[j] - still) > by) return row.time_ms;
  }
  return -1;
}

// The values the probe's read commands printed for `verb` ("read-gyro", ...).
std::vector<std::vector<double>> values_read(const std::string &out, std::string_view verb) {
  std::vector<std::vector<double>> found;
  std::size_t start = 0;
  for (std::size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string_view line = std::string_view(out).substr(start, end - start);
    if (!line.starts_with(verb)) continue;
    std::vector<std::string_view> words = e2e::words(line);
    std::vector<double> values;
    for (std::size_t k = words.size() - 3; k < words.size(); ++k)
      values.push_back(std::stod(std::string(words[k])));
    found.push_back(values);
  }
  return found;
}

// The chest's share of the robot's mass, from the model itself.
double chest_share() {
  char error[512] = "";
  mjModel *m = mj_loadXML(ROBOT_MODEL_PATH, nullptr, error, sizeof error);
  EXPECT_NE(m, nullptr) << error;
  if (m == nullptr) return 0.0;
  double share = m->body_mass[mj_name2id(m, mjOBJ_BODY, "chest")] / m->body_subtreemass[0];
  mj_deleteModel(m);
  return share;
}

// The perfect robot and the imperfect one, on one script in one world.
struct Pair {
  e2e::Result perfect;
  e2e::Result imperfect;
  Rows perfect_rows;
  Rows rows;
};

// One setting and the behaviour it must show.
struct Behaviour {
  const char *what;
  const char *world;
  Env settings;  // the imperfect robot's
  Env both;      // what both robots share: their posture, say
  std::string script;
  std::function<void(const Pair &)> shows;
};

const std::string kStand = "live\nrepeat 100 step 10\n";

// A 10 ms loop reading the inertial unit, the gyro and the accelerometer
// at every step, `steps` steps long.
std::string every_step_read(int steps) {
  std::string script =
      "live\nget inertial unit\nget gyro\nget accelerometer\nimu inertial unit 10\n"
      "gyro gyro 10\nacc accelerometer 10\n";
  for (int n = 0; n < steps; ++n)
    script += "step 10\nread-imu inertial unit\nread-gyro gyro\nread-acc accelerometer\n";
  return script;
}

std::vector<Behaviour> behaviours() {
  const int roll = joint("larm_joint_2");   // the shoulder's roll: the arm hangs unloaded
  const int pitch = joint("larm_joint_1");  // the shoulder's pitch: the arm swings fore and aft
  const int head = joint("head_joint_1");
  // A command at 100 ms, 2 ms steps: the first movement's time.
  const std::string command_at_100 =
      "live\nget larm_joint_2\nrepeat 50 step 2\nset larm_joint_2 0.3\nrepeat 40 step 2\n";
  auto delay = [roll](float by) {
    return [roll, by](const Pair &p) {
      long perfect = first_move(p.perfect_rows, roll, 100, by);
      long late = first_move(p.rows, roll, 100, by);
      EXPECT_EQ(perfect, 102) << "the perfect servo moves in the step after the command";
      EXPECT_EQ(late - perfect, 30);
    };
  };
  // Half a band, then three bands: the first moves nothing.
  const std::string small_then_large =
      "live\nget larm_joint_2\nrepeat 50 step 10\nset larm_joint_2 0.005\nrepeat 50 step 10\n"
      "set larm_joint_2 0.03\nrepeat 50 step 10\n";
  auto band = [roll](float still) {
    return [roll, still](const Pair &p) {
      EXPECT_NEAR(at(p.perfect_rows, 1000).rad[roll], 0.005, 1e-4);
      EXPECT_NEAR(at(p.rows, 1000).rad[roll], 0.0, still) << "a command within the band moved";
      EXPECT_NEAR(at(p.rows, 1500).rad[roll], 0.03, 5e-4) << "a command beyond it did not";
    };
  };
  // The arm held forward, then back: gravity's pull on the shoulder reverses.
  const std::string forward_then_back =
      "live\nget larm_joint_1\nrepeat 100 step 10\nset larm_joint_1 -0.8\nrepeat 100 step 10\n";
  auto play = [pitch](const Rows &rows) {
    return (at(rows, 2000).rad[pitch] + 0.8) - (at(rows, 1000).rad[pitch] - 0.8);
  };
  // The servos' own reading against the body's.
  const std::string read_back =
      "live\nget larm_joint_2\nenable larm_joint_2 10\nrepeat 50 step 10\npos larm_joint_2\n"
      "set larm_joint_2 0.3\nrepeat 50 step 10\npos larm_joint_2\n";
  auto offset = [roll](float tolerance) {
    return [roll, tolerance](const Pair &p) {
      std::vector<e2e::TraceLine> reads = e2e::calls(p.imperfect.trace, "servo_get_position");
      ASSERT_EQ(reads.size(), 2u);
      EXPECT_NEAR(e2e::to_float(reads[0].value), 0.1, tolerance) << "read back as commanded";
      EXPECT_NEAR(e2e::to_float(reads[1].value), 0.3, tolerance);
      EXPECT_NEAR(at(p.rows, 500).rad[roll], 0.15, tolerance) << "the body sits 0.05 off";
      EXPECT_NEAR(at(p.rows, 1000).rad[roll], 0.35, tolerance);
      EXPECT_NEAR(at(p.rows, 1000).rad[roll] - e2e::to_float(reads[1].value), 0.05, 1e-6);
    };
  };
  // Standing on a slope 3 degrees down ahead (about y) or to the right (about x).
  const std::string stand_and_read =
      "live\nget inertial unit\nimu inertial unit 10\nrepeat 100 step 10\nread-imu inertial unit\n";
  auto lean = [](int axis) {
    return [axis](const Pair &p) {
      const e2e::PostureRow &end = p.rows.back();
      EXPECT_GT(end.tilt, 3.0 * kDegree) << "it leans with the floor";
      EXPECT_LT(end.tilt, 4.5 * kDegree) << "and a little more, the servos giving";
      std::vector<std::vector<double>> rpy = values_read(p.imperfect.out, "read-imu");
      ASSERT_EQ(rpy.size(), 1u);
      // The inertial unit sees the slope: the floor turned, not gravity.
      EXPECT_GT(rpy[0][axis], 2.9 * kDegree) << (axis == 0 ? "roll, leaning right" : "pitch");
      // Held by the rubber soles: it leans, and stays where it stands.
      EXPECT_NEAR(end.gps[0], at(p.rows, 200).gps[0], 0.002);
      EXPECT_NEAR(end.gps[1], at(p.rows, 200).gps[1], 0.002);
      // Leaning down the slope (ahead, or to the right): the pelvis at
      // least its height times sin 3° that way, and no way across.
      double down = axis == 1 ? end.gps[0] - p.perfect_rows.back().gps[0]
                              : p.perfect_rows.back().gps[1] - end.gps[1];
      EXPECT_GT(down, end.gps[2] * std::sin(3 * kDegree));
      EXPECT_NEAR(end.gps[axis], p.perfect_rows.back().gps[axis], 0.003);
    };
  };
  return {
      {"latency, kinematic",
       "kinematic",
       {{"STANDIN_SERVO_LATENCY", "30"}},
       {},
       command_at_100,
       delay(0.0f)},
      {"latency, physics",
       "physics",
       {{"STANDIN_SERVO_LATENCY", "30"}},
       {},
       command_at_100,
       delay(1e-4f)},
      {"deadband, kinematic",
       "kinematic",
       {{"STANDIN_SERVO_DEADBAND", "0.01"}},
       {},
       small_then_large,
       band(0.0f)},
      {"deadband, physics",
       "physics",
       {{"STANDIN_SERVO_DEADBAND", "0.01"}},
       {},
       small_then_large,
       band(1e-5f)},
      {"backlash",
       "physics",
       {{"STANDIN_SERVO_BACKLASH", "0.02"}},
       {{"STANDIN_POSTURE", "larm_joint_1=0.8"}},
       forward_then_back,
       [play](const Pair &p) {
         // The perfect servo's own give, both ways, plus the gear's play.
         EXPECT_GT(play(p.perfect_rows), 0.003);
         EXPECT_NEAR(play(p.rows) - play(p.perfect_rows), 0.02, 0.002);
       }},
      {"offsets, kinematic",
       "kinematic",
       {{"STANDIN_SERVO_OFFSETS", "larm_joint_2=0.05, rleg_joint_3=-0.02"}},
       {{"STANDIN_POSTURE", "larm_joint_2=0.1"}},
       read_back,
       offset(1e-6f)},
      {"offsets, physics",
       "physics",
       {{"STANDIN_SERVO_OFFSETS", "larm_joint_2=0.05, rleg_joint_3=-0.02"}},
       {{"STANDIN_POSTURE", "larm_joint_2=0.1"}},
       read_back,
       offset(0.003f)},
      {"strength",
       "physics",
       {{"STANDIN_SERVO_STRENGTH", "0.5"}},
       {{"STANDIN_POSTURE", "larm_joint_1=0.8"}},
       "live\nget head_joint_1\nrepeat 100 step 10\nset head_joint_1 1\nrepeat 200 step 2\n",
       [pitch, head](const Pair &p) {
         // Half the stiffness: the arm held forward sags twice as far.
         double sag = at(p.perfect_rows, 1000).rad[pitch] - 0.8;
         EXPECT_NEAR((at(p.rows, 1000).rad[pitch] - 0.8) / sag, 2.0, 0.1);
         // Half the speed: the head takes twice as long to turn half way.
         auto half_way = [head](const Rows &rows) {
           for (const e2e::PostureRow &row : rows)
             if (row.rad[head] > 0.5f) return row.time_ms - 1000;
           return -1L;
         };
         EXPECT_NEAR(static_cast<double>(half_way(p.rows)) / half_way(p.perfect_rows), 2.0, 0.1);
       }},
      {"mass scale",
       "physics",
       {{"STANDIN_MASS_SCALE", "1.25"}},
       {},
       kStand,
       [](const Pair &p) {
         auto weight = [](const e2e::PostureRow &row) { return row.touch[0] + row.touch[1]; };
         EXPECT_NEAR(weight(p.rows.back()) / weight(p.perfect_rows.back()), 1.25, 0.005);
         EXPECT_NEAR(p.rows.back().gps[2], p.perfect_rows.back().gps[2], 0.001) << "it stands";
       }},
      {"centre of mass shift",
       "physics",
       {{"STANDIN_COM_SHIFT", "20,-10"}},
       {},
       kStand,
       [](const Pair &p) {
         // At the start, before the robot leans: the chest's share of the shift.
         double share = chest_share();
         EXPECT_NEAR(p.rows[0].com[0] - p.perfect_rows[0].com[0], 0.020 * share, 3e-4);
         EXPECT_NEAR(p.rows[0].com[1] - p.perfect_rows[0].com[1], -0.010 * share, 3e-4);
         // And the robot leans no way but with it.
         EXPECT_GT(p.rows.back().com[0], p.perfect_rows.back().com[0] + 0.020 * share);
         EXPECT_LT(p.rows.back().com[1], p.perfect_rows.back().com[1] - 0.010 * share);
       }},
      {"slope down ahead",
       "physics",
       {{"STANDIN_FLOOR_SLOPE", "0,3"}},
       {},
       stand_and_read,
       lean(1)},
      {"slope down to the right",
       "physics",
       {{"STANDIN_FLOOR_SLOPE", "3,0"}},
       {},
       stand_and_read,
       lean(0)},
      {"slippery slope",
       "physics",
       {{"STANDIN_FLOOR_SLOPE", "0,3"}, {"STANDIN_FLOOR_FRICTION", "0.03"}},
       {},
       kStand,
       [](const Pair &p) {
         // A block on an incline: a = g (sin 3° - 0.03 cos 3°), from rest.
         double a = kGravity * (std::sin(3 * kDegree) - 0.03 * std::cos(3 * kDegree));
         double slid = (p.rows.back().gps[0] - p.rows[0].gps[0]) / std::cos(3 * kDegree);
         EXPECT_NEAR(slid, a / 2, 0.15 * a / 2);
       }},
      {"grippy slope",
       "physics",
       {{"STANDIN_FLOOR_SLOPE", "0,3"}, {"STANDIN_FLOOR_FRICTION", "0.1"}},
       {},
       kStand,
       [](const Pair &p) {
         EXPECT_NEAR(p.rows.back().gps[0], at(p.rows, 200).gps[0], 0.002) << "it slid";
       }},
      {"bumps",
       "physics",
       {{"STANDIN_FLOOR_BUMPS", "5:1"}},
       {},
       kStand,
       [](const Pair &p) {
         // Standing on the bumps, up to 5 mm higher, and off the level.
         float raised = p.rows.back().gps[2] - p.perfect_rows.back().gps[2];
         EXPECT_GT(raised, 0.001f);
         EXPECT_LT(raised, 0.005f);
         EXPECT_GT(p.rows.back().tilt, p.perfect_rows.back().tilt + 0.002f);
         EXPECT_GT(p.rows.back().tilt, p.rows[0].tilt) << "it settles onto them from upright";
       }},
      {"sensor noise",
       "physics",
       {{"STANDIN_SENSOR_NOISE", "0.01"}},
       {},
       every_step_read(200),
       [](const Pair &p) {
         EXPECT_EQ(p.imperfect.posture_log, p.perfect.posture_log) << "noise only measures";
         for (const char *verb : {"read-imu", "read-gyro", "read-acc"}) {
           SCOPED_TRACE(verb);
           std::vector<std::vector<double>> noisy = values_read(p.imperfect.out, verb);
           std::vector<std::vector<double>> exact = values_read(p.perfect.out, verb);
           ASSERT_EQ(noisy.size(), 200u);
           ASSERT_EQ(exact.size(), 200u);
           // The difference's spread, over every sample and axis.
           double sum = 0.0;
           double squares = 0.0;
           for (std::size_t n = 0; n < noisy.size(); ++n) {
             for (int k = 0; k < 3; ++k) {
               double d = noisy[n][k] - exact[n][k];
               sum += d;
               squares += d * d;
             }
           }
           double mean = sum / 600;
           EXPECT_NEAR(mean, 0.0, 0.002);
           EXPECT_NEAR(std::sqrt(squares / 600 - mean * mean), 0.01, 0.001);
         }
       }},
  };
}

TEST(ImperfectRobot, EachSettingShowsItsBehaviour) {
  for (const Behaviour &b : behaviours()) {
    SCOPED_TRACE(b.what);
    Pair p;
    p.perfect = probe(b.script, b.world, b.both);
    Env env = b.both;
    env.insert(env.end(), b.settings.begin(), b.settings.end());
    p.imperfect = probe(b.script, b.world, env);
    ASSERT_EQ(p.perfect.exit_code, 0) << p.perfect.err;
    ASSERT_EQ(p.imperfect.exit_code, 0) << p.imperfect.err;
    EXPECT_EQ(p.perfect.err, "");
    EXPECT_EQ(e2e::count(p.imperfect.err, "standin: the imperfect robot: "), 1) << p.imperfect.err;
    EXPECT_EQ(e2e::count(p.imperfect.err, "fell"), 0) << p.imperfect.err;
    p.perfect_rows = e2e::parse_posture_log(p.perfect.posture_log);
    p.rows = e2e::parse_posture_log(p.imperfect.posture_log);
    ASSERT_FALSE(p.rows.empty());
    ASSERT_EQ(p.rows.size(), p.perfect_rows.size());
    b.shows(p);
  }
}

}  // namespace

namespace {

// Every setting at once, each off its default.
const Env kEverySetting = {{"STANDIN_SERVO_LATENCY", "20"},
                           {"STANDIN_SERVO_BACKLASH", "0.004"},
                           {"STANDIN_SERVO_DEADBAND", "0.002"},
                           {"STANDIN_SERVO_OFFSETS", "rleg_joint_3=0.02,lleg_joint_2=-0.015"},
                           {"STANDIN_SERVO_STRENGTH", "0.9"},
                           {"STANDIN_MASS_SCALE", "1.1"},
                           {"STANDIN_COM_SHIFT", "5,-3"},
                           {"STANDIN_FLOOR_FRICTION", "0.7"},
                           {"STANDIN_FLOOR_SLOPE", "1,-2"},
                           {"STANDIN_FLOOR_BUMPS", "3:42"},
                           {"STANDIN_SENSOR_NOISE", "0.01:7"}};

// Swings an arm and reads every inertial sensor, 1 s in 10 ms steps.
std::string arm_swing() {
  std::string script = every_step_read(0) + "get rarm_joint_1\n";
  for (int n = 0; n < 100; ++n) {
    script += "set rarm_joint_1 " + std::to_string(n < 50 ? 0.02 * n : 1.0 - 0.02 * (n - 50)) +
              "\nstep 10\nread-imu inertial unit\nread-gyro gyro\nread-acc accelerometer\n";
  }
  return script;
}

// The settings the run said it took, as the environment gives them.
Env told(const std::string &err) {
  const std::string prefix = "standin: the imperfect robot: ";
  std::size_t start = err.find(prefix);
  if (start == std::string::npos) return {};
  start += prefix.size();
  Env settings;
  for (std::string_view word :
       e2e::words(std::string_view(err).substr(start, err.find('\n', start) - start))) {
    std::size_t equals = word.find('=');
    settings.emplace_back(word.substr(0, equals), word.substr(equals + 1));
  }
  return settings;
}

TEST(ImperfectRobot, SameSettingsGiveTheSameLogAndTheToldLineGivesTheSameRobot) {
  const std::string dir = e2e::temp_dir();
  Env traced = kEverySetting;
  traced.emplace_back("STANDIN_TRACE", dir + "/first.tsv");
  const e2e::Result first = probe(arm_swing(), "physics", traced);
  traced.back().second = dir + "/second.tsv";
  const e2e::Result second = probe(arm_swing(), "physics", traced);
  ASSERT_EQ(first.exit_code, 0) << first.err;
  EXPECT_EQ(first.posture_log, second.posture_log);
  EXPECT_EQ(first.out, second.out) << "the noisy sensors read the same";
  EXPECT_EQ(e2e::read_file(dir + "/first.tsv"), e2e::read_file(dir + "/second.tsv"));
  // One line, every setting, in the environment's words and order.
  EXPECT_EQ(first.err,
            "standin: the imperfect robot: STANDIN_SERVO_LATENCY=20 STANDIN_SERVO_BACKLASH=0.004 "
            "STANDIN_SERVO_DEADBAND=0.002 "
            "STANDIN_SERVO_OFFSETS=lleg_joint_2=-0.015,rleg_joint_3=0.02 "
            "STANDIN_SERVO_STRENGTH=0.9 STANDIN_MASS_SCALE=1.1 STANDIN_COM_SHIFT=5,-3 "
            "STANDIN_FLOOR_FRICTION=0.7 STANDIN_FLOOR_SLOPE=1,-2 STANDIN_FLOOR_BUMPS=3:42 "
            "STANDIN_SENSOR_NOISE=0.01:7\n");
  // What it told runs the same robot.
  const e2e::Result again = probe(arm_swing(), "physics", told(first.err));
  EXPECT_EQ(again.posture_log, first.posture_log);
  EXPECT_EQ(again.err, first.err);
  // Another seed is another floor, and other noise.
  Env reseeded = kEverySetting;
  reseeded.emplace_back("STANDIN_FLOOR_BUMPS", "3:43");
  reseeded.emplace_back("STANDIN_SENSOR_NOISE", "0.01:8");
  const e2e::Result other = probe(arm_swing(), "physics", reseeded);
  EXPECT_NE(other.posture_log, first.posture_log);
  EXPECT_NE(other.out, first.out);
}

TEST(ImperfectRobot, NoneSetOrEachAtItsDefaultKeepsTodaysBytes) {
  for (const char *world : {"physics", "kinematic"}) {
    SCOPED_TRACE(world);
    const e2e::Result none = probe(arm_swing(), world, {});
    const e2e::Result defaults = probe(arm_swing(), world,
                                       {{"STANDIN_SERVO_LATENCY", "0"},
                                        {"STANDIN_SERVO_BACKLASH", "0"},
                                        {"STANDIN_SERVO_DEADBAND", "0"},
                                        {"STANDIN_SERVO_OFFSETS", "rleg_joint_3=0"},
                                        {"STANDIN_SERVO_STRENGTH", "1"},
                                        {"STANDIN_MASS_SCALE", "1"},
                                        {"STANDIN_COM_SHIFT", "0,0"},
                                        {"STANDIN_FLOOR_SLOPE", "0,0"},
                                        {"STANDIN_FLOOR_BUMPS", "0:3"},
                                        {"STANDIN_SENSOR_NOISE", "0"}});
    EXPECT_EQ(none.err, "");
    EXPECT_EQ(defaults.err, "") << "nothing in effect, nothing told";
    EXPECT_EQ(defaults.posture_log, none.posture_log);
    EXPECT_EQ(defaults.out, none.out);
  }
  // The bumps' height field waits in the built-in model, neither touching
  // nor showing: without it the robot moves bit for bit the same.
  std::string model = e2e::read_file(ROBOT_MODEL_PATH);
  std::string flat =
      std::regex_replace(model, std::regex("\\s*<(hfield|geom) name=\"bumps\"[^>]*/>"), "");
  ASSERT_EQ(e2e::count(model, "name=\"bumps\""), 2);
  ASSERT_EQ(e2e::count(flat, "name=\"bumps\""), 0);
  const std::string path = e2e::temp_dir() + "/flat.xml";
  e2e::write_file(path, flat);
  EXPECT_EQ(probe(arm_swing(), "physics", {{"STANDIN_MODEL", path}}).posture_log,
            probe(arm_swing(), "physics", {}).posture_log);
}

TEST(ImperfectRobot, BadValueIsToldInOneLineAndTheDefaultKept) {
  struct Bad {
    const char *variable;
    const char *value;
    const char *told;  // after "standin: "
  };
  const Bad table[] = {
      // variable                 value          told
      {"STANDIN_SERVO_LATENCY", "1001",
       "STANDIN_SERVO_LATENCY=\"1001\" is not a whole number of ms from 0 to 1000; no latency"},
      {"STANDIN_SERVO_LATENCY", "12.5", "STANDIN_SERVO_LATENCY=\"12.5\" is not a whole number"},
      {"STANDIN_SERVO_LATENCY", "-1", "STANDIN_SERVO_LATENCY=\"-1\" is not a whole number"},
      {"STANDIN_SERVO_BACKLASH", "0.3",
       "STANDIN_SERVO_BACKLASH=\"0.3\" is not an angle from 0 to 0.2 rad; no backlash"},
      {"STANDIN_SERVO_BACKLASH", "-0.01", "STANDIN_SERVO_BACKLASH=\"-0.01\" is not an angle"},
      {"STANDIN_SERVO_DEADBAND", "wide",
       "STANDIN_SERVO_DEADBAND=\"wide\" is not an angle from 0 to 0.2 rad; no deadband"},
      {"STANDIN_SERVO_OFFSETS", "rleg_joint_3=0.6",
       "STANDIN_SERVO_OFFSETS: \"rleg_joint_3=0.6\" is not name=radians from -0.5 to 0.5; "
       "ignored"},
      {"STANDIN_SERVO_OFFSETS", "knee=0.1",
       "STANDIN_SERVO_OFFSETS: no servo is named \"knee\"; ignored"},
      {"STANDIN_SERVO_OFFSETS", "gyro=0.1",
       "STANDIN_SERVO_OFFSETS: no servo is named \"gyro\"; ignored"},
      {"STANDIN_SERVO_STRENGTH", "0",
       "STANDIN_SERVO_STRENGTH=\"0\" is not a factor from 0.1 to 2; full strength"},
      {"STANDIN_SERVO_STRENGTH", "nan", "STANDIN_SERVO_STRENGTH=\"nan\" is not a factor"},
      {"STANDIN_MASS_SCALE", "2.5",
       "STANDIN_MASS_SCALE=\"2.5\" is not a factor from 0.5 to 2; the model's masses"},
      {"STANDIN_COM_SHIFT", "10",
       "STANDIN_COM_SHIFT=\"10\" is not X,Y in mm, each from -50 to 50; the model's centre of "
       "mass"},
      {"STANDIN_COM_SHIFT", "0,60", "STANDIN_COM_SHIFT=\"0,60\" is not X,Y"},
      {"STANDIN_COM_SHIFT", "1,2,3", "STANDIN_COM_SHIFT=\"1,2,3\" is not X,Y"},
      {"STANDIN_FLOOR_FRICTION", "0",
       "STANDIN_FLOOR_FRICTION=\"0\" is not a friction from 0.01 to 5; the model's friction"},
      {"STANDIN_FLOOR_SLOPE", "3",
       "STANDIN_FLOOR_SLOPE=\"3\" is not DEG_X,DEG_Y, each from -30 to 30 degrees; a level floor"},
      {"STANDIN_FLOOR_SLOPE", "31,0", "STANDIN_FLOOR_SLOPE=\"31,0\" is not DEG_X,DEG_Y"},
      {"STANDIN_FLOOR_BUMPS", "5",
       "STANDIN_FLOOR_BUMPS=\"5\" is not MM:SEED (a height from 0 to 30 mm, a whole number seed "
       "from 0); a flat floor"},
      {"STANDIN_FLOOR_BUMPS", "40:1", "STANDIN_FLOOR_BUMPS=\"40:1\" is not MM:SEED"},
      {"STANDIN_FLOOR_BUMPS", "5:-1", "STANDIN_FLOOR_BUMPS=\"5:-1\" is not MM:SEED"},
      {"STANDIN_SENSOR_NOISE", "0.1:x",
       "STANDIN_SENSOR_NOISE=\"0.1:x\" is not SD or SD:SEED (a standard deviation from 0 to 1, "
       "a whole number seed from 0); no noise"},
      {"STANDIN_SENSOR_NOISE", "-0.1", "STANDIN_SENSOR_NOISE=\"-0.1\" is not SD"},
  };
  const std::string script = every_step_read(20);
  const e2e::Result perfect = probe(script, "physics", {});
  for (const Bad &bad : table) {
    SCOPED_TRACE(std::string(bad.variable) + "=" + bad.value);
    const e2e::Result r = probe(script, "physics", {{bad.variable, bad.value}});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err.rfind(std::string("standin: ") + bad.told, 0), 0u) << r.err;
    EXPECT_EQ(e2e::count(r.err, "\n"), 1) << r.err;
    EXPECT_EQ(r.posture_log, perfect.posture_log) << "the perfect robot";
    EXPECT_EQ(r.out, perfect.out);
  }
}

TEST(ImperfectRobot, SettingAWorldOrModelCannotTakeIsToldInOneLine) {
  // The kinematic world: latency, deadband and offsets, one line for the rest.
  e2e::Result r = probe("live\nstep 10\n", "kinematic", kEverySetting);
  EXPECT_EQ(r.err,
            "standin: the kinematic world has no body, floor or inertial sensors: it ignores "
            "STANDIN_SERVO_BACKLASH, STANDIN_SERVO_STRENGTH, STANDIN_MASS_SCALE, "
            "STANDIN_COM_SHIFT, STANDIN_FLOOR_FRICTION, STANDIN_FLOOR_SLOPE, "
            "STANDIN_FLOOR_BUMPS, STANDIN_SENSOR_NOISE\n"
            "standin: the imperfect robot: STANDIN_SERVO_LATENCY=20 STANDIN_SERVO_DEADBAND=0.002 "
            "STANDIN_SERVO_OFFSETS=lleg_joint_2=-0.015,rleg_joint_3=0.02\n");
  // A model without a chest or a height field for bumps.
  std::string model = e2e::read_file(ROBOT_MODEL_PATH);
  model = std::regex_replace(model, std::regex("name=\"chest\""), "name=\"trunk\"");
  model = std::regex_replace(model, std::regex("geom name=\"bumps\""), "geom name=\"gravel\"");
  const std::string path = e2e::temp_dir() + "/other.xml";
  e2e::write_file(path, model);
  r = probe("live\nstep 10\n", "physics",
            {{"STANDIN_MODEL", path},
             {"STANDIN_COM_SHIFT", "10,0"},
             {"STANDIN_FLOOR_BUMPS", "5:1"},
             {"STANDIN_MASS_SCALE", "0.9"}});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "standin: STANDIN_COM_SHIFT: the robot model \"" + path +
                       "\" has no body named \"chest\"; the model's centre of mass\n"
                       "standin: STANDIN_FLOOR_BUMPS: the robot model \"" +
                       path +
                       "\" has no height field geom \"bumps\" in its world body; a flat floor\n"
                       "standin: the imperfect robot: STANDIN_MASS_SCALE=0.9\n");
}

}  // namespace

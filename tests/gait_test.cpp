// The gait engine offline, on the built-in robot: the preview control, the
// feet kept apart, and the engine stepped through commands as the walker
// gives them, where the plan must keep within the servo speed, keep the
// soles apart, take a change at the next step and stand after a stop. The
// walks themselves are held against the physics world in walker_walk_test.
#include "gait.h"

#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cmath>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "e2e_harness.h"
#include "footsteps.h"
#include "preview.h"
#include "servo_lag.h"

namespace {

using robot::kLeft;
using robot::kRight;

const robot::Model &built_in() {
  static const std::unique_ptr<robot::Model> model = [] {
    std::string error;
    auto m = robot::Model::load("", &error);
    EXPECT_NE(m, nullptr) << error;
    return m;
  }();
  return *model;
}

// --- The preview control -------------------------------------------------

// The pressure centre follows a reference it has seen coming: after a step
// of 5 cm the error settles under 0.1 mm and the centre of mass comes to
// rest on it; the pressure centre stays within the step's span (no
// overshoot that would leave the foot); the centre of mass starts early.
TEST(PreviewGains, FollowStepsOfTheReferenceAtEveryHeightAndPeriod) {
  // com height m  step m  period s
  struct Case {
    double height, step, dt;
  };
  constexpr Case cases[] = {{0.20, 0.05, 0.005}, {0.25, -0.05, 0.01}, {0.30, 0.034, 0.002}};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.height << " m, " << c.dt << " s");
    const int preview = static_cast<int>(std::lround(1.0 / c.dt));
    const gait::PreviewGains gains(c.height, 9.81, c.dt, preview);
    const std::size_t n = static_cast<std::size_t>(std::lround(6.0 / c.dt));
    const std::size_t at = n / 3;
    std::vector<double> ref(n, 0.0);
    for (std::size_t i = at; i < n; ++i) ref[i] = c.step;
    const auto track = gains.track(ref);
    double late = 0.0, beyond = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      if (i > at + n / 6) late = std::max(late, std::fabs(track.zmp[i] - ref[i]));
      const double lo = std::min(0.0, c.step), hi = std::max(0.0, c.step);
      beyond = std::max({beyond, lo - track.zmp[i], track.zmp[i] - hi});
    }
    EXPECT_LT(late, 1e-4);
    EXPECT_LT(beyond, 0.1 * std::fabs(c.step));
    EXPECT_NEAR(track.com.back(), c.step, 1e-4);
    EXPECT_GT(std::fabs(track.com[at - 1]), 1e-3) << "it saw the step coming";
  }
}

// --- The feet ------------------------------------------------------------

// A swing foot's target is moved, if it must be, so that its toes never
// turn in toward the standing foot and every corner keeps the clearance
// beyond the standing sole's inner edge, whichever foot swings.
TEST(KeepFeetApart, NoTargetCrossesOrMeetsTheStandingSole) {
  gait::FeetShape shape;
  shape.width = 0.088;
  shape.sole = Eigen::Vector2d(0.13, 0.074);
  // swing  target in the stance frame: x, y (for the left; mirrored for the right), yaw
  struct Case {
    double x, y, yaw;
  };
  constexpr Case cases[] = {
      {0.0, 0.088, 0.0},  {0.05, 0.03, 0.0},  {0.0, -0.05, 0.0}, {0.0, 0.088, -0.3},
      {0.06, 0.09, 0.35}, {-0.06, 0.07, 0.2}, {0.0, 0.085, 0.5}, {0.1, 0.0, -0.1},
  };
  const gait::Place stance{Eigen::Vector2d(0.3, -0.2), 0.7};
  for (const robot::Side swing : {kLeft, kRight}) {
    const double s = swing == kLeft ? 1.0 : -1.0;
    for (const Case &c : cases) {
      SCOPED_TRACE(testing::Message()
                   << (swing == kLeft ? "left " : "right ") << c.x << " " << c.y << " " << c.yaw);
      const gait::Place asked = gait::Place{gait::offset(stance, Eigen::Vector2d(c.x, s * c.y)).at,
                                            stance.yaw + s * c.yaw};
      const gait::Place kept = gait::keep_feet_apart(stance, swing, asked, shape);
      // Each sole's corners beyond the other's inner edge, by the clearance.
      auto nearest = [&](const gait::Place &target) {
        const gait::Place seen = gait::relative(stance, target);
        const gait::Place back = gait::relative(target, stance);
        double mine = INFINITY, theirs = INFINITY;
        for (double along : {-0.065, 0.065})
          for (double across : {-0.037, 0.037}) {
            const Eigen::Vector2d corner(along, across);
            mine = std::min(mine, s * (seen.at + gait::rotation(seen.yaw) * corner).y());
            theirs = std::min(theirs, -s * (back.at + gait::rotation(back.yaw) * corner).y());
          }
        return std::min(mine, theirs);
      };
      const double least = 0.037 + gait::FeetShape::kClearance;
      EXPECT_GE(s * gait::relative(stance, kept).yaw, -1e-12) << "toes in";
      EXPECT_GE(nearest(kept), least - 1e-9);
      // A target already clear stays where it was asked.
      if (s * c.yaw >= 0.0 && nearest(asked) > least + 1e-6) {
        EXPECT_LT((kept.at - asked.at).norm(), 1e-12);
      }
    }
  }
}

// The swing foot lifts and lands in place at zero speed, reaches its lift
// at mid-swing, and turns only while it is clear of the floor.
TEST(SwingFoot, LiftsAndLandsInPlaceAtRestAndTurnsInTheAir) {
  const gait::Place from{Eigen::Vector2d(0.0, 0.044), 0.0};
  const gait::Place to{Eigen::Vector2d(0.08, 0.05), 0.2};
  const double h = 1e-4;
  for (double edge : {0.0, 0.1}) {
    for (double s : {0.0, 1.0}) {
      const gait::Foot at = gait::swing_foot(from, to, 0.03, s, edge);
      const gait::Foot near = gait::swing_foot(from, to, 0.03, s == 0.0 ? h : 1.0 - h, edge);
      EXPECT_NEAR(at.at.z(), 0.0, 1e-12);
      EXPECT_LT((near.at - at.at).norm() / h, 0.05) << "moving at s = " << s;
    }
    EXPECT_NEAR(gait::swing_foot(from, to, 0.03, 0.5, edge).at.z(), 0.03, 1e-12);
  }
  // Level travel within the edges: the foot is clear before it moves.
  EXPECT_NEAR(gait::swing_foot(from, to, 0.03, 0.08, 0.1).at.x(), 0.0, 1e-12);
  EXPECT_NEAR(gait::swing_foot(from, to, 0.03, gait::kTurnFrom, 0.0).yaw, 0.0, 1e-12);
  EXPECT_NEAR(gait::swing_foot(from, to, 0.03, gait::kTurnTo, 0.0).yaw, 0.2, 1e-12);
}

// --- The engine ------------------------------------------------------------

// The soles' rectangles on the floor; true when the two come within the
// clearance of each other (checked on each corner against the other sole).
bool soles_meet(const std::array<gait::Foot, 2> &feet) {
  for (robot::Side a : {kLeft, kRight}) {
    const gait::Foot &mine = feet[a];
    const gait::Foot &theirs = feet[gait::other(a)];
    const gait::Place frame{theirs.at.head<2>(), theirs.yaw};
    for (double along : {-0.065, 0.065})
      for (double across : {-0.037, 0.037}) {
        const Eigen::Vector2d corner =
            mine.at.head<2>() + gait::rotation(mine.yaw) * Eigen::Vector2d(along, across);
        const gait::Place seen = gait::relative(frame, gait::Place{corner, 0.0});
        if (std::fabs(seen.at.x()) < 0.065 + 0.005 && std::fabs(seen.at.y()) < 0.037 + 0.005)
          return true;
      }
  }
  return false;
}

struct Watched {
  double fastest = 0.0;
  bool fault = false;
  bool met = false;
  long held = 0;
};

// Steps `engine` for `seconds`, watching the plan.
Watched step_for(gait::Engine &engine, double seconds, Watched run = {}) {
  const double end = engine.status().time + seconds;
  while (engine.status().time < end - 1e-9) {
    engine.step(gait::Sensors::none());
    run.met |= soles_meet(engine.status().feet);
  }
  run.fastest = engine.status().fastest;
  run.fault = engine.status().fault.any;
  run.held = engine.status().speed_held;
  return run;
}

// Every command the walker may give, and changes between them: the plan
// never asks a joint for more than the servo speed, the legs always reach,
// and the soles never meet, turning or stepping sideways.
TEST(Engine, EveryCommandWithinTheLimitsKeepsToTheServoSpeedAndTheSolesApart) {
  gait::Engine engine(built_in(), gait::Settings{});
  const gait::Limits &l = engine.limits();
  // Within the servo speed: the walker reaches 0.25 m/s forward at least.
  EXPECT_GE(l.forward, 0.25);
  EXPECT_GT(l.backward, 0.1);
  EXPECT_GT(l.sideways, 0.04);
  EXPECT_GT(l.turn, 0.4);
  // forward  left  turn, each as a share of its limit
  struct Case {
    double forward, left, turn;
  };
  constexpr Case cases[] = {
      {1, 0, 0},  {-1, 0, 0},    {0, 1, 0},     {0, -1, 0},        {0, 0, 1},      {0, 0, -1},
      {0, 0, 0},  {0.5, 0.5, 0}, {0.5, 0, 0.5}, {-0.4, -0.3, 0.3}, {0, 0.5, -0.5}, {1, 0, 0},
      {-1, 0, 0}, {0, -1, 0},    {0, 0, 1},     {0.3, 0.3, 0.3},
  };
  engine.start(Posture{});
  Watched run = step_for(engine, 1.5);
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.forward << " " << c.left << " " << c.turn);
    const gait::Velocity asked{c.forward * (c.forward >= 0 ? l.forward : l.backward),
                               c.left * l.sideways, c.turn * l.turn};
    engine.walk(gait::clamp(asked, l));
    run = step_for(engine, 2.0, run);
    EXPECT_LE(run.fastest, gait::Settings{}.servo_speed * (1.0 + 1e-9));
    EXPECT_EQ(run.held, 0);
    EXPECT_FALSE(run.fault);
    EXPECT_FALSE(run.met);
  }
  engine.stop();
  run = step_for(engine, 2.0, run);
  EXPECT_EQ(engine.status().phase, gait::Phase::kStanding);
  EXPECT_FALSE(run.met);
}

// A walk asked while the robot bends goes from the bend to walking. A
// change of command waits for the next step: the step under way lands
// where it was going. A stop finishes the step under way, brings the feet
// together at the standing width, parallel, and stands; with the centre of
// mass between the feet, at rest.
TEST(Engine, ChangesTakeEffectAtTheNextStepAndAStopStandsWithTheFeetTogether) {
  gait::Engine engine(built_in(), gait::Settings{});
  engine.start(Posture{});
  ASSERT_EQ(engine.status().phase, gait::Phase::kLowering);
  // Asked while the robot still bends to its walking height, the walk
  // starts when the bend ends: the engine never reports standing ready in
  // between (the walker would say "standing" after "walking at ...").
  engine.walk(gait::Velocity{0.15, 0.0, 0.0});
  while (engine.status().phase == gait::Phase::kLowering) engine.step(gait::Sensors::none());
  for (int k = 0; k < 200; ++k) {
    ASSERT_EQ(engine.status().phase, gait::Phase::kWalking) << "at " << engine.status().time;
    engine.step(gait::Sensors::none());
  }
  // Mid-swing: where is the swinging foot bound?
  while (engine.status().feet[kLeft].down && engine.status().feet[kRight].down)
    engine.step(gait::Sensors::none());
  const robot::Side swinging = engine.status().feet[kLeft].down ? kRight : kLeft;
  const long landed = engine.status().steps_landed;
  const double y_before = engine.status().feet[swinging].at.y();
  engine.walk(gait::Velocity{0.0, engine.limits().sideways, 0.0});
  while (engine.status().steps_landed == landed) engine.step(gait::Sensors::none());
  EXPECT_NEAR(engine.status().feet[swinging].at.y(), y_before, 1e-9)
      << "the step under way went on as planned";
  EXPECT_GT(engine.status().velocity.left, 0.0) << "the next step takes the change";

  engine.stop();
  const double asked = engine.status().time;
  while (engine.status().phase != gait::Phase::kStanding) {
    engine.step(gait::Sensors::none());
    ASSERT_LT(engine.status().time, asked + 3.0) << "no stand after the stop";
  }
  // The step under way, one to bring the feet together, the weight back:
  // about a second at 0.3 s steps.
  EXPECT_LT(engine.status().time - asked, 1.3);
  const auto &feet = engine.status().feet;
  const gait::Place left{feet[kLeft].at.head<2>(), feet[kLeft].yaw};
  const gait::Place right =
      gait::relative(left, gait::Place{feet[kRight].at.head<2>(), feet[kRight].yaw});
  EXPECT_NEAR(right.at.x(), 0.0, 1e-6);
  EXPECT_NEAR(right.at.y(), -0.088, 1e-3);
  EXPECT_NEAR(right.yaw, 0.0, 1e-9);
  step_for(engine, 1.5);
  const Eigen::Vector2d middle = (feet[kLeft].at.head<2>() + feet[kRight].at.head<2>()) / 2.0;
  EXPECT_LT((engine.status().com - middle).norm(), 1e-3);
}

// Settings and models the engine cannot walk are refused in one line, as
// the walker and motion_walk say them.
TEST(Engine, SettingsAndModelsItCannotWalkAreRefusedInOneLine) {
  // a change to the settings  words the line holds
  struct Case {
    void (*change)(gait::Settings &);
    const char *says;
  };
  const Case cases[] = {
      {[](gait::Settings &s) { s.step_time = 0.1; }, "to lift a foot"},
      {[](gait::Settings &s) { s.height = 0.3; },
       "the walking height 0.3 m cannot be reached: the foot is"},
      {[](gait::Settings &s) { s.lift = NAN; }, "the lift must be"},
      {[](gait::Settings &s) { s.period = 0.2; }, "the period must be"},
      {[](gait::Settings &s) { s.servo_speed = 0.0; }, "the servo speed must be"},
  };
  EXPECT_EQ(gait::Engine::settings_problem(built_in(), gait::Settings{}), "");
  for (const Case &c : cases) {
    gait::Settings s;
    c.change(s);
    const std::string problem = gait::Engine::settings_problem(built_in(), s);
    EXPECT_NE(problem.find(c.says), std::string::npos) << problem;
    EXPECT_EQ(problem.find('\n'), std::string::npos);
  }
  // One shin 30 mm longer: the zero posture stands on one sole.
  std::ifstream in(ROBOT_MODEL_PATH);
  std::string xml((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string shin = "<body name=\"l_ankle\" pos=\"0 0 -0.1\">";
  ASSERT_NE(xml.find(shin), std::string::npos);
  xml.replace(xml.find(shin), shin.size(), "<body name=\"l_ankle\" pos=\"0 0 -0.13\">");
  const std::string path = e2e::temp_dir() + "/long_shin.xml";
  e2e::write_file(path, xml);
  std::string error;
  const auto longer = robot::Model::load(path, &error);
  ASSERT_NE(longer, nullptr) << error;
  EXPECT_EQ(gait::Engine::settings_problem(*longer, gait::Settings{}),
            "the robot's zero posture does not stand on both soles: they are 30.0 mm apart in "
            "height and 0.000 rad from flat");
}

// Each servo's give under load, as the robot library gives it: standing on
// the left sole, the left hip roll holds the rest of the robot hanging to
// its right, and gives that way by its torque over its stiffness.
TEST(ServoGive, TheStanceHipRollGivesUnderTheBodyAsItsTorqueOverItsStiffness) {
  const robot::Model &model = built_in();
  robot::Data data(model);
  robot::PelvisPose pelvis;
  pelvis.position = Eigen::Vector3d(0.0, 0.0, model.standing_height());
  data.set_posture(Posture{}, pelvis);
  std::array<robot::FootLoad, 2> load;
  load[kLeft].force = -model.mass() * model.gravity();
  // The weight on the left sole, its centre of pressure near the sole's
  // inner edge, under the leaning robot.
  load[kLeft].at = data.sole(kLeft).position + Eigen::Vector3d(0.0, -0.03, 0.0);
  Posture give{};
  data.servo_give(load, give);
  const int hip_roll = robot::kLegJoints[kLeft][1];
  // The weight pushes the left sole up inward of the hip roll's axis,
  // which holds everything else, hanging inward: the hip sits below its
  // setpoint (the posture log of a walk on the old planner showed -0.024
  // rad on the stance hip roll).
  const robot::ServoGains servo = model.servo(hip_roll);
  EXPECT_DOUBLE_EQ(servo.kp, 40.0);
  EXPECT_GT(give[hip_roll], 0.01);
  EXPECT_LT(give[hip_roll], servo.torque_limit / servo.kp + 1e-12);
  // The hanging right leg's joints hold only the leg.
  EXPECT_LT(std::fabs(give[robot::kLegJoints[kRight][1]]), 0.005);
}

}  // namespace

// --- The servos' lag, read back ----------------------------------------------

// Servos that answer `delay` periods late and then move a share `follow`
// of the way each period, under legs that move as a walk moves them: the
// lag read grows with the delay and falls within a period of it (the
// servo's own time to move counted), at any control period. Later than
// the longest lag looked for (0.15 s), or without read-back, or with legs
// that do not move, or read-back that does not follow, it says nothing.
TEST(ServoLag, ReadsHowLateTheServosAnswerAndOnlyFromMovesThatTellIt) {
  // period (s)  delay (periods)  share followed per period  lag read within (s), none below 0
  struct Servo {
    double period;
    int delay;
    double follow;
    double low, high;
  };
  constexpr Servo servos[] = {
      {0.01, 0, 1.0, 0.000, 0.010}, {0.01, 2, 1.0, 0.020, 0.030},  {0.01, 5, 1.0, 0.050, 0.060},
      {0.01, 2, 0.5, 0.025, 0.045}, {0.01, 12, 1.0, 0.120, 0.130}, {0.001, 50, 1.0, 0.049, 0.052},
      {0.01, 20, 1.0, -1.0, -1.0},  {0.002, 90, 1.0, -1.0, -1.0},
  };
  // A posture of the legs at time t: each joint a sway of its own.
  auto command = [](double t) {
    Posture p{};
    for (int side = 0; side < 2; ++side)
      for (int j = 0; j < 6; ++j)
        p[robot::kLegJoints[side][j]] =
            0.2 * std::sin(2.0 * M_PI * (1.3 + 0.4 * j + 0.1 * side) * t + j);
    return p;
  };
  for (const Servo &servo : servos) {
    SCOPED_TRACE(::testing::Message() << "period " << servo.period << " delay " << servo.delay
                                      << " follow " << servo.follow);
    gait::ServoLag lag(servo.period, 3.0);
    std::vector<Posture> sent;
    Posture at = command(0.0);
    const int periods = static_cast<int>(5.0 / servo.period);
    for (int n = 0; n < periods; ++n) {
      sent.push_back(command(n * servo.period));
      // The read of period n answers the commands sent before it.
      if (n > servo.delay) {
        const Posture &asked = sent[static_cast<std::size_t>(n - 1 - servo.delay)];
        for (int i = 0; i < kJointCount; ++i) at[i] += servo.follow * (asked[i] - at[i]);
      }
      lag.add(n == 0 ? command(0.0) : sent[static_cast<std::size_t>(n - 1)], at);
    }
    if (servo.low < 0.0) {
      EXPECT_FALSE(lag.known());
      EXPECT_EQ(lag.lag(), 0.0);
      continue;
    }
    ASSERT_TRUE(lag.known());
    EXPECT_GE(lag.lag(), servo.low);
    EXPECT_LE(lag.lag(), servo.high);
  }

  Posture unread;
  unread.fill(NAN);
  gait::ServoLag blind(0.01, 3.0), still(0.01, 3.0), stuck(0.01, 3.0);
  for (int n = 0; n < 500; ++n) {
    blind.add(command(n * 0.01), unread);
    still.add(command(0.0), command(0.0));
    stuck.add(command(n * 0.01), command(0.0));
  }
  EXPECT_FALSE(blind.known());
  EXPECT_FALSE(still.known());
  EXPECT_FALSE(stuck.known());
  EXPECT_EQ(blind.lag(), 0.0);
}

// The engine reads the lag from what it sends and what comes back: a
// robot whose joints follow the commands three periods late reads 30 to
// 40 ms, walking or lowering; one that reads nothing back, none.
TEST(ServoLag, TheEngineReadsItFromItsOwnCommandsAndTheJointsReadBack) {
  gait::Settings settings;
  for (const int late : {0, 3}) {
    SCOPED_TRACE(testing::Message() << late << " periods late");
    gait::Engine engine(built_in(), settings);
    engine.start(Posture{});
    engine.walk(gait::Velocity{0.1, 0.0, 0.0});
    std::vector<Posture> sent(1, Posture{});
    gait::Sensors s = gait::Sensors::none();
    s.roll_pitch_yaw.setZero();
    s.gyro.setZero();
    s.accelerometer = -built_in().gravity();
    s.touch = {10.0, 10.0};
    for (int n = 0; n < 400; ++n) {
      const std::size_t at =
          sent.size() > static_cast<std::size_t>(late) ? sent.size() - 1 - late : 0;
      s.joints = sent[at];
      sent.push_back(engine.step(s));
    }
    const double period = settings.period;
    EXPECT_GE(engine.status().servo_lag, late * period);
    EXPECT_LE(engine.status().servo_lag, (late + 1) * period);
  }
  gait::Engine blind(built_in(), settings);
  blind.start(Posture{});
  blind.walk(gait::Velocity{0.1, 0.0, 0.0});
  for (int n = 0; n < 400; ++n) blind.step(gait::Sensors::none());
  EXPECT_EQ(blind.status().servo_lag, 0.0);
}

// push-test's capture-point estimate, from posture-log rows made with the
// robot library: a robot turned by a known heading gets the estimate it
// gets facing forward, pushed from the same side of its own body, and a
// swinging foot counts where it lands.
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cmath>
#include <vector>

#include "push_test_lib.h"

namespace {

using push::Direction;
constexpr Direction kAll[] = {Direction::kFront, Direction::kBack, Direction::kLeft,
                              Direction::kRight};

// The log of a robot on its left foot, the right one lifted, leaning a
// little forward and moving forward and to its left, at `heading` rad; with
// `lands`, a last row where the right foot has come down 6 cm ahead.
std::vector<push::LogRow> on_left_foot(const robot::Model &model, double heading, bool lands) {
  Posture posture{};
  // Hips and ankles rolled: the pelvis over the left sole.
  for (int roll : {3, 9}) posture[roll] = -0.2;  // lleg_joint_2, rleg_joint_2
  for (int roll : {6, 12}) posture[roll] = 0.2;  // lleg_joint_6, rleg_joint_6
  // Knees bent, the right one more: its foot up, out of the support.
  posture[2] = -0.3;  // lleg_joint_3, hip pitch forward
  posture[4] = 0.6;   // lleg_joint_4, knee
  posture[5] = -0.3;  // lleg_joint_5, ankle pitch
  posture[8] = -0.6;  // rleg_joint_3
  posture[10] = 1.2;  // rleg_joint_4
  posture[11] = -0.6;
  // Both ankles leaning the body forward.
  posture[5] += -0.05;
  posture[11] += -0.05;
  const Eigen::Rotation2Dd turn(heading);
  const Eigen::Vector3d pelvis_at(0.3, -0.2, 0.25);
  robot::Data data(model);
  const robot::PelvisPose pelvis = data.stand_on(robot::kLeft, posture, pelvis_at, heading);
  push::LogRow at;
  at.time_ms = 2050;
  at.joints = posture;
  at.gps = pelvis_at;
  at.touch = {29.0, 0.0};
  at.yaw = heading - model.start_heading();
  at.com = data.com().head<2>();
  push::LogRow before = at;
  before.time_ms = 2000;
  // 10 cm/s forward and to the left, in the robot's frame.
  before.com = at.com - turn * Eigen::Vector2d(0.1, 0.1) * 0.05;
  std::vector<push::LogRow> rows = {before, at};
  if (!lands) return rows;
  robot::SolePose landing = data.sole(robot::kLeft);
  landing.position.head<2>() += turn * Eigen::Vector2d(0.06, -0.088);
  const robot::LegSolution right = data.solve_leg(robot::kRight, pelvis, landing);
  EXPECT_TRUE(right.ok) << right.shortfall;
  push::LogRow landed = at;
  landed.time_ms = 2300;
  for (int k = 0; k < 6; ++k) landed.joints[robot::kLegJoints[robot::kRight][k]] = right.angles[k];
  landed.touch = {15.0, 15.0};
  rows.push_back(landed);
  return rows;
}

TEST(PushEstimate, TurnedRobotGetsTheEstimateItGetsFacingForward) {
  std::string error;
  const std::unique_ptr<robot::Model> model = robot::Model::load("", &error);
  ASSERT_NE(model, nullptr) << error;
  push::Estimator estimator(*model);
  auto index = [](Direction d) { return static_cast<int>(d); };
  double facing[2][4];
  for (bool lands : {false, true}) {
    const std::vector<push::LogRow> ahead = on_left_foot(*model, 0.0, lands);
    for (Direction d : kAll) facing[lands][index(d)] = estimator.impulse(ahead, 1, d);
  }
  // On the left sole alone, moving forward and left: the capture point is
  // near its toes and its outer edge, far from its heel and its inner edge.
  EXPECT_LT(facing[0][index(Direction::kBack)], facing[0][index(Direction::kFront)]);
  EXPECT_LT(facing[0][index(Direction::kRight)], facing[0][index(Direction::kLeft)]);
  for (double v : facing[0]) EXPECT_GT(v, 0.0);
  // The right foot landing ahead and to the right widens the support there.
  EXPECT_GT(facing[1][index(Direction::kBack)], facing[0][index(Direction::kBack)]);
  EXPECT_GT(facing[1][index(Direction::kLeft)], facing[0][index(Direction::kLeft)]);
  for (double heading : {0.6, M_PI / 2, -2.4, 3.0}) {
    for (bool lands : {false, true}) {
      SCOPED_TRACE(testing::Message() << "heading " << heading << (lands ? ", landing" : ""));
      const std::vector<push::LogRow> turned = on_left_foot(*model, heading, lands);
      for (Direction d : kAll)
        EXPECT_NEAR(estimator.impulse(turned, 1, d), facing[lands][index(d)], 1e-6)
            << push::name_of(d);
    }
  }
}

}  // namespace

namespace {

// A walker's log, a row every 10 ms from 0 to `to_ms`: the pelvis going
// `speed` m/s along `way` (a unit vector), turning `turn` rad/s, from
// `from_ms` on.
std::vector<push::LogRow> walked(long to_ms, long from_ms, double speed, Eigen::Vector2d way,
                                 double turn) {
  std::vector<push::LogRow> log;
  for (long t = 0; t <= to_ms; t += 10) {
    push::LogRow row;
    row.time_ms = t;
    const double s = std::max(0L, t - from_ms) / 1000.0;
    row.gps.head<2>() = speed * s * way;
    row.yaw = std::remainder(turn * s, 2 * M_PI);
    log.push_back(row);
  }
  return log;
}

TEST(WalkerPushes, PushedWalkerWalksOnOnlyWhereItGoesAtLeastHalfAsFarTheUnpushedWay) {
  const Eigen::Vector2d ahead(1, 0), aside(0, 1), back(-1, 0);
  const Eigen::Vector2d askew = Eigen::Vector2d(1, 1).normalized();
  // unpushed: speed m/s, way, turn rad/s | pushed: the same, its log's end ms | walks on
  struct Case {
    const char *name;
    double speed;
    Eigen::Vector2d way;
    double turn;
    double pushed_speed;
    Eigen::Vector2d pushed_way;
    double pushed_turn;
    long pushed_end_ms;
    bool walks_on;
  };
  const Case cases[] = {
      {"as unpushed", 0.15, ahead, 0, 0.15, ahead, 0, 6000, true},
      {"slower but on", 0.15, ahead, 0, 0.08, ahead, 0, 6000, true},
      {"turned 45 degrees", 0.15, ahead, 0, 0.15, askew, 0, 6000, true},
      {"stopped", 0.15, ahead, 0, 0.0, ahead, 0, 6000, false},
      {"too slow", 0.15, ahead, 0, 0.07, ahead, 0, 6000, false},
      {"sideways", 0.15, ahead, 0, 0.15, aside, 0, 6000, false},
      {"backward", 0.15, ahead, 0, 0.15, back, 0, 6000, false},
      {"its log ends early", 0.15, ahead, 0, 0.15, ahead, 0, 4000, false},
      {"standing asks no way", 0.0, ahead, 0, 0.005, back, 0, 6000, true},
      {"turning on", 0.0, ahead, 0.5, 0.0, ahead, 0.4, 6000, true},
      {"turning back", 0.0, ahead, 0.5, 0.0, ahead, -0.5, 6000, false},
      {"turn stopped", 0.0, ahead, 0.5, 0.0, ahead, 0.1, 6000, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const auto unpushed = walked(6000, 1000, c.speed, c.way, c.turn);
    const auto pushed = walked(c.pushed_end_ms, 1000, c.pushed_speed, c.pushed_way, c.pushed_turn);
    EXPECT_EQ(push::walked_on(unpushed, pushed, 3000, 5000), c.walks_on);
  }
}

TEST(WalkerPushes, MomentsSpreadOverTheStrideAfterTheSteadyStepsOrOnceStanding) {
  std::vector<long> steps;
  for (int k = 0; k < push::kSteadySteps + 3; ++k) steps.push_back(2000 + 300 * k);
  std::string error;
  const long from = steps[push::kSteadySteps];
  const std::vector<long> at = push::stride_moments(steps, 128, 8, 10128, &error);
  ASSERT_EQ(at.size(), 8u) << error;
  for (std::size_t i = 0; i < at.size(); ++i) {
    EXPECT_EQ(at[i] % 10, 0);
    EXPECT_NEAR(at[i], from + (i + 0.5) * 600 / 8, 10);
  }
  // Standing: once, when it has bent to its height.
  EXPECT_EQ(push::stride_moments({}, 128, 8, 10128, &error), std::vector<long>{2120});
  // Too few steps for a steady stride.
  steps.pop_back();
  EXPECT_TRUE(push::stride_moments(steps, 128, 8, 10128, &error).empty());
  EXPECT_NE(error.find("the walk lands 10 step(s) in the 10.1 s of its unpushed run"),
            std::string::npos)
      << error;
}

}  // namespace

// push-test's capture-point estimate, from posture-log rows made with the
// robot library: a robot turned by a known heading gets the estimate it
// gets facing forward, pushed from the same side of its own body.
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cmath>

#include "push_test_lib.h"

namespace {

using push::Direction;

// The robot on its left foot, the right one lifted, leaning a little
// forward and moving forward and to its left, at `heading` rad.
struct Moment {
  push::LogRow before, at;
};

Moment on_left_foot(const robot::Model &model, double heading) {
  Posture posture{};
  // Hips and ankles rolled: the pelvis over the left sole.
  for (int roll : {3, 9}) posture[roll] = -0.2;  // lleg_joint_2, rleg_joint_2
  for (int roll : {6, 12}) posture[roll] = 0.2;  // lleg_joint_6, rleg_joint_6
  // The right knee bent: its foot up, out of the support.
  posture[8] = -0.3;  // rleg_joint_3, hip pitch forward
  posture[10] = 0.6;  // rleg_joint_4, knee
  posture[11] = -0.3;
  // Both ankles leaning the body forward.
  posture[5] = -0.05;
  posture[11] += -0.05;
  const Eigen::Rotation2Dd turn(heading);
  const Eigen::Vector2d place = Eigen::Vector2d(0.3, -0.2);
  robot::Data data(model);
  data.stand_on(robot::kLeft, posture, Eigen::Vector3d(0.0, 0.0, model.standing_height()), heading);
  Moment m;
  m.at.time_ms = 2050;
  m.at.joints = posture;
  m.at.gps = Eigen::Vector3d(place.x(), place.y(), model.standing_height());
  m.at.touch = {29.0, 0.0};
  m.at.yaw = heading - model.start_heading();
  m.at.com = place + data.com().head<2>();
  m.before = m.at;
  m.before.time_ms = 2000;
  // 10 cm/s forward and to the left, in the robot's frame.
  m.before.com = m.at.com - turn * Eigen::Vector2d(0.1, 0.1) * 0.05;
  return m;
}

TEST(PushEstimate, TurnedRobotGetsTheEstimateItGetsFacingForward) {
  std::string error;
  const std::unique_ptr<robot::Model> model = robot::Model::load("", &error);
  ASSERT_NE(model, nullptr) << error;
  push::Estimator estimator(*model);
  constexpr Direction kAll[] = {Direction::kFront, Direction::kBack, Direction::kLeft,
                                Direction::kRight};
  const Moment ahead = on_left_foot(*model, 0.0);
  double facing[4];
  for (Direction d : kAll)
    facing[static_cast<int>(d)] = estimator.impulse(ahead.before, ahead.at, d);
  // On the left sole alone, moving forward and left: the capture point is
  // near its toes and its outer edge, far from its heel and its inner edge.
  EXPECT_LT(facing[static_cast<int>(Direction::kBack)],
            facing[static_cast<int>(Direction::kFront)]);
  EXPECT_LT(facing[static_cast<int>(Direction::kRight)],
            facing[static_cast<int>(Direction::kLeft)]);
  for (double v : facing) EXPECT_GT(v, 0.0);
  for (double heading : {0.6, M_PI / 2, -2.4, 3.0}) {
    SCOPED_TRACE(heading);
    const Moment turned = on_left_foot(*model, heading);
    for (Direction d : kAll)
      EXPECT_NEAR(estimator.impulse(turned.before, turned.at, d), facing[static_cast<int>(d)], 1e-6)
          << push::name_of(d);
  }
}

}  // namespace

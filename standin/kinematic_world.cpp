// The kinematic world: each servo moves toward its command at the servo
// speed and nothing else happens. Positions are exact, which the tests of
// the programs' commands rely on.
#include <cmath>
#include <limits>

#include "world.h"

namespace standin {

namespace {

class KinematicWorld final : public World {
 public:
  bool start(const Config &config) override {
    speed_ = config.servo_speed;
    for (int i = 0; i < kServoCount; ++i) position_[i] = target_[i] = config.posture[i];
    return true;
  }

  void command(int joint, double angle) override { target_[joint] = angle; }

  double position(int joint) const override { return position_[joint]; }

  void advance(int ms) override {
    // Infinite speed (instant mode) gives an infinite reach.
    double reach = speed_ * ms / 1000.0;
    for (int i = 0; i < kServoCount; ++i) {
      double gap = target_[i] - position_[i];
      position_[i] =
          std::fabs(gap) <= reach ? target_[i] : position_[i] + std::copysign(reach, gap);
    }
  }

  // No body, so nothing to measure: every reading is NaN.
  Readings readings() const override { return Readings(); }

  double standing_height() const override { return std::numeric_limits<double>::quiet_NaN(); }

 private:
  double speed_ = kDefaultServoSpeed;  // rad/s; +inf = instant
  double position_[kServoCount] = {};  // rad, by JointIndex
  double target_[kServoCount] = {};    // rad, by JointIndex
};

constinit Immortal<KinematicWorld> g_kinematic;  // the one kinematic world

}  // namespace

World &kinematic_world() {
  return g_kinematic.object;
}

}  // namespace standin

// The kinematic world: each servo moves toward its command at the servo
// speed and nothing else happens. Positions are exact, which the tests of
// the programs' commands rely on.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>

#include "servo_model.h"
#include "world.h"

namespace standin {

namespace {

class KinematicWorld final : public World {
 public:
  bool start(const Config &config) override {
    speed_ = config.servo_speed;
    Imperfections taken = servo_settings(config.imperfect);
    // Commands are taken the moment they arrive, within a step.
    servo_.start(taken, 0);
    // The servos start on the posture as they see it.
    for (int i = 0; i < kServoCount; ++i) {
      position_[i] = target_[i] = servo_.body_angle(i, config.posture[i]);
    }
    servo_.rest(position_);
    tell_imperfections(taken);
    return true;
  }

  void command(int joint, double angle) override {
    double body = servo_.body_angle(joint, angle);
    if (servo_.delays()) {
      servo_.send(joint, body, now_ns_);
    } else {
      target_[joint] = body;
    }
  }

  double position(int joint) const override { return position_[joint]; }
  double read_back(int joint) const override { return servo_.servo_angle(joint, position_[joint]); }

  void advance(int ms) override {
    std::int64_t end_ns = now_ns_ + static_cast<std::int64_t>(ms) * 1000000;
    for (int i = 0; i < kServoCount; ++i) {
      if (!servo_.delays()) {
        // Infinite speed (instant mode) gives an infinite reach.
        move(i, speed_ * ms / 1000.0);
        continue;
      }
      // Each command that arrives within the step takes over from then on.
      std::int64_t from_ns = now_ns_;
      std::int64_t at_ns = 0;
      double angle = 0.0;
      while (servo_.arrived(i, end_ns, at_ns, angle)) {
        move(i, reach(at_ns - from_ns));
        from_ns = at_ns;
        target_[i] = angle;
      }
      move(i, reach(end_ns - from_ns));
    }
    now_ns_ = end_ns;
  }

  // No body, so nothing to measure: every reading is NaN.
  Readings readings() const override { return Readings(); }

  double standing_height() const override { return std::numeric_limits<double>::quiet_NaN(); }

 private:
  // The settings a servo alone has: latency, deadband and offsets. The
  // others need a body or a floor; one line names those ignored.
  static Imperfections servo_settings(const Imperfections &asked) {
    Imperfections taken;
    taken.latency_ms = asked.latency_ms;
    taken.deadband = asked.deadband;
    for (int i = 0; i < kServoCount; ++i) taken.offset[i] = asked.offset[i];
    char ignored[400] = "";
    int length = 0;
    auto ignore = [&](bool set, const char *name) {
      if (!set) return;
      length += std::snprintf(ignored + length, sizeof ignored - length, "%s%s",
                              length == 0 ? "" : ", ", name);
    };
    ignore(asked.backlash != 0.0, "STANDIN_SERVO_BACKLASH");
    ignore(asked.strength != 1.0, "STANDIN_SERVO_STRENGTH");
    ignore(asked.mass_scale != 1.0, "STANDIN_MASS_SCALE");
    ignore(asked.com_shift[0] != 0.0 || asked.com_shift[1] != 0.0, "STANDIN_COM_SHIFT");
    ignore(asked.friction != 0.0, "STANDIN_FLOOR_FRICTION");
    ignore(asked.slope[0] != 0.0 || asked.slope[1] != 0.0, "STANDIN_FLOOR_SLOPE");
    ignore(asked.bumps_mm != 0.0, "STANDIN_FLOOR_BUMPS");
    ignore(asked.noise != 0.0, "STANDIN_SENSOR_NOISE");
    if (length > 0) {
      report("the kinematic world has no body, floor or inertial sensors: it ignores %s", ignored);
    }
    return taken;
  }

  // How far a servo moves in `ns`, rad; none in no time, even at
  // infinite speed.
  double reach(std::int64_t ns) const {
    return ns == 0 ? 0.0 : speed_ * static_cast<double>(ns) / 1e9;
  }

  // Moves servo i toward where it aims by at most `reach` rad.
  void move(int i, double reach) {
    double aim = servo_.aim(i, target_[i], position_[i]);
    double gap = aim - position_[i];
    position_[i] = std::fabs(gap) <= reach ? aim : position_[i] + std::copysign(reach, gap);
  }

  double speed_ = kDefaultServoSpeed;  // rad/s; +inf = instant
  double position_[kServoCount] = {};  // rad, by JointIndex: the body's angles
  double target_[kServoCount] = {};    // rad, by JointIndex: the commands that have arrived
  std::int64_t now_ns_ = 0;            // simulated time
  ServoModel servo_;
};

constinit Immortal<KinematicWorld> g_kinematic;  // the one kinematic world

}  // namespace

World &kinematic_world() {
  return g_kinematic.object;
}

}  // namespace standin

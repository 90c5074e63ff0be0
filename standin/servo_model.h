// A servo as real ones are, for both worlds: its commands reach it late
// (latency), it leaves an error within its deadband alone, its gear has
// play that the load takes up (backlash), and its zero is off (offsets).
// With every setting off it hands each value through unchanged, so a run
// without them keeps its bytes. Control thread only.
#pragma once

#include <cstdint>
#include <memory>

#include "standin_internal.h"

namespace standin {

class ServoModel {
 public:
  // Takes the settings, for a world that takes arrived commands at least
  // every `step_ms`. Start-up only: it allocates room for the commands in
  // flight, bounded by kMaxLatencyMs and the step.
  void start(const Imperfections &settings, int step_ms);
  // The servos rest at `initial` (the body's angles, rad, by JointIndex),
  // aiming there, with no command in flight.
  void rest(const double *initial);

  // How far the body's zero lies from the servo's, rad: the body's angle
  // is the servo's plus this. Without an offset the angle is handed
  // through untouched (-0 stays -0).
  double offset(int joint) const { return offset_[joint]; }
  double body_angle(int joint, double servo_angle) const {
    return offset_[joint] == 0.0 ? servo_angle : servo_angle + offset_[joint];
  }
  double servo_angle(int joint, double body_angle) const {
    return offset_[joint] == 0.0 ? body_angle : body_angle - offset_[joint];
  }

  // Whether commands reach the servos late.
  bool delays() const { return latency_ns_ > 0; }
  // A command of `angle` (the body's, rad) sent at simulated time
  // `now_ns`, reaching the servo a latency later. A second command sent
  // at the same time replaces the first.
  void send(int joint, double angle, std::int64_t now_ns);
  // The earliest command to `joint` that has reached it by `by_ns`, taken
  // from those in flight: when it arrived and its angle. False for none.
  bool arrived(int joint, std::int64_t by_ns, std::int64_t &at_ns, double &angle);

  // Where the servo aims, given its setpoint and the joint's angle (rad):
  // the setpoint once it lies the deadband or more from the angle; until
  // then the last aim, so an error within the band is left alone.
  double aim(int joint, double setpoint, double angle);
  // Where a position actuator must pull from for a servo aiming at `aim`
  // through a gear with play: the joint's own angle (no torque) while it
  // lies within half the play of the aim, and beyond, the aim less half
  // the play, so that the load takes the play up.
  double pull(double aim, double angle) const;

 private:
  struct InFlight {
    std::int64_t at_ns;  // when it reaches the servo
    double angle;        // rad, the body's
  };

  double offset_[kServoCount] = {};
  double aim_[kServoCount] = {};
  double deadband_ = 0.0;   // rad
  double half_play_ = 0.0;  // rad, each side of the aim
  std::int64_t latency_ns_ = 0;
  // Per servo a ring of `capacity_` commands in flight, oldest first.
  std::unique_ptr<InFlight[]> in_flight_;
  int capacity_ = 0;
  int first_[kServoCount] = {};
  int count_[kServoCount] = {};
};

}  // namespace standin

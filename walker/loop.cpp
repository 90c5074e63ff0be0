#include "loop.h"

#include <cmath>

#include "robot_sensors.h"

namespace walker {

namespace {

// A sensor's three values, NaN when the device is missing (no read, so
// that the controller library says nothing about it).
Eigen::Vector3d read3(DeviceId id, const double *(*read)(DeviceId)) {
  if (id == 0) return Eigen::Vector3d::Constant(NAN);
  const double *v = read(id);
  return Eigen::Vector3d(v[0], v[1], v[2]);
}

}  // namespace

Loop::Loop(gait::Engine &engine, const Devices &devices, Orders &orders, Words &words)
    : engine_(engine), devices_(devices), orders_(orders), words_(words) {}

void Loop::start() {
  read_sensors();
  engine_.start(sensors_.joints);
  last_phase_ = engine_.status().phase;
}

void Loop::run() {
  start();
  for (std::int64_t now = 0;; now += kPeriodMs) {
    period(now);
    robot_step(kPeriodMs);
  }
}

void Loop::period(std::int64_t now_ms) {
  take_orders(now_ms);
  read_sensors();
  watch_for_fall(now_ms);
  if (fallen_) {
    send_posture_head_first(held_);
    return;
  }
  const Posture &posture = engine_.step(sensors_);
  send_posture_head_first(posture);
  const gait::Phase phase = engine_.status().phase;
  if (phase == gait::Phase::kStanding && last_phase_ != gait::Phase::kStanding)
    words_.standing(now_ms);
  last_phase_ = phase;
}

void Loop::take_orders(std::int64_t now_ms) {
  Order order;
  while (orders_.poll(now_ms, &order)) {
    if (fallen_) continue;
    if (order.kind == Order::Kind::kStop) {
      engine_.stop();
      words_.stopping(now_ms);
      continue;
    }
    gait::Clamped clamped;
    const gait::Velocity velocity = gait::clamp(order.velocity, engine_.limits(), &clamped);
    engine_.walk(velocity);
    words_.walking(now_ms, velocity, clamped);
  }
}

void Loop::read_sensors() {
  sensors_.roll_pitch_yaw = read3(devices_.inertial_unit, inertial_unit_get_roll_pitch_yaw);
  sensors_.gyro = read3(devices_.gyro, gyro_get_values);
  sensors_.accelerometer = read3(devices_.accelerometer, accelerometer_get_values);
  const DeviceId touch[2] = {left_touch, right_touch};
  for (int s = 0; s < 2; ++s)
    sensors_.touch[s] = touch[s] != 0 ? touch_sensor_get_value(touch[s]) : NAN;
  for (int i = 0; i < kJointCount; ++i)
    sensors_.joints[i] = joint[i] != 0 ? servo_get_position(joint[i]) : NAN;
}

void Loop::watch_for_fall(std::int64_t now_ms) {
  if (fallen_) return;
  const double roll = sensors_.roll_pitch_yaw.x();
  const double pitch = sensors_.roll_pitch_yaw.y();
  if (!std::isfinite(roll) || !std::isfinite(pitch)) return;
  const double tilt = std::acos(std::clamp(std::cos(roll) * std::cos(pitch), -1.0, 1.0));
  if (tilt <= kFallTilt) return;
  fallen_ = true;
  engine_.freeze();
  // Hold where the joints are: the servos then push against nothing.
  for (int i = 0; i < kJointCount; ++i)
    held_[i] = std::isfinite(sensors_.joints[i]) ? sensors_.joints[i] : engine_.step(sensors_)[i];
  FallDirection direction;
  if (std::fabs(pitch) >= std::fabs(roll))
    direction = pitch > 0.0 ? FallDirection::kForward : FallDirection::kBackward;
  else
    direction = roll > 0.0 ? FallDirection::kRight : FallDirection::kLeft;
  words_.fell(now_ms, direction, tilt);
}

}  // namespace walker

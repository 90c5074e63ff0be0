#include "footsteps.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace gait {

using Eigen::Vector2d;
using robot::kLeft;
using robot::Side;

Eigen::Matrix2d rotation(double yaw) {
  Eigen::Matrix2d r;
  r << std::cos(yaw), -std::sin(yaw), std::sin(yaw), std::cos(yaw);
  return r;
}

Place offset(const Place &frame, const Vector2d &local) {
  return Place{frame.at + rotation(frame.yaw) * local, frame.yaw};
}

Place relative(const Place &frame, const Place &place) {
  return Place{rotation(-frame.yaw) * (place.at - frame.at), place.yaw - frame.yaw};
}

double FeetShape::half_width(double left) const {
  return std::max(width, sole.y() + kClearance + std::fabs(left)) / 2.0;
}

Place advance(const Place &frame, const Velocity &velocity, double step_time) {
  const double turn = velocity.turn * step_time;
  Place next;
  next.at = frame.at +
            rotation(frame.yaw + turn / 2.0) * Vector2d(velocity.forward, velocity.left) * step_time;
  next.yaw = frame.yaw + turn;
  return next;
}

namespace {

// +1 for the left foot, -1 for the right: the side's sign along y.
double sign(Side side) {
  return side == kLeft ? 1.0 : -1.0;
}

}  // namespace

Place landing(const Place &frame, Side swing, double turn, const FeetShape &feet,
              double left_per_step) {
  Place foot = offset(frame, Vector2d(0.0, sign(swing) * feet.half_width(left_per_step)));
  foot.yaw = frame.yaw + sign(swing) * std::fabs(turn) / 2.0;
  return foot;
}

Place frame_of(const Place &landed, Side swing, double turn, const FeetShape &feet,
               double left_per_step) {
  Place frame;
  frame.yaw = landed.yaw - sign(swing) * std::fabs(turn) / 2.0;
  frame.at = landed.at -
             rotation(frame.yaw) * Vector2d(0.0, sign(swing) * feet.half_width(left_per_step));
  return frame;
}

Place keep_feet_apart(const Place &stance, Side swing, const Place &target, const FeetShape &feet) {
  const double s = sign(swing);
  Place moved = relative(stance, target);
  // Toes never in: the swing foot turns outward from the stance foot or
  // stays parallel to it.
  if (s * moved.yaw < 0.0) moved.yaw = 0.0;
  // Every corner beyond the stance sole's inner edge, by the clearance.
  const Eigen::Matrix2d turn = rotation(moved.yaw);
  const double half_length = feet.sole.x() / 2.0;
  const double half_width = feet.sole.y() / 2.0;
  double nearest = INFINITY;
  for (const double along : {-half_length, half_length})
    for (const double across : {-half_width, half_width})
      nearest = std::min(nearest, s * (moved.at + turn * Vector2d(along, across)).y());
  const double least = half_width + FeetShape::kClearance;
  if (nearest < least) moved.at.y() += s * (least - nearest);
  Place out;
  out.at = stance.at + rotation(stance.yaw) * moved.at;
  out.yaw = stance.yaw + moved.yaw;
  return out;
}

double min_jerk(double s) {
  s = std::clamp(s, 0.0, 1.0);
  return s * s * s * (10.0 + s * (-15.0 + 6.0 * s));
}

double level_travel(double s) {
  s = std::clamp(s, 0.0, 1.0);
  // A trapezoid of speed: up over kSwingRamp, level, down over the last
  // kSwingRamp; the peak is 1 / (1 - kSwingRamp) of the mean speed.
  const double peak = 1.0 / (1.0 - kSwingRamp);
  if (s < kSwingRamp) return peak * s * s / (2.0 * kSwingRamp);
  if (s > 1.0 - kSwingRamp) return 1.0 - peak * (1.0 - s) * (1.0 - s) / (2.0 * kSwingRamp);
  return peak * (s - kSwingRamp / 2.0);
}

Foot swing_foot(const Place &from, const Place &to, double lift, double s, double edge) {
  s = std::clamp(s, 0.0, 1.0);
  const double up = std::sin(std::numbers::pi * s);
  edge = std::clamp(edge, 0.0, kSwingEdge);
  const double travel = level_travel((s - edge) / (1.0 - 2.0 * edge));
  Foot foot;
  const Vector2d at = from.at + (to.at - from.at) * travel;
  foot.at = Eigen::Vector3d(at.x(), at.y(), lift * up * up);
  // The foot turns only while it is clear of the floor: a sole that turns
  // as it lifts or lands twists the robot round on the other foot.
  foot.yaw = from.yaw + (to.yaw - from.yaw) * min_jerk((s - kTurnFrom) / (kTurnTo - kTurnFrom));
  foot.down = s <= 0.0 || s >= 1.0;
  return foot;
}

Eigen::Vector2d stance_zmp(const Place &stance, Side side) {
  return offset(stance, Vector2d(0.0, -sign(side) * kZmpInward)).at;
}

}  // namespace gait

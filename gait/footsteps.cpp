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

Place midway(const Place &a, const Place &b) {
  return Place{(a.at + b.at) / 2.0, (a.yaw + b.yaw) / 2.0};
}

double FeetShape::half_width(double left) const {
  return std::max(width, sole.y() + kClearance + std::fabs(left)) / 2.0;
}

Place advance(const Place &frame, const Velocity &velocity, double step_time) {
  const double turn = velocity.turn * step_time;
  Place next;
  next.at = frame.at + rotation(frame.yaw + turn / 2.0) *
                           Vector2d(velocity.forward, velocity.left) * step_time;
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
  frame.at =
      landed.at - rotation(frame.yaw) * Vector2d(0.0, sign(swing) * feet.half_width(left_per_step));
  return frame;
}

namespace {

// How far the sole at `moved` (in the stance sole's frame, on the side of
// sign s) must move out along the stance sole's y so that each sole's
// corners lie the clearance beyond the other's inner edge, m; 0 when they
// do. Both ways round: feet turned apart are clear only if each is clear
// of the other.
double overlap(const Place &moved, double s, const FeetShape &feet) {
  const double half_length = feet.sole.x() / 2.0;
  const double half_width = feet.sole.y() / 2.0;
  const double least = half_width + FeetShape::kClearance;
  const Eigen::Matrix2d turn = rotation(moved.yaw);
  double mine = INFINITY, theirs = INFINITY;
  for (const double along : {-half_length, half_length})
    for (const double across : {-half_width, half_width}) {
      const Vector2d corner(along, across);
      // Its corners beyond the stance sole's inner edge...
      mine = std::min(mine, s * (moved.at + turn * corner).y());
      // ...and the stance sole's corners beyond its inner edge.
      theirs = std::min(theirs, -s * (turn.transpose() * (corner - moved.at)).y());
    }
  // Moving out by d along the stance's y moves the stance's corners d cos(yaw) in its frame.
  const double c = std::max(std::cos(moved.yaw), 0.1);
  return std::max({0.0, least - mine, (least - theirs) / c});
}

// `moved`, in the stance sole's frame, pushed out to its side until the
// two soles are clear of each other.
Place pushed_clear(Place moved, double s, const FeetShape &feet) {
  moved.at.y() += s * overlap(moved, s, feet);
  return moved;
}

Place in_world(const Place &stance, const Place &moved) {
  return Place{stance.at + rotation(stance.yaw) * moved.at, stance.yaw + moved.yaw};
}

}  // namespace

Place keep_feet_apart(const Place &stance, Side swing, const Place &target, const FeetShape &feet) {
  const double s = sign(swing);
  Place moved = relative(stance, target);
  // Toes never in: the swing foot turns outward from the stance foot or
  // stays parallel to it.
  if (s * moved.yaw < 0.0) moved.yaw = 0.0;
  return in_world(stance, pushed_clear(moved, s, feet));
}

Place clear_of(const Place &stance, Side swing, const Place &foot, const FeetShape &feet) {
  return in_world(stance, pushed_clear(relative(stance, foot), sign(swing), feet));
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

Foot swing_foot(const Place &from, const Place &to, double lift, double s, double edge,
                const Vector2d &pivot) {
  s = std::clamp(s, 0.0, 1.0);
  const double up = std::sin(std::numbers::pi * s);
  edge = std::clamp(edge, 0.0, 0.4);
  const double travel = level_travel((s - edge) / (1.0 - 2.0 * edge));
  Foot foot;
  // The foot turns only while it is clear of the floor: a sole that turns
  // as it lifts or lands twists the robot round on the other foot.
  foot.yaw = from.yaw + (to.yaw - from.yaw) * min_jerk((s - kTurnFrom) / (kTurnTo - kTurnFrom));
  // The pivot goes straight from where it lifts to where it lands; the
  // sole turns about it.
  const Vector2d start = from.at + rotation(from.yaw) * pivot;
  const Vector2d end = to.at + rotation(to.yaw) * pivot;
  const Vector2d at = start + (end - start) * travel - rotation(foot.yaw) * pivot;
  foot.at = Eigen::Vector3d(at.x(), at.y(), lift * up * up);
  foot.down = s <= 0.0 || s >= 1.0;
  return foot;
}

Vector2d swing_pivot(const Place &from, const Place &to, Side swing, const FeetShape &feet) {
  const double s = sign(swing);
  const double turn = to.yaw - from.yaw;
  // The inner corner that a turn about the sole's centre would swing in.
  const double along = s * turn > 0.0 ? -feet.sole.x() / 2.0 : feet.sole.x() / 2.0;
  return turn == 0.0 ? Vector2d::Zero() : Vector2d(along, -s * feet.sole.y() / 2.0);
}

Eigen::Vector2d stance_zmp(const Place &stance, Side side) {
  return offset(stance, Vector2d(0.0, -sign(side) * kZmpInward)).at;
}

}  // namespace gait

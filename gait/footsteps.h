// The footstep plan's geometry: where the next foot lands for a velocity,
// how the feet are kept clear of each other, and how the swing foot
// travels. Plane geometry on the floor (x, y, heading), m and rad; no
// allocation.
#pragma once

#include <Eigen/Core>

#include "gait.h"
#include "robot.h"

namespace gait {

// A place on the floor: a sole's centre or the walking frame, and its
// heading.
struct Place {
  Eigen::Vector2d at = Eigen::Vector2d::Zero();  // m
  double yaw = 0.0;                              // rad
};

Eigen::Matrix2d rotation(double yaw);
// `local` in `frame`'s axes, from its origin.
Place offset(const Place &frame, const Eigen::Vector2d &local);
// `place` seen from `frame`: its position in the frame's axes and its
// heading less the frame's.
Place relative(const Place &frame, const Place &place);
// Halfway between two places: their positions' and their headings' means.
Place midway(const Place &a, const Place &b);

inline robot::Side other(robot::Side side) {
  return side == robot::kLeft ? robot::kRight : robot::kLeft;
}

// The feet as the model has them.
struct FeetShape {
  double width = 0.0;                              // soles' centres apart, standing, m
  Eigen::Vector2d sole = Eigen::Vector2d::Zero();  // a sole's length and width, m
  // Walking, the soles' inner edges keep at least this gap, m.
  static constexpr double kClearance = 0.01;
  // Half the soles' centres apart when walking `left` m per step sideways:
  // wider than standing when the side step needs it, so that the soles
  // never pass over each other.
  double half_width(double left) const;
};

// The walking frame after one step at `velocity` for `step_time` s: it
// moves by the velocity's share, turned by half the step's turn, then turns.
Place advance(const Place &frame, const Velocity &velocity, double step_time);

// Where the `swing` foot lands with the walking frame at `frame` after a
// step that turns `turn` rad: beside the frame, its toes turned out by
// half the turn, so that a turn opens the feet on one step and brings them
// parallel on the next.
Place landing(const Place &frame, robot::Side swing, double turn, const FeetShape &feet,
              double left_per_step);

// `target` for the `swing` foot moved, if it must be, so that it never
// crosses or meets the foot standing at `stance`: its heading never turns
// its toes in toward the stance foot, and every corner of its sole stays
// on its side of the stance sole, kClearance beyond its inner edge.
Place keep_feet_apart(const Place &stance, robot::Side swing, const Place &target,
                      const FeetShape &feet);

// `foot`, on the `swing` side, pushed out sideways from the foot standing
// at `stance` until every corner of its sole is kClearance beyond the
// standing sole's inner edge: the swing foot's way, between a start and
// a landing that are both clear, as it turns.
Place clear_of(const Place &stance, robot::Side swing, const Place &foot, const FeetShape &feet);

// The walking frame that puts the `swing` foot at `landed`: the inverse of
// landing(), so that a step the feet's clearance moved is walked on from
// where it really landed.
Place frame_of(const Place &landed, robot::Side swing, double turn, const FeetShape &feet,
               double left_per_step);

// Where the swing foot is at share s (0..1) of its single support: it
// rises to `lift` and comes down as lift sin²(πs), with zero vertical
// speed at both ends, and travels level with a trapezoid of speed (see
// level_travel) between `edge` and 1 - `edge` of the swing (0 to
// kSwingEdge), arriving at rest, flat. The trapezoid asks the hip for the
// least peak speed a foot that starts and stops at rest allows, short of
// jumps: 1.18 times the mean, against 1.875 for a minimum-jerk move; the
// servo speed is what bounds the walk's speed. The edges let the foot
// lift and land in place: a sole dragged on the floor pushes the robot
// back (a curve at 0.1 m/s and 0.2 rad/s went 82% of its way without
// them, 103% with 10%); the engine narrows them as a step nears the
// servo speed.
Foot swing_foot(const Place &from, const Place &to, double lift, double s, double edge,
                const Eigen::Vector2d &pivot = Eigen::Vector2d::Zero());
// The point of the sole, in its own frame, that goes straight while the
// swing foot turns from `from` to `to`: the inner corner that a turn about
// the sole's centre would swing toward the other foot (the heel's turning
// out, the toe's turning back in), so that no corner crosses toward it;
// the centre for a foot that does not turn.
Eigen::Vector2d swing_pivot(const Place &from, const Place &to, robot::Side swing,
                            const FeetShape &feet);
inline constexpr double kSwingEdge = 0.1;
// The share of the way the swing foot has travelled at share s of its
// swing: speed rising evenly over the first kSwingRamp, level, falling
// evenly over the last kSwingRamp.
inline constexpr double kSwingRamp = 0.15;
// The swing foot turns to its landing heading between these shares of its
// swing, on a minimum-jerk profile.
inline constexpr double kTurnFrom = 0.1;
inline constexpr double kTurnTo = 0.9;
double level_travel(double s);

// The pressure centre's target on the sole of the `side` foot at
// `stance`: its centre, kZmpInward toward the other foot.
inline constexpr double kZmpInward = 0.01;  // m
Eigen::Vector2d stance_zmp(const Place &stance, robot::Side side);

// A minimum-jerk blend from 0 to 1 over s in 0..1, held outside it.
double min_jerk(double s);

}  // namespace gait

// The robot's kinematics for the tools: forward kinematics, the centre of
// mass, the soles and the legs' inverse kinematics, all computed by MuJoCo
// from the same MJCF model that the stand-in embeds. Axes and signs come
// from the model and kJointConvention; no tool keeps a link length of its own.
//
// Frames: x forward, y to the robot's left, z up, in m and rad. A yaw is a
// heading about the vertical, positive to the left.
#pragma once

#include <Eigen/Core>
#include <array>
#include <memory>
#include <string>

#include "body_model.h"

struct mjModel_;
struct mjData_;

namespace kinematics {

enum Side { kLeft = 0, kRight = 1 };

// The six joints of each leg (JointIndex), in the order of LegAngles:
// hip yaw, hip roll, hip pitch, knee, ankle pitch, ankle roll.
// clang-format off
inline constexpr std::array<std::array<int, 6>, 2> kLegJoints = {{
    {1, 3, 2, 4, 5, 6},     // left:  lleg_joint_1, _2, _3, _4, _5, _6
    {7, 9, 8, 10, 11, 12},  // right: rleg_joint_1, _2, _3, _4, _5, _6
}};
// clang-format on
using LegAngles = std::array<double, 6>;  // rad, in kLegJoints order

// The pelvis's pose: its body origin (where the GPS sits) in the world, and
// its orientation as yaw, then pitch, then roll about the turned axes.
struct PelvisPose {
  Eigen::Vector3d position = Eigen::Vector3d::Zero();  // m
  double yaw = 0.0;                                    // rad, positive to the left
  double pitch = 0.0;                                  // rad, positive leans forward
  double roll = 0.0;                                   // rad, positive leans to the right
};

// A sole's pose: the centre of its bottom face, and its heading. The IK
// keeps the sole flat (parallel to the floor).
struct SolePose {
  Eigen::Vector3d position = Eigen::Vector3d::Zero();  // m
  double yaw = 0.0;                                    // rad
};

// What the inverse kinematics found: the angles, or why there are none.
struct LegSolution {
  bool ok = false;
  LegAngles angles = {};  // valid when ok
  // When !ok, one phrase for a message: "the foot is 12.3 mm out of reach",
  // "rleg_joint_4 (knee) needs 2.4100 rad, past its limit 2.2689 rad".
  std::string shortfall;
};

// One robot model and its engine data. A Body is used from one thread at
// a time: the queries read, and solve_leg works on, data of its own.
class Body {
 public:
  // Loads the robot model: the one the stand-in embeds when `path` is empty,
  // else the MJCF file at `path`. nullptr with `*error` set (one line) when
  // the model cannot be read or lacks the bodies, joints and soles needed.
  static std::unique_ptr<Body> load(const std::string &path, std::string *error);
  ~Body();
  Body(const Body &) = delete;
  Body &operator=(const Body &) = delete;

  // Total mass, kg.
  double mass() const;
  // Pelvis height with both soles flat on the floor in the zero posture, m.
  double standing_height() const;
  // Whether solve_leg solves this leg in closed form (its hip's three axes
  // meet in one point, and its ankle's two), or else iterates.
  bool closed_form(Side side) const;

  // Forward kinematics: the robot in `posture` (rad by JointIndex; joints
  // the model lacks are ignored) with the pelvis at `pelvis`. The queries
  // below describe the last posture set.
  void set_posture(const Posture &posture, const PelvisPose &pelvis);
  // Whole robot's centre of mass, m, world frame.
  Eigen::Vector3d com() const;
  // The centre of a sole's bottom face and its heading (for a sole that is
  // not flat, the heading of its forward axis projected on the floor).
  SolePose sole(Side side) const;
  // The four corners of a sole's bottom face, world frame, in order around it.
  std::array<Eigen::Vector3d, 4> sole_corners(Side side) const;

  // Inverse kinematics of one leg: the angles that put the centre of the
  // sole's bottom face at `sole`, flat, with the pelvis at `pelvis`. A
  // target out of reach, or one that needs a joint past its limit (the
  // model's range), is refused with the shortfall; nothing is clamped.
  LegSolution solve_leg(Side side, const PelvisPose &pelvis, const SolePose &sole) const;

  // The engine's model and data, for tools that need more (momentum,
  // Jacobians). The data holds the last posture set.
  const mjModel_ *model() const;
  mjData_ *data() const;

 private:
  Body() = default;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kinematics

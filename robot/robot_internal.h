// The robot library's insides, shared by its source files: what a Model
// found in the engine's model when it loaded.
#pragma once

#include <mujoco/mujoco.h>

#include <Eigen/Core>
#include <Eigen/Geometry>
#include <cmath>
#include <string>

#include "robot.h"

namespace robot {

using Mat3 = Eigen::Matrix3d;
using Vec3 = Eigen::Vector3d;

// MuJoCo's row-major 3x3 as an Eigen matrix.
inline Mat3 from_mj(const mjtNum *m) {
  Mat3 r;
  r << m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7], m[8];
  return r;
}

inline Vec3 vec(const mjtNum *v) {
  return Vec3(v[0], v[1], v[2]);
}

inline Mat3 rot(const Vec3 &axis, double angle) {
  return Eigen::AngleAxisd(angle, axis).matrix();
}
inline Mat3 rot_x(double a) {
  return rot(Vec3::UnitX(), a);
}
inline Mat3 rot_y(double a) {
  return rot(Vec3::UnitY(), a);
}
inline Mat3 rot_z(double a) {
  return rot(Vec3::UnitZ(), a);
}

inline Mat3 pelvis_rotation(const PelvisPose &p) {
  return rot_z(p.yaw) * rot_y(p.pitch) * rot_x(p.roll);
}

// One leg, as the model gives it.
struct Leg {
  int qpos[6] = {};      // qpos address of each joint, kLegJoints order
  int dof[6] = {};       // dof address
  int joint_id[6] = {};  // model joint id
  double low[6] = {};    // range, rad (infinite when the joint is not limited)
  double high[6] = {};
  int foot_body = -1;  // body of the ankle roll joint
  int sole_geom = -1;  // the box whose bottom face is the sole
  // Closed form, when the axes allow it (all in the pelvis frame in the
  // zero posture, which every leg body's frame is parallel to).
  bool closed_form = false;
  double sign[6] = {};  // the joint's axis along z, x, y, y, y, x: +1 or -1
  Vec3 hip;             // where the hip's three axes meet
  Vec3 thigh;           // hip to knee axis, in the x-z plane
  Vec3 shin;            // knee axis to where the ankle's axes meet
  Vec3 sole_offset;     // ankle point to the sole's centre, foot frame
  Mat3 sole_in_foot;    // the sole geom's frame in the foot's
};

struct Model::Impl {
  mjModel *model = nullptr;
  int pelvis = -1;              // body with the free joint, -1 when none
  int root_qpos = -1;           // its position and quaternion in qpos
  int joint_id[kJointCount];    // hinge joint of each JointIndex, -1 when the model lacks it
  int joint_qpos[kJointCount];  // its qpos address, -1 when none
  double floor_height = 0.0;
  double start_heading = 0.0;
  bool has_legs = false;
  Leg legs[2];
  double height = 0.0;  // standing_height()

  ~Impl() {
    if (model != nullptr) mj_deleteModel(model);
  }

  // Puts the model in the posture with the pelvis at its pose and computes
  // the bodies' frames and the centres of mass.
  void place(mjData *d, const Posture &posture, const PelvisPose &pelvis) const;
  // Finds the leg's joints, bodies and sole; "" when all is there.
  std::string describe_leg(Side side);
  // Whether the leg is one the closed form solves, and its geometry if so;
  // "" when it is, else why not. `d` holds the zero posture with the
  // pelvis at the origin, level.
  std::string closed_form_leg(Side side, const mjData *d);
  // The legs' inverse kinematics: true with the angles, or false with why.
  bool closed(Side side, const PelvisPose &pelvis, const SoleFrame &sole, LegAngles *angles,
              LegFailure *why) const;
  bool iterate(mjData *scratch, Side side, const PelvisPose &pelvis, const SoleFrame &sole,
               LegAngles *angles, LegFailure *why) const;
  double reach_height(Side side, const PelvisPose &pelvis, const SoleFrame &sole) const;
};

// The centre of box `geom`'s bottom face in `d`, world frame.
inline Vec3 bottom_centre(const mjModel *m, const mjData *d, int geom) {
  return vec(d->geom_xpos + 3 * geom) -
         from_mj(d->geom_xmat + 9 * geom).col(2) * m->geom_size[3 * geom + 2];
}

// Hinge joint `j`'s stops, rad; the whole line when it has none.
inline JointRange hinge_range(const mjModel *m, int j) {
  if (m->jnt_limited[j] == 0) return {-INFINITY, INFINITY};
  return {m->jnt_range[2 * j], m->jnt_range[2 * j + 1]};
}

}  // namespace robot

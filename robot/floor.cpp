// The robot on the floor: its centre of mass, the floor's contacts and
// the centre of pressure, read from any state of the engine. The stand-in
// calls these in every step: no allocation, and work bounded by the
// engine's contacts.
#include <algorithm>
#include <limits>

#include "robot_internal.h"

namespace robot {

namespace {

// Contact `i` as the floor's force on the robot; false when it is not a
// contact with the floor or does not press.
bool floor_push(const Model &robot, const mjModel *m, const mjData &d, int i, FloorContact *out) {
  const mjContact &contact = d.contact[i];
  const bool floor_first = robot.is_floor(contact.geom1);
  if (!floor_first && !robot.is_floor(contact.geom2)) return false;
  mjtNum local[6];
  mj_contactForce(m, &d, i, local);
  if (!(local[0] > 0.0)) return false;
  // The frame's rows are the normal, from geom1 to geom2, and two
  // tangents; the force is geom1's on geom2.
  mjtNum force[3];
  mju_mulMatTVec(force, contact.frame, local, 3, 3);
  if (!floor_first) mju_scl3(force, force, -1.0);
  out->point = vec(contact.pos);
  out->force = vec(force);
  return true;
}

}  // namespace

int Model::floor_contacts(const mjData_ &d, FloorContact *out, int room) const {
  int n = 0;
  for (int i = 0; i < d.ncon && n < room; ++i) {
    if (floor_push(*this, impl_->model, d, i, out + n)) ++n;
  }
  return n;
}

Pressure Model::pressure(const mjData_ &d) const {
  Pressure p;
  double moment[2] = {0.0, 0.0};
  for (int i = 0; i < d.ncon; ++i) {
    FloorContact contact;
    if (!floor_push(*this, impl_->model, d, i, &contact)) continue;
    // A contact on a bump's side, its friction pulling down, weighs nothing.
    const double up = std::max(contact.force.z(), 0.0);
    p.force += up;
    moment[0] += up * contact.point.x();
    moment[1] += up * contact.point.y();
  }
  constexpr double kNone = std::numeric_limits<double>::quiet_NaN();
  p.centre = p.pressed() ? Eigen::Vector2d(moment[0] / p.force, moment[1] / p.force)
                         : Eigen::Vector2d(kNone, kNone);
  return p;
}

}  // namespace robot

// Where the robot's lowest point is, to stand it on the floor: shared by
// the stand-in's physics world and the bare-engine benchmark, which must
// place the robot the same way. Header only: MuJoCo is all it needs.
#pragma once

#include <mujoco/mujoco.h>

#include <cmath>

namespace robot {

// Lowest point of geom `g` in the world, m: exact for boxes, spheres and
// capsules, the bounding sphere's bottom for any other shape.
inline double lowest_point(const mjModel *m, const mjData *d, int g) {
  const mjtNum *pos = d->geom_xpos + 3 * g;
  const mjtNum *mat = d->geom_xmat + 9 * g;
  const mjtNum *size = m->geom_size + 3 * g;
  switch (m->geom_type[g]) {
    case mjGEOM_BOX:
      // The box's reach below its centre along z: |R_z·| times its half sizes.
      return pos[2] - std::fabs(mat[6]) * size[0] - std::fabs(mat[7]) * size[1] -
             std::fabs(mat[8]) * size[2];
    case mjGEOM_SPHERE:
      return pos[2] - size[0];
    case mjGEOM_CAPSULE:
      return pos[2] - std::fabs(mat[8]) * size[1] - size[0];
    default:
      return pos[2] - m->geom_rbound[g];
  }
}

}  // namespace robot

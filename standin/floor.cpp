// The floor's friction, slope and bumps, set in the model before the
// first engine step, and the robot set down on them.
#include "floor.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "config_text.h"
#include "placement.h"
#include "seeded.h"

namespace standin {

namespace {

// Whether geom g can touch anything.
bool collides(const mjModel *m, int g) {
  return m->geom_contype[g] != 0 || m->geom_conaffinity[g] != 0;
}

// Half the width of geom g's shadow on the level floor along x (axis 0)
// and y (axis 1), m: exact for boxes, spheres and capsules, the bounding
// sphere for any other shape.
void footprint(const mjModel *m, const mjData *d, int g, double *half) {
  const mjtNum *mat = d->geom_xmat + 9 * g;
  const mjtNum *size = m->geom_size + 3 * g;
  for (int axis = 0; axis < 2; ++axis) {
    const mjtNum *row = mat + 3 * axis;
    switch (m->geom_type[g]) {
      case mjGEOM_BOX:
        half[axis] =
            std::fabs(row[0]) * size[0] + std::fabs(row[1]) * size[1] + std::fabs(row[2]) * size[2];
        break;
      case mjGEOM_SPHERE:
        half[axis] = size[0];
        break;
      case mjGEOM_CAPSULE:
        half[axis] = std::fabs(row[2]) * size[1] + size[0];
        break;
      default:
        half[axis] = m->geom_rbound[g];
    }
  }
}

}  // namespace

void Floor::start(mjModel *m, Imperfections &settings, const char *model_name) {
  if (settings.bumps_mm > 0.0) {
    int g = mj_name2id(m, mjOBJ_GEOM, "bumps");
    if (g < 0 || m->geom_type[g] != mjGEOM_HFIELD || m->geom_bodyid[g] != 0) {
      report(
          "STANDIN_FLOOR_BUMPS: the robot model \"%s\" has no height field geom \"bumps\" in its "
          "world body; a flat floor",
          Quoted(model_name).text);
      settings.bumps_mm = 0.0;
    } else {
      bumps_ = g;
      make_bumps(m, settings.bumps_mm, settings.bumps_seed);
    }
  }
  // The floor takes part in every contact with it: its friction, not the
  // larger of the two, is the contact's.
  if (settings.friction > 0.0) {
    int priority = 0;
    for (int g = 0; g < m->ngeom; ++g) priority = std::max(priority, m->geom_priority[g]);
    for (int g = 0; g < m->ngeom; ++g) {
      if (m->geom_bodyid[g] != 0 || !collides(m, g)) continue;
      m->geom_friction[3 * g] = settings.friction;
      m->geom_priority[g] = priority + 1;
    }
  }
  if (settings.slope[0] != 0.0 || settings.slope[1] != 0.0) {
    // About the world's x, then about its y.
    constexpr double kRad = std::numbers::pi / 180.0;
    mjtNum about_x[4] = {std::cos(settings.slope[0] * kRad / 2),
                         std::sin(settings.slope[0] * kRad / 2), 0.0, 0.0};
    mjtNum about_y[4] = {std::cos(settings.slope[1] * kRad / 2), 0.0,
                         std::sin(settings.slope[1] * kRad / 2), 0.0};
    mju_mulQuat(turn_, about_y, about_x);
    const mjtNum z[3] = {0.0, 0.0, 1.0};
    mju_rotVecQuat(up_, z, turn_);
    tilted_ = true;
    // The world's scenery turns with the floor about the origin.
    for (int g = 0; g < m->ngeom; ++g) {
      if (m->geom_bodyid[g] != 0) continue;
      mjtNum pos[3];
      mju_rotVecQuat(pos, m->geom_pos + 3 * g, turn_);
      mju_copy3(m->geom_pos + 3 * g, pos);
      mjtNum quat[4];
      mju_mulQuat(quat, turn_, m->geom_quat + 4 * g);
      mju_copy4(m->geom_quat + 4 * g, quat);
      // The engine would otherwise take the world body's frame as the geom's.
      m->geom_sameframe[g] = 0;
    }
  }
}

// Each corner of the height field's grid at a height drawn from 0 to mm,
// the floor between corners flat triangles. The field then touches what
// the floor plane touches, and shows.
void Floor::make_bumps(mjModel *m, double mm, std::uint64_t seed) {
  int field = m->geom_dataid[bumps_];
  rows_ = m->hfield_nrow[field];
  columns_ = m->hfield_ncol[field];
  float *heights = m->hfield_data + m->hfield_adr[field];
  std::uint64_t key = mix(seed);
  for (int r = 0; r < rows_; ++r) {
    for (int c = 0; c < columns_; ++c) {
      std::uint64_t corner = (static_cast<std::uint64_t>(r) << 32) | static_cast<std::uint64_t>(c);
      heights[r * columns_ + c] = static_cast<float>(uniform(mix(key ^ corner)));
    }
  }
  heights_ = heights;
  bumps_top_ = mm / 1000.0;
  m->hfield_size[4 * field + 2] = bumps_top_;
  bumps_half_[0] = m->hfield_size[4 * field];
  bumps_half_[1] = m->hfield_size[4 * field + 1];
  mju_copy3(bumps_at_, m->geom_pos + 3 * bumps_);
  // It collides as the floor's first geom that collides does.
  int contype = 1;
  int conaffinity = 1;
  for (int g = 0; g < m->ngeom; ++g) {
    if (g == bumps_ || m->geom_bodyid[g] != 0 || !collides(m, g)) continue;
    contype = m->geom_contype[g];
    conaffinity = m->geom_conaffinity[g];
    break;
  }
  m->geom_contype[bumps_] = contype;
  m->geom_conaffinity[bumps_] = conaffinity;
  m->geom_group[bumps_] = 0;
}

double Floor::clearance(const mjModel *m, const mjData *d, int g) const {
  double lowest = robot::lowest_point(m, d, g);
  if (bumps_ < 0) return lowest;
  double half[2];
  footprint(m, d, g, half);
  // The grid's corners under the footprint, and one beyond each side: the
  // triangles between them are no higher than their corners.
  int first[2];
  int last[2];
  int count[2] = {columns_, rows_};
  for (int axis = 0; axis < 2; ++axis) {
    double centre = d->geom_xpos[3 * g + axis] - bumps_at_[axis];
    double cell = 2.0 * bumps_half_[axis] / (count[axis] - 1);
    first[axis] = static_cast<int>(std::floor((centre - half[axis] + bumps_half_[axis]) / cell));
    last[axis] = static_cast<int>(std::ceil((centre + half[axis] + bumps_half_[axis]) / cell));
    first[axis] = std::max(first[axis], 0);
    last[axis] = std::min(last[axis], count[axis] - 1);
  }
  float highest = 0.0f;
  for (int r = first[1]; r <= last[1]; ++r) {
    for (int c = first[0]; c <= last[0]; ++c)
      highest = std::max(highest, heights_[r * columns_ + c]);
  }
  return lowest - (bumps_at_[2] + bumps_top_ * highest);
}

void Floor::tilt(mjData *d, int root) const {
  if (!tilted_) return;
  mjtNum *pos = d->qpos + root;
  mjtNum turned[3];
  mju_rotVecQuat(turned, pos, turn_);
  mju_copy3(pos, turned);
  mjtNum *quat = d->qpos + root + 3;
  mjtNum turned_quat[4];
  mju_mulQuat(turned_quat, turn_, quat);
  mju_copy4(quat, turned_quat);
}

double Floor::height_at(double x, double y) const {
  if (!tilted_) return 0.0;
  // The plane through the origin square to the floor's normal.
  return -(up_[0] * x + up_[1] * y) / up_[2];
}

}  // namespace standin

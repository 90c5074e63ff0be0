// The floor as real floors are (STANDIN_FLOOR_FRICTION, _SLOPE, _BUMPS):
// it changes the model's floor before the robot is placed, and says how
// to set the robot down on it. The floor is every geom of the world body;
// the bumps are the model's height field geom "bumps", unused until asked
// for.
#pragma once

#include <mujoco/mujoco.h>

#include "standin_internal.h"

namespace standin {

class Floor {
 public:
  // Applies the floor's settings to `m`, named `model_name` in reports. A
  // setting the model cannot take (bumps without a height field) is told
  // and switched off in `settings`.
  void start(mjModel *m, Imperfections &settings, const char *model_name);
  // How high geom `g`'s lowest point lies above the floor under it, m,
  // with the robot upright on the floor as it would be if level: the
  // bumps count, the slope not yet.
  double clearance(const mjModel *m, const mjData *d, int g) const;
  // Turns the robot, placed by clearance() with its free root at qpos
  // address `root`, with the floor about the world's origin, so that it
  // stands on the slope as on the level.
  void tilt(mjData *d, int root) const;
  // The height of the floor's slope under world point (x, y), m: 0 on a
  // level floor. The bumps do not count.
  double height_at(double x, double y) const;

 private:
  void make_bumps(mjModel *m, double mm, std::uint64_t seed);

  bool tilted_ = false;
  mjtNum turn_[4] = {1.0, 0.0, 0.0, 0.0};  // the slope as a quaternion
  mjtNum up_[3] = {0.0, 0.0, 1.0};         // the floor's normal
  int bumps_ = -1;                         // the height field's geom; -1 = a flat floor
  mjtNum bumps_at_[3] = {};                // its place on the level floor, m
  double bumps_half_[2] = {};              // its half sizes along x and y, m
  double bumps_top_ = 0.0;                 // its highest bump's height, m
  int rows_ = 0;                           // its grid: rows along y, columns along x
  int columns_ = 0;
  const float *heights_ = nullptr;  // rows_ x columns_, 0 to 1 of bumps_top_
};

}  // namespace standin

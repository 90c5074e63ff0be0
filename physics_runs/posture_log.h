// What a run's posture log says: its rows, the robot of a row stood on the
// floor, and the balance margin of a row, from the robot library.
//
// Frames: the world's, as the posture log gives it (x the way the robot
// first faced, y to its left, z up), m, s, N.
#pragma once

#include <Eigen/Core>
#include <array>
#include <istream>
#include <string>
#include <vector>

#include "body_model.h"
#include "robot.h"

namespace physics_runs {

// A sole carries weight above this force, N.
inline constexpr double kCarrying = 1.0;

// One row of the stand-in's posture log, the columns the tools read.
struct LogRow {
  long time_ms = 0;
  Posture joints{};                               // rad, by JointIndex
  Eigen::Vector3d gps = Eigen::Vector3d::Zero();  // the pelvis's origin, m
  std::array<double, 2> touch = {0.0, 0.0};       // each sole's normal force, N
  double yaw = 0.0;                               // the pelvis's heading from its start, rad
  Eigen::Vector2d com = Eigen::Vector2d::Zero();  // the centre of mass on the floor, m
  Eigen::Vector2d cop = Eigen::Vector2d::Zero();  // the centre of pressure, m; NaN for none
};
// Reads a posture log by its columns' names; false with `*error` for a
// log without the columns or with a bad row.
bool read_posture_log(std::istream &in, std::vector<LogRow> *rows, std::string *error);

// A row's robot, its stance sole flat on the floor.
struct StoodRow {
  robot::Side stance = robot::kLeft;
  std::array<std::array<Eigen::Vector3d, 4>, 2> soles;  // each sole's corners
  Eigen::Vector3d com = Eigen::Vector3d::Zero();
};
// The robot standing on sole `stance`, flat, as its joints say, its pelvis
// at the GPS, facing its logged heading. `data` is of the whole robot
// (robot::Parts::kLegs).
StoodRow stand_row(robot::Data &data, const LogRow &row, robot::Side stance);
// ... on the sole that presses more.
StoodRow stand_row(robot::Data &data, const LogRow &row);

// The soles of a stood row as they stand on the floor at `floor_height`:
// a corner the log's joints put into the floor (they are not a rigid
// robot's: the real sole lies on it, tilted a little or pressed flat) is
// on the floor.
std::array<std::array<Eigen::Vector3d, 4>, 2> soles_on_floor(const StoodRow &stood,
                                                             double floor_height);

// The balance margin of a row, mm, by the balance check's rule
// (motion_check/balance.h: balance_margin of the carrying_support): the
// logged centre of pressure in the support of the soles that carry, a
// sole carrying when it comes within kCarryGap of the floor or, as the
// log's touch sensor feels it, presses with more than kCarrying. The
// robot stands on a sole that presses, its soles on the floor
// (soles_on_floor); where both press, on the one whose support holds the
// centre of pressure best. NaN when nothing presses on the floor.
double balance_margin(robot::Data &data, const LogRow &row);

}  // namespace physics_runs

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

// The support of a stood row, by the balance check's rule of a sole that
// carries (motion_check/balance.h): a sole carries when it comes within
// kCarryGap of the floor, or, as the log measures it, presses with more
// than kCarrying; its corners within kCarryGap of its lowest one count, or
// of the floor for a sole stood into it.
robot::Support carrying_support(const StoodRow &stood, const LogRow &row, double floor_height);

// The balance margin of a row, mm: the centre of pressure's margin in the
// support, as the balance check measures a motion's, the robot standing
// on a sole that presses: where both do, on the one whose support holds
// the centre of pressure best. NaN when nothing presses on the floor.
double balance_margin(robot::Data &data, const LogRow &row);

}  // namespace physics_runs

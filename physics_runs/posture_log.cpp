#include "posture_log.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <sstream>

#include "balance.h"

namespace physics_runs {

bool read_posture_log(std::istream &in, std::vector<LogRow> *rows, std::string *error) {
  std::string line;
  if (!std::getline(in, line)) {
    *error = "the posture log is empty";
    return false;
  }
  // Where each column this tool reads is.
  std::map<std::string, int> column;
  {
    std::istringstream header(line);
    std::string name;
    for (int i = 0; std::getline(header, name, ','); ++i) column.emplace(name, i);
  }
  auto at = [&](const std::string &name) {
    const auto found = column.find(name);
    return found == column.end() ? -1 : found->second;
  };
  const int time = at("time_ms");
  const int gps[3] = {at("gps_x"), at("gps_y"), at("gps_z")};
  const int touch[2] = {at("left_touch"), at("right_touch")};
  const int yaw = at("yaw");
  const int com[2] = {at("com_x"), at("com_y")};
  const int cop[2] = {at("cop_x"), at("cop_y")};
  std::array<int, kJointCount> joints;
  for (int i = 0; i < kJointCount; ++i) joints[i] = at(kJoints[i].name);
  std::vector<int> wanted = {time, gps[0], gps[1], gps[2], touch[0], touch[1],
                             yaw,  com[0], com[1], cop[0], cop[1]};
  wanted.insert(wanted.end(), joints.begin(), joints.end());
  if (std::find(wanted.begin(), wanted.end(), -1) != wanted.end()) {
    *error = "the posture log lacks a column this test reads";
    return false;
  }
  std::vector<double> fields;
  while (std::getline(in, line)) {
    fields.clear();
    std::istringstream row(line);
    std::string field;
    while (std::getline(row, field, ',')) fields.push_back(std::strtod(field.c_str(), nullptr));
    if (fields.size() < column.size()) {
      *error = "the posture log has a short row";
      return false;
    }
    LogRow r;
    r.time_ms = std::lround(fields[time]);
    for (int i = 0; i < kJointCount; ++i) r.joints[i] = fields[joints[i]];
    r.gps = Eigen::Vector3d(fields[gps[0]], fields[gps[1]], fields[gps[2]]);
    r.touch = {fields[touch[0]], fields[touch[1]]};
    r.yaw = fields[yaw];
    r.com = Eigen::Vector2d(fields[com[0]], fields[com[1]]);
    r.cop = Eigen::Vector2d(fields[cop[0]], fields[cop[1]]);
    rows->push_back(r);
  }
  return true;
}

StoodRow stand_row(robot::Data &data, const LogRow &row, robot::Side stance) {
  const robot::Model &model = data.model();
  StoodRow stood;
  stood.stance = stance;
  data.stand_on(stance, row.joints, row.gps, model.start_heading() + row.yaw);
  stood.soles = {data.sole_corners(robot::kLeft), data.sole_corners(robot::kRight)};
  double lowest = INFINITY;
  for (const Eigen::Vector3d &corner : stood.soles[stance]) lowest = std::min(lowest, corner.z());
  const Eigen::Vector3d lift(0.0, 0.0, model.floor_height() - lowest);
  for (auto &sole : stood.soles)
    for (Eigen::Vector3d &corner : sole) corner += lift;
  stood.com = data.com() + lift;
  return stood;
}

StoodRow stand_row(robot::Data &data, const LogRow &row) {
  return stand_row(
      data, row,
      row.touch[robot::kLeft] >= row.touch[robot::kRight] ? robot::kLeft : robot::kRight);
}

std::array<std::array<Eigen::Vector3d, 4>, 2> soles_on_floor(const StoodRow &stood,
                                                             double floor_height) {
  std::array<std::array<Eigen::Vector3d, 4>, 2> soles = stood.soles;
  for (auto &sole : soles)
    for (Eigen::Vector3d &corner : sole) corner.z() = std::max(corner.z(), floor_height);
  return soles;
}

double balance_margin(robot::Data &data, const LogRow &row) {
  if (!std::isfinite(row.cop.x()) || !std::isfinite(row.cop.y())) return NAN;
  // Where both soles press, the log's joints, which are not a rigid
  // robot's, stand the robot on either one with the other a little off the
  // floor or into it. The centre of pressure lies inside the real
  // contacts: the stance whose support holds it best is the one the log
  // agrees with.
  double best = -INFINITY;
  for (robot::Side side : {robot::kLeft, robot::kRight}) {
    const robot::Side other = side == robot::kLeft ? robot::kRight : robot::kLeft;
    if (!(row.touch[side] > kCarrying) && row.touch[side] < row.touch[other]) continue;
    const StoodRow stood = stand_row(data, row, side);
    const double floor = data.model().floor_height();
    const robot::Support support = ::carrying_support(
        soles_on_floor(stood, floor), floor,
        {row.touch[robot::kLeft] > kCarrying, row.touch[robot::kRight] > kCarrying});
    best = std::max(best, ::balance_margin(support, row.cop).mm);
  }
  return best;
}

}  // namespace physics_runs

#include "push_test_lib.h"

#include <Eigen/Geometry>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <map>
#include <sstream>

#include "balance.h"

namespace push {

namespace {

// A whole number of one or two digits from `low` to 20.
bool parse_count(const std::string &text, int low, int *out) {
  if (text.empty() || text.size() > 2) return false;
  int value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < low || value > 20)
    return false;
  *out = value;
  return true;
}

// The directions of a comma-separated list, each once.
bool parse_directions(const std::string &list, std::vector<Direction> *out, std::string *error) {
  out->clear();
  std::size_t start = 0;
  while (start < list.size()) {
    std::size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    const std::string word = list.substr(start, comma - start);
    start = comma + 1;
    const auto *named = std::find(kDirectionNames.begin(), kDirectionNames.end(), word);
    if (named == kDirectionNames.end()) {
      *error = "no direction '" + word + "': front, back, left or right";
      return false;
    }
    const Direction d = static_cast<Direction>(named - kDirectionNames.begin());
    // Two bisections of one direction at one moment would be one.
    if (std::find(out->begin(), out->end(), d) != out->end()) {
      *error = "--directions names '" + word + "' twice";
      return false;
    }
    out->push_back(d);
  }
  if (out->empty()) {
    *error = "--directions names no direction";
    return false;
  }
  return true;
}

// A number as the bisection keeps it: six significant digits.
double six_digits(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return std::strtod(text, nullptr);
}

}  // namespace

Eigen::Vector2d force_direction(Direction from) {
  switch (from) {
    case Direction::kFront:
      return {-1.0, 0.0};
    case Direction::kBack:
      return {1.0, 0.0};
    case Direction::kLeft:
      return {0.0, -1.0};
    case Direction::kRight:
      break;
  }
  return {0.0, 1.0};
}

std::optional<Options> parse_options(std::span<const std::string> args, std::string *error) {
  Options options;
  std::string steps = "7", moments = "4", directions = "front,back,left,right";
  std::size_t a = 0;
  // Options take a value each; "--" ends them; the last word is the file.
  while (args.size() - a > 1) {
    const std::string &option = args[a];
    if (option == "--") {
      ++a;
      break;
    }
    if (option == "--steps") {
      steps = args[a + 1];
    } else if (option == "--moments") {
      moments = args[a + 1];
    } else if (option == "--directions") {
      directions = args[a + 1];
    } else {
      *error = kUsage;
      return std::nullopt;
    }
    a += 2;
  }
  if (args.size() - a != 1) {
    *error = kUsage;
    return std::nullopt;
  }
  if (!parse_count(steps, 1, &options.steps)) {
    *error = "--steps must be a whole number from 1 to 20, not '" + steps + "'";
    return std::nullopt;
  }
  if (!parse_count(moments, 1, &options.moments)) {
    *error = "--moments must be a whole number from 1 to 20, not '" + moments + "'";
    return std::nullopt;
  }
  if (!parse_directions(directions, &options.directions, error)) return std::nullopt;
  options.file = args[a];
  return options;
}

std::vector<long> push_moments(long first_ms, long playback_ms, int moments) {
  // A posture is pushed once it has settled.
  if (playback_ms <= 50) return {first_ms + 1000};
  std::vector<long> at;
  for (int i = 0; i < moments; ++i) {
    const double t = (first_ms + (i + 0.5) * playback_ms / moments) / 10.0;
    const long moment = static_cast<long>(t) * 10;
    if (std::find(at.begin(), at.end(), moment) == at.end()) at.push_back(moment);
  }
  return at;
}

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
  std::array<int, kJointCount> joints;
  for (int i = 0; i < kJointCount; ++i) joints[i] = at(kJoints[i].name);
  std::vector<int> wanted = {time, gps[0], gps[1], gps[2], touch[0], touch[1], yaw, com[0], com[1]};
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
    rows->push_back(r);
  }
  return true;
}

Estimator::Estimator(const robot::Model &model) : model_(model), data_(model) {}

Estimator::Posed Estimator::pose(const LogRow &row) {
  using robot::kLeft;
  using robot::kRight;
  // On the sole that presses more, flat on the floor, as the joints, the
  // GPS and the heading say.
  const robot::Side stance = row.touch[kLeft] >= row.touch[kRight] ? kLeft : kRight;
  data_.stand_on(stance, row.joints, row.gps, model_.start_heading() + row.yaw);
  Posed posed;
  posed.soles = {data_.sole_corners(kLeft), data_.sole_corners(kRight)};
  double lowest = INFINITY;
  for (const Eigen::Vector3d &corner : posed.soles[stance]) lowest = std::min(lowest, corner.z());
  const Eigen::Vector3d lift(0.0, 0.0, model_.floor_height() - lowest);
  for (auto &sole : posed.soles)
    for (Eigen::Vector3d &corner : sole) corner += lift;
  posed.com = data_.com() + lift;
  return posed;
}

double Estimator::impulse(std::span<const LogRow> log, std::size_t at, Direction from) {
  const LogRow &now = log[at];
  const LogRow &before = log[at > 0 ? at - 1 : at];
  const Posed posed = pose(now);
  // The support: the soles that carry, by their force or, as the balance
  // check has it, by coming within kCarryGap of the floor, where a push
  // toward them presses them down; and a sole in the air where it lands
  // next in the unpushed run, within the time the push is judged in.
  std::array<Eigen::Vector2d, 8> corners;
  int n = 0;
  for (robot::Side side : {robot::kLeft, robot::kRight}) {
    double low = INFINITY;
    for (const Eigen::Vector3d &corner : posed.soles[side]) low = std::min(low, corner.z());
    const std::array<Eigen::Vector3d, 4> *sole = &posed.soles[side];
    Posed landed;
    if (!(now.touch[side] > kCarrying) && low - model_.floor_height() > kCarryGap) {
      std::size_t k = at + 1;
      while (k < log.size() && log[k].time_ms <= now.time_ms + kPushMs + kSettleMs &&
             !(log[k].touch[side] > kCarrying))
        ++k;
      if (k == log.size() || log[k].time_ms > now.time_ms + kPushMs + kSettleMs) continue;
      landed = pose(log[k]);
      sole = &landed.soles[side];
    }
    for (const Eigen::Vector3d &corner : *sole) corners[n++] = corner.head<2>();
  }
  const robot::Support support = robot::Support::hull(std::span(corners.data(), n));
  // The capture point: the centre of mass ahead by its speed over omega,
  // the linear inverted pendulum's of the centre of mass's height.
  const double height = posed.com.z() - model_.floor_height();
  const double omega = std::sqrt(model_.g() / height);
  const double dt = (now.time_ms - before.time_ms) / 1000.0;
  const Eigen::Vector2d speed =
      dt > 0 ? Eigen::Vector2d((now.com - before.com) / dt) : Eigen::Vector2d::Zero();
  const Eigen::Vector2d capture = now.com + speed / omega;
  // A push of J changes the speed by J / m, the capture point by J / (m omega).
  const double heading = model_.start_heading() + now.yaw;
  const Eigen::Vector2d push = Eigen::Rotation2Dd(heading) * force_direction(from);
  return model_.mass() * omega * support.reach(capture, push);
}

void Bisection::verdict(bool survived) {
  if (!bracketed_) {
    if (survived) {
      low_ = trying_;
      if (trying_ * 2 > kMostImpulse) {
        done_ = none_ = true;
        return;
      }
      high_ = trying_ = trying_ * 2;
      return;
    }
    high_ = trying_;
    bracketed_ = true;
  } else {
    (survived ? low_ : high_) = trying_;
    ++halved_;
  }
  if (halved_ == steps_) {
    done_ = true;
    return;
  }
  trying_ = six_digits((low_ + high_) / 2);
}

std::string push_setting(long at_ms, double impulse, Direction from, double yaw) {
  // The force that gives the impulse over the push, turned from the
  // robot's frame at the moment into its starting frame.
  char text[32];
  std::snprintf(text, sizeof text, "%.6f", impulse * 1000.0 / kPushMs);
  const double force = std::strtod(text, nullptr);
  const Eigen::Vector2d f = Eigen::Rotation2Dd(yaw) * (force * force_direction(from));
  char setting[96];
  std::snprintf(setting, sizeof setting, "%ld:%.6f,%.6f,0:%d", at_ms, f.x(), f.y(), kPushMs);
  return setting;
}

void print_table(std::FILE *out, const std::string &name, long first_ms,
                 const std::vector<long> &moments, const std::vector<Direction> &directions,
                 const std::vector<Bisection> &bisections, const std::vector<double> &estimates) {
  auto since = [&](long t) { return (t - first_ms) / 1000.0; };
  std::fprintf(out,
               "push-test: %s: %d ms pushes on the chest at %zu moment(s), s since the first "
               "command: ",
               name.c_str(), kPushMs, moments.size());
  for (long t : moments) std::fprintf(out, "%.2f ", since(t));
  std::fprintf(out, "- every moment must survive\n");
  std::fprintf(out, "%-10s %14s %12s %14s %18s\n", "direction", "survives N s", "falls N s",
               "estimate N s", "weakest moment s");
  const Bisection *weakest = nullptr;
  for (Direction d : directions) {
    const Bisection *least = nullptr;
    double estimate = INFINITY;
    for (std::size_t k = 0; k < bisections.size(); ++k) {
      if (bisections[k].from() != d) continue;
      if (least == nullptr || bisections[k].survives() < least->survives()) least = &bisections[k];
      estimate = std::min(estimate, estimates[k]);
    }
    if (least == nullptr) continue;
    char falls[32] = "over 100";
    if (least->falls()) std::snprintf(falls, sizeof falls, "%.2f", *least->falls());
    std::fprintf(out, "%-10s %14.2f %12s %14.2f %18.2f\n", name_of(d), least->survives(), falls,
                 estimate, since(least->at_ms()));
    if (weakest == nullptr || least->survives() < weakest->survives()) weakest = least;
  }
  if (weakest == nullptr) return;
  std::fprintf(out,
               "weakest moment: %.2f s after the first command, pushed from the %s (%.2f N s)\n",
               since(weakest->at_ms()), name_of(weakest->from()), weakest->survives());
}

}  // namespace push

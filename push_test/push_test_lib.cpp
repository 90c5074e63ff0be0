#include "push_test_lib.h"

#include <Eigen/Geometry>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "balance.h"
#include "walker_run.h"

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
  std::string steps = "7", moments, directions = "front,back,left,right";
  std::size_t a = 0;
  // Options take a value each but --walker; "--" ends them; the last word
  // is the file.
  while (args.size() - a > 1) {
    const std::string &option = args[a];
    if (option == "--") {
      ++a;
      break;
    }
    if (option == "--walker") {
      options.walker = true;
      ++a;
      continue;
    }
    if (option == "--walker-arg") {
      options.walker_args.push_back(args[a + 1]);
    } else if (option == "--steps") {
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
  if (!options.walker && !options.walker_args.empty()) {
    *error = "--walker-arg goes with --walker: FILE is then a walker script";
    return std::nullopt;
  }
  if (moments.empty()) moments = std::to_string(options.walker ? kWalkerMoments : kMotionMoments);
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

std::vector<long> stride_moments(const std::vector<long> &landings, long first_ms, int moments,
                                 long played_ms, std::string *error) {
  if (landings.empty()) return {(first_ms + kStandingPushMs) / 10 * 10};
  if (landings.size() < kSteadySteps + 3) {
    char played[32];
    std::snprintf(played, sizeof played, "%.1f", played_ms / 1000.0);
    *error = "the walk lands " + std::to_string(landings.size()) + " step(s) in the " + played +
             " s of its unpushed run; push-test pushes the stride after the first " +
             std::to_string(kSteadySteps) + ", so it needs " + std::to_string(kSteadySteps + 3) +
             " and 3.1 s of walking after them";
    return {};
  }
  const long from = landings[kSteadySteps];
  const long stride = landings[kSteadySteps + 2] - from;
  std::vector<long> at;
  for (int i = 0; i < moments; ++i) {
    const long moment = static_cast<long>((from + (i + 0.5) * stride / moments) / 10.0) * 10;
    if (std::find(at.begin(), at.end(), moment) == at.end()) at.push_back(moment);
  }
  return at;
}

bool walked_on(const std::vector<LogRow> &unpushed, const std::vector<LogRow> &pushed, long from_ms,
               long to_ms) {
  if (unpushed.empty() || pushed.empty()) return false;
  const LogRow &a0 = physics_runs::row_at(unpushed, from_ms);
  const LogRow &a1 = physics_runs::row_at(unpushed, to_ms);
  const LogRow &b0 = physics_runs::row_at(pushed, from_ms);
  const LogRow &b1 = physics_runs::row_at(pushed, to_ms);
  // A pushed log that ends before `to_ms` has not walked on to it.
  if (b1.time_ms < a1.time_ms) return false;
  const Eigen::Vector2d way = (a1.gps - a0.gps).head<2>();
  const Eigen::Vector2d went = (b1.gps - b0.gps).head<2>();
  if (way.norm() >= kStill && went.dot(way) < 0.5 * way.squaredNorm()) return false;
  // The log's heading may wrap at half a turn; 2 s turn less than that.
  const double turn = std::remainder(a1.yaw - a0.yaw, 2 * M_PI);
  const double turned = std::remainder(b1.yaw - b0.yaw, 2 * M_PI);
  return std::fabs(turn) < kStillTurn || turned * turn >= 0.5 * turn * turn;
}

Estimator::Estimator(const robot::Model &model) : model_(model), data_(model) {}

double Estimator::impulse(std::span<const LogRow> log, std::size_t at, Direction from) {
  const LogRow &now = log[at];
  const LogRow &before = log[at > 0 ? at - 1 : at];
  const physics_runs::StoodRow posed = physics_runs::stand_row(data_, now);
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
    physics_runs::StoodRow landed;
    if (!(now.touch[side] > kCarrying) && low - model_.floor_height() > kCarryGap) {
      std::size_t k = at + 1;
      while (k < log.size() && log[k].time_ms <= now.time_ms + kPushMs + kSettleMs &&
             !(log[k].touch[side] > kCarrying))
        ++k;
      if (k == log.size() || log[k].time_ms > now.time_ms + kPushMs + kSettleMs) continue;
      landed = physics_runs::stand_row(data_, log[k]);
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

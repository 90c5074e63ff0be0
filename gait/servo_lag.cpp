#include "servo_lag.h"

#include <algorithm>
#include <cmath>

#include "robot.h"

namespace gait {

namespace {

// The commands must have moved at least this much (rad² over the memory,
// all leg joints) before the peak says anything: a walk's step moves them
// about 0.05 rad², the lowering 0.3 rad².
constexpr double kEnoughMoves = 0.01;

// The leg joints' postures, in a fixed order.
std::array<double, 12> legs(const Posture &p) {
  std::array<double, 12> a{};
  for (int side = 0; side < 2; ++side)
    for (int j = 0; j < 6; ++j) a[side * 6 + j] = p[robot::kLegJoints[side][j]];
  return a;
}

}  // namespace

ServoLag::ServoLag(double period, double memory)
    : period_(period),
      keep_(std::exp(-period / memory)),
      most_(std::max(1, static_cast<int>(std::ceil(kLongest / period)))),
      moves_(static_cast<std::size_t>(most_) + 1),
      correlation_(static_cast<std::size_t>(most_) + 1, 0.0) {}

void ServoLag::add(const Posture &sent, const Posture &read) {
  const std::array<double, 12> s = legs(sent), r = legs(read);
  if (!primed_) {
    last_sent_ = s;
    last_read_ = r;
    primed_ = true;
    return;
  }
  const int size = most_ + 1;
  newest_ = (newest_ + most_) % size;
  std::array<double, 12> &move = moves_[static_cast<std::size_t>(newest_)];
  double moved = 0.0;
  for (int j = 0; j < 12; ++j) {
    move[j] = s[j] - last_sent_[j];
    moved += move[j] * move[j];
  }
  energy_ = keep_ * energy_ + moved;
  // The joints' moves as read; a joint not read moves by nothing.
  std::array<double, 12> read_move{};
  for (int j = 0; j < 12; ++j) {
    const double d = r[j] - last_read_[j];
    read_move[j] = std::isfinite(d) ? d : 0.0;
  }
  for (int k = 0; k <= most_; ++k) {
    const std::array<double, 12> &then = moves_[static_cast<std::size_t>((newest_ + k) % size)];
    double sum = 0.0;
    for (int j = 0; j < 12; ++j) sum += read_move[j] * then[j];
    double &c = correlation_[static_cast<std::size_t>(k)];
    c = keep_ * c + sum;
  }
  last_sent_ = s;
  for (int j = 0; j < 12; ++j)
    if (std::isfinite(r[j])) last_read_[j] = r[j];
  find_peak();
}

void ServoLag::find_peak() {
  if (energy_ < kEnoughMoves) return;
  const std::vector<double> &c = correlation_;
  std::size_t best = 0;
  for (std::size_t k = 1; k < c.size(); ++k)
    if (c[k] > c[best]) best = k;
  // At the longest lag looked for, the servos may be later still.
  known_ = c[best] > 0.0 && best + 1 < c.size();
  if (!known_) {
    lag_ = 0.0;
    return;
  }
  // Between periods: the parabola through the peak and its neighbours.
  double at = static_cast<double>(best);
  if (best > 0) {
    const double a = c[best - 1], b = c[best], d = c[best + 1];
    const double bend = a - 2.0 * b + d;
    if (bend < 0.0) at += 0.5 * (a - d) / bend;
  }
  // moves_[k] went out k periods before the last, and the joints move in
  // the period after a command goes out: a lag of k falls within it.
  lag_ = (at + 0.5) * period_;
}

}  // namespace gait

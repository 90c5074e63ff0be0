#include "servo_lag.h"

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
    : period_(period), keep_(std::exp(-period / memory)) {}

void ServoLag::add(const Posture &sent, const Posture &read) {
  const std::array<double, 12> s = legs(sent), r = legs(read);
  if (!primed_) {
    last_sent_ = s;
    last_read_ = r;
    primed_ = true;
    return;
  }
  newest_ = (newest_ + kMost) % (kMost + 1);
  std::array<double, 12> &move = moves_[newest_];
  double moved = 0.0;
  for (int j = 0; j < 12; ++j) {
    move[j] = s[j] - last_sent_[j];
    moved += move[j] * move[j];
  }
  energy_ = keep_ * energy_ + moved;
  for (int k = 0; k <= kMost; ++k) {
    const std::array<double, 12> &then = moves_[(newest_ + k) % (kMost + 1)];
    double sum = 0.0;
    for (int j = 0; j < 12; ++j) {
      const double read_move = r[j] - last_read_[j];
      if (std::isfinite(read_move)) sum += read_move * then[j];
    }
    correlation_[k] = keep_ * correlation_[k] + sum;
  }
  last_sent_ = s;
  for (int j = 0; j < 12; ++j)
    if (std::isfinite(r[j])) last_read_[j] = r[j];
  find_peak();
}

void ServoLag::find_peak() {
  if (energy_ < kEnoughMoves) return;
  int best = 0;
  for (int k = 1; k <= kMost; ++k)
    if (correlation_[k] > correlation_[best]) best = k;
  if (correlation_[best] <= 0.0) return;
  // Between periods: the parabola through the peak and its neighbours.
  double at = best;
  if (best > 0 && best < kMost) {
    const double a = correlation_[best - 1], b = correlation_[best], c = correlation_[best + 1];
    const double bend = a - 2.0 * b + c;
    if (bend < 0.0) at += 0.5 * (a - c) / bend;
  }
  // moves_[k] went out k periods before the last, and the joints move in
  // the period after a command goes out: a lag of k falls within it.
  lag_ = (at + 0.5) * period_;
  known_ = true;
}

}  // namespace gait

// The support polygon: Andrew's monotone chain for the hull, and the
// nearest point of its boundary for the margin.
#include "support.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace robot {

namespace {

using Vec2 = Eigen::Vector2d;

// Twice the signed area of o, a, b: positive when they turn left.
double cross(const Vec2 &o, const Vec2 &a, const Vec2 &b) {
  return (a.x() - o.x()) * (b.y() - o.y()) - (a.y() - o.y()) * (b.x() - o.x());
}

}  // namespace

Support Support::hull(std::span<const Eigen::Vector2d> points) {
  const int n = static_cast<int>(std::min<std::size_t>(points.size(), kMaxSupportPoints));
  std::array<Vec2, kMaxSupportPoints> p;
  std::copy(points.begin(), points.begin() + n, p.begin());
  std::sort(p.begin(), p.begin() + n, [](const Vec2 &a, const Vec2 &b) {
    return a.x() < b.x() || (a.x() == b.x() && a.y() < b.y());
  });
  // The chain holds the lower hull, then climbs back along the upper one;
  // it never holds more than every point once and the first again.
  std::array<Vec2, kMaxSupportPoints + 1> chain;
  int k = 0;
  for (int i = 0; i < n; ++i) {
    while (k >= 2 && cross(chain[k - 2], chain[k - 1], p[i]) <= kCollinear) --k;
    chain[k++] = p[i];
  }
  for (int i = n - 2, lower = k + 1; i >= 0; --i) {
    while (k >= lower && cross(chain[k - 2], chain[k - 1], p[i]) <= kCollinear) --k;
    chain[k++] = p[i];
  }
  Support support;
  // The chain ends where it began; one point is its own hull.
  support.n_ = n <= 1 ? n : k - 1;
  // Points that all coincide are one.
  if (support.n_ == 2 && (chain[1] - chain[0]).squaredNorm() <= kCollinear) support.n_ = 1;
  std::copy(chain.begin(), chain.begin() + support.n_, support.v_.begin());
  return support;
}

Eigen::Vector2d Support::centre() const {
  Vec2 sum = Vec2::Zero();
  for (int i = 0; i < n_; ++i) sum += v_[i];
  return n_ > 0 ? Vec2(sum / n_) : sum;
}

double Support::margin(const Eigen::Vector2d &q, Eigen::Vector2d *nearest) const {
  double outside = std::numeric_limits<double>::infinity();
  double inside = std::numeric_limits<double>::infinity();
  bool in = n_ >= 3;
  // The nearest point of each edge; inside, the nearest of all is the
  // boundary's nearest point, and every edge has the point on its left.
  for (int i = 0; i < n_; ++i) {
    const Vec2 &a = v_[i];
    const Vec2 &b = v_[(i + 1) % n_];
    const Vec2 e = b - a;
    const double length2 = e.squaredNorm();
    const double t = length2 > 0 ? std::clamp((q - a).dot(e) / length2, 0.0, 1.0) : 0.0;
    const Vec2 on = a + t * e;
    const double d = (q - on).norm();
    if (d < outside) {
      outside = d;
      if (nearest != nullptr) *nearest = on;
    }
    if (n_ >= 3) {
      if (e.x() * (q.y() - a.y()) - e.y() * (q.x() - a.x()) < 0) in = false;
      inside = std::min(inside, d);
    }
  }
  return in ? inside : -outside;
}

double Support::reach(const Eigen::Vector2d &p, const Eigen::Vector2d &direction) const {
  if (n_ < 3) return 0.0;
  double most = std::numeric_limits<double>::infinity();
  for (int i = 0; i < n_; ++i) {
    const Vec2 &a = v_[i];
    const Vec2 e = v_[(i + 1) % n_] - a;
    // The edge's outward normal (counter-clockwise corners), unscaled:
    // p + s u stays inside while normal . (p + s u - a) <= 0.
    const Vec2 normal(e.y(), -e.x());
    const double beyond = normal.dot(p - a);
    if (beyond > 0) return 0.0;
    const double toward = normal.dot(direction);
    if (toward > 0) most = std::min(most, -beyond / toward);
  }
  return std::isfinite(most) ? most : 0.0;
}

}  // namespace robot

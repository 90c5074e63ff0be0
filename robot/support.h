// The support polygon: the convex hull of the points a robot stands on,
// on the floor, and how far a point is inside it. Plane geometry only:
// metres in any one frame of the floor (x, y). No allocation, so the
// stand-in's step and its drawing use it as the tools do.
#pragma once

#include <Eigen/Core>
#include <array>
#include <span>

namespace robot {

// Most points a hull is made from: a robot lying on the floor touches it
// at about 30.
inline constexpr int kMaxSupportPoints = 64;

// A convex polygon on the floor, its corners counter-clockwise. Points
// closer to a line than kCollinear (m², the cross product) are on it: the
// hull keeps no corner that is not one.
class Support {
 public:
  static constexpr double kCollinear = 1e-12;

  // The empty support: nothing stands on the floor.
  Support() = default;
  // The convex hull of `points` (the first kMaxSupportPoints of them). One
  // point, or points all on one line, give a hull of one corner or two: a
  // sole on its corner or its edge; points that coincide (within 1 µm)
  // are one corner.
  static Support hull(std::span<const Eigen::Vector2d> points);

  int size() const { return n_; }
  bool empty() const { return n_ == 0; }
  // Corner i, 0 <= i < size(), counter-clockwise.
  const Eigen::Vector2d &operator[](int i) const { return v_[i]; }
  // The mean of the corners; (0, 0) for the empty support.
  Eigen::Vector2d centre() const;

  // The signed margin of `p`, m: the distance from p to the nearest point
  // of the polygon's boundary, positive inside, 0 on an edge, negative
  // outside. A hull of one corner or two (a point, a segment) has no
  // inside: the margin is minus the distance to it. The empty support
  // gives -infinity. `nearest`, when given, receives that nearest point
  // (left as it is for the empty support).
  double margin(const Eigen::Vector2d &p, Eigen::Vector2d *nearest = nullptr) const;

  // How far `p` may move along the unit vector `direction` before it
  // crosses the boundary, m: the distance to where the ray from p leaves
  // the polygon. 0 for a point outside or on the boundary moving out, and
  // for a hull of fewer than three corners.
  double reach(const Eigen::Vector2d &p, const Eigen::Vector2d &direction) const;

 private:
  std::array<Eigen::Vector2d, kMaxSupportPoints> v_;
  int n_ = 0;
};

}  // namespace robot

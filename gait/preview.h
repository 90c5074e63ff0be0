// Preview control of the linear inverted pendulum (Kajita et al. 2003),
// one axis at a time, one sample at a time: the state is the centre of
// mass's position, speed and acceleration, the input its jerk, the output
// the centre of pressure c - z/g c''. The gains come from one discrete
// Riccati solve of the system augmented with the integral of the pressure
// error; each sample then costs one pass over the previewed reference.
#pragma once

#include <Eigen/Core>
#include <span>
#include <vector>

namespace gait {

class PreviewGains {
 public:
  // `com_height` m above the floor, under gravity `g` m/s², `dt` s per
  // sample, `preview` samples ahead (at least 1).
  PreviewGains(double com_height, double g, double dt, int preview);
  int preview() const { return static_cast<int>(preview_.size()); }
  double dt() const { return dt_; }

  // One axis's pendulum under the control.
  struct Axis {
    Eigen::Vector3d x = Eigen::Vector3d::Zero();  // position m, speed m/s, acceleration m/s²
    double error_sum = 0.0;                       // summed pressure error, m
    double zmp = 0.0;                             // the pressure centre of x, m
  };
  // At rest at `at`.
  Axis rest(double at) const;
  // Advances `axis` by one sample, `reference` holding the pressure
  // centre's reference from the axis's time on: reference[0] then,
  // reference[j] j samples later; entries beyond its end repeat the last.
  // The axis's zmp is then that of its new state.
  void advance(Axis &axis, std::span<const double> reference) const;

  // The centre of mass and its pressure centre, every sample, following a
  // whole reference from rest at its start: the offline use.
  struct Track {
    std::vector<double> com, zmp;
  };
  Track track(const std::vector<double> &reference) const;

 private:
  double dt_;
  Eigen::Matrix3d a_;
  Eigen::Vector3d b_;
  Eigen::RowVector3d c_;
  double gi_ = 0.0;
  Eigen::RowVector3d gx_;
  std::vector<double> preview_;  // gains on reference[1..preview]
};

}  // namespace gait

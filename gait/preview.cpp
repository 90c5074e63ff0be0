#include "preview.h"

#include <Eigen/Dense>
#include <algorithm>

namespace gait {

PreviewGains::PreviewGains(double com_height, double g, double dt, int preview) : dt_(dt) {
  a_ << 1.0, dt, dt * dt / 2.0, 0.0, 1.0, dt, 0.0, 0.0, 1.0;
  b_ << dt * dt * dt / 6.0, dt * dt / 2.0, dt;
  c_ << 1.0, 0.0, -com_height / g;
  // The system augmented with the pressure error's integral.
  Eigen::Matrix4d aa = Eigen::Matrix4d::Zero();
  aa(0, 0) = 1.0;
  aa.block<1, 3>(0, 1) = c_ * a_;
  aa.block<3, 3>(1, 1) = a_;
  Eigen::Vector4d bb;
  bb(0) = c_ * b_;
  bb.tail<3>() = b_;
  // Weights: the pressure error against the jerk, as Kajita's.
  constexpr double kErrorWeight = 1.0;
  constexpr double kJerkWeight = 1e-6;
  Eigen::Matrix4d q = Eigen::Matrix4d::Zero();
  q(0, 0) = kErrorWeight;
  // The discrete Riccati equation, iterated to its fixed point.
  Eigen::Matrix4d p = q;
  for (int i = 0; i < 200000; ++i) {
    const double s = kJerkWeight + bb.dot(p * bb);
    const Eigen::RowVector4d k = (bb.transpose() * p * aa) / s;
    const Eigen::Matrix4d next = q + aa.transpose() * p * aa - (aa.transpose() * p * bb) * k;
    const double change = (next - p).cwiseAbs().maxCoeff();
    p = next;
    if (change <= 1e-13 * std::max(1.0, p.cwiseAbs().maxCoeff())) break;
  }
  const double s = kJerkWeight + bb.dot(p * bb);
  const Eigen::RowVector4d k = (bb.transpose() * p * aa) / s;
  gi_ = k(0);
  gx_ = k.tail<3>();
  // The gains on the reference ahead: the first is the integral's.
  const Eigen::Matrix4d closed = aa - bb * k;
  Eigen::Vector4d x = -closed.transpose() * p * Eigen::Vector4d::UnitX();
  preview_.assign(static_cast<std::size_t>(std::max(preview, 1)), 0.0);
  preview_[0] = -gi_;
  for (std::size_t j = 1; j < preview_.size(); ++j) {
    preview_[j] = bb.dot(x) / s;
    x = closed.transpose() * x;
  }
}

PreviewGains::Axis PreviewGains::rest(double at) const {
  Axis axis;
  axis.x = Eigen::Vector3d(at, 0.0, 0.0);
  axis.zmp = at;
  return axis;
}

void PreviewGains::advance(Axis &axis, std::span<const double> reference) const {
  const std::size_t n = reference.size();
  axis.error_sum += c_ * axis.x - reference[0];
  double u = -gi_ * axis.error_sum - gx_ * axis.x;
  for (std::size_t j = 0; j < preview_.size(); ++j)
    u -= preview_[j] * reference[std::min(j + 1, n - 1)];
  axis.x = a_ * axis.x + b_ * u;
  axis.zmp = c_ * axis.x;
}

PreviewGains::Track PreviewGains::track(const std::vector<double> &reference) const {
  Track out;
  if (reference.empty()) return out;
  const std::size_t n = reference.size();
  out.com.resize(n);
  out.zmp.resize(n);
  Axis axis = rest(reference[0]);
  for (std::size_t k = 0; k < n; ++k) {
    out.com[k] = axis.x(0);
    out.zmp[k] = axis.zmp;
    advance(axis, std::span<const double>(reference).subspan(k));
  }
  return out;
}

}  // namespace gait

// The legs: what the model gives of them at load, and their inverse
// kinematics. At load the legs' geometry is read from the model in the
// zero posture: where the hip's and the ankle's axes meet, the knee, the
// sole. Legs whose axes meet as the closed form needs are solved in closed
// form; any other leg by damped least squares on MuJoCo's Jacobian.
#include <Eigen/Geometry>
#include <Eigen/LU>
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "robot_internal.h"

namespace robot {

namespace {

// Axes closer than this (m, or cosine from 1) meet, or are parallel.
constexpr double kMeetTolerance = 1e-9;
// The iterative solver stops within these of the target.
constexpr double kIterPosition = 1e-6;  // m
constexpr double kIterAngle = 1e-6;     // rad
constexpr int kIterMax = 500;
constexpr double kIterWeight = 10.0;  // 1/m
constexpr double kIterDamping = 0.01;
constexpr double kIterStep = 0.2;  // rad

// Wraps an angle into (-pi, pi].
double wrap(double a) {
  return std::remainder(a, 2.0 * M_PI);
}

// The angle of a vector in the x-z plane, as a turn about +y moves it:
// a turn by t about +y adds t to it.
double plane_angle(double x, double z) {
  return std::atan2(x, z);
}

// The point nearest to both lines (p + s a, q + t b), and how far apart they
// pass; false for parallel lines.
bool nearest_point(const Vec3 &p, const Vec3 &a, const Vec3 &q, const Vec3 &b, Vec3 *point,
                   double *gap) {
  Vec3 n = a.cross(b);
  if (n.norm() < 1e-6) return false;
  Vec3 w = q - p;
  double s = w.cross(b).dot(n) / n.squaredNorm();
  double t = w.cross(a).dot(n) / n.squaredNorm();
  Vec3 on_a = p + s * a;
  Vec3 on_b = q + t * b;
  *point = 0.5 * (on_a + on_b);
  *gap = (on_a - on_b).norm();
  return true;
}

double line_distance(const Vec3 &point, const Vec3 &p, const Vec3 &a) {
  return (point - p).cross(a).norm();
}

}  // namespace

std::string Model::Impl::describe_leg(Side side) {
  Leg &leg = legs[side];
  for (int k = 0; k < 6; ++k) {
    const char *name = kJoints[kLegJoints[side][k]].name;
    int j = mj_name2id(model, mjOBJ_JOINT, name);
    if (j < 0 || model->jnt_type[j] != mjJNT_HINGE) {
      return std::string("the model has no hinge joint named \"") + name + "\"";
    }
    leg.joint_id[k] = j;
    leg.qpos[k] = model->jnt_qposadr[j];
    leg.dof[k] = model->jnt_dofadr[j];
    const JointRange range = hinge_range(model, j);
    leg.low[k] = range.low;
    leg.high[k] = range.high;
  }
  leg.foot_body = model->jnt_bodyid[leg.joint_id[5]];
  const char *sole = side == kLeft ? "l_sole" : "r_sole";
  leg.sole_geom = mj_name2id(model, mjOBJ_GEOM, sole);
  if (leg.sole_geom < 0 || model->geom_type[leg.sole_geom] != mjGEOM_BOX) {
    return std::string("the model has no box geom named \"") + sole + "\"";
  }
  // The sole must move with the foot.
  for (int b = model->geom_bodyid[leg.sole_geom]; b != leg.foot_body; b = model->body_parentid[b]) {
    if (b == 0) return std::string("the geom \"") + sole + "\" is not on the foot";
  }
  return "";
}

std::string Model::Impl::closed_form_leg(Side side, const mjData *data) {
  Leg &leg = legs[side];
  // Hip yaw, roll, pitch, knee, ankle pitch, ankle roll turn about these.
  static constexpr int kPattern[6] = {2, 0, 1, 1, 1, 0};
  int previous = pelvis;
  for (int k = 0; k < 6; ++k) {
    int j = leg.joint_id[k];
    int body = model->jnt_bodyid[j];
    // One joint per body, each body the child of the last joint's.
    if (model->body_jntnum[body] != 1) return "a leg body has more than one joint";
    if (model->body_parentid[body] != previous) return "the leg's joints are not in chain order";
    previous = body;
    // Every leg frame parallel to the pelvis's in the zero posture.
    if (!from_mj(data->xmat + 9 * body).isApprox(Mat3::Identity(), kMeetTolerance)) {
      return "a leg body's frame is turned in the zero posture";
    }
    const signed char *convention = kJointConvention[kLegJoints[side][k]].axis;
    Vec3 axis(convention[0], convention[1], convention[2]);
    if ((vec(data->xaxis + 3 * j) - axis).norm() > kMeetTolerance) {
      return "a leg joint's axis differs from the joint convention";
    }
    leg.sign[k] = axis[kPattern[k]];
    if (std::abs(leg.sign[k]) != 1.0) return "the leg's axes are not yaw, roll, pitch";
  }
  const int *j = leg.joint_id;
  auto anchor = [&](int k) { return vec(data->xanchor + 3 * j[k]); };
  auto axis = [&](int k) { return vec(data->xaxis + 3 * j[k]); };
  Vec3 hip;
  double gap = 0.0;
  if (!nearest_point(anchor(1), axis(1), anchor(2), axis(2), &hip, &gap) || gap > kMeetTolerance ||
      line_distance(hip, anchor(0), axis(0)) > kMeetTolerance) {
    return "the hip's axes do not meet in one point";
  }
  Vec3 ankle;
  if (!nearest_point(anchor(4), axis(4), anchor(5), axis(5), &ankle, &gap) ||
      gap > kMeetTolerance) {
    return "the ankle's axes do not meet in one point";
  }
  Vec3 knee = anchor(3);
  Vec3 thigh = knee - hip;
  Vec3 shin = ankle - knee;
  // A turn about y keeps y: the hip and the ankle must lie in one x-z plane.
  if (std::abs(thigh.y() + shin.y()) > kMeetTolerance) {
    return "the hip and the ankle are not in one plane across the knee";
  }
  thigh.y() = 0.0;
  shin.y() = 0.0;
  if (thigh.norm() < 1e-6 || shin.norm() < 1e-6) return "the thigh or the shin has no length";
  Vec3 pelvis_origin = vec(data->xpos + 3 * pelvis);
  Mat3 foot = from_mj(data->xmat + 9 * leg.foot_body);
  Mat3 sole = from_mj(data->geom_xmat + 9 * leg.sole_geom);
  Vec3 sole_centre = bottom_centre(model, data, leg.sole_geom);
  leg.hip = hip - pelvis_origin;
  leg.thigh = thigh;
  leg.shin = shin;
  leg.sole_offset = foot.transpose() * (sole_centre - ankle);
  leg.sole_in_foot = foot.transpose() * sole;
  leg.closed_form = true;
  return "";
}

namespace {

bool within_range(const Leg &leg, const LegAngles &q, Side side, LegFailure *why) {
  for (int k = 0; k < 6; ++k) {
    if (q[k] >= leg.low[k] && q[k] <= leg.high[k]) continue;
    why->kind = LegFailure::kLimit;
    why->joint = kLegJoints[side][k];
    why->needed = q[k];
    why->limit = q[k] < leg.low[k] ? leg.low[k] : leg.high[k];
    return false;
  }
  return true;
}

bool out_of_reach(double short_by, LegFailure *why) {
  why->kind = LegFailure::kReach;
  why->short_by = std::isfinite(short_by) ? short_by : INFINITY;
  return false;
}

}  // namespace

double Model::Impl::reach_height(Side side, const PelvisPose &pelvis, const SoleFrame &sole) const {
  const Leg &leg = legs[side];
  if (!leg.closed_form) return NAN;
  Mat3 foot_r = sole.rotation * leg.sole_in_foot.transpose();
  Vec3 ankle = sole.position - foot_r * leg.sole_offset;
  Vec3 hip = pelvis.position + pelvis_rotation(pelvis) * leg.hip;
  Vec3 w = ankle - hip;
  double reach = leg.thigh.norm() + leg.shin.norm();
  double across = reach * reach - w.x() * w.x() - w.y() * w.y();
  if (across < 0.0) return NAN;
  // The hip where the ankle lies a whole leg's length from it, below it.
  return pelvis.position.z() + w.z() + std::sqrt(across);
}

bool Model::Impl::closed(Side side, const PelvisPose &pelvis, const SoleFrame &sole,
                         LegAngles *angles, LegFailure *why) const {
  const Leg &leg = legs[side];
  Mat3 pelvis_r = pelvis_rotation(pelvis);
  // The foot's frame that turns the sole as asked.
  Mat3 foot_r = sole.rotation * leg.sole_in_foot.transpose();
  Vec3 ankle = sole.position - foot_r * leg.sole_offset;
  Vec3 hip = pelvis.position + pelvis_r * leg.hip;
  // Hip to ankle in the foot's frame: Rx(-e6) Ry(-e5) (Ry(-e4) thigh + shin),
  // e the angles about the pattern's axes.
  Vec3 w = foot_r.transpose() * (ankle - hip);
  double a = leg.thigh.norm();
  double b = leg.shin.norm();
  double d = w.norm();
  double c = (d * d - a * a - b * b) / (2.0 * a * b);
  // A place beyond the doubles (a stride of 1e308 m) is no place at all.
  if (!std::isfinite(c)) return out_of_reach(INFINITY, why);
  if (c > 1.0 + 1e-12 || c < -1.0 - 1e-12) {
    return out_of_reach(c > 1.0 ? d - (a + b) : std::abs(a - b) - d, why);
  }
  c = std::clamp(c, -1.0, 1.0);
  double bend = plane_angle(leg.thigh.x(), leg.thigh.z()) - plane_angle(leg.shin.x(), leg.shin.z());
  // thigh . Ry(e4) shin = a b cos(bend - e4): two knees. The first bends
  // the shin back from the straight leg; the other only where the first is
  // past the knee's range and it is not.
  double e4 = wrap(bend + std::acos(c));
  double other = wrap(bend - std::acos(c));
  auto in_range = [&](double e) {
    double q = e * leg.sign[3];
    return q >= leg.low[3] && q <= leg.high[3];
  };
  if (!in_range(e4) && in_range(other)) e4 = other;
  Vec3 v = rot_y(-e4) * leg.thigh + leg.shin;
  // Rx(-e6) maps (x', 0, z') to (x', z' sin e6, z' cos e6).
  double zp = std::hypot(w.y(), w.z());
  if (w.z() < 0.0) zp = -zp;
  double e6 = zp == 0.0 ? 0.0 : std::atan2(w.y() / zp, w.z() / zp);
  double e5 = wrap(plane_angle(v.x(), v.z()) - plane_angle(w.x(), zp));
  // The hip: Rz(e1) Rx(e2) Ry(e3) = pelvis^T foot Rx(-e6) Ry(-(e4 + e5)).
  Mat3 n = pelvis_r.transpose() * foot_r * rot_x(-e6) * rot_y(-(e4 + e5));
  double e2 = std::asin(std::clamp(n(2, 1), -1.0, 1.0));
  double e1 = std::atan2(-n(0, 1), n(1, 1));
  double e3 = std::atan2(-n(2, 0), n(2, 2));
  double e[6] = {e1, e2, e3, e4, e5, e6};
  LegAngles q;
  for (int k = 0; k < 6; ++k) q[k] = e[k] * leg.sign[k];
  if (!within_range(leg, q, side, why)) return false;
  *angles = q;
  return true;
}

// Damped least squares on MuJoCo's Jacobian of the sole's centre and the
// foot's orientation.
bool Model::Impl::iterate(mjData *scratch, Side side, const PelvisPose &pelvis,
                          const SoleFrame &sole, LegAngles *angles, LegFailure *why) const {
  const Leg &leg = legs[side];
  if (!sole.position.allFinite() || !sole.rotation.allFinite() || !pelvis.position.allFinite())
    return out_of_reach(INFINITY, why);
  // From a bent knee, the sole flat: the straight leg is singular.
  Posture seed{};
  seed[kLegJoints[side][2]] = -0.4;
  seed[kLegJoints[side][3]] = 0.8;
  seed[kLegJoints[side][4]] = -0.4;
  place(scratch, seed, pelvis);
  const Mat3 &target_r = sole.rotation;
  Eigen::Matrix<mjtNum, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor> jp(3, model->nv),
      jr(3, model->nv);
  double error_p = INFINITY;
  double error_r = INFINITY;
  for (int it = 0; it < kIterMax; ++it) {
    Mat3 sole_r = from_mj(scratch->geom_xmat + 9 * leg.sole_geom);
    Vec3 centre = bottom_centre(model, scratch, leg.sole_geom);
    Vec3 dp = sole.position - centre;
    Eigen::AngleAxisd turn(target_r * sole_r.transpose());
    Vec3 dr = turn.axis() * turn.angle();
    error_p = dp.norm();
    error_r = dr.norm();
    if (error_p < kIterPosition && error_r < kIterAngle) break;
    mj_jac(model, scratch, jp.data(), jr.data(), centre.data(), model->geom_bodyid[leg.sole_geom]);
    Eigen::Matrix<double, 6, 6> j;
    for (int k = 0; k < 6; ++k) {
      j.block<3, 1>(0, k) = jp.col(leg.dof[k]);
      j.block<3, 1>(3, k) = jr.col(leg.dof[k]);
    }
    // Metres weighed against radians as a leg's length is: 0.1 m to 1 rad.
    j.topRows<3>() *= kIterWeight;
    Eigen::Matrix<double, 6, 1> e;
    e << dp * kIterWeight, dr;
    Eigen::Matrix<double, 6, 6> a = j * j.transpose();
    a.diagonal().array() += kIterDamping * kIterDamping;
    Eigen::Matrix<double, 6, 1> dq = j.transpose() * a.partialPivLu().solve(e);
    // Small steps: the linearisation holds for a few tenths of a radian.
    if (dq.norm() > kIterStep) dq *= kIterStep / dq.norm();
    for (int k = 0; k < 6; ++k) scratch->qpos[leg.qpos[k]] += dq[k];
    // mj_jac reads the joints' motion axes that mj_comPos computes.
    mj_kinematics(model, scratch);
    mj_comPos(model, scratch);
  }
  if (!(error_p < kIterPosition && error_r < kIterAngle)) return out_of_reach(error_p, why);
  LegAngles q;
  for (int k = 0; k < 6; ++k) q[k] = wrap(scratch->qpos[leg.qpos[k]]);
  if (!within_range(leg, q, side, why)) return false;
  *angles = q;
  return true;
}

std::string describe(const LegFailure &failure) {
  char text[160];
  switch (failure.kind) {
    case LegFailure::kNone:
      return "";
    case LegFailure::kReach:
      if (!std::isfinite(failure.short_by)) return "the foot is out of reach";
      std::snprintf(text, sizeof text, "the foot is %.1f mm out of reach",
                    failure.short_by * 1000.0);
      return text;
    case LegFailure::kLimit: {
      const int index = failure.joint;
      std::snprintf(text, sizeof text, "%s (%s) needs %.4f rad, past its limit %.4f rad",
                    kJoints[index].name, kJointConvention[index].motion, failure.needed,
                    failure.limit);
      return text;
    }
  }
  return "";
}

}  // namespace robot

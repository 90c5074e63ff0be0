// The tools' kinematics on MuJoCo. At load the legs' geometry is read from
// the model in the zero posture: where the hip's and the ankle's axes meet,
// the knee, the sole. Legs whose axes meet as the closed form needs are
// solved in closed form; any other leg by damped least squares.
#include "kinematics.h"

#include <mujoco/mujoco.h>
#include <sys/stat.h>

#include <Eigen/Geometry>
#include <Eigen/LU>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "model_files.h"

namespace kinematics {

extern const char kRobotModelXml[];
extern const std::size_t kRobotModelSize;

namespace {

// Largest model file read, as the stand-in's limit.
constexpr off_t kMaxModelBytes = 64 << 20;
// Axes closer than this (m, or cosine from 1) meet, or are parallel.
constexpr double kMeetTolerance = 1e-9;
// The iterative solver stops within these of the target.
constexpr double kIterPosition = 1e-6;  // m
constexpr double kIterAngle = 1e-6;     // rad
constexpr int kIterMax = 500;
constexpr double kIterWeight = 10.0;  // 1/m
constexpr double kIterDamping = 0.01;
constexpr double kIterStep = 0.2;  // rad

using Mat3 = Eigen::Matrix3d;
using Vec3 = Eigen::Vector3d;

Mat3 rot(const Vec3 &axis, double angle) {
  return Eigen::AngleAxisd(angle, axis).matrix();
}
Mat3 rot_x(double a) {
  return rot(Vec3::UnitX(), a);
}
Mat3 rot_y(double a) {
  return rot(Vec3::UnitY(), a);
}
Mat3 rot_z(double a) {
  return rot(Vec3::UnitZ(), a);
}

Mat3 pelvis_rotation(const PelvisPose &p) {
  return rot_z(p.yaw) * rot_y(p.pitch) * rot_x(p.roll);
}

// MuJoCo's row-major 3x3 as an Eigen matrix.
Mat3 from_mj(const mjtNum *m) {
  Mat3 r;
  r << m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7], m[8];
  return r;
}

Vec3 vec(const mjtNum *v) {
  return Vec3(v[0], v[1], v[2]);
}

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

// One leg, as the model gives it.
struct Leg {
  int qpos[6] = {};      // qpos address of each joint, kLegJoints order
  int dof[6] = {};       // dof address
  int joint_id[6] = {};  // model joint id
  double low[6] = {};    // range, rad (infinite when the joint is not limited)
  double high[6] = {};
  int foot_body = -1;  // body of the ankle roll joint
  int sole_geom = -1;  // the box whose bottom face is the sole
  // Closed form, when the axes allow it (all in the pelvis frame in the
  // zero posture, which every leg body's frame is parallel to).
  bool closed_form = false;
  double sign[6] = {};  // the joint's axis along z, x, y, y, y, x: +1 or -1
  Vec3 hip;             // where the hip's three axes meet
  Vec3 thigh;           // hip to knee axis, in the x-z plane
  Vec3 shin;            // knee axis to where the ankle's axes meet
  Vec3 sole_offset;     // ankle point to the sole's centre, foot frame
  Mat3 sole_in_foot;    // the sole geom's frame in the foot's
};

struct Body::Impl {
  mjModel *model = nullptr;
  mjData *data = nullptr;
  // The iterative solver works on a copy, so a solve leaves the posture set.
  mjData *scratch = nullptr;
  int pelvis = -1;              // body with the free joint
  int root_qpos = -1;           // its position and quaternion in qpos
  int joint_qpos[kJointCount];  // -1 for joints the model lacks
  Leg legs[2];
  double height = 0.0;

  ~Impl() {
    if (scratch != nullptr) mj_deleteData(scratch);
    if (data != nullptr) mj_deleteData(data);
    if (model != nullptr) mj_deleteModel(model);
  }

  void place(mjData *d, const Posture &posture, const PelvisPose &pelvis) const;
  std::string describe_leg(Side side);
  std::string closed_form_leg(Side side);
  bool within_range(const Leg &leg, const LegAngles &q, Side side, std::string *why) const;
  LegSolution closed(Side side, const PelvisPose &pelvis, const SolePose &sole) const;
  LegSolution iterate(Side side, const PelvisPose &pelvis, const SolePose &sole) const;
};

// Puts the model in the posture with the pelvis at its pose and computes
// the bodies' frames and the centres of mass.
void Body::Impl::place(mjData *d, const Posture &posture, const PelvisPose &pelvis) const {
  mju_copy(d->qpos, model->qpos0, model->nq);
  for (int i = 0; i < kJointCount; ++i) {
    if (joint_qpos[i] >= 0) d->qpos[joint_qpos[i]] = posture[i];
  }
  Eigen::Quaterniond q(pelvis_rotation(pelvis));
  mjtNum *root = d->qpos + root_qpos;
  for (int k = 0; k < 3; ++k) root[k] = pelvis.position[k];
  root[3] = q.w();
  root[4] = q.x();
  root[5] = q.y();
  root[6] = q.z();
  mj_kinematics(model, d);
  mj_comPos(model, d);
}

// Finds the leg's joints, bodies and sole; "" when all is there.
std::string Body::Impl::describe_leg(Side side) {
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
    bool limited = model->jnt_limited[j] != 0;
    leg.low[k] = limited ? model->jnt_range[2 * j] : -INFINITY;
    leg.high[k] = limited ? model->jnt_range[2 * j + 1] : INFINITY;
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

// Whether the leg is one the closed form solves, and its geometry if so;
// "" when it is, else why not. Needs the zero posture set with the pelvis
// at the origin, level.
std::string Body::Impl::closed_form_leg(Side side) {
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
  double depth = model->geom_size[3 * leg.sole_geom + 2];
  Vec3 sole_centre = vec(data->geom_xpos + 3 * leg.sole_geom) - sole.col(2) * depth;
  leg.hip = hip - pelvis_origin;
  leg.thigh = thigh;
  leg.shin = shin;
  leg.sole_offset = foot.transpose() * (sole_centre - ankle);
  leg.sole_in_foot = foot.transpose() * sole;
  leg.closed_form = true;
  return "";
}

bool Body::Impl::within_range(const Leg &leg, const LegAngles &q, Side side,
                              std::string *why) const {
  for (int k = 0; k < 6; ++k) {
    if (q[k] >= leg.low[k] && q[k] <= leg.high[k]) continue;
    int index = kLegJoints[side][k];
    char text[160];
    std::snprintf(text, sizeof text, "%s (%s) needs %.4f rad, past its limit %.4f rad",
                  kJoints[index].name, kJointConvention[index].motion, q[k],
                  q[k] < leg.low[k] ? leg.low[k] : leg.high[k]);
    *why = text;
    return false;
  }
  return true;
}

LegSolution Body::Impl::closed(Side side, const PelvisPose &pelvis, const SolePose &sole) const {
  const Leg &leg = legs[side];
  LegSolution out;
  Mat3 pelvis_r = pelvis_rotation(pelvis);
  // The foot's frame that lays the sole flat with its heading.
  Mat3 foot_r = rot_z(sole.yaw) * leg.sole_in_foot.transpose();
  Vec3 ankle = sole.position - foot_r * leg.sole_offset;
  Vec3 hip = pelvis.position + pelvis_r * leg.hip;
  // Hip to ankle in the foot's frame: Rx(-e6) Ry(-e5) (Ry(-e4) thigh + shin),
  // e the angles about the pattern's axes.
  Vec3 w = foot_r.transpose() * (ankle - hip);
  double a = leg.thigh.norm();
  double b = leg.shin.norm();
  double d = w.norm();
  double c = (d * d - a * a - b * b) / (2.0 * a * b);
  if (c > 1.0 + 1e-12 || c < -1.0 - 1e-12) {
    double short_by = c > 1.0 ? d - (a + b) : std::abs(a - b) - d;
    char text[96];
    std::snprintf(text, sizeof text, "the foot is %.1f mm out of reach", short_by * 1000.0);
    out.shortfall = text;
    return out;
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
  if (!within_range(leg, q, side, &out.shortfall)) return out;
  out.ok = true;
  out.angles = q;
  return out;
}

// Damped least squares on MuJoCo's Jacobian of the sole's centre and the
// foot's orientation.
LegSolution Body::Impl::iterate(Side side, const PelvisPose &pelvis, const SolePose &sole) const {
  const Leg &leg = legs[side];
  LegSolution out;
  // From a bent knee, the sole flat: the straight leg is singular.
  Posture seed{};
  seed[kLegJoints[side][2]] = -0.4;
  seed[kLegJoints[side][3]] = 0.8;
  seed[kLegJoints[side][4]] = -0.4;
  place(scratch, seed, pelvis);
  Mat3 target_r = rot_z(sole.yaw);
  Eigen::Matrix<mjtNum, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor> jp(3, model->nv),
      jr(3, model->nv);
  double error_p = INFINITY;
  double error_r = INFINITY;
  for (int it = 0; it < kIterMax; ++it) {
    Mat3 sole_r = from_mj(scratch->geom_xmat + 9 * leg.sole_geom);
    double depth = model->geom_size[3 * leg.sole_geom + 2];
    Vec3 centre = vec(scratch->geom_xpos + 3 * leg.sole_geom) - sole_r.col(2) * depth;
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
  if (error_p >= kIterPosition || error_r >= kIterAngle) {
    char text[96];
    std::snprintf(text, sizeof text, "the foot is %.1f mm out of reach", error_p * 1000.0);
    out.shortfall = text;
    return out;
  }
  LegAngles q;
  for (int k = 0; k < 6; ++k) q[k] = wrap(scratch->qpos[leg.qpos[k]]);
  if (!within_range(leg, q, side, &out.shortfall)) return out;
  out.ok = true;
  out.angles = q;
  return out;
}

std::unique_ptr<Body> Body::load(const std::string &path, std::string *error) {
  std::unique_ptr<Body> body(new Body);
  body->impl_ = std::make_unique<Impl>();
  Impl &im = *body->impl_;
  char text[512] = "";
  const std::string name = path.empty() ? "the built-in robot model" : path;
  auto fail = [&](const std::string &why) {
    *error = "cannot load the robot model \"" + name + "\": " + why;
    for (char &ch : *error) ch = ch == '\n' ? ' ' : ch;
    return nullptr;
  };
  if (path.empty()) {
    // The embedded model loads from memory, through a virtual file. The
    // file system's table is megabytes: on the heap, not the stack.
    auto vfs = std::make_unique<mjVFS>();
    mj_defaultVFS(vfs.get());
    if (mj_makeEmptyFileVFS(vfs.get(), "robot.xml", static_cast<int>(kRobotModelSize)) != 0) {
      return fail("out of memory");
    }
    std::memcpy(vfs->filedata[vfs->nfile - 1], kRobotModelXml, kRobotModelSize);
    im.model = mj_loadXML("robot.xml", vfs.get(), text, sizeof text);
    mj_deleteVFS(vfs.get());
  } else {
    struct stat file {};
    if (stat(path.c_str(), &file) != 0) return fail(std::strerror(errno));
    // A FIFO or a device would be read without end.
    if (!S_ISREG(file.st_mode)) return fail("not a regular file");
    if (file.st_size > kMaxModelBytes) return fail("larger than 67108864 bytes");
    // The engine opens the files the model names without looking first.
    if (!standin::model_files_usable(path.c_str(), text, sizeof text)) return fail(text);
    im.model = mj_loadXML(path.c_str(), nullptr, text, sizeof text);
  }
  if (im.model == nullptr) return fail(text);
  im.data = mj_makeData(im.model);
  im.scratch = mj_makeData(im.model);
  if (im.data == nullptr || im.scratch == nullptr) return fail("out of memory");
  const mjModel *m = im.model;
  for (int j = 0; j < m->njnt; ++j) {
    if (m->jnt_type[j] != mjJNT_FREE) continue;
    if (im.pelvis >= 0) return fail("it has more than one free joint");
    im.pelvis = m->jnt_bodyid[j];
    im.root_qpos = m->jnt_qposadr[j];
  }
  if (im.pelvis < 0) return fail("it has no free joint for the pelvis");
  for (int i = 0; i < kJointCount; ++i) {
    int j = mj_name2id(m, mjOBJ_JOINT, kJoints[i].name);
    im.joint_qpos[i] = j >= 0 && m->jnt_type[j] == mjJNT_HINGE ? m->jnt_qposadr[j] : -1;
  }
  for (Side side : {kLeft, kRight}) {
    std::string why = im.describe_leg(side);
    if (!why.empty()) return fail(why);
  }
  Posture zero{};
  im.place(im.data, zero, PelvisPose{});
  for (Side side : {kLeft, kRight}) im.closed_form_leg(side);
  // Standing: the lowest sole corner on the floor.
  double lowest = INFINITY;
  for (Side side : {kLeft, kRight}) {
    for (const Vec3 &corner : body->sole_corners(side)) lowest = std::min(lowest, corner.z());
  }
  im.height = -lowest;
  return body;
}

Body::~Body() = default;

double Body::mass() const {
  return impl_->model->body_subtreemass[impl_->pelvis];
}

double Body::standing_height() const {
  return impl_->height;
}

bool Body::closed_form(Side side) const {
  return impl_->legs[side].closed_form;
}

void Body::set_posture(const Posture &posture, const PelvisPose &pelvis) {
  impl_->place(impl_->data, posture, pelvis);
}

Eigen::Vector3d Body::com() const {
  return vec(impl_->data->subtree_com + 3 * impl_->pelvis);
}

SolePose Body::sole(Side side) const {
  const mjData *d = impl_->data;
  int g = impl_->legs[side].sole_geom;
  Mat3 r = from_mj(d->geom_xmat + 9 * g);
  double depth = impl_->model->geom_size[3 * g + 2];
  SolePose pose;
  pose.position = vec(d->geom_xpos + 3 * g) - r.col(2) * depth;
  pose.yaw = std::atan2(r(1, 0), r(0, 0));
  return pose;
}

std::array<Eigen::Vector3d, 4> Body::sole_corners(Side side) const {
  const mjData *d = impl_->data;
  int g = impl_->legs[side].sole_geom;
  Mat3 r = from_mj(d->geom_xmat + 9 * g);
  const mjtNum *size = impl_->model->geom_size + 3 * g;
  Vec3 centre = vec(d->geom_xpos + 3 * g) - r.col(2) * size[2];
  Vec3 x = r.col(0) * size[0];
  Vec3 y = r.col(1) * size[1];
  // Toe left, toe right, heel right, heel left: around the face.
  return {centre + x + y, centre + x - y, centre - x - y, centre - x + y};
}

LegSolution Body::solve_leg(Side side, const PelvisPose &pelvis, const SolePose &sole) const {
  if (impl_->legs[side].closed_form) return impl_->closed(side, pelvis, sole);
  return impl_->iterate(side, pelvis, sole);
}

const mjModel_ *Body::model() const {
  return impl_->model;
}

mjData_ *Body::data() const {
  return impl_->data;
}

}  // namespace kinematics

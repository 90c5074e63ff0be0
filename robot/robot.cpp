// The robot's model: loading it, once, from the embedded copy or a file,
// the facts read at load, and a Data's forward kinematics.
#include <mujoco/mujoco.h>
#include <sys/stat.h>

#include <Eigen/Geometry>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "model_files.h"
#include "quoted.h"
#include "robot_internal.h"

namespace robot {

// The built-in robot model, MJCF text (not NUL-terminated), embedded at
// build time from standin/robot.xml.
extern const char kRobotModelXml[];
extern const std::size_t kRobotModelSize;

namespace {

// Largest model file read: the stand-in's limit for every file a model names.
constexpr long long kMaxModelBytes = kMaxModelFileBytes;

// The engine's model from the embedded text or the file at `path`; nullptr
// with `why` (one line) when it cannot be read.
mjModel *load_mjcf(const std::string &path, std::string *why) {
  char text[512] = "";
  mjModel *model = nullptr;
  if (path.empty()) {
    // The embedded model loads from memory, through a virtual file. The
    // file system's table is megabytes: on the heap, not the stack.
    auto vfs = std::make_unique<mjVFS>();
    mj_defaultVFS(vfs.get());
    if (mj_makeEmptyFileVFS(vfs.get(), "robot.xml", static_cast<int>(kRobotModelSize)) != 0) {
      *why = "out of memory";
      return nullptr;
    }
    std::memcpy(vfs->filedata[vfs->nfile - 1], kRobotModelXml, kRobotModelSize);
    model = mj_loadXML("robot.xml", vfs.get(), text, sizeof text);
    mj_deleteVFS(vfs.get());
  } else {
    struct stat file {};
    if (stat(path.c_str(), &file) != 0) {
      *why = std::strerror(errno);
      return nullptr;
    }
    // A FIFO or a device would be read without end.
    if (!S_ISREG(file.st_mode)) {
      *why = "not a regular file";
      return nullptr;
    }
    if (file.st_size > kMaxModelBytes) {
      *why = "larger than " + std::to_string(kMaxModelBytes) + " bytes";
      return nullptr;
    }
    // The engine opens the files the model names without looking first.
    if (!model_files_usable(path.c_str(), text, sizeof text)) {
      *why = text;
      return nullptr;
    }
    model = mj_loadXML(path.c_str(), nullptr, text, sizeof text);
  }
  if (model == nullptr) *why = text;
  return model;
}

// The four corners of box `g`'s bottom face in `d`: toe left, toe right,
// heel right, heel left.
std::array<Vec3, 4> bottom_corners(const mjModel *m, const mjData *d, int g) {
  const Mat3 r = from_mj(d->geom_xmat + 9 * g);
  const mjtNum *size = m->geom_size + 3 * g;
  const Vec3 centre = vec(d->geom_xpos + 3 * g) - r.col(2) * size[2];
  const Vec3 x = r.col(0) * size[0];
  const Vec3 y = r.col(1) * size[1];
  return {centre + x + y, centre + x - y, centre - x - y, centre - x + y};
}

}  // namespace

void Model::Impl::place(mjData *d, const Posture &posture, const PelvisPose &pelvis) const {
  mju_copy(d->qpos, model->qpos0, model->nq);
  for (int i = 0; i < kJointCount; ++i) {
    if (joint_qpos[i] >= 0) d->qpos[joint_qpos[i]] = posture[i];
  }
  if (root_qpos >= 0) {
    Eigen::Quaterniond q(pelvis_rotation(pelvis));
    mjtNum *root = d->qpos + root_qpos;
    for (int k = 0; k < 3; ++k) root[k] = pelvis.position[k];
    root[3] = q.w();
    root[4] = q.x();
    root[5] = q.y();
    root[6] = q.z();
  }
  mj_kinematics(model, d);
  mj_comPos(model, d);
}

Model::Model() : impl_(std::make_unique<Impl>()) {}
Model::~Model() = default;

std::unique_ptr<Model> Model::load(const std::string &path, Parts parts, std::string *error) {
  std::unique_ptr<Model> robot(new Model);
  Impl &im = *robot->impl_;
  auto fail = [&](const std::string &why) {
    const std::string name = path.empty() ? "the built-in robot model" : path;
    *error = std::string("cannot load the robot model \"") + Quoted(name).text + "\": " + why;
    // The engine's messages may hold line ends; a message is one line.
    for (char &c : *error) c = c == '\n' ? ' ' : c;
    return nullptr;
  };
  std::string why;
  im.model = load_mjcf(path, &why);
  if (im.model == nullptr) return fail(why);
  const mjModel *m = im.model;
  for (int j = 0; j < m->njnt; ++j) {
    if (m->jnt_type[j] != mjJNT_FREE) continue;
    if (im.pelvis >= 0) {
      if (parts == Parts::kLegs) return fail("it has more than one free joint");
      continue;
    }
    im.pelvis = m->jnt_bodyid[j];
    im.root_qpos = m->jnt_qposadr[j];
  }
  for (int i = 0; i < kJointCount; ++i) {
    int j = mj_name2id(m, mjOBJ_JOINT, kJoints[i].name);
    im.joint_id[i] = j >= 0 && m->jnt_type[j] == mjJNT_HINGE ? j : -1;
    im.joint_qpos[i] = im.joint_id[i] >= 0 ? m->jnt_qposadr[j] : -1;
  }
  if (im.root_qpos >= 0) {
    mjtNum turn[9];
    mju_quat2Mat(turn, m->qpos0 + im.root_qpos + 3);
    im.start_heading = std::atan2(turn[3], turn[0]);
  }
  im.floor_height = 0.0;
  bool plane = false;
  for (int g = 0; g < m->ngeom; ++g) {
    if (m->geom_bodyid[g] != 0 || m->geom_type[g] != mjGEOM_PLANE) continue;
    im.floor_height =
        plane ? std::max(im.floor_height, m->geom_pos[3 * g + 2]) : m->geom_pos[3 * g + 2];
    plane = true;
  }
  if (parts == Parts::kAny) return robot;

  if (im.pelvis < 0) return fail("it has no free joint for the pelvis");
  for (Side side : {kLeft, kRight}) {
    std::string missing = im.describe_leg(side);
    if (!missing.empty()) return fail(missing);
  }
  mjData *d = mj_makeData(m);
  if (d == nullptr) return fail("out of memory");
  im.place(d, Posture{}, PelvisPose{});
  for (Side side : {kLeft, kRight}) im.closed_form_leg(side, d);
  // Standing: the lowest sole corner on the floor.
  double lowest = INFINITY;
  for (Side side : {kLeft, kRight}) {
    for (const Vec3 &corner : bottom_corners(m, d, im.legs[side].sole_geom))
      lowest = std::min(lowest, corner.z());
  }
  mj_deleteData(d);
  im.height = -lowest;
  im.has_legs = true;
  return robot;
}

const mjModel_ *Model::mj() const {
  return impl_->model;
}

mjModel_ *Model::mj() {
  return impl_->model;
}

double Model::mass() const {
  return impl_->model->body_subtreemass[std::max(impl_->pelvis, 0)];
}

Eigen::Vector3d Model::gravity() const {
  return vec(impl_->model->opt.gravity);
}

double Model::g() const {
  return -impl_->model->opt.gravity[2];
}

bool Model::has_joint(int joint) const {
  return joint >= 0 && joint < kJointCount && impl_->joint_id[joint] >= 0;
}

JointRange Model::joint_range(int joint) const {
  if (!has_joint(joint)) return {-INFINITY, INFINITY};
  return hinge_range(impl_->model, impl_->joint_id[joint]);
}

ServoGains Model::servo(int joint) const {
  ServoGains gains;
  if (!has_joint(joint)) return gains;
  const mjModel *m = impl_->model;
  for (int a = 0; a < m->nu; ++a) {
    if (m->actuator_trntype[a] != mjTRN_JOINT || m->actuator_trnid[2 * a] != impl_->joint_id[joint])
      continue;
    // A position servo: force kp (ctrl - length), the length gear times the angle.
    const double kp = m->actuator_gainprm[mjNGAIN * a];
    const double gear = m->actuator_gear[6 * a];
    if (m->actuator_gaintype[a] != mjGAIN_FIXED || m->actuator_biastype[a] != mjBIAS_AFFINE ||
        !(kp > 0.0) || m->actuator_biasprm[mjNBIAS * a + 1] != -kp || gear == 0.0)
      continue;
    gains.kp = kp * gear * gear;
    if (m->actuator_forcelimited[a]) {
      const double *range = m->actuator_forcerange + 2 * a;
      gains.torque_limit = std::min(std::fabs(range[0]), std::fabs(range[1])) * std::fabs(gear);
    }
    return gains;
  }
  return gains;
}

double Model::joint_damping(int joint) const {
  if (!has_joint(joint)) return 0.0;
  const mjModel *m = impl_->model;
  return m->dof_damping[m->jnt_dofadr[impl_->joint_id[joint]]];
}

int Model::root_body() const {
  return impl_->pelvis;
}

double Model::start_heading() const {
  return impl_->start_heading;
}

bool Model::is_floor(int geom) const {
  return impl_->model->geom_bodyid[geom] == 0;
}

double Model::floor_height() const {
  return impl_->floor_height;
}

bool Model::has_legs() const {
  return impl_->has_legs;
}

double Model::standing_height() const {
  return impl_->height;
}

bool Model::closed_form(Side side) const {
  return impl_->legs[side].closed_form;
}

Eigen::Vector2d Model::sole_size(Side side) const {
  const mjtNum *size = impl_->model->geom_size + 3 * impl_->legs[side].sole_geom;
  return Eigen::Vector2d(2.0 * size[0], 2.0 * size[1]);
}

Eigen::Vector3d Model::com(const mjData_ &d) const {
  return vec(d.subtree_com + 3 * std::max(impl_->pelvis, 0));
}

Data::Data(const Model &model) : model_(model) {
  const mjModel *m = model.impl_->model;
  const bool iterates =
      model.has_legs() && !(model.closed_form(kLeft) && model.closed_form(kRight));
  data_ = mj_makeData(m);
  if (iterates && data_ != nullptr) scratch_ = mj_makeData(m);
  if (data_ == nullptr || (iterates && scratch_ == nullptr)) {
    if (data_ != nullptr) mj_deleteData(data_);
    throw std::bad_alloc();
  }
  model.impl_->place(data_, Posture{}, PelvisPose{});
}

Data::~Data() {
  if (scratch_ != nullptr) mj_deleteData(scratch_);
  mj_deleteData(data_);
}

void Data::set_posture(const Posture &posture, const PelvisPose &pelvis) {
  model_.impl_->place(data_, posture, pelvis);
}

Eigen::Vector3d Data::com() const {
  return model_.com(*data_);
}

SolePose Data::sole(Side side) const {
  const int g = model_.impl_->legs[side].sole_geom;
  const Mat3 r = from_mj(data_->geom_xmat + 9 * g);
  SolePose pose;
  pose.position = bottom_centre(model_.impl_->model, data_, g);
  pose.yaw = std::atan2(r(1, 0), r(0, 0));
  return pose;
}

Eigen::Matrix3d Data::sole_rotation(Side side) const {
  return from_mj(data_->geom_xmat + 9 * model_.impl_->legs[side].sole_geom);
}

std::array<Eigen::Vector3d, 4> Data::sole_corners(Side side) const {
  return bottom_corners(model_.impl_->model, data_, model_.impl_->legs[side].sole_geom);
}

PelvisPose Data::stand_on(Side side, const Posture &posture, const Eigen::Vector3d &position,
                          double yaw) {
  // The sole's axes with the pelvis level and facing x; a turn about the
  // vertical then gives the pelvis its heading and keeps the sole flat.
  set_posture(posture, PelvisPose{});
  const Mat3 level = sole_rotation(side).transpose();
  const Mat3 r = rot_z(yaw - std::atan2(level(1, 0), level(0, 0))) * level;
  PelvisPose pelvis;
  pelvis.position = position;
  pelvis.yaw = std::atan2(r(1, 0), r(0, 0));
  pelvis.pitch = std::asin(std::clamp(-r(2, 0), -1.0, 1.0));
  pelvis.roll = std::atan2(r(2, 1), r(2, 2));
  set_posture(posture, pelvis);
  return pelvis;
}

Posture Data::weight_torques(const Carrying &on, const Eigen::Vector3d &gravity) const {
  using Vec6 = Eigen::Matrix<double, 6, 1>;
  const Model::Impl &im = *model_.impl_;
  const mjModel *m = im.model;
  const int root = std::max(im.pelvis, 0);
  const double mass = m->body_subtreemass[root];
  const Vec3 com = vec(data_->subtree_com + 3 * root);
  // The floor's whole push: the weight, upward.
  const Vec3 lift = -mass * gravity;
  const bool both = im.has_legs && on[kLeft] && on[kRight];
  const int alone = !im.has_legs ? -1 : on[kLeft] ? kLeft : on[kRight] ? kRight : -1;
  Vec3 centre[2] = {Vec3::Zero(), Vec3::Zero()};
  if (im.has_legs) {
    for (Side side : {kLeft, kRight})
      centre[side] = bottom_centre(m, data_, im.legs[side].sole_geom);
  }
  // Each joint's torque is b + s·(v · x): x is the left sole's push (force,
  // then moment about its centre), the right sole's what balances the rest;
  // s is +1 on the left leg's way to the pelvis, -1 on the right's, 0 off
  // both, where the floor's push does not reach.
  std::array<double, kJointCount> b{};
  std::array<double, kJointCount> weight{};  // the joint's load with nothing on the floor
  std::array<Vec6, kJointCount> v;
  std::array<int, kJointCount> s{};
  for (int i = 0; i < kJointCount; ++i) {
    v[i].setZero();
    const int j = im.joint_id[i];
    if (j < 0) continue;
    const int body = m->jnt_bodyid[j];
    const Vec3 pivot = vec(data_->xanchor + 3 * j);
    const Vec3 axis = vec(data_->xaxis + 3 * j);
    b[i] = axis.dot(
        (m->body_subtreemass[body] * (vec(data_->subtree_com + 3 * body) - pivot)).cross(gravity));
    weight[i] = b[i];
    for (Side side : {kLeft, kRight}) {
      if (!im.has_legs) break;
      for (int k = im.legs[side].foot_body; k > 0; k = m->body_parentid[k]) {
        if (k != body) continue;
        s[i] = side == kLeft ? 1 : -1;
        v[i] << axis.cross(centre[kLeft] - pivot), axis;
        // All the weight on the right sole, pushed up under the centre of mass.
        if (side == kRight) b[i] += axis.cross(com - pivot).dot(lift);
        break;
      }
    }
  }
  Vec6 x = Vec6::Zero();
  if (alone == kLeft) x << lift, (com - centre[kLeft]).cross(lift);
  if (both) {
    // The least spring energy, sum of torque² / stiffness: where the two
    // legs meet the floor as one closed chain, the share that keeps both
    // soles as they were. Joints without a servo's stiffness do not give.
    Eigen::Matrix<double, 6, 6> a = Eigen::Matrix<double, 6, 6>::Identity() * 1e-12;
    Vec6 rhs = Vec6::Zero();
    for (int i = 0; i < kJointCount; ++i) {
      const double k = model_.servo(i).kp;
      if (s[i] == 0 || !(k > 0.0)) continue;
      a += v[i] * v[i].transpose() / k;
      rhs -= v[i] * b[i] * s[i] / k;
    }
    x = a.ldlt().solve(rhs);
    // A sole the share would pull down carries nothing: the other carries all.
    const double up = -gravity.normalized().dot(x.head<3>());
    if (up < 0.0) {
      x.setZero();
    } else if (up > lift.norm()) {
      x << lift, (com - centre[kLeft]).cross(lift);
    }
  }
  Posture torque{};
  for (int i = 0; i < kJointCount; ++i) {
    if (im.joint_id[i] < 0) continue;
    // No sole carries: nothing pushes from the floor.
    torque[i] = alone < 0 ? weight[i] : b[i] + s[i] * v[i].dot(x);
  }
  return torque;
}

Eigen::Matrix3d Data::com_compliance(Side side) const {
  const Model::Impl &im = *model_.impl_;
  const mjModel *m = im.model;
  Mat3 compliance = Mat3::Zero();
  if (!im.has_legs) return compliance;
  const int root = std::max(im.pelvis, 0);
  const double mass = m->body_subtreemass[root];
  const Vec3 com = vec(data_->subtree_com + 3 * root);
  for (int i = 0; i < kJointCount; ++i) {
    const int j = im.joint_id[i];
    const double k = model_.servo(i).kp;
    if (j < 0 || !(k > 0.0)) continue;
    const int body = m->jnt_bodyid[j];
    bool on_way = false;
    for (int b = im.legs[side].foot_body; b > 0 && !on_way; b = m->body_parentid[b])
      on_way = b == body;
    if (!on_way) continue;
    // The joint turns what is above it about its axis. A push on every
    // body by its mass, as the weight's or a sway's, loads the joint by
    // that part's share and lever, and its give moves that part.
    const double hanging = m->body_subtreemass[body];
    const double above = mass - hanging;
    if (!(above > 0.0)) continue;
    const Vec3 centre = (mass * com - hanging * vec(data_->subtree_com + 3 * body)) / above;
    const Vec3 lever = vec(data_->xaxis + 3 * j).cross(centre - vec(data_->xanchor + 3 * j));
    const double share = above / mass;
    compliance += share * share * lever * lever.transpose() / k;
  }
  return compliance;
}

SoleFrame Data::sole_frame(Side side) const {
  return SoleFrame{sole(side).position, sole_rotation(side)};
}

double Model::reach_height(Side side, const PelvisPose &pelvis, const SoleFrame &sole) const {
  return impl_->reach_height(side, pelvis, sole);
}

bool Data::solve_leg(Side side, const PelvisPose &pelvis, const SolePose &sole, LegAngles *angles,
                     LegFailure *why) {
  return solve_leg(side, pelvis, SoleFrame{sole.position, rot_z(sole.yaw)}, angles, why);
}

bool Data::solve_leg(Side side, const PelvisPose &pelvis, const SoleFrame &sole, LegAngles *angles,
                     LegFailure *why) {
  const Model::Impl &im = *model_.impl_;
  *why = LegFailure{};
  if (im.legs[side].closed_form) return im.closed(side, pelvis, sole, angles, why);
  return im.iterate(scratch_, side, pelvis, sole, angles, why);
}

LegSolution Data::solve_leg(Side side, const PelvisPose &pelvis, const SolePose &sole) {
  LegSolution out;
  LegFailure why;
  out.ok = solve_leg(side, pelvis, sole, &out.angles, &why);
  if (!out.ok) out.shortfall = describe(why);
  return out;
}

void Data::servo_give(const std::array<FootLoad, 2> &feet, Posture &give) const {
  const Model::Impl &im = *model_.impl_;
  const mjModel *m = im.model;
  const Vec3 g = model_.gravity();
  for (int i = 0; i < kJointCount; ++i) {
    give[i] = 0.0;
    const int j = im.joint_id[i];
    const ServoGains servo = model_.servo(i);
    if (j < 0 || !(servo.kp > 0.0)) continue;
    const int b = m->jnt_bodyid[j];
    const Vec3 axis = vec(data_->xaxis + 3 * j);
    const Vec3 anchor = vec(data_->xanchor + 3 * j);
    const Vec3 com = vec(data_->subtree_com + 3 * b);
    // The servo holds what lies beyond it, and, on a leg, the floor's
    // push on its foot.
    double torque = -axis.dot((com - anchor).cross(m->body_subtreemass[b] * g));
    for (Side side : {kLeft, kRight})
      for (const int leg_joint : kLegJoints[side])
        if (leg_joint == i) torque -= axis.dot((feet[side].at - anchor).cross(feet[side].force));
    torque = std::clamp(torque, -servo.torque_limit, servo.torque_limit);
    give[i] = torque / servo.kp;
  }
}

}  // namespace robot

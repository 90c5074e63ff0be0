// The physics world: the robot as a rigid body model under gravity, on a
// floor, simulated with MuJoCo. Each servo is a position actuator with a
// torque limit; its setpoint moves toward the command at the servo speed,
// as a hobby servo's does, and the actuator pulls the joint after it.
#include <mujoco/mujoco.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <numbers>
#include <string>

#include "body_model.h"
#include "body_settings.h"
#include "physics_internal.h"
#include "placement.h"
#include "robot.h"
#include "view.h"
#include "world.h"

namespace standin {

namespace {

// A smaller engine step would make one robot_step take minutes, a larger
// one no sense of the contacts.
constexpr double kMinTimeStep = 0.0001;  // s
constexpr double kMaxTimeStep = 0.1;

// Warnings MuJoCo raised during the current step; only the physics world
// steps, always on the control thread.
constinit char g_warning_text[256] = "";  // last warning's text
constinit bool g_warning_raised = false;  // a warning since the last look

void keep_warning(const char *message) {
  std::snprintf(g_warning_text, sizeof g_warning_text, "%s", message);
  g_warning_raised = true;
}

// A MuJoCo error leaves nothing to go on with: say so and end the process.
[[noreturn]] void stop_on_error(const char *message) {
  report("the physics engine failed: %s; stopping", message);
  std::exit(1);
}

}  // namespace

// Names the model in reports: the file given, or the built-in model.
const char *Physics::model_name() const {
  return model_path_ != nullptr ? model_path_ : "the built-in robot model";
}

bool Physics::load(const char *path) {
  model_path_ = path;
  std::string error;
  robot_ = robot::Model::load(path != nullptr ? path : "", robot::Parts::kAny, &error);
  if (robot_ == nullptr) {
    report("%s", error.c_str());
    return false;
  }
  model_ = robot_->mj();
  data_ = mj_makeData(model_);
  if (data_ == nullptr) {
    report("cannot load the robot model \"%s\": out of memory", Quoted(model_name()).text);
    return false;
  }
  return true;
}

// Finds every device the library offers and every joint it drives; reports
// the first one missing.
bool Physics::bind() {
  const char *missing = nullptr;
  char what[160];
  for (int i = 0; i < kServoCount && missing == nullptr; ++i) {
    const char *name = kJoints[i].name;
    int j = mj_name2id(model_, mjOBJ_JOINT, name);
    if (j < 0 || model_->jnt_type[j] != mjJNT_HINGE) {
      std::snprintf(what, sizeof what, "no hinge joint named \"%s\"", name);
      missing = what;
      break;
    }
    qpos_[i] = model_->jnt_qposadr[j];
    // A servo's setpoint never passes the joint's stops: pulling beyond
    // one only presses on it.
    bool limited = model_->jnt_limited[j] != 0;
    low_[i] = limited ? model_->jnt_range[2 * j] : -std::numeric_limits<double>::infinity();
    high_[i] = limited ? model_->jnt_range[2 * j + 1] : std::numeric_limits<double>::infinity();
    actuator_[i] = -1;
    for (int a = 0; a < model_->nu; ++a) {
      if (model_->actuator_trntype[a] == mjTRN_JOINT && model_->actuator_trnid[2 * a] == j) {
        actuator_[i] = a;
      }
    }
    if (actuator_[i] < 0) {
      std::snprintf(what, sizeof what, "no actuator drives the joint \"%s\"", name);
      missing = what;
    }
  }
  root_ = -1;
  for (int j = 0; j < model_->njnt && root_ < 0; ++j) {
    if (model_->jnt_type[j] == mjJNT_FREE) root_ = model_->jnt_qposadr[j];
  }
  gps_site_ = mj_name2id(model_, mjOBJ_SITE, "gps");
  int left = mj_name2id(model_, mjOBJ_SENSOR, "left touch");
  int right = mj_name2id(model_, mjOBJ_SENSOR, "right touch");
  int range = mj_name2id(model_, mjOBJ_SENSOR, "distance");
  if (missing != nullptr) {
  } else if (root_ < 0) {
    missing = "no free joint: the robot is fixed to the world";
  } else if (gps_site_ < 0) {
    missing = "no site named \"gps\"";
  } else if (left < 0 || model_->sensor_type[left] != mjSENS_TOUCH) {
    missing = "no touch sensor named \"left touch\"";
  } else if (right < 0 || model_->sensor_type[right] != mjSENS_TOUCH) {
    missing = "no touch sensor named \"right touch\"";
  } else if (mj_name2id(model_, mjOBJ_CAMERA, "camera") < 0) {
    missing = "no camera named \"camera\"";
  } else if (range < 0 || model_->sensor_type[range] != mjSENS_RANGEFINDER) {
    missing = "no rangefinder named \"distance\"";
  } else if (mj_name2id(model_, mjOBJ_SITE, "emitter") < 0) {
    missing = "no site named \"emitter\"";
  }
  if (missing != nullptr) {
    report("the robot model \"%s\" cannot be used: %s", Quoted(model_name()).text, missing);
    return false;
  }
  touch_[0] = model_->sensor_adr[left];
  touch_[1] = model_->sensor_adr[right];
  pelvis_ = model_->site_bodyid[gps_site_];
  inertial_ = optional_sensor("inertial unit", mjSENS_FRAMEQUAT, "an orientation (framequat)");
  gyro_ = optional_sensor("gyro", mjSENS_GYRO, "a gyro");
  accelerometer_ = optional_sensor("accelerometer", mjSENS_ACCELEROMETER, "an accelerometer");
  return true;
}

// The sensordata address of the sensor `name` of `type`, which a model may
// lack; -1 without one. One of that name but another type is told and
// left out, as if missing.
int Physics::optional_sensor(const char *name, int type, const char *kind) {
  int id = mj_name2id(model_, mjOBJ_SENSOR, name);
  if (id < 0) return -1;
  if (model_->sensor_type[id] != type) {
    report("the robot model \"%s\": its sensor \"%s\" is not %s; running without the %s",
           Quoted(model_name()).text, name, kind, name);
    return -1;
  }
  return model_->sensor_adr[id];
}

bool Physics::has(int id) const {
  switch (id) {
    case kInertialUnitId:
      return inertial_ >= 0;
    case kGyroId:
      return gyro_ >= 0;
    case kAccelerometerId:
      return accelerometer_ >= 0;
    default:
      return id >= 1 && id <= kLastId;
  }
}

// Puts the robot in `posture`, upright, its lowest point just touching the
// floor, at rest, the setpoints on the posture.
void Physics::place(const double *posture) {
  mj_resetData(model_, data_);
  for (int i = 0; i < kServoCount; ++i) {
    // A joint cannot start beyond its stops.
    double wanted = servo_.body_angle(i, posture[i]);
    double angle = std::clamp(wanted, low_[i], high_[i]);
    if (angle != wanted) {
      report("STANDIN_POSTURE: %s=%g is beyond the joint's stop; the physics world starts it at %g",
             kJoints[i].name, posture[i], servo_.servo_angle(i, angle));
    }
    data_->qpos[qpos_[i]] = angle;
    setpoint_[i] = target_[i] = angle;
    data_->ctrl[actuator_[i]] = angle;
  }
  mj_kinematics(model_, data_);
  double lowest = std::numeric_limits<double>::infinity();
  for (int g = 0; g < model_->ngeom; ++g) {
    bool collides = model_->geom_contype[g] != 0 || model_->geom_conaffinity[g] != 0;
    if (collides && model_->geom_bodyid[g] != 0)
      lowest = std::min(lowest, floor_.clearance(model_, data_, g));
  }
  if (std::isfinite(lowest)) data_->qpos[root_ + 2] -= lowest;
  floor_.tilt(data_, root_);
  mj_forward(model_, data_);
  const mjtNum *gps = data_->site_xpos + 3 * gps_site_;
  standing_height_ = gps[2] - floor_.height_at(gps[0], gps[1]);
  start_heading_ = last_heading_ = heading();
  if (inertial_ >= 0) inertial_start_ = inertial_heading();
  yaw_ = 0.0;
  servo_.rest(setpoint_);
  std::memcpy(start_qpos_.get(), data_->qpos, sizeof(mjtNum) * model_->nq);
}

bool Physics::start(const Config &config, const char *model_path) {
  mju_user_warning = keep_warning;
  mju_user_error = stop_on_error;
  if (!load(model_path) || !bind()) return false;
  speed_ = config.servo_speed;
  double timestep = model_->opt.timestep;
  if (!(timestep >= kMinTimeStep && timestep <= kMaxTimeStep)) {
    report("the robot model \"%s\" cannot be used: its time step, %g s, is not from %g to %g s",
           Quoted(model_name()).text, timestep, kMinTimeStep, kMaxTimeStep);
    return false;
  }
  step_ns_ = std::llround(timestep * 1e9);
  carry_ns_ = 0;
  start_qpos_ = std::make_unique<mjtNum[]>(model_->nq);
  take_imperfections(config);
  place(config.posture);
  take_pushes(config);
  observe(make_view(config, *this, model_));
  tell_imperfections(imperfect_);
  return true;
}

// The imperfect robot's settings, before the robot is placed: the body's
// and the floor's in the model, the servos' in their model and speed.
void Physics::take_imperfections(const Config &config) {
  imperfect_ = config.imperfect;
  change_body(model_, data_, imperfect_, actuator_, model_name());
  floor_.start(model_, imperfect_, model_name());
  // The engine takes commands at its steps, at most 100 ms apart.
  servo_.start(imperfect_, static_cast<int>((step_ns_ + 999999) / 1000000));
  if (imperfect_.strength != 1.0) speed_ *= imperfect_.strength;
}

// The pushes turned from the robot's starting frame into the world's, on
// the chest; none when the model has no chest.
void Physics::take_pushes(const Config &config) {
  push_count_ = 0;
  if (config.push_count == 0) return;
  chest_ = mj_name2id(model_, mjOBJ_BODY, "chest");
  if (chest_ <= 0) {
    report("STANDIN_PUSH: the robot model \"%s\" has no body named \"chest\"; no pushes",
           Quoted(model_name()).text);
    return;
  }
  double c = std::cos(start_heading_);
  double s = std::sin(start_heading_);
  for (int i = 0; i < config.push_count; ++i) {
    Push push = config.pushes[i];
    const double *f = config.pushes[i].force;
    push.force[0] = c * f[0] - s * f[1];
    push.force[1] = s * f[0] + c * f[1];
    pushes_[push_count_++] = push;
  }
}

// The chest's applied force for the engine step starting now: the sum of
// the pushes whose time holds the step's start. Set at every step, so a
// push ends exactly at a step.
void Physics::apply_pushes() {
  if (push_count_ == 0) return;
  double force[3] = {0.0, 0.0, 0.0};
  for (int i = 0; i < push_count_; ++i) {
    const Push &push = pushes_[i];
    std::int64_t start_ns = push.at_ms * 1000000;
    if (stepped_ns_ >= start_ns && stepped_ns_ < start_ns + push.for_ms * 1000000) {
      for (int k = 0; k < 3; ++k) force[k] += push.force[k];
    }
  }
  mjtNum *applied = data_->xfrc_applied + 6 * chest_;
  for (int k = 0; k < 3; ++k) applied[k] = force[k];
}

// The pelvis's forward axis projected on the floor, as an angle from the
// world's x axis, rad in (-pi, pi].
double Physics::heading() const {
  const mjtNum *r = data_->xmat + 9 * pelvis_;
  return std::atan2(r[3], r[0]);
}

// The inertial unit's forward axis projected on the floor, as an angle
// from the world's x axis, rad in (-pi, pi].
double Physics::inertial_heading() const {
  mjtNum r[9];
  mju_quat2Mat(r, data_->sensordata + inertial_);
  return std::atan2(r[3], r[0]);
}

void Physics::command(int joint, double angle) {
  double body = servo_.body_angle(joint, angle);
  if (servo_.delays()) {
    // Sent now: the time stepped and what waits to be.
    servo_.send(joint, body, stepped_ns_ + carry_ns_);
  } else {
    target_[joint] = body;
  }
}

double Physics::position(int joint) const {
  return data_->qpos[qpos_[joint]];
}

// One step of the engine: the commands that have reached the servos
// become their targets, the setpoints move toward them by at most the
// servo speed, then the actuators act on the joints, through the servos'
// deadband and gear.
void Physics::step_once(std::int64_t time_ms) {
  double reach = speed_ * model_->opt.timestep;
  for (int i = 0; i < kServoCount; ++i) {
    std::int64_t at_ns = 0;
    double arrived = 0.0;
    while (servo_.delays() && servo_.arrived(i, stepped_ns_, at_ns, arrived)) target_[i] = arrived;
    double gap = target_[i] - setpoint_[i];
    double moved = std::fabs(gap) <= reach ? target_[i] : setpoint_[i] + std::copysign(reach, gap);
    setpoint_[i] = std::clamp(moved, low_[i], high_[i]);
    double angle = data_->qpos[qpos_[i]];
    data_->ctrl[actuator_[i]] = servo_.pull(servo_.aim(i, setpoint_[i], angle), angle);
  }
  apply_pushes();
  mj_step(model_, data_);
  stepped_ns_ += step_ns_;
  if (g_warning_raised) notice_warnings(time_ms);
  // Steps turn the pelvis far less than half a turn: the nearest whole turn is the one.
  double now = heading();
  yaw_ += std::remainder(now - last_heading_, 2.0 * std::numbers::pi);
  last_heading_ = now;
}

// Tells of each kind of warning once. A state that went bad has been reset
// by the engine: the robot goes back to its start, so that no position is
// ever NaN and no run goes on silently.
void Physics::notice_warnings(std::int64_t time_ms) {
  g_warning_raised = false;
  bool unstable = false;
  for (int w = 0; w < mjNWARNING; ++w) {
    if (data_->warning[w].number == 0) continue;
    bool bad_state = w == mjWARN_BADQPOS || w == mjWARN_BADQVEL || w == mjWARN_BADQACC;
    unstable = unstable || bad_state;
    // A divergence is one story whichever number went bad first.
    int kind = bad_state ? mjWARN_BADQACC : w;
    if (!warned_[kind]) {
      warned_[kind] = true;
      // The engine's text ends with its own clock, which is not the robot's.
      char text[sizeof g_warning_text];
      std::snprintf(text, sizeof text, "%s", g_warning_text);
      if (char *clock = std::strstr(text, " Time = ")) *clock = '\0';
      report(bad_state ? "the physics diverged at %lld ms (%s); the robot is set back where it "
                         "started"
                       : "physics warning at %lld ms: %s",
             static_cast<long long>(time_ms), text);
    }
    data_->warning[w].number = 0;
  }
  if (unstable) {
    std::memcpy(data_->qpos, start_qpos_.get(), sizeof(mjtNum) * model_->nq);
    mju_zero(data_->qvel, model_->nv);
    mj_forward(model_, data_);
  }
}

void Physics::advance(int ms, std::int64_t time_ms) {
  carry_ns_ += static_cast<std::int64_t>(ms) * 1000000;
  // Whole engine steps only; the remainder waits for the next call.
  std::int64_t steps = carry_ns_ / step_ns_;
  carry_ns_ -= steps * step_ns_;
  for (std::int64_t k = 0; k < steps; ++k) {
    step_once(time_ms + (k + 1) * step_ns_ / 1000000);
    if (observer_ != nullptr) observer_->after_step(model_, data_);
  }
  if (observer_ != nullptr && steps > 0) observer_->after_advance(model_, data_);
}

Readings Physics::readings() const {
  Readings r;
  const mjtNum *gps = data_->site_xpos + 3 * gps_site_;
  r.gps[0] = gps[0];
  r.gps[1] = gps[1];
  r.gps[2] = gps[2];
  r.ground = floor_.height_at(gps[0], gps[1]);
  // The z part of the pelvis's up axis is the cosine of its tilt.
  double up = std::clamp(data_->xmat[9 * pelvis_ + 8], -1.0, 1.0);
  r.tilt = std::acos(up);
  r.touch[0] = data_->sensordata[touch_[0]];
  r.touch[1] = data_->sensordata[touch_[1]];
  r.yaw = yaw_;
  const Eigen::Vector3d com = robot_->com(*data_);
  r.com[0] = com.x();
  r.com[1] = com.y();
  const robot::Pressure pressure = robot_->pressure(*data_);
  r.cop[0] = pressure.centre.x();
  r.cop[1] = pressure.centre.y();
  measure_inertial(r);
  return r;
}

// The torso's inertial sensors, those the model has. The orientation R is
// taken apart as Rz(yaw) Ry(pitch) Rx(roll) about the world's vertical,
// the yaw counted from the heading the unit started with; the gyro and the
// accelerometer give their sensors' values, in the sensors' own frames.
void Physics::measure_inertial(Readings &r) const {
  const mjtNum *data = data_->sensordata;
  if (inertial_ >= 0) {
    mjtNum m[9];
    mju_quat2Mat(m, data + inertial_);
    r.roll_pitch_yaw[0] = std::atan2(m[7], m[8]);
    r.roll_pitch_yaw[1] = std::asin(std::clamp(-m[6], -1.0, 1.0));
    r.roll_pitch_yaw[2] =
        std::remainder(std::atan2(m[3], m[0]) - inertial_start_, 2.0 * std::numbers::pi);
  }
  for (int k = 0; k < 3; ++k) {
    if (gyro_ >= 0) r.gyro[k] = data[gyro_ + k];
    if (accelerometer_ >= 0) r.acceleration[k] = data[accelerometer_ + k];
  }
}

namespace {

// The world as the surface sees it: a Physics and the simulated time.
class PhysicsWorld final : public World {
 public:
  bool start(const Config &config) override { return physics_.start(config, config.model_path); }
  void command(int joint, double angle) override { physics_.command(joint, angle); }
  double position(int joint) const override { return physics_.position(joint); }
  double read_back(int joint) const override { return physics_.read_back(joint); }
  void advance(int ms) override {
    physics_.advance(ms, time_ms_);
    time_ms_ += ms;
  }
  Readings readings() const override { return physics_.readings(); }
  bool has(int id) const override { return physics_.has(id); }
  double standing_height() const override { return physics_.standing_height(); }
  bool wants_stop() const override { return physics_.wants_stop(); }
  void finish() override { physics_.finish(); }

 private:
  Physics physics_;
  std::int64_t time_ms_ = 0;  // simulated time at the start of the next step
};

constinit Immortal<PhysicsWorld> g_physics;  // the one physics world

}  // namespace

World &physics_world() {
  return g_physics.object;
}

}  // namespace standin

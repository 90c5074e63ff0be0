// The physics world's engine side, shared by its source files: the MuJoCo
// model and data, the servos' setpoints, and the hook through which views
// and recordings see every engine step.
#pragma once

#include <mujoco/mujoco.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "floor.h"
#include "robot.h"
#include "servo_model.h"
#include "world.h"

namespace standin {

// Sees the world after every engine step, on the control thread.
class StepObserver {
 public:
  virtual ~StepObserver() = default;
  virtual void after_step(const mjModel *m, mjData *d) = 0;
  // After the last engine step of an advance.
  virtual void after_advance(const mjModel *, mjData *) {}
  // Last words at the end of the run, from whichever thread ends it.
  virtual void finish() {}
};

class Physics {
 public:
  // Loads the model (`model_path`, or the built-in one when nullptr), checks
  // that it offers every device, and places the robot. False once reported.
  bool start(const Config &config, const char *model_path);
  void command(int joint, double angle);
  double position(int joint) const;
  double read_back(int joint) const { return servo_.servo_angle(joint, position(joint)); }
  // Advances `ms` of simulated time from `time_ms`, in whole engine steps;
  // what is left of a step carries over to the next call.
  void advance(int ms, std::int64_t time_ms);
  Readings readings() const;
  // Whether the model carries device `id`: it may lack the inertial unit,
  // the gyro or the accelerometer.
  bool has(int id) const;
  double standing_height() const { return standing_height_; }
  bool wants_stop() const { return wants_stop_; }
  void finish() {
    if (observer_ != nullptr) observer_->finish();
  }

  const mjModel *model() const { return model_; }
  // The robot library's model of the robot simulated.
  const robot::Model &robot() const { return *robot_; }
  // The commanded angle of each servo (JointIndex 0..24), rad, and where
  // each actuator pulls now on its way there, rad.
  const double *targets() const { return target_; }
  const double *setpoints() const { return setpoint_; }
  mjData *data() const { return data_; }
  // The observer called after each engine step; nullptr for none.
  void observe(StepObserver *observer) { observer_ = observer; }
  void request_stop() { wants_stop_ = true; }

 private:
  bool load(const char *path);
  bool bind();
  void place(const double *posture);
  void step_once(std::int64_t time_ms);
  void notice_warnings(std::int64_t time_ms);
  void take_imperfections(const Config &config);
  void take_pushes(const Config &config);
  void apply_pushes();
  double heading() const;
  const char *model_name() const;
  int optional_sensor(const char *name, int type, const char *kind);
  void measure_inertial(Readings &r) const;
  double inertial_heading() const;

  const char *model_path_ = nullptr;  // STANDIN_MODEL, nullptr = built-in
  std::unique_ptr<robot::Model> robot_;
  mjModel *model_ = nullptr;  // robot_'s engine model
  mjData *data_ = nullptr;
  int qpos_[kServoCount] = {};         // qpos address of each servo's joint
  int actuator_[kServoCount] = {};     // actuator of each servo's joint
  double setpoint_[kServoCount] = {};  // where each actuator pulls, rad
  double target_[kServoCount] = {};    // commanded angles, rad
  double low_[kServoCount] = {};       // each joint's stops, rad; infinite if none
  double high_[kServoCount] = {};
  int root_ = -1;  // qpos address of the free root joint
  int gps_site_ = -1;
  int pelvis_ = -1;                       // body carrying the GPS
  int touch_[2] = {};                     // sensordata address of each sole's force
  double speed_ = 0.0;                    // servo speed, rad/s; +inf = instant
  std::int64_t step_ns_ = 0;              // engine time step
  std::int64_t carry_ns_ = 0;             // simulated time not yet stepped
  double standing_height_ = 0.0;          // GPS height at the start, m
  std::unique_ptr<mjtNum[]> start_qpos_;  // the placed start, for a reset
  bool warned_[mjNWARNING] = {};          // warning kinds already told
  bool wants_stop_ = false;
  StepObserver *observer_ = nullptr;
  // The pelvis's heading: its raw angle at the start and at the last step,
  // and the unwrapped turn since the start, rad.
  double start_heading_ = 0.0;
  double last_heading_ = 0.0;
  double yaw_ = 0.0;
  // Pushes on the chest, already turned into the world frame.
  Push pushes_[kMaxPushes] = {};
  int push_count_ = 0;
  int chest_ = -1;               // body pushed; -1 = none
  std::int64_t stepped_ns_ = 0;  // simulated time of the engine steps done
  // sensordata address of the torso's orientation (a quaternion), turn
  // rate and acceleration; -1 for a sensor the model lacks.
  int inertial_ = -1;
  int gyro_ = -1;
  int accelerometer_ = -1;
  double inertial_start_ = 0.0;  // the inertial unit's heading at the start, rad
  // The imperfect robot: the settings in effect, the servos and the floor.
  Imperfections imperfect_;
  ServoModel servo_;
  Floor floor_;
};

}  // namespace standin

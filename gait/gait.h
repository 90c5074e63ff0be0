// The gait engine: the suite's one walking implementation. The walker runs
// it live, one control period at a time, and motion_walk runs it offline
// with a constant command and writes its postures as rows.
//
// Each period the engine
//   1. takes the command (a change takes effect at the next step, within
//      the rate limits),
//   2. extends the footstep plan so that it covers the preview window,
//   3. advances the centre-of-mass plan by preview control of the linear
//      inverted pendulum (Kajita et al. 2003) on the footsteps ahead: the
//      preview window slides with the plan,
//   4. places the swing foot and the pelvis over the planned centre of mass,
//   5. solves the legs with the robot library's inverse kinematics,
//   6. adds each servo's sag under the planned load (from the model's
//      servo gains) and holds every joint under the servo speed,
// and gives the posture to send. After construction nothing allocates and
// every step does bounded work.
//
// Frames: the engine's world is the floor where the robot stood when it
// was started: x the way it faced, y to its left, z up; m, rad, s. A
// velocity is in the robot's own frame (forward, left, turn to the left).
//
// Feedback (Settings::feedback, with the inertial unit and the gyro
// read): four layers close the loop on what a real robot measures, each
// with its gains in kFeedback (gait/feedback.h):
//   - estimation, at the head of a period (Engine::sense): the torso's
//     tilt and turn rates, filtered; the centre of mass against the
//     stance sole from the servos' read-back and the inertial unit's tilt,
//     and its error from the plan; how late the servos answer
//     (gait/servo_lag.h) and how noisy the unit's angles read, which set
//     how hard the layers below work (kLagSchedule);
//   - posture: the pelvis is tilted against the measured tilt, so the
//     stance ankle and the hips meet it, and moved against the centre of
//     mass's speed off the plan's, which damps the robot's sway on its
//     servos (place_feet_and_pelvis);
//   - timing: a swing foot the sole feels landing early ends its step
//     there; one that has not landed when planned holds the plan a little
//     (the plan's times move: advance_clock);
//   - stepping: the capture point's error from the plan moves the next
//     footstep, within reach and clear of the other foot, the plan going
//     on from there; standing, a push that throws it off the soles starts
//     steps that catch the robot (capture);
//   - heading: the inertial unit's yaw against the heading asked for turns
//     the steps (next_step).
// Without a sample of the inertial unit or the gyro (motion_walk offline,
// a missing device) every layer is off and the engine walks open loop.
#pragma once

#include <Eigen/Core>
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "body_model.h"
#include "robot.h"

namespace gait {

// A walking command in the robot's frame: m/s forward (negative
// backward), m/s to the left (negative to the right), rad/s turning to the
// left (negative to the right). All zero marks time in place.
struct Velocity {
  double forward = 0.0;
  double left = 0.0;
  double turn = 0.0;
  bool operator==(const Velocity &) const = default;
};

// What the engine can walk, per axis, as magnitudes; and how fast a
// command may change. A combination is limited too: the sum of each
// axis's share of its limit is at most 1 (see clamp()).
struct Limits {
  double forward = 0.0;   // m/s
  double backward = 0.0;  // m/s
  double sideways = 0.0;  // m/s, to either side
  double turn = 0.0;      // rad/s, to either side
  // Largest change of the velocity from one step to the next.
  double forward_change = 0.0;   // m/s per step
  double sideways_change = 0.0;  // m/s per step
  double turn_change = 0.0;      // rad/s per step
};

// Which axes clamp() changed.
struct Clamped {
  bool forward = false, left = false, turn = false;
  bool any() const { return forward || left || turn; }
};

// `command` within `limits`: each axis within its limit, and the three
// together scaled down until their shares of their limits add to 1 at
// most. A non-finite value counts as 0. `clamped`, when given, says which
// axes changed.
Velocity clamp(const Velocity &command, const Limits &limits, Clamped *clamped = nullptr);

// What a real robot measures, as the controller library gives it: NaN
// where a sensor is missing or has no sample yet. Never the GPS.
struct Sensors {
  Eigen::Vector3d roll_pitch_yaw;  // rad, the inertial unit in the torso
  Eigen::Vector3d gyro;            // rad/s about the torso's x, y, z
  Eigen::Vector3d accelerometer;   // m/s², acceleration less gravity, torso axes
  std::array<double, 2> touch;     // N, the soles' normal forces, by robot::Side
  Posture joints;                  // rad, the servos' read-back, by JointIndex
  // Every value NaN: nothing measured.
  static Sensors none();
};

// Shortest single support in which a foot can lift and land, s.
inline constexpr double kMinSwingTime = 0.1;

// How the engine walks. Defaults are the walker's.
struct Settings {
  double period = 0.010;        // s per step of the engine, 0.001 to 0.05
  double step_time = 0.30;      // s per step
  double double_support = 0.1;  // share of each step on both feet, 0.05 to 0.5
  double lift = 0.015;          // m the swing foot rises at the limits, >= 0
  // m it rises walking slowly; between, in proportion to the step's share
  // of the limits: the servo speed a fast step needs for its travel lifts
  // a slow step's foot higher, clear of the floor when the robot rocks.
  double slow_lift = 0.02;
  // Share of the swing, at each end, in which a slow step's foot lifts and
  // lands in place (0 to 0.4); none at the limits.
  double swing_edge = 0.1;
  double height = 0.24;      // m, the pelvis's height while walking
  double preview = 1.2;      // s the preview control looks ahead
  double first_shift = 0.5;  // s, least time for the first shift of the weight
  double settle = 0.3;       // s, least time to bring the weight back to the middle
  double lower_time = 1.0;   // s, least time to bend from the start to the walking height
  // rad/s each servo's setpoint moves at most: the stand-in's servo speed.
  double servo_speed = robot::kServoSpeed;
  // Share of the servo speed the walk plans for; the rest is room for the
  // servos to catch up.
  double speed_share = 1.0;
  // Add each servo's static sag under the planned load to its command.
  bool sag = true;
  // Velocity changes ramp within the limits' rates; off, each step takes
  // the command at once (motion_walk's fixed strides).
  bool ramp = true;
  // Measure the limits on the model at construction (the walker): the
  // fastest steady walk on each axis whose joints stay within the servo
  // speed's share and the legs' reach, at most `most`. Off, the limits are
  // `most` as they are (motion_walk, which takes its command as given).
  bool measure_limits = true;
  // Close the loop on the sensors (the walker); off, the engine walks open
  // loop whatever they read (walker --open-loop).
  bool feedback = true;
  // The most the engine walks on each axis whatever the servos allow:
  // where walks in the physics world stop standing (docs/walker.md).
  Limits most = {0.3, 0.2, 0.06, 1.0, 0.1, 0.03, 0.3};
};

// Where each foot is, and whether it is on the floor.
struct Foot {
  Eigen::Vector3d at = Eigen::Vector3d::Zero();  // m, the sole's centre; z above the floor
  double yaw = 0.0;                              // rad
  bool down = true;
};

enum class Phase {
  kIdle,      // not started
  kLowering,  // bending from the posture taken over to the walking height
  kStanding,  // at the walking height, feet together, ready
  kWalking,   // stepping
  kStopping,  // finishing the step under way and bringing the feet together
};

// Why a posture could not be made (no text: the loop must not allocate).
struct Fault {
  bool any = false;
  double time = 0.0;  // s, engine time
  long step = 0;      // the step, from 1; 0 before the first
  robot::Side side = robot::kLeft;
  robot::LegFailure why;  // what the leg lacks
};

// What the engine did in its last step: for the walker's words, the
// posture log's readers, motion_walk's plan file and the tests.
struct Status {
  double time = 0.0;  // s since start()
  Phase phase = Phase::kIdle;
  long steps_begun = 0;                               // steps whose weight shift has begun
  long steps_landed = 0;                              // steps whose foot has landed
  Velocity velocity;                                  // of the step under way, after the ramp
  Eigen::Vector2d com = Eigen::Vector2d::Zero();      // planned centre of mass, m
  Eigen::Vector2d zmp = Eigen::Vector2d::Zero();      // its pressure centre (c - z/g c''), m
  Eigen::Vector2d zmp_ref = Eigen::Vector2d::Zero();  // the reference it follows, m
  std::array<Foot, 2> feet;                           // by robot::Side
  robot::PelvisPose pelvis;
  long speed_held = 0;  // joint commands held back to the servo speed so far
  // The fastest change of a joint the plan asked for so far, before the
  // hold to the servo speed: rad/s and its JointIndex (-1 before any).
  double fastest = 0.0;
  int fastest_joint = -1;
  // rad added to each joint's command for its servo's sag under the
  // planned load (zero with Settings::sag off).
  Posture sag{};
  Fault fault;  // the first posture that could not be made
  // The feedback's work (all zero open loop).
  bool closed_loop = false;                                 // the layers acted this period
  Eigen::Vector2d tilt_fix = Eigen::Vector2d::Zero();       // rad of pelvis pitch, roll commanded
  Eigen::Vector2d sway_fix = Eigen::Vector2d::Zero();       // m the pelvis is moved, x and y
  Eigen::Vector2d capture_error = Eigen::Vector2d::Zero();  // m, measured less planned
  double heading_error = 0.0;                               // rad, asked less measured
  // s the servos answer late, read back from their moves against the
  // commands' (the servo's own time to move counted); 0 until known.
  double servo_lag = 0.0;
  long captures = 0;        // steps the capture point moved
  long early_landings = 0;  // steps ended early by the sole's touch
  long late_landings = 0;   // steps held for the sole's touch
};

class Engine {
 public:
  // The engine for `model` (robot::Parts::kLegs) walking by `settings`;
  // everything it needs is allocated here. Check settings_problem() first:
  // the engine assumes settings it accepts.
  Engine(const robot::Model &model, const Settings &settings);
  ~Engine();
  Engine(const Engine &) = delete;
  Engine &operator=(const Engine &) = delete;

  // Empty when `settings` can be walked by `model`, else one line saying
  // what is wrong (the walking height out of reach, a step too short to
  // lift a foot, ...). Allocates; call it before the loop.
  static std::string settings_problem(const robot::Model &model, const Settings &settings);

  // What this engine can walk: from the step time, the legs' reach, the hip
  // yaw's range and the servo speed, measured on the model at construction.
  const Limits &limits() const;

  // Takes over the robot standing in `posture` (rad by JointIndex; NaN
  // entries count as 0): the engine bends from it to the walking height,
  // at least lower_time and within the servo speed, then stands ready.
  void start(const Posture &posture);

  // Walk at `velocity` (taken as it is: clamp it to limits() first, as the
  // walker does). From standing it starts stepping; walking, it takes
  // effect at the next step, within the rate limits. With `steps` > 0 it
  // walks that many steps and then stops as stop() does, the stop planned
  // from the start (motion_walk's walks).
  void walk(const Velocity &velocity, long steps = 0);
  // Finish the step under way, bring the feet together, and stand.
  void stop();
  // Stop stepping at once and hold the posture last given (a fall).
  void freeze();
  // Every feedback layer off from now on, as with Settings::feedback off.
  void open_loop();

  // One period: advances the plan by Settings::period and returns the
  // posture to send, rad by JointIndex (all 25; the walker sends 23).
  const Posture &step(const Sensors &sensors);

  const Status &status() const;
  const Settings &settings() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace gait

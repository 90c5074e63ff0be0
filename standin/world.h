// The simulated robot behind the library surface. A world moves the servos
// and says what the sensors see; the surface in front of it (calls, trace,
// pacing, stop) is the same for every world. A world never traces, paces
// or stops, and the surface never knows how a world computes.
#pragma once

#include <limits>

#include "standin_internal.h"

namespace standin {

// What the robot's sensors measure; NaN wherever a world models nothing.
struct Readings {
  static constexpr double kNone = std::numeric_limits<double>::quiet_NaN();
  double gps[3] = {kNone, kNone, kNone};  // GPS position on the pelvis, m (x forward, y left, z up)
  double tilt = kNone;                    // angle of the pelvis's up axis from the vertical, rad
  double touch[2] = {kNone, kNone};       // normal force under the left and the right sole, N
  // Height of the floor's slope under the GPS, m: 0 on a level floor.
  double ground = kNone;
  // Pelvis heading about the vertical, rad, positive to the left; unwrapped
  // (it counts whole turns) and 0 at the start.
  double yaw = kNone;
  double com[2] = {kNone,
                   kNone};  // whole robot's centre of mass projected on the floor, m (GPS frame)
  // Centre of pressure of the floor's contact forces, m (GPS frame); NaN
  // when nothing presses on the floor.
  double cop[2] = {kNone, kNone};
  // The inertial unit in the torso, in its own axes (x forward, y left, z
  // up): roll, pitch and yaw, rad, by the right-hand rule (roll > 0 leans
  // right, pitch > 0 leans forward, yaw > 0 turned left of where it faced
  // at the start, within [-pi, pi]); the gyro's turn rates about x, y and
  // z, rad/s; the accelerometer's acceleration less gravity's along x, y
  // and z, m/s^2 (+9.81 along z at rest).
  double roll_pitch_yaw[3] = {kNone, kNone, kNone};
  double gyro[3] = {kNone, kNone, kNone};
  double acceleration[3] = {kNone, kNone, kNone};
};

class World {
 public:
  virtual ~World() = default;
  // Builds the world for `config`, the robot in its initial posture. False
  // once it has reported why it cannot; the program must not then start.
  virtual bool start(const Config &config) = 0;
  // Moves servo `joint` (JointIndex 0..24) toward `angle` rad (finite).
  virtual void command(int joint, double angle) = 0;
  // The angle of servo `joint` (JointIndex 0..24), rad: the body's.
  virtual double position(int joint) const = 0;
  // The angle servo `joint` reports, rad: its own idea of it, off the
  // body's by its calibration offset.
  virtual double read_back(int joint) const { return position(joint); }
  // Advances exactly `ms` > 0 of simulated time.
  virtual void advance(int ms) = 0;
  virtual Readings readings() const = 0;
  // Whether the robot carries device `id` (1..kLastId): a model may lack
  // the inertial unit, the gyro or the accelerometer.
  virtual bool has(int id) const { return id >= 1 && id <= kLastId; }
  // GPS height of the robot standing in its initial posture, above the
  // floor under it, m; NaN when the world has no height.
  virtual double standing_height() const = 0;
  // True once the world's user has asked for the run to end (a view closed).
  virtual bool wants_stop() const { return false; }
  // Last words at the end of the run, from whichever thread ends it: close
  // what the world writes. Called at most once.
  virtual void finish() {}
};

// Storage for an object that lives as long as the process: never destroyed,
// so that a control loop still stepping while another thread calls exit()
// meets a whole object.
template <typename T>
union Immortal {
  T object;
  constexpr Immortal() : object() {}
  ~Immortal() {}
};

// Servos moving toward their commands at the servo speed, in empty space.
World &kinematic_world();
// The robot as a rigid body model under gravity, on a floor.
World &physics_world();

}  // namespace standin

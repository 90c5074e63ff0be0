// The walker's control loop: every period it takes the command, steps the
// gait engine on what the sensors read, sends the 23 servo commands and
// steps the robot. It never blocks and, once started, never allocates: the
// shell (the console, the script, the lines the walker says) reaches it
// only through the two interfaces below, whose calls must not block.
#pragma once

#include <cstdint>

#include "body_model.h"
#include "gait.h"

namespace walker {

// The control period, ms: five of the physics world's 2 ms engine steps.
// Short against the pendulum's time constant (sqrt(z/g) = 0.16 s, 16
// periods) and the servo's settling (about 30 ms), and long enough for a
// real robot's serial bus to carry 23 commands and the readings.
inline constexpr int kPeriodMs = 10;

// What the loop is told: walk at a velocity, or stop.
struct Order {
  enum class Kind { kWalk, kStop };
  Kind kind = Kind::kStop;
  gait::Velocity velocity;  // for kWalk: m/s, m/s, rad/s, as typed (the loop clamps it)
};

// Where orders come from: the script and the console. poll() is called
// once per period from the loop and must never block.
class Orders {
 public:
  virtual ~Orders() = default;
  // The next order due at `now_ms` (simulated ms since the first control
  // period), if any: true and *order set, else false. Called again at the
  // same time while it gives orders, so several due together are all taken.
  virtual bool poll(std::int64_t now_ms, Order *order) = 0;
};

// Which way the robot fell, from the inertial unit.
enum class FallDirection { kForward, kBackward, kLeft, kRight };

// What the loop says. Each call must return at once (queue, never print
// from the loop); `ms` is simulated time since the first control period.
class Words {
 public:
  virtual ~Words() = default;
  // An order was taken: walking at `velocity` (after the limits; `clamped`
  // says which axes the limits cut), or stopping.
  virtual void walking(std::int64_t ms, const gait::Velocity &velocity,
                       const gait::Clamped &clamped) = 0;
  virtual void stopping(std::int64_t ms) = 0;
  // The robot stands ready (after the start, and after each stop).
  virtual void standing(std::int64_t ms) = 0;
  // The robot fell: said once; the walker stops stepping.
  virtual void fell(std::int64_t ms, FallDirection direction, double tilt) = 0;
};

// The devices the loop reads, bound at the start (0 = missing).
struct Devices {
  DeviceId inertial_unit = 0;
  DeviceId gyro = 0;
  DeviceId accelerometer = 0;
};

// Tilt of the torso from the vertical beyond which the robot has fallen,
// rad: a walk leans at most 0.3.
inline constexpr double kFallTilt = 0.8;

// The loop's state: the engine and what it has seen. Made before the loop;
// run() then allocates nothing.
class Loop {
 public:
  Loop(gait::Engine &engine, const Devices &devices, Orders &orders, Words &words);
  // Takes over the posture the servos read, then runs one control period
  // after another, for as long as the simulator runs the program.
  [[noreturn]] void run();
  // One control period at `now_ms`: take orders, read the sensors, step
  // the engine, send the commands. The step of the robot is the caller's.
  void period(std::int64_t now_ms);
  // Takes over the posture the servos read now.
  void start();
  bool fallen() const { return fallen_; }

 private:
  void take_orders(std::int64_t now_ms);
  void read_sensors();
  void watch_for_fall(std::int64_t now_ms);

  gait::Engine &engine_;
  Devices devices_;
  Orders &orders_;
  Words &words_;
  gait::Sensors sensors_ = gait::Sensors::none();
  gait::Phase last_phase_ = gait::Phase::kIdle;
  bool fallen_ = false;
  Posture held_{};  // the posture held after a fall
};

}  // namespace walker

// Pieces of the stand-in simulator shared by its source files: the device
// table, the platform configuration, and the output sinks (trace, posture
// log, problem reports on stderr).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "imperfect_bounds.h"
#include "quoted.h"

namespace standin {

// Servos take identifiers 1..25 in JointIndex order; the sensors follow.
inline constexpr int kServoCount = 25;
inline constexpr int kLeftTouchId = 26;
inline constexpr int kRightTouchId = 27;
inline constexpr int kCameraId = 28;
inline constexpr int kDistanceId = 29;
inline constexpr int kGpsId = 30;
inline constexpr int kEmitterId = 31;
// The inertial unit, the gyro and the accelerometer in the torso.
inline constexpr int kInertialUnitId = 32;
inline constexpr int kGyroId = 33;
inline constexpr int kAccelerometerId = 34;
// Highest identifier handed out; identifiers run 1..kLastId.
inline constexpr int kLastId = 34;

enum class Kind : unsigned char {
  none,
  servo,
  touch,
  camera,
  distance,
  gps,
  emitter,
  inertial_unit,
  gyro,
  accelerometer
};

// Kind of identifier id (0..255); Kind::none outside 1..kLastId.
Kind device_kind(int id);
// Device name of identifier id; nullptr outside 1..kLastId.
const char *device_name(int id);
// Identifier of the device called `name`, whether present or not; 0 if none.
int device_id(std::string_view name);

// Default servo speed: 60 degrees in 0.2 s, in rad/s.
inline constexpr double kDefaultServoSpeed = 5.235987755982989;
// Accepted range of STANDIN_PACE speed factors.
inline constexpr double kMinPace = 0.001;
inline constexpr double kMaxPace = 1000.0;
// Longest environment value read; longer ones are refused.
inline constexpr std::size_t kMaxEnvLength = 4096;

// What STANDIN_RECORD writes, by the file's extension.
enum class RecordFormat : unsigned char { none, mp4, gif, png };
// Recording size unless STANDIN_RECORD_SIZE says otherwise, and its bounds.
inline constexpr int kDefaultRecordWidth = 640;
inline constexpr int kDefaultRecordHeight = 480;
inline constexpr int kMinRecordSide = 64;
inline constexpr int kMaxRecordWidth = 3840;
inline constexpr int kMaxRecordHeight = 2160;

// The camera's azimuth unless STANDIN_CAMERA_AZIMUTH says otherwise, and
// its bound: degrees about the vertical of the way the camera looks, from
// the world's x, the built-in robot's forward (0, from behind), toward y,
// its left (90, from its right).
inline constexpr double kDefaultCameraAzimuth = 150.0;  // from its front right
inline constexpr double kMaxCameraAzimuth = 360.0;

// A push on the chest (STANDIN_PUSH): a force in the robot's starting
// frame (x forward, y left, z up, as the pelvis stood at the start).
struct Push {
  std::int64_t at_ms;   // simulated time it starts, ms, 0..kMaxPushMs
  double force[3];      // N, each component within ±kMaxPushForce
  std::int64_t for_ms;  // how long it acts, ms, 1..kMaxPushMs
};
// Bounds of STANDIN_PUSH: the times keep every sum of them in nanoseconds
// far inside 64 bits; the force is far above what the robot withstands.
inline constexpr int kMaxPushes = 32;
inline constexpr std::int64_t kMaxPushMs = 1000000000000;  // ms, about 31 years
inline constexpr double kMaxPushForce = 1000.0;            // N

// The imperfect robot: each setting off at its default; the bounds are
// those accepted, anything else is refused (imperfect_bounds.h, which the
// tools that pass the settings share).
using imperfect::kMaxBumps;
using imperfect::kMaxComShift;
using imperfect::kMaxFriction;
using imperfect::kMaxLatencyMs;
using imperfect::kMaxMassScale;
using imperfect::kMaxNoise;
using imperfect::kMaxOffset;
using imperfect::kMaxPlay;
using imperfect::kMaxSlope;
using imperfect::kMaxStrength;
using imperfect::kMinFriction;
using imperfect::kMinMassScale;
using imperfect::kMinStrength;

struct Imperfections {
  int latency_ms = 0;               // a command reaches its servo this much later, 0..1000
  double backlash = 0.0;            // the gear's whole play, rad, 0..kMaxPlay
  double deadband = 0.0;            // an error below this is left alone, rad, 0..kMaxPlay
  double offset[kServoCount] = {};  // by JointIndex, rad: the body's angle is the servo's plus it
  double strength = 1.0;            // servo torque and setpoint speed scale
  double mass_scale = 1.0;          // every body's mass and inertia scale
  double com_shift[2] = {};         // the chest's centre of mass moved, mm, x forward, y left
  double friction = 0.0;            // sliding friction of every floor contact; 0 = the model's
  double slope[2] = {};             // the floor turned about the world's x, then y, degrees
  double bumps_mm = 0.0;            // highest bump of the floor's height field, mm; 0 = flat
  std::uint64_t bumps_seed = 0;     // the bumps' generator
  double noise = 0.0;               // standard deviation on the inertial sensors
  std::uint64_t noise_seed = 1;     // the noise's generator
};

// Platform settings, read once from the environment.
struct Config {
  bool present[kLastId + 1] = {};                   // by identifier; false = left out
  double posture[kServoCount] = {};                 // initial servo positions, rad
  double servo_speed = kDefaultServoSpeed;          // rad/s; +inf = instant
  double pace = 1.0;                                // speed factor; 0 = as fast as possible
  std::int64_t stop_ms = -1;                        // stop time in simulated ms; -1 = none
  const char *trace_path = nullptr;                 // STANDIN_TRACE, nullptr if unset
  const char *posture_log_path = nullptr;           // STANDIN_POSTURE_LOG, nullptr if unset
  bool physics = true;                              // STANDIN_WORLD: physics, or kinematic
  const char *model_path = nullptr;                 // STANDIN_MODEL, nullptr = the built-in model
  bool view_window = false;                         // STANDIN_VIEW=window
  const char *frame_log_path = nullptr;             // STANDIN_FRAME_LOG (tests), nullptr if unset
  const char *record_path = nullptr;                // STANDIN_RECORD, nullptr = no recording
  RecordFormat record_format = RecordFormat::none;  // from the recording's extension
  int record_width = kDefaultRecordWidth;           // STANDIN_RECORD_SIZE, pixels
  int record_height = kDefaultRecordHeight;
  double camera_azimuth = kDefaultCameraAzimuth;  // STANDIN_CAMERA_AZIMUTH, degrees, ±360
  Push pushes[kMaxPushes] = {};                   // STANDIN_PUSH, the first push_count in use
  int push_count = 0;
  bool overlay_balance =
      false;  // STANDIN_OVERLAY has balance: recordings and the window start with it
  bool overlay_joints = false;  // STANDIN_OVERLAY has joints
  Imperfections imperfect;      // the imperfect robot's settings
};

// The velocity a program commands (standin_show_velocity), in the robot's
// frame: m/s forward, m/s to its left, rad/s to its left; all 0 until one
// is given. Set and read on the control thread.
struct ShownVelocity {
  double vx = 0.0;
  double vy = 0.0;
  double vturn = 0.0;
};
const ShownVelocity &shown_velocity();

// Ends the run now as the stop time does (a stop line, everything written
// out, status 0), from the control thread: a lost display, say.
[[noreturn]] void stop_now();

// Fills `config` from the STANDIN_* variables, reporting every bad setting.
void read_config(Config &config);
// Fills config.imperfect from its variables, reporting every bad setting.
void read_imperfections(Config &config);
// Says in one line which of the imperfect robot's settings a world takes,
// in the environment's own words; nothing when none is in effect.
void tell_imperfections(const Imperfections &in_effect);

// Waits until every other thread of the program is blocked (waiting for
// input, a lock, a sleep): each step starts so, at any pace (settle.cpp).
void settle_threads();

// Writes "standin: <message>\n" to stderr in one write(2). printf-style;
// the formatted message is cut at 2000 bytes.
[[gnu::format(printf, 1, 2)]] void report(const char *format, ...);

// Names and values in messages are quoted by the one helper of quoted.h.
using ::escape;
using ::Quoted;

// Opens an output for writing (flags added: O_TRUNC, say) without waiting
// for a FIFO's reader; -1 and errno on failure, told by open_error(errno).
int open_output(const char *path, int flags);
const char *open_error(int error);

// An append-only text buffer written to a file descriptor with write(2).
struct Sink {
  int fd = -1;            // -1 = off
  std::size_t used = 0;   // bytes waiting in `text`
  const char *what = "";  // name for problem reports
  char text[1 << 16] = {};
};
// Longest line a sink is asked to take in one piece.
inline constexpr std::size_t kMaxLine = 1024;

// Creates (or truncates) `path` for the sink; reports and leaves it off on
// failure.
void sink_open(Sink &sink, const char *path, const char *what);
// Writes the waiting bytes out. A failing write is reported and switches
// the sink off.
void sink_flush(Sink &sink);
// Room for one line of up to kMaxLine bytes, flushing first if needed.
inline char *sink_reserve(Sink &sink) {
  if (sizeof sink.text - sink.used < kMaxLine) sink_flush(sink);
  return sink.text + sink.used;
}

}  // namespace standin

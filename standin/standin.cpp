// The stand-in simulator: the controller library, with the simulated robot
// running inside the controller process. This is the library's surface:
// the calls, the trace and posture log, pacing, the stop, and the reports
// of misuse and falls. The robot itself is a world behind it (world.h).
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <string_view>

#include "body_model.h"
#include "robot_sensors.h"
#include "sensors.h"
#include "standin_calls.h"
#include "standin_internal.h"
#include "world.h"

namespace {

using standin::Config;
using standin::Kind;
using standin::kLastId;
using standin::kServoCount;
using standin::report;
using standin::Sink;

// The library's calls under their trace names; kStop is the trace's last line.
enum Call {
  kLive,
  kStep,
  kGetDevice,
  kEnablePosition,
  kGetPosition,
  kSetPosition,
  kTouchEnable,
  kGpsEnable,
  kTouchValue,
  kGpsValues,
  kInertialEnable,
  kInertialValues,
  kGyroEnable,
  kGyroValues,
  kAccelerometerEnable,
  kAccelerometerValues,
  kShowVelocity,
  kAtStop,
  kStop,
  kCallCount
};

constexpr const char *kCallNames[kCallCount] = {"robot_live",
                                                "robot_step",
                                                "robot_get_device",
                                                "servo_enable_position",
                                                "servo_get_position",
                                                "servo_set_position",
                                                "touch_sensor_enable",
                                                "gps_enable",
                                                "touch_sensor_get_value",
                                                "gps_get_values",
                                                "inertial_unit_enable",
                                                "inertial_unit_get_roll_pitch_yaw",
                                                "gyro_enable",
                                                "gyro_get_values",
                                                "accelerometer_enable",
                                                "accelerometer_get_values",
                                                "standin_show_velocity",
                                                "standin_at_stop",
                                                "stop"};

// Longest device name looked up; longer names match no device.
constexpr std::size_t kMaxName = 128;

struct Servo {
  bool enabled;               // position read-back enabled
  std::int64_t enabled_step;  // steps completed when read-back was enabled
};

// The fall rule: the pelvis tilted this far from the vertical, rad, or the
// GPS below this share of its standing height.
constexpr double kFallTilt = 1.0;
constexpr double kFallHeight = 0.5;

constinit std::once_flag g_config_once;                      // configuration read once
constinit std::atomic<bool> g_configured{false};             // g_config is in place
constinit Config g_config;                                   // platform settings
constinit std::atomic<pthread_t> g_owner{0};                 // first caller of robot_live
constinit std::atomic<bool> g_early_reported[kCallCount];    // call before robot_live told
constinit std::atomic<bool> g_foreign_reported[kCallCount];  // second-thread call told
constinit Servo g_servos[kServoCount] = {};                  // read-back state by JointIndex
constinit standin::World *g_world = nullptr;                 // the robot, once configured
constinit bool g_fall_reported = false;                      // the fall told
constinit std::int64_t g_steps = 0;                          // robot_step calls completed
constinit std::int64_t g_time_ms = 0;                        // simulated time, ms
constinit bool g_in_callback = false;                        // robot_live's callback running
constinit bool g_misuse_reported[kCallCount][256];           // bad identifier told, by call, id
constinit bool g_sample_reported[256];                       // NaN read told, by id
constinit bool g_angle_reported[256];                        // non-finite command told, by id
constinit bool g_period_reported = false;                    // robot_step(ms <= 0) told
constinit bool g_null_name_reported = false;                 // robot_get_device(nullptr) told
constinit bool g_live_misuse_reported = false;               // robot_live misuse told
constinit bool g_trace_on = false;                           // STANDIN_TRACE opened
constinit bool g_log_on = false;                             // STANDIN_POSTURE_LOG opened
constinit std::mutex g_sink_lock;                            // sinks vs. exit on another thread
constinit Sink g_trace;                                      // trace lines not yet written
constinit Sink g_posture_log;                                // posture log lines not yet written
constinit bool g_pacing_started = false;                     // g_deadline_ns is set
constinit std::int64_t g_deadline_ns = 0;                    // CLOCK_MONOTONIC end of last step
constinit std::atomic<bool> g_stop_requested{false};  // a stop signal seen: stop at next step
constinit standin::ShownVelocity g_shown_velocity;    // standin_show_velocity's
using LastWords = void (*)(void);
constinit LastWords g_last_words = nullptr;  // standin_at_stop's
constinit bool g_shown_reported = false;     // a non-finite velocity told

char *put(char *out, std::string_view text) {
  std::memcpy(out, text.data(), text.size());
  return out + text.size();
}

char *put_int(char *out, std::int64_t value) {
  return std::to_chars(out, out + 24, value).ptr;
}

// Shortest text that reads back to the same float.
char *put_angle(char *out, float value) {
  return std::to_chars(out, out + 32, value).ptr;
}

// Shortest text that reads back to the same double.
char *put_double(char *out, double value) {
  return std::to_chars(out, out + 32, value).ptr;
}

// Trace name of identifier `id`: "none" for 0, the device name for a device
// the robot has, "#<id>" otherwise. `out` has room for 32 bytes.
std::string_view device_text(int id, char *out) {
  if (id == 0) return "none";
  if (id <= kLastId && g_config.present[id]) return standin::device_name(id);
  *out = '#';
  return std::string_view(out, put_int(out + 1, id) - out);
}

void flush_sinks() {
  std::lock_guard lock(g_sink_lock);
  standin::sink_flush(g_trace);
  standin::sink_flush(g_posture_log);
}

// Last words when the process exits through exit(): write out what waits,
// then close, so a control loop still running on another thread adds no more.
void flush_at_exit() {
  std::lock_guard lock(g_sink_lock);
  for (Sink *sink : {&g_trace, &g_posture_log}) {
    standin::sink_flush(*sink);
    if (sink->fd >= 0) close(sink->fd);
    sink->fd = -1;
  }
}

void trace(Call call, std::string_view device, std::string_view value) {
  std::lock_guard lock(g_sink_lock);
  if (g_trace.fd < 0) return;
  char *start = standin::sink_reserve(g_trace);
  char *p = put_int(start, g_steps);
  *p++ = '\t';
  p = put_int(p, g_time_ms);
  *p++ = '\t';
  p = put(p, kCallNames[call]);
  *p++ = '\t';
  p = put(p, device);
  *p++ = '\t';
  p = put(p, value);
  *p++ = '\n';
  g_trace.used += static_cast<std::size_t>(p - start);
}

void trace_int(Call call, int id, std::int64_t value) {
  char device[32];
  char text[24];
  trace(call, device_text(id, device), std::string_view(text, put_int(text, value) - text));
}

void trace_angle(Call call, int id, float value) {
  char device[32];
  char text[32];
  trace(call, device_text(id, device), std::string_view(text, put_angle(text, value) - text));
}

// A sensor's values, separated by commas.
void trace_values(Call call, std::string_view device, const double *values, int count) {
  char text[standin::kMaxSensorValues * 33];
  char *p = text;
  for (int k = 0; k < count; ++k) {
    if (k > 0) *p++ = ',';
    p = put_double(p, values[k]);
  }
  trace(call, device, std::string_view(text, p - text));
}

void trace_values(Call call, int id, const double *values, int count) {
  char device[32];
  trace_values(call, device_text(id, device), values, count);
}

void log_posture() {
  std::lock_guard lock(g_sink_lock);
  if (g_posture_log.fd < 0) return;
  char *start = standin::sink_reserve(g_posture_log);
  char *p = put_int(start, g_time_ms);
  for (int i = 0; i < kServoCount; ++i) {
    *p++ = ',';
    p = put_angle(p, narrow_angle(g_world->position(i)));
  }
  standin::Readings seen = g_world->readings();
  for (double value :
       {seen.gps[0], seen.gps[1], seen.gps[2], seen.tilt, seen.touch[0], seen.touch[1], seen.yaw,
        seen.com[0], seen.com[1], seen.cop[0], seen.cop[1]}) {
    *p++ = ',';
    p = put_angle(p, narrow_angle(value));
  }
  *p++ = '\n';
  g_posture_log.used += static_cast<std::size_t>(p - start);
}

// The robot's sensors after each step, as the posture log's last columns.
constexpr std::string_view kReadingColumns =
    ",gps_x,gps_y,gps_z,tilt,left_touch,right_touch,yaw,com_x,com_y,cop_x,cop_y";

void configure() {
  standin::read_config(g_config);
  for (Servo &servo : g_servos) servo = {false, 0};
  g_world = g_config.physics ? &standin::physics_world() : &standin::kinematic_world();
  if (!g_world->start(g_config)) {
    // The program does not start on a half-built world.
    std::fflush(stdout);
    _exit(1);
  }
  standin::set_sensor_noise(g_config.imperfect.noise, g_config.imperfect.noise_seed);
  // A model may lack a device: then it is missing, as if left out.
  for (int id = 1; id <= kLastId; ++id) {
    if (!g_world->has(id)) g_config.present[id] = false;
  }
  if (g_config.trace_path != nullptr) {
    standin::sink_open(g_trace, g_config.trace_path, "STANDIN_TRACE");
    g_trace_on = g_trace.fd >= 0;
  }
  if (g_config.posture_log_path != nullptr) {
    standin::sink_open(g_posture_log, g_config.posture_log_path, "STANDIN_POSTURE_LOG");
    g_log_on = g_posture_log.fd >= 0;
  }
  if (g_log_on) {
    char *start = standin::sink_reserve(g_posture_log);
    char *p = put(start, "time_ms");
    for (const JointInfo &info : kJoints) {
      *p++ = ',';
      p = put(p, info.name);
    }
    p = put(p, kReadingColumns);
    *p++ = '\n';
    g_posture_log.used += static_cast<std::size_t>(p - start);
  }
  if (g_trace_on || g_log_on) std::atexit(flush_at_exit);
  g_configured.store(true, std::memory_order_release);
}

void ensure_configured() {
  if (!g_configured.load(std::memory_order_acquire)) std::call_once(g_config_once, configure);
}

// Reads the configuration on the first call, then tells whether the
// calling thread drives the robot. Calls before robot_live and calls from
// any other thread are reported once per call name and do nothing.
bool admit(Call call) {
  ensure_configured();
  pthread_t owner = g_owner.load(std::memory_order_acquire);
  if (owner != 0 && pthread_equal(owner, pthread_self())) return true;
  if (owner == 0) {
    if (!g_early_reported[call].exchange(true)) {
      report("controller library called before robot_live (%s)", kCallNames[call]);
    }
  } else if (!g_foreign_reported[call].exchange(true)) {
    report("controller library called from a second thread (%s)", kCallNames[call]);
  }
  return false;
}

// True when `id` names a device of kind `want` that the robot has.
// Identifier 0 is quietly refused; any other mismatch is reported once per
// call and identifier.
bool usable(Call call, int id, Kind want) {
  if (id == 0) return false;
  bool known = id <= kLastId && g_config.present[id];
  if (known && standin::device_kind(id) == want) return true;
  if (!g_misuse_reported[call][id]) {
    g_misuse_reported[call][id] = true;
    if (!known) {
      report("%s(#%d): the robot has no device with identifier %d; ignored", kCallNames[call], id,
             id);
    } else {
      const char *name = standin::device_name(id);
      const char *kind = want == Kind::servo           ? "a servo"
                         : want == Kind::touch         ? "a touch sensor"
                         : want == Kind::gps           ? "a GPS"
                         : want == Kind::inertial_unit ? "an inertial unit"
                         : want == Kind::gyro          ? "a gyro"
                                                       : "an accelerometer";
      report("%s(%s): %s is not %s; ignored", kCallNames[call], name, name, kind);
    }
  }
  return false;
}

// A recorded or viewed run ends cleanly on SIGTERM, SIGINT (Ctrl-C) or
// SIGHUP (the terminal gone): the next robot_step stops as at the stop
// time, so the trace and log end on a whole step. A second signal ends the
// process at once, for a program that no longer steps. The handler only
// stores a lock-free flag: async-signal-safe.
void request_stop(int) {
  g_stop_requested.store(true, std::memory_order_relaxed);
}

[[gnu::constructor]] void handle_stop_signal() {
  // A view or a recording has its own last words to write, as a trace has.
  bool recording = false;
  for (const char *variable :
       {"STANDIN_TRACE", "STANDIN_POSTURE_LOG", "STANDIN_VIEW", "STANDIN_RECORD"}) {
    const char *value = std::getenv(variable);
    recording = recording || (value != nullptr && *value != '\0');
  }
  if (!recording) return;
  struct sigaction action {};
  action.sa_handler = request_stop;
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    // A signal the program was started ignoring (nohup, a background job)
    // stays ignored.
    struct sigaction before {};
    if (sigaction(signal, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
    sigaction(signal, &action, nullptr);
  }
}

// Ends the process as the simulator does at its stop time, after the
// program's last words (standin_at_stop), which come first: a terminal to
// restore should not wait for a recording to be finished.
[[noreturn]] void stop() {
  if (LastWords last_words = g_last_words) {
    g_last_words = nullptr;
    last_words();
  }
  if (g_trace_on) trace(kStop, "-", "0");
  g_world->finish();
  flush_sinks();
  std::fflush(stdout);
  _exit(0);
}

// Tells once, with the simulated time, when the robot has fallen: a world
// that models no pelvis gives NaN, which never counts as a fall. The
// height counts from the floor under the pelvis, which a slope moves.
void watch_for_fall() {
  if (g_fall_reported) return;
  standin::Readings seen = g_world->readings();
  double standing = g_world->standing_height();
  if (seen.tilt > kFallTilt || seen.gps[2] - seen.ground < kFallHeight * standing) {
    g_fall_reported = true;
    report("the robot fell at %lld ms", static_cast<long long>(g_time_ms));
  }
}

std::int64_t monotonic_ns() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Holds the caller until `ms` of simulated time have also passed on the
// wall clock (scaled by the pace). Deadlines are absolute, so the time
// spent in the controller counts; a late step starts the next one from
// now rather than rushing to catch up.
void pace(int ms) {
  std::int64_t now = monotonic_ns();
  if (!g_pacing_started) {
    g_deadline_ns = now;
    g_pacing_started = true;
  }
  // ms <= INT_MAX and pace >= 0.001 keep one step below 2.2e18 ns; the
  // sum saturates rather than overflow.
  auto length = static_cast<std::int64_t>(ms * 1e6 / g_config.pace);
  constexpr std::int64_t kLatest = std::numeric_limits<std::int64_t>::max();
  g_deadline_ns = g_deadline_ns > kLatest - length ? kLatest : g_deadline_ns + length;
  if (g_deadline_ns <= now) {
    g_deadline_ns = now;
    return;
  }
  timespec until;
  until.tv_sec = static_cast<time_t>(g_deadline_ns / 1000000000);
  until.tv_nsec = static_cast<long>(g_deadline_ns % 1000000000);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}

// What every read of a device that is not there, or not a sensor of its
// kind, gives: NaN for each value.
constexpr double kNoValues[standin::kMaxSensorValues] = {std::numeric_limits<double>::quiet_NaN(),
                                                         std::numeric_limits<double>::quiet_NaN(),
                                                         std::numeric_limits<double>::quiet_NaN()};

// A sensor's enable: a period of 0 or less switches it off again, as for
// position read-back.
void enable_sensor(Call call, DeviceId id, int ms, Kind kind) {
  if (!admit(call)) return;
  if (g_trace_on) trace_int(call, id, ms);
  if (usable(call, id, kind)) standin::sensor_enable(id, ms, g_time_ms);
}

// A sensor's last sample. Reading a device that was not found (identifier
// 0), one of another kind or none, or a sensor never enabled, is a
// mistake: told once (per call, or per sensor) and NaN. Before the first
// sample an enabled sensor gives NaN quietly, as a sampled sensor does.
const double *read_sensor(Call call, DeviceId id, Kind kind) {
  if (!admit(call)) return kNoValues;
  const double *values = kNoValues;
  if (id == 0) {
    if (!g_misuse_reported[call][0]) {
      g_misuse_reported[call][0] = true;
      report("%s(none): no device (identifier 0); returning NaN", kCallNames[call]);
    }
  } else if (usable(call, id, kind)) {
    values = standin::sensor_values(id);
    if (!standin::sensor_enabled(id) && !g_sample_reported[id]) {
      g_sample_reported[id] = true;
      report("%s(%s): the sensor is not enabled; returning NaN", kCallNames[call],
             standin::device_name(id));
    }
  }
  if (g_trace_on) trace_values(call, id, values, standin::sensor_value_count(kind));
  return values;
}

}  // namespace

namespace standin {

void stop_now() {
  stop();
}

const ShownVelocity &shown_velocity() {
  return g_shown_velocity;
}

}  // namespace standin

#pragma GCC visibility push(default)

void robot_live(void (*callback)(void)) {
  ensure_configured();
  pthread_t none = 0;
  g_owner.compare_exchange_strong(none, pthread_self(), std::memory_order_acq_rel);
  if (!admit(kLive)) return;
  if (g_trace_on) trace(kLive, "-", "-");
  if (callback == nullptr || g_in_callback) {
    if (!g_live_misuse_reported) {
      g_live_misuse_reported = true;
      report(callback == nullptr ? "robot_live called without a callback; ignored"
                                 : "robot_live called from inside its own callback; ignored");
    }
    return;
  }
  g_in_callback = true;
  callback();
  g_in_callback = false;
}

int robot_step(int ms) {
  if (!admit(kStep)) return 0;
  if (g_trace_on) {
    char value[24];
    trace(kStep, "-", std::string_view(value, put_int(value, ms) - value));
  }
  if (g_config.stop_ms >= 0 && g_time_ms >= g_config.stop_ms) stop();
  if (g_stop_requested.load(std::memory_order_relaxed)) stop();
  // What the program's other threads started before this step is in place
  // when its time passes, as at real time.
  standin::settle_threads();
  if (ms > 0) {
    g_world->advance(ms);
    g_time_ms = g_time_ms > std::numeric_limits<std::int64_t>::max() - ms
                    ? std::numeric_limits<std::int64_t>::max()
                    : g_time_ms + ms;
    watch_for_fall();
  } else if (!g_period_reported) {
    g_period_reported = true;
    report("robot_step(%d): the period must be positive; simulated time not advanced", ms);
  }
  ++g_steps;
  standin::sample_sensors(g_time_ms, *g_world);
  if (g_log_on) log_posture();
  if (g_trace_on || g_log_on) flush_sinks();
  if (g_config.pace > 0.0 && ms > 0) pace(ms);
  if (g_world->wants_stop()) stop();
  return 0;
}

DeviceId robot_get_device(const char *name) {
  if (!admit(kGetDevice)) return 0;
  if (name == nullptr) {
    if (!g_null_name_reported) {
      g_null_name_reported = true;
      report("robot_get_device called without a name; returning 0");
    }
    if (g_trace_on) trace(kGetDevice, "(null)", "0");
    return 0;
  }
  std::string_view text(name, strnlen(name, kMaxName + 1));
  int id = text.size() <= kMaxName ? standin::device_id(text) : 0;
  if (id != 0 && !g_config.present[id]) id = 0;
  if (g_trace_on) {
    char escaped[kMaxName * 4 + 4];
    char value[24];
    trace(kGetDevice, std::string_view(escaped, standin::escape(text, kMaxName, escaped)),
          std::string_view(value, put_int(value, id) - value));
  }
  return static_cast<DeviceId>(id);
}

void servo_enable_position(DeviceId servo, int ms) {
  if (!admit(kEnablePosition)) return;
  if (g_trace_on) trace_int(kEnablePosition, servo, ms);
  if (!usable(kEnablePosition, servo, Kind::servo)) return;
  // A period of 0 or less switches read-back off, as a sampling period
  // does on the real platform.
  Servo &state = g_servos[servo - 1];
  if (ms <= 0) {
    state.enabled = false;
  } else if (!state.enabled) {
    state.enabled = true;
    state.enabled_step = g_steps;
  }
}

float servo_get_position(DeviceId servo) {
  if (!admit(kGetPosition)) return std::numeric_limits<float>::quiet_NaN();
  float angle = std::numeric_limits<float>::quiet_NaN();
  if (servo == 0) {
    angle = 0.0f;
  } else if (usable(kGetPosition, servo, Kind::servo)) {
    const Servo &state = g_servos[servo - 1];
    if (state.enabled && g_steps > state.enabled_step) {
      angle = narrow_angle(g_world->read_back(servo - 1));
    } else if (!g_sample_reported[servo]) {
      // A faithful platform has no sample before the first step after enabling.
      g_sample_reported[servo] = true;
      report(state.enabled
                 ? "servo_get_position(%s): no sample yet, no robot_step since "
                   "servo_enable_position; returning NaN"
                 : "servo_get_position(%s): position read-back not enabled; returning NaN",
             standin::device_name(servo));
    }
  }
  if (g_trace_on) trace_angle(kGetPosition, servo, angle);
  return angle;
}

void servo_set_position(DeviceId servo, float angle) {
  if (!admit(kSetPosition)) return;
  if (g_trace_on) trace_angle(kSetPosition, servo, angle);
  if (!usable(kSetPosition, servo, Kind::servo)) return;
  if (!std::isfinite(angle)) {
    if (!g_angle_reported[servo]) {
      g_angle_reported[servo] = true;
      report("servo_set_position(%s): the angle is not a finite number; ignored",
             standin::device_name(servo));
    }
    return;
  }
  g_world->command(servo - 1, angle);
}

void touch_sensor_enable(DeviceId sensor, int ms) {
  enable_sensor(kTouchEnable, sensor, ms, Kind::touch);
}

void gps_enable(DeviceId gps, int ms) {
  enable_sensor(kGpsEnable, gps, ms, Kind::gps);
}

double touch_sensor_get_value(DeviceId sensor) {
  return *read_sensor(kTouchValue, sensor, Kind::touch);
}

const double *gps_get_values(DeviceId gps) {
  return read_sensor(kGpsValues, gps, Kind::gps);
}

void inertial_unit_enable(DeviceId unit, int ms) {
  enable_sensor(kInertialEnable, unit, ms, Kind::inertial_unit);
}

const double *inertial_unit_get_roll_pitch_yaw(DeviceId unit) {
  return read_sensor(kInertialValues, unit, Kind::inertial_unit);
}

void gyro_enable(DeviceId gyro, int ms) {
  enable_sensor(kGyroEnable, gyro, ms, Kind::gyro);
}

const double *gyro_get_values(DeviceId gyro) {
  return read_sensor(kGyroValues, gyro, Kind::gyro);
}

void accelerometer_enable(DeviceId acc, int ms) {
  enable_sensor(kAccelerometerEnable, acc, ms, Kind::accelerometer);
}

const double *accelerometer_get_values(DeviceId acc) {
  return read_sensor(kAccelerometerValues, acc, Kind::accelerometer);
}

void standin_show_velocity(double vx, double vy, double vturn) {
  if (!admit(kShowVelocity)) return;
  const double values[3] = {vx, vy, vturn};
  if (g_trace_on) trace_values(kShowVelocity, "-", values, 3);
  if (!std::isfinite(vx) || !std::isfinite(vy) || !std::isfinite(vturn)) {
    if (!g_shown_reported) {
      g_shown_reported = true;
      report("standin_show_velocity: the velocity is not finite; ignored");
    }
    return;
  }
  g_shown_velocity = {vx, vy, vturn};
}

void standin_at_stop(void (*last_words)(void)) {
  if (!admit(kAtStop)) return;
  if (g_trace_on) trace(kAtStop, "-", last_words != nullptr ? "set" : "none");
  g_last_words = last_words;
}

#pragma GCC visibility pop

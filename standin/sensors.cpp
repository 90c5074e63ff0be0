// Sampling of the sensors a controller reads. The world says what the
// robot is doing; a sensor takes its value from that once per period.
#include "sensors.h"

#include <array>
#include <cmath>
#include <limits>
#include <numbers>

#include "seeded.h"

namespace standin {

namespace {

constexpr double kNone = std::numeric_limits<double>::quiet_NaN();
constexpr std::int64_t kLatest = std::numeric_limits<std::int64_t>::max();

struct Sampled {
  std::int64_t period_ms;          // sampling period; 0 = off
  std::int64_t due_ms;             // simulated time of the next sample
  double value[kMaxSensorValues];  // the last sample; NaN before the first
};

// By identifier; only the sensors with values are ever switched on.
constinit std::array<Sampled, kLastId + 1> g_sampled = [] {
  std::array<Sampled, kLastId + 1> all{};
  for (Sampled &s : all) s = {0, 0, {kNone, kNone, kNone}};
  return all;
}();

// The inertial sensors' noise: its standard deviation (0 = none), its
// seed, and the samples each sensor has taken.
constinit double g_noise_sd = 0.0;
constinit std::uint64_t g_noise_seed = 0;
constinit std::array<std::uint64_t, kLastId + 1> g_noise_samples{};

// A standard normal number for value `k` of sensor `id`'s sample `n`, by
// Box and Muller from two uniform numbers: the same in every run.
double normal(int id, std::uint64_t n, int k) {
  std::uint64_t key = mix(g_noise_seed ^ mix((n << 8) | (static_cast<std::uint64_t>(id) << 2) |
                                             static_cast<std::uint64_t>(k)));
  double radius = std::sqrt(-2.0 * std::log(uniform(mix(key))));
  return radius * std::cos(2.0 * std::numbers::pi * uniform(mix(key + 1)));
}

// Adds the noise to an inertial sensor's three values.
void add_noise(int id, double *value) {
  std::uint64_t n = g_noise_samples[id]++;
  for (int k = 0; k < 3; ++k) value[k] += g_noise_sd * normal(id, n, k);
  // A heading stays within [-pi, pi].
  if (id == kInertialUnitId) value[2] = std::remainder(value[2], 2.0 * std::numbers::pi);
}

std::int64_t later(std::int64_t time_ms, std::int64_t by_ms) {
  return time_ms > kLatest - by_ms ? kLatest : time_ms + by_ms;
}

void copy(const double *from, int count, double *to) {
  for (int k = 0; k < count; ++k) to[k] = from[k];
}

// What sensor `id` reads of what the world sees. Every sample is made
// here, so a sensor's imperfections (noise, say) belong here too.
void measure(int id, const Readings &seen, double *value) {
  switch (device_kind(id)) {
    case Kind::touch:
      value[0] = seen.touch[id == kLeftTouchId ? 0 : 1];
      break;
    case Kind::gps:
      copy(seen.gps, 3, value);
      break;
    case Kind::inertial_unit:
      copy(seen.roll_pitch_yaw, 3, value);
      break;
    case Kind::gyro:
      copy(seen.gyro, 3, value);
      break;
    case Kind::accelerometer:
      copy(seen.acceleration, 3, value);
      break;
    default:
      return;
  }
  bool inertial = id == kInertialUnitId || id == kGyroId || id == kAccelerometerId;
  if (inertial && g_noise_sd > 0.0) add_noise(id, value);
}

}  // namespace

int sensor_value_count(Kind kind) {
  switch (kind) {
    case Kind::touch:
      return 1;
    case Kind::gps:
    case Kind::inertial_unit:
    case Kind::gyro:
    case Kind::accelerometer:
      return 3;
    default:
      return 0;
  }
}

void sensor_enable(int id, int ms, std::int64_t now_ms) {
  Sampled &sensor = g_sampled[id];
  if (ms <= 0) {
    sensor = {0, 0, {kNone, kNone, kNone}};
  } else if (sensor.period_ms != ms) {
    sensor.period_ms = ms;
    sensor.due_ms = later(now_ms, ms);
  }
}

bool sensor_enabled(int id) {
  return g_sampled[id].period_ms > 0;
}

void sample_sensors(std::int64_t now_ms, const World &world) {
  Readings seen;
  bool looked = false;
  for (int id = kServoCount + 1; id <= kLastId; ++id) {
    Sampled &sensor = g_sampled[id];
    if (sensor.period_ms == 0 || now_ms < sensor.due_ms) continue;
    // One look at the world for all the samples of this step.
    if (!looked) seen = world.readings();
    looked = true;
    measure(id, seen, sensor.value);
    // The next sample keeps to the same beat: the first one after now.
    std::int64_t late = (now_ms - sensor.due_ms) % sensor.period_ms;
    sensor.due_ms = later(now_ms - late, sensor.period_ms);
  }
}

void set_sensor_noise(double sd, std::uint64_t seed) {
  g_noise_sd = sd;
  g_noise_seed = seed;
}

const double *sensor_values(int id) {
  return g_sampled[id].value;
}

}  // namespace standin

// The sensors a controller reads: the soles' touch sensors, the GPS, and
// the torso's inertial unit, gyro and accelerometer. Each one enabled
// takes a sample of what the world sees once per sampling period, at the
// end of the robot_step that reaches the sample's time; between samples
// it gives the last one, and NaN before its first. Control thread only.
#pragma once

#include <cstdint>

#include "standin_internal.h"
#include "world.h"

namespace standin {

// Most values one sensor gives: x, y and z.
inline constexpr int kMaxSensorValues = 3;

// Number of values a sensor of `kind` gives: 1 for a touch sensor, 3 for
// the GPS, the inertial unit, the gyro and the accelerometer; 0 for a
// device that is read some other way, or not at all.
int sensor_value_count(Kind kind);

// Switches sensor `id` (a kind with values) on with a sampling period of
// `ms` > 0 from simulated time `now_ms`, or off for `ms` <= 0, which
// forgets its sample. The same period again changes nothing; another one
// keeps the last sample and counts its next from now.
void sensor_enable(int id, int ms, std::int64_t now_ms);
// Whether sensor `id` is switched on.
bool sensor_enabled(int id);
// Takes the samples due at `now_ms`, the simulated time after a step,
// from what `world` sees then.
void sample_sensors(std::int64_t now_ms, const World &world);
// Noise of standard deviation `sd` (0 = none) on every value of the
// inertial unit (rad), the gyro (rad/s) and the accelerometer (m/s^2),
// drawn from `seed`: each sensor's k-th sample has the same noise in
// every run, whatever the other sensors do. Set before the first sample.
void set_sensor_noise(double sd, std::uint64_t seed);
// Sensor `id`'s last sample: sensor_value_count values, NaN before the
// first. The storage lives as long as the process, its values change only
// when a sample is taken.
const double *sensor_values(int id);

}  // namespace standin

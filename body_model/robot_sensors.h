// Reading the robot's sensors: the controller library's calls beyond
// those of body_model.h, for controllers that close their loop on what a
// real robot measures (the soles' forces, the inertial unit, the gyro and
// the accelerometer). The GPS is here for tests and tools; a real robot
// has none, and a controller never reads it.
//
// Each sensor gives values once enabled with a sampling period: a sample
// every period of simulated time, taken at the end of the robot_step that
// reaches it; the last sample between. Before the first sample, and for a
// sensor never enabled, every value is NaN; so is a read of identifier 0
// (a device not found) or of a device that is not a sensor of that kind.
// The arrays have three values and stay valid for the whole run.
//
// Axes are the robot's: x forward, y to its left, z up; angles by the
// right-hand rule, so roll > 0 leans to the right, pitch > 0 leans forward
// and yaw > 0 has turned to the left (the stand-in counts yaw from where
// the robot faced at the start). The accelerometer gives acceleration less
// gravity: about +9.81 along z standing still. The inertial unit, gyro and
// accelerometer sit in the torso, named "inertial unit", "gyro" and
// "accelerometer".
#pragma once

#include "body_model.h"  // DeviceId

extern "C" {
double touch_sensor_get_value(DeviceId sensor); /* normal force on the sole, N */
const double *gps_get_values(DeviceId gps);     /* x, y, z, m */
void inertial_unit_enable(DeviceId unit, int ms);
const double *inertial_unit_get_roll_pitch_yaw(DeviceId unit); /* rad */
void gyro_enable(DeviceId gyro, int ms);
const double *gyro_get_values(DeviceId gyro); /* rad/s about x, y, z */
void accelerometer_enable(DeviceId acc, int ms);
const double *accelerometer_get_values(DeviceId acc); /* m/s^2 along x, y, z */
}

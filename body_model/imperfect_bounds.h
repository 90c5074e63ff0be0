// The imperfect robot's settings (STANDIN_SERVO_*, STANDIN_MASS_SCALE,
// STANDIN_COM_SHIFT, STANDIN_FLOOR_*, STANDIN_SENSOR_NOISE): the bounds
// the stand-in accepts, which the tools that pass them hold values to.
// Each setting is off at its default, and a value equal to the default is
// the same as none.
#pragma once

namespace imperfect {

inline constexpr int kMaxLatencyMs = 1000;   // ms; bounds the commands in flight
inline constexpr double kMaxPlay = 0.2;      // rad, backlash and deadband
inline constexpr double kMaxOffset = 0.5;    // rad
inline constexpr double kMinStrength = 0.1;  // of the servo's torque and speed
inline constexpr double kMaxStrength = 2.0;
inline constexpr double kMinMassScale = 0.5;
inline constexpr double kMaxMassScale = 2.0;
inline constexpr double kMaxComShift = 50.0;  // mm, each way
inline constexpr double kMinFriction = 0.01;
inline constexpr double kMaxFriction = 5.0;
inline constexpr double kMaxSlope = 30.0;  // degrees, about each axis
inline constexpr double kMaxBumps = 30.0;  // mm
inline constexpr double kMaxNoise = 1.0;   // rad, rad/s or m/s^2

}  // namespace imperfect

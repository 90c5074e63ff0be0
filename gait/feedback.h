// The gait engine's feedback gains: one row per layer's term, with its
// unit. They are the controller's, not the robot's: the robot's facts
// (heights, reach, weight) come from the model. Measured effects are in
// docs/walker.md.
#pragma once

namespace gait {

struct FeedbackGains {
  // --- Estimation -------------------------------------------------------
  // Low-pass filter of the gyro's rates and the centre of mass's speed, Hz.
  double rate_filter = 12.0;
  // --- Posture: pelvis tilt commanded against the tilt measured ---------
  double tilt_angle = 0.3;  // rad of pelvis per rad of torso tilt
  // rad of pelvis per rad/s of tilt rate (filtered). Small: a servo
  // answers its command late (17 to 50 ms on a serial bus), and the rate's
  // term then pushes with the sway instead of against it. At 0.04 the
  // walker fell with 10 ms of latency; at 0.02 with 17 ms; at 0.01 it
  // walks with 50 ms. With none the robot rocks longer after a stop.
  double tilt_rate = 0.01;
  double tilt_most = 0.15;  // rad, the most it tilts the pelvis either way
  // --- Sway: the pelvis moved against the centre of mass's speed ---------
  // The robot sways on its servos' springs about as often as it strides
  // (0.57 s against 0.6 s); open, its centre of mass swayed 1.65 times the
  // plan's sideways, its pressure centre out to the soles' outer edges.
  // m of pelvis per m/s of the centre of mass's speed against the plan's,
  // as kLagSchedule's last row (late servos, a noisy inertial unit, a lag
  // not known yet). At 0.03 the pressure centre keeps 2 cm inside the
  // soles' edges.
  double com_rate = 0.03;
  double com_most = 0.015;  // m, the most it moves the pelvis either way
  // s over which the servos' lag is measured (gait/servo_lag.h).
  double lag_memory = 3.0;
  // rad: the inertial unit's angles, stepping from period to period against
  // the gyro's rates by less than this (RMS, over noise_memory s), read
  // quiet enough for kLagSchedule. The model's own unit: 0.0003 rad; with
  // 0.01 rad of noise on every reading, 0.014. The noise read as motion
  // drove the schedule's sway gain against the pelvis's limits.
  double quiet_angles = 0.003;
  double noise_memory = 1.0;
  // --- Timing: the soles' forces -----------------------------------------
  // Share of the robot's weight on the swing sole that counts as landed
  // early (a firm touch), and below which it has not landed at all.
  double early_share = 0.3;
  double landed_share = 0.05;
  // Share of the swing after which a landing felt ends the step early.
  double early_after = 0.75;
  // s a step's landing moves at most, held for a late one or brought
  // forward for an early one. 0 switches the layer off, as it is: at
  // 0.01 s to 0.06 s it lowered the pushes survived walking (the least
  // from the front 0.82 to 0.71 N·s) and held perfect-floor steps that
  // had landed, slowing the walk (0.15 m/s asked walked 0.12).
  double shift_most = 0.0;
  // --- Stepping: the capture point ---------------------------------------
  // m of footstep per m of capture point error (kLagSchedule works it
  // harder forward on prompt servos).
  double capture_gain = 1.0;
  double capture_deadband = 0.02;  // m of error absorbed by the plan as it is
  // Share of the swing after which its landing no longer moves.
  double capture_until = 0.6;
  // m of capture point error, standing, that starts catching steps where
  // the inertial unit reads noisy: beyond what the servos' stiffness rides
  // out standing. (With the sway's gain held at com_rate, sooner steps
  // lost side pushes the robot survives standing still: at 0.025 m it
  // survived 1.16 N·s from the side, against 1.50 without steps.)
  double catch_error = 0.08;
  // The same where the inertial unit reads quiet (quiet_angles). It took
  // the least push survived standing from 1.24 to 1.35 N·s from the front
  // and from 1.61 to 1.65 from the side. With 0.01 rad of noise on the
  // unit's angles the robot steps standing still at either.
  double catch_error_quiet = 0.04;
  // --- Heading ---------------------------------------------------------------
  double heading = 2.0;        // rad/s of turn per rad of heading error
  double heading_sum = 1.5;    // rad/s of turn per rad·s of heading error summed
  double heading_most = 0.15;  // rad/s, the most it adds to the turn
};

inline constexpr FeedbackGains kFeedback{};

// How hard the loop works by how late the servos answer: their lag as read
// back (gait/servo_lag.h), which counts the servo's own time to move, 13 ms
// for the model's servos answering at once. Between rows it is
// interpolated; beyond the last, and while the lag is not known or the
// inertial unit reads noisy, the last row's, which are kFeedback's own.
// Damping the sway harder, and stepping farther for a forward error and
// later into the swing, take more pushes, but a servo that answers late
// turns them against the robot: at a sway gain of 0.12 the walk on servos
// 17 ms late rocked 0.17 rad and slowed to 0.09 m/s, at 0.05 servos 50 ms
// late halved its speed; stepping 1.4 times the error forward until 0.8 of
// the swing on robots drawn as the robustness report draws them (servos 17
// to 50 ms late) kept 62 walks of 100 up where 1.0 until 0.6 kept 83.
struct LagRow {
  double lag;              // s, the servos' lag as read back
  double sway_forward;     // m of pelvis per m/s of the centre of mass's speed
  double sway_side;        // the same, sideways
  double capture_forward;  // m of footstep per m of capture point error, forward
  double until_forward;    // share of the swing a landing still moves forward
};
inline constexpr LagRow kLagSchedule[] = {
    // lag  sway forward, side  capture forward, until  servos late by about
    {0.018, 0.12, 0.15, 1.4, 0.8},  // 0 to 5 ms
    {0.024, 0.08, 0.08, 1.2, 0.7},  // 10 ms
    {0.033, 0.03, 0.03, 1.0, 0.6},  // 17 ms, a serial bus's, or later
};

static_assert(kFeedback.rate_filter > 0.0 && kFeedback.tilt_most >= 0.0);
static_assert(kFeedback.com_rate >= 0.0 && kFeedback.com_most >= 0.0);
static_assert(kFeedback.shift_most >= 0.0 && kFeedback.catch_error > 0.0);
static_assert(kFeedback.catch_error_quiet > 0.0 &&
              kFeedback.catch_error_quiet <= kFeedback.catch_error);
static_assert(kFeedback.landed_share > 0.0 && kFeedback.landed_share < kFeedback.early_share);
static_assert(kFeedback.early_after > 0.0 && kFeedback.early_after < 1.0);
static_assert(kFeedback.capture_until > 0.0 && kFeedback.capture_until <= 1.0);
static_assert(kFeedback.lag_memory > 0.0 && kFeedback.noise_memory > 0.0);
static_assert(kLagSchedule[0].lag > 0.0 && kLagSchedule[1].lag > kLagSchedule[0].lag &&
              kLagSchedule[2].lag > kLagSchedule[1].lag);
static_assert(kLagSchedule[0].until_forward <= 1.0);
// Late servos and noisy angles get the gains of the table above.
static_assert(kLagSchedule[2].sway_forward == kFeedback.com_rate &&
              kLagSchedule[2].sway_side == kFeedback.com_rate &&
              kLagSchedule[2].capture_forward == kFeedback.capture_gain &&
              kLagSchedule[2].until_forward == kFeedback.capture_until);
static_assert(kFeedback.heading_most >= 0.0);

}  // namespace gait

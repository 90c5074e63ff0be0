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
  // while how late the servos answer is not known yet (or nothing is read
  // back), and for servos as late as kSwaySchedule's last row or later. At
  // 0.03 the pressure centre keeps 2 cm inside the soles' edges.
  double com_rate = 0.03;
  double com_most = 0.015;  // m, the most it moves the pelvis either way
  // s over which the servos' lag is measured (gait/servo_lag.h).
  double lag_memory = 3.0;
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
  // m of footstep per m of capture point error, forward and sideways. The
  // error grows until the foot lands (by e^(ωt), 5-fold over a swing), and
  // the stance sole's own pressure centre takes a share of it: forward,
  // 1.4 took the least push survived from the front 0.98 to 1.12 N·s and
  // from the back 0.82 to 1.09 (with the sway below); sideways, more than
  // 1 lost side pushes.
  double capture_gain_forward = 1.4;
  double capture_gain_side = 1.0;
  double capture_deadband = 0.02;  // m of error absorbed by the plan as it is
  // Share of the swing after which its landing no longer moves, forward
  // and sideways. A late move sideways throws the swing foot across under
  // the robot; forward it still catches a push from behind.
  double capture_until_forward = 0.8;
  double capture_until_side = 0.6;
  // m of capture point error, standing, that starts catching steps:
  // beyond what the servos' stiffness rides out standing. Sooner, the
  // steps lost side pushes the robot survives standing still (at 0.025 m
  // it survived 1.16 N·s from the side, at 0.05 m 1.20 to 1.39, against
  // 1.50 without steps).
  double catch_error = 0.08;
  // --- Heading ---------------------------------------------------------------
  double heading = 2.0;        // rad/s of turn per rad of heading error
  double heading_sum = 1.5;    // rad/s of turn per rad·s of heading error summed
  double heading_most = 0.15;  // rad/s, the most it adds to the turn
};

inline constexpr FeedbackGains kFeedback{};

// The sway's gain by how late the servos answer: their lag as read back
// (gait/servo_lag.h), which counts the servo's own time to move, 13 ms for
// the model's servos answering at once. Between rows it is interpolated;
// beyond the last, the last row's. Damping the sway harder takes more
// pushes, but a servo that answers late turns the damping into a push with
// the sway: at 0.12 the walk on servos 17 ms late rocked 0.17 rad and
// slowed to 0.09 m/s, at 0.05 servos 50 ms late halved its speed.
struct SwayRow {
  double lag;      // s, the servos' lag as read back
  double forward;  // m of pelvis per m/s of the centre of mass's speed
  double side;     // the same, sideways
};
inline constexpr SwayRow kSwaySchedule[] = {
    // lag  forward side    servos answering late by about
    {0.018, 0.12, 0.15},  // 0 to 5 ms
    {0.024, 0.08, 0.08},  // 10 ms
    {0.033, 0.03, 0.03},  // 17 ms, a serial bus's
    {0.070, 0.03, 0.03},  // 50 ms
};

static_assert(kFeedback.rate_filter > 0.0 && kFeedback.tilt_most >= 0.0);
static_assert(kFeedback.com_rate >= 0.0 && kFeedback.com_most >= 0.0);
static_assert(kFeedback.shift_most >= 0.0 && kFeedback.catch_error > 0.0);
static_assert(kFeedback.landed_share > 0.0 && kFeedback.landed_share < kFeedback.early_share);
static_assert(kFeedback.early_after > 0.0 && kFeedback.early_after < 1.0);
static_assert(kFeedback.capture_until_forward > 0.0 && kFeedback.capture_until_forward <= 1.0);
static_assert(kFeedback.capture_until_side > 0.0 && kFeedback.capture_until_side <= 1.0);
static_assert(kFeedback.lag_memory > 0.0);
static_assert(kSwaySchedule[0].lag > 0.0);
static_assert(kSwaySchedule[3].lag > kSwaySchedule[2].lag &&
              kSwaySchedule[2].lag > kSwaySchedule[1].lag &&
              kSwaySchedule[1].lag > kSwaySchedule[0].lag);
static_assert(kSwaySchedule[3].forward == kFeedback.com_rate &&
              kSwaySchedule[3].side == kFeedback.com_rate);
static_assert(kFeedback.heading_most >= 0.0);

}  // namespace gait

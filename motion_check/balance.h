// motion_check --balance: the robot's balance over the postures
// motion_player commands, from the robot's model (the robot library).
//
// The servos follow each command at most at the servo speed, as the
// stand-in's do; the posture they reach is sampled every 10 ms and stood
// on a flat floor. Two measures are held against the support (the convex
// hull of the soles that carry weight): the centre of mass projected on
// the floor, and the centre of pressure from the whole body's momentum
// changing between samples.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "motion_check_lib.h"
#include "robot.h"

// A sole carries weight when its lowest corner is at most this far above
// the floor, m: the stance leg gives about 0.015 rad under the robot's
// weight (kp 40 N·m/rad), 1.5 mm at the sole, so a foot lifted less is
// pressed down onto the floor.
inline constexpr double kCarryGap = 0.002;
// Time between the samples of the servos' posture, s.
inline constexpr double kBalanceSample = 0.010;
// The servos' response: the posture reached is the mean of the last five
// setpoints (50 ms). A servo reaches a new setpoint in about 30 ms (kp 40
// N·m/rad, 0.005 kg·m² of rotor inertia, 0.33 N·m·s/rad of damping), so a
// row that jumps within one sample is reached over a few, not at once.
inline constexpr int kServoResponse = 5;
// The momentum's rates are then averaged over ten samples (100 ms): the
// robot tips as an inverted pendulum whose time constant, sqrt(0.27 m / g),
// is 0.17 s, so a shorter pulse of the centre of pressure past the edge
// (a squat that stops at full speed) tilts it only a little.
inline constexpr int kBalanceFilter = 10;
// After the last command the servos are followed this much longer, s.
inline constexpr double kBalanceHold = 0.5;

// One sample, for --balance-csv. Positions in m on the floor, in the frame
// of the first stance sole at the start; margins in mm, negative outside.
struct BalanceSample {
  long line = 0;      // the row the servos move toward
  double time = 0.0;  // s of simulated time since the player's start
  double com_x = 0.0, com_y = 0.0;
  double cop_x = 0.0, cop_y = 0.0;
  double support_x = 0.0, support_y = 0.0;  // the support's centre
  double com_margin = 0.0;                  // mm
  double cop_margin = 0.0;                  // mm
};

struct BalanceSummary {
  bool checked = false;  // the file has rows motion_player plays
  int period = 0;        // ms per row
  long samples = 0;
  double smallest_margin = 0.0;  // mm, the centre of pressure's
  long smallest_line = 0;
  long stretches = 0;        // stretches outside the support
  long first_line = 0;       // where it first leaves; 0 when it never does
  double first_by = 0.0;     // mm outside at most in that stretch
  std::string first_toward;  // "toward the toes", "to the left"...
  long warnings = 0;
};

class BalanceCheck {
 public:
  // `servo_speed` in rad/s, finite and > 0. `model` (the whole robot,
  // robot::Parts::kLegs) outlives the check.
  BalanceCheck(const robot::Model &model, double servo_speed);
  ~BalanceCheck();
  // Checks one file: each stretch outside the support is one warning at its
  // first line (at most kShownPerKind shown, then a note). `samples`, when
  // not null, receives every sample.
  BalanceSummary run(const char *path, const FindingSink &sink,
                     std::vector<BalanceSample> *samples);
  // Checks rows held in memory, `period` ms each, as the file of those rows:
  // row r (0-based) is line r + 1.
  BalanceSummary run(int period, const std::vector<PulseCounts> &rows, const FindingSink &sink,
                     std::vector<BalanceSample> *samples);

  class Rows;

 private:
  BalanceSummary play(Rows &rows, const FindingSink &sink, std::vector<BalanceSample> *samples);
  struct State;
  std::unique_ptr<State> state_;
};

// The summary's line: "FILE: balance: inside the support throughout,
// smallest margin 12 mm at line 250" or where it first leaves.
void print_balance(std::FILE *out, const std::string &path, const BalanceSummary &summary);
// The samples as CSV with a header line; false when a write failed.
bool write_balance_csv(std::FILE *out, const std::vector<BalanceSample> &samples);

// motion_check --balance: the robot's balance over the postures
// motion_player commands, from the robot's model (the robot library).
//
// The servos follow each command at most at the servo speed, as the
// stand-in's do, and give under the robot's weight as springs; the posture
// they hold is sampled every 10 ms and stood on a flat floor. The robot
// sways on those springs, and tips about the support's edge where the
// centre of pressure it needs would leave the support. The centre of
// pressure (from the whole body's momentum changing between samples) is
// held against the support, the convex hull of the soles that carry
// weight: inside with a margin, at risk near or on the edge, or falling.
#pragma once

#include <Eigen/Core>
#include <array>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "motion_check_lib.h"
#include "robot.h"

// Which sole the robot stands on, by the balance check's rule (the
// balancer stands rows by it too). A sole pressing deeper than this below
// the floor has taken the weight, m.
inline constexpr double kPress = 0.0005;
// A sole this close to the floor as commanded touches it, m: the floor
// gives 0.3 mm under the standing robot.
inline constexpr double kTouch = 0.0005;
// A leg whose sole moves less than this against the pelvis from one
// sample to the next keeps still, m. Standing on both flat soles, the
// robot keeps still on the leg that keeps still while the other moves.
inline constexpr double kStill = 1e-5;

// How far a sole moved against the pelvis from one sample to the next:
// the farthest of its corners (robot::Data::sole_corners with the pelvis
// at the origin), m.
double sole_moved(const std::array<Eigen::Vector3d, 4> &before,
                  const std::array<Eigen::Vector3d, 4> &now);
// Whether the robot on its stance sole moves onto the other one, both
// lying flat on the floor: the stance leg moved (`moved_stance`, m, since
// the last sample) while the other kept still (`moved_other`), and each
// corner of the other sole (`other`, world frame, the floor at 0) lies
// within the floor's give of it.
bool onto_still_leg(double moved_stance, double moved_other,
                    const std::array<Eigen::Vector3d, 4> &other);

// A sole carries weight when its lowest corner is at most this far above
// the floor, m, and its corners that near its lowest one are the support:
// a sole on its edge carries on that edge.
inline constexpr double kCarryGap = 0.002;
// The balance check's band at the support's edge, mm: a centre of pressure
// less than this far inside the edge is at risk. Measured against the
// physics world with slow leans to the edge, forward, back and to each
// side (docs/balance.md, "The edge"): the robot stood up to 2 mm inside
// the edge as the check reckons it and fell from 1 mm.
inline constexpr double kEdgeBandMm = 4.0;

// What a margin says of the robot.
enum class Footing {
  kInside,   // the centre of pressure at least kEdgeBandMm inside the edge
  kAtRisk,   // within kEdgeBandMm of the edge, or on it (the robot rocks)
  kOutside,  // beyond the edge
};

// A point's margin in the support, by the balance check's rule: the robot
// library's one margin (robot::Support::margin) in mm, positive inside,
// and what it says. The empty support gives -infinity, outside.
struct BalanceMargin {
  double mm = 0.0;
  Footing footing = Footing::kOutside;
};
BalanceMargin balance_margin(const robot::Support &support, const Eigen::Vector2d &point);

// The support by the balance check's rule: each sole that carries (its
// lowest corner within kCarryGap of `floor`, or `pressed`, as a touch
// sensor feels it) gives its corners within kCarryGap of its lowest one.
// `soles` are the two soles' corners (robot::Data::sole_corners), by Side.
robot::Support carrying_support(const std::array<std::array<Eigen::Vector3d, 4>, 2> &soles,
                                double floor, const std::array<bool, 2> &pressed = {false, false});

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
// Rounds of the servos' give under the robot's weight: each round takes
// the torques from the last one's posture. The give tilts the robot, which
// adds torque: on one leg, whose ankle and hip roll give in series, each
// round adds about a third of the last one's change.
inline constexpr int kSagRounds = 3;
// A robot whose centre of mass sways this far from where its servos hold
// it would tip over, m: tilted about 0.2 rad, and still going.
inline constexpr double kTipped = 0.05;
// A sole's corner this close to the floor rubs on it, m; a sole whose
// corners rub along the floor for more than half its length in one go
// drags, and friction, which the check does not follow, may turn or trip
// the robot.
inline constexpr double kRubGap = 0.001;
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
  // The centre of pressure the commanded motion asks for under the robot
  // as its servos give (beyond the edge the robot falls), and its margin,
  // mm; cop_x, cop_y are where the robot has it as it sways on them.
  double asked_x = 0.0, asked_y = 0.0;
  double asked_margin = 0.0;
};
// Takes each sample as it is made.
using BalanceSamples = std::function<void(const BalanceSample &)>;

struct BalanceSummary {
  bool checked = false;  // the file has rows motion_player plays
  int period = 0;        // ms per row
  long samples = 0;
  // mm, the least margin of the centre of pressure the motion asks for
  // (the commanded motion's, under the robot as its servos give)
  double smallest_margin = 0.0;
  long smallest_line = 0;
  double smallest_swaying = 0.0;  // mm, the same as the robot sways on its servos
  long swaying_line = 0;
  long stretches = 0;        // stretches in which the robot falls: 0 or 1, nothing is judged after
  long first_line = 0;       // where that stretch starts; 0 when it never falls
  double first_by = 0.0;     // mm the motion asks the centre of pressure beyond the edge, at most
  std::string first_toward;  // "toward the toes", "to the left"...
  long at_risk = 0;          // stretches at risk from which it recovers, and soles that drag
  long risk_line = 0;        // the first of them; 0 when none
  std::string risk_what;     // what happens there: "the robot rocks on the support's edge ..."
  long warnings = 0;
};

class BalanceCheck {
 public:
  // `servo_speed` in rad/s, finite and > 0. `model` (the whole robot,
  // robot::Parts::kLegs) outlives the check.
  BalanceCheck(const robot::Model &model, double servo_speed);
  ~BalanceCheck();
  // Checks one file: each stretch at risk or falling is one warning at its
  // first line (at most kShownPerKind shown, then a note). `samples`, when
  // set, takes every sample as it is made.
  BalanceSummary run(const char *path, const FindingSink &sink, const BalanceSamples &samples);
  // Checks rows held in memory, `period` ms each, as the file of those rows:
  // row r (0-based) is line r + 1.
  BalanceSummary run(int period, const std::vector<PulseCounts> &rows, const FindingSink &sink,
                     const BalanceSamples &samples);

  class Rows;

 private:
  BalanceSummary play(Rows &rows, const FindingSink &sink, const BalanceSamples &samples);
  struct State;
  std::unique_ptr<State> state_;
};

// The summary's line: "FILE: balance: inside the support throughout,
// smallest margin 12 mm at line 250", at risk, or where the robot falls.
void print_balance(std::FILE *out, const std::string &path, const BalanceSummary &summary);
// The CSV's header line; false when the write failed.
bool write_balance_header(std::FILE *out);
// One sample as a CSV line; false when the write failed.
bool write_balance_sample(std::FILE *out, const BalanceSample &sample);

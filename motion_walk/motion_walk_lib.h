// A walk for the robot, written as a motion file: the gait engine (gait/)
// run offline with the arguments as a constant command, its postures
// sampled as rows. The engine is the walker's own: motion_walk writes what
// the walker would do told to walk so many steps at that velocity.
//
// Frames: the robot's starting frame, x forward, y to the left, z up from
// the floor, m and rad; a yaw is a heading, positive to the left.
#pragma once

#include <Eigen/Core>
#include <cstdio>
#include <string>
#include <vector>

#include "body_model.h"
#include "gait.h"
#include "motion_check_lib.h"
#include "motion_rows.h"
#include "robot.h"

namespace walk {

// Lowering to the walking height, and rising back at the end, s.
inline constexpr double kLowerTime = 1.0;
inline constexpr double kRiseTime = 1.0;
// Standing still with the feet together before rising, s.
inline constexpr double kSettleTime = 0.5;
// Share of each step on both feet: two of motion_player's 50 ms rows or
// more for steps of 0.45 s (the walker, at 10 ms, shifts in a tenth).
inline constexpr double kDoubleSupportShare = 0.2;
// Most steps a walk takes, and the longest row period, ms.
inline constexpr int kMaxSteps = 10000;
inline constexpr int kMaxPeriodMs = 1000;

// What the user asks for.
struct Command {
  int steps = 16;           // steps of the walk, 1..kMaxSteps
  double stride = 0.04;     // m forward per step, negative backward
  double side = 0.0;        // m to the left per step, negative to the right
  double turn = 0.0;        // rad to the left per step
  double step_time = 0.45;  // s per step
  double lift = 0.025;      // m the swing foot rises, >= 0
  double height = 0.25;     // m, the pelvis's height while walking
  int period_ms = 10;       // ms per row, 1..kMaxPeriodMs
};

// The walks motion_walk has been held to in the physics world, played by
// motion_player: within them a walk stands and goes where its summary
// says; beyond them it is warned about (docs/walking.md). Steps of 0.55 to
// 0.8 s rock the robot fore and aft and twist its feet at each shift of
// the weight: there strides beyond 3 cm fell or strayed.
struct Envelope {
  double step_time_low, step_time_high;  // s
  double lift_low, lift_high;            // m
  double height_low, height_high;        // m
  double stride;                         // |m| per step, forward or back
  double rocking_low, rocking_high;      // s: steps that rock the robot
  double rocking_stride;                 // |m| per step within them
  double side;                           // |m| per step
  double turn;                           // |rad| per step
};
// clang-format off
// step time s  lift m        height m      stride  rocking s   stride  side   turn rad
inline constexpr Envelope kTested = {
    0.4, 1.2,   0.015, 0.035, 0.245, 0.265, 0.045,  0.55, 0.8,  0.03,   0.025, 0.25};
// clang-format on

// Where `command` leaves the tested envelope, in words ("a step time of
// 1.5 s, beyond 1.2 s"); empty within it.
std::string beyond_envelope(const Command &command);

// The engine's settings for `command`, its rows every `period_ms`.
gait::Settings engine_settings(const Command &command);

// A generated walk: its rows and what the summary line says.
struct Walk {
  int period_ms = 10;
  std::vector<PulseCounts> rows;
  long errors = 0;
  long warnings = 0;
  double forward = 0.0;       // m, planned, in the starting frame
  double left = 0.0;          // m
  double turned = 0.0;        // rad
  double duration = 0.0;      // s, the whole file
  double walking_time = 0.0;  // s, from the first shift to the last landing
  // The smallest margin of the centre of pressure, m, as motion_check
  // --balance finds it for these rows: negative outside the support.
  double min_margin = 0.0;
  int fastest_column = -1;     // column of the fastest joint, 0..20
  double fastest_speed = 0.0;  // rad/s
};

// Plan samples for --plan-csv: time, planned COM and COP, both soles.
struct PlanSample {
  double t = 0.0;
  Eigen::Vector2d com, zmp, zmp_ref;
  gait::Foot left, right;
};

// Generates the walk for the robot `model` (the whole robot,
// robot::Parts::kLegs): refuses (errors, with findings) what the legs
// cannot do or the command does not allow, warns about what motion_check
// would warn about and about a walk beyond the tested envelope. `plan`,
// when given, receives the engine's plan at every engine step.
Walk generate(const robot::Model &model, const Command &command, const FindingSink &sink,
              std::vector<PlanSample> *plan = nullptr);

// Checks a command before any planning, against the robot's joint ranges;
// empty when it can be walked, else the one-line reason.
std::string command_problem(const robot::Model &model, const Command &command);

// The summary line, without a line end.
std::string summary_line(const Walk &walk, int steps);

// The plan as CSV, one line per sample, with a header.
bool write_plan(std::FILE *out, const std::vector<PlanSample> &plan);

}  // namespace walk

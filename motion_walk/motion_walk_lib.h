// A walking gait for the robot, written as a motion file: a footstep plan
// from the commands, a reference for the centre of pressure that walks from
// foot to foot, the centre of mass from a linear-inverted-pendulum preview
// control, swing feet that lift and land flat, and the legs' angles from
// the robot's own inverse kinematics.
//
// Frames: the robot's starting frame, x forward, y to the left, z up from
// the floor, m and rad; a yaw is a heading, positive to the left.
#pragma once

#include <Eigen/Core>
#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "body_model.h"
#include "motion_check_lib.h"
#include "motion_rows.h"
#include "robot.h"

namespace walk {

// The plan's time step, s: the preview control and the feet are planned on
// this grid and rows are sampled from it.
inline constexpr double kPlanDt = 0.005;
// How far the preview control looks ahead, s.
inline constexpr double kPreviewTime = 1.0;
// Lowering to the walking height, and rising back at the end, s.
inline constexpr double kLowerTime = 1.0;
inline constexpr double kRiseTime = 1.0;
// Standing still with the feet together before rising, s.
inline constexpr double kSettleTime = 0.5;
// Share of each step both feet are on the floor.
inline constexpr double kDoubleSupportShare = 0.2;
// Shortest single support in which a foot can lift and land, s.
inline constexpr double kMinSwingTime = 0.1;
// The centre of pressure in single support sits this far inside the centre
// of the stance sole, toward the other foot, m: a smaller sway.
inline constexpr double kZmpInward = 0.01;
// Walking sideways, the soles keep at least this gap between their inner
// edges, m, so that they never pass over each other.
inline constexpr double kSoleClearance = 0.01;
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
  double height = 0.265;    // m, the pelvis's height while walking
  int period_ms = 10;       // ms per row, 1..kMaxPeriodMs
};

// A place on the floor: position and heading.
struct Place {
  Eigen::Vector2d at = Eigen::Vector2d::Zero();  // m
  double yaw = 0.0;                              // rad
};

// One step: the swing foot goes from `from` to `to` while the robot stands
// on the other foot, at `stance`.
struct Footstep {
  robot::Side swing = robot::kLeft;
  Place from, to, stance;
};

// The steps from soles at `left` and `right`: `command.steps` steps, then
// one that brings the trailing foot beside the other, `width` m apart
// centre to centre. Steps alternate feet; the first is the foot on the side
// the robot goes (left when it goes straight). `sole_width` is a sole's
// width across, m, from the model.
std::vector<Footstep> plan_footsteps(const Command &command, const Place &left, const Place &right,
                                     double width, double sole_width);

// When each phase of the walk starts, s.
struct Timeline {
  double step_time = 0.0;
  double double_support = 0.0;  // s of each step on both feet
  double first_shift = 0.0;     // s of the first weight shift, onto the first stance foot
  double walk_start = 0.0;      // the first shift begins
  double walk_end = 0.0;        // the last step has landed
  double rise_start = 0.0;
  double total = 0.0;
  // Start of step k's double support; its single support follows.
  double step_start(std::size_t k) const;
};
Timeline make_timeline(const Command &command, std::size_t footsteps);

// The centre-of-pressure reference at t: at `centre` before the walk, on
// each stance sole (kZmpInward inside it) in single support, moving
// linearly from sole to sole in double support, at `final_centre` after.
Eigen::Vector2d zmp_reference(double t, const Timeline &timeline,
                              const std::vector<Footstep> &steps, const Eigen::Vector2d &centre,
                              const Eigen::Vector2d &final_centre);

// Linear-inverted-pendulum preview control (Kajita et al. 2003): the state
// is the centre of mass's position, speed and acceleration on one axis,
// the input its jerk, the output the centre of pressure c - z/g c''. The
// gains come from one discrete Riccati solve of the system augmented with
// the integral of the pressure error.
class PreviewControl {
 public:
  // `com_height` m above the floor, under gravity `g` m/s² (the model's),
  // `dt` s per sample, `preview` samples.
  PreviewControl(double com_height, double g, double dt, int preview);
  int preview() const { return static_cast<int>(preview_gains_.size()); }
  // The centre of mass and its pressure centre, sampled every dt, that
  // follow `reference` (one axis, every dt; held at its last value beyond
  // its end), starting at rest at reference[0].
  struct Track {
    std::vector<double> com;
    std::vector<double> zmp;
  };
  Track track(const std::vector<double> &reference) const;
  double integral_gain() const { return gi_; }
  const Eigen::RowVector3d &state_gain() const { return gx_; }
  const std::vector<double> &preview_gains() const { return preview_gains_; }

 private:
  Eigen::Matrix3d a_;
  Eigen::Vector3d b_;
  Eigen::RowVector3d c_;
  double gi_ = 0.0;
  Eigen::RowVector3d gx_;
  std::vector<double> preview_gains_;
};

// Where a swing foot is at share s (0..1) of its single support: it rises
// to `lift` and comes down with zero vertical speed, and it travels level
// between 10% and 90% of the swing on a minimum-jerk profile, so that it
// lifts and lands in place, flat. z is the sole's height above the floor.
struct FootAt {
  Eigen::Vector3d at;
  double yaw = 0.0;
};
FootAt swing_foot(const Place &from, const Place &to, double lift, double s);

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
  FootAt left, right;
  bool left_down = true, right_down = true;
};

// Generates the walk for the robot `model` (the whole robot,
// robot::Parts::kLegs): refuses (errors, with findings) what the legs
// cannot do or the command does not allow, warns about what motion_check
// would warn about. `plan`, when given, receives the plan every kPlanDt.
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

// push-test's reckoning, apart from the runs it makes: its arguments, the
// moments it pushes at, each bisection, the capture-point estimate from the
// unpushed run's posture log and the robot's model, and the table.
//
// Frames: the world's, as the posture log gives it (x the way the robot
// first faced, y to its left, z up), m, s, N, N·s. A direction names where
// a push comes from in the robot's frame at the moment it acts.
#pragma once

#include <Eigen/Core>
#include <array>
#include <cstdio>
#include <istream>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "body_model.h"
#include "posture_log.h"
#include "robot.h"

namespace push {

// Each push lasts this long, ms; the robot is judged this long after it
// ends, ms.
inline constexpr int kPushMs = 100;
inline constexpr int kSettleMs = 2000;
// A bisection starts at this impulse and doubles it until the robot falls,
// up to the most, N·s: 1000 N for 100 ms.
inline constexpr double kFirstImpulse = 2.0;
inline constexpr double kMostImpulse = 100.0;
using physics_runs::kCarrying;

enum class Direction { kFront, kBack, kLeft, kRight };
inline constexpr std::array<const char *, 4> kDirectionNames = {"front", "back", "left", "right"};
inline const char *name_of(Direction d) {
  return kDirectionNames[static_cast<int>(d)];
}
// The push's force, a unit vector in the robot's frame: a push from the
// front points backward.
Eigen::Vector2d force_direction(Direction from);

// What the command line asks for.
struct Options {
  int steps = 7;    // bisection steps after the fall is bracketed, 1..20
  int moments = 4;  // moments pushed at, 1..20: kMotionMoments or kWalkerMoments by default
  std::vector<Direction> directions;
  std::string file;
  bool walker = false;                   // FILE is a walker script
  std::vector<std::string> walker_args;  // passed to the walker after --script FILE
};
inline constexpr int kMotionMoments = 4;
inline constexpr int kWalkerMoments = 8;
inline constexpr char kUsage[] =
    "usage: tools/push-test [--steps N] [--moments K] [--directions front,back,left,right] "
    "[--walker [--walker-arg ARG]...] [--] FILE";
// The options and the file, or nothing with `*error` set to one line (no
// "push-test: ").
std::optional<Options> parse_options(std::span<const std::string> args, std::string *error);

// The moments to push at, simulated ms, each a multiple of 10 ms: `moments`
// spread over the playback of `playback_ms` from the first command at
// `first_ms`, at (i + 1/2) / moments of it; one, a second after the first
// command, for a file of one step or less. Moments that round to one are
// pushed once.
std::vector<long> push_moments(long first_ms, long playback_ms, int moments);

// A walker script's pushes. The unpushed run plays to kWalkerReferenceMs
// after the script's last line (a walk commanded there has then taken its
// steady stride and walked 3 s more); the walk is steady from its
// kSteadySteps-th landing after the first (the
// speed ramps up over three steps at most, and the pendulum settles over
// the preview's 1.2 s), and the stride pushed is the two steps from
// there. A pushed walker is judged kWalkerSettleMs after the push ends.
inline constexpr long kWalkerReferenceMs = 10000;
inline constexpr int kSteadySteps = 8;
inline constexpr int kWalkerSettleMs = 3000;
// A script whose unpushed run takes no step is pushed once, standing, this
// long after the first command: the walker has bent to its height and
// stands still.
inline constexpr long kStandingPushMs = 2000;

// The moments to push a walker at, simulated ms, multiples of 10 ms:
// `moments` spread over the stride that starts at the landing
// kSteadySteps after the first of `landings`, at (i + 1/2) / moments of
// it; one, kStandingPushMs after `first_ms`, when there is no landing.
// Empty, with `*error` set, for a walk of too few steps in the unpushed
// run's `played_ms`.
std::vector<long> stride_moments(const std::vector<long> &landings, long first_ms, int moments,
                                 long played_ms, std::string *error);

// Whether a pushed walker walks on as the unpushed one does over
// [from_ms, to_ms] of both logs: its pelvis goes at least half as far
// along the unpushed pelvis's way, and turns at least half as much the
// same way. A way shorter than kStill (m) or a turn smaller than
// kStillTurn (rad) in the unpushed run asks nothing of that.
inline constexpr double kStill = 0.02;
inline constexpr double kStillTurn = 0.1;
bool walked_on(const std::vector<physics_runs::LogRow> &unpushed,
               const std::vector<physics_runs::LogRow> &pushed, long from_ms, long to_ms);

// The posture log's rows, as physics_runs reads them.
using physics_runs::LogRow;
using physics_runs::read_posture_log;

// The capture-point estimate of the largest push survived: the impulse
// that carries the instantaneous capture point onto the support's edge.
class Estimator {
 public:
  // `model` is the whole robot (robot::Parts::kLegs) the runs simulate.
  explicit Estimator(const robot::Model &model);

  // At row `at` of the unpushed run's log, pushed from `from`, N·s; 0 when
  // the capture point is already outside the support. The robot stands on
  // the sole that presses more, flat, as its joints say, its pelvis at the
  // GPS, facing its logged heading. The support is the hull of the soles
  // that carry or come within kCarryGap of the floor, and of a sole in
  // the air where the log has it land next, within the push and the
  // kSettleMs the push is judged in: the step a walking robot is taking.
  // The centre of mass's speed is from the row before `at`.
  double impulse(std::span<const LogRow> log, std::size_t at, Direction from);

 private:
  const robot::Model &model_;
  robot::Data data_;
};

// One direction at one moment: brackets the fall by doubling the impulse
// from kFirstImpulse, then halves the bracket `steps` times.
class Bisection {
 public:
  Bisection(Direction from, long at_ms, int steps) : from_(from), at_ms_(at_ms), steps_(steps) {}
  Direction from() const { return from_; }
  long at_ms() const { return at_ms_; }
  // The impulse the next run pushes with, N·s.
  double next() const { return trying_; }
  // What the run of next() did.
  void verdict(bool survived);
  bool done() const { return done_; }
  // The bracket: the largest impulse survived, and the smallest that
  // throws the robot (none when it survives kMostImpulse).
  double survives() const { return low_; }
  std::optional<double> falls() const { return none_ ? std::nullopt : std::optional(high_); }

 private:
  Direction from_;
  long at_ms_;
  int steps_;
  bool bracketed_ = false;
  bool done_ = false;
  bool none_ = false;
  int halved_ = 0;
  double low_ = 0.0;
  double high_ = kFirstImpulse;
  double trying_ = kFirstImpulse;
};

// STANDIN_PUSH for `impulse` N·s from `from` at `at_ms`, the robot's
// heading then `yaw` rad from its start: the force in the starting frame.
std::string push_setting(long at_ms, double impulse, Direction from, double yaw);

// The table: the moments, each direction's figure beside the estimate,
// and the weakest moment. `estimates` holds each bisection's estimate.
void print_table(std::FILE *out, const std::string &name, long first_ms,
                 const std::vector<long> &moments, const std::vector<Direction> &directions,
                 const std::vector<Bisection> &bisections, const std::vector<double> &estimates);

}  // namespace push

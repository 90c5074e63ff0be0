// Keyframe motions: a script of postures and durations composed into the
// rows of a motion file, and the mirror image, retiming and reversal of a
// motion. Checked with motion_check's rules: limits, speed, row period.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "body_model.h"
#include "motion_check_lib.h"
#include "motion_rows.h"

// Row period of a composed motion unless --period says otherwise, ms.
inline constexpr int kComposePeriodMs = 10;
// Longest row period --period takes, ms.
inline constexpr int kMaxComposePeriodMs = 1000;
// Largest script read, bytes.
inline constexpr long kMaxScriptBytes = 1 << 20;
// --speed takes factors within this range.
inline constexpr double kMinSpeedFactor = 0.01;
inline constexpr double kMaxSpeedFactor = 100.0;

struct ComposeOptions {
  int period_ms = 0;                    // 0: 10 ms for a script, the input's own for a motion
  bool through = false;                 // pass inner keyframes without stopping
  double max_speed = kDefaultMaxSpeed;  // rad/s, finite and > 0
  double speed = 1.0;                   // play F times faster
  bool reverse = false;                 // play backwards
  bool mirror = false;                  // left-right mirror image
};

// A composed or transformed motion: rows to write, and what the checks found.
struct Composed {
  int period_ms = kComposePeriodMs;
  std::vector<PulseCounts> rows;  // counts by JointIndex; the 21 numbered joints are set
  // The script's line, or the input file's, that each row comes from (after
  // --speed, the nearest input row's): where findings about rows point.
  std::vector<long> lines;
  long errors = 0;
  long warnings = 0;
};

// Keyframes of one stretch of a motion, every joint moving through them.
// The first and last keyframes are at rest. By default every keyframe is:
// each move is a minimum-jerk profile. `through` gives the inner keyframes
// the velocities of a monotone cubic spline instead, so the motion passes
// them without stopping, its velocity continuous and without overshoot.
class KeyChain {
 public:
  void clear() { times_.clear(), at_.clear(), velocity_.clear(); }
  // Appends a keyframe; times must grow.
  void add(long time_ms, const ColumnAngles &posture);
  // Sets the velocities at the keyframes; call once all are added.
  void solve(bool through);
  std::size_t size() const { return times_.size(); }
  long time(std::size_t k) const { return times_[k]; }
  const ColumnAngles &posture(std::size_t k) const { return at_[k]; }
  // Position (rad) and velocity (rad/s) at `t_ms`, within the chain's time.
  ColumnAngles position(double t_ms) const;
  ColumnAngles velocity(double t_ms) const;

 private:
  std::size_t segment(double t_ms) const;  // index of the keyframe a move ends at
  std::vector<long> times_;
  std::vector<ColumnAngles> at_;
  std::vector<ColumnAngles> velocity_;  // rad/ms
  bool through_ = false;
};

// The left-right mirror image of one posture: each numbered joint's angle
// goes to its counterpart, its sign changed where the joint convention's
// mirror is -1. Mirroring twice gives the counts back.
PulseCounts mirror_counts(const PulseCounts &counts);

// `rows` at `in_period` ms played `factor` times faster and sampled every
// `out_period` ms, joints interpolated linearly in rad between rows; the
// last row is always kept. Equal periods and factor 1 copy the rows.
std::vector<PulseCounts> resample(const std::vector<PulseCounts> &rows, int in_period,
                                  int out_period, double factor);

// Composes the script at `path`. Findings name its lines; `errors` > 0
// means the rows are not to be written.
Composed compose_script(const char *path, const ComposeOptions &options, const FindingSink &sink);
// Reads the motion file at `path` and retimes, reverses and mirrors it as
// `options` say. Findings about the input name its lines; those about the
// result name the file as a whole.
Composed transform_motion(const char *path, const ComposeOptions &options, const FindingSink &sink);
// Applies --speed, --reverse and --mirror to composed rows (at `period_ms`),
// and to their lines. Findings about the result go to `sink` as whole-file
// findings.
void transform_rows(Composed &motion, int in_period, const ComposeOptions &options,
                    const FindingSink &sink);

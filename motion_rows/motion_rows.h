// A motion's rows as the tools handle them: the 21 joint columns of a row as
// angles and back as pulse counts, the minimum-jerk profile the tools move
// by, and rows written as the tuner writes them.
#pragma once

#include <array>
#include <cstdio>
#include <vector>

#include "body_model.h"

// Longest motion a tool writes, ms: 10 minutes, 600,000 rows at 1 ms.
inline constexpr long kMaxMotionMs = 600000;

// Angles in rad of the 21 joint columns, by column (JointNumber - 1).
using ColumnAngles = std::array<double, kNumberedJoints>;
// The columns of `pulses` (by JointIndex) in rad, each with its calibration.
ColumnAngles column_angles(const PulseCounts &pulses);

// Pulse count of `rad` on JointIndex i, rounded to the nearest, so that a
// count read from a file and turned into rad comes back unchanged. Saturates
// at the int range; joints with calibration 0 give 0.
int count_of(double rad, int i);
PulseCounts counts_of(const ColumnAngles &angles);

// Minimum-jerk position of a move from rest to rest: 0 at u = 0, 1 at u = 1,
// with velocity and acceleration 0 at both ends; u is clamped to 0..1.
double min_jerk(double u);

// Writes `rows`, one a line: field 1 the row period `period_ms`, field 2 and
// the closing characters as the tuner writes them. False on a failed write.
bool write_motion_rows(std::FILE *out, int period_ms, const std::vector<PulseCounts> &rows);

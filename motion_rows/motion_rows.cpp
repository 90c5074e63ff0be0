// Rows of pulse counts to angles and back, the minimum-jerk profile, and
// the rows written out.
#include "motion_rows.h"

#include <algorithm>
#include <cmath>
#include <limits>

ColumnAngles column_angles(const PulseCounts &pulses) {
  ColumnAngles a;
  for (int c = 0; c < kNumberedJoints; ++c)
    a[c] = pulse2rad(pulses[kColumnOrder[c]], kColumnOrder[c]);
  return a;
}

int count_of(double rad, int i) {
  if (i < 0 || i >= kJointCount || pulse[i] == 0 || std::isnan(rad)) return 0;
  const double count = std::round(pulse[i] * rad / kRadPerDegree);
  if (count >= 2147483647.0) return std::numeric_limits<int>::max();
  if (count <= -2147483648.0) return std::numeric_limits<int>::min();
  return static_cast<int>(count);
}

PulseCounts counts_of(const ColumnAngles &angles) {
  PulseCounts counts{};
  for (int c = 0; c < kNumberedJoints; ++c)
    counts[kColumnOrder[c]] = count_of(angles[c], kColumnOrder[c]);
  return counts;
}

double min_jerk(double u) {
  u = std::clamp(u, 0.0, 1.0);
  return u * u * u * (10.0 + u * (-15.0 + 6.0 * u));
}

bool write_motion_rows(std::FILE *out, int period_ms, const std::vector<PulseCounts> &rows) {
  for (const PulseCounts &row : rows)
    if (write_motion_row(out, period_ms, 2, row) < 0 || std::fputc('\n', out) == EOF) return false;
  return true;
}

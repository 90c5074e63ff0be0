// The reference a row parse is checked against: the C library's sscanf with
// the motion-file row format, storing into the same fields.
#pragma once

#include <cstdio>

#include "body_model.h"

// The row format, as scanf reads it.
inline constexpr char kRowScanFormat[] =
    "%d, %d, %d, %d, %d, %d ,%d, %d, %d, %d, %d, %d, %d, %d, %d, %d, %d, "
    "%d, %d, %d, %d, %d, %d, %c ,%c ,%c,%c ";

// A row whose every field differs from anything a parse is likely to store,
// so that a field left alone is told apart from one overwritten.
inline MotionRow sentinel_row() {
  MotionRow row;
  row.period = 424242;
  row.field2 = -313131;
  for (int i = 0; i < kJointCount; ++i) row.pulses[i] = 7000 + 13 * i;
  row.tail = {'w', 'x', 'y', 'z'};
  return row;
}

// sscanf of `line` with the row format into `r`; the fields stored, 0..27.
inline int scanf_row(const char *line, MotionRow &r) {
  int *c[kNumberedJoints];
  for (int k = 0; k < kNumberedJoints; ++k) c[k] = &r.pulses[kColumnOrder[k]];
  const int n =
      std::sscanf(line, kRowScanFormat, &r.period, &r.field2, c[0], c[1], c[2], c[3], c[4], c[5],
                  c[6], c[7], c[8], c[9], c[10], c[11], c[12], c[13], c[14], c[15], c[16], c[17],
                  c[18], c[19], c[20], &r.tail[0], &r.tail[1], &r.tail[2], &r.tail[3]);
  return n == EOF ? 0 : n;
}

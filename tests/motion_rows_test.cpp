// The rows motion_compose and motion_walk write: pulse counts through their
// angles and back, the minimum-jerk profile held at its ends, and the bytes
// of a written row.
#include "motion_rows.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

TEST(MotionRows, CountsComeBackFromTheirAnglesAndSaturateBeyondTheIntRange) {
  // Counts as files hold them, on every column, negative calibrations too.
  for (int count : {0, 1, -1, 208, -27170, 123456, -2000000}) {
    PulseCounts counts{};
    for (int i : kColumnOrder) counts[i] = count;
    EXPECT_EQ(counts_of(column_angles(counts)), counts) << count;
  }
  struct Case {
    double rad;
    int joint;
    int count;
  };
  // rad     JointIndex  count
  const Case cases[] = {
      {1e12, 0, INT_MAX}, {-1e12, 0, INT_MIN}, {1e12, 4, INT_MIN},
      {NAN, 0, 0},        {0.1, -1, 0},        {0.1, kJointCount, 0},
  };
  for (const Case &c : cases)
    EXPECT_EQ(count_of(c.rad, c.joint), c.count) << c.rad << " " << c.joint;
}

TEST(MotionRows, MinimumJerkHoldsItsEndsOutsideTheMove) {
  // The swing foot and the walk's lowering call it before and after the move.
  EXPECT_EQ(min_jerk(-0.5), 0.0);
  EXPECT_EQ(min_jerk(1.5), 1.0);
  EXPECT_DOUBLE_EQ(min_jerk(0.25) + min_jerk(0.75), 1.0);
}

TEST(MotionRows, RowsAreWrittenOneALineAsTheTunerWritesThem) {
  PulseCounts first{};
  first[kColumnOrder[0]] = 5;
  first[kColumnOrder[20]] = -7;
  const std::vector<PulseCounts> rows = {first, PulseCounts{}};
  std::FILE *out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  ASSERT_TRUE(write_motion_rows(out, 10, rows));
  std::rewind(out);
  std::string text;
  for (int c; (c = std::fgetc(out)) != EOF;) text += static_cast<char>(c);
  std::fclose(out);
  EXPECT_EQ(text,
            "10,2,5,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,-7, R ,R ,R,R\n"
            "10,2,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0, R ,R ,R,R\n");
  std::FILE *full = std::fopen("/dev/full", "w");
  if (full == nullptr) GTEST_SKIP() << "no /dev/full";
  std::setvbuf(full, nullptr, _IONBF, 0);
  EXPECT_FALSE(write_motion_rows(full, 10, rows));
  std::fclose(full);
}

}  // namespace

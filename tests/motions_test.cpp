// The bundled motions: each passes motion_check without a finding, and the
// symmetric ones are mirrored joint by joint in angles, whatever the signs
// of the two servos' calibrations.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "body_model.h"
#include "motion_check_lib.h"

namespace {

// A right joint, its left counterpart, and the sign between their angles in
// a pose symmetric about the body's mid-plane.
struct Pair {
  int right;
  int left;
  int mirror;
};
constexpr Pair kPairs[] = {
    {7, 1, -1},  {9, 3, -1},  {8, 2, 1},    {10, 4, 1},   {11, 5, 1},
    {12, 6, -1}, {18, 13, 1}, {19, 14, -1}, {20, 15, -1}, {21, 16, 1},
};

std::vector<std::filesystem::path> bundled() {
  std::vector<std::filesystem::path> files;
  for (const auto &entry : std::filesystem::directory_iterator(MOTIONS_DIR))
    if (entry.path().extension() == ".csv") files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

std::filesystem::path bundled_named(const std::string &prefix) {
  for (const auto &path : bundled())
    if (path.filename().string().rfind(prefix, 0) == 0) return path;
  return {};
}

// Every row of a file, parsed.
std::vector<MotionRow> parse_file(const std::filesystem::path &path) {
  std::vector<MotionRow> rows;
  std::ifstream in(path);
  std::string line;
  MotionRow row;
  while (std::getline(in, line)) {
    EXPECT_EQ(parse_csv_row(line.c_str(), row), kRowFields) << line;
    rows.push_back(row);
  }
  return rows;
}

}  // namespace

TEST(BundledMotions, WaveSquatStepAndBowAreThere) {
  for (const char *name : {"wave_", "squat_", "step_", "bow_"})
    EXPECT_FALSE(bundled_named(name).empty()) << name;
}

TEST(BundledMotions, EveryFilePassesMotionCheckCleanly) {
  for (const auto &path : bundled()) {
    SCOPED_TRACE(path.filename().string());
    std::vector<std::string> found;
    const FileSummary s = check_motion_file(path.c_str(), CheckOptions{}, [&](const Finding &f) {
      found.push_back(format_finding(path.string(), f));
    });
    EXPECT_TRUE(found.empty()) << found.front();
    EXPECT_EQ(s.errors + s.warnings, 0);
    // Played at the file's own time base, starting from the zero posture.
    ASSERT_TRUE(s.has_period);
    EXPECT_EQ(kPlayerStepMs % s.period, 0);
    EXPECT_EQ(s.approach_steps, 1);
    EXPECT_GT(s.player_rows, 100);
  }
}

TEST(BundledMotions, MirrorSignsFollowTheMirroredLimits) {
  // Where the limits of a pair are mirrored, the angles must be too; where
  // they are the same and lopsided, the angles must be the same.
  for (const Pair &pair : kPairs) {
    const JointLimits &r = kJointLimits[kJoints[pair.right].number - 1];
    const JointLimits &l = kJointLimits[kJoints[pair.left].number - 1];
    if (r.min == -r.max) continue;  // symmetric limits say nothing
    SCOPED_TRACE(kJoints[pair.right].name);
    if (pair.mirror < 0) {
      EXPECT_EQ(r.min, -l.max);
      EXPECT_EQ(r.max, -l.min);
    } else {
      EXPECT_EQ(r.min, l.min);
      EXPECT_EQ(r.max, l.max);
    }
  }
}

TEST(BundledMotions, SquatAndBowAreMirroredJointByJoint) {
  for (const char *name : {"squat_", "bow_"}) {
    const std::filesystem::path path = bundled_named(name);
    ASSERT_FALSE(path.empty()) << name;
    SCOPED_TRACE(path.filename().string());
    const std::vector<MotionRow> rows = parse_file(path);
    int moving_pairs = 0;
    for (const Pair &pair : kPairs) {
      bool moves = false;
      for (const MotionRow &row : rows) {
        const double right = pulse2rad(row.pulses[pair.right], pair.right);
        const double left = pulse2rad(row.pulses[pair.left], pair.left);
        ASSERT_NEAR(left, pair.mirror * right, 1e-9) << kJoints[pair.left].name;
        moves = moves || right != 0.0;
      }
      moving_pairs += moves;
    }
    EXPECT_GE(moving_pairs, 3);
  }
}

TEST(BundledMotions, KneeCountsDifferInSignWhereCalibrationsDo) {
  // rleg_joint_4 counts +209 per degree, lleg_joint_4 -209: the same bend is
  // written as counts of opposite sign.
  const std::vector<MotionRow> rows = parse_file(bundled_named("squat_"));
  ASSERT_FALSE(rows.empty());
  const MotionRow &deep = rows[rows.size() / 6];
  EXPECT_GT(deep.pulses[10], 1000);
  EXPECT_EQ(deep.pulses[4], -deep.pulses[10]);
}

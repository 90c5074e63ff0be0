// tools/push-test on the stand-in: its arguments, its refusal of a motion
// that falls by itself, and one cheap bisection of the standing robot.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "e2e_harness.h"

namespace {

e2e::CommandOutput push_test(const std::vector<std::string> &args) {
  return e2e::run_command(PUSH_TEST_PATH, args, {{"PUSH_TEST_BUILD_DIR", PUSH_TEST_BUILD_DIR}});
}

// A one-row posture: period, an unused field, 21 pulse counts, four letters.
std::string posture_file(const std::string &pulses) {
  std::string path = e2e::temp_dir() + "/posture.csv";
  e2e::write_file(path, "10,0," + pulses + ", R ,R ,R,R\n");
  return path;
}

const std::string kZero = "0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0";

TEST(PushTest, BadArgumentsAreRefusedWithOneLine) {
  const std::string file = posture_file(kZero);
  struct Case {
    std::vector<std::string> args;
    const char *says;
  };
  const Case cases[] = {
      {{}, "usage: tools/push-test"},
      {{"--steps", "0", file}, "--steps must be a whole number from 1 to 20"},
      {{"--steps", "999999999999999999999", file}, "--steps must be a whole number"},
      {{"--moments", "x", file}, "--moments must be a whole number from 1 to 20"},
      {{"--directions", "up", file}, "no direction 'up'"},
      {{"--colour", "red", file}, "usage: tools/push-test"},
      {{file + ".absent"}, "no such motion file"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.says);
    e2e::CommandOutput out = push_test(c.args);
    EXPECT_EQ(out.status, 2) << out.text;
    EXPECT_NE(out.text.find(c.says), std::string::npos) << out.text;
    EXPECT_EQ(e2e::count(out.text, "\n"), 1) << out.text;
  }
}

TEST(PushTest, PostureThatFallsByItselfIsRefused) {
  // Both ankles' toes well up: the robot starts leaning far forward.
  e2e::CommandOutput out =
      push_test({"--steps", "1", posture_file("0,0,0,0,-6000,0,0,0,0,0,0,0,0,0,6000,0,0,0,0,0,0")});
  EXPECT_EQ(out.status, 1) << out.text;
  EXPECT_NE(out.text.find("push-test: the robot falls without a push"), std::string::npos)
      << out.text;
}

TEST(PushTest, StandingRobotBracketsItsFallFromBehindNearTheEstimate) {
  if (e2e::under_valgrind()) GTEST_SKIP() << "a bisection of a dozen physics runs";
  e2e::CommandOutput out = push_test({"--directions", "back", "--steps", "2", posture_file(kZero)});
  ASSERT_EQ(out.status, 0) << out.text;
  std::istringstream lines(out.text);
  std::string line;
  bool found = false;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string direction;
    double survives = 0, falls = 0, estimate = 0, moment = 0;
    if (!(words >> direction >> survives >> falls >> estimate >> moment) || direction != "back")
      continue;
    found = true;
    // About 1 N s from behind throws the standing robot (docs/physics.md).
    EXPECT_GT(survives, 0.5);
    EXPECT_LT(survives, falls);
    EXPECT_LT(falls, 2.0);
    EXPECT_GT(estimate, survives / 2);
    EXPECT_LT(estimate, survives * 2);
    EXPECT_EQ(moment, 1.0);
  }
  EXPECT_TRUE(found) << out.text;
  EXPECT_NE(out.text.find("weakest moment: 1.00 s after the first command, pushed from the back"),
            std::string::npos)
      << out.text;
}

}  // namespace

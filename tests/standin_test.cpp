// The stand-in simulator, driven through the probe controller.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <time.h>

#include <cmath>
#include <cstdlib>
#include <numbers>
#include <string>
#include <utility>
#include <vector>

#include "body_model.h"
#include "e2e_harness.h"

namespace {

using Env = std::vector<std::pair<std::string, std::string>>;

// Runs the probe on `script`; by default the script's end, not the stop
// time, ends the run.
e2e::Result probe(const std::string &script, Env env = {}, long stop_ms = 1000000000) {
  return e2e::run(
      {.program = STANDIN_PROBE_PATH, .input = script, .env = std::move(env), .stop_ms = stop_ms});
}

// The probe's stdout lines.
std::vector<std::string> lines(const std::string &out) {
  std::vector<std::string> found;
  std::size_t start = 0;
  for (std::size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
    found.push_back(out.substr(start, end - start));
  }
  return found;
}

// The angles printed by the probe's `pos` commands, in order.
std::vector<float> positions(const std::string &out) {
  std::vector<float> found;
  for (const std::string &line : lines(out)) {
    std::size_t space = line.rfind(' ');
    if (line.starts_with("position ")) {
      found.push_back(e2e::to_float(std::string_view(line).substr(space + 1)));
    }
  }
  return found;
}

std::string read_trace_text(const std::string &path) {
  return e2e::read_file(path);
}

long long wall_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

const std::string kStart = "live\nget rleg_joint_3\nenable rleg_joint_3 64\n";

// Identifiers and device names

TEST(Standin, ServosThenSensorsGetIdentifiersOneToThirtyOne) {
  std::string script = "live\n";
  for (const JointInfo &info : kJoints) script += "get " + std::string(info.name) + "\n";
  for (const char *name : {"left touch", "right touch", "camera", "distance", "gps", "emitter"}) {
    script += "get " + std::string(name) + "\n";
  }
  e2e::Result r = probe(script);
  std::vector<std::string> out = lines(r.out);
  ASSERT_EQ(out.size(), 32u);
  EXPECT_EQ(out[0], "callback");
  for (int i = 0; i < kJointCount; ++i) {
    EXPECT_EQ(out[i + 1], std::string(kJoints[i].name) + " " + std::to_string(i + 1));
  }
  EXPECT_EQ(out[26], "left touch 26");
  EXPECT_EQ(out[27], "right touch 27");
  EXPECT_EQ(out[28], "camera 28");
  EXPECT_EQ(out[29], "distance 29");
  EXPECT_EQ(out[30], "gps 30");
  EXPECT_EQ(out[31], "emitter 31");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exit_code, 0);
}

TEST(Standin, NamesMatchOnlyExactly) {
  e2e::Result r =
      probe("live\nget Left touch\nget rleg_joint_3 \nget rleg_joint\nget \nget nope\n");
  EXPECT_EQ(r.out, "callback\nLeft touch 0\nrleg_joint_3  0\nrleg_joint 0\n 0\nnope 0\n");
  EXPECT_EQ(r.err, "");
}

TEST(Standin, TracedNamesAreEscapedAndCut) {
  std::string longest(200, 'x');
  e2e::Result r = probe("live\nget a\x01\\b\tc\nget " + longest + "\n");
  std::vector<e2e::TraceLine> gets = e2e::calls(r.trace, "robot_get_device");
  ASSERT_EQ(gets.size(), 2u);
  EXPECT_EQ(gets[0].device, "a\\x01\\x5cb\\x09c");
  EXPECT_EQ(gets[0].value, "0");
  EXPECT_EQ(gets[1].device, std::string(128, 'x') + "...");
}

TEST(Standin, MissingDevicesAreNotOffered) {
  e2e::Result r = probe(
      "live\nget rleg_joint_3\nget rleg_joint_2\nget emitter\nget gps\nset #9 0.5\nset #9 0.5\n",
      {{"STANDIN_MISSING", "rleg_joint_3, emitter,"}});
  EXPECT_EQ(r.out, "callback\nrleg_joint_3 0\nrleg_joint_2 10\nemitter 0\ngps 30\n");
  // Its identifier is now unknown: traced as a number, reported once.
  std::vector<e2e::TraceLine> sets = e2e::calls(r.trace, "servo_set_position");
  ASSERT_EQ(sets.size(), 2u);
  EXPECT_EQ(sets[0].device, "#9");
  EXPECT_EQ(e2e::count(r.err, "standin: servo_set_position(#9): "), 1) << r.err;
}

TEST(Standin, MissingJointsWordLeavesOutEveryServo) {
  std::string script = "live\n";
  for (const JointInfo &info : kJoints) script += "get " + std::string(info.name) + "\n";
  script += "get left touch\n";
  e2e::Result r = probe(script, {{"STANDIN_MISSING", "joints"}});
  std::vector<std::string> out = lines(r.out);
  ASSERT_EQ(out.size(), 27u);
  for (int i = 0; i < kJointCount; ++i) EXPECT_EQ(out[i + 1], std::string(kJoints[i].name) + " 0");
  EXPECT_EQ(out[26], "left touch 26");
}

// The inertial unit, gyro and accelerometer

TEST(Standin, InertialDevicesFollowTheOthersAndMayBeLeftOut) {
  struct Case {
    const char *missing;   // STANDIN_MISSING
    const char *expected;  // what the probe prints
  };
  // clang-format off
  // STANDIN_MISSING                  identifiers of inertial unit, gyro, accelerometer
  constexpr Case kCases[] = {
      {"",                              "inertial unit 32\ngyro 33\naccelerometer 34\n"},
      {"gyro",                          "inertial unit 32\ngyro 0\naccelerometer 34\n"},
      {"inertial unit, accelerometer",  "inertial unit 0\ngyro 33\naccelerometer 0\n"},
  };
  // clang-format on
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.missing);
    e2e::Result r = probe("live\nget inertial unit\nget gyro\nget accelerometer\n",
                          {{"STANDIN_MISSING", c.missing}});
    EXPECT_EQ(r.out, std::string("callback\n") + c.expected);
    EXPECT_EQ(r.err, "");
  }
}

TEST(Standin, KinematicWorldHasNoBodySoEverySensorReadsNan) {
  e2e::Result r = probe(
      "live\nget left touch\nget gps\nget inertial unit\nget gyro\nget accelerometer\n"
      "touch left touch 10\ngps gps 10\nimu inertial unit 10\ngyro gyro 10\n"
      "acc accelerometer 10\nrepeat 3 step 10\nread-touch left touch\nread-gps gps\n"
      "read-imu inertial unit\nread-gyro gyro\nread-acc accelerometer\n");
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(r.out.ends_with(
      "read-touch left touch nan\nread-gps gps nan nan nan\nread-imu inertial unit nan nan nan\n"
      "read-gyro gyro nan nan nan\nread-acc accelerometer nan nan nan\n"))
      << r.out;
}

// Servo read-back

TEST(Standin, InitialPostureIsReadBackAndHeld) {
  e2e::Result r = probe(kStart +
                            "get head_joint_1\nenable head_joint_1 64\nstep 64\n"
                            "pos rleg_joint_3\npos head_joint_1\nstep 64\npos rleg_joint_3\n",
                        {{"STANDIN_POSTURE", "rleg_joint_3=0.25, head_joint_1 = -1.5"}});
  EXPECT_EQ(positions(r.out), (std::vector<float>{0.25f, -1.5f, 0.25f}));
  EXPECT_EQ(r.err, "");
}

TEST(Standin, ReadBackIsNanUntilEnabledAndStepped) {
  e2e::Result r = probe(
      "live\nget rleg_joint_3\nget head_joint_1\npos rleg_joint_3\npos rleg_joint_3\n"
      "enable rleg_joint_3 64\npos rleg_joint_3\nstep 64\npos rleg_joint_3\npos head_joint_1\n");
  std::vector<float> read = positions(r.out);
  ASSERT_EQ(read.size(), 5u);
  EXPECT_TRUE(std::isnan(read[0]));
  EXPECT_TRUE(std::isnan(read[1]));
  EXPECT_TRUE(std::isnan(read[2]));
  EXPECT_EQ(read[3], 0.0f);
  EXPECT_TRUE(std::isnan(read[4]));
  // Once per device, whatever the reason.
  EXPECT_EQ(e2e::count(r.err, "servo_get_position(rleg_joint_3)"), 1) << r.err;
  EXPECT_EQ(e2e::count(r.err, "servo_get_position(head_joint_1)"), 1) << r.err;
}

TEST(Standin, ZeroPeriodSwitchesReadBackOff) {
  e2e::Result r = probe(kStart + "step 64\nenable rleg_joint_3 0\npos rleg_joint_3\n");
  std::vector<float> read = positions(r.out);
  ASSERT_EQ(read.size(), 1u);
  EXPECT_TRUE(std::isnan(read[0]));
}

// Servo motion

TEST(Standin, ServoMovesAtConfiguredSpeedBothWays) {
  e2e::Result r = probe(kStart +
                            "set rleg_joint_3 0.25\n"
                            "step 100\npos rleg_joint_3\nstep 100\npos rleg_joint_3\n"
                            "step 100\npos rleg_joint_3\nstep 100\npos rleg_joint_3\n"
                            "set rleg_joint_3 -0.05\n"
                            "step 100\npos rleg_joint_3\nstep 100\npos rleg_joint_3\n"
                            "step 100\npos rleg_joint_3\nstep 100\npos rleg_joint_3\n",
                        {{"STANDIN_SERVO_SPEED", "1"}});
  std::vector<float> read = positions(r.out);
  std::vector<float> expected = {0.1f, 0.2f, 0.25f, 0.25f, 0.15f, 0.05f, -0.05f, -0.05f};
  ASSERT_EQ(read.size(), expected.size());
  for (std::size_t i = 0; i < read.size(); ++i) EXPECT_NEAR(read[i], expected[i], 1e-6) << i;
}

TEST(Standin, DefaultSpeedIsSixtyDegreesInAFifthOfASecond) {
  e2e::Result r = probe(kStart +
                        "set rleg_joint_3 3\nstep 200\npos rleg_joint_3\n"
                        "step 100\npos rleg_joint_3\n");
  std::vector<float> read = positions(r.out);
  ASSERT_EQ(read.size(), 2u);
  EXPECT_NEAR(read[0], std::numbers::pi / 3, 1e-6);
  EXPECT_NEAR(read[1], std::numbers::pi / 2, 1e-6);
}

TEST(Standin, InstantServoReachesTargetInOneStep) {
  e2e::Result r = probe(kStart + "set rleg_joint_3 2.5\nstep 1\npos rleg_joint_3\n",
                        {{"STANDIN_SERVO_SPEED", "instant"}});
  EXPECT_EQ(positions(r.out), std::vector<float>{2.5f});
}

TEST(Standin, CommandActsDuringTheNextStepOnly) {
  e2e::Result r = probe(kStart +
                            "step 64\nset rleg_joint_3 1\npos rleg_joint_3\n"
                            "step 64\npos rleg_joint_3\n",
                        {{"STANDIN_SERVO_SPEED", "instant"}});
  EXPECT_EQ(positions(r.out), (std::vector<float>{0.0f, 1.0f}));
}

TEST(Standin, NonFiniteCommandIsReportedOnceAndIgnored) {
  e2e::Result r = probe(kStart +
                            "set rleg_joint_3 0.5\nset rleg_joint_3 nan\n"
                            "set rleg_joint_3 inf\nstep 64\npos rleg_joint_3\n",
                        {{"STANDIN_SERVO_SPEED", "instant"}});
  EXPECT_EQ(positions(r.out), std::vector<float>{0.5f});
  EXPECT_EQ(e2e::count(r.err, "servo_set_position(rleg_joint_3): "), 1) << r.err;
}

// Simulated time and the trace

TEST(Standin, SimulatedTimeAdvancesByExactlyEachPeriod) {
  e2e::Result r = probe("live\nstep 64\nstep 128\nstep 50\nstep 0\nstep -3\nstep 1\n");
  std::vector<e2e::TraceLine> steps = e2e::calls(r.trace, "robot_step");
  ASSERT_EQ(steps.size(), 6u);
  long expected_time[] = {0, 64, 192, 242, 242, 242};
  for (long i = 0; i < 6; ++i) {
    EXPECT_EQ(steps[i].step, i);
    EXPECT_EQ(steps[i].time_ms, expected_time[i]);
  }
  EXPECT_EQ(steps[4].value, "-3");
  EXPECT_EQ(e2e::count(r.err, "standin: robot_step("), 1) << r.err;
  std::vector<e2e::PostureRow> rows = e2e::parse_posture_log(r.posture_log);
  ASSERT_EQ(rows.size(), 6u);
  EXPECT_EQ(rows[5].time_ms, 243);
}

TEST(Standin, TraceLinesHoldStepTimeCallDeviceAndValue) {
  std::string trace = e2e::temp_dir() + "/calls.tsv";
  e2e::Result r = probe(
      "live\nget rleg_joint_3\nget left touch\nget gps\nenable rleg_joint_3 64\n"
      "touch left touch 64\ngps gps 64\nstep 128\nset rleg_joint_3 0.1\nset rleg_joint_3 1e-07\n"
      "set rleg_joint_3 -0\npos rleg_joint_3\nset #0 2\nset #200 2\nstep 64\n",
      {{"STANDIN_TRACE", trace}, {"STANDIN_SERVO_SPEED", "instant"}});
  EXPECT_EQ(read_trace_text(trace),
            "0\t0\trobot_live\t-\t-\n"
            "0\t0\trobot_get_device\trleg_joint_3\t9\n"
            "0\t0\trobot_get_device\tleft touch\t26\n"
            "0\t0\trobot_get_device\tgps\t30\n"
            "0\t0\tservo_enable_position\trleg_joint_3\t64\n"
            "0\t0\ttouch_sensor_enable\tleft touch\t64\n"
            "0\t0\tgps_enable\tgps\t64\n"
            "0\t0\trobot_step\t-\t128\n"
            "1\t128\tservo_set_position\trleg_joint_3\t0.1\n"
            "1\t128\tservo_set_position\trleg_joint_3\t1e-07\n"
            "1\t128\tservo_set_position\trleg_joint_3\t-0\n"
            "1\t128\tservo_get_position\trleg_joint_3\t0\n"
            "1\t128\tservo_set_position\tnone\t2\n"
            "1\t128\tservo_set_position\t#200\t2\n"
            "1\t128\trobot_step\t-\t64\n");
  EXPECT_EQ(r.trace.size(), 15u);  // the harness read its own override too
  EXPECT_EQ(e2e::commands_after_step(r.trace, 1),
            (std::vector<e2e::Command>{{"rleg_joint_3", 0.1f},
                                       {"rleg_joint_3", 1e-07f},
                                       {"rleg_joint_3", -0.0f},
                                       {"none", 2.0f},
                                       {"#200", 2.0f}}));
}

TEST(Standin, IdentifierZeroIsAcceptedQuietly) {
  e2e::Result r =
      probe("live\nenable #0 64\nset #0 1\npos #0\ntouch #0 64\ngps #0 64\nstep 64\npos #0\n");
  EXPECT_EQ(positions(r.out), (std::vector<float>{0.0f, 0.0f}));
  EXPECT_EQ(r.err, "");
  for (const e2e::TraceLine &line : r.trace) {
    if (line.call != "robot_live" && line.call != "robot_step") {
      EXPECT_EQ(line.device, "none");
    }
  }
}

TEST(Standin, WrongKindOrUnknownIdentifierIsReportedOncePerCall) {
  e2e::Result r = probe(
      "live\nset #26 1\nset #26 1\ntouch #9 64\ngps #26 64\nenable #99 64\nenable #99 64\n"
      "pos #31\npos #31\ntouch #27 64\ngps #30 64\n");
  EXPECT_EQ(e2e::count(r.err, "servo_set_position(left touch): left touch is not a servo"), 1);
  EXPECT_EQ(e2e::count(r.err, "touch_sensor_enable(rleg_joint_3): rleg_joint_3 is not a touch"), 1);
  EXPECT_EQ(e2e::count(r.err, "gps_enable(left touch): left touch is not a GPS"), 1);
  EXPECT_EQ(e2e::count(r.err, "servo_enable_position(#99): the robot has no device"), 1);
  EXPECT_EQ(e2e::count(r.err, "servo_get_position(emitter)"), 1);
  EXPECT_EQ(e2e::count(r.err, "\n"), 5) << r.err;
  std::vector<float> read = positions(r.out);
  ASSERT_EQ(read.size(), 2u);
  EXPECT_TRUE(std::isnan(read[0]));
}

// Stop time and the end of the process

TEST(Standin, StopTimeEndsWithStatusZeroAndEverythingWritten) {
  e2e::Result r = probe("live\nsay before\nrepeat 10 step 64\nsay after\n", {}, 200);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "callback\nbefore\n");  // flushed, though stdout is a pipe
  ASSERT_GE(r.trace.size(), 2u);
  const e2e::TraceLine &last = r.trace.back();
  const e2e::TraceLine &before = r.trace[r.trace.size() - 2];
  EXPECT_EQ(before.call, "robot_step");
  EXPECT_EQ(before.step, 4);
  EXPECT_EQ(before.time_ms, 256);
  EXPECT_EQ(last.call, "stop");
  EXPECT_EQ(last.step, 4);
  EXPECT_EQ(last.time_ms, 256);
  EXPECT_EQ(last.device, "-");
  EXPECT_EQ(last.value, "0");
  EXPECT_EQ(e2e::parse_posture_log(r.posture_log).size(), 4u);
}

TEST(Standin, StopTimeZeroEndsAtTheFirstStep) {
  e2e::Result r = probe("live\nstep 128\nsay after\n", {{"STANDIN_STOP_MS", "0"}});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "callback\n");
  ASSERT_EQ(r.trace.size(), 3u);
  EXPECT_EQ(r.trace[2].call, "stop");
  EXPECT_EQ(r.posture_log.find('\n'), r.posture_log.size() - 1);  // header only
}

TEST(Standin, TermSignalEndsRecordedRunAtTheNextStep) {
  // A controller that steps forever ends cleanly on SIGTERM, with no stop time.
  e2e::Session session({.program = STANDIN_PROBE_PATH});
  session.write("live\nsay going\nflush\nforever step 64\n");
  ASSERT_TRUE(session.wait_for_output("going\n"));
  ASSERT_TRUE(session.wait_for_step(3));
  e2e::Result r = session.stop();
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.signal, 0);
  ASSERT_GE(r.trace.size(), 2u);
  EXPECT_EQ(r.trace.back().call, "stop");
  EXPECT_EQ(r.trace[r.trace.size() - 2].call, "robot_step");
  // The log holds one row per completed step, no half step.
  EXPECT_EQ(static_cast<long>(e2e::parse_posture_log(r.posture_log).size()), r.trace.back().step);
}

TEST(Standin, TermSignalBeforeAnyLibraryCallStillStopsAtFirstStep) {
  e2e::Session session({.program = STANDIN_PROBE_PATH});
  session.write("say waiting\nflush\n");
  ASSERT_TRUE(session.wait_for_output("waiting\n"));
  // The signal lands before robot_live; the run ends at its first step.
  e2e::Result r = [&] {
    session.write("live\nforever step 64\n");
    return session.stop();
  }();
  EXPECT_EQ(r.exit_code, 0);
  ASSERT_FALSE(r.trace.empty());
  EXPECT_EQ(r.trace.back().call, "stop");
}

TEST(Standin, ReturnFromMainWritesTheWholeTrace) {
  // Far more than one buffer of trace, and no stop time reached.
  e2e::Result r = probe(kStart +
                        "repeat 3000 set rleg_joint_3 0.123456\nstep 64\n"
                        "repeat 3000 set rleg_joint_3 0.5\n");
  EXPECT_EQ(r.exit_code, 0);
  ASSERT_EQ(r.trace.size(), 3u + 3000u + 1u + 3000u);
  EXPECT_EQ(r.trace.back().step, 1);
  EXPECT_EQ(r.trace.back().value, "0.5");
  EXPECT_EQ(e2e::parse_posture_log(r.posture_log).size(), 1u);
}

TEST(Standin, PostureLogHasHeaderThenOneRowPerStep) {
  e2e::Result r = probe(kStart + "set rleg_joint_3 1\nstep 64\nstep 32\n",
                        {{"STANDIN_SERVO_SPEED", "instant"},
                         {"STANDIN_POSTURE", "body_joint_1=0.5,head_joint_1=-0.25"}});
  std::string header = "time_ms";
  for (const JointInfo &info : kJoints) header += "," + std::string(info.name);
  header += ",gps_x,gps_y,gps_z,tilt,left_touch,right_touch,yaw,com_x,com_y,cop_x,cop_y";
  ASSERT_TRUE(r.posture_log.starts_with(header + "\n")) << r.posture_log;
  std::vector<e2e::PostureRow> rows = e2e::parse_posture_log(r.posture_log);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].time_ms, 64);
  EXPECT_EQ(rows[1].time_ms, 96);
  std::vector<float> expected(kJointCount, 0.0f);
  expected[0] = 0.5f;
  expected[8] = 1.0f;
  expected[24] = -0.25f;
  EXPECT_EQ(rows[0].rad, expected);
  EXPECT_EQ(rows[1].rad, expected);
}

// Platform configuration

TEST(Standin, BadSettingsAreReportedOnceAndIgnored) {
  e2e::Result r = probe(kStart +
                            "repeat 3 pos rleg_joint_3\nget rleg_joint_2\n"
                            "enable rleg_joint_2 64\nset rleg_joint_3 3\nrepeat 2 step 50\n"
                            "pos rleg_joint_3\npos rleg_joint_2\n",
                        {{"STANDIN_PACE", "zippy"},
                         {"STANDIN_SERVO_SPEED", "-1"},
                         {"STANDIN_STOP_MS", "soon"},
                         {"STANDIN_MISSING", "rleg_joint_3,nosuch"},
                         {"STANDIN_POSTURE", "rleg_joint_2=0.5,rleg_joint_4=abc,left touch=1,=2"}});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(e2e::count(r.err, "standin: STANDIN_PACE=\"zippy\""), 1) << r.err;
  EXPECT_EQ(e2e::count(r.err, "standin: STANDIN_SERVO_SPEED=\"-1\""), 1);
  EXPECT_EQ(e2e::count(r.err, "standin: STANDIN_STOP_MS=\"soon\""), 1);
  EXPECT_EQ(e2e::count(r.err, "standin: STANDIN_MISSING: no device is named \"nosuch\""), 1);
  EXPECT_EQ(e2e::count(r.err, "standin: STANDIN_POSTURE: \"rleg_joint_4=abc\""), 1);
  EXPECT_EQ(e2e::count(r.err, "standin: STANDIN_POSTURE: no servo is named \"left touch\""), 1);
  EXPECT_EQ(e2e::count(r.err, "standin: STANDIN_POSTURE: no servo is named \"\""), 1);
  EXPECT_EQ(e2e::count(r.err, "\n"), 7) << r.err;
  // The good parts still apply: rleg_joint_3 left out, rleg_joint_2 at 0.5.
  EXPECT_EQ(r.out,
            "callback\nrleg_joint_3 0\nposition rleg_joint_3 0\nposition rleg_joint_3 0\n"
            "position rleg_joint_3 0\nrleg_joint_2 10\nposition rleg_joint_3 0\n"
            "position rleg_joint_2 0.5\n");
}

TEST(Standin, BadSpeedFallsBackToDefaultSpeed) {
  e2e::Result r = probe(kStart + "set rleg_joint_3 3\nstep 200\npos rleg_joint_3\n",
                        {{"STANDIN_SERVO_SPEED", "fast"}});
  std::vector<float> read = positions(r.out);
  ASSERT_EQ(read.size(), 1u);
  EXPECT_NEAR(read[0], std::numbers::pi / 3, 1e-6);
  EXPECT_EQ(e2e::count(r.err, "STANDIN_SERVO_SPEED"), 1);
}

TEST(Standin, UnwritableTracePathIsReportedAndRunContinues) {
  e2e::Result r = probe("live\nstep 64\nsay done\n",
                        {{"STANDIN_TRACE", e2e::temp_dir() + "/no/such/dir/trace.tsv"}});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "callback\ndone\n");
  EXPECT_EQ(e2e::count(r.err, "standin: STANDIN_TRACE: cannot create"), 1) << r.err;
}

TEST(Standin, PacedRunTakesAtLeastTheScaledSimulatedTime) {
  // A lower bound only: 640 ms of simulated time at ten times real time.
  long long start = wall_ms();
  e2e::Result r = probe("live\nrepeat 10 step 64\n", {{"STANDIN_PACE", "10"}});
  EXPECT_GE(wall_ms() - start, 64);
  EXPECT_EQ(r.err, "");
}

// Who may call

TEST(Standin, RobotLiveRunsItsCallbackEachTime) {
  e2e::Result r = probe("live\nlive\nlive-null\nlive-null\n");
  EXPECT_EQ(r.out, "callback\ncallback\n");
  EXPECT_EQ(e2e::calls(r.trace, "robot_live").size(), 4u);
  EXPECT_EQ(e2e::count(r.err, "standin: robot_live called without a callback"), 1) << r.err;
}

TEST(Standin, CallBeforeRobotLiveIsReportedAndIgnored) {
  e2e::Result r = probe("get rleg_joint_3\nget rleg_joint_3\nstep 64\nlive\nget rleg_joint_3\n");
  EXPECT_EQ(r.out, "rleg_joint_3 0\nrleg_joint_3 0\ncallback\nrleg_joint_3 9\n");
  EXPECT_EQ(
      e2e::count(r.err, "standin: controller library called before robot_live (robot_get_device)"),
      1)
      << r.err;
  EXPECT_EQ(e2e::count(r.err, "(robot_step)"), 1);
  EXPECT_EQ(e2e::steps(r.trace), 0);
}

TEST(Standin, CallFromSecondThreadIsReportedAndIgnored) {
  e2e::Result r = probe(kStart +
                            "step 64\nthread set rleg_joint_3 1\nthread set rleg_joint_3 1\n"
                            "thread step 64\nthread live\nstep 64\npos rleg_joint_3\n",
                        {{"STANDIN_SERVO_SPEED", "instant"}});
  EXPECT_EQ(positions(r.out), std::vector<float>{0.0f});
  EXPECT_EQ(e2e::count(r.err,
                       "standin: controller library called from a second thread "
                       "(servo_set_position)\n"),
            1)
      << r.err;
  EXPECT_EQ(e2e::count(r.err, "(robot_step)\n"), 1);
  EXPECT_EQ(e2e::count(r.err, "(robot_live)\n"), 1);
  EXPECT_EQ(e2e::steps(r.trace), 2);
  EXPECT_EQ(e2e::calls(r.trace, "servo_set_position").size(), 0u);
}

TEST(Standin, SecondThreadRacingTheLoopIsRefused) {
  e2e::Result r = probe(kStart +
                            "background repeat 2000 set rleg_joint_3 1\n"
                            "repeat 2000 step 1\njoin\nstep 1\npos rleg_joint_3\n",
                        {{"STANDIN_SERVO_SPEED", "instant"}});
  EXPECT_EQ(positions(r.out), std::vector<float>{0.0f});
  EXPECT_EQ(r.err,
            "standin: controller library called from a second thread (servo_set_position)\n");
  EXPECT_EQ(e2e::steps(r.trace), 2001);
}

TEST(Standin, ExitFromAnotherThreadLeavesCompleteTraceAndLog) {
  // The loop never ends by itself: only the other thread's exit stops it.
  e2e::Result r = probe(kStart + "background exit\nforever step 1\n");
  EXPECT_EQ(r.exit_code, 0);
  ASSERT_GE(r.trace.size(), 3u);  // every line parsed whole
  std::vector<e2e::PostureRow> rows = e2e::parse_posture_log(r.posture_log);
  EXPECT_TRUE(r.posture_log.empty() || r.posture_log.back() == '\n');
  if (!rows.empty()) {
    EXPECT_EQ(rows.back().time_ms, static_cast<long>(rows.size()));
  }
}

TEST(Standin, ThreadThatNeverWaitsIsToldOnceAndTheStepsGoOn) {
  // A step waits for the program's other threads to block; one that
  // computes for ever is given up on after a second of its own time.
  e2e::Result r = probe(kStart + "background forever flush\nforever step 64\n", {}, 640);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(e2e::count(r.err, "of the program kept running through a step for "), 1) << r.err;
  EXPECT_NE(r.err.find(" ms of its own time; the steps no longer wait for it\n"), std::string::npos)
      << r.err;
  EXPECT_GE(e2e::steps(r.trace), 10) << "the steps went on to the stop time";
}

// The harness itself

TEST(Standin, SessionDrivesProgramStepByStep) {
  e2e::Session session({.program = STANDIN_PROBE_PATH,
                        .env = {{"STANDIN_SERVO_SPEED", "instant"}},
                        .stop_ms = 1000});
  session.write(kStart + "say ready\nflush\n");
  ASSERT_TRUE(session.wait_for_output("ready\n"));
  session.write("set rleg_joint_3 0.75\nstep 64\n");
  ASSERT_TRUE(session.wait_for_step(1));
  session.write("pos rleg_joint_3\nflush\n");
  ASSERT_TRUE(session.wait_for_output("position rleg_joint_3 0.75\n"));
  e2e::Result r = session.finish();
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(e2e::steps(r.trace), 1);
}

TEST(Standin, LargeInputAndOutputDoNotDeadlock) {
  std::string line = "say " + std::string(200, 'y') + "\n";
  std::string script = "live\n";
  for (int i = 0; i < 5000; ++i) script += line;
  e2e::Result r = probe(script);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(e2e::count(r.out, "\n"), 5001);
}

TEST(Standin, ProgramThatCannotStartFailsClearly) {
  // valgrind, tracing children, runs the missing program itself and exits 127.
  if (e2e::under_valgrind()) GTEST_SKIP() << "under valgrind";
  // The harness reports it as a test failure; here that is expected.
  testing::TestPartResultArray failures;
  e2e::Result r;
  {
    testing::ScopedFakeTestPartResultReporter reporter(
        testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &failures);
    r = e2e::run({.program = e2e::temp_dir() + "/nothing", .stop_ms = 10});
  }
  EXPECT_EQ(r.exit_code, -1);
  ASSERT_EQ(failures.size(), 1);
  EXPECT_NE(std::string(failures.GetTestPartResult(0).message()).find("cannot start"),
            std::string::npos);
}

}  // namespace

TEST(Standin, PostureBeyondTheFloatRangeIsRefusedAndZeroUsed) {
  const std::vector<std::pair<std::string, float>> cases = {
      {"1e39", 0.0f}, {"-3.5e38", 0.0f}, {"3.4e38", 3.4e38f}};
  for (const auto &[value, held] : cases) {
    const std::string item = "rleg_joint_3=" + value;
    e2e::Result r = probe(kStart + "step 64\npos rleg_joint_3\n", {{"STANDIN_POSTURE", item}});
    EXPECT_EQ(r.out, "callback\nrleg_joint_3 9\nposition rleg_joint_3 " +
                         std::string(held == 0.0f ? "0" : "3.4e+38") + "\n");
    EXPECT_EQ(r.err, held == 0.0f ? "standin: STANDIN_POSTURE: \"" + item +
                                        "\" is beyond the float range; ignored\n"
                                  : "");
  }
}

// motion_compose: the interpolation and the mirror as units, broken scripts
// through the program, and the user's path from pose_tuner's postures to a
// motion that motion_player plays.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "body_model.h"
#include "e2e_harness.h"
#include "motion_check_lib.h"
#include "motion_compose_lib.h"

namespace {

// Column (0..20) of a device name.
int column(const char *name) {
  for (int c = 0; c < kNumberedJoints; ++c)
    if (std::string(kJoints[kColumnOrder[c]].name) == name) return c;
  return -1;
}

ColumnAngles posture(std::initializer_list<std::pair<const char *, double>> joints) {
  ColumnAngles p{};
  for (const auto &[name, rad] : joints) p[column(name)] = rad;
  return p;
}

std::vector<MotionRow> parse_rows(const std::string &text) {
  std::vector<MotionRow> rows;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    MotionRow row;
    EXPECT_EQ(parse_csv_row(text.substr(at, end - at).c_str(), row), kRowFields);
    rows.push_back(row);
    at = end + 1;
  }
  return rows;
}

// A tuner-style posture file: one row, no line end.
std::string posture_row(const ColumnAngles &angles) {
  const PulseCounts counts = counts_of(angles);
  std::string text = "1,2";
  for (int c = 0; c < kNumberedJoints; ++c) text += "," + std::to_string(counts[kColumnOrder[c]]);
  return text + ", R ,R ,R,R";
}

TEST(MotionCompose, MinimumJerkRestsAtKeyframesArrivesExactlyAndNeverOvershoots) {
  EXPECT_EQ(min_jerk(0.0), 0.0);
  EXPECT_EQ(min_jerk(1.0), 1.0);
  EXPECT_DOUBLE_EQ(min_jerk(0.5), 0.5);
  const int knee = column("rleg_joint_4"), arm = column("rarm_joint_2");
  KeyChain chain;
  chain.add(0, ColumnAngles{});
  chain.add(700, posture({{"rleg_joint_4", 1.2}, {"rarm_joint_2", -0.3}}));
  chain.add(1000, posture({{"rleg_joint_4", 0.4}, {"rarm_joint_2", -0.3}}));
  chain.solve(false);
  for (std::size_t k = 0; k < chain.size(); ++k) {
    const double t = static_cast<double>(chain.time(k));
    EXPECT_EQ(chain.position(t), chain.posture(k)) << "keyframe " << k;
    for (double v : chain.velocity(t)) EXPECT_EQ(v, 0.0) << "keyframe " << k;
    // Acceleration is 0 too: the velocity grows with the square of the time.
    const double near = k == 0 ? t + 1.0 : t - 1.0;
    EXPECT_LT(std::fabs(chain.velocity(near)[knee]), 0.01) << "keyframe " << k;
  }
  // Each joint moves one way only within a move, and stays between its ends.
  double before = 0.0;
  for (double t = 0; t <= 1000; t += 0.5) {
    const ColumnAngles p = chain.position(t);
    if (t <= 700) {
      EXPECT_GE(p[knee], before) << t;
      EXPECT_LE(p[knee], 1.2) << t;
    } else {
      EXPECT_LE(p[knee], before) << t;
      EXPECT_GE(p[knee], 0.4) << t;
      EXPECT_EQ(p[arm], -0.3) << t;
    }
    before = p[knee];
  }
  // The peak speed is 15/8 of the mean.
  EXPECT_NEAR(chain.velocity(350)[knee], 1.875 * 1.2 / 0.7, 1e-9);
}

TEST(MotionCompose, ThroughSplinePassesInnerKeyframesWithContinuousVelocity) {
  const int knee = column("rleg_joint_4");
  KeyChain chain;
  const std::vector<std::pair<long, double>> keys = {{0, 0.0},    {500, 0.5},  {800, 1.0},
                                                     {1500, 1.2}, {2000, 1.2}, {2600, 0.0}};
  for (const auto &[t, rad] : keys) chain.add(t, posture({{"rleg_joint_4", rad}}));
  chain.solve(true);
  for (std::size_t k = 0; k < keys.size(); ++k) {
    const double t = static_cast<double>(keys[k].first);
    EXPECT_EQ(chain.position(t)[knee], keys[k].second) << "keyframe " << k;
    if (k == 0 || k + 1 == keys.size()) {
      EXPECT_EQ(chain.velocity(t)[knee], 0.0) << "ends at rest";
      continue;
    }
    // The same velocity on both sides of an inner keyframe.
    EXPECT_NEAR(chain.velocity(t - 1e-6)[knee], chain.velocity(t + 1e-6)[knee], 1e-6) << k;
  }
  // Rising keyframes are passed without stopping; where the motion turns or
  // holds, it stops.
  EXPECT_GT(chain.velocity(500)[knee], 0.5);
  EXPECT_GT(chain.velocity(800)[knee], 0.3);
  EXPECT_EQ(chain.velocity(1500)[knee], 0.0);
  // No overshoot: between two keyframes the joint stays between their angles.
  for (std::size_t k = 1; k < keys.size(); ++k) {
    const double lo = std::min(keys[k - 1].second, keys[k].second);
    const double hi = std::max(keys[k - 1].second, keys[k].second);
    for (long t = keys[k - 1].first; t <= keys[k].first; ++t) {
      const double at = chain.position(static_cast<double>(t))[knee];
      EXPECT_GE(at, lo - 1e-12) << t;
      EXPECT_LE(at, hi + 1e-12) << t;
    }
  }
}

TEST(MotionCompose, MirrorFollowsTheJointConventionAndTwiceGivesTheCountsBack) {
  // A right-arm wave becomes a left-arm wave: roll and turn change sign, the
  // shoulder pitch and the elbow keep it; the body joint stays.
  struct Case {
    const char *from;
    double rad;
    const char *to;
    double mirrored;
  };
  const Case cases[] = {
      {"rarm_joint_1", 1.3, "larm_joint_1", 1.3},    {"rarm_joint_2", -1.0, "larm_joint_2", 1.0},
      {"rarm_joint_3", 0.45, "larm_joint_3", -0.45}, {"rarm_joint_4", -1.1, "larm_joint_4", -1.1},
      {"rleg_joint_1", -0.3, "lleg_joint_1", 0.3},   {"lleg_joint_2", 0.2, "rleg_joint_2", -0.2},
      {"rleg_joint_3", -0.6, "lleg_joint_3", -0.6},  {"lleg_joint_4", 1.2, "rleg_joint_4", 1.2},
      {"rleg_joint_5", -0.6, "lleg_joint_5", -0.6},  {"rleg_joint_6", 0.1, "lleg_joint_6", -0.1},
      {"body_joint_1", 0.9, "body_joint_1", 0.9},
  };
  for (const Case &c : cases) {
    const PulseCounts m = mirror_counts(counts_of(posture({{c.from, c.rad}})));
    const ColumnAngles back = column_angles(m);
    EXPECT_NEAR(back[column(c.to)], c.mirrored, 0.0001) << c.from;
    for (int k = 0; k < kNumberedJoints; ++k)
      EXPECT_EQ(back[k], k == column(c.to) ? back[k] : 0.0) << c.from << " moved column " << k;
  }
  // Any counts, of either sign and at the ends of the limits, come back.
  for (int seed = 0; seed < 200; ++seed) {
    PulseCounts counts{};
    for (int c = 0; c < kNumberedJoints; ++c) {
      const PulseRange r = pulse_limits(c + 1);
      const long span = static_cast<long>(r.hi) - r.lo;
      counts[kColumnOrder[c]] = seed == 0 ? r.lo
                                : seed == 1
                                    ? r.hi
                                    : r.lo + static_cast<int>((seed * 7919L * (c + 3)) % span);
    }
    EXPECT_EQ(mirror_counts(mirror_counts(counts)), counts) << seed;
  }
}

TEST(MotionCompose, ResampleRetimesAtTheSamePeriodAndKeepsTheEnds) {
  std::vector<PulseCounts> rows;
  for (int r = 0; r <= 100; ++r) rows.push_back(counts_of(posture({{"body_joint_1", r * 0.01}})));
  EXPECT_EQ(resample(rows, 10, 10, 1.0), rows);
  const std::vector<PulseCounts> fast = resample(rows, 10, 10, 2.0);
  ASSERT_EQ(fast.size(), 51u);
  for (std::size_t r = 0; r < fast.size(); ++r) EXPECT_EQ(fast[r], rows[2 * r]);
  const std::vector<PulseCounts> slow = resample(rows, 10, 10, 0.5);
  ASSERT_EQ(slow.size(), 201u);
  EXPECT_NEAR(column_angles(slow[101])[column("body_joint_1")], 0.505, 1e-4);
  EXPECT_EQ(slow.back(), rows.back());
  // A length that the new rows do not meet still ends on the last row.
  const std::vector<PulseCounts> odd = resample(rows, 10, 10, 3.0);
  EXPECT_EQ(odd.back(), rows.back());
  EXPECT_EQ(odd.size(), 35u);
}

// motion_compose run in a folder of its own.
struct Compose {
  std::string dir = e2e::temp_dir();
  void file(const std::string &name, const std::string &text) {
    e2e::write_file(dir + "/" + name, text);
  }
  e2e::CommandOutput run(std::vector<std::string> args) {
    return e2e::run_command(MOTION_COMPOSE_PATH, args);
  }
  std::string path(const std::string &name) const { return dir + "/" + name; }
};

TEST(MotionCompose, BrokenScriptsNameTheirLineAndWriteNothing) {
  struct Case {
    const char *fault;
    std::string script;
    long line;
    int status;
  };
  const std::string pose = posture_row(posture({{"rarm_joint_1", 0.8}}));
  const Case cases[] = {
      {"missing posture", "zero\nhold 100\nnone.csv 500\n", 3, 2},
      {"unparsable posture", "zero\n\n  broken.csv 500\n", 3, 2},
      {"empty posture", "empty.csv\nzero 500\n", 1, 2},
      {"posture beyond the limits", "zero\nwide.csv 500\n", 2, 2},
      {"joint beyond the limits", "zero\n# knee\n04=-0.5 500\n", 3, 2},
      {"joint beyond any pulse count", "zero\n04=1e308 500\n", 2, 2},
      {"unknown joint", "zero\nrleg_joint_9=0.1 500\n", 2, 2},
      {"joint without a column", "zero\nhead_joint_1=0.1 500\n", 2, 2},
      {"one-digit joint number", "zero\n4=0.1 500\n", 2, 2},
      {"bad angle", "zero\n04=0.1x 500\n", 2, 2},
      {"duration on the first line", "pose.csv 500\nzero 500\n", 1, 2},
      {"no duration", "zero\npose.csv\n", 2, 2},
      {"zero duration", "zero\nhold 0\n", 2, 2},
      {"motion longer than ten minutes", "zero\nhold 600000\nhold 10\nhold 10\n", 3, 2},
      {"duration off the row period", "zero\npose.csv 505\n", 2, 2},
      {"duration not a number", "zero\npose.csv 1s\n", 2, 2},
      {"hold first", "hold\n", 1, 2},
      {"word after the duration", "zero\npose.csv 500 600\n", 2, 2},
      {"broken joined motion", "zero\nbroken.csv play 500\n", 2, 2},
      {"too fast a move", "zero\npose.csv 500\n04=1.5 100 # the knee\nzero 900\n", 3, 1},
      {"too fast a jump into a motion", "pose.csv\nzero 500\nmotion.csv play\n", 3, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.fault);
    Compose compose;
    compose.file("pose.csv", pose);
    compose.file("wide.csv", posture_row(posture({{"larm_joint_2", -0.5}})));
    compose.file("broken.csv", "1,2,0,0,x" + pose.substr(9));
    compose.file("empty.csv", "");
    compose.file("motion.csv", "10,2" + pose.substr(3) + "\n10,2" + pose.substr(3) + "\n");
    compose.file("old.csv", "old\n");
    compose.file("s.keys", c.script);
    const e2e::CommandOutput out =
        compose.run({compose.path("s.keys"), "-o", compose.path("old.csv")});
    EXPECT_EQ(out.status, c.status) << out.text;
    // One finding, on the faulty line.
    const std::string script = compose.path("s.keys") + ":";
    EXPECT_EQ(e2e::count(out.text, script), 1) << out.text;
    EXPECT_EQ(e2e::count(out.text, script + std::to_string(c.line) + ":"), 1) << out.text;
    if (c.status == 2) {
      EXPECT_EQ(e2e::read_file(compose.path("old.csv")), "old\n");
    } else {
      EXPECT_NE(e2e::read_file(compose.path("old.csv")), "old\n");
    }
  }
}

TEST(MotionCompose, AngleBeyondTheServosRangeIsToldAsTyped) {
  Compose compose;
  for (const char *angle : {"1e308", "-1e308", "4e8"}) {
    SCOPED_TRACE(angle);
    compose.file("s.keys", "zero\n04=" + std::string(angle) + " 500\n");
    const e2e::CommandOutput out = compose.run({compose.path("s.keys")});
    EXPECT_EQ(out.status, 2);
    EXPECT_EQ(out.text,
              compose.path("s.keys") + ":2:1: error: joint 04 (rleg_joint_4) at " + angle +
                  " rad: the angle is beyond the servo's range (its limits are "
                  "-0.017453 to 2.26893 rad)\nmotion_compose: 1 error: nothing written\n");
  }
}

TEST(MotionCompose, DashIsStandardOutput) {
  Compose compose;
  compose.file("s.keys", "zero\n04=0.5 500\n");
  const e2e::CommandOutput plain = compose.run({compose.path("s.keys")});
  ASSERT_EQ(plain.status, 0) << plain.text;
  const e2e::CommandOutput dash = e2e::run_command(
      "/bin/sh", {"-c", "cd \"$1\" && \"$0\" s.keys -o -", MOTION_COMPOSE_PATH, compose.dir});
  EXPECT_EQ(dash.status, 0);
  EXPECT_EQ(dash.text, plain.text);
  struct stat file {};
  EXPECT_NE(stat(compose.path("-").c_str(), &file), 0);
}

TEST(MotionTools, OutputThatCannotBeWrittenFailsInOneLine) {
  Compose compose;
  compose.file("s.keys", "zero\n04=0.5 500\n");
  struct Case {
    std::vector<std::string> command;  // program, then its arguments
    int status;
    std::string message;
  };
  // One row fits the buffer and fails only when flushed; many fail on the way.
  const Case cases[] = {
      // command, status, message
      {{MOTION_GEN_PATH, "wave", "1000", "1"}, 1, "motion_gen: cannot write the output"},
      {{MOTION_GEN_PATH, "wave", "10", "100"}, 1, "motion_gen: cannot write the output"},
      {{MOTION_COMPOSE_PATH, compose.path("s.keys")},
       2,
       "motion_compose: cannot write the rows to stdout"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.command[1]);
    std::vector<std::string> args = {"-c", "\"$0\" \"$@\" >/dev/full"};
    args.insert(args.end(), c.command.begin(), c.command.end());
    const e2e::CommandOutput out = e2e::run_command("/bin/sh", args);
    EXPECT_EQ(out.status, c.status);
    EXPECT_EQ(e2e::count(out.text, "\n"), 1) << out.text;
    EXPECT_TRUE(out.text.starts_with(c.message)) << out.text;
  }
}

TEST(MotionCompose, OutputOntoItsOwnScriptIsRefusedWhileAMotionMayBeRewrittenInPlace) {
  Compose compose;
  const std::string script = "zero\n04=0.5 500\n";
  compose.file("s.keys", script);
  // Another name for the same file.
  const e2e::CommandOutput refused =
      compose.run({compose.path("s.keys"), "-o", compose.path(".") + "/s.keys"});
  EXPECT_EQ(refused.status, 2) << refused.text;
  EXPECT_EQ(e2e::count(refused.text, "\n"), 1) << refused.text;
  EXPECT_EQ(e2e::read_file(compose.path("s.keys")), script);

  ASSERT_EQ(compose.run({compose.path("s.keys"), "-o", compose.path("m.csv")}).status, 0);
  const std::string rows = e2e::read_file(compose.path("m.csv"));
  const e2e::CommandOutput reversed =
      compose.run({compose.path("m.csv"), "--reverse", "-o", compose.path("m.csv")});
  EXPECT_EQ(reversed.status, 0) << reversed.text;
  EXPECT_EQ(e2e::read_file(compose.path("m.csv")).size(), rows.size());
  EXPECT_NE(e2e::read_file(compose.path("m.csv")), rows);
}

TEST(MotionCompose, SpeedWarningSaysWhatDurationWouldDo) {
  Compose compose;
  compose.file("kick.keys", "zero\n04=1.5 200\n");
  const e2e::CommandOutput out = compose.run({compose.path("kick.keys")});
  EXPECT_EQ(out.status, 1);
  EXPECT_NE(out.text.find("kick.keys:2:1: warning: joint 04 (rleg_joint_4) needs 14.0 rad/s "
                          "between keyframes 1 and 2, above 5.236 rad/s; give it at least 540 ms"),
            std::string::npos)
      << out.text;
  // The advice holds: at 540 ms the move is clean.
  compose.file("kick.keys", "zero\n04=1.5 540\n");
  EXPECT_EQ(compose.run({compose.path("kick.keys"), "-o", compose.path("kick.csv")}).status, 0);
  // --max-speed moves the threshold, as in motion_check.
  compose.file("kick.keys", "zero\n04=1.5 200\n");
  EXPECT_EQ(compose.run({compose.path("kick.keys"), "--max-speed", "15"}).status, 0);
}

TEST(MotionCompose, RowsAreWrittenAsTheTunerWritesThemAndCheckClean) {
  Compose compose;
  compose.file("up.csv", posture_row(posture({{"rleg_joint_4", 0.6}, {"lleg_joint_4", 0.6}})));
  compose.file("s.keys", "up.csv\nzero 400\nhold 100\n01=-0.2 300\nup.csv 500\n");
  ASSERT_EQ(
      compose.run({compose.path("s.keys"), "--period", "5", "-o", compose.path("o.csv")}).status,
      0);
  const std::string text = e2e::read_file(compose.path("o.csv"));
  EXPECT_EQ(text.substr(0, 4), "5,2,");
  const std::vector<MotionRow> rows = parse_rows(text);
  ASSERT_EQ(rows.size(), 1u + 1300 / 5);
  for (const MotionRow &row : rows) EXPECT_EQ(row.tail, (std::array<char, 4>{'R', 'R', 'R', 'R'}));
  // Keyframes land on their rows with the posture's counts, negative
  // calibrations included (lleg_joint_4 counts -209 per degree).
  MotionRow up;
  parse_csv_row(e2e::read_file(compose.path("up.csv")).c_str(), up);
  EXPECT_EQ(rows.front().pulses, up.pulses);
  EXPECT_EQ(rows.back().pulses, up.pulses);
  EXPECT_LT(up.pulses[4], 0);
  EXPECT_EQ(rows[80].pulses, PulseCounts{});
  EXPECT_EQ(rows[100].pulses, PulseCounts{});
  EXPECT_EQ(rows[160].pulses[7], count_of(-0.2, 7));
  const FileSummary s = check_motion_file(compose.path("o.csv").c_str(), CheckOptions{},
                                          [](const Finding &f) { ADD_FAILURE() << f.message; });
  EXPECT_EQ(s.errors + s.warnings, 0);
  // Another period that does not divide 50 ms is written with a warning.
  const e2e::CommandOutput odd = compose.run({compose.path("s.keys"), "--period", "20"});
  EXPECT_EQ(odd.status, 1);
  EXPECT_NE(odd.text.find("warning: row period 20 ms does not divide 50 ms: motion_player plays 2 "
                          "rows (40 ms of the file) per 50 ms step, 25% slower than written"),
            std::string::npos)
      << odd.text;
}

TEST(MotionCompose, JoinedMotionPlaysAtItsOwnTimingAndTransformsRoundTrip) {
  Compose compose;
  const std::string wave = std::string(MOTIONS_DIR) + "/wave_10ms.csv";
  const std::vector<MotionRow> original = parse_rows(e2e::read_file(wave));
  compose.file("s.keys", "05=0.2\nzero 300\n" + wave + " play 200\nhold 100\n");
  ASSERT_EQ(compose.run({compose.path("s.keys"), "-o", compose.path("j.csv")}).status, 0);
  const std::vector<MotionRow> joined = parse_rows(e2e::read_file(compose.path("j.csv")));
  ASSERT_EQ(joined.size(), 1 + 30 + 20 + (original.size() - 1) + 10);
  for (std::size_t r = 0; r < original.size(); ++r)
    ASSERT_EQ(joined[50 + r].pulses, original[r].pulses) << "row " << r;

  // Mirrored twice, and reversed twice, the counts come back unchanged.
  for (const char *flag : {"--mirror", "--reverse"}) {
    SCOPED_TRACE(flag);
    ASSERT_EQ(compose.run({flag, wave, "-o", compose.path("once.csv")}).status, 0);
    ASSERT_EQ(compose.run({flag, compose.path("once.csv"), "-o", compose.path("twice.csv")}).status,
              0);
    const std::vector<MotionRow> once = parse_rows(e2e::read_file(compose.path("once.csv")));
    const std::vector<MotionRow> twice = parse_rows(e2e::read_file(compose.path("twice.csv")));
    ASSERT_EQ(twice.size(), original.size());
    EXPECT_NE(once[300].pulses, original[300].pulses);
    for (std::size_t r = 0; r < original.size(); ++r)
      ASSERT_EQ(twice[r].pulses, original[r].pulses) << "row " << r;
  }
  // The mirrored wave waves the left arm.
  ASSERT_EQ(compose.run({"--mirror", wave, "-o", compose.path("left.csv")}).status, 0);
  const std::vector<MotionRow> left = parse_rows(e2e::read_file(compose.path("left.csv")));
  EXPECT_EQ(left[300].pulses[19], 0);  // rarm_joint_2
  EXPECT_NEAR(pulse2rad(left[300].pulses[14], 14), -pulse2rad(original[300].pulses[19], 19), 1e-9);

  // Half as fast again: two thirds of the rows, at the same period, the
  // last row kept; too fast a wave warns.
  const e2e::CommandOutput fast =
      compose.run({"--speed", "1.5", wave, "-o", compose.path("f.csv")});
  EXPECT_EQ(fast.status, 0) << fast.text;
  EXPECT_EQ(parse_rows(e2e::read_file(compose.path("f.csv"))).size(), 801u);
  const e2e::CommandOutput faster = compose.run({"--speed", "4", wave});
  EXPECT_EQ(faster.status, 1);
  EXPECT_NE(faster.text.find("or less keeps it under"), std::string::npos) << faster.text;
}

TEST(MotionCompose, DemoScriptComposesTheBundledSalute) {
  Compose compose;
  const std::string script = std::string(MOTIONS_DIR) + "/salute/salute.keys";
  const e2e::CommandOutput out = compose.run({script, "-o", compose.path("salute.csv")});
  EXPECT_EQ(out.status, 0) << out.text;
  EXPECT_EQ(e2e::read_file(compose.path("salute.csv")),
            e2e::read_file(std::string(MOTIONS_DIR) + "/salute_10ms.csv"));
}

// A directory holding a "clear" that does nothing, for pose_tuner.
std::string quiet_clear() {
  std::string dir = e2e::temp_dir();
  e2e::write_file(dir + "/clear", "#!/bin/sh\n");
  std::filesystem::permissions(dir + "/clear", std::filesystem::perms::owner_all);
  return dir;
}

// The servo commands sent after each robot_step, by step.
std::vector<std::vector<e2e::Command>> commands_by_step(const e2e::Result &result) {
  std::vector<std::vector<e2e::Command>> steps(static_cast<std::size_t>(e2e::steps(result.trace)) +
                                               1);
  for (const e2e::TraceLine &line : e2e::calls(result.trace, "servo_set_position"))
    steps[static_cast<std::size_t>(line.step)].push_back({line.device, e2e::to_float(line.value)});
  return steps;
}

// The 21 body commands motion_player sends for a row.
std::vector<e2e::Command> row_commands(const PulseCounts &counts) {
  std::vector<e2e::Command> out;
  for (int i : kBodyOrder) out.push_back({jointNum2Text(i), narrow_angle(pulse2rad(counts[i], i))});
  return out;
}

TEST(MotionCompose, TunedPosturesComposedArePlayedOnTime) {
  const std::string dir = e2e::temp_dir();
  const char *path = std::getenv("PATH");
  e2e::Options tuner_options;
  tuner_options.program = POSE_TUNER_PATH;
  tuner_options.cwd = dir;
  tuner_options.stop_ms = 600000;
  tuner_options.env = {{"PATH", quiet_clear() + ":" + (path ? path : "/usr/bin:/bin")},
                       {"STANDIN_PACE", "20"},
                       {"STANDIN_WORLD", "kinematic"}};
  const std::string insert =
      "Insert joint number (01-21) followed by the amount of angle (rd) to add to joint\n";
  // A jog ends with this and the prompt: wait for both, or the prompt would
  // be taken for the one after the next command.
  const std::string over = "The interpolation is over\n" + insert;
  {
    // 1. Jog and save two postures.
    e2e::Session tuner(tuner_options);
    ASSERT_TRUE(tuner.wait_for_output(insert));
    auto type = [&tuner](const std::string &input, const std::string &until) {
      const std::size_t mark = tuner.out().size();
      tuner.write(input);
      ASSERT_TRUE(tuner.wait_for_output(until, mark)) << input;
    };
    type("3 0.1\n", over);
    type("1 999 a.csv\n", insert);
    type("7 -0.3\n", over);
    type("10 -0.4\n", over);
    type("1 999 b.csv\n", insert);
    EXPECT_EQ(tuner.stop().exit_code, 0);
  }
  MotionRow a, b;
  ASSERT_EQ(parse_csv_row(e2e::read_file(dir + "/a.csv").c_str(), a), kRowFields);
  ASSERT_EQ(parse_csv_row(e2e::read_file(dir + "/b.csv").c_str(), b), kRowFields);
  ASSERT_NE(b.pulses[18], 0);

  // 2. Join them: b one second after a.
  e2e::write_file(dir + "/ab.keys", "a.csv\nb.csv 1000\n");
  const e2e::CommandOutput composed =
      e2e::run_command(MOTION_COMPOSE_PATH, {dir + "/ab.keys", "-o", dir + "/ab.csv"});
  ASSERT_EQ(composed.status, 0) << composed.text;
  const std::vector<MotionRow> rows = parse_rows(e2e::read_file(dir + "/ab.csv"));
  ASSERT_EQ(rows.size(), 101u);

  // 3. Play the result.
  e2e::Options player_options;
  player_options.program = MOTION_PLAYER_PATH;
  player_options.cwd = dir;
  player_options.stop_ms = 600000;
  player_options.env = {{"STANDIN_PACE", "20"}, {"STANDIN_WORLD", "kinematic"}};
  e2e::Session player(player_options);
  player.write("ab.csv\n");
  ASSERT_TRUE(player.wait_for_output("Executing your file...\n"));
  const std::size_t mark = player.out().size();
  ASSERT_TRUE(player.wait_for_output("Give the name of the csv file: ", mark));
  const e2e::Result played = player.stop();
  EXPECT_EQ(played.exit_code, 0) << played.err;

  // 4. The first playing step sends row 6 (50 ms into the motion); b must
  // be sent 950 ms later, within one 50 ms control step.
  const std::vector<std::vector<e2e::Command>> sent = commands_by_step(played);
  const auto first_with = [&sent](const std::vector<e2e::Command> &commands) {
    for (std::size_t n = 0; n < sent.size(); ++n)
      if (sent[n] == commands) return static_cast<long>(n);
    return -1L;
  };
  const long start = first_with(row_commands(rows[5].pulses));
  const long reached = first_with(row_commands(b.pulses));
  ASSERT_GE(start, 0);
  ASSERT_GE(reached, 0);
  const long ms = (reached - start) * kPlayerStepMs + 50;
  EXPECT_LE(std::abs(ms - 1000), kPlayerStepMs) << ms;
  // Before it, b was not yet reached: the motion got there smoothly.
  EXPECT_NE(sent[reached - 1], sent[reached]);
}

}  // namespace

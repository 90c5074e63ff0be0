// robustness's parts that run nothing: the robots drawn from a seed, the
// plan and verdict files, the Wilson interval and the report made of
// verdicts; and the support a posture-log row stands on.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "posture_log.h"
#include "robustness_lib.h"

namespace {

using robustness::Plan;
using PlannedRun = robustness::Run;
using robustness::Verdict;

std::optional<robustness::Options> parse(std::vector<std::string> args, std::string *error) {
  return robustness::parse_options(args, error);
}

Plan plan_of(std::vector<std::string> args) {
  std::string error;
  args.push_back("motion.csv");
  const auto options = parse(args, &error);
  EXPECT_TRUE(options) << error;
  return options ? options->plan : Plan{};
}

int row_of(const char *name) {
  for (int s = 0; s < robustness::kSettingCount; ++s)
    if (std::string(robustness::kSettings[s].name) == name) return s;
  return -1;
}

TEST(RobustnessDraws, EachRunsRobotDependsOnTheSeedAndItsNumberOnly) {
  const Plan plan = plan_of({"--runs", "50", "--seed", "7"});
  const std::vector<PlannedRun> runs = robustness::plan_runs(plan);
  // More runs, or a setting pinned, leave the other draws as they were.
  const std::vector<PlannedRun> more =
      robustness::plan_runs(plan_of({"--runs", "80", "--seed", "7"}));
  const std::vector<PlannedRun> pinned =
      robustness::plan_runs(plan_of({"--runs", "50", "--seed", "7", "--fix", "SERVO_LATENCY=30"}));
  const std::vector<PlannedRun> other =
      robustness::plan_runs(plan_of({"--runs", "50", "--seed", "8"}));
  const int latency = row_of("SERVO_LATENCY");
  int differ = 0;
  for (int r = 0; r < 50; ++r) {
    EXPECT_EQ(runs[r].robot, more[r].robot) << r;
    for (int s = 0; s < robustness::kSettingCount; ++s) {
      if (s == latency) {
        EXPECT_EQ(pinned[r].robot[s].number[0], 30.0);
      } else {
        EXPECT_EQ(runs[r].robot[s], pinned[r].robot[s]) << r << " " << s;
      }
    }
    differ += runs[r].robot != other[r].robot;
  }
  EXPECT_EQ(differ, 50);
}

TEST(RobustnessDraws, DrawnValuesStayInTheirRangesOnTheirGridAndSpreadOverThem) {
  const Plan plan = plan_of(
      {"--runs", "400", "--set", "COM_SHIFT=-10:10,2:3", "--set", "STANDIN_SERVO_LATENCY=20:22"});
  const std::vector<PlannedRun> runs = robustness::plan_runs(plan);
  for (int s = 0; s < robustness::kSettingCount; ++s) {
    const auto &info = robustness::kSettings[s];
    for (int i = 0; i < robustness::numbers_of(info); ++i) {
      const robustness::Range range =
          plan.choices[s].range[info.shape == robustness::Shape::kPair ? i : 0];
      double low = INFINITY, high = -INFINITY;
      for (int r = 0; r < plan.runs; ++r) {
        const double v = runs[r].robot[s].number[i];
        low = std::min(low, v);
        high = std::max(high, v);
        ASSERT_GE(v, range.low) << info.name;
        ASSERT_LE(v, range.high) << info.name;
        const double steps = v * info.per_unit;
        ASSERT_NEAR(steps, std::round(steps), 1e-6) << info.name << " " << v;
      }
      // 400 draws reach within a tenth of each end.
      const double tenth = (range.high - range.low) / 10;
      EXPECT_LT(low, range.low + tenth) << info.name;
      EXPECT_GT(high, range.high - tenth) << info.name;
    }
  }
}

TEST(RobustnessDraws, EndsHoldOneSettingOffNominalAndRunOnceUnlessASeedMatters) {
  const Plan plan = plan_of(
      {"--runs", "3", "--rank-runs", "4", "--fix", "MASS_SCALE=1.05", "--fix", "FLOOR_BUMPS=1:9"});
  const std::vector<PlannedRun> runs = robustness::plan_runs(plan);
  const int mass = row_of("MASS_SCALE"), noise = row_of("SENSOR_NOISE");
  const PlannedRun &nominal = runs[3];
  ASSERT_EQ(nominal.kind, PlannedRun::Kind::kNominal);
  EXPECT_EQ(robustness::told_of(nominal.robot), "STANDIN_MASS_SCALE=1.05 STANDIN_FLOOR_BUMPS=1:9");
  std::vector<int> count(robustness::kSettingCount * 2, 0);
  for (std::size_t i = 4; i < runs.size(); ++i) {
    const PlannedRun &run = runs[i];
    const bool high = run.kind == PlannedRun::Kind::kHigh;
    ++count[run.setting * 2 + high];
    for (int s = 0; s < robustness::kSettingCount; ++s) {
      if (s != run.setting) {
        EXPECT_EQ(run.robot[s].number, nominal.robot[s].number) << i;
      }
    }
    const robustness::Range range = plan.choices[run.setting].range[0];
    EXPECT_EQ(run.robot[run.setting].number[0], high ? range.high : range.low);
  }
  for (int s = 0; s < robustness::kSettingCount; ++s) {
    SCOPED_TRACE(robustness::kSettings[s].name);
    const bool pinned = s == mass || s == row_of("FLOOR_BUMPS");
    EXPECT_EQ(count[2 * s], pinned ? 0 : 1);                       // the low end: no noise
    EXPECT_EQ(count[2 * s + 1], pinned ? 0 : s == noise ? 4 : 1);  // noise above 0: its seed
  }
}

TEST(RobustnessDraws, SettingsReachTheStandInAsItTellsThemBack) {
  Plan plan = plan_of({"--fix", "SERVO_OFFSETS=rleg_joint_5=0.01,body_joint_1=-0.0003", "--fix",
                       "COM_SHIFT=0,-2.5", "--fix", "SENSOR_NOISE=0.004:12", "--fix",
                       "FLOOR_FRICTION=0", "--set", "SERVO_LATENCY=30:30"});
  const std::vector<PlannedRun> runs = robustness::plan_runs(plan);
  const std::vector<std::string> settings = robustness::settings_of(runs.front().robot);
  // In the stand-in's order; joints by JointIndex, as it writes them.
  ASSERT_FALSE(settings.empty());
  EXPECT_EQ(settings[0], "STANDIN_SERVO_LATENCY=30");
  const std::string told = robustness::told_of(runs.front().robot);
  EXPECT_NE(told.find(" STANDIN_SERVO_OFFSETS=body_joint_1=-3e-04,rleg_joint_5=0.01 "),
            std::string::npos)
      << told;
  EXPECT_NE(told.find(" STANDIN_COM_SHIFT=0,-2.5 "), std::string::npos) << told;
  EXPECT_EQ(told.find("FLOOR_FRICTION"), std::string::npos) << told;
  EXPECT_NE(told.find(" STANDIN_SENSOR_NOISE=0.004:12"), std::string::npos) << told;
}

TEST(RobustnessFiles, PlanAndVerdictReadBackAsWritten) {
  Plan plan = plan_of({"--runs", "12", "--seed", "18446744073709551615", "--rank-runs", "0",
                       "--set", "COM_SHIFT=-3:4.5", "--fix", "SERVO_OFFSETS=lleg_joint_2=0.0125",
                       "--fix", "FLOOR_BUMPS=1.5", "--set", "SERVO_DEADBAND=0.001:0.001"});
  // A walker's arguments: one with a space, an empty one.
  plan.walker = true;
  plan.walker_args = {"--model", "/a b/robot.xml", ""};
  plan.file = "a name with spaces.csv";
  plan.motion = 0x0123456789abcdefULL;
  std::string error;
  const std::optional<Plan> back = robustness::parse_plan(robustness::plan_text(plan), &error);
  ASSERT_TRUE(back) << error;
  EXPECT_EQ(robustness::plan_text(*back), robustness::plan_text(plan));
  EXPECT_TRUE(back->walker);
  EXPECT_EQ(back->walker_args, plan.walker_args);
  EXPECT_EQ(robustness::plan_runs(*back)[11].robot, robustness::plan_runs(plan)[11].robot);
  EXPECT_FALSE(robustness::parse_plan("robustness plan\nfile x\nmotion 0\n", &error));

  Verdict v;
  v.run = 17;
  v.first_ms = 128;
  v.fell_ms = 3578;
  v.has_margin = true;
  v.margin_um = -1234;
  v.robot = "STANDIN_SERVO_LATENCY=23";
  Verdict read;
  std::uint64_t of = 0;
  ASSERT_TRUE(robustness::parse_verdict(robustness::verdict_text(v, 42), &read, &of, &error))
      << error;
  EXPECT_EQ(of, 42u);
  EXPECT_EQ(robustness::verdict_text(read, of), robustness::verdict_text(v, 42));
  // A verdict cut short is refused.
  const std::string text = robustness::verdict_text(v, 42);
  EXPECT_FALSE(
      robustness::parse_verdict(text.substr(0, text.find("margin_um")), &read, &of, &error));
}

TEST(RobustnessReport, WilsonIntervalMatchesItsClosedFormsAtTheEnds) {
  // k = 0: from 0 to z²/(n + z²); k = n: its mirror.
  const double z2 = 1.959963984540054 * 1.959963984540054;
  for (long n : {1L, 10L, 100L, 1000L}) {
    EXPECT_EQ(robustness::wilson(0, n).low, 0.0);
    EXPECT_NEAR(robustness::wilson(0, n).high, z2 / (n + z2), 1e-12);
    EXPECT_NEAR(robustness::wilson(n, n).low, n / (n + z2), 1e-12);
    for (long k = 0; k <= n; k += n / 10 + 1) {
      const robustness::Range r = robustness::wilson(k, n), m = robustness::wilson(n - k, n);
      EXPECT_NEAR(r.low, 1 - m.high, 1e-12);
      EXPECT_LE(r.low, static_cast<double>(k) / n);
      EXPECT_GE(r.high, static_cast<double>(k) / n);
    }
  }
}

TEST(RobustnessReport, ReportRanksTheSettingThatFailsAtBothEndsFirst) {
  // Four robots drawn; backlash and offsets ranked; the rest pinned.
  std::vector<std::string> args = {"--runs", "4", "--rank-runs", "1", "--seed", "3"};
  for (const auto &info : robustness::kSettings) {
    const std::string name = info.name;
    if (name == "SERVO_BACKLASH" || name == "SERVO_OFFSETS") continue;
    args.insert(args.end(), {"--fix", name + "=" + (info.off == 1.0 ? "1" : "0")});
  }
  const Plan plan = plan_of(args);
  const std::vector<PlannedRun> runs = robustness::plan_runs(plan);
  ASSERT_EQ(runs.size(), 9u);
  // run: first command, fall (-1: up), margin in µm
  const long kRows[9][3] = {
      {128, -1, 12340}, {128, 2478, -500}, {178, -1, 7050},
      {128, 3128, 100}, {128, -1, 20000},  // nominal
      {128, -1, 900},   {128, 1500, 0},    // backlash: low, high
      {128, 1600, 0},   {128, 1700, 0},    // offsets: low, high
  };
  std::vector<Verdict> verdicts(9);
  for (int i = 0; i < 9; ++i)
    verdicts[i] = {i + 1, kRows[i][0], kRows[i][1], true, kRows[i][2], ""};
  char *text = nullptr;
  std::size_t size = 0;
  std::FILE *out = open_memstream(&text, &size);
  robustness::print_report(out, plan, runs, verdicts);
  std::fclose(out);
  const std::string report(text, size);
  std::free(text);
  EXPECT_EQ(report.substr(0, report.find("which setting")),
            "motion.csv: survived 2 of 4 runs (50.0%, 95% interval 15.0% to 85.0%)\n"
            "falls: 2 of 4 runs, 2.35 s after the first command at the median, from 2.35 s to "
            "3.00 s\n"
            "smallest balance margin of the runs that stay up: 7.1 mm (run 3)\n"
            "the nominal robot: stays up, smallest balance margin 20.0 mm\n");
  const std::size_t ranking = report.find("the worst first:\n");
  ASSERT_NE(ranking, std::string::npos) << report;
  EXPECT_EQ(report.substr(ranking + 17, report.find("robots drawn") - ranking - 17),
            "   1. SERVO_OFFSETS   at -0.02 rad: 0 of 1 up; at 0.02 rad: 0 of 1 up\n"
            "   2. SERVO_BACKLASH  at 0.0044 rad: 1 of 1 up, margin 0.9 mm; at 0.0175 rad: 0 of 1 "
            "up\n");
  EXPECT_NE(report.find("  SERVO_LATENCY   pinned at 0 ms\n"), std::string::npos) << report;
  EXPECT_NE(report.find("  SERVO_OFFSETS   -0.02 to 0.02 rad, each joint its own\n"),
            std::string::npos)
      << report;
  EXPECT_TRUE(robustness::clears(plan, runs, verdicts, 50.0));
  EXPECT_FALSE(robustness::clears(plan, runs, verdicts, 50.1));
}

TEST(RobustnessMargin, SoleCarriesWhenNearTheFloorOrPressing) {
  std::string error;
  const std::unique_ptr<robot::Model> model = robot::Model::load("", &error);
  ASSERT_NE(model, nullptr) << error;
  robot::Data data(*model);
  physics_runs::LogRow row;
  row.gps = {0.0, 0.0, model->standing_height()};
  row.touch = {15.0, 15.0};
  row.cop = {0.0, 0.0};
  // Standing straight: both soles, the centre of pressure between them.
  const double both = physics_runs::balance_margin(data, row);
  // The right knee bent: that foot is up and carries nothing.
  row.joints[10] = 0.8;   // rleg_joint_4
  row.joints[8] = -0.4;   // rleg_joint_3
  row.joints[11] = -0.4;  // rleg_joint_5
  row.touch = {30.0, 0.0};
  row.cop = {0.0, 0.0};
  const double one = physics_runs::balance_margin(data, row);
  // Pressed down though the joints hold it up: it carries.
  row.touch = {20.0, 10.0};
  const double pressed = physics_runs::balance_margin(data, row);
  // Its ankle turned toes down, stood 2 mm into the floor, it stays on its
  // heel too: the corners within the gap of the floor count.
  row.joints = {};
  row.joints[11] = 0.03;  // rleg_joint_5
  row.touch = {15.0, 15.0};
  physics_runs::StoodRow stood = physics_runs::stand_row(data, row, robot::kLeft);
  const Eigen::Vector2d heel =
      (stood.soles[robot::kRight][2] + stood.soles[robot::kRight][3]).head<2>() / 2;
  row.cop = heel + Eigen::Vector2d(0.003, 0.0);
  const double on_heel = physics_runs::balance_margin(data, row);
  EXPECT_GT(on_heel, 1.0);
  EXPECT_GT(both, 20.0);
  EXPECT_LT(one, 0.0) << "the centre between the feet is outside the left sole";
  EXPECT_GT(pressed, 0.0);
  row.cop = {NAN, NAN};
  EXPECT_TRUE(std::isnan(physics_runs::balance_margin(data, row)));
}

}  // namespace

// tools/robustness in the physics world: what its report says of a gentle
// motion, of one that falls on the perfect robot and of one on the edge;
// the same report for the same seed, however the runs go, and through
// --list and --collect; its refusals; and nothing left of an interrupted
// or killed run.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e_harness.h"

namespace {

struct Output {
  int status = -1;
  std::string out;  // the report
  std::string err;
};

// tools/robustness with `args`, in `cwd` (a new folder if empty).
Output robustness(const std::vector<std::string> &args, std::string cwd = "") {
  if (cwd.empty()) cwd = e2e::temp_dir();
  std::vector<std::string> words = {"-c", "cd \"$1\" && shift && exec \"$@\" >out.txt 2>err.txt",
                                    "sh", cwd, ROBUSTNESS_PATH};
  words.insert(words.end(), args.begin(), args.end());
  const e2e::CommandOutput run =
      e2e::run_command("sh", words, {{"ROBUSTNESS_BUILD_DIR", ROBUSTNESS_BUILD_DIR}});
  Output o;
  o.status = run.status;
  o.out = e2e::read_file(cwd + "/out.txt");
  o.err = e2e::read_file(cwd + "/err.txt");
  return o;
}

// The sanitizers' presets ask for a short share of long tables.
long runs(long full) {
  return e2e::short_run() ? std::max(3L, full / 5) : full;
}

// A motion made with motion_compose from keyframes.
std::string composed(const std::string &name, const std::string &keys) {
  const std::string dir = e2e::temp_dir();
  e2e::write_file(dir + "/" + name + ".keys", keys);
  const std::string csv = dir + "/" + name + ".csv";
  const e2e::CommandOutput made =
      e2e::run_command(std::string(ROBUSTNESS_BUILD_DIR) + "/tools/motion_compose",
                       {dir + "/" + name + ".keys", "-o", csv});
  EXPECT_EQ(made.status, 0) << made.text;
  return csv;
}

// Both arms raised forward in 2 s and held.
std::string gentle() {
  return composed("gentle", "zero\nlarm_joint_1=1.2 rarm_joint_1=1.2 2000\nhold 500\n");
}
// A lean forward on the ankles, held: 0.45 rad throws the perfect robot;
// 0.18 rad keeps 5 to 10 mm of margin on it.
std::string lean(const std::string &rad) {
  return composed("lean", "zero\nlleg_joint_5=-" + rad + " rleg_joint_5=-" + rad +
                              " 1000\nhold 3000\nzero 1000\n");
}

// "survived K of N runs (P%, 95% interval LO% to HI%)": K, N, LO, HI.
struct Share {
  long k = -1, n = -1;
  double low = -1, high = -1;
};
Share share_of(const std::string &report) {
  Share s;
  const std::size_t at = report.find(": survived ");
  if (at == std::string::npos ||
      std::sscanf(report.c_str() + at,
                  ": survived %ld of %ld runs (%*[0-9.]%%, 95%% interval %lf%% to %lf%%)", &s.k,
                  &s.n, &s.low, &s.high) != 4)
    ADD_FAILURE() << "no share in: " << report;
  return s;
}

std::string line_after(const std::string &text, const std::string &start) {
  const std::size_t at = text.find(start);
  if (at == std::string::npos) return "";
  const std::size_t from = at + start.size();
  return text.substr(from, text.find('\n', from) - from);
}

TEST(Robustness, BadArgumentsAreRefusedWithOneLine) {
  const std::string file = e2e::temp_dir() + "/m.csv";
  e2e::write_file(file, "10,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0, R ,R ,R,R\n");
  // Walker scripts: a good one, and one the walker refuses.
  const std::string walk = e2e::temp_dir() + "/walk.txt";
  e2e::write_file(walk, "0 walk 0.15 0 0\n");
  const std::string bad = e2e::temp_dir() + "/bad.txt";
  e2e::write_file(bad, "1000 walk 0.1 0 0\n500 stop\n");
  struct Case {
    std::vector<std::string> args;
    std::string says;
  };
  const Case cases[] = {
      {{}, "usage: tools/robustness"},
      {{"--runs", "0", file}, "--runs must be a whole number from 1 to 100000"},
      {{"--jobs", "x", file}, "--jobs must be a whole number"},
      {{"--require", "101", file}, "--require must be a percentage from 0 to 100"},
      {{"--set", "SERVO_SPEED=1:2", file}, "no such setting; the settings are SERVO_LATENCY,"},
      {{"--set", "SERVO_LATENCY=50:17", file}, "has its low end above its high end"},
      {{"--set", "SERVO_LATENCY=17.5:20", file}, "leaves 0 to 1000 ms, whole"},
      {{"--set", "STANDIN_FLOOR_SLOPE=-40:0", file}, "leaves -30 to 30 deg"},
      {{"--set", "SERVO_BACKLASH=0.00441:0.00449", file}, "holds no multiple of 0.0001 rad"},
      {{"--fix", "COM_SHIFT=3,4,5", file}, "COM_SHIFT is not X,Y or V"},
      {{"--fix", "SERVO_OFFSETS=knee=0.1", file}, "names no joint in 'knee=0.1'"},
      {{"--fix", "FLOOR_BUMPS=1:x", file}, "has a seed that is not a whole number"},
      {{"--set", "MASS_SCALE=1:1.1", "--fix", "MASS_SCALE=1", file}, "set or fixed twice"},
      {{"--collect", "d", file}, "--collect takes its plan from the folder"},
      {{"--run", "3"}, "--run needs --out DIR"},
      {{"--list", "--jobs", "2", file}, "--list runs nothing"},
      {{"--collect", e2e::temp_dir()}, "plan.txt: not a folder of --list"},
      {{file + ".absent"}, "no such motion file"},
      {{"--walker-arg", "--model", walk}, "--walker-arg goes with --walker"},
      {{"--walker", "--walker-arg", "a\nb", walk}, "--walker-arg holds a line break"},
      {{"--walker", walk + ".absent"}, "no such walker script"},
      // The walker's own refusals, before any run.
      {{"--walker", bad},
       "the walker refuses to start: walker: " + bad +
           ":2: 500 ms is before the time above it, 1000 ms"},
      {{"--walker", "--walker-arg", "--bogus", walk},
       "the walker refuses to start: walker: unknown argument --bogus"},
      {{"--list", "--walker", "--walker-arg", "--bogus", walk}, "unknown argument --bogus"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.says);
    const Output o = robustness(c.args);
    EXPECT_EQ(o.status, 2) << o.err;
    EXPECT_NE(o.err.find(c.says), std::string::npos) << o.err;
    EXPECT_EQ(e2e::count(o.err, "\n"), c.args.empty() ? 3 : 1) << o.err;
    EXPECT_EQ(o.out, "");
  }
}

TEST(Robustness, GentleMotionSurvivesEveryRunAndClearsAHundredPercent) {
  if (e2e::under_valgrind()) GTEST_SKIP() << "dozens of physics runs";
  const long n = runs(30);
  const Output o =
      robustness({"--runs", std::to_string(n), "--rank-runs", "0", "--require", "100", gentle()});
  EXPECT_EQ(o.status, 0) << o.out << o.err;
  const Share s = share_of(o.out);
  EXPECT_EQ(s.k, n);
  EXPECT_EQ(s.high, 100.0);
  EXPECT_NE(o.out.find("\nfalls: none of "), std::string::npos) << o.out;
  // Not on a terminal: no progress line, nothing on stderr.
  EXPECT_EQ(o.err, "");
}

TEST(Robustness, MotionThatFallsOnThePerfectRobotSurvivesNone) {
  if (e2e::under_valgrind()) GTEST_SKIP() << "physics runs";
  const long n = runs(10);
  const Output o =
      robustness({"--runs", std::to_string(n), "--rank-runs", "0", "--require", "1", lean("0.45")});
  EXPECT_EQ(o.status, 1) << o.out << o.err;
  const Share s = share_of(o.out);
  EXPECT_EQ(s.k, 0);
  EXPECT_EQ(s.low, 0.0);
  EXPECT_NE(o.out.find("\nthe nominal robot: falls "), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("\nsmallest balance margin of the runs that stay up: none stays up\n"),
            std::string::npos)
      << o.out;
}

TEST(Robustness, EdgeMotionSurvivesSomeRunsAndItsRankingNamesTheServosOrTheMass) {
  if (e2e::under_valgrind()) GTEST_SKIP() << "dozens of physics runs";
  const Output o =
      robustness({"--runs", std::to_string(runs(30)), "--rank-runs", "3", lean("0.18")});
  ASSERT_EQ(o.status, 0) << o.out << o.err;
  // On the edge on the perfect robot.
  double nominal = 0;
  ASSERT_EQ(std::sscanf(
                line_after(o.out, "the nominal robot: stays up, smallest balance margin ").c_str(),
                "%lf", &nominal),
            1)
      << o.out;
  EXPECT_GE(nominal, 5.0);
  EXPECT_LE(nominal, 10.0);
  const Share s = share_of(o.out);
  EXPECT_GT(s.k, 0) << o.out;
  EXPECT_LT(s.k, s.n) << o.out;
  // The setting that hurts most: the calibration or the centre of mass,
  // which move the lean's centre of mass; not a floor's bumps.
  const std::string first = line_after(o.out, "the worst first:\n   1. ");
  EXPECT_TRUE(first.rfind("SERVO_OFFSETS ", 0) == 0 || first.rfind("COM_SHIFT ", 0) == 0) << o.out;
}

TEST(Robustness, SameSeedGivesTheSameReportHoweverTheRunsGoAndOtherSeedsOverlap) {
  if (e2e::under_valgrind()) GTEST_SKIP() << "dozens of physics runs";
  const std::string motion = lean("0.18");
  const std::string n = std::to_string(runs(20));
  const Output one =
      robustness({"--runs", n, "--rank-runs", "0", "--seed", "5", "--jobs", "1", motion});
  const Output two =
      robustness({"--runs", n, "--rank-runs", "0", "--seed", "5", "--jobs", "3", motion});
  ASSERT_EQ(one.status, 0) << one.err;
  EXPECT_EQ(one.out, two.out);
  const Share a = share_of(one.out);
  for (const char *seed : {"6", "7"}) {
    const Output other = robustness({"--runs", n, "--rank-runs", "0", "--seed", seed, motion});
    const Share b = share_of(other.out);
    EXPECT_NE(line_after(other.out, "robots drawn with seed "),
              line_after(one.out, "robots drawn with seed "));
    EXPECT_LE(b.low, a.high) << one.out << other.out;
    EXPECT_LE(a.low, b.high) << one.out << other.out;
  }
}

TEST(Robustness, ListedRunsCollectIntoTheReportOfRunningThemHere) {
  if (e2e::under_valgrind()) GTEST_SKIP() << "dozens of physics runs";
  const std::string motion = gentle();
  const std::vector<std::string> plan = {"--runs", "4",  "--rank-runs", "1",
                                         "--seed", "11", "--set",       "SERVO_OFFSETS=-0.05:0.05"};
  std::vector<std::string> args = plan;
  args.push_back(motion);
  const Output here = robustness(args);
  ASSERT_EQ(here.status, 0) << here.err;

  // The folder named on stderr, in the current directory.
  const std::string cwd = e2e::temp_dir();
  args.insert(args.begin(), "--list");
  const Output list = robustness(args, cwd);
  ASSERT_EQ(list.status, 0) << list.err;
  const std::string named = list.err.substr(list.err.find("its verdict into ") + 17);
  const std::string dir = cwd + "/" + named.substr(0, named.find(';'));
  ASSERT_TRUE(std::filesystem::exists(dir + "/plan.txt")) << list.err;
  const long lines = e2e::count(list.out, "\n");
  EXPECT_GT(lines, 4 + 1 + 2 * 11 - 1);
  // Nothing to collect yet.
  const Output early = robustness({"--collect", dir});
  EXPECT_EQ(early.status, 1);
  EXPECT_NE(early.err.find("lacks the verdicts of " + std::to_string(lines) + " of "),
            std::string::npos)
      << early.err;
  // Each line a command of its own, as GNU parallel or an array job runs them.
  std::istringstream commands(list.out);
  std::string command;
  while (std::getline(commands, command)) {
    const e2e::CommandOutput ran = e2e::run_command("sh", {"-c", command});
    ASSERT_EQ(ran.status, 0) << command << "\n" << ran.text;
  }
  const Output collected = robustness({"--collect", dir, "--require", "100"});
  EXPECT_EQ(collected.status, here.out.find("survived 4 of 4") != std::string::npos ? 0 : 1);
  EXPECT_EQ(collected.out, here.out);
}

TEST(Robustness, WalkerScriptStaysUpOnThePerfectRobotAndCollectsAsRunHere) {
  if (e2e::under_valgrind()) GTEST_SKIP() << "walks in the physics world";
  // Forward for 3 s and stand: judged to 10 s. The walker's kinematics
  // from the model named, passed through to every run and kept in the plan.
  const std::string walk = e2e::temp_dir() + "/walk.txt";
  e2e::write_file(walk, "0 walk 0.15 0 0\n3000 stop\n");
  const std::vector<std::string> plan = {"--walker",
                                         "--walker-arg",
                                         "--model",
                                         "--walker-arg",
                                         ROBOT_MODEL_PATH,
                                         "--runs",
                                         "1",
                                         "--rank-runs",
                                         "0",
                                         "--seed",
                                         "4"};
  std::vector<std::string> args = plan;
  args.push_back(walk);
  const Output here = robustness(args);
  ASSERT_EQ(here.status, 0) << here.err;
  EXPECT_NE(here.out.find("\nthe nominal robot: stays up, smallest balance margin "),
            std::string::npos)
      << here.out;
  EXPECT_EQ(share_of(here.out).n, 1);
  // The sanitizers' presets play the walks here only: a walker runs many
  // times slower there.
  if (e2e::short_run()) return;

  const std::string dir = e2e::temp_dir() + "/runs";
  args.insert(args.begin(), {"--list", "--out", dir});
  const Output list = robustness(args);
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_TRUE(std::filesystem::exists(dir + "/script.txt"));
  std::istringstream commands(list.out);
  std::string command;
  while (std::getline(commands, command)) {
    const e2e::CommandOutput ran = e2e::run_command("sh", {"-c", command});
    ASSERT_EQ(ran.status, 0) << command << "\n" << ran.text;
  }
  const Output collected = robustness({"--collect", dir});
  EXPECT_EQ(collected.out, here.out);
}

// The first robot seed 1 draws, walking on its bumps, met the floor where
// a bump's side pulled down: weighed by that pull, the log's centre of
// pressure went 2.1 m from the robot, and the report gave a walk that
// stayed up a margin of -2098.6 mm.
TEST(Robustness, ACentreOfPressureOnBumpsLiesUnderTheRobot) {
  if (e2e::under_valgrind()) GTEST_SKIP() << "a walk in the physics world";
  const std::string walk = e2e::temp_dir() + "/walk.txt";
  e2e::write_file(walk, "0 walk 0.15 0 0\n10000 stop\n");
  const Output report =
      robustness({"--walker", "--runs", "1", "--rank-runs", "0", "--seed", "1", walk});
  ASSERT_LE(report.status, 1) << report.err;
  double margin = 0.0;
  const std::string survivors = "smallest balance margin of the runs that stay up: ";
  const std::size_t at = report.out.find(survivors);
  if (at == std::string::npos) GTEST_SKIP() << "the robot drawn fell:\n" << report.out;
  ASSERT_EQ(std::sscanf(report.out.c_str() + at + survivors.size(), "%lf mm", &margin), 1)
      << report.out;
  EXPECT_GT(margin, -50.0) << report.out;
}

TEST(Robustness, TermOrKillEndsEveryRunAndLeavesNothingBehind) {
  // Killed under valgrind, the runs would leave reports of what they held.
  if (e2e::under_valgrind()) GTEST_SKIP() << "physics runs ended by a signal";
  const std::string motion = gentle();
  for (int signal : {SIGTERM, SIGKILL}) {
    SCOPED_TRACE(signal);
    const std::string tmp = e2e::temp_dir();
    const std::string tmpdir = "TMPDIR=" + tmp;
    const std::string path = std::string("PATH=") + std::getenv("PATH");
    const std::string tool = std::string(ROBUSTNESS_BUILD_DIR) + "/tools/robustness";
    const char *argv[] = {tool.c_str(), "--runs", "200", "--jobs", "2", motion.c_str(), nullptr};
    const char *envp[] = {tmpdir.c_str(), path.c_str(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, tool.c_str(), nullptr, nullptr, const_cast<char **>(argv),
                          const_cast<char **>(envp)),
              0);
    // Synchronised on the runs' own folders: a tenth run has started.
    bool running = false;
    bool ended = false;
    int status = 0;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(e2e::kSafetyTimeoutMs);
    while (!running && !(ended = waitpid(pid, &status, WNOHANG) == pid) &&
           std::chrono::steady_clock::now() < deadline) {
      std::error_code gone;
      for (const auto &work : std::filesystem::directory_iterator(tmp, gone))
        running = running || std::filesystem::exists(work.path() / "run-10", gone);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(running) << "robustness ended, or went on for long, before its tenth run";
    long session = 0;
    for (const e2e::Process &p : e2e::processes())
      if (p.parent == pid && p.session == p.id) session = p.id;
    EXPECT_NE(session, 0) << "no session of its own for the runs";
    ASSERT_EQ(kill(pid, signal), 0);
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (signal == SIGTERM) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 143) << status;
    }
    // Killed outright, the tool leaves its work to end its runs and remove
    // the folder: wait for that, up to the harness's deadline.
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(e2e::kSafetyTimeoutMs);
    auto left = [&] {
      for (const e2e::Process &p : e2e::processes())
        if (p.session == session) return true;
      return !e2e::left_in(tmp).empty();
    };
    while (left() && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(e2e::left_in(tmp), "");
    for (const e2e::Process &p : e2e::processes())
      EXPECT_NE(p.session, session) << "left running: " << p.id;
  }
}

}  // namespace

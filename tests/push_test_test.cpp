// tools/push-test on the stand-in: its arguments, its refusal of a motion
// that falls by itself, and one cheap bisection of the standing robot.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "e2e_harness.h"

namespace {

// Runs tools/push-test with `args`, from directory `cwd` if given (through
// env -C: the test process's own directory stays where it is).
e2e::CommandOutput push_test(const std::vector<std::string> &args,
                             std::vector<std::pair<std::string, std::string>> env = {},
                             const std::string &cwd = "") {
  env.emplace_back("PUSH_TEST_BUILD_DIR", PUSH_TEST_BUILD_DIR);
  if (cwd.empty()) return e2e::run_command(PUSH_TEST_PATH, args, env);
  std::vector<std::string> in_dir = {"-C", cwd, PUSH_TEST_PATH};
  in_dir.insert(in_dir.end(), args.begin(), args.end());
  return e2e::run_command("env", in_dir, env);
}

// A one-row posture: period, an unused field, 21 pulse counts, four letters.
std::string posture_file(const std::string &pulses) {
  std::string path = e2e::temp_dir() + "/posture.csv";
  e2e::write_file(path, "10,0," + pulses + ", R ,R ,R,R\n");
  return path;
}

const std::string kZero = "0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0";

// A direction's row of the table: survives, falls, estimate, weakest
// moment; found false when the table has none.
struct TableRow {
  bool found = false;
  double survives = 0, falls = 0, estimate = 0, moment = 0;
};
TableRow row_of(const std::string &text, const std::string &direction) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string named;
    TableRow row;
    if ((words >> named >> row.survives >> row.falls >> row.estimate >> row.moment) &&
        named == direction) {
      row.found = true;
      return row;
    }
  }
  return {};
}

TEST(PushTest, BadArgumentsAreRefusedWithOneLine) {
  const std::string file = posture_file(kZero);
  // Walker scripts: a good one, and one with two bad lines.
  const std::string walk = e2e::temp_dir() + "/walk.txt";
  e2e::write_file(walk, "0 walk 0.15 0 0\n");
  const std::string bad = e2e::temp_dir() + "/bad.txt";
  e2e::write_file(bad, "0 jump\n5 walk 1\n");
  struct Case {
    std::vector<std::string> args;
    std::string says;
  };
  const Case cases[] = {
      {{}, "usage: tools/push-test"},
      {{"--steps", "0", file}, "--steps must be a whole number from 1 to 20"},
      {{"--steps", "999999999999999999999", file}, "--steps must be a whole number"},
      {{"--moments", "x", file}, "--moments must be a whole number from 1 to 20"},
      {{"--directions", "up", file}, "no direction 'up'"},
      {{"--directions", "front,back,front", file}, "--directions names 'front' twice"},
      {{"--colour", "red", file}, "usage: tools/push-test"},
      {{file + ".absent"}, "no such motion file"},
      {{"--walker-arg", "--model", walk}, "--walker-arg goes with --walker"},
      {{"--walker", walk + ".absent"}, "no such walker script"},
      // The walker's own refusals, before any run, in one line.
      {{"--walker", bad},
       "the walker refuses to start: walker: " + bad +
           ":1: unknown command \"jump\" (walk VX VY VTURN or stop) (and 1 more line(s))"},
      {{"--walker", "--walker-arg", "--bogus", walk},
       "the walker refuses to start: walker: unknown argument --bogus"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.says);
    e2e::CommandOutput out = push_test(c.args);
    EXPECT_EQ(out.status, 2) << out.text;
    EXPECT_NE(out.text.find(c.says), std::string::npos) << out.text;
    EXPECT_EQ(e2e::count(out.text, "\n"), 1) << out.text;
  }
}

TEST(PushTest, PostureThatFallsByItselfIsRefusedEvenUnderANameLikeAnOption) {
  // Both ankles' toes well up: the robot starts leaning far forward.
  const std::string posture = posture_file("0,0,0,0,-6000,0,0,0,0,0,0,0,0,0,6000,0,0,0,0,0,0");
  // A relative name starting with '-', which no command may take for an option.
  const std::filesystem::path dir = std::filesystem::path(posture).parent_path();
  std::filesystem::rename(posture, dir / "-falls.csv");
  e2e::CommandOutput out = push_test({"--steps", "1", "-falls.csv"}, {}, dir);
  EXPECT_EQ(out.status, 1) << out.text;
  EXPECT_NE(out.text.find("push-test: the robot falls without a push"), std::string::npos)
      << out.text;
}

TEST(PushTest, MomentsCloserThanTenMillisecondsArePushedOnce) {
  if (e2e::under_valgrind()) GTEST_SKIP() << "a score of physics runs";
  // Ten rows of 10 ms, 100 ms of playback: twenty moments round to ten.
  std::string rows;
  for (int i = 0; i < 10; ++i) rows += "10,0," + kZero + ", R ,R ,R,R\n";
  const std::string path = e2e::temp_dir() + "/short.csv";
  e2e::write_file(path, rows);
  e2e::CommandOutput out =
      push_test({"--moments", "20", "--steps", "1", "--directions", "front", path});
  ASSERT_EQ(out.status, 0) << out.text;
  EXPECT_NE(out.text.find("pushes on the chest at 10 moment(s)"), std::string::npos) << out.text;
  EXPECT_EQ(e2e::count(out.text, "\nfront "), 1) << out.text;
}

TEST(PushTest, StandingRobotBracketsItsFallFromBehindNearTheEstimate) {
  if (e2e::under_valgrind()) GTEST_SKIP() << "a bisection of a dozen physics runs";
  // A recording and another model left in the environment are not the runs'.
  const std::string recording = e2e::temp_dir() + "/left.png";
  e2e::CommandOutput out =
      push_test({"--directions", "back", "--steps", "2", posture_file(kZero)},
                {{"STANDIN_RECORD", recording}, {"STANDIN_MODEL", "/nonexistent.xml"}});
  ASSERT_EQ(out.status, 0) << out.text;
  const std::size_t ignore = out.text.find("push-test: the runs ignore ");
  ASSERT_NE(ignore, std::string::npos) << out.text;
  const std::string said = out.text.substr(ignore, out.text.find('\n', ignore) - ignore);
  EXPECT_NE(said.find(" STANDIN_MODEL"), std::string::npos) << said;
  EXPECT_NE(said.find(" STANDIN_RECORD"), std::string::npos) << said;
  EXPECT_FALSE(std::filesystem::exists(recording));
  const TableRow back = row_of(out.text, "back");
  ASSERT_TRUE(back.found) << out.text;
  // About 1 N s from behind throws the standing robot (docs/physics.md).
  EXPECT_GT(back.survives, 0.5);
  EXPECT_LT(back.survives, back.falls);
  EXPECT_LT(back.falls, 2.0);
  EXPECT_GT(back.estimate, back.survives / 2);
  EXPECT_LT(back.estimate, back.survives * 2);
  EXPECT_EQ(back.moment, 1.0);
  EXPECT_NE(out.text.find("weakest moment: 1.00 s after the first command, pushed from the back"),
            std::string::npos)
      << out.text;
}

TEST(PushTest, WalkerIsPushedOverASteadyStrideAndBracketsItsFall) {
  if (e2e::under_valgrind()) GTEST_SKIP() << "a walk and a few pushed walks";
  // Forward at 0.15 m/s from the start; the walker's kinematics from the
  // model named, passed through to every run.
  const std::string walk = e2e::temp_dir() + "/walk.txt";
  e2e::write_file(walk, "# forward\n0 walk 0.15 0 0\n");
  e2e::CommandOutput out = push_test({"--walker", "--walker-arg", "--model", "--walker-arg",
                                      ROBOT_MODEL_PATH, "--directions", "back", "--moments",
                                      e2e::short_run() ? "1" : "2", "--steps", "2", walk});
  ASSERT_EQ(out.status, 0) << out.text;
  // The stride: two steps of about 0.3 s, once the walk is steady, some
  // seconds after the first command.
  double from = 0, to = 0;
  const std::size_t stride = out.text.find("the walker pushed over a stride from ");
  ASSERT_NE(stride, std::string::npos) << out.text;
  ASSERT_EQ(std::sscanf(out.text.c_str() + stride,
                        "the walker pushed over a stride from %lf s to %lf s", &from, &to),
            2);
  EXPECT_GT(from, 3.0);
  EXPECT_LT(from, 6.0);
  EXPECT_NEAR(to - from, 0.6, 0.1);
  double moments[2] = {0, 0};
  const std::size_t at = out.text.find("s since the first command: ");
  ASSERT_NE(at, std::string::npos) << out.text;
  const int pushed = std::sscanf(out.text.c_str() + at, "s since the first command: %lf %lf",
                                 &moments[0], &moments[1]);
  ASSERT_EQ(pushed, e2e::short_run() ? 1 : 2) << out.text;
  for (int k = 0; k < pushed; ++k) {
    EXPECT_GT(moments[k], from);
    EXPECT_LT(moments[k], to);
  }
  // The fall is bracketed: some push from behind it survives, and one of
  // a few N s throws it or stops its walk (the open-loop walker's is under
  // 2 N s; a walker that catches itself may take some more).
  const TableRow back = row_of(out.text, "back");
  ASSERT_TRUE(back.found) << out.text;
  EXPECT_GT(back.survives, 0.0);
  EXPECT_LT(back.survives, back.falls);
  EXPECT_LE(back.falls, 8.0);
  EXPECT_GT(back.moment, from);
  EXPECT_LT(back.moment, to);
}

// Starts push-test on the standing robot, pushed from the back, with its
// work under `tmp`; its process id, or -1.
pid_t start_push_test(const std::string &tmp) {
  const std::string file = posture_file(kZero);
  const std::string build = std::string("PUSH_TEST_BUILD_DIR=") + PUSH_TEST_BUILD_DIR;
  const std::string tmpdir = "TMPDIR=" + tmp;
  const std::string path = std::string("PATH=") + std::getenv("PATH");
  const char *argv[] = {PUSH_TEST_PATH, "--directions", "back", file.c_str(), nullptr};
  const char *envp[] = {build.c_str(), tmpdir.c_str(), path.c_str(), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, PUSH_TEST_PATH, nullptr, nullptr, const_cast<char **>(argv),
                  const_cast<char **>(envp)) != 0)
    return -1;
  return pid;
}

TEST(PushTest, TermEndsEveryProcessOfTheRunAndLeavesNothingBehind) {
  // Killed under valgrind, the runs would leave reports of what they held.
  if (e2e::under_valgrind()) GTEST_SKIP() << "physics runs ended by a signal";
  const std::string tmp = e2e::temp_dir() + "/tmp";
  std::filesystem::create_directory(tmp);
  const pid_t pid = start_push_test(tmp);
  ASSERT_GT(pid, 0);
  // Synchronised on the run's own files: the bisection has started. They
  // are looked at every 5 ms, until the harness's deadline for a program.
  bool bisecting = false;
  int status = 0;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(e2e::kSafetyTimeoutMs);
  bool ended = false;
  while (!bisecting && !(ended = waitpid(pid, &status, WNOHANG) == pid) &&
         std::chrono::steady_clock::now() < deadline) {
    std::error_code gone;
    for (const auto &work : std::filesystem::directory_iterator(tmp, gone)) {
      for (const auto &job : std::filesystem::directory_iterator(work.path(), gone))
        bisecting = bisecting || job.path().filename().string().rfind("job-", 0) == 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!bisecting && !ended) {
    kill(pid, SIGTERM);
    waitpid(pid, &status, 0);
  }
  ASSERT_TRUE(bisecting) << "push-test ended, or went on for " << e2e::kSafetyTimeoutMs / 1000
                         << " s, before it pushed";
  // The run leads a session of its own, under the script it was started by.
  long session = 0;
  for (const e2e::Process &p : e2e::processes())
    if (p.parent == pid && p.session == p.id) session = p.id;
  EXPECT_NE(session, 0) << "no session of its own for the run";
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 143) << status;
  const std::string left = e2e::left_in(tmp);
  EXPECT_TRUE(left.empty()) << "left:" << left;
  for (const e2e::Process &p : e2e::processes())
    EXPECT_NE(p.session, session) << "left running: " << p.id;
}

// Whether `done` holds before the harness's deadline, looking every 10 ms.
template <typename Done>
bool within_deadline(Done done) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(e2e::kSafetyTimeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace

// SIGKILL cannot be caught: the test dies with push-test (the parent-death
// signal) and ends its runs and removes its work directory itself.
TEST(PushTest, KillEndsEveryProcessOfTheRunAndLeavesNothingBehind) {
  if (e2e::under_valgrind()) GTEST_SKIP() << "physics runs ended by a signal";
  const std::string tmp = e2e::temp_dir() + "/tmp";
  std::filesystem::create_directory(tmp);
  const pid_t pid = start_push_test(tmp);
  ASSERT_GT(pid, 0);
  // Synchronised on the run's own files: the bisection has started.
  int status = 0;
  bool ended = false;
  const bool bisecting = within_deadline([&] {
    ended = ended || waitpid(pid, &status, WNOHANG) == pid;
    std::error_code gone;
    for (const auto &work : std::filesystem::directory_iterator(tmp, gone))
      for (const auto &job : std::filesystem::directory_iterator(work.path(), gone))
        if (job.path().filename().string().rfind("job-", 0) == 0) return true;
    return ended;
  });
  // The run leads a session of its own, under the tool it was started by.
  long session = 0;
  for (const e2e::Process &p : e2e::processes())
    if (p.parent == pid && p.session == p.id) session = p.id;
  if (!ended) kill(pid, SIGKILL);
  ASSERT_TRUE(bisecting && !ended) << "push-test ended, or went on for long, before it pushed";
  ASSERT_NE(session, 0) << "no session of its own for the run";
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
  // Nothing of the run is left, soon: no process of its session, no file.
  const bool cleared = within_deadline([&] {
    for (const e2e::Process &p : e2e::processes())
      if (p.session == session) return false;
    return e2e::left_in(tmp).empty();
  });
  std::string left;
  for (const e2e::Process &p : e2e::processes())
    if (p.session == session) left += " process " + std::to_string(p.id);
  left += e2e::left_in(tmp);
  EXPECT_TRUE(cleared) << "left:" << left;
}

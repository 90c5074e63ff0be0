// Hostile use of the programs' surroundings, end to end: standard streams
// closed at start, and standard input left non-blocking by another program.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e_harness.h"

namespace {

namespace fs = std::filesystem;

using Env = std::vector<std::pair<std::string, std::string>>;

const std::string kInsert =
    "Insert joint number (01-21) followed by the amount of angle (rd) to add to joint\n";
constexpr int kSnapshots = 30;

// A directory holding a "clear" that prints a marker line, first on PATH.
Env with_clear() {
  static const std::string dir = [] {
    std::string made = e2e::temp_dir();
    e2e::write_file(made + "/clear", "#!/bin/sh\nprintf '<clear>\\n'\n");
    fs::permissions(made + "/clear", fs::perms::owner_all);
    return made;
  }();
  const char *path = std::getenv("PATH");
  return {{"PATH", dir + ":" + (path != nullptr ? path : "/usr/bin:/bin")}};
}

// The tuner's input: a jog, then snapshots in quick succession.
std::string jog_and_snapshots() {
  std::string input = "3 0.1\n";
  for (int k = 1; k <= kSnapshots; ++k) input += "7 999 snap" + std::to_string(k) + ".csv\n";
  return input;
}

struct ClosedCase {
  std::string name;
  std::string program;
  std::vector<int> closed;
  std::string input;
  Env env = {};
};

}  // namespace

// Whatever a program or the stand-in opens must not take fd 0, 1 or 2:
// console text would land in it. The trace and the posture log must parse
// whole (the harness fails the test on a malformed trace line), and each
// snapshot must hold its row alone.
TEST(HostileUse, ClosedStandardStreamsNeverLandInAFile) {
  const std::vector<ClosedCase> cases = {
      {"motion_skim, stdout closed", MOTION_SKIM_PATH, {1}, "wave_10ms.csv\n"},
      {"motion_player, stdout closed", MOTION_PLAYER_PATH, {1}, "wave_10ms.csv\n"},
      {"motion_player, all three closed", MOTION_PLAYER_PATH, {0, 1, 2}, ""},
      // The probe does nothing for itself: this is the stand-in's own guard.
      {"stand-in under a foreign controller",
       STANDIN_PROBE_PATH,
       {1},
       "live\nget rleg_joint_3\nenable rleg_joint_3 64\nstep 64\npos rleg_joint_3\nflush\n"},
      {"pose_tuner, stdout closed", POSE_TUNER_PATH, {1}, jog_and_snapshots(), with_clear()},
  };
  for (const ClosedCase &c : cases) {
    SCOPED_TRACE(c.name);
    const bool tuner = c.program == POSE_TUNER_PATH;
    e2e::Options options{.program = c.program, .env = c.env, .stop_ms = tuner ? 0 : 3000};
    options.cwd = tuner ? e2e::temp_dir() : MOTIONS_DIR;
    options.closed_fds = c.closed;
    if (tuner) options.env.push_back({"STANDIN_PACE", "20"});
    e2e::Session session(options);
    session.write(c.input);
    e2e::Result result;
    if (tuner) {
      // Nothing to read on a closed stdout: the last snapshot tells the burst is over.
      const std::string last = options.cwd + "/snap" + std::to_string(kSnapshots) + ".csv";
      EXPECT_TRUE(session.wait_until([&] { return fs::exists(last); }));
      result = session.stop();
      for (int k = 1; k <= kSnapshots; ++k) {
        const std::string text = e2e::read_file(options.cwd + "/snap" + std::to_string(k) + ".csv");
        EXPECT_TRUE(text.starts_with("1,2,") && text.ends_with(", R ,R ,R,R") &&
                    text.find('\n') == std::string::npos)
            << "snap" << k << ".csv: " << text.substr(0, 200);
      }
    } else {
      result = session.finish();
    }
    EXPECT_EQ(result.exit_code, 0);
    ASSERT_FALSE(result.trace.empty());
    EXPECT_EQ(result.trace.front().call, "robot_live");
    EXPECT_TRUE(result.posture_log.starts_with("time_ms,body_joint_1,"))
        << result.posture_log.substr(0, 200);
    EXPECT_FALSE(e2e::parse_posture_log(result.posture_log).empty());
  }
}

struct NonBlockingCase {
  std::string program;
  std::string prompt;    // waited for before the window
  std::string input;     // typed after it
  std::string response;  // waited for after the input; empty: commands sent
  Env env = {};
};

// O_NONBLOCK on standard input means "nothing typed yet", not its end: the
// reader waits without spinning, and what is typed a second later is taken.
TEST(HostileUse, NonBlockingInputIsWaitedForWithoutSpinning) {
  const std::vector<NonBlockingCase> cases = {
      {MOTION_PLAYER_PATH, "Give the name of the csv file: ", "wave_10ms.csv\n",
       "Executing your file...\n"},
      {MOTION_SKIM_PATH, " Give the name of the csv file: ", "wave_10ms.csv\n", ""},
      {POSE_TUNER_PATH, kInsert, "3 0.1\n", "The interpolation is over\n", with_clear()},
  };
  for (const NonBlockingCase &c : cases) {
    SCOPED_TRACE(c.program);
    e2e::Options options{.program = c.program, .env = c.env, .stop_ms = 100'000'000};
    options.cwd = MOTIONS_DIR;
    options.nonblocking_input = true;
    options.env.push_back({"STANDIN_PACE", "realtime"});
    e2e::Session session(options);
    ASSERT_TRUE(session.wait_for_output(c.prompt));
    // A second with nothing typed: the reader meets EAGAIN and must wait.
    // The bound, a quarter of the second, is so wide that no machine's
    // speed crosses it: a spinning reader uses the whole second of a core,
    // a waiting one some ms even under valgrind (hostile_input_test's
    // kIdleCpuMs says more).
    const long before = session.cpu_time_ms();
    session.run_for(1000);
    const long idle_ms = session.cpu_time_ms() - before;
    EXPECT_GE(before, 0);
    EXPECT_LT(idle_ms, 250) << "spins while waiting for input";
    const std::size_t mark = session.out().size();
    session.write(c.input);
    if (!c.response.empty()) {
      EXPECT_TRUE(session.wait_for_output(c.response, mark));
    } else {
      EXPECT_TRUE(session.wait_for_step(4));
    }
    const e2e::Result result = session.stop();
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_FALSE(e2e::calls(result.trace, "servo_set_position").empty());
  }
}

// Heap allocations in the control loops: each program runs on the stand-in
// with alloc_probe preloaded, which logs per control step what the control
// thread allocated. Once start-up is over, every step must log zero, in the
// kinematic world and in the physics world alike.
//
// Start-up, excluded from the steady state:
// - step 1 of every program: process start, reset and robot_step(128);
// - step 2 of motion_skim: the file prompt and its fopen, which main does
//   between robot_step(128) and the first 64 ms step;
// - step 2 of pose_tuner: taking over the posture and starting the console
//   thread, which main does between robot_step(128) and the first step.
// motion_player starts its loader before robot_live, so its steady state
// begins at step 2; so does this binary's own loop that reads every sensor
// (LOOP_ALLOCATION_CONTROLLER=sensors), which binds its devices in robot_live.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <new>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "body_model.h"
#include "e2e_harness.h"
#include "robot_sensors.h"

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#endif

namespace {

constexpr char kPlayerPrompt[] = "Give the name of the csv file: ";
constexpr char kTunerPrompt[] =
    "Insert joint number (01-21) followed by the amount of angle (rd) to add to joint\n";
constexpr char kControllerMode[] = "LOOP_ALLOCATION_CONTROLLER";  // env: run as the controller
// Allocating calls the controller makes before its second robot_step.
constexpr unsigned long kKnownAllocations = 12;
constexpr unsigned long kHelperAllocations = 5;  // made by the controller's second thread

// What the probe logged: one entry per robot_step, and the totals.
struct StepAllocations {
  unsigned long step = 0;
  unsigned long in_step = 0;        // the control step's own code
  unsigned long in_robot_step = 0;  // the controller library's robot_step
};
struct ProbeLog {
  std::vector<StepAllocations> steps;
  int totals = 0;  // "total" lines: exactly one expected
  unsigned long control = 0;
  unsigned long other = 0;
};

// Why the probe cannot run in this build or under this tool; nullptr if it can.
const char *probe_unusable() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return "a sanitizer replaces malloc in this build; the probe would fight it";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
  return "a sanitizer replaces malloc in this build; the probe would fight it";
#endif
#endif
  if (e2e::under_valgrind()) return "valgrind replaces malloc; the probe would fight it";
#ifdef RUNNING_ON_VALGRIND
  if (RUNNING_ON_VALGRIND) return "valgrind replaces malloc; the probe would fight it";
#endif
  return nullptr;
}

bool parse_count(std::string_view text, unsigned long &value) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

// Parses the probe's log; a malformed line fails the test.
ProbeLog read_probe_log(const std::string &path) {
  ProbeLog log;
  const std::string text = e2e::read_file(path);
  std::string_view rest = text;
  while (!rest.empty()) {
    std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    std::vector<std::string_view> fields = e2e::words(line);
    StepAllocations step;
    if (fields.size() == 3 && fields[0] == "total" && parse_count(fields[1], log.control) &&
        parse_count(fields[2], log.other)) {
      ++log.totals;
    } else if (fields.size() == 3 && parse_count(fields[0], step.step) &&
               parse_count(fields[1], step.in_step) && parse_count(fields[2], step.in_robot_step)) {
      log.steps.push_back(step);
    } else {
      ADD_FAILURE() << "malformed probe log line: \"" << line << "\"";
    }
  }
  return log;
}

// Steps logged so far: one line per robot_step that has returned.
long logged_steps(const std::string &path) {
  const std::string text = e2e::read_file(path);
  return static_cast<long>(std::count(text.begin(), text.end(), '\n'));
}

// Options that run `program` with the probe writing to `log_path`.
e2e::Options probed(const std::string &program, const std::string &log_path) {
  e2e::Options options;
  options.program = program;
  options.env = {{"LD_PRELOAD", ALLOC_PROBE_PATH}, {"ALLOC_PROBE_LOG", log_path}};
  return options;
}

// Checks that every step from `first` on allocated nothing in the control
// thread, that the log is whole, and that there were at least `at_least`
// such steps. Prints the figures.
void expect_steady_state_clean(const ProbeLog &log, unsigned long first, unsigned long at_least,
                               const char *program) {
  EXPECT_EQ(log.totals, 1) << "the total line comes once, from the program itself";
  unsigned long steady = 0;
  unsigned long allocations = 0;
  std::string offenders;
  for (std::size_t k = 0; k < log.steps.size(); ++k) {
    const StepAllocations &s = log.steps[k];
    ASSERT_EQ(s.step, k + 1) << "one line per robot_step, in order";
    if (s.step < first) continue;
    ++steady;
    const unsigned long made = s.in_step + s.in_robot_step;
    allocations += made;
    if (made != 0 && offenders.size() < 400) {
      offenders += " step " + std::to_string(s.step) + " (" + std::to_string(s.in_step) + " + " +
                   std::to_string(s.in_robot_step) + " in robot_step)";
    }
  }
  EXPECT_GE(steady, at_least) << "too few steady-state steps to mean anything";
  EXPECT_EQ(allocations, 0u) << program << " allocated in its control thread:" << offenders;
  std::cout << "[ figures  ] " << program << ": " << allocations
            << " allocations in the control thread over steps " << first << ".." << log.steps.size()
            << " (" << steady << " steps); totals: control thread " << log.control
            << ", other threads " << log.other << "\n";
}

// A directory holding a "clear" that prints a marker, so that the tuner's
// screens do not depend on the terminal.
std::string clear_dir() {
  const std::string made = e2e::temp_dir();
  e2e::write_file(made + "/clear", "#!/bin/sh\nprintf '<clear>\\n'\n");
  std::filesystem::permissions(made + "/clear", std::filesystem::perms::owner_all);
  return made;
}

// Keeps an allocation the optimiser could otherwise drop with its free.
void keep(void *p) {
  asm volatile("" : : "g"(p) : "memory");
}

std::string self_path() {
  return std::filesystem::read_symlink("/proc/self/exe").string();
}

void no_devices() {}

// The controller mode of this binary: a loop whose allocations are known,
// for checking the probe. Steps 1 and 3 are not checked (start-up, thread
// start); steps 2, 4, 5 and 6 are exact.
int controller_with_known_allocations() {
  robot_live(no_devices);
  robot_step(10);

  // Step 2: one of each allocating call, kKnownAllocations in all. Each
  // operator new counts once although it takes memory from malloc.
  void *blocks[kKnownAllocations] = {};
  blocks[0] = std::malloc(16);
  blocks[1] = std::calloc(4, 4);
  blocks[2] = std::realloc(nullptr, 16);
  blocks[3] = std::aligned_alloc(64, 64);
  if (posix_memalign(&blocks[4], 64, 64) != 0) blocks[4] = nullptr;
  blocks[5] = memalign(64, 64);
  blocks[6] = valloc(64);
  for (int k = 0; k < 7; ++k) keep(blocks[k]);
  for (int k = 0; k < 7; ++k) std::free(blocks[k]);
  int *one = new int(1);
  int *four = new int[4];
  int *maybe = new (std::nothrow) int(2);
  struct alignas(128) Wide {
    char bytes[128];
  };
  Wide *wide = new Wide;
  keep(one);
  keep(four);
  keep(maybe);
  keep(wide);
  delete one;
  delete[] four;
  delete maybe;
  delete wide;
  {
    std::string text(100, 'x');
    keep(text.data());
  }
  robot_step(10);

  // Step 3: a second thread starts and waits for a byte.
  int go[2], done[2];
  if (pipe(go) != 0 || pipe(done) != 0) return 1;
  std::thread helper([&] {
    char byte = 0;
    if (read(go[0], &byte, 1) != 1) return;
    for (unsigned long k = 0; k < kHelperAllocations; ++k) keep(std::malloc(32));
    [[maybe_unused]] ssize_t put = write(done[1], &byte, 1);
  });
  robot_step(10);

  // Step 4: the other thread allocates while this one waits; none is ours.
  char byte = 1;
  if (write(go[1], &byte, 1) != 1 || read(done[0], &byte, 1) != 1) return 1;
  helper.join();
  robot_step(10);

  // Step 5: a forked child allocates and exits through exit(), destructors
  // and all; nothing of it may reach the parent's log.
  const pid_t child = fork();
  if (child == 0) {
    for (int k = 0; k < 3; ++k) keep(std::malloc(32));
    std::exit(0);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
  }
  robot_step(10);

  // Step 6 meets the stop time: the stand-in ends the process inside it.
  for (;;) robot_step(10);
}

// The sensors mode of this binary: a 10 ms loop that reads every sensor
// there is and answers with an ankle command, as a balancing controller
// would.
DeviceId g_touch[2], g_gps, g_unit, g_gyro, g_accelerometer, g_ankle;

void bind_sensors() {
  g_touch[0] = robot_get_device("left touch");
  g_touch[1] = robot_get_device("right touch");
  g_gps = robot_get_device("gps");
  g_unit = robot_get_device("inertial unit");
  g_gyro = robot_get_device("gyro");
  g_accelerometer = robot_get_device("accelerometer");
  g_ankle = robot_get_device("rleg_joint_5");
  for (DeviceId touch : g_touch) touch_sensor_enable(touch, 10);
  gps_enable(g_gps, 10);
  inertial_unit_enable(g_unit, 10);
  gyro_enable(g_gyro, 10);
  accelerometer_enable(g_accelerometer, 10);
}

int controller_reading_sensors() {
  robot_live(bind_sensors);
  for (;;) {
    double seen = touch_sensor_get_value(g_touch[0]) - touch_sensor_get_value(g_touch[1]);
    for (const double *values :
         {gps_get_values(g_gps), inertial_unit_get_roll_pitch_yaw(g_unit), gyro_get_values(g_gyro),
          accelerometer_get_values(g_accelerometer)}) {
      seen += values[0] + values[1] + values[2];
    }
    servo_set_position(g_ankle, std::isfinite(seen) ? static_cast<float>(1e-4 * seen) : 0.0f);
    robot_step(10);
  }
}

class LoopAllocation : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char *why = probe_unusable()) GTEST_SKIP() << why;
    log_path_ = e2e::temp_dir() + "/alloc.log";
  }
  std::string log_path_;
};

// The programs' control steps, run in each world: the physics world's
// engine steps inside robot_step must not allocate either.
class LoopAllocationIn : public LoopAllocation, public ::testing::WithParamInterface<const char *> {
 protected:
  e2e::Options probed_in_world(const std::string &program) {
    e2e::Options options = probed(program, log_path_);
    options.env.emplace_back("STANDIN_WORLD", GetParam());
    // A gentle push on and off, so that steps under a push are counted too.
    if (std::string_view(GetParam()) == "physics")
      options.env.emplace_back("STANDIN_PUSH", "300:1,0,0:1000;1500:0,1,0:1000");
    return options;
  }
  // The figures name the world too.
  std::string label(const char *program) { return std::string(program) + " (" + GetParam() + ")"; }
};
INSTANTIATE_TEST_SUITE_P(World, LoopAllocationIn, ::testing::Values("kinematic", "physics"),
                         [](const auto &info) { return std::string(info.param); });

TEST_F(LoopAllocation, ProbeCountsEachCallOnceAndOnlyTheControlThreads) {
  e2e::Options options = probed(self_path(), log_path_);
  options.env.emplace_back(kControllerMode, "1");
  options.stop_ms = 50;
  const e2e::Result r = e2e::run(options);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(e2e::steps(r.trace), 6);

  const ProbeLog log = read_probe_log(log_path_);
  ASSERT_EQ(log.steps.size(), 6u);
  EXPECT_GT(log.steps[0].in_step, 0u) << "process start-up allocates: the probe must see it";
  EXPECT_EQ(log.steps[1].in_step, kKnownAllocations);
  EXPECT_EQ(log.steps[3].in_step, 0u) << "the other thread's allocations are not the loop's";
  EXPECT_EQ(log.steps[4].in_step, 0u) << "the forked child's allocations are not the parent's";
  EXPECT_EQ(log.steps[5].in_step, 0u);
  for (const StepAllocations &s : log.steps) EXPECT_EQ(s.in_robot_step, 0u) << "step " << s.step;
  // The child exited through exit(): its destructors ran, but wrote nothing.
  EXPECT_EQ(log.totals, 1);
  EXPECT_GE(log.other, kHelperAllocations);
  unsigned long logged = 0;
  for (const StepAllocations &s : log.steps) logged += s.in_step + s.in_robot_step;
  EXPECT_EQ(log.control, logged) << "the total is the sum of the steps";
}

TEST_P(LoopAllocationIn, SkimPlayingABundledMotionAllocatesNothing) {
  e2e::Options options = probed_in_world(MOTION_SKIM_PATH);
  options.input = "wave_10ms.csv\n";
  options.cwd = MOTIONS_DIR;
  // 40 control steps: the 1,200 rows take 12, the last row is then held.
  options.stop_ms = 128 + 64 * 40;
  const e2e::Result r = e2e::run(options);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  // The file played: the arm is up four seconds into the wave.
  bool moved = false;
  for (const e2e::Command &c : e2e::commands_after_step(r.trace, 6)) moved |= c.value != 0.0f;
  EXPECT_TRUE(moved);

  const ProbeLog log = read_probe_log(log_path_);
  EXPECT_EQ(static_cast<long>(log.steps.size()), e2e::steps(r.trace));
  expect_steady_state_clean(log, 3, 39, label("motion_skim").c_str());
}

TEST_P(LoopAllocationIn, PlayerWaitingApproachingPlayingAndHandingOverAllocatesNothing) {
  e2e::Options options = probed_in_world(MOTION_PLAYER_PATH);
  options.cwd = MOTIONS_DIR;
  // Off the files' first rows, so that the approach takes steps.
  options.env.emplace_back("STANDIN_POSTURE", "rarm_joint_1=0.1, lleg_joint_4=-0.08");
  options.env.emplace_back("STANDIN_PACE", "20");
  e2e::Session s(options);
  ASSERT_TRUE(s.wait_for_output(kPlayerPrompt));
  ASSERT_TRUE(s.wait_for_step(logged_steps(log_path_) + 20));

  // The second file is handed over as the first: the loader opens it while
  // the loop waits.
  for (const char *name : {"wave_10ms.csv\n", "bow_25ms.csv\n"}) {
    std::size_t from = s.out().size();
    s.write(name);
    ASSERT_TRUE(s.wait_for_output("Executing your file...", from));
    from = s.out().find("Executing your file...", from);
    ASSERT_TRUE(s.wait_for_output(kPlayerPrompt, from));
    ASSERT_TRUE(s.wait_for_step(logged_steps(log_path_) + 20));
  }
  const e2e::Result r = s.stop();
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(e2e::count(r.out, "interpolating\n"), 2);

  const ProbeLog log = read_probe_log(log_path_);
  EXPECT_EQ(static_cast<long>(log.steps.size()), e2e::steps(r.trace));
  // 12 s and 6 s of file at 50 ms, the approach and the waits.
  expect_steady_state_clean(log, 2, 360 + 60, label("motion_player").c_str());
  EXPECT_GE(log.other, 2u) << "each fopen allocates, in the loader thread";
}

TEST_P(LoopAllocationIn, TunerIdleJoggingZeroingAndSnapshottingAllocatesNothing) {
  e2e::Options options = probed_in_world(POSE_TUNER_PATH);
  const char *path = std::getenv("PATH");
  options.env.emplace_back("PATH", clear_dir() + ":" + (path != nullptr ? path : "/usr/bin:/bin"));
  options.env.emplace_back("STANDIN_PACE", "20");
  e2e::Session s(options);
  ASSERT_TRUE(s.wait_for_output(kTunerPrompt));
  ASSERT_TRUE(s.wait_for_step(logged_steps(log_path_) + 10));

  // A jog: 20 interpolation steps, each clearing the screen from the loop.
  std::size_t from = s.out().size();
  s.write("3 0.1\n");
  ASSERT_TRUE(s.wait_for_output(std::string("\nThe interpolation is over\n") + kTunerPrompt, from));

  // A zero, applied by the console between two steps.
  from = s.out().size();
  s.write("5 9\n");
  ASSERT_TRUE(s.wait_for_output(kTunerPrompt, from));

  // A snapshot while a jog interpolates.
  from = s.out().size();
  s.write("1 0.2\n7 999 snap.csv\n");
  ASSERT_TRUE(s.wait_for_output("writing position to the file TeSt.csv\n", from));
  ASSERT_TRUE(s.wait_for_output(std::string("\nThe interpolation is over\n") + kTunerPrompt, from));
  ASSERT_TRUE(s.wait_for_step(logged_steps(log_path_) + 10));
  const e2e::Result r = s.stop();
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(std::filesystem::exists(r.cwd + "/snap.csv"));

  const ProbeLog log = read_probe_log(log_path_);
  EXPECT_EQ(static_cast<long>(log.steps.size()), e2e::steps(r.trace));
  // 10 idle, 20 + 40 interpolating, 10 idle.
  expect_steady_state_clean(log, 3, 80, label("pose_tuner").c_str());
  EXPECT_GE(log.other, 1u) << "the snapshot's fopen allocates, in the console thread";
}

TEST_P(LoopAllocationIn, LoopReadingEverySensorAllocatesNothing) {
  e2e::Options options = probed_in_world(self_path());
  options.env.emplace_back(kControllerMode, "sensors");
  options.stop_ms = 2000;
  const e2e::Result r = e2e::run(options);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  // Every read traced; the physics world's gave numbers.
  const std::vector<e2e::TraceLine> gyro = e2e::calls(r.trace, "gyro_get_values");
  ASSERT_EQ(static_cast<long>(gyro.size()), e2e::steps(r.trace));
  const bool physics = std::string_view(GetParam()) == "physics";
  EXPECT_EQ(gyro.back().value.find("nan") == std::string::npos, physics) << gyro.back().value;

  const ProbeLog log = read_probe_log(log_path_);
  EXPECT_EQ(static_cast<long>(log.steps.size()), e2e::steps(r.trace));
  expect_steady_state_clean(log, 2, 190, label("sensor loop").c_str());
}

TEST_P(LoopAllocationIn, LoopOnTheImperfectRobotWithEverySettingOnAllocatesNothing) {
  e2e::Options options = probed_in_world(self_path());
  options.env.emplace_back(kControllerMode, "sensors");
  // Each at the end of its range where that costs most: the longest
  // latency fills its ring with a command every 10 ms.
  for (auto [variable, value] : {std::pair{"STANDIN_SERVO_LATENCY", "1000"},
                                 {"STANDIN_SERVO_BACKLASH", "0.01"},
                                 {"STANDIN_SERVO_DEADBAND", "0.005"},
                                 {"STANDIN_SERVO_OFFSETS", "rleg_joint_5=0.02,lleg_joint_3=-0.02"},
                                 {"STANDIN_SERVO_STRENGTH", "0.8"},
                                 {"STANDIN_MASS_SCALE", "1.2"},
                                 {"STANDIN_COM_SHIFT", "10,-5"},
                                 {"STANDIN_FLOOR_FRICTION", "0.6"},
                                 {"STANDIN_FLOOR_SLOPE", "2,-2"},
                                 {"STANDIN_FLOOR_BUMPS", "4:9"},
                                 {"STANDIN_SENSOR_NOISE", "0.02:3"}}) {
    options.env.emplace_back(variable, value);
  }
  options.stop_ms = 3000;
  const e2e::Result r = e2e::run(options);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(e2e::count(r.err, "standin: the imperfect robot: "), 1) << r.err;

  const ProbeLog log = read_probe_log(log_path_);
  EXPECT_EQ(static_cast<long>(log.steps.size()), e2e::steps(r.trace));
  expect_steady_state_clean(log, 2, 290, label("imperfect robot loop").c_str());
}

#ifdef WALKER_PATH
// The walker's control periods: standing ready, walking with turns and
// side steps at every rate the ramps allow, stopping, standing again. Step
// 1 is start-up, step 2 starts the shell's threads and takes over the
// posture; every period after allocates nothing, the engine's included.
TEST_P(LoopAllocationIn, WalkerStandingWalkingTurningAndStoppingAllocatesNothing) {
  const std::string script = e2e::temp_dir() + "/walk.txt";
  e2e::write_file(script, "0 walk 0.2 0.03 0.5\n1500 walk -0.1 -0.05 -0.8\n3000 stop\n");
  e2e::Options options = probed_in_world(WALKER_PATH);
  options.args = {"--script", script};
  options.stop_ms = 128 + 4500;
  const e2e::Result r = e2e::run(options);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("stopping"), std::string::npos) << r.out;

  const ProbeLog log = read_probe_log(log_path_);
  EXPECT_EQ(static_cast<long>(log.steps.size()), e2e::steps(r.trace));
  expect_steady_state_clean(log, 3, 440, label("walker").c_str());
}
#endif

}  // namespace

int main(int argc, char **argv) {
  const char *mode = std::getenv(kControllerMode);
  if (mode != nullptr && std::strcmp(mode, "1") == 0) return controller_with_known_allocations();
  if (mode != nullptr && std::strcmp(mode, "sensors") == 0) return controller_reading_sensors();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

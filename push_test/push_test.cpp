// push-test: the largest push on the chest a motion, a posture or a walk
// survives.
//
//   push_test [--steps N] [--moments K] [--directions LIST]
//             [--walker [--walker-arg ARG]...] [--] FILE
//
// Plays FILE with motion_player in the stand-in's physics world, the robot
// starting in the file's first row, or with --walker the walker on the
// script FILE, and finds by bisection the largest 100 ms push it survives
// from the front, the back and each side, at moments spread over the
// motion or over a steady stride of the walk, beside the capture-point
// estimate (see docs/balance.md). Runs go two at a time, one per core.
// motion_player and the walker are the ones built beside this tool. Exit
// status: 0 table printed, 2 bad arguments, an unreadable file or a script
// the walker refuses, 1 anything else (the motion falls without a push),
// 130 or 143 interrupted.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "body_model.h"
#include "motion_run.h"
#include "playback.h"
#include "push_test_lib.h"
#include "runs.h"
#include "walker_run.h"

namespace {

int say(int status, const std::string &what) {
  std::fprintf(stderr, "push-test: %s\n", what.c_str());
  return status;
}

// What the test knows before it runs anything: the program each run is,
// its arguments and input, and the posture it starts in.
struct Setup {
  push::Options options;
  std::string program;  // motion_player, or the walker
  std::vector<std::string> args;
  std::string input;
  std::string work;
  std::string posture;
  long playback_ms = 0;
  long script_end_ms = 0;  // a walker script's last line, ms from the walker's first step
};

// A directory for one run or one bisection, holding the motion's link.
bool make_run_dir(const Setup &setup, const std::string &name, std::string *dir) {
  *dir = setup.work + "/" + name;
  std::error_code error;
  std::filesystem::create_directory(*dir, error);
  // The player takes names of at most 31 characters: a short one.
  if (!error && !setup.options.walker)
    std::filesystem::create_symlink(setup.work + "/motion.csv", *dir + "/motion.csv", error);
  return !error;
}

// The test, in its own session: the unpushed runs, every bisection two at
// a time, the estimates, the table.
int run_test(const Setup &setup) {
  const push::Options &options = setup.options;
  const char *program = options.walker ? "the walker" : "motion_player";
  physics_runs::Runner runner(setup.program);
  std::string error;
  int signal = 0;
  physics_runs::RunResult result;
  auto run_unpushed = [&](const std::string &name, long stop_ms) {
    std::string dir;
    if (!make_run_dir(setup, name, &dir)) {
      error = "cannot make the work directory " + dir;
      return false;
    }
    physics_runs::RunOrder order;
    order.dir = dir;
    order.args = setup.args;
    order.input = setup.input;
    order.stop_ms = stop_ms;
    order.posture = setup.posture;
    if (!runner.run(order, &result, &error, &signal)) return false;
    if (!result.ok) error = std::string(program) + " failed: " + result.failure;
    return result.ok;
  };
  auto stopped = [&]() { return signal == SIGINT ? 130 : 143; };

  // The unpushed run, long enough for the last moment's judgement: the
  // moments count from its first command, it must stand, and its log
  // gives the estimates (and a walk's steps).
  constexpr long kLatestFirstMs = 1000;
  const long settle = options.walker ? push::kWalkerSettleMs : push::kSettleMs;
  const long stop = options.walker ? kFirstStepMs + setup.script_end_ms + push::kWalkerReferenceMs
                                   : kLatestFirstMs + std::max(setup.playback_ms, 1000L) +
                                         push::kPushMs + push::kSettleMs;
  if (!run_unpushed("reference", stop)) return signal != 0 ? stopped() : say(1, error);
  if (result.first_ms < 0) return say(1, std::string(program) + " commanded nothing");
  if (result.first_ms > kLatestFirstMs)
    return say(1, std::string(program) + " first commanded at " + std::to_string(result.first_ms) +
                      " ms, later than " + std::to_string(kLatestFirstMs) + " ms");
  const long first = result.first_ms;
  const physics_runs::RunResult unpushed = result;
  std::vector<push::LogRow> log;
  {
    std::ifstream in(setup.work + "/reference/posture.csv");
    if (!push::read_posture_log(in, &log, &error) || log.empty())
      return say(1, error.empty() ? "the unpushed run wrote no posture log" : error);
  }
  // A walk is pushed over a steady stride: its steps from the log.
  std::vector<long> moments;
  long stride_from = -1, stride_to = -1;  // the walk's stride pushed, ms
  if (options.walker) {
    std::vector<long> steps = physics_runs::landings(log);
    // Steps that land too late for a push's judgement do not count.
    std::erase_if(steps, [&](long t) { return t > stop - push::kPushMs - settle; });
    moments = push::stride_moments(steps, first, options.moments, stop, &error);
    if (moments.empty()) return say(1, error);
    if (!steps.empty()) {
      stride_from = steps[push::kSteadySteps];
      stride_to = steps[push::kSteadySteps + 2];
    }
  } else {
    moments = push::push_moments(first, setup.playback_ms, options.moments);
  }
  if (unpushed.fell && unpushed.fell_ms <= moments.back() + push::kPushMs + settle)
    return say(1, "the robot falls without a push: " + unpushed.fell_line);
  const long reference_first = first;
  // The log's rows at a moment: the last one by then, and the one before.
  auto row_at = [&](long at) {
    std::size_t k = 0;
    while (k + 1 < log.size() && log[k + 1].time_ms <= at) ++k;
    return k;
  };

  std::string robot_error;
  const std::unique_ptr<robot::Model> model = robot::Model::load("", &robot_error);
  if (model == nullptr) return say(1, robot_error);
  push::Estimator estimator(*model);
  std::vector<push::Bisection> bisections;
  std::vector<double> estimates;
  std::vector<double> headings;
  for (push::Direction d : options.directions) {
    for (long at : moments) {
      const std::size_t k = row_at(at);
      bisections.emplace_back(d, at, options.steps);
      estimates.push_back(estimator.impulse(log, k, d));
      headings.push_back(log[k].yaw);
    }
  }

  // Every bisection, two runs at a time. A run whose file was handed over
  // at another time than in the unpushed run is run again, up to three
  // times, so that every push meets the motion at the same point.
  struct Going {
    std::size_t bisection;
    int attempt;
  };
  std::vector<std::pair<pid_t, Going>> going;
  std::vector<std::string> dirs(bisections.size());
  std::vector<bool> made(bisections.size(), false);  // each bisection's directory
  std::size_t next = 0;
  long unsure = 0;
  long runs = 0;
  auto start = [&](std::size_t b, int attempt) {
    const push::Bisection &bisection = bisections[b];
    const std::string name = std::string("job-") + push::name_of(bisection.from()) + "-" +
                             std::to_string(bisection.at_ms());
    std::string dir = setup.work + "/" + name;
    if (!made[b] && !make_run_dir(setup, name, &dir)) {
      error = "cannot make the work directory " + dir;
      return false;
    }
    made[b] = true;
    dirs[b] = dir;
    physics_runs::RunOrder order;
    order.dir = dir;
    order.args = setup.args;
    order.input = setup.input;
    order.stop_ms = bisection.at_ms() + push::kPushMs + settle;
    order.posture = setup.posture;
    order.settings = {"STANDIN_PUSH=" + push::push_setting(bisection.at_ms(), bisection.next(),
                                                           bisection.from(), headings[b])};
    const pid_t pid = runner.start(order, &error);
    if (pid < 0) return false;
    going.emplace_back(pid, Going{b, attempt});
    return true;
  };
  constexpr std::size_t kAtOnce = 2;
  constexpr int kAttempts = 3;
  while (next < bisections.size() || !going.empty()) {
    while (going.size() < kAtOnce && next < bisections.size()) {
      if (!start(next++, 1)) return say(1, error);
    }
    const pid_t ended = runner.wait(&result, &signal);
    if (ended < 0) return stopped();
    const auto it =
        std::find_if(going.begin(), going.end(), [&](const auto &g) { return g.first == ended; });
    const Going was = it->second;
    going.erase(it);
    if (!result.ok)
      return say(1, std::string("a pushed run of ") + program + " failed: " + result.failure);
    ++runs;
    if (result.first_ms != reference_first) {
      if (was.attempt < kAttempts) {
        if (!start(was.bisection, was.attempt + 1)) return say(1, error);
        continue;
      }
      ++unsure;
    }
    push::Bisection &bisection = bisections[was.bisection];
    // A walker survives when it has not fallen and walks on as the
    // unpushed one does, in the second and third seconds after the push.
    bool survived = !result.fell;
    if (survived && options.walker) {
      std::vector<push::LogRow> pushed;
      std::ifstream in(dirs[was.bisection] + "/posture.csv");
      if (!push::read_posture_log(in, &pushed, &error)) return say(1, error);
      const long end = bisection.at_ms() + push::kPushMs;
      survived = push::walked_on(log, pushed, end + 1000, end + settle);
    }
    bisection.verdict(survived);
    if (!bisection.done() && !start(was.bisection, 1)) return say(1, error);
  }

  const std::string name = std::filesystem::path(options.file).filename().string();
  if (stride_from >= 0)
    std::printf(
        "push-test: %s: the walker pushed over a stride from %.2f s to %.2f s after the first "
        "command; survived: no fall and walking on as unpushed, 3 s after the push\n",
        name.c_str(), (stride_from - first) / 1000.0, (stride_to - first) / 1000.0);
  push::print_table(stdout, name, first, moments, options.directions, bisections, estimates);
  if (unsure > 0)
    say(0, std::to_string(unsure) + " of " + std::to_string(runs) +
               " pushed runs started the file at another time than the unpushed run, three "
               "times over: their verdicts may be off");
  return std::fflush(stdout) == 0 ? 0 : say(1, "cannot write the table");
}

}  // namespace

int main(int argc, char **argv) {
  keep_standard_streams_open();
  const std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  const std::optional<push::Options> options = push::parse_options(args, &error);
  if (!options) return say(2, error);
  Setup setup;
  setup.options = *options;
  const std::string &file = options->file;
  if (!physics_runs::readable_file(file, options->walker ? "walker script" : "motion file", &error))
    return say(2, error);

  // Each run is the stand-in's default physics world with this test's
  // settings only: a recording, a window or another model would slow the
  // runs, have parallel runs write one file, or change the robot.
  const std::vector<std::string> ignored = physics_runs::standin_settings();
  if (!ignored.empty()) {
    std::string names;
    for (const std::string &n : ignored) names += (names.empty() ? "" : " ") + n;
    say(0, "the runs ignore " + names);
  }
  const char *program = options->walker ? "walker" : "motion_player";
  setup.program = physics_runs::built_beside(program);
  if (setup.program.empty() || access(setup.program.c_str(), X_OK) != 0)
    return say(1, std::string(program) + " is not built beside push_test: " + setup.program);

  if (options->walker) {
    // The walker's own check of the script and the arguments passed
    // through: what it refuses is refused here, before any run.
    int status = 0;
    if (!physics_runs::check_walker(setup.program, file, options->walker_args, &error, &status))
      return say(status, "the walker refuses to start: " + error);
    std::error_code failed;
    const std::string script = std::filesystem::canonical(file, failed).string();
    if (failed) return say(2, "cannot read the walker script: " + file);
    // The walker from its own start, as the stand-in starts the robot.
    setup.args = {"--script", script};
    setup.script_end_ms = physics_runs::script_end_ms(script);
    setup.args.insert(setup.args.end(), options->walker_args.begin(), options->walker_args.end());
  } else {
    // What motion_player makes of the file: any error ends the test.
    physics_runs::MotionSetup motion;
    if (!physics_runs::set_up_motion(file, &motion, &error)) return say(1, error);
    setup.playback_ms = motion.playback_ms;
    setup.posture = motion.posture;
    setup.input = "motion.csv\n";
  }

  // The work directory, under TMPDIR, with the motion's link.
  setup.work = physics_runs::make_work_dir("push-test", &error);
  if (setup.work.empty()) return say(1, error);
  if (!options->walker && !physics_runs::link_motion(file, setup.work, &error)) {
    std::filesystem::remove_all(setup.work);
    return say(1, error);
  }
  return physics_runs::supervise("push-test", setup.work, [&] { return run_test(setup); });
}

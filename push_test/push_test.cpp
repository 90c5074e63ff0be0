// push-test: the largest push on the chest a motion or a posture survives.
//
//   push_test [--steps N] [--moments K] [--directions LIST] [--] FILE
//
// Plays FILE with motion_player in the stand-in's physics world, the robot
// starting in the file's first row, and finds by bisection the largest
// 100 ms push it survives from the front, the back and each side, at
// moments spread over the motion, beside the capture-point estimate (see
// docs/balance.md). Runs go two at a time, one per core. motion_player is
// the one built beside this tool. Exit status: 0 table printed, 2 bad
// arguments or unreadable file, 1 anything else (the motion falls without
// a push), 130 or 143 interrupted.
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
#include "push_test_lib.h"
#include "runs.h"

namespace {

int say(int status, const std::string &what) {
  std::fprintf(stderr, "push-test: %s\n", what.c_str());
  return status;
}

// What the test knows before it runs anything.
struct Setup {
  push::Options options;
  std::string player;
  std::string work;
  std::string posture;
  long playback_ms = 0;
};

// A directory for one run or one bisection, holding the motion's link.
bool make_run_dir(const Setup &setup, const std::string &name, std::string *dir) {
  *dir = setup.work + "/" + name;
  std::error_code error;
  std::filesystem::create_directory(*dir, error);
  // The player takes names of at most 31 characters: a short one.
  if (!error)
    std::filesystem::create_symlink(setup.work + "/motion.csv", *dir + "/motion.csv", error);
  return !error;
}

// The test, in its own session: the unpushed runs, every bisection two at
// a time, the estimates, the table.
int run_test(const Setup &setup) {
  const push::Options &options = setup.options;
  physics_runs::Runner runner(setup.player);
  std::string error;
  int signal = 0;
  physics_runs::RunResult result;
  auto run_unpushed = [&](const std::string &name, long stop_ms) {
    std::string dir;
    if (!make_run_dir(setup, name, &dir)) {
      error = "cannot make the work directory " + dir;
      return false;
    }
    physics_runs::RunSpec spec;
    spec.dir = dir;
    spec.input = "motion.csv\n";
    spec.stop_ms = stop_ms;
    spec.posture = setup.posture;
    if (!runner.run(spec, &result, &error, &signal)) return false;
    if (!result.ok) error = "motion_player failed: " + result.failure;
    return result.ok;
  };
  auto stopped = [&]() { return signal == SIGINT ? 130 : 143; };

  // The unpushed run, long enough for the last moment's judgement: the
  // moments count from its first command, it must stand, and its log
  // gives the estimates.
  constexpr long kLatestFirstMs = 1000;
  const long stop =
      kLatestFirstMs + std::max(setup.playback_ms, 1000L) + push::kPushMs + push::kSettleMs;
  if (!run_unpushed("reference", stop)) return signal != 0 ? stopped() : say(1, error);
  if (result.first_ms < 0) return say(1, "motion_player commanded nothing");
  if (result.first_ms > kLatestFirstMs)
    return say(1, "motion_player first commanded at " + std::to_string(result.first_ms) +
                      " ms, later than " + std::to_string(kLatestFirstMs) + " ms");
  const long first = result.first_ms;
  const std::vector<long> moments = push::push_moments(first, setup.playback_ms, options.moments);
  if (result.fell && result.fell_ms <= moments.back() + push::kPushMs + push::kSettleMs)
    return say(1, "the robot falls without a push: " + result.fell_line);
  const long reference_first = first;
  std::vector<push::LogRow> log;
  {
    std::ifstream in(setup.work + "/reference/posture.csv");
    if (!push::read_posture_log(in, &log, &error) || log.empty())
      return say(1, error.empty() ? "the unpushed run wrote no posture log" : error);
  }
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
    physics_runs::RunSpec spec;
    spec.dir = dir;
    spec.input = "motion.csv\n";
    spec.stop_ms = bisection.at_ms() + push::kPushMs + push::kSettleMs;
    spec.posture = setup.posture;
    spec.settings = {"STANDIN_PUSH=" + push::push_setting(bisection.at_ms(), bisection.next(),
                                                          bisection.from(), headings[b])};
    const pid_t pid = runner.start(spec, &error);
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
    if (!result.ok) return say(1, "a pushed run of motion_player failed: " + result.failure);
    ++runs;
    if (result.first_ms != reference_first) {
      if (was.attempt < kAttempts) {
        if (!start(was.bisection, was.attempt + 1)) return say(1, error);
        continue;
      }
      ++unsure;
    }
    push::Bisection &bisection = bisections[was.bisection];
    bisection.verdict(!result.fell);
    if (!bisection.done() && !start(was.bisection, 1)) return say(1, error);
  }

  const std::string name = std::filesystem::path(options.file).filename().string();
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
  if (!physics_runs::readable_motion_file(file, &error)) return say(2, error);

  // Each run is the stand-in's default physics world with this test's
  // settings only: a recording, a window or another model would slow the
  // runs, have parallel runs write one file, or change the robot.
  const std::vector<std::string> ignored = physics_runs::standin_settings();
  if (!ignored.empty()) {
    std::string names;
    for (const std::string &n : ignored) names += (names.empty() ? "" : " ") + n;
    say(0, "the runs ignore " + names);
  }
  setup.player = physics_runs::built_beside("motion_player");
  if (setup.player.empty() || access(setup.player.c_str(), X_OK) != 0)
    return say(1, "motion_player is not built beside push_test: " + setup.player);

  // What motion_player makes of the file: any error ends the test.
  physics_runs::MotionSetup motion;
  if (!physics_runs::set_up_motion(file, &motion, &error)) return say(1, error);
  setup.playback_ms = motion.playback_ms;
  setup.posture = motion.posture;

  // The work directory, under TMPDIR, with the motion's link.
  setup.work = physics_runs::make_work_dir("push-test", &error);
  if (setup.work.empty()) return say(1, error);
  if (!physics_runs::link_motion(file, setup.work, &error)) {
    std::filesystem::remove_all(setup.work);
    return say(1, error);
  }
  return physics_runs::supervise("push-test", setup.work, [&] { return run_test(setup); });
}

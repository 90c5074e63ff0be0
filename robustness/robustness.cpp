// robustness: how often a motion or a walk stays up on the imperfect robot.
//
//   robustness [--runs N] [--seed S] [--jobs J] [--rank-runs M]
//              [--set NAME=LO:HI]... [--fix NAME=V]... [--require P]
//              [--walker [--walker-arg ARG]...] [--list [--out DIR]] [--] FILE
//   robustness --collect DIR [--require P]
//   robustness --run I --out DIR
//
// Plays FILE with motion_player in the stand-in's physics world, the robot
// starting in the file's first row, on N robots drawn at random from the
// imperfect robot's settings, on the nominal robot, and on each setting
// alone at the ends of its range, J runs at a time, and reports how often
// the robot stays up (docs/robustness.md). With --walker FILE is a walker
// script, played by the walker from its own start. --list prints the runs as
// commands instead, each writing its verdict into a folder, and --collect
// reads the verdicts into the same report. motion_player is the one built
// (or the walker) beside this tool. Exit status: 0 the share clears --require (or none is
// asked), 1 it does not, or anything else went wrong, 2 bad arguments,
// 130 or 143 interrupted.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "body_model.h"
#include "motion_run.h"
#include "playback.h"
#include "posture_log.h"
#include "robustness_lib.h"
#include "runs.h"
#include "walker_run.h"

namespace {

using robustness::Plan;
using robustness::Run;
using robustness::Verdict;

int say(int status, const std::string &what) {
  std::fprintf(stderr, "robustness: %s\n", what.c_str());
  return status;
}

// The robot is judged this long after the motion's last row, ms; the
// approach to the first row, where the servos start off it, may take this
// long, ms.
constexpr long kSettleMs = 2000;
constexpr long kApproachRoomMs = 500;
// A run that starts its motion later than the play's first command is run
// again, up to this many times in all.
constexpr int kAttempts = 3;
// Longest plan and verdict file read, bytes.
constexpr std::size_t kMostPlan = 1 << 20;
constexpr std::size_t kMostVerdict = 1 << 16;

// A walker run is judged this long after its script's last line, ms, and
// lasts this long at least (a script that walks on without end), ms.
constexpr long kWalkerSettleMs = 3000;
constexpr long kWalkerLeastMs = 10000;

// What each run plays. A motion file: motion_player, the file named on its
// standard input as motion.csv, the robot starting in its first row. A
// walker script: `walker --script FILE ARGS...`, from the walker's own
// start.
struct Play {
  std::string name;     // the program's, in messages
  bool linked = false;  // each run's folder holds the motion as motion.csv
  std::string program;  // its path
  std::vector<std::string> args;
  std::string input;
  std::string posture;  // STANDIN_POSTURE
  long stop_ms = 0;     // the run's end
  long first_ms = 0;    // when its first command comes, simulated ms
};

// motion_player playing `file`; false with `*error`.
bool motion_play(const std::string &file, Play *play, std::string *error) {
  physics_runs::MotionSetup motion;
  if (!physics_runs::set_up_motion(file, &motion, error)) return false;
  play->name = "motion_player";
  play->linked = true;
  play->program = physics_runs::built_beside("motion_player");
  if (play->program.empty() || access(play->program.c_str(), X_OK) != 0) {
    *error = "motion_player is not built beside robustness: " + play->program;
    return false;
  }
  play->input = "motion.csv\n";
  play->posture = motion.posture;
  play->first_ms = kFirstStepMs;
  play->stop_ms = kFirstStepMs + kApproachRoomMs + motion.playback_ms + kSettleMs;
  return true;
}

// The walker on the script `file` with `args`, checked by the walker
// itself; false with `*error` and `*status` (2 for what the walker
// refuses as bad arguments or a bad script).
bool walker_play(const std::string &file, const std::vector<std::string> &args, Play *play,
                 std::string *error, int *status) {
  *status = 1;
  play->name = "the walker";
  play->program = physics_runs::built_beside("walker");
  if (play->program.empty() || access(play->program.c_str(), X_OK) != 0) {
    *error = "the walker is not built beside robustness: " + play->program;
    return false;
  }
  if (!physics_runs::check_walker(play->program, file, args, error, status)) {
    *error = "the walker refuses to start: " + *error;
    return false;
  }
  std::error_code failed;
  const std::string script = std::filesystem::canonical(file, failed).string();
  if (failed) {
    *error = "cannot read the walker script: " + file;
    return false;
  }
  play->args = {"--script", script};
  play->args.insert(play->args.end(), args.begin(), args.end());
  play->first_ms = kFirstStepMs;
  play->stop_ms = kFirstStepMs +
                  std::max(physics_runs::script_end_ms(script) + kWalkerSettleMs, kWalkerLeastMs);
  return true;
}

// What a plan plays of `file`; false with `*error` and the status to end with.
bool plan_play(const Plan &plan, const std::string &file, Play *play, std::string *error,
               int *status) {
  if (plan.walker) return walker_play(file, plan.walker_args, play, error, status);
  *status = 1;
  return motion_play(file, play, error);
}

// The copy of the file a folder of --list holds.
std::string copy_name(const Plan &plan) {
  return plan.walker ? "script.txt" : "motion.csv";
}

// A whole file of at most `most` bytes; false when it cannot be read or
// is longer.
bool read_file(const std::string &path, std::size_t most, std::string *text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  text->assign(most + 1, '\0');
  in.read(text->data(), static_cast<std::streamsize>(most + 1));
  text->resize(static_cast<std::size_t>(in.gcount()));
  return !in.bad() && text->size() <= most;
}

// Writes `text` to `path` whole or not at all: a killed run leaves no half
// verdict.
bool write_whole(const std::string &path, const std::string &text) {
  const std::string part = path + ".part";
  {
    std::ofstream out(part, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) {
      std::remove(part.c_str());
      return false;
    }
  }
  return std::rename(part.c_str(), path.c_str()) == 0;
}

// 'text' for a POSIX shell.
std::string quoted(const std::string &text) {
  std::string q = "'";
  for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string verdict_path(const std::string &dir, long run) {
  return dir + "/run-" + std::to_string(run) + ".txt";
}

int cores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  return std::max(1, CPU_COUNT(&set));
}

// --- Running ------------------------------------------------------------------

// What the work knows before it runs anything.
struct Setup {
  Plan plan;
  std::vector<Run> runs;
  Play play;
  std::string work;  // the work directory, holding motion.csv
};

// A run's verdict from what the stand-in said and logged; false with
// `*error` when the run did not do what it was asked.
bool judge(const Setup &setup, long number, const physics_runs::RunResult &result,
           const std::string &dir, robot::Data &data, Verdict *verdict, std::string *error) {
  const Run &run = setup.runs[number - 1];
  const std::string which = "run " + std::to_string(number) + ": ";
  if (!result.ok) {
    *error = which + setup.play.name + " failed: " + result.failure;
    return false;
  }
  if (result.first_ms < 0) {
    *error = which + setup.play.name + " commanded nothing";
    return false;
  }
  const std::string drawn = robustness::told_of(run.robot);
  if (result.robot != drawn) {
    *error = which + "the stand-in ran another robot than the one drawn: it ran '" + result.robot +
             "', not '" + drawn + "'";
    return false;
  }
  std::vector<physics_runs::LogRow> log;
  {
    std::ifstream in(dir + "/posture.csv");
    if (!physics_runs::read_posture_log(in, &log, error)) {
      *error = which + *error;
      return false;
    }
  }
  Verdict v;
  v.run = number;
  v.first_ms = result.first_ms;
  v.fell_ms = result.fell ? result.fell_ms : -1;
  v.robot = result.robot;
  // The smallest margin from the first command until the fall.
  double least = INFINITY;
  for (const physics_runs::LogRow &row : log) {
    if (row.time_ms < v.first_ms || (v.fell_ms >= 0 && row.time_ms >= v.fell_ms)) continue;
    const double margin = physics_runs::balance_margin(data, row);
    if (!std::isnan(margin)) least = std::min(least, margin);
  }
  // The stance sole, flat on the floor, always carries: the support is
  // never empty.
  if (std::isfinite(least)) {
    v.has_margin = true;
    v.margin_um = std::lround(least * 1000.0);
  }
  *verdict = v;
  return true;
}

// The progress line, on a terminal only.
class Progress {
 public:
  Progress(const Setup &setup, std::size_t total)
      : shown_(isatty(STDERR_FILENO) == 1), setup_(setup), total_(total) {}
  void add(const Verdict &v) {
    ++done_;
    if (setup_.runs[v.run - 1].kind == Run::Kind::kDrawn) {
      ++drawn_;
      if (v.fell_ms < 0) ++up_;
    }
    if (!shown_) return;
    std::fprintf(stderr, "\rrobustness: %zu of %zu runs; %ld of %ld robots drawn stayed up", done_,
                 total_, up_, drawn_);
    if (drawn_ > 0) std::fprintf(stderr, " (%.1f%%)", 100.0 * up_ / drawn_);
    std::fprintf(stderr, "\x1b[K");
    std::fflush(stderr);
  }
  void clear() {
    if (shown_ && done_ > 0) std::fprintf(stderr, "\r\x1b[K");
    std::fflush(stderr);
  }

 private:
  bool shown_;
  const Setup &setup_;
  std::size_t total_;
  std::size_t done_ = 0;
  long drawn_ = 0;
  long up_ = 0;
};

// Runs the runs `numbers`, `jobs` at a time, in the work's session, and
// hands each verdict to `done`. 0, or the status to end with.
int execute(const Setup &setup, const std::vector<long> &numbers, int jobs,
            const std::function<void(const Verdict &)> &done, Progress *progress) {
  std::string error;
  const std::unique_ptr<robot::Model> model = robot::Model::load("", &error);
  if (model == nullptr) return say(1, error);
  robot::Data data(*model);
  physics_runs::Runner runner(setup.play.program);
  struct Going {
    pid_t pid;
    long number;
    int attempt;
    std::string dir;
  };
  std::vector<Going> going;
  long late = 0;
  auto start = [&](long number, int attempt) {
    const std::string dir = setup.work + "/run-" + std::to_string(number);
    std::error_code failed;
    if (attempt == 1) {
      std::filesystem::create_directory(dir, failed);
      // The player takes names of at most 31 characters: a short one.
      if (!failed && setup.play.linked)
        std::filesystem::create_symlink(setup.work + "/motion.csv", dir + "/motion.csv", failed);
    }
    if (failed) {
      error = "cannot make the work directory " + dir;
      return false;
    }
    physics_runs::RunOrder order;
    order.dir = dir;
    order.args = setup.play.args;
    order.input = setup.play.input;
    order.stop_ms = setup.play.stop_ms;
    order.posture = setup.play.posture;
    order.settings = robustness::settings_of(setup.runs[number - 1].robot);
    const pid_t pid = runner.start(order, &error);
    if (pid < 0) return false;
    going.push_back({pid, number, attempt, dir});
    return true;
  };
  auto fail = [&](const std::string &why) {
    progress->clear();
    return say(1, why);
  };
  std::size_t next = 0;
  physics_runs::RunResult result;
  int signal = 0;
  while (next < numbers.size() || !going.empty()) {
    while (going.size() < static_cast<std::size_t>(jobs) && next < numbers.size())
      if (!start(numbers[next++], 1)) return fail(error);
    const pid_t ended = runner.wait(&result, &signal);
    if (ended < 0) {
      progress->clear();
      return signal == SIGINT ? 130 : 143;
    }
    const auto it =
        std::find_if(going.begin(), going.end(), [&](const Going &g) { return g.pid == ended; });
    const Going was = *it;
    going.erase(it);
    // The player hands a file over by the wall clock: a run that started
    // its motion late stood longer before it, so it is run again.
    if (result.ok && result.first_ms > setup.play.first_ms) {
      if (was.attempt < kAttempts) {
        if (!start(was.number, was.attempt + 1)) return fail(error);
        continue;
      }
      ++late;
    }
    Verdict verdict;
    if (!judge(setup, was.number, result, was.dir, data, &verdict, &error)) return fail(error);
    std::error_code ignored;
    std::filesystem::remove_all(was.dir, ignored);
    done(verdict);
    progress->add(verdict);
  }
  progress->clear();
  if (late > 0)
    say(0, std::to_string(late) + " run(s) started the motion later than " +
               std::to_string(setup.play.first_ms) +
               " ms, three times over: the report may differ from another of the same seed");
  return 0;
}

// The work directory with the motion's link, and `work` run in a session
// of its own.
int supervised(Setup &setup, const std::string &file, const std::function<int()> &work) {
  std::string error;
  setup.work = physics_runs::make_work_dir("robustness", &error);
  if (setup.work.empty()) return say(1, error);
  if (setup.play.linked && !physics_runs::link_motion(file, setup.work, &error)) {
    std::filesystem::remove_all(setup.work);
    return say(1, error);
  }
  return physics_runs::supervise("robustness", setup.work, work);
}

// The exit status for a report.
int verdict_status(const Setup &setup, const std::vector<Verdict> &verdicts,
                   const std::optional<double> &require) {
  if (std::fflush(stdout) != 0) return say(1, "cannot write the report");
  if (!require) return 0;
  return robustness::clears(setup.plan, setup.runs, verdicts, *require) ? 0 : 1;
}

// --- The modes -------------------------------------------------------------------

int run_here(const robustness::Options &options) {
  const std::string &file = options.plan.file;
  Setup setup;
  setup.plan = options.plan;
  std::string error;
  // Each run is the stand-in's default physics world with this tool's
  // settings only: a recording, a window or another model would slow the
  // runs, have parallel runs write one file, or change the robot.
  const std::vector<std::string> ignored = physics_runs::standin_settings();
  if (!ignored.empty()) {
    std::string names;
    for (const std::string &n : ignored) names += (names.empty() ? "" : " ") + n;
    say(0, "the runs ignore " + names);
  }
  int status = 1;
  if (!plan_play(setup.plan, file, &setup.play, &error, &status)) return say(status, error);
  setup.runs = robustness::plan_runs(setup.plan);
  const int jobs = options.jobs > 0 ? options.jobs : cores();
  return supervised(setup, file, [&] {
    std::vector<long> numbers(setup.runs.size());
    for (std::size_t i = 0; i < numbers.size(); ++i) numbers[i] = static_cast<long>(i) + 1;
    std::vector<Verdict> verdicts(setup.runs.size());
    Progress progress(setup, setup.runs.size());
    const int status = execute(
        setup, numbers, jobs, [&](const Verdict &v) { verdicts[v.run - 1] = v; }, &progress);
    if (status != 0) return status;
    robustness::print_report(stdout, setup.plan, setup.runs, verdicts);
    return verdict_status(setup, verdicts, options.require);
  });
}

int list(const robustness::Options &options) {
  Plan plan = options.plan;
  std::string text, error_text;
  Play play;
  int status = 1;
  if (!plan_play(plan, plan.file, &play, &error_text, &status)) return say(status, error_text);
  if (!read_file(plan.file, kMostPlan * 64, &text))
    return say(1, "cannot read the file: " + plan.file);
  plan.motion = robustness::fingerprint(text);
  // The folder: new, or empty.
  std::string dir = options.dir;
  std::error_code error;
  if (dir.empty()) {
    std::string pattern = "robustness-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
      return say(1, "cannot make a folder here: " + std::string(std::strerror(errno)));
    dir = pattern;
  } else if (!std::filesystem::create_directory(dir, error) &&
             !(std::filesystem::is_directory(dir, error) &&
               std::filesystem::is_empty(dir, error))) {
    return say(2, "--out " + dir + " is neither a new folder nor an empty one");
  }
  const std::string absolute = std::filesystem::absolute(dir, error).lexically_normal().string();
  if (error) return say(1, "cannot name the folder " + dir);
  if (!write_whole(absolute + "/" + copy_name(plan), text) ||
      !write_whole(absolute + "/plan.txt", robustness::plan_text(plan)))
    return say(1, "cannot write into " + dir);
  std::error_code failed;
  const std::string self = std::filesystem::read_symlink("/proc/self/exe", failed).string();
  const long total = static_cast<long>(robustness::plan_runs(plan).size());
  for (long r = 1; r <= total; ++r)
    std::printf("%s --run %ld --out %s\n", quoted(self).c_str(), r, quoted(absolute).c_str());
  if (std::fflush(stdout) != 0) return say(1, "cannot write the list");
  say(0, std::to_string(total) + " runs, each writing its verdict into " + dir +
             "; then: tools/robustness --collect " + dir);
  return 0;
}

// A folder's plan, checked against its motion's copy.
bool read_plan(const std::string &dir, Plan *plan, std::string *text, std::string *error) {
  if (!read_file(dir + "/plan.txt", kMostPlan, text)) {
    *error = "cannot read " + dir + "/plan.txt: not a folder of --list";
    return false;
  }
  std::optional<Plan> read = robustness::parse_plan(*text, error);
  if (!read) {
    *error = dir + "/plan.txt " + *error;
    return false;
  }
  *plan = *read;
  return true;
}

int run_one(const robustness::Options &options) {
  const std::string &dir = options.dir;
  Setup setup;
  std::string plan_text, error;
  if (!read_plan(dir, &setup.plan, &plan_text, &error)) return say(2, error);
  setup.runs = robustness::plan_runs(setup.plan);
  if (options.run > static_cast<long>(setup.runs.size()))
    return say(2, "--run " + std::to_string(options.run) + ": the plan has " +
                      std::to_string(setup.runs.size()) + " runs");
  const std::string motion = dir + "/" + copy_name(setup.plan);
  std::string text;
  if (!read_file(motion, kMostPlan * 64, &text) ||
      robustness::fingerprint(text) != setup.plan.motion)
    return say(1, motion + " is not the " + (setup.plan.walker ? "script" : "motion") +
                      " the plan was made with");
  int status = 1;
  if (!plan_play(setup.plan, motion, &setup.play, &error, &status)) return say(status, error);
  const std::uint64_t plan = robustness::fingerprint(plan_text);
  return supervised(setup, motion, [&] {
    Verdict verdict;
    Progress quiet(setup, 1);
    const int status = execute(
        setup, {options.run}, 1, [&](const Verdict &v) { verdict = v; }, &quiet);
    if (status != 0) return status;
    if (!write_whole(verdict_path(dir, options.run), robustness::verdict_text(verdict, plan)))
      return say(1, "cannot write " + verdict_path(dir, options.run));
    return 0;
  });
}

int collect(const robustness::Options &options) {
  const std::string &dir = options.dir;
  Setup setup;
  std::string plan_text, error;
  if (!read_plan(dir, &setup.plan, &plan_text, &error)) return say(2, error);
  setup.runs = robustness::plan_runs(setup.plan);
  const std::uint64_t plan = robustness::fingerprint(plan_text);
  std::vector<Verdict> verdicts(setup.runs.size());
  std::vector<long> missing;
  for (std::size_t i = 0; i < setup.runs.size(); ++i) {
    const long number = static_cast<long>(i) + 1;
    const std::string path = verdict_path(dir, number);
    std::string text;
    if (!read_file(path, kMostVerdict, &text)) {
      missing.push_back(number);
      continue;
    }
    std::uint64_t of = 0;
    if (!robustness::parse_verdict(text, &verdicts[i], &of, &error))
      return say(1, path + " " + error);
    if (of != plan || verdicts[i].run != number)
      return say(1, path + " is the verdict of another plan or run");
  }
  if (!missing.empty()) {
    std::string which;
    for (std::size_t k = 0; k < missing.size() && k < 10; ++k)
      which += (k == 0 ? "" : ", ") + std::to_string(missing[k]);
    if (missing.size() > 10) which += ", ...";
    return say(1, dir + " lacks the verdicts of " + std::to_string(missing.size()) + " of " +
                      std::to_string(setup.runs.size()) + " runs: " + which);
  }
  robustness::print_report(stdout, setup.plan, setup.runs, verdicts);
  return verdict_status(setup, verdicts, options.require);
}

}  // namespace

int main(int argc, char **argv) {
  keep_standard_streams_open();
  const std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  const std::optional<robustness::Options> options = robustness::parse_options(args, &error);
  if (!options) return say(2, error);
  switch (options->mode) {
    case robustness::Mode::kCollect:
      return collect(*options);
    case robustness::Mode::kRun:
      return run_one(*options);
    case robustness::Mode::kHere:
    case robustness::Mode::kList:
      break;
  }
  const std::string &file = options->plan.file;
  if (!physics_runs::readable_file(file, options->plan.walker ? "walker script" : "motion file",
                                   &error))
    return say(2, error);
  return options->mode == robustness::Mode::kList ? list(*options) : run_here(*options);
}

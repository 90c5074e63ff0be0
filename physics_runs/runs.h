// The tools' runs in the physics world: a tool's work in a session of its
// own, and its runs of a program (motion_player) on the stand-in, as many
// at a time as it asks.
//
// Nothing outlives the tool. The work leads a session of its own, so a
// TERM, an INT or a HUP to the tool ends it and every run it started, as a
// group. The work dies with the tool (PR_SET_PDEATHSIG), even when the
// tool is killed outright, and then ends its runs and removes the work
// directory itself; each run dies with the work.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace physics_runs {

// Runs `work` in a child process that leads a session of its own, and
// waits for it; returns its exit status. A TERM, INT or HUP ends the work
// and its runs (what is still running 5 s later is killed) and gives 143,
// 130 or 143. `dir`, the work's directory, is removed in every case, once
// nothing of the session is left. `tool` names the tool in its messages.
int supervise(const std::string &tool, const std::string &dir, const std::function<int()> &work);

// One run of the program in the physics world, as fast as it goes, with
// a trace (trace.tsv) and a posture log (posture.csv) in `dir`.
struct RunOrder {
  std::string dir;                    // the program runs in it
  std::vector<std::string> args;      // after the program's name
  std::string input;                  // its standard input, whole
  long stop_ms = 0;                   // STANDIN_STOP_MS
  std::string posture;                // STANDIN_POSTURE; empty for none
  std::vector<std::string> settings;  // more STANDIN_ settings, NAME=VALUE
};

// What a run did, in the stand-in's own words and trace.
struct RunResult {
  bool ok = false;      // the program ended with status 0
  std::string failure;  // when not ok: what it said, cut
  bool fell = false;    // the stand-in said the robot fell
  std::string fell_line;
  long fell_ms = -1;   // when, simulated ms
  long first_ms = -1;  // when the program first commanded a servo, ms; -1 never
  // The settings of the imperfect robot the stand-in told it ran, as it
  // wrote them after "the imperfect robot:"; empty for the perfect robot.
  std::string robot;
};

// Starts runs and waits for them, from the work's process (whose TERM,
// INT, HUP and CHLD are blocked: supervise() blocks them).
class Runner {
 public:
  // `program` is the path of the program run. The runs get the caller's
  // environment without its STANDIN_ settings, and the run's own.
  explicit Runner(std::string program);
  // Ends and reaps every run still going.
  ~Runner();
  Runner(const Runner &) = delete;
  Runner &operator=(const Runner &) = delete;

  // Starts a run; its process id, or -1 with `*error` set.
  pid_t start(const RunOrder &order, std::string *error);
  // Waits for one of the runs started to end: its id and what it did.
  // Returns -1 when a TERM, INT or HUP came first; `*signal` says which.
  pid_t wait(RunResult *result, int *signal);
  // Starts one run and waits for it.
  bool run(const RunOrder &order, RunResult *result, std::string *error, int *signal);
  // Runs going.
  std::size_t going() const { return live_.size() + ended_.size(); }

 private:
  struct Live {
    pid_t pid;
    std::string dir;
  };
  std::string program_;
  std::vector<std::string> environment_;  // the caller's, without STANDIN_
  std::vector<Live> live_;
  // Runs that ended before anyone waited for them: id, status.
  std::vector<std::pair<Live, int>> ended_;
};

// The STANDIN_ settings of this process's environment, by name, sorted:
// the runs leave them out.
std::vector<std::string> standin_settings();

// A program built beside the running tool, in build/<preset>/NAME/NAME.
std::string built_beside(const std::string &name);

// A new directory under TMPDIR (or /tmp) named NAME.XXXXXX; empty with
// `*error` set when it cannot be made.
std::string make_work_dir(const std::string &name, std::string *error);

}  // namespace physics_runs

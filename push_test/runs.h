// push-test's processes: the test in a session of its own, and its runs of
// motion_player in the physics world, two at a time.
//
// Nothing outlives push-test. The test leads a session of its own, so a
// TERM, an INT or a HUP to push-test ends it and every run it started, as
// a group. The test dies with push-test (PR_SET_PDEATHSIG), even when
// push-test is killed outright, and then ends its runs and removes the
// work directory itself; each run dies with the test.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace push {

// Runs `test` in a child process that leads a session of its own, and
// waits for it; returns its exit status. A TERM, INT or HUP ends the test
// and its runs (what is still running 5 s later is killed) and gives 143,
// 130 or 143. `work`, the test's directory, is removed in every case.
int supervise(const std::string &work, const std::function<int()> &test);

// One run of motion_player, which plays the file `motion.csv` in `dir`.
struct RunSpec {
  std::string dir;
  long stop_ms = 0;     // STANDIN_STOP_MS
  std::string posture;  // STANDIN_POSTURE
  std::string push;     // STANDIN_PUSH; empty for none
};

// What a run did.
struct RunResult {
  bool ok = false;      // motion_player ended with status 0
  std::string failure;  // when not ok: what it said, cut
  bool fell = false;    // the stand-in said the robot fell
  std::string fell_line;
  long fell_ms = -1;   // when, simulated ms
  long first_ms = -1;  // when the player first commanded a servo, ms; -1 never
};

// Starts runs and waits for them, from the test's process (whose TERM,
// INT, HUP and CHLD are blocked: supervise() blocks them).
class Runner {
 public:
  // `player` is motion_player's path. The runs get the caller's
  // environment without its STANDIN_ settings, and the run's own.
  explicit Runner(std::string player);
  // Ends and reaps every run still going.
  ~Runner();
  Runner(const Runner &) = delete;
  Runner &operator=(const Runner &) = delete;

  // Starts a run; its process id, or -1 with `*error` set.
  pid_t start(const RunSpec &spec, std::string *error);
  // Waits for one of the runs started to end: its id and what it did.
  // Returns -1 when a TERM, INT or HUP came first; `*signal` says which.
  pid_t wait(RunResult *result, int *signal);
  // Starts one run and waits for it.
  bool run(const RunSpec &spec, RunResult *result, std::string *error, int *signal);

 private:
  struct Live {
    pid_t pid;
    std::string dir;
  };
  std::string player_;
  std::vector<std::string> environment_;  // the caller's, without STANDIN_
  std::vector<Live> live_;
  // Runs that ended before anyone waited for them: id, status.
  std::vector<std::pair<Live, int>> ended_;
};

}  // namespace push

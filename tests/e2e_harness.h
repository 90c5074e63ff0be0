// End-to-end harness: runs a controller program on the stand-in simulator
// (as fast as possible, with a stop time), feeds its stdin, and collects
// its output, exit status, library-call trace and posture log.
//
// One-shot:    e2e::Result r = e2e::run({.program = path, .input = "...", .stop_ms = 2000});
// Interactive: e2e::Session s(options); s.wait_for_output("prompt"); s.write("3 0.1\n");
//              s.wait_for_step(40); e2e::Result r = s.finish();
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace e2e {

// One line of the stand-in's trace: one controller-library call.
struct TraceLine {
  long step = 0;       // robot_step calls completed before this call
  long time_ms = 0;    // simulated time before this call
  std::string call;    // e.g. "servo_set_position", or "stop" for the last line
  std::string device;  // device name, "none", "#<n>" or "-"
  std::string value;   // argument or result, as text
};

struct Options {
  // Members have explicit initializers so designated initializers may leave
  // any of them out without -Wmissing-field-initializers.
  std::string program = {};            // path of the executable
  std::vector<std::string> args = {};  // its arguments, after its name
  std::string input = {};  // in stdin before the program starts; run() then closes stdin
  // Extra environment, applied last: STANDIN_PACE, STANDIN_MISSING, ... and
  // anything else. An entry here overrides the harness's own setting. The
  // harness runs the kinematic world; STANDIN_WORLD=physics asks for physics.
  std::vector<std::pair<std::string, std::string>> env = {};
  long stop_ms = 0;      // STANDIN_STOP_MS; run() needs it > 0 so that the run ends
  std::string cwd = {};  // working directory; empty = a fresh temporary one
  // Standard descriptors (0, 1, 2) the program starts with closed.
  std::vector<int> closed_fds = {};
  // Standard input starts non-blocking, as another program may leave a terminal.
  bool nonblocking_input = false;
};

struct Result {
  std::string out;     // all of stdout
  std::string err;     // all of stderr
  int exit_code = -1;  // exit status; -1 when signalled or killed on timeout
  int signal = 0;      // the signal that ended the program, 0 if none
  std::vector<TraceLine> trace;
  std::string posture_log;  // STANDIN_POSTURE_LOG contents
  std::string cwd;          // working directory the program ran in
};

// Longest a program may run before it is killed and the test fails, ms.
inline constexpr int kSafetyTimeoutMs = 120000;

// A running program. Output is gathered only while a member function runs,
// so a test moves it on by waiting for something.
class Session {
 public:
  explicit Session(const Options &options);
  ~Session();  // kills the program if it still runs
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

  // Queues text for stdin; it is written while the session waits.
  void write(std::string_view text);
  // Closes stdin once the queued text is written.
  void close_input();
  // Waits until stdout holds `text` at or after byte `from`. False if the
  // program ended first or the safety timeout struck (that also fails the test).
  bool wait_for_output(std::string_view text, std::size_t from = 0);
  // Waits until the trace shows robot_step number `step` (counting from 1)
  // has been called. False as for wait_for_output.
  bool wait_for_step(long step);
  // Waits until `done()` holds, checking it every few ms: for what the
  // program shows outside its output and trace (a file it writes, say).
  // False as for wait_for_output.
  bool wait_until(const std::function<bool()> &done);
  // The trace's complete lines so far.
  std::vector<TraceLine> trace_so_far() const;
  // Moves data for `ms` of wall-clock time, or until the program ends: a
  // window over which the program is watched (its CPU time, say), never a
  // way to wait for something it does.
  void run_for(int ms);
  // Process id of the program; -1 if it did not start.
  pid_t pid() const { return pid_; }
  // CPU time the program has used so far, all its threads, user and
  // system (from /proc/<pid>/stat), in ms; -1 once it has ended or if it
  // cannot be read.
  long cpu_time_ms() const;
  // Everything written to stdout and stderr so far.
  const std::string &out() const { return out_; }
  const std::string &err() const { return err_; }
  // Closes stdin, waits for the program to end and collects the result.
  Result finish();
  // Ends the program at its next robot_step, as the stop time would (the
  // stand-in takes SIGTERM so), closes stdin and collects the result.
  Result stop();

 private:
  // Moves data until `done` says so, the program ends, or the timeout.
  template <typename Done>
  bool pump(Done done);
  bool pump_once(int timeout_ms);
  void kill_child();
  bool exited();

  std::string program_;
  std::string files_;  // directory of the trace and posture log
  std::string cwd_;
  std::string trace_path_, posture_path_;
  pid_t pid_ = -1;
  int pidfd_ = -1;
  int in_ = -1, out_fd_ = -1, err_fd_ = -1;
  std::string pending_;  // queued stdin text not yet written
  bool close_after_ = false;
  std::string out_, err_;
  long long deadline_ms_ = 0;
  bool reaped_ = false;
  int status_ = 0;
  bool timed_out_ = false;
};

// Runs the program to its end (normally the stop time) with all input given.
Result run(const Options &options);

// What a command printed (stdout and stderr together) and its exit status,
// -1 if a signal ended it.
struct CommandOutput {
  int status = -1;
  std::string text;
};
// Runs `program` with `args` through the shell, each word quoted, with
// `env` ("NAME=value" pairs) added to the environment.
CommandOutput run_command(const std::string &program, const std::vector<std::string> &args,
                          const std::vector<std::pair<std::string, std::string>> &env = {});

// A fresh directory, under $TMPDIR or /tmp, removed when the test process ends.
std::string temp_dir();
void write_file(const std::string &path, const std::string &text);
std::string read_file(const std::string &path);

// Parses trace text; a malformed line fails the test.
std::vector<TraceLine> parse_trace(std::string_view text);
// The trace file at `path` so far, its complete lines only: the program
// may be writing it.
std::vector<TraceLine> trace_in(const std::string &path);

// What is left under `dir`: its entries' paths below it, each after a
// space; empty when nothing is. Under ThreadSanitizer a process killed as
// it starts leaves its runtime's own "tsan.rodata.<pid>" file in TMPDIR,
// which no program of ours writes: that one is not counted.
std::string left_in(const std::string &dir);
// The lines of one call name, in order.
std::vector<TraceLine> calls(const std::vector<TraceLine> &trace, std::string_view call);
// Number of robot_step calls in the trace.
long steps(const std::vector<TraceLine> &trace);

// A servo command: device name and angle.
struct Command {
  std::string device;
  float value = 0.0f;
  bool operator==(const Command &) const = default;
};
// The servo_set_position commands issued after the n-th robot_step and
// before the next one (n = 0: before the first step).
std::vector<Command> commands_after_step(const std::vector<TraceLine> &trace, long n);
// Parses a float written by the stand-in ("nan", "-0.5", "1e-07", ...).
float to_float(std::string_view text);

// One line of the posture log: simulated time, the 25 positions (rad) and
// what the sensors saw (NaN where the world models nothing).
struct PostureRow {
  long time_ms = 0;
  std::vector<float> rad;
  float gps[3] = {};    // m
  float tilt = 0.0f;    // rad from the vertical
  float touch[2] = {};  // left and right sole, N
  float yaw = 0.0f;     // pelvis heading from the start, rad, positive to the left
  float com[2] = {};    // centre of mass on the floor, m
  float cop[2] = {};    // centre of pressure, m; NaN when nothing touches
};
// Parses the posture log after its header line; a malformed line fails the test.
std::vector<PostureRow> parse_posture_log(std::string_view text);

// A live process: its id, its parent's and its session's.
struct Process {
  long id, parent, session;
};
// The processes alive now (zombies left out), from /proc.
std::vector<Process> processes();

// Number of non-overlapping occurrences of `needle` in `text`.
int count(std::string_view text, std::string_view needle);

// The words of `line` split at each single space (two spaces make an empty word).
std::vector<std::string_view> words(std::string_view line);

// True when the memcheck preset runs the tests (E2E_UNDER_VALGRIND=1): valgrind
// then runs the test and every program it starts.
bool under_valgrind();

// True when the asan, tsan or memcheck preset runs the tests (E2E_SHORT=1):
// a test with a long table of physics runs then plays a short share of it,
// enough to take every code path, and the release build plays it whole.
bool short_run();

// While it lives, files this process and the programs it starts write stop at
// `bytes` (RLIMIT_FSIZE, as on a full disk), and SIGXFSZ is ignored so that a
// write past the limit fails instead of ending the writer. Both pass to a
// program started meanwhile, which keeps them.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes);
  ~FileSizeLimit();
  FileSizeLimit(const FileSizeLimit &) = delete;
  FileSizeLimit &operator=(const FileSizeLimit &) = delete;

 private:
  rlimit before_{};
  void (*handler_)(int) = nullptr;
};

}  // namespace e2e

// The walker end to end, around its gait: commands typed and refused, a
// script refused before the first step, the end of standard input, the
// keys at a terminal (a pseudo-terminal here) and the terminal restored
// however the run ends, and the commanded velocity drawn in a recording.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "e2e_harness.h"

extern char **environ;

namespace {

using Env = std::vector<std::pair<std::string, std::string>>;

long long now_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The walker on a pseudo-terminal, as at a console: its standard input,
// output and error are the terminal, of which it leads the session and
// holds the foreground. The test keeps a descriptor of the terminal too,
// to see its modes.
class OnTerminal {
 public:
  OnTerminal(const std::vector<std::string> &args, const Env &env) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
      ADD_FAILURE() << "no pseudo-terminal: " << std::strerror(errno);
      return;
    }
    const std::string name = ptsname(master_);
    mine_ = open(name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    tcgetattr(mine_, &before_);
    // Everything the child needs, made before fork: after it only calls
    // that are safe in a child of a threaded process.
    std::vector<std::string> entries;
    for (char **entry = environ; *entry != nullptr; ++entry) {
      if (std::strncmp(*entry, "STANDIN_", 8) != 0) entries.emplace_back(*entry);
    }
    for (const auto &[key, value] : env) entries.push_back(key + "=" + value);
    std::vector<char *> envp;
    for (std::string &entry : entries) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> words = args;
    std::vector<char *> argv;
    for (std::string &word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    deadline_ = now_ms() + e2e::kSafetyTimeoutMs;
    pid_ = fork();
    if (pid_ == 0) {
      setsid();
      // The first terminal a session leader opens becomes its own.
      int tty = open(name.c_str(), O_RDWR);
      if (tty < 0) _exit(126);
      dup2(tty, 0);
      dup2(tty, 1);
      dup2(tty, 2);
      if (tty > 2) close(tty);
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
  }
  ~OnTerminal() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) close(master_);
    if (mine_ >= 0) close(mine_);
  }
  OnTerminal(const OnTerminal &) = delete;
  OnTerminal &operator=(const OnTerminal &) = delete;

  // Waits until the output holds `text` at or after `from`; where it ends,
  // or 0 if the walker ended first.
  std::size_t wait_for(std::string_view text, std::size_t from = 0) {
    std::size_t at;
    while ((at = out_.find(text, from)) == std::string::npos) {
      if (reaped_ || now_ms() > deadline_) {
        ADD_FAILURE() << "no \"" << text << "\" in:\n" << out_.substr(from);
        return 0;
      }
      pump(50);
    }
    return at + text.size();
  }
  void type(std::string_view keys) {
    if (write(master_, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) {
      ADD_FAILURE() << "cannot type " << keys;
    }
  }
  void signal(int number) { kill(pid_, number); }
  // Waits for the walker to end; its wait status.
  int finish() {
    while (!reaped_ && now_ms() <= deadline_) pump(50);
    if (!reaped_) ADD_FAILURE() << "the walker did not end:\n" << out_;
    pump(0);
    return status_;
  }
  // The terminal's modes now, and as they were before the walker ran.
  termios modes() const {
    termios now{};
    tcgetattr(mine_, &now);
    return now;
  }
  const termios &before() const { return before_; }
  // The output, without the carriage returns the terminal adds.
  const std::string &out() const { return out_; }

 private:
  // Moves output for up to `timeout_ms`, and notes the walker's end.
  void pump(int timeout_ms) {
    pollfd watch{master_, POLLIN, 0};
    if (poll(&watch, 1, timeout_ms) > 0 && (watch.revents & POLLIN) != 0) {
      char buffer[4096];
      ssize_t got = read(master_, buffer, sizeof buffer);
      for (ssize_t k = 0; k < got; ++k) {
        if (buffer[k] != '\r') out_ += buffer[k];
      }
    }
    if (!reaped_ && waitpid(pid_, &status_, WNOHANG) == pid_) {
      reaped_ = true;
      // What it wrote last is still in the terminal.
      for (int k = 0; k < 20; ++k) pump(0);
    }
  }

  int master_ = -1;
  int mine_ = -1;
  termios before_{};
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;
  long long deadline_ = 0;
  std::string out_;
};

// The modes key mode changes are those the terminal had before.
void expect_restored(const termios &now, const termios &before, const std::string &what) {
  EXPECT_EQ(now.c_lflag, before.c_lflag) << what;
  EXPECT_EQ(now.c_iflag, before.c_iflag) << what;
  EXPECT_EQ(now.c_oflag, before.c_oflag) << what;
  EXPECT_EQ(now.c_cc[VSUSP], before.c_cc[VSUSP]) << what;
  EXPECT_EQ(now.c_cc[VQUIT], before.c_cc[VQUIT]) << what;
  EXPECT_EQ(now.c_cc[VMIN], before.c_cc[VMIN]) << what;
}

constexpr char kHelp[] =
    "keys: w/x faster forward/backward by 0.05 m/s, a/d to the left/right by 0.02 m/s, q/e turn "
    "left/right by 0.1 rad/s, s or space stop, arrows up/down as w/x and left/right as q/e, h this "
    "help; Ctrl-C ends\n";

TEST(WalkerAtATerminal, KeysChangeTheCommandByTheirStepsAndTheHelpLineSaysWhich) {
  if (e2e::under_valgrind()) GTEST_SKIP() << "the physics world is too slow under valgrind";
  // The kinematic world: what is said of the keys does not hang on the
  // gait keeping the robot up through them.
  OnTerminal walker({WALKER_PATH}, {{"STANDIN_PACE", "fast"}, {"STANDIN_WORLD", "kinematic"}});
  ASSERT_NE(walker.wait_for(kHelp), 0u);
  termios keys = walker.modes();
  EXPECT_EQ(keys.c_lflag & (ICANON | ECHO), 0u) << "each key is read as pressed, unechoed";
  EXPECT_NE(keys.c_lflag & ISIG, 0u) << "Ctrl-C still interrupts";
  EXPECT_EQ(keys.c_cc[VSUSP], _POSIX_VDISABLE) << "Ctrl-Z would leave the robot mid-step";
  struct Key {
    const char *typed;
    const char *said;
  };
  const Key keys_said[] = {
      {"w", "walking at vx 0.05 m/s, vy 0 m/s, vturn 0 rad/s\n"},
      {"w", "walking at vx 0.1 m/s, vy 0 m/s, vturn 0 rad/s\n"},
      {"x", "walking at vx 0.05 m/s, vy 0 m/s, vturn 0 rad/s\n"},
      {"a", "walking at vx 0.05 m/s, vy 0.02 m/s, vturn 0 rad/s\n"},
      {"d", "walking at vx 0.05 m/s, vy 0 m/s, vturn 0 rad/s\n"},
      {"d", "walking at vx 0.05 m/s, vy -0.02 m/s, vturn 0 rad/s\n"},
      {"q", "walking at vx 0.05 m/s, vy -0.02 m/s, vturn 0.1 rad/s\n"},
      {"e", "walking at vx 0.05 m/s, vy -0.02 m/s, vturn 0 rad/s\n"},
      {"e", "walking at vx 0.05 m/s, vy -0.02 m/s, vturn -0.1 rad/s\n"},
      {"\x1b[A", "walking at vx 0.1 m/s, vy -0.02 m/s, vturn -0.1 rad/s\n"},
      {"\x1b[D", "walking at vx 0.1 m/s, vy -0.02 m/s, vturn 0 rad/s\n"},
      {"z", "key \"z\" does nothing (h shows the keys)\n"},
      {"s", "stopping\n"},
      {"x", "walking at vx -0.05 m/s, vy 0 m/s, vturn 0 rad/s\n"},
      {" ", "stopping\n"},
      {"h", kHelp},
  };
  // Each key's line, after the last one's; "standing" may come between.
  std::size_t from = walker.wait_for(kHelp);
  for (const Key &key : keys_said) {
    walker.type(key.typed);
    from = walker.wait_for(key.said, from);
    ASSERT_NE(from, 0u) << key.typed;
  }
  walker.signal(SIGTERM);
  walker.finish();
  expect_restored(walker.modes(), walker.before(), "after SIGTERM");
  // Nothing typed was echoed: every line is one the walker says.
  std::string out = walker.out();
  out.erase(0, out.find(kHelp));
  for (std::string_view rest = out; !rest.empty();) {
    const std::string_view line = rest.substr(0, rest.find('\n') + 1);
    rest.remove_prefix(line.size());
    const bool known = line == kHelp || line == "standing\n" ||
                       std::any_of(std::begin(keys_said), std::end(keys_said),
                                   [&](const Key &key) { return line == key.said; });
    EXPECT_TRUE(known) << "\"" << line << "\" in:\n" << out;
  }
}

TEST(WalkerAtATerminal, TheTerminalIsRestoredOnEveryWayOutAndTheStandInStillFinishes) {
  if (e2e::under_valgrind()) GTEST_SKIP() << "the physics world is too slow under valgrind";
  struct Case {
    const char *what;
    int signal;          // 0: the stop time ends the run
    const char *output;  // STANDIN_TRACE or STANDIN_RECORD, or ""
    bool exits;          // with status 0, the stand-in having finished; else ended by the signal
  };
  const Case cases[] = {
      {"SIGINT, nothing recorded", SIGINT, "", false},
      {"SIGTERM, nothing recorded", SIGTERM, "", false},
      {"SIGHUP, nothing recorded", SIGHUP, "", false},
      {"SIGINT with a trace", SIGINT, "trace.tsv", true},
      {"SIGHUP with a trace", SIGHUP, "trace.tsv", true},
      {"SIGINT with a recording", SIGINT, "sheet.png", true},
      {"the stop time, with a trace", 0, "trace.tsv", true},
  };
  for (const Case &c : cases) {
    const std::string dir = e2e::temp_dir();
    // A recording needs the physics world; the rest are quicker without.
    const bool recorded = std::string(c.output).ends_with(".png");
    Env env = {{"STANDIN_PACE", "fast"}, {"STANDIN_WORLD", recorded ? "physics" : "kinematic"}};
    const std::string output = dir + "/" + c.output;
    if (std::string(c.output).ends_with(".tsv")) env.emplace_back("STANDIN_TRACE", output);
    if (std::string(c.output).ends_with(".png")) {
      env.emplace_back("STANDIN_RECORD", output);
      env.emplace_back("STANDIN_RECORD_SIZE", "160x120");
    }
    if (c.signal == 0) env.emplace_back("STANDIN_STOP_MS", "3000");
    OnTerminal walker({WALKER_PATH}, env);
    // Key mode starts before the loop's first step; at the stop time the
    // run may end before the help line is said.
    if (c.signal != 0) {
      ASSERT_NE(walker.wait_for(kHelp), 0u) << c.what;
      EXPECT_EQ(walker.modes().c_lflag & (ICANON | ECHO), 0u) << c.what;
      walker.type("w");
      ASSERT_NE(walker.wait_for("walking at vx 0.05 m/s"), 0u) << c.what;
      walker.signal(c.signal);
    }
    int status = walker.finish();
    expect_restored(walker.modes(), walker.before(), c.what);
    if (c.exits) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.what << ": " << status;
    } else {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal) << c.what << ": " << status;
    }
    std::string written = e2e::read_file(output);
    if (std::string(c.output).ends_with(".tsv")) {
      EXPECT_TRUE(written.ends_with("\tstop\t-\t0\n")) << c.what;
    } else if (std::string(c.output).ends_with(".png")) {
      EXPECT_TRUE(written.starts_with("\x89PNG")) << c.what;
    }
  }
}

// A walker reading commands from a pipe, in the physics world, until the
// test stops it.
e2e::Options walker_on_pipe(Env env = {}) {
  env.insert(env.begin(), {"STANDIN_WORLD", "physics"});
  return {.program = WALKER_PATH, .env = std::move(env)};
}

// Whether `text` holds each of `lines`, one after the other.
bool in_order(const std::string &text, std::initializer_list<std::string_view> lines) {
  std::size_t at = 0;
  for (std::string_view line : lines) {
    at = text.find(line, at);
    if (at == std::string::npos) return false;
    at += line.size();
  }
  return true;
}

// The velocity the walker showed last, as the trace tells it.
std::string last_shown(const e2e::Result &result) {
  std::vector<e2e::TraceLine> shown = e2e::calls(result.trace, "standin_show_velocity");
  return shown.empty() ? "" : shown.back().value;
}

TEST(Walker, BadLinesAreRefusedInOrderAndTheRobotGoesOnAsBefore) {
  if (e2e::under_valgrind()) GTEST_SKIP() << "the physics world is too slow under valgrind";
  e2e::Session walker(walker_on_pipe({{"STANDIN_WORLD", "kinematic"}}));
  ASSERT_TRUE(walker.wait_for_output("standing\n"));
  walker.write("walk 0.1 0 0\n");
  ASSERT_TRUE(walker.wait_for_output("walking at vx 0.1 m/s, vy 0 m/s, vturn 0 rad/s\n"));
  const std::size_t from = walker.out().size();
  walker.write(
      "jump\nwalk\nwalk 0.1 x 0\nwalk nan 0 0\nwalk 0 inf 0\nwalk 0 0 1e308\nwalk 0 0 0 0\n"
      "stop now\n" +
      std::string(5000, 'w') + "\n\n   # nothing\nwalk 0.5 -1 0\n");
  const std::string refused =
      "unknown command \"jump\" (walk VX VY VTURN or stop): command refused\n"
      "VX is missing (walk VX VY VTURN): command refused\n"
      "VY \"x\" is not a number: command refused\n"
      "VX \"nan\" is not a finite number: command refused\n"
      "VY \"inf\" is not a finite number: command refused\n"
      "VTURN \"1e308\" is out of range (at most 100 either way): command refused\n"
      "extra word \"0\" after walk VX VY VTURN: command refused\n"
      "extra word \"now\" after stop: command refused\n"
      "line longer than 200 characters: command refused\n";
  ASSERT_TRUE(walker.wait_for_output(refused, from));
  const std::string beyond = "walk 0.5 -1 0 is beyond the limits: walking at vx ";
  ASSERT_TRUE(walker.wait_for_output(beyond, from));
  e2e::Result result = walker.stop();
  EXPECT_TRUE(result.out.substr(from).starts_with(refused + beyond)) << result.out;
  // What it walks at is the engine's: within its limits, the way asked.
  std::vector<e2e::TraceLine> shown = e2e::calls(result.trace, "standin_show_velocity");
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0].value, "0.1,0,0");
  float vx = 0, vy = 0, vturn = 1;
  ASSERT_EQ(std::sscanf(shown[1].value.c_str(), "%f,%f,%f", &vx, &vy, &vturn), 3);
  EXPECT_TRUE(vx > 0 && vx < 0.5 && vy < 0 && vy > -1 && vturn == 0) << shown[1].value;
}

TEST(Walker, EachRefusalAtTheStartIsOneLineBeforeTheFirstStep) {
  const std::string dir = e2e::temp_dir();
  ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
  e2e::write_file(dir + "/bad.txt",
                  "# a square\n0 walk 0.1 0 0\n2000 walk 0.1 0 0.5 0\n1000 stop\n");
  e2e::write_file(dir + "/big.txt", std::string((1 << 20) + 1, '#'));
  e2e::write_file(dir + "/model.xml", "<mujoco>");
  struct Case {
    std::vector<std::string> args;
    const char *missing;  // STANDIN_MISSING
    int status;
    const char *err;  // all of stderr, or its start when it ends in "..."
  };
  const Case cases[] = {
      // A bad script: every bad line, status 2.
      {{"--script", "bad.txt"},
       "",
       2,
       "walker: bad.txt:3: extra word \"0\" after walk VX VY VTURN\n"
       "walker: bad.txt:4: 1000 ms is before the time above it, 2000 ms\n"},
      {{"--script", "none.txt"},
       "",
       2,
       "walker: cannot read the script \"none.txt\": No such file or directory\n"},
      {{"--script", "fifo"},
       "",
       2,
       "walker: cannot read the script \"fifo\": it is not a regular file\n"},
      {{"--script", "/dev/null"},
       "",
       2,
       "walker: cannot read the script \"/dev/null\": it is not a regular file\n"},
      {{"--script", "big.txt"},
       "",
       2,
       "walker: cannot read the script \"big.txt\": it is larger than 1 MiB\n"},
      // Arguments, the model and the robot's devices.
      {{"--script"}, "", 2, "walker: --script takes a file name\n"},
      {{"--fly"}, "", 2, "walker: unknown argument --fly; --help lists them\n"},
      {{"--model", "model.xml"}, "", 1, "walker: cannot load the robot model \"model.xml\"..."},
      {{}, "rleg_joint_4", 1, "walker: the robot has no servo rleg_joint_4\n"},
      {{}, "joints", 1, "walker: the robot has no servo lleg_joint_1\n"},
  };
  for (const Case &c : cases) {
    std::string what = c.missing;
    for (const std::string &arg : c.args) what += " " + arg;
    Env env = {{"STANDIN_WORLD", "physics"}};
    if (*c.missing != '\0') env.emplace_back("STANDIN_MISSING", c.missing);
    e2e::Result result =
        e2e::run({.program = WALKER_PATH, .args = c.args, .env = env, .stop_ms = 1000, .cwd = dir});
    EXPECT_EQ(result.exit_code, c.status) << what;
    const std::string_view err = c.err;
    if (err.ends_with("...")) {
      EXPECT_TRUE(result.err.starts_with(err.substr(0, err.size() - 3))) << what << result.err;
      EXPECT_EQ(e2e::count(result.err, "\n"), 1) << what << result.err;
    } else {
      EXPECT_EQ(result.err, err) << what;
    }
    EXPECT_EQ(e2e::steps(result.trace), 0) << "no step before the refusal: " << what;
  }
}

TEST(Walker, TheEndOfInputChangesNothingWithAScriptOrWithout) {
  if (e2e::under_valgrind()) GTEST_SKIP() << "the physics world is too slow under valgrind";
  const std::string dir = e2e::temp_dir();
  e2e::write_file(dir + "/go.txt", "500 walk 0.1 0 0\n1500 walk 0 0 0.3\n2500 stop\n");
  // With a script, standard input closed at once: the script goes on.
  e2e::Options scripted = walker_on_pipe();
  scripted.args = {"--script", "go.txt"};
  scripted.cwd = dir;
  scripted.stop_ms = 4500;
  e2e::Result result = e2e::run(scripted);
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_TRUE(in_order(
      result.out, {"walking at vx 0.1 m/s, vy 0 m/s, vturn 0 rad/s\n",
                   "walking at vx 0 m/s, vy 0 m/s, vturn 0.3 rad/s\n", "stopping\n", "standing\n"}))
      << result.out;
  // Without one, the last command holds after the end of input.
  const std::string trace = dir + "/trace.tsv";
  e2e::Session walker(walker_on_pipe({{"STANDIN_TRACE", trace}}));
  ASSERT_TRUE(walker.wait_for_output("standing\n"));
  walker.write("walk 0.1 0 0\n");
  walker.close_input();
  ASSERT_TRUE(walker.wait_for_output("walking at vx 0.1 m/s"));
  // The step that took the order is in the trace once that step is over.
  std::vector<e2e::TraceLine> shown;
  for (long step = 1; shown.empty(); ++step) {
    ASSERT_TRUE(walker.wait_for_step(step));
    const std::vector<e2e::TraceLine> so_far = e2e::trace_in(trace);
    shown = e2e::calls(so_far, "standin_show_velocity");
    step = std::max(step, e2e::steps(so_far));
  }
  ASSERT_EQ(shown.size(), 1u);
  // Four seconds of walking from there.
  const long from_ms = shown[0].time_ms;
  ASSERT_TRUE(walker.wait_for_step(from_ms / 10 + 400));
  e2e::Result open = walker.stop();
  EXPECT_EQ(e2e::count(open.out, "stopping"), 0) << open.out;
  EXPECT_EQ(last_shown(open), "0.1,0,0");
  // The physics world says it walked on: at least half the way asked.
  std::vector<e2e::PostureRow> rows = e2e::parse_posture_log(open.posture_log);
  ASSERT_FALSE(rows.empty());
  const e2e::PostureRow *start = nullptr;
  for (const e2e::PostureRow &row : rows) {
    if (start == nullptr && row.time_ms >= from_ms) start = &row;
  }
  ASSERT_NE(start, nullptr);
  const double seconds = (rows.back().time_ms - start->time_ms) / 1000.0;
  EXPECT_GE(seconds, 4.0);
  EXPECT_GT(rows.back().gps[0] - start->gps[0], 0.5 * 0.1 * seconds)
      << "from " << start->gps[0] << " m to " << rows.back().gps[0] << " m in " << seconds << " s";
}

// Every frame of a video, as RGB.
std::vector<std::string> frames_of(const std::string &path, int width, int height) {
  std::string raw;
  std::string command =
      "ffmpeg -v error -i '" + path + "' -f rawvideo -pix_fmt rgb24 - 2>/dev/null";
  if (std::FILE *pipe = popen(command.c_str(), "r")) {
    char buffer[1 << 16];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
      raw.append(buffer, n);
    pclose(pipe);
  }
  const std::size_t size = static_cast<std::size_t>(width) * height * 3;
  std::vector<std::string> frames;
  for (std::size_t at = 0; at + size <= raw.size(); at += size)
    frames.push_back(raw.substr(at, size));
  return frames;
}

// Pixels of the arrow's green, which nothing else in the scene has: the
// robot's blues and its eyes have more blue than green, the floor is grey
// and the sky has red in it.
int arrow_pixels(const std::string &frame) {
  int found = 0;
  for (std::size_t k = 0; k + 2 < frame.size(); k += 3) {
    int r = static_cast<unsigned char>(frame[k]);
    int g = static_cast<unsigned char>(frame[k + 1]);
    int b = static_cast<unsigned char>(frame[k + 2]);
    found += g > 140 && r < 100 && g > b + 40;
  }
  return found;
}

#ifdef ALLOC_PROBE_PATH
TEST(WalkerLoop, TakesSaysAndRefusesCommandsWithoutAllocating) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer replaces malloc in this build; the probe would fight it";
#endif
  if (e2e::under_valgrind()) GTEST_SKIP() << "valgrind replaces malloc; the probe would fight it";
  const std::string dir = e2e::temp_dir();
  e2e::write_file(dir + "/go.txt",
                  "500 walk 0.1 0 0\n1500 walk 9 -9 9\n2000 walk 0 0 0\n2500 stop\n");
  e2e::Options options =
      walker_on_pipe({{"LD_PRELOAD", ALLOC_PROBE_PATH}, {"ALLOC_PROBE_LOG", dir + "/alloc.log"}});
  options.args = {"--script", "go.txt"};
  options.cwd = dir;
  options.stop_ms = 4000;
  options.input = "walk 0.05 0 0\njump\nwalk nan 0 0\n" + std::string(300, 'x') + "\nstop\n";
  e2e::Result result = e2e::run(options);
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_TRUE(in_order(result.out, {"stopping\n", "standing\n"})) << result.out;
  EXPECT_EQ(e2e::count(result.out, "command refused"), 3) << result.out;
  // Step 1 is the start; step 2 the shell's start and the loop's first
  // period. From there on nothing allocates, in the step or in robot_step.
  const std::string log = e2e::read_file(dir + "/alloc.log");
  long steps = 0;
  for (std::string_view rest = log; !rest.empty();) {
    const std::string_view line = rest.substr(0, rest.find('\n'));
    rest.remove_prefix(std::min(rest.size(), line.size() + 1));
    long step = 0, in_step = 0, in_robot_step = 0;
    if (std::sscanf(std::string(line).c_str(), "%ld %ld %ld", &step, &in_step, &in_robot_step) != 3)
      continue;
    ++steps;
    if (step <= 2) continue;
    EXPECT_EQ(in_step, 0) << "step " << step;
    EXPECT_EQ(in_robot_step, 0) << "step " << step;
  }
  EXPECT_GT(steps, 300);
}
#endif

TEST(WalkerView, TheRecordingDrawsTheCommandWhileWalkingAndNothingWhenStanding) {
  if (e2e::under_valgrind()) GTEST_SKIP() << "drawing is too slow under valgrind";
  const std::string dir = e2e::temp_dir();
  e2e::write_file(dir + "/go.txt", "300 walk 0.15 0 0.2\n1500 stop\n");
  e2e::Options options = walker_on_pipe({{"STANDIN_RECORD", dir + "/walk.mp4"}});
  options.args = {"--script", "go.txt"};
  options.cwd = dir;
  options.stop_ms = 0;
  e2e::Session session(options);
  // Until the robot stands again after the stop.
  ASSERT_TRUE(session.wait_for_output("stopping\n"));
  ASSERT_TRUE(session.wait_for_output("standing\n", session.out().find("stopping\n")));
  e2e::Result result = session.stop();
  ASSERT_EQ(result.exit_code, 0) << result.err;
  std::vector<e2e::TraceLine> shown = e2e::calls(result.trace, "standin_show_velocity");
  ASSERT_EQ(shown.size(), 2u);
  const double walk_s = shown[0].time_ms / 1000.0;
  const double stop_s = shown[1].time_ms / 1000.0;
  std::vector<std::string> frames = frames_of(dir + "/walk.mp4", 640, 480);
  ASSERT_GT(frames.size() / 30.0, stop_s + 0.1) << "the recording reaches past the stop";
  int walking = 0;
  for (std::size_t n = 0; n < frames.size(); ++n) {
    const double at = n / 30.0;
    const int pixels = arrow_pixels(frames[n]);
    // A frame drawn within a step of a change may show either.
    // The arrow takes some 500 pixels; the video's coding leaves a few
    // of its green elsewhere.
    if (at > walk_s + 0.04 && at < stop_s) {
      EXPECT_GT(pixels, 200) << "frame at " << at << " s, walking";
      ++walking;
    } else if (at < walk_s || at > stop_s + 0.04) {
      EXPECT_LT(pixels, 20) << "frame at " << at << " s, standing";
    }
  }
  EXPECT_GT(walking, 10);
}

TEST(WalkerView, RenderRecordsAScriptAndRefusesABadOneAsABadFile) {
  if (e2e::under_valgrind()) GTEST_SKIP() << "drawing is too slow under valgrind";
  const std::string dir = e2e::temp_dir();
  e2e::write_file(dir + "/go.txt", "500 walk 0.1 0 0\n1500 stop\n");
  e2e::write_file(dir + "/bad.txt", "500 walk 0.1 0\n");
  const Env env = {{"RENDER_BUILD_DIR", RENDER_BUILD_DIR}, {"STANDIN_RECORD_SIZE", "160x120"}};
  e2e::CommandOutput made =
      e2e::run_command(RENDER_PATH, {"walker", dir + "/go.txt", dir + "/go.png"}, env);
  EXPECT_EQ(made.status, 0) << made.text;
  EXPECT_EQ(made.text, "render: wrote " + dir + "/go.png (walker, 4.51 s simulated)\n" +
                           "render: upright throughout\n");
  EXPECT_TRUE(e2e::read_file(dir + "/go.png").starts_with("\x89PNG"));
  e2e::CommandOutput refused =
      e2e::run_command(RENDER_PATH, {"walker", dir + "/bad.txt", dir + "/bad.png"}, env);
  EXPECT_EQ(refused.status, 2) << refused.text;
  EXPECT_EQ(refused.text,
            "render: walker: " + dir + "/bad.txt:1: VTURN is missing (walk VX VY VTURN)\n");
  EXPECT_FALSE(std::filesystem::exists(dir + "/bad.png"));
}

}  // namespace

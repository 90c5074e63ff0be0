#include "runs.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>

extern char **environ;

namespace physics_runs {

namespace {

// What a supervisor and its work wait for.
sigset_t waited_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGTERM, SIGINT, SIGHUP, SIGCHLD}) sigaddset(&set, s);
  return set;
}

int status_of(int signal) {
  return signal == SIGINT ? 130 : 143;
}

// The first `most` bytes of a file.
std::string head_of(const std::string &path, std::size_t most) {
  std::ifstream in(path, std::ios::binary);
  std::string text(most, '\0');
  in.read(text.data(), static_cast<std::streamsize>(most));
  text.resize(static_cast<std::size_t>(in.gcount()));
  return text;
}

// The stand-in's words for a fall and for the robot it ran, at the start
// of a line of what a run wrote on stderr.
constexpr char kFell[] = "standin: the robot fell at ";
constexpr char kRobot[] = "standin: the imperfect robot:";

// The line starting with `words`, whole; npos when there is none.
std::size_t line_of(const std::string &text, const char *words) {
  for (std::size_t at = text.find(words); at != std::string::npos; at = text.find(words, at + 1))
    if (at == 0 || text[at - 1] == '\n') return at;
  return std::string::npos;
}
// Most of a run's stderr read, and shown when it fails, bytes.
constexpr std::size_t kErrRead = 1 << 16;
constexpr std::size_t kErrShown = 500;

// When the trace in `dir` first shows a servo commanded, ms; -1 if never.
long first_command(const std::string &dir) {
  std::ifstream trace(dir + "/trace.tsv");
  std::string line;
  while (std::getline(trace, line)) {
    // step, time, call, device, value
    const std::size_t time = line.find('\t');
    if (time == std::string::npos) continue;
    const std::size_t call = line.find('\t', time + 1);
    if (call == std::string::npos) continue;
    if (line.compare(call + 1, 19, "servo_set_position\t") != 0) continue;
    return std::strtol(line.c_str() + time + 1, nullptr, 10);
  }
  return -1;
}

RunResult result_of(const std::string &dir, int status) {
  RunResult r;
  const std::string err = head_of(dir + "/err.txt", kErrRead);
  r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (!r.ok) {
    r.failure = err.substr(0, kErrShown);
    if (r.failure.empty())
      r.failure = WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                                      : "status " + std::to_string(WEXITSTATUS(status));
    return r;
  }
  const std::size_t fell = line_of(err, kFell);
  r.fell = fell != std::string::npos;
  if (r.fell) {
    r.fell_line = err.substr(fell, err.find('\n', fell) - fell);
    r.fell_ms = std::strtol(r.fell_line.c_str() + sizeof kFell - 1, nullptr, 10);
  }
  const std::size_t robot = line_of(err, kRobot);
  if (robot != std::string::npos) {
    const std::size_t from = robot + sizeof kRobot - 1;
    r.robot = err.substr(from, err.find('\n', from) - from);
    if (!r.robot.empty() && r.robot[0] == ' ') r.robot.erase(0, 1);
  }
  r.first_ms = first_command(dir);
  return r;
}

}  // namespace

int supervise(const std::string &tool, const std::string &dir, const std::function<int()> &work) {
  const sigset_t set = waited_signals();
  sigset_t old;
  sigprocmask(SIG_BLOCK, &set, &old);
  std::fflush(nullptr);
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child < 0) {
    std::fprintf(stderr, "%s: cannot start the work: %s\n", tool.c_str(), std::strerror(errno));
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return 1;
  }
  if (child == 0) {
    setsid();
    // Dies with the tool, however it ends: a TERM, taken as any other.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    int status = getppid() == parent ? work() : 143;
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    std::fflush(nullptr);
    _exit(status);
  }
  int signal = 0;
  int status = 0;
  for (;;) {
    siginfo_t info;
    if (sigwaitinfo(&set, &info) < 0) continue;
    if (info.si_signo == SIGCHLD) {
      if (waitpid(child, &status, WNOHANG) == child) break;
      continue;
    }
    // The whole session: the work and every run it started; the work
    // alone while it has not yet made its session.
    if (signal == 0 && kill(-child, SIGTERM) != 0) kill(child, SIGTERM);
    signal = info.si_signo;
  }
  // What the work started goes within 5 s, or is killed; a killed process
  // may still write for a moment, so the directory goes once none is left
  // (or 5 s more have passed).
  auto wait_for_session = [child] {
    for (int k = 0; k < 100 && kill(-child, 0) == 0; ++k) {
      const timespec pause = {0, 50000000};
      nanosleep(&pause, nullptr);
    }
  };
  wait_for_session();
  if (kill(-child, SIGKILL) == 0) wait_for_session();
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  sigprocmask(SIG_SETMASK, &old, nullptr);
  if (signal != 0) return status_of(signal);
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

Runner::Runner(std::string program) : program_(std::move(program)) {
  for (char **e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "STANDIN_", 8) != 0) environment_.push_back(*e);
  }
}

Runner::~Runner() {
  for (const Live &run : live_) kill(run.pid, SIGKILL);
  for (const Live &run : live_) waitpid(run.pid, nullptr, 0);
}

pid_t Runner::start(const RunOrder &order, std::string *error) {
  // Everything the child needs, made before it is: it only opens and execs.
  std::vector<std::string> env = environment_;
  env.push_back("STANDIN_WORLD=physics");
  env.push_back("STANDIN_PACE=fast");
  env.push_back("STANDIN_STOP_MS=" + std::to_string(order.stop_ms));
  env.push_back("STANDIN_POSTURE=" + order.posture);
  env.push_back("STANDIN_TRACE=trace.tsv");
  env.push_back("STANDIN_POSTURE_LOG=posture.csv");
  env.insert(env.end(), order.settings.begin(), order.settings.end());
  std::vector<char *> envp;
  for (std::string &e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> words = {program_};
  words.insert(words.end(), order.args.begin(), order.args.end());
  std::vector<char *> argv;
  for (std::string &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  const std::string input = order.dir + "/input.txt";
  {
    std::ofstream in(input, std::ios::binary);
    in << order.input;
    if (!in) {
      *error = "cannot write " + input;
      return -1;
    }
  }
  const std::string out = order.dir + "/out.txt";
  const std::string err = order.dir + "/err.txt";
  const pid_t runner = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    *error = "cannot start " + program_ + ": " + std::strerror(errno);
    return -1;
  }
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != runner) _exit(127);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const int in = open(input.c_str(), O_RDONLY | O_CLOEXEC);
    const int to = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int to_err = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (in < 0 || to < 0 || to_err < 0 || dup2(in, 0) < 0 || dup2(to, 1) < 0 ||
        dup2(to_err, 2) < 0 || chdir(order.dir.c_str()) != 0)
      _exit(127);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  live_.push_back(Live{pid, order.dir});
  return pid;
}

pid_t Runner::wait(RunResult *result, int *signal) {
  const sigset_t set = waited_signals();
  while (ended_.empty()) {
    siginfo_t info;
    if (sigwaitinfo(&set, &info) < 0) continue;
    if (info.si_signo != SIGCHLD) {
      *signal = info.si_signo;
      return -1;
    }
    // One signal may stand for several runs ended.
    for (auto it = live_.begin(); it != live_.end();) {
      int status = 0;
      if (waitpid(it->pid, &status, WNOHANG) == it->pid) {
        ended_.emplace_back(*it, status);
        it = live_.erase(it);
      } else {
        ++it;
      }
    }
  }
  const auto [run, status] = ended_.front();
  ended_.erase(ended_.begin());
  *result = result_of(run.dir, status);
  return run.pid;
}

bool Runner::run(const RunOrder &order, RunResult *result, std::string *error, int *signal) {
  if (start(order, error) < 0) return false;
  return wait(result, signal) >= 0;
}

std::vector<std::string> standin_settings() {
  std::vector<std::string> names;
  for (char **e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "STANDIN_", 8) != 0) continue;
    const char *equals = std::strchr(*e, '=');
    names.emplace_back(*e, equals != nullptr ? equals - *e : std::strlen(*e));
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string built_beside(const std::string &name) {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return {};
  return (self.parent_path().parent_path() / name / name).string();
}

std::string make_work_dir(const std::string &name, std::string *error) {
  const char *tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/" + name + ".XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    *error = "cannot make a work directory: " + std::string(std::strerror(errno));
    return {};
  }
  return pattern;
}

}  // namespace physics_runs

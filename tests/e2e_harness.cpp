// End-to-end harness: starts a program with posix_spawn on the stand-in,
// moves its stdin, stdout and stderr through one poll loop (so a large
// input never deadlocks against a full output pipe), and reads back the
// trace and posture log once it has ended.
#include "e2e_harness.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <mutex>
#include <sstream>

extern char **environ;

namespace e2e {

namespace {

std::once_flag g_setup_once;  // SIGPIPE ignored, temporary root made
std::string g_root;           // per-process temporary root, removed at exit
// How often the trace file is looked at while waiting for a step, ms.
constexpr int kTracePollMs = 5;

long long now_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void remove_root() {
  std::error_code ignored;
  if (!g_root.empty()) std::filesystem::remove_all(g_root, ignored);
}

void setup() {
  // A program that exits with input still queued must not kill the test
  // process; children get SIGPIPE back to default at spawn.
  signal(SIGPIPE, SIG_IGN);
  const char *base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/e2e-" +
                        std::to_string(getpid()) + "-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "cannot create a temporary directory " << pattern << ": "
                  << std::strerror(errno);
    return;
  }
  g_root = pattern;
  std::atexit(remove_root);
}

void set_env(std::vector<std::string> &env, std::string_view name, std::string_view value) {
  std::string entry = std::string(name) + "=" + std::string(value);
  for (std::string &existing : env) {
    if (existing.size() > name.size() && existing.compare(0, name.size(), name) == 0 &&
        existing[name.size()] == '=') {
      existing = entry;
      return;
    }
  }
  env.push_back(entry);
}

const std::string *find_env(const std::vector<std::pair<std::string, std::string>> &env,
                            std::string_view name) {
  const std::string *found = nullptr;
  for (const auto &[key, value] : env) {
    if (key == name) found = &value;
  }
  return found;
}

void set_nonblocking(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

void close_fd(int &fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// Reads what is waiting on `fd` into `into`; closes it at end of file.
void drain(int &fd, std::string &into) {
  char buffer[65536];
  while (fd >= 0) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got > 0) {
      into.append(buffer, static_cast<std::size_t>(got));
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) close_fd(fd);
      return;
    }
  }
}

// Number of robot_step lines in `text`, which holds complete lines only.
long count_steps(std::string_view text) {
  long found = 0;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    std::size_t call = line.find('\t', line.find('\t') + 1);
    if (call != std::string_view::npos && line.substr(call + 1).starts_with("robot_step\t")) {
      ++found;
    }
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
  return found;
}

template <typename Number>
bool parse_number(std::string_view text, Number &value) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  while (true) {
    std::size_t at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

}  // namespace

std::string temp_dir() {
  std::call_once(g_setup_once, setup);
  std::string pattern = g_root + "/XXXXXX";
  if (g_root.empty() || mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "cannot create a temporary directory under " << g_root;
    return g_root.empty() ? "/tmp" : g_root;
  }
  return pattern;
}

void write_file(const std::string &path, const std::string &text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  if (!file) ADD_FAILURE() << "cannot write " << path;
}

std::string read_file(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

Session::Session(const Options &options) : program_(options.program) {
  std::call_once(g_setup_once, setup);
  deadline_ms_ = now_ms() + kSafetyTimeoutMs;
  files_ = temp_dir();
  cwd_ = options.cwd.empty() ? temp_dir() : options.cwd;
  trace_path_ = files_ + "/trace.tsv";
  posture_path_ = files_ + "/posture.csv";

  // The test's environment without STANDIN_* settings of its own.
  std::vector<std::string> env;
  std::string library_path = STANDIN_DIR;
  for (char **entry = environ; *entry != nullptr; ++entry) {
    std::string_view text = *entry;
    if (text.starts_with("STANDIN_")) continue;
    if (text.starts_with("LD_LIBRARY_PATH=")) {
      std::string_view old = text.substr(sizeof "LD_LIBRARY_PATH=" - 1);
      if (!old.empty()) library_path += ":" + std::string(old);
      continue;
    }
    env.emplace_back(text);
  }
  set_env(env, "LD_LIBRARY_PATH", library_path);
  set_env(env, "STANDIN_PACE", "fast");
  // Exact servo positions unless a test asks for the physics world.
  set_env(env, "STANDIN_WORLD", "kinematic");
  set_env(env, "STANDIN_TRACE", trace_path_);
  set_env(env, "STANDIN_POSTURE_LOG", posture_path_);
  if (options.stop_ms > 0) set_env(env, "STANDIN_STOP_MS", std::to_string(options.stop_ms));
  for (const auto &[name, value] : options.env) set_env(env, name, value);
  if (const std::string *trace = find_env(options.env, "STANDIN_TRACE")) trace_path_ = *trace;
  if (const std::string *log = find_env(options.env, "STANDIN_POSTURE_LOG")) posture_path_ = *log;
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2: " << std::strerror(errno);
    reaped_ = true;
    return;
  }
  // The input is in the pipe before the program starts, as a file named on
  // a command line would be: its first read finds it, whatever the load, so
  // the stand-in's steps (which wait for a thread busy with it) meet it at
  // the same simulated time in every run. What the pipe cannot hold waits.
  if (!options.input.empty()) {
    set_nonblocking(in[1]);
    const ssize_t put = ::write(in[1], options.input.data(), options.input.size());
    pending_ = options.input.substr(put > 0 ? static_cast<std::size_t>(put) : 0);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  posix_spawn_file_actions_addchdir_np(&actions, cwd_.c_str());
  for (const int fd : options.closed_fds) posix_spawn_file_actions_addclose(&actions, fd);
  if (options.nonblocking_input) set_nonblocking(in[0]);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&attributes, &signals);
  sigaddset(&signals, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &signals);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<char *> envp;
  for (std::string &entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<std::string> words = options.args;
  std::vector<char *> argv = {program_.data()};
  for (std::string &word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  int error = posix_spawn(&pid_, program_.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  in_ = in[1];
  out_fd_ = out[0];
  err_fd_ = err[0];
  set_nonblocking(in_);
  set_nonblocking(out_fd_);
  set_nonblocking(err_fd_);
  if (error != 0) {
    ADD_FAILURE() << "cannot start " << program_ << ": " << std::strerror(error);
    pid_ = -1;
    reaped_ = true;
    return;
  }
  pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
}

Session::~Session() {
  if (!reaped_) kill_child();
  close_fd(in_);
  close_fd(out_fd_);
  close_fd(err_fd_);
  close_fd(pidfd_);
}

void Session::write(std::string_view text) {
  if (in_ >= 0) pending_.append(text);
}

void Session::close_input() {
  close_after_ = true;
  if (pending_.empty()) close_fd(in_);
}

void Session::kill_child() {
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    while (waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
  }
}

bool Session::exited() {
  if (!reaped_ && pid_ > 0) {
    pid_t done = waitpid(pid_, &status_, WNOHANG);
    if (done == pid_) reaped_ = true;
  }
  return reaped_;
}

bool Session::pump_once(int timeout_ms) {
  pollfd fds[4];
  int count = 0;
  if (in_ >= 0 && !pending_.empty()) fds[count++] = {in_, POLLOUT, 0};
  if (out_fd_ >= 0) fds[count++] = {out_fd_, POLLIN, 0};
  if (err_fd_ >= 0) fds[count++] = {err_fd_, POLLIN, 0};
  if (pidfd_ >= 0) fds[count++] = {pidfd_, POLLIN, 0};
  // Without a pidfd the exit is noticed by looking now and then.
  if (pidfd_ < 0 && timeout_ms > 50) timeout_ms = 50;
  int ready = poll(fds, static_cast<nfds_t>(count), timeout_ms);
  if (ready < 0 && errno != EINTR) return false;
  if (in_ >= 0 && !pending_.empty()) {
    ssize_t put = ::write(in_, pending_.data(), pending_.size());
    if (put > 0) {
      pending_.erase(0, static_cast<std::size_t>(put));
    } else if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      // The program closed its stdin; what it did not read is dropped.
      pending_.clear();
      close_fd(in_);
    }
  }
  if (close_after_ && pending_.empty()) close_fd(in_);
  drain(out_fd_, out_);
  drain(err_fd_, err_);
  return true;
}

template <typename Done>
bool Session::pump(Done done) {
  while (true) {
    if (done()) return true;
    if (exited()) {
      // All the program wrote is in the pipes by now.
      drain(out_fd_, out_);
      drain(err_fd_, err_);
      return done();
    }
    long long left = deadline_ms_ - now_ms();
    if (left <= 0) {
      timed_out_ = true;
      kill_child();
      ADD_FAILURE() << program_ << " still running after " << kSafetyTimeoutMs / 1000
                    << " s; killed. Last output:\n"
                    << out_.substr(out_.size() > 2000 ? out_.size() - 2000 : 0);
      return false;
    }
    pump_once(static_cast<int>(left < kTracePollMs ? left : kTracePollMs));
  }
}

bool Session::wait_for_output(std::string_view text, std::size_t from) {
  return pump([&] { return out_.size() >= from && out_.find(text, from) != std::string::npos; });
}

bool Session::wait_for_step(long step) {
  std::string seen;
  std::size_t offset = 0;
  long steps_seen = 0;
  return pump([&] {
    // Reads what was added since the last look, chunk by chunk, and stops
    // once the step is seen or 1 MiB is read: a trace that grows faster
    // than it is read never keeps the wait from its output and its timeout.
    std::FILE *file = std::fopen(trace_path_.c_str(), "rb");
    if (file == nullptr) return false;
    if (std::fseek(file, static_cast<long>(offset), SEEK_SET) != 0) {
      std::fclose(file);
      return false;
    }
    char chunk[1 << 16];
    for (int chunks = 0; chunks < 16 && steps_seen < step; ++chunks) {
      std::size_t got = std::fread(chunk, 1, sizeof chunk, file);
      offset += got;
      seen.append(chunk, got);
      std::size_t complete = seen.rfind('\n');
      if (complete != std::string::npos) {
        steps_seen += count_steps(std::string_view(seen).substr(0, complete + 1));
        seen.erase(0, complete + 1);
      }
      if (got < sizeof chunk) break;
    }
    std::fclose(file);
    return steps_seen >= step;
  });
}

bool Session::wait_until(const std::function<bool()> &done) {
  return pump([&] { return done(); });
}

std::vector<TraceLine> trace_in(const std::string &path) {
  std::string text = read_file(path);
  return parse_trace(std::string_view(text).substr(0, text.rfind('\n') + 1));
}

std::string left_in(const std::string &dir) {
#if defined(__SANITIZE_THREAD__)
  constexpr bool kUnderTsan = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
  constexpr bool kUnderTsan = true;
#else
  constexpr bool kUnderTsan = false;
#endif
#else
  constexpr bool kUnderTsan = false;
#endif
  std::string left;
  std::error_code gone;
  for (const auto &entry : std::filesystem::recursive_directory_iterator(dir, gone)) {
    const std::string name = entry.path().filename().string();
    if (kUnderTsan && name.rfind("tsan.rodata.", 0) == 0) continue;
    left += " " + entry.path().string().substr(dir.size() + 1);
  }
  return left;
}

std::vector<TraceLine> Session::trace_so_far() const {
  return trace_in(trace_path_);
}

void Session::run_for(int ms) {
  const long long end = now_ms() + ms;
  pump([&] { return now_ms() >= end; });
}

long Session::cpu_time_ms() const {
  if (pid_ <= 0 || reaped_) return -1;
  std::string stat = read_file("/proc/" + std::to_string(pid_) + "/stat");
  // The command name may hold spaces and parentheses: fields count from the last ')'.
  std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::vector<std::string_view> fields = split(std::string_view(stat).substr(close + 2), ' ');
  // Fields 14 and 15 of the line, utime and stime, are 11 and 12 after the name.
  long utime = 0, stime = 0;
  if (fields.size() < 13 || !parse_number(fields[11], utime) || !parse_number(fields[12], stime))
    return -1;
  return (utime + stime) * 1000 / sysconf(_SC_CLK_TCK);
}

Result Session::stop() {
  if (pid_ > 0 && !exited()) kill(pid_, SIGTERM);
  return finish();
}

Result Session::finish() {
  close_input();
  pump([] { return false; });
  Result result;
  result.out = out_;
  result.err = err_;
  result.cwd = cwd_;
  if (reaped_ && pid_ > 0 && !timed_out_) {
    if (WIFEXITED(status_)) result.exit_code = WEXITSTATUS(status_);
    if (WIFSIGNALED(status_)) result.signal = WTERMSIG(status_);
  }
  // A sanitizer report fails the test even when the program went on to
  // exit with status 0 (the stop time ends it with _exit).
  for (const char *alarm : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                            "WARNING: ThreadSanitizer", "runtime error:"}) {
    if (err_.find(alarm) != std::string::npos) {
      ADD_FAILURE() << program_ << " reported \"" << alarm << "\":\n" << err_;
      break;
    }
  }
  result.trace = parse_trace(read_file(trace_path_));
  result.posture_log = read_file(posture_path_);
  return result;
}

Result run(const Options &options) {
  if (options.stop_ms <= 0 &&
      std::none_of(options.env.begin(), options.env.end(),
                   [](const auto &e) { return e.first == "STANDIN_STOP_MS"; })) {
    ADD_FAILURE() << "Options.stop_ms must be > 0 so that " << options.program << " ends";
    return {};
  }
  Session session(options);
  return session.finish();
}

namespace {

// `word` in single quotes for the shell, its own quotes escaped.
std::string shell_quote(const std::string &word) {
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

CommandOutput run_command(const std::string &program, const std::vector<std::string> &args,
                          const std::vector<std::pair<std::string, std::string>> &env) {
  std::string command;
  for (const auto &[name, value] : env) command += name + "=" + shell_quote(value) + " ";
  command += shell_quote(program);
  for (const std::string &arg : args) command += " " + shell_quote(arg);
  command += " 2>&1";
  CommandOutput out;
  std::FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    ADD_FAILURE() << "popen: " << std::strerror(errno);
    return out;
  }
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.text.append(buffer, got);
  const int status = pclose(pipe);
  out.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

std::vector<Process> processes() {
  std::vector<Process> found;
  for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream stat(entry.path() / "stat");
    std::string text;
    if (!std::getline(stat, text)) continue;
    // pid (comm) state ppid pgrp session: comm may hold spaces.
    std::istringstream rest(text.substr(text.rfind(')') + 1));
    std::string state;
    long parent = 0, group = 0, session = 0;
    if (rest >> state >> parent >> group >> session && state != "Z")
      found.push_back({std::atol(entry.path().filename().c_str()), parent, session});
  }
  return found;
}

std::vector<TraceLine> parse_trace(std::string_view text) {
  std::vector<TraceLine> lines;
  for (std::string_view line : split(text, '\n')) {
    if (line.empty()) continue;
    std::vector<std::string_view> fields = split(line, '\t');
    TraceLine parsed;
    if (fields.size() != 5 || !parse_number(fields[0], parsed.step) ||
        !parse_number(fields[1], parsed.time_ms)) {
      ADD_FAILURE() << "malformed trace line: \"" << line << "\"";
      continue;
    }
    parsed.call = fields[2];
    parsed.device = fields[3];
    parsed.value = fields[4];
    lines.push_back(std::move(parsed));
  }
  return lines;
}

std::vector<TraceLine> calls(const std::vector<TraceLine> &trace, std::string_view call) {
  std::vector<TraceLine> found;
  for (const TraceLine &line : trace) {
    if (line.call == call) found.push_back(line);
  }
  return found;
}

long steps(const std::vector<TraceLine> &trace) {
  return static_cast<long>(calls(trace, "robot_step").size());
}

std::vector<Command> commands_after_step(const std::vector<TraceLine> &trace, long n) {
  std::vector<Command> found;
  for (const TraceLine &line : trace) {
    if (line.call == "servo_set_position" && line.step == n) {
      found.push_back({line.device, to_float(line.value)});
    }
  }
  return found;
}

float to_float(std::string_view text) {
  float value = 0.0f;
  if (!parse_number(text, value)) {
    ADD_FAILURE() << "not a number: \"" << text << "\"";
    return std::numeric_limits<float>::quiet_NaN();
  }
  return value;
}

std::vector<PostureRow> parse_posture_log(std::string_view text) {
  std::vector<PostureRow> rows;
  std::vector<std::string_view> lines = split(text, '\n');
  for (std::size_t i = 1; i < lines.size(); ++i) {
    if (lines[i].empty()) continue;
    std::vector<std::string_view> fields = split(lines[i], ',');
    PostureRow row;
    if (fields.size() != 37 || !parse_number(fields[0], row.time_ms)) {
      ADD_FAILURE() << "malformed posture log line: \"" << lines[i] << "\"";
      continue;
    }
    for (std::size_t f = 1; f <= 25; ++f) row.rad.push_back(to_float(fields[f]));
    for (int k = 0; k < 3; ++k) row.gps[k] = to_float(fields[26 + k]);
    row.tilt = to_float(fields[29]);
    row.touch[0] = to_float(fields[30]);
    row.touch[1] = to_float(fields[31]);
    row.yaw = to_float(fields[32]);
    for (int k = 0; k < 2; ++k) row.com[k] = to_float(fields[33 + k]);
    for (int k = 0; k < 2; ++k) row.cop[k] = to_float(fields[35 + k]);
    rows.push_back(std::move(row));
  }
  return rows;
}

int count(std::string_view text, std::string_view needle) {
  int found = 0;
  if (needle.empty()) return 0;
  for (std::size_t at = text.find(needle); at != std::string_view::npos;
       at = text.find(needle, at + needle.size())) {
    ++found;
  }
  return found;
}

std::vector<std::string_view> words(std::string_view line) {
  std::vector<std::string_view> found;
  while (!line.empty()) {
    std::size_t space = line.find(' ');
    found.push_back(line.substr(0, space));
    line.remove_prefix(space == std::string_view::npos ? line.size() : space + 1);
  }
  return found;
}

bool under_valgrind() {
  const char *set = std::getenv("E2E_UNDER_VALGRIND");
  return set != nullptr && std::strcmp(set, "1") == 0;
}

bool short_run() {
  const char *set = std::getenv("E2E_SHORT");
  return set != nullptr && std::strcmp(set, "1") == 0;
}

FileSizeLimit::FileSizeLimit(rlim_t bytes) {
  if (getrlimit(RLIMIT_FSIZE, &before_) != 0)
    ADD_FAILURE() << "getrlimit: " << std::strerror(errno);
  rlimit small = before_;
  small.rlim_cur = bytes;
  handler_ = signal(SIGXFSZ, SIG_IGN);
  if (setrlimit(RLIMIT_FSIZE, &small) != 0) ADD_FAILURE() << "setrlimit: " << std::strerror(errno);
}

FileSizeLimit::~FileSizeLimit() {
  setrlimit(RLIMIT_FSIZE, &before_);
  signal(SIGXFSZ, handler_);
}

}  // namespace e2e

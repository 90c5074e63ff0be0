#include "walker_run.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>

extern char **environ;

namespace physics_runs {

namespace {

// What the walker's check reads of its stderr, bytes; the rest is read
// and dropped.
constexpr std::size_t kCheckRead = 1 << 16;

// The walker's words, one line: its first line of `text`, and how many
// more it said.
std::string first_line(const std::string &text) {
  std::size_t end = text.find('\n');
  std::string line = text.substr(0, end);
  long more = 0;
  while (end != std::string::npos && end + 1 < text.size()) {
    ++more;
    end = text.find('\n', end + 1);
  }
  if (more > 0) line += " (and " + std::to_string(more) + " more line(s))";
  return line;
}

}  // namespace

bool check_walker(const std::string &walker, const std::string &script,
                  const std::vector<std::string> &args, std::string *error, int *status) {
  std::vector<std::string> env;
  for (char **e = environ; *e != nullptr; ++e)
    if (std::strncmp(*e, "STANDIN_", 8) != 0) env.push_back(*e);
  // The shortest run: the walker checks everything before its first step.
  for (const char *setting : {"STANDIN_WORLD=kinematic", "STANDIN_PACE=fast", "STANDIN_STOP_MS=1"})
    env.push_back(setting);
  std::vector<char *> envp;
  for (std::string &e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> words = {walker, "--script", script};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (std::string &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  *status = 1;
  int err[2];
  if (pipe2(err, O_CLOEXEC) != 0) {
    *error = "cannot start the walker: " + std::string(std::strerror(errno));
    return false;
  }
  const pid_t pid = fork();
  if (pid < 0) {
    *error = "cannot start the walker: " + std::string(std::strerror(errno));
    close(err[0]);
    close(err[1]);
    return false;
  }
  if (pid == 0) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0 || dup2(err[1], 2) < 0) _exit(127);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(err[1]);
  std::string said;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(err[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (said.size() < kCheckRead)
      said.append(buffer, std::min(static_cast<std::size_t>(n), kCheckRead - said.size()));
  }
  close(err[0]);
  int how = 0;
  while (waitpid(pid, &how, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(how) && WEXITSTATUS(how) == 0) return true;
  // The stand-in's own words come before the walker's refusal; the
  // walker's line is the one that says what is wrong.
  const std::size_t own = said.find("walker: ");
  const std::string words_said = own == std::string::npos ? said : said.substr(own);
  if (WIFEXITED(how) && WEXITSTATUS(how) == 2) *status = 2;
  *error =
      words_said.empty()
          ? (WIFEXITED(how) ? "the walker ended with status " + std::to_string(WEXITSTATUS(how))
                            : "the walker was killed by signal " + std::to_string(WTERMSIG(how)))
          : first_line(words_said);
  return false;
}

long script_end_ms(const std::string &script) {
  std::ifstream in(script, std::ios::binary);
  std::string line;
  long last = 0;
  std::size_t read = 0;
  while (read < (1u << 20) && std::getline(in, line)) {
    read += line.size() + 1;
    std::size_t at = 0;
    while (at < line.size() && std::isspace(static_cast<unsigned char>(line[at]))) ++at;
    if (at == line.size() || line[at] == '#') continue;
    // The walker has checked the time: whole ms, never decreasing.
    long ms = 0;
    while (at < line.size() && std::isdigit(static_cast<unsigned char>(line[at])) &&
           ms < 1000000000L)
      ms = ms * 10 + (line[at++] - '0');
    last = std::max(last, ms);
  }
  return last;
}

std::vector<long> landings(const std::vector<LogRow> &log) {
  std::vector<long> at;
  for (int side = 0; side < 2; ++side) {
    long free_since = -1;  // since when the sole carries nothing; -1 while it carries
    for (const LogRow &row : log) {
      const bool carries = row.touch[side] > kCarrying;
      if (!carries && free_since < 0) free_since = row.time_ms;
      if (carries && free_since >= 0) {
        if (row.time_ms - free_since >= kSwingMs) at.push_back(row.time_ms);
        free_since = -1;
      }
    }
  }
  std::sort(at.begin(), at.end());
  return at;
}

const LogRow &row_at(const std::vector<LogRow> &log, long at_ms) {
  std::size_t k = 0;
  while (k + 1 < log.size() && log[k + 1].time_ms <= at_ms) ++k;
  return log[k];
}

}  // namespace physics_runs

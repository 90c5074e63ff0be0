// A step waits for the program's other threads. At real time a step's
// wall-clock length gives them room to finish what they started: the
// player's loader reads a name, opens the file and hands it to the loop
// long before the next step. At STANDIN_PACE=fast the loop would step on
// regardless, so the step at which the file is handed over, and so the
// simulated time at which it plays, would follow the machine's load. Here
// each step first waits until every other thread of the program is blocked
// (waiting for input, a lock, a sleep or the loop's token): what they were
// doing has then reached the point where it waits on something, and the
// run goes the same way at any pace and any load.
//
// The threads are read from /proc/self/task with system calls into buffers
// on the stack: the step allocates nothing. A thread is given up on by the
// processor time it spends through one wait, not by the wall clock: on a
// loaded machine a thread may wait long for a processor without doing
// anything, and that must not change the run.
#include <fcntl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "standin_internal.h"

namespace {

// A thread computing this long through one step is not waited for again,
// s of its own processor time.
constexpr double kLongest = 1.0;
// However the machine is loaded, a step waits no longer than this for a
// thread that neither blocks nor runs (one held in the disk's queue), ns.
constexpr std::int64_t kLongestWall = 60000000000;
// Threads followed at once through one wait.
constexpr int kMostFollowed = 16;
// How long a wait sleeps before it looks again, ns.
constexpr long kLook = 50000;
// Threads that ran through a whole wait, not waited for again.
constexpr int kMostIgnored = 16;

int g_tasks = -2;  // /proc/self/task, -1 when it cannot be read; -2 before the first look
pid_t g_self = 0;
long g_ticks = 100;  // clock ticks per second
pid_t g_ignored[kMostIgnored];
int g_ignored_count = 0;

std::int64_t now_ns() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

bool ignored(pid_t tid) {
  for (int i = 0; i < g_ignored_count; ++i)
    if (g_ignored[i] == tid) return true;
  return false;
}

// Whether thread `name` (its id, as text) is running or waiting for the
// disk: state R or D in its stat line, after the command's closing ')'.
// Its processor time so far, s, into `*cpu`.
bool running(const char *name, double *cpu) {
  char path[48];
  std::snprintf(path, sizeof path, "%s/stat", name);
  const int fd = openat(g_tasks, path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;  // it has just ended
  char text[512];
  const ssize_t got = read(fd, text, sizeof text - 1);
  close(fd);
  if (got <= 0) return false;
  text[got] = '\0';
  const char *end = std::strrchr(text, ')');
  if (end == nullptr || end[1] != ' ') return false;
  const char state = end[2];
  // After the state: ppid pgrp session tty_nr tpgid flags minflt cminflt
  // majflt cmajflt, then utime and stime in clock ticks.
  const char *field = end + 2;
  for (int skip = 0; skip < 11 && field != nullptr; ++skip) {
    field = std::strchr(field, ' ');
    if (field != nullptr) ++field;
  }
  *cpu = 0.0;
  if (field != nullptr) {
    char *rest = nullptr;
    const unsigned long long user = std::strtoull(field, &rest, 10);
    const unsigned long long system = std::strtoull(rest, nullptr, 10);
    *cpu = static_cast<double>(user + system) / static_cast<double>(g_ticks);
  }
  return state == 'R' || state == 'D';
}

// A thread of the program, other than the caller and those ignored, that
// is running, and its processor time, s; 0 when none is.
pid_t busy_thread(double *cpu) {
  struct Entry {
    std::uint64_t inode;
    std::int64_t offset;
    unsigned short length;
    unsigned char type;
    char name[1];
  };
  if (lseek(g_tasks, 0, SEEK_SET) != 0) return 0;
  alignas(8) char buffer[4096];
  for (;;) {
    const long got = syscall(SYS_getdents64, g_tasks, buffer, sizeof buffer);
    if (got <= 0) return 0;
    for (long at = 0; at < got;) {
      const auto *entry = reinterpret_cast<const Entry *>(buffer + at);
      at += entry->length;
      const char *name = buffer + (at - entry->length) + offsetof(Entry, name);
      if (name[0] < '0' || name[0] > '9') continue;
      const auto tid = static_cast<pid_t>(std::strtol(name, nullptr, 10));
      if (tid == g_self || ignored(tid)) continue;
      if (running(name, cpu)) return tid;
    }
  }
}

}  // namespace

namespace standin {

void settle_threads() {
  if (g_tasks == -2) {
    g_tasks = open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    g_self = static_cast<pid_t>(syscall(SYS_gettid));
    const long ticks = sysconf(_SC_CLK_TCK);
    if (ticks > 0) g_ticks = ticks;
  }
  if (g_tasks < 0) return;
  const std::int64_t start = now_ns();
  // The threads found running in this wait, and their processor time when
  // first found.
  pid_t followed[kMostFollowed];
  double from[kMostFollowed];
  int count = 0;
  double cpu = 0.0;
  for (pid_t busy = busy_thread(&cpu); busy != 0; busy = busy_thread(&cpu)) {
    int k = 0;
    while (k < count && followed[k] != busy) ++k;
    if (k == count && count < kMostFollowed) {
      followed[count] = busy;
      from[count++] = cpu;
    }
    const double spent = k < count ? cpu - from[k] : 0.0;
    if (spent > kLongest || now_ns() - start > kLongestWall) {
      // A thread that never waits (one that computes for ever, say) would
      // hold every step: it is told once and left to run.
      report(
          "thread %d of the program kept running through a step for %.0f ms of its own time; "
          "the steps no longer wait for it",
          static_cast<int>(busy), spent * 1000.0);
      if (g_ignored_count == kMostIgnored) {
        g_tasks = -1;  // too many such threads: no step waits any more
        return;
      }
      g_ignored[g_ignored_count++] = busy;
      continue;
    }
    const timespec pause = {0, kLook};
    nanosleep(&pause, nullptr);
  }
}

}  // namespace standin

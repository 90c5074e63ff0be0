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
// on the stack: the step allocates nothing.
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

// A thread running this long through one step is not waited for again, ns.
constexpr std::int64_t kLongest = 1000000000;
// How long a wait sleeps before it looks again, ns.
constexpr long kLook = 50000;
// Threads that ran through a whole wait, not waited for again.
constexpr int kMostIgnored = 16;

int g_tasks = -2;  // /proc/self/task, -1 when it cannot be read; -2 before the first look
pid_t g_self = 0;
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
bool running(const char *name) {
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
  return end[2] == 'R' || end[2] == 'D';
}

// A thread of the program, other than the caller and those ignored, that
// is running; 0 when none is.
pid_t busy_thread() {
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
      if (running(name)) return tid;
    }
  }
}

}  // namespace

namespace standin {

void settle_threads() {
  if (g_tasks == -2) {
    g_tasks = open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    g_self = static_cast<pid_t>(syscall(SYS_gettid));
  }
  if (g_tasks < 0) return;
  const std::int64_t start = now_ns();
  for (pid_t busy = busy_thread(); busy != 0; busy = busy_thread()) {
    if (now_ns() - start > kLongest) {
      // A thread that never waits (one that computes for ever, say) would
      // hold every step: it is told once and left to run.
      report(
          "thread %d of the program kept running through a step for %lld ms; the steps no "
          "longer wait for it",
          static_cast<int>(busy), static_cast<long long>(kLongest / 1000000));
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

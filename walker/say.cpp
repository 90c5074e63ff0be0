#include "say.h"

#include <semaphore.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "console_input.h"
#include "ring.h"

namespace walker {

namespace {

// Lines waiting for the printer.
Ring<Text, 256> g_lines;
// Posted for every line handed over; set up before main, so that a line
// may be handed over before the printer starts.
struct Wake {
  sem_t sem;
  Wake() { sem_init(&sem, 0, 0); }
} g_wake;
std::atomic<bool> g_printing{false};    // the printing thread runs
std::atomic<std::size_t> g_written{0};  // lines written (or given up on) so far
std::size_t g_dropped = 0;              // lines dropped and not yet told; the loop's

// Writes the whole line and its line end; gives up on an error (a closed
// pipe: SIGPIPE stays pending on this thread, which blocks it).
void write_line(const Text &line) {
  char out[kTextBytes + 1];
  std::size_t length = line.length;
  for (std::size_t k = 0; k < length; ++k) out[k] = line.text[k];
  out[length++] = '\n';
  for (std::size_t done = 0; done < length;) {
    ssize_t wrote = write(STDOUT_FILENO, out + done, length - done);
    if (wrote > 0) {
      done += static_cast<std::size_t>(wrote);
    } else if (wrote < 0 && errno == EINTR) {
      continue;
    } else {
      return;
    }
  }
}

void *print_lines(void *) {
  Text line;
  for (;;) {
    while (sem_wait(&g_wake.sem) != 0 && errno == EINTR) {
    }
    // Everything waiting: a post may stand for a line already written.
    while (g_lines.pop(line)) {
      write_line(line);
      g_written.fetch_add(1, std::memory_order_release);
    }
  }
  return nullptr;
}

void sleep_ms(long ms) {
  timespec pause{0, ms * 1000000};
  nanosleep(&pause, nullptr);
}

long long monotonic_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

bool start_printing() {
  if (g_printing.load()) return true;
  // Lines printed before the walker started come out first.
  std::fflush(stdout);
  // Its signals blocked, as the console's: a signal reaches the control loop.
  if (!start_console_thread(print_lines)) {
    std::fputs("walker: cannot start the thread that prints; the walker says nothing\n", stderr);
    return false;
  }
  g_printing.store(true);
  return true;
}

bool say(const Text &line) {
  if (g_dropped > 0) {
    Text note;
    note << "(";
    note.whole(static_cast<long long>(g_dropped)) << " lines not shown: the output fell behind)";
    if (!g_lines.push(note)) {
      ++g_dropped;
      return false;
    }
    g_dropped = 0;
    sem_post(&g_wake.sem);
  }
  if (!g_lines.push(line)) {
    ++g_dropped;
    return false;
  }
  sem_post(&g_wake.sem);
  return true;
}

void finish_printing(int timeout_ms) {
  if (!g_printing.load()) return;
  const long long deadline = monotonic_ms() + timeout_ms;
  for (;;) {
    if (g_written.load(std::memory_order_acquire) >= g_lines.pushed() || monotonic_ms() >= deadline)
      return;
    sleep_ms(1);
  }
}

}  // namespace walker

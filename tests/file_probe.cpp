// file_probe: an LD_PRELOAD library that logs every stream the program
// opens or closes, with the number of robot_step calls completed at that
// moment, so a test can line the file events up with the stand-in's trace.
//
// Log lines (one write(2) each, on an O_APPEND descriptor):
//   open <step> <FILE* as hex> <path>          after a successful fopen
//   open <step> <FILE* as hex> <fd> <path>     after a successful fdopen; the
//                                              path is where the fd leads
//                                              ("DIR/#INODE (deleted)" for an
//                                              unnamed file)
//   close <step> <FILE* as hex>                after fclose returns
// Nothing is logged unless FILE_PROBE_LOG names the log file. No stdio, no
// heap: the events may come from any thread, and fclose may run late.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

using FopenFn = std::FILE *(*)(const char *, const char *);
using FdopenFn = std::FILE *(*)(int, const char *);
using FcloseFn = int (*)(std::FILE *);
using StepFn = int (*)(int);

std::atomic<FopenFn> real_fopen{nullptr};    // next fopen in the lookup order
std::atomic<FdopenFn> real_fdopen{nullptr};  // next fdopen
std::atomic<FcloseFn> real_fclose{nullptr};  // next fclose
std::atomic<StepFn> real_step{nullptr};      // the controller library's robot_step
std::atomic<long> steps_done{0};             // robot_step calls completed so far
std::atomic<int> log_fd{-2};                 // -2: not opened yet, -1: no log

// Longest path written into a line, bytes; a longer one is cut.
constexpr std::size_t kPathBytes = 1024;

template <typename Fn>
Fn next_symbol(std::atomic<Fn> &slot, const char *name) {
  Fn fn = slot.load(std::memory_order_acquire);
  if (fn == nullptr) {
    fn = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
    slot.store(fn, std::memory_order_release);
  }
  return fn;
}

int log_descriptor() {
  int fd = log_fd.load(std::memory_order_acquire);
  if (fd != -2) return fd;
  const char *path = std::getenv("FILE_PROBE_LOG");
  int opened = -1;
  if (path != nullptr && *path != '\0')
    opened = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  int expected = -2;
  // Two threads may race to open it; the loser closes its own.
  if (!log_fd.compare_exchange_strong(expected, opened, std::memory_order_acq_rel)) {
    if (opened >= 0) close(opened);
    return expected;
  }
  return opened;
}

// A line under construction in a fixed buffer; text past the end is cut.
struct Line {
  char text[kPathBytes + 128];
  std::size_t size = 0;

  void add(const char *s) {
    while (*s != '\0' && size < sizeof text - 1) text[size++] = *s++;
  }
  void add_unsigned(std::uintmax_t value, unsigned base) {
    char digits[32];
    std::size_t n = 0;
    do {
      digits[n++] = "0123456789abcdef"[value % base];
      value /= base;
    } while (value != 0);
    while (n > 0 && size < sizeof text - 1) text[size++] = digits[--n];
  }
  void add_pointer(const void *p) {
    add("0x");
    add_unsigned(reinterpret_cast<std::uintptr_t>(p), 16);
  }
  void send(int fd) {
    text[size++] = '\n';
    [[maybe_unused]] ssize_t ignored = write(fd, text, size);
  }
};

void log_event(const char *what, const std::FILE *stream, const char *path, int from_fd) {
  const int fd = log_descriptor();
  if (fd < 0) return;
  Line line;
  line.add(what);
  line.add(" ");
  line.add_unsigned(static_cast<std::uintmax_t>(steps_done.load(std::memory_order_acquire)), 10);
  line.add(" ");
  line.add_pointer(stream);
  if (from_fd >= 0) {
    line.add(" ");
    line.add_unsigned(static_cast<std::uintmax_t>(from_fd), 10);
    // Where the descriptor leads, read back from the kernel.
    Line proc;
    proc.add("/proc/self/fd/");
    proc.add_unsigned(static_cast<std::uintmax_t>(from_fd), 10);
    proc.text[proc.size] = '\0';
    char target[kPathBytes];
    const ssize_t got = readlink(proc.text, target, sizeof target - 1);
    target[got > 0 ? got : 0] = '\0';
    line.add(" ");
    line.add(target);
  } else if (path != nullptr) {
    line.add(" ");
    line.add(path);
  }
  line.send(fd);
}

}  // namespace

extern "C" {

std::FILE *fopen(const char *path, const char *mode) {
  FopenFn next = next_symbol(real_fopen, "fopen");
  std::FILE *stream = next != nullptr ? next(path, mode) : nullptr;
  if (stream != nullptr) log_event("open", stream, path, -1);
  return stream;
}

std::FILE *fdopen(int fd, const char *mode) {
  FdopenFn next = next_symbol(real_fdopen, "fdopen");
  std::FILE *stream = next != nullptr ? next(fd, mode) : nullptr;
  if (stream != nullptr) log_event("open", stream, nullptr, fd);
  return stream;
}

int fclose(std::FILE *stream) {
  FcloseFn next = next_symbol(real_fclose, "fclose");
  const int result = next != nullptr ? next(stream) : EOF;
  // Logged after the stream is gone: whatever the caller does next with
  // the file's state comes after this line.
  log_event("close", stream, nullptr, -1);
  return result;
}

int robot_step(int ms) {
  StepFn next = next_symbol(real_step, "robot_step");
  const int result = next != nullptr ? next(ms) : 0;
  steps_done.fetch_add(1, std::memory_order_acq_rel);
  return result;
}

}  // extern "C"

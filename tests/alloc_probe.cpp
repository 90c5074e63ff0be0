// alloc_probe: a test-only library preloaded (LD_PRELOAD) into a controller
// program. It counts the heap allocations of every thread, and on the thread
// that drives the robot (the one that calls robot_step) it logs, per control
// step, what the step's own code allocated and what its robot_step did.
//
// ALLOC_PROBE_LOG=path names the log, created at the first robot_step:
//   <step> <allocs-in-step> <allocs-in-robot_step>   one line per robot_step
//   total <control-thread> <other-threads>           once, when the process ends
// <step> counts robot_step calls from 1. <allocs-in-step> of step n are those
// the control thread made after robot_step n-1 returned (for step 1: since the
// thread started) and before robot_step n was called.
//
// Every call of an allocating function counts once: malloc, calloc, realloc,
// reallocarray, aligned_alloc, posix_memalign, memalign, valloc, pvalloc and
// every operator new. Frees are not counted. Only the process that made the
// first robot_step writes the log: a forked or exec'd child never does.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdlib>
#include <new>

extern "C" {
// glibc's own allocator entry points; they need no dlsym.
void *__libc_malloc(std::size_t size);
void *__libc_calloc(std::size_t count, std::size_t size);
void *__libc_realloc(void *old, std::size_t size);
void *__libc_memalign(std::size_t alignment, std::size_t size);
void *__libc_valloc(std::size_t size);
void *__libc_pvalloc(std::size_t size);
}

namespace {

using StepFunction = int (*)(int);
using ExitFunction = void (*)(int);
using Count = std::atomic<unsigned long>;

Count g_all{0};  // allocations of every thread so far
// The control thread's own counter; null until the first robot_step.
std::atomic<Count *> g_control{nullptr};
StepFunction g_real_step = nullptr;   // the controller library's robot_step
ExitFunction g_real_exit = nullptr;   // the C library's _exit
int g_log_fd = -1;                    // ALLOC_PROBE_LOG, -1 when off
pid_t g_pid = 0;                      // the process that owns the log
std::atomic<bool> g_finished{false};  // the total line has been written
long g_steps = 0;                     // control thread: robot_step calls made
unsigned long g_after_last = 0;       // control thread: its count when the last step returned
unsigned long g_in_step = 0;          // control thread: allocations before the step in progress
unsigned long g_step_entry = 0;       // control thread: its count at the step's entry
bool g_stepping = false;              // control thread: inside the real robot_step

// Per thread, in static TLS so that reaching them never allocates; zero at start.
[[gnu::tls_model("initial-exec")]] thread_local Count t_count;   // allocations this thread made
[[gnu::tls_model("initial-exec")]] thread_local bool t_quiet;    // the probe's set-up: none count
[[gnu::tls_model("initial-exec")]] thread_local bool t_control;  // this thread calls robot_step

// One allocating call. Only the owning thread writes its counter.
inline void count() {
  if (t_quiet) return;
  t_count.store(t_count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  g_all.fetch_add(1, std::memory_order_relaxed);
}

// Writes a whole buffer with write(2), retrying short writes.
void put(const char *text, std::size_t length) {
  while (length > 0) {
    ssize_t done = write(g_log_fd, text, length);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return;
    text += done;
    length -= static_cast<std::size_t>(done);
  }
}

// Writes one log line: a word (may be empty) and up to three numbers.
void put_line(const char *word, const unsigned long *numbers, int count_of) {
  char line[128];
  char *p = line;
  char *end = line + sizeof line;
  for (; *word != '\0'; ++word) *p++ = *word;
  for (int k = 0; k < count_of; ++k) {
    if (k > 0 || p != line) *p++ = ' ';
    p = std::to_chars(p, end, numbers[k]).ptr;
  }
  *p++ = '\n';
  put(line, static_cast<std::size_t>(p - line));
}

void put_step(unsigned long step, unsigned long in_step, unsigned long in_robot_step) {
  const unsigned long numbers[] = {step, in_step, in_robot_step};
  put_line("", numbers, 3);
}

// The first robot_step: its thread becomes the control thread and the log
// is created. Children never get here, so they never truncate it.
void become_control() {
  Count *none = nullptr;
  if (!g_control.compare_exchange_strong(none, &t_count, std::memory_order_acq_rel)) return;
  t_control = true;
  g_pid = getpid();
  const char *path = std::getenv("ALLOC_PROBE_LOG");
  if (path != nullptr && *path != '\0') {
    g_log_fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  }
}

// Last words, once, from the process that owns the log: the step that was
// cut short (the stand-in ends the process inside robot_step) and the totals.
void finish_log() {
  // Loaded first: it publishes the log's descriptor and owner.
  Count *control = g_control.load(std::memory_order_acquire);
  if (control == nullptr || g_log_fd < 0 || getpid() != g_pid) return;
  if (g_finished.exchange(true)) return;
  const unsigned long mine = control->load(std::memory_order_relaxed);
  if (t_control && g_stepping) {
    put_step(static_cast<unsigned long>(g_steps), g_in_step, mine - g_step_entry);
  }
  const unsigned long numbers[] = {mine, g_all.load(std::memory_order_relaxed) - mine};
  put_line("total", numbers, 2);
}

// Resolves the real functions before main, without counting the probe's own
// allocations (dlsym may allocate).
[[gnu::constructor]] void probe_start() {
  t_quiet = true;
  g_real_step = reinterpret_cast<StepFunction>(dlsym(RTLD_NEXT, "robot_step"));
  g_real_exit = reinterpret_cast<ExitFunction>(dlsym(RTLD_NEXT, "_exit"));
  t_quiet = false;
}

[[gnu::destructor]] void probe_end() {
  finish_log();
}

// operator new: counted once, allocated straight from the C library so the
// malloc below does not count it again. Null only when the new-handler gives up.
void *new_memory(std::size_t size, std::size_t alignment) noexcept {
  count();
  if (size == 0) size = 1;
  for (;;) {
    void *p = alignment > 0 ? __libc_memalign(alignment, size) : __libc_malloc(size);
    if (p != nullptr) return p;
    std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) return nullptr;
    try {
      handler();
    } catch (...) {
      return nullptr;
    }
  }
}

void *new_or_throw(std::size_t size, std::size_t alignment) {
  void *p = new_memory(size, alignment);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

#pragma GCC visibility push(default)

extern "C" {

void *malloc(std::size_t size) noexcept {
  count();
  return __libc_malloc(size);
}

void *calloc(std::size_t count_of, std::size_t size) noexcept {
  count();
  return __libc_calloc(count_of, size);
}

void *realloc(void *old, std::size_t size) noexcept {
  count();
  return __libc_realloc(old, size);
}

void *reallocarray(void *old, std::size_t count_of, std::size_t size) noexcept {
  count();
  std::size_t bytes = 0;
  if (__builtin_mul_overflow(count_of, size, &bytes)) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_realloc(old, bytes);
}

void *aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
  count();
  return __libc_memalign(alignment, size);
}

void *memalign(std::size_t alignment, std::size_t size) noexcept {
  count();
  return __libc_memalign(alignment, size);
}

int posix_memalign(void **out, std::size_t alignment, std::size_t size) noexcept {
  count();
  // A power of two and a multiple of the size of a pointer.
  if (alignment % sizeof(void *) != 0 || (alignment & (alignment - 1)) != 0 || alignment == 0) {
    return EINVAL;
  }
  void *p = __libc_memalign(alignment, size);
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}

void *valloc(std::size_t size) noexcept {
  count();
  return __libc_valloc(size);
}

void *pvalloc(std::size_t size) noexcept {
  count();
  return __libc_pvalloc(size);
}

// The control step: counts what the thread allocated since its previous
// robot_step returned, then what the real robot_step allocates.
int robot_step(int ms) {
  if (g_control.load(std::memory_order_acquire) == nullptr) become_control();
  if (!t_control || g_real_step == nullptr) {
    return g_real_step != nullptr ? g_real_step(ms) : 0;
  }
  const unsigned long entry = t_count.load(std::memory_order_relaxed);
  ++g_steps;
  g_in_step = entry - g_after_last;
  g_step_entry = entry;
  g_stepping = true;
  const int result = g_real_step(ms);
  g_stepping = false;
  const unsigned long after = t_count.load(std::memory_order_relaxed);
  g_after_last = after;
  if (g_log_fd >= 0 && getpid() == g_pid) {
    put_step(static_cast<unsigned long>(g_steps), g_in_step, after - entry);
  }
  return result;
}

// The stand-in ends the process with _exit at its stop time: no destructor
// runs then, so the totals are written here.
[[noreturn]] void _exit(int status) {
  finish_log();
  if (g_real_exit != nullptr) g_real_exit(status);
  syscall(SYS_exit_group, status);
  __builtin_unreachable();
}

}  // extern "C"

void *operator new(std::size_t size) {
  return new_or_throw(size, 0);
}
void *operator new[](std::size_t size) {
  return new_or_throw(size, 0);
}
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
  return new_memory(size, 0);
}
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept {
  return new_memory(size, 0);
}
void *operator new(std::size_t size, std::align_val_t alignment) {
  return new_or_throw(size, static_cast<std::size_t>(alignment));
}
void *operator new[](std::size_t size, std::align_val_t alignment) {
  return new_or_throw(size, static_cast<std::size_t>(alignment));
}
void *operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t &) noexcept {
  return new_memory(size, static_cast<std::size_t>(alignment));
}
void *operator new[](std::size_t size, std::align_val_t alignment,
                     const std::nothrow_t &) noexcept {
  return new_memory(size, static_cast<std::size_t>(alignment));
}

#pragma GCC visibility pop

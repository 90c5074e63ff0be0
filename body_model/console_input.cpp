#include "console_input.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>

#include <cerrno>

#include "line_reader.h"

namespace {

// isspace in the C locale, without locale look-ups.
bool is_space(int c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// Waits until `fd` can be read (or has ended). False if it cannot be waited on.
bool wait_readable(int fd) {
  pollfd watch{fd, POLLIN, 0};
  for (;;) {
    const int ready = poll(&watch, 1, -1);
    if (ready > 0) return (watch.revents & POLLNVAL) == 0;
    if (ready < 0 && errno != EINTR) return false;
  }
}

}  // namespace

int console_getc(std::FILE *in) {
  for (;;) {
    errno = 0;
    const int c = std::getc(in);
    if (c != EOF || !std::ferror(in)) return c;
    const int error = errno;
    if (error != EAGAIN && error != EWOULDBLOCK && error != EINTR) return EOF;
    // Nothing typed yet is not the end of input.
    std::clearerr(in);
    if (error != EINTR && !wait_readable(fileno(in))) return EOF;
  }
}

WordRead read_word(std::FILE *in, char *dst, std::size_t capacity) {
  int c = console_getc(in);
  while (c != EOF && is_space(c)) c = console_getc(in);
  if (c == EOF) return WordRead::kEnd;
  std::size_t len = 0;
  bool too_long = false;
  bool nul = false;
  for (; c != EOF && !is_space(c); c = console_getc(in)) {
    if (c == '\0') nul = true;
    if (len + 1 < capacity) {
      dst[len++] = static_cast<char>(c);
    } else {
      too_long = true;
    }
  }
  if (c != EOF) std::ungetc(c, in);
  if (too_long) return WordRead::kTooLong;
  if (nul) return WordRead::kNulByte;
  dst[len] = '\0';
  return WordRead::kOk;
}

void print_name_refusal(WordRead result, std::size_t capacity) {
  if (result == WordRead::kTooLong) {
    std::printf("file name too long: at most %zu characters\n", capacity - 1);
  } else if (result == WordRead::kNulByte) {
    std::printf("file name contains a NUL byte\n");
  }
}

bool start_console_thread(void *(*body)(void *)) {
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &before);
  pthread_t thread;
  const bool started = pthread_create(&thread, nullptr, body, nullptr) == 0;
  if (started) pthread_detach(thread);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return started;
}

std::FILE *ask_for_motion_file(const char *prompt) {
  char name[kMotionNameBytes];
  for (;;) {
    std::fputs(prompt, stdout);
    std::fflush(stdout);
    const WordRead got = read_word(stdin, name, sizeof name);
    if (got == WordRead::kEnd) return nullptr;
    if (got != WordRead::kOk) {
      print_name_refusal(got, sizeof name);
      continue;
    }
    if (std::FILE *opened = open_motion_file(name)) return opened;
    std::fputs("unable to locate the file\n", stdout);
  }
}

// Output of the stand-in: problem reports on stderr and the buffered sinks
// behind the trace and the posture log.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "standin_internal.h"

namespace standin {

void report(const char *format, ...) {
  // One write(2) per line, so reports from two threads never interleave.
  char line[2048] = "standin: ";
  constexpr std::size_t kPrefix = sizeof "standin: " - 1;
  constexpr std::size_t kRoom = sizeof line - kPrefix - 1;
  std::va_list args;
  va_start(args, format);
  int written = std::vsnprintf(line + kPrefix, kRoom, format, args);
  va_end(args);
  std::size_t length = kPrefix;
  if (written > 0) length += static_cast<std::size_t>(written) < kRoom ? written : kRoom - 1;
  line[length++] = '\n';
  while (write(STDERR_FILENO, line, length) < 0 && errno == EINTR) {
  }
}

int open_output(const char *path, int flags) {
  // Without O_NONBLOCK a FIFO nobody reads would hold the open for ever;
  // with it, it fails at once. The writes block again, as a file's do.
  int fd = open(path, flags | O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

const char *open_error(int error) {
  return error == ENXIO ? "a FIFO that nobody reads" : std::strerror(error);
}

void sink_open(Sink &sink, const char *path, const char *what) {
  sink.what = what;
  sink.used = 0;
  sink.fd = open_output(path, O_TRUNC);
  if (sink.fd < 0) {
    report("%s: cannot create \"%s\": %s; running without it", what, Quoted(path).text,
           open_error(errno));
  }
}

void sink_flush(Sink &sink) {
  std::size_t done = 0;
  while (sink.fd >= 0 && done < sink.used) {
    ssize_t written = write(sink.fd, sink.text + done, sink.used - done);
    if (written > 0) {
      done += static_cast<std::size_t>(written);
    } else if (written < 0 && errno == EINTR) {
      continue;
    } else {
      report("%s: write failed: %s; no more written to it", sink.what,
             written < 0 ? std::strerror(errno) : "no progress");
      close(sink.fd);
      sink.fd = -1;
    }
  }
  sink.used = 0;
}

}  // namespace standin

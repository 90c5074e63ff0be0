// The stand-in's own files must never take the place of the console: a
// controller started with fd 0, 1 or 2 closed would otherwise see its
// console text land in the trace or the posture log.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace standin {

namespace {

// Runs when the library is loaded, before any controller code or any file
// the stand-in opens: /dev/null goes on each standard descriptor that is
// closed.
[[gnu::constructor(101)]] void keep_standard_fds_open() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = open("/dev/null", O_RDWR);
    if (opened > fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
}

}  // namespace

}  // namespace standin

#include "line_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

LineReader::LineReader(std::size_t capacity)
    : max_chars_(std::clamp<std::size_t>(capacity, 2, kMaxCapacity) - 1) {}

void LineReader::attach(std::FILE *file) {
  fd_ = file ? fileno(file) : -1;
  eof_ = fd_ < 0;
  failed_ = false;
  begin_ = end_ = last_begin_ = last_end_ = 0;
}

bool LineReader::fill() {
  if (eof_) return false;
  // Keep the latest line: last() must survive a read that meets the end.
  if (last_begin_ > 0) {
    std::memmove(buf_, buf_ + last_begin_, end_ - last_begin_);
    begin_ -= last_begin_;
    end_ -= last_begin_;
    last_end_ -= last_begin_;
    last_begin_ = 0;
  }
  for (;;) {
    ssize_t got = ::read(fd_, buf_ + end_, kBlockBytes - end_);
    if (got > 0) {
      end_ += static_cast<std::size_t>(got);
      return true;
    }
    if (got < 0 && errno == EINTR) continue;
    // End of file and read errors end the file alike.
    eof_ = true;
    failed_ = got < 0;
    return false;
  }
}

bool LineReader::next() {
  for (;;) {
    std::size_t avail = end_ - begin_;
    std::size_t window = std::min(avail, max_chars_);
    const void *nl = std::memchr(buf_ + begin_, '\n', window);
    std::size_t take = 0;
    if (nl) {
      take = static_cast<const char *>(nl) - (buf_ + begin_) + 1;
    } else if (avail >= max_chars_) {
      // A line longer than one read is split, its rest read as the next row.
      take = max_chars_;
    } else if (!fill()) {
      take = avail;
      if (take == 0) return false;
    } else {
      continue;
    }
    last_begin_ = begin_;
    last_end_ = begin_ + take;
    begin_ = last_end_;
    return true;
  }
}

void LineReader::copy_last(char *dst) const {
  std::string_view line = last();
  std::memcpy(dst, line.data(), line.size());
  dst[line.size()] = '\0';
}

namespace {

// Closes a descriptor that will not become a motion file; errno tells why.
std::FILE *refuse_fd(int fd, int error) {
  ::close(fd);
  errno = error;
  return nullptr;
}

}  // namespace

std::FILE *open_motion_file(const char *name) {
  // Without O_NONBLOCK opening a FIFO waits for a writer, maybe for ever.
  const int fd = ::open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0) return refuse_fd(fd, errno);
  // A directory opens but holds no rows; a FIFO or a device (/dev/zero)
  // would be read without end.
  if (S_ISDIR(st.st_mode)) return refuse_fd(fd, EISDIR);
  if (!S_ISREG(st.st_mode)) return refuse_fd(fd, EINVAL);
  // Rows are read with blocking reads, as fopen would give them.
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return refuse_fd(fd, errno);
  std::FILE *file = fdopen(fd, "r");
  if (file == nullptr) return refuse_fd(fd, errno);
  return file;
}

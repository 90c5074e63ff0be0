// Replacing a file whole or not at all.
#include "whole_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace {

constexpr unsigned kTempAttempts = 100;  // temporary names tried per write

// True when nobody may write `st`'s file, or this user may not write `path`.
// Checked by mode as well, since root may write anything by permission.
bool write_protected(const char *path, const struct stat &st) {
  return (st.st_mode & 0222) == 0 || access(path, W_OK) != 0;
}

// Creates a new temporary file beside `target` (whose directory part is its
// first `dir_bytes` bytes), with mode 0666 less the umask as fopen gives.
// Its name is left in `temp`. -1 on failure.
int create_temp(const char *target, std::size_t dir_bytes, const char *tag, unsigned &serial,
                char *temp, std::size_t temp_bytes) {
  for (unsigned attempt = 0; attempt < kTempAttempts; ++attempt) {
    const int length =
        std::snprintf(temp, temp_bytes, "%.*s.%s.%ld.%u", static_cast<int>(dir_bytes), target, tag,
                      static_cast<long>(getpid()), serial++);
    if (length < 0 || static_cast<std::size_t>(length) >= temp_bytes) return -1;
    const int fd = ::open(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

}  // namespace

WholeWrite replace_whole(const char *name, const char *tag, unsigned &serial,
                         const std::function<bool(std::FILE *)> &fill) {
  // The file the name stands for; a link's target is what gets replaced.
  char target[PATH_MAX];
  struct stat existing;
  const bool exists = lstat(name, &existing) == 0;
  if (exists) {
    if (realpath(name, target) == nullptr || stat(target, &existing) != 0) {
      return WholeWrite::kCannotOpen;
    }
    if (!S_ISREG(existing.st_mode) || write_protected(target, existing)) {
      return WholeWrite::kCannotOpen;
    }
  } else {
    if (errno != ENOENT || std::strlen(name) >= sizeof target) return WholeWrite::kCannotOpen;
    std::strcpy(target, name);
  }
  // The directory must take a new file and a rename, as it would for fopen.
  const char *slash = std::strrchr(target, '/');
  const std::size_t dir_bytes = slash == nullptr ? 0 : static_cast<std::size_t>(slash - target) + 1;
  char dir[PATH_MAX] = ".";
  if (dir_bytes > 0) std::snprintf(dir, sizeof dir, "%.*s", static_cast<int>(dir_bytes), target);
  struct stat dir_st;
  if (stat(dir, &dir_st) != 0 || write_protected(dir, dir_st)) return WholeWrite::kCannotOpen;
  char temp[PATH_MAX + 32];
  const int fd = create_temp(target, dir_bytes, tag, serial, temp, sizeof temp);
  if (fd < 0) return WholeWrite::kCannotOpen;
  if (exists) {
    // A replaced file looks as it did; an owner only root may give back.
    fchmod(fd, existing.st_mode & 07777);
    [[maybe_unused]] const int owned = fchown(fd, existing.st_uid, existing.st_gid);
  }
  std::FILE *out = fdopen(fd, "w");
  bool written = out != nullptr;
  if (out == nullptr) {
    ::close(fd);
  } else {
    // Every step can meet a full disk; the data must be on it before the rename.
    written = fill(out);
    written = std::fflush(out) == 0 && written;
    written = fsync(fileno(out)) == 0 && written;
    written = std::fclose(out) == 0 && written;
  }
  if (!written || std::rename(temp, target) != 0) {
    unlink(temp);
    return WholeWrite::kCannotWrite;
  }
  return WholeWrite::kOk;
}

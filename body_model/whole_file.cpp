// Replacing a file whole or not at all.
#include "whole_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

constexpr unsigned kTempAttempts = 100;  // temporary names tried per write

// Names a temporary file beside `target` (whose directory part is its first
// `dir_bytes` bytes). False if the name does not fit.
bool temp_name(const char *target, std::size_t dir_bytes, const char *tag, unsigned &serial,
               char *temp, std::size_t temp_bytes) {
  const int length = std::snprintf(temp, temp_bytes, "%.*s.%s.%ld.%u", static_cast<int>(dir_bytes),
                                   target, tag, static_cast<long>(getpid()), serial++);
  return length >= 0 && static_cast<std::size_t>(length) < temp_bytes;
}

// Creates a new temporary file beside `target`, with mode 0666 less the
// umask as fopen gives. Its name is left in `temp`. -1 on failure.
int create_temp(const char *target, std::size_t dir_bytes, const char *tag, unsigned &serial,
                char *temp, std::size_t temp_bytes) {
  for (unsigned attempt = 0; attempt < kTempAttempts; ++attempt) {
    if (!temp_name(target, dir_bytes, tag, serial, temp, temp_bytes)) return -1;
    const int fd = ::open(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Writes what `fill` writes to `fd` and syncs it; `fd` stays open. A
// replaced file (`existing`) looks as it did; an owner only root may give back.
bool write_content(int fd, const struct stat *existing,
                   const std::function<bool(std::FILE *)> &fill) {
  if (existing != nullptr) {
    fchmod(fd, existing->st_mode & 07777);
    [[maybe_unused]] const int owned = fchown(fd, existing->st_uid, existing->st_gid);
  }
  const int copy = dup(fd);
  std::FILE *out = copy < 0 ? nullptr : fdopen(copy, "w");
  if (out == nullptr) {
    if (copy >= 0) ::close(copy);
    return false;
  }
  // Every step can meet a full disk; the data must be on it before it is named.
  bool written = fill(out);
  written = std::fflush(out) == 0 && written;
  written = fsync(fd) == 0 && written;
  return std::fclose(out) == 0 && written;
}

// Gives the unnamed file `fd` the name `path`. False with errno set.
bool link_unnamed(int fd, const char *path) {
  char proc[32];
  std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
  if (linkat(AT_FDCWD, proc, AT_FDCWD, path, AT_SYMLINK_FOLLOW) == 0) return true;
  if (errno == EEXIST) return false;
  // Without /proc: by the descriptor itself, which needs a capability.
  return linkat(fd, "", AT_FDCWD, path, AT_EMPTY_PATH) == 0;
}

enum class Replaced { kDone, kCannotWrite, kUnsupported };

// The content as an unnamed file in `dir` (O_TMPFILE), named only once it
// is complete: a process ended while writing leaves nothing behind. A new
// target gets the file's first name; an existing one is replaced by
// renaming a temporary name over it. kUnsupported when the file system has
// no unnamed files or they cannot be linked; nothing was named then.
Replaced replace_unnamed(const char *dir, const char *target, std::size_t dir_bytes,
                         const struct stat *existing, const char *tag, unsigned &serial,
                         const std::function<bool(std::FILE *)> &fill) {
  const int fd = ::open(dir, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd < 0) return Replaced::kUnsupported;
  if (!write_content(fd, existing, fill)) {
    ::close(fd);
    return Replaced::kCannotWrite;
  }
  if (existing == nullptr && link_unnamed(fd, target)) {
    ::close(fd);
    return Replaced::kDone;
  }
  // The target exists (or came to exist meanwhile): link under a temporary name.
  char temp[PATH_MAX + 32];
  bool linked = false;
  for (unsigned attempt = 0; attempt < kTempAttempts && !linked; ++attempt) {
    if (!temp_name(target, dir_bytes, tag, serial, temp, sizeof temp)) break;
    linked = link_unnamed(fd, temp);
    if (!linked && errno != EEXIST) break;
  }
  ::close(fd);
  if (!linked) return Replaced::kUnsupported;
  if (std::rename(temp, target) != 0) {
    unlink(temp);
    return Replaced::kCannotWrite;
  }
  return Replaced::kDone;
}

}  // namespace

WholeWrite replace_whole(const char *name, const char *tag, unsigned &serial,
                         const std::function<bool(std::FILE *)> &fill, WholeTemp how) {
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
  const struct stat *old = exists ? &existing : nullptr;
  const Replaced replaced = how == WholeTemp::kUnnamed
                                ? replace_unnamed(dir, target, dir_bytes, old, tag, serial, fill)
                                : Replaced::kUnsupported;
  if (replaced == Replaced::kDone) return WholeWrite::kOk;
  if (replaced == Replaced::kCannotWrite) return WholeWrite::kCannotWrite;
  // No unnamed files here: a named temporary file, removed if anything fails.
  char temp[PATH_MAX + 32];
  const int fd = create_temp(target, dir_bytes, tag, serial, temp, sizeof temp);
  if (fd < 0) return WholeWrite::kCannotOpen;
  const bool written = write_content(fd, old, fill);
  if (::close(fd) != 0 || !written || std::rename(temp, target) != 0) {
    unlink(temp);
    return WholeWrite::kCannotWrite;
  }
  return WholeWrite::kOk;
}

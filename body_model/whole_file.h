// Replacing a file whole or not at all: the new content goes to an unnamed
// file beside the target, which is named only once written and synced, so
// that a process ended meanwhile leaves nothing behind. pose_tuner's
// snapshot and motion_compose's output both go this way.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

// True when nobody may write `st`'s file (stat of `path`), or this user may
// not write `path`. Checked by mode as well, since root may write anything
// by permission: a write-protected target is refused even for root. The
// stand-in's recordings follow the same rule.
inline bool write_protected(const char *path, const struct stat &st) {
  return (st.st_mode & 0222) == 0 || access(path, W_OK) != 0;
}

enum class WholeWrite {
  kOk,           // the file holds the new content
  kCannotOpen,   // the name cannot be created or replaced; nothing was touched
  kCannotWrite,  // writing failed (a full disk); an existing file kept its bytes
};

// Where the content is written before it replaces its target.
enum class WholeTemp {
  kUnnamed,  // an unnamed file (O_TMPFILE), named once complete
  kNamed,    // a named temporary file, as where unnamed files are not supported
};

// Writes what `fill` writes (false when a write failed) to the file `name`
// (a path of at most PATH_MAX - 1 bytes). The temporary file is named
// NAME_DIR/.TAG.PID.N, N taken from `serial`, which is counted up. Refused:
// a target that is not a regular file (a directory, a FIFO), one with no
// write permission for anyone or none for this user, and a directory that
// is not writable in the same sense; root is refused them too. A link is
// followed and its target replaced. A new file gets mode 0666 less the
// umask; a replaced one keeps its mode (and its owner where allowed).
//
// The content goes to an unnamed file in the target's directory, synced,
// then linked in: a new target under its own name, an existing one under
// the temporary name, which is then renamed over it (only an end between
// those two calls can leave the temporary name behind). Where the file
// system has no unnamed files it goes to the named temporary file
// directly, removed if anything fails; kNamed chooses that way (for tests).
WholeWrite replace_whole(const char *name, const char *tag, unsigned &serial,
                         const std::function<bool(std::FILE *)> &fill,
                         WholeTemp how = WholeTemp::kUnnamed);

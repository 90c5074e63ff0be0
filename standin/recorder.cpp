// The recording's encoder side: an ffmpeg child fed raw RGB frames through
// a pipe. Writes go through while SIGPIPE is blocked, so a dead ffmpeg is
// a failed write, reported once, and never the end of the program.
#include "recorder.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "whole_file.h"

extern char **environ;

namespace standin {

namespace {

constexpr int kCells = 8;  // frames the sheet shows
constexpr int kSheetColumns = 4;
constexpr int kSheetRows = kCells / kSheetColumns;
constexpr unsigned char kBlank = 40;  // grey of a cell with no frame

// A file descriptor with one owner, closed when the owner goes unless it
// has been released.
class OwnedFd {
 public:
  OwnedFd() = default;
  explicit OwnedFd(int fd) : fd_(fd) {}
  OwnedFd(const OwnedFd &) = delete;
  OwnedFd &operator=(const OwnedFd &) = delete;
  ~OwnedFd() { reset(-1); }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// Both ends of a pipe.
struct Pipe {
  OwnedFd read;
  OwnedFd write;
  // False, with errno set, when the pipe cannot be made.
  bool open(int flags) {
    int fds[2];
    if (pipe2(fds, flags) != 0) return false;
    read.reset(fds[0]);
    write.reset(fds[1]);
    return true;
  }
};

// The first pass's pipes: frames to ffmpeg, what it says on its stderr,
// and for a contact sheet, the picture back.
struct FirstPassPipes {
  Pipe frames;
  Pipe said;
  Pipe sheet;
  // False, with errno set, when one cannot be made.
  bool open(bool with_sheet) {
    return frames.open(O_CLOEXEC) && said.open(O_CLOEXEC | O_NONBLOCK) &&
           (!with_sheet || sheet.open(O_CLOEXEC));
  }
};

// ffmpeg's command line for the first pass of a recording: raw RGBA frames
// in; the video, the GIF's frames or the contact sheet out. It owns the
// texts its words point to, so it is neither copied nor moved.
class FirstPass {
 public:
  FirstPass(RecordFormat format, const char *path, int width, int height);
  FirstPass(const FirstPass &) = delete;
  FirstPass &operator=(const FirstPass &) = delete;
  // The words, ending in a null pointer.
  const char *const *argv() const { return words_.data(); }

 private:
  void add(std::initializer_list<const char *> words) {
    words_.insert(words_.end(), words.begin(), words.end());
  }
  std::string size_;    // WxH of what ffmpeg reads
  std::string rate_;    // frames per second
  std::string target_;  // "file:" and the path
  std::vector<const char *> words_;
};

FirstPass::FirstPass(RecordFormat format, const char *path, int width, int height)
    : rate_(std::to_string(kFramesPerSecond)),
      // "file:" keeps a name with a colon from reading as a protocol.
      target_(std::string("file:") + path) {
  // The sheet is one picture of 4 x 2 frames, which the stand-in lays out.
  if (format == RecordFormat::png) {
    width *= kSheetColumns;
    height *= kSheetRows;
  }
  size_ = std::to_string(width) + "x" + std::to_string(height);
  // GL reads rows bottom-up: ffmpeg turns them over on its own core.
  // -xerror: a file it could not finish (a full disk) fails its exit status.
  add({"ffmpeg", "-hide_banner", "-loglevel", "error", "-nostats", "-xerror", "-f", "rawvideo",
       "-pix_fmt", "rgba", "-s", size_.c_str()});
  switch (format) {
    case RecordFormat::png:
      // To a pipe: the stand-in writes the file itself, and sees a full disk
      // that ffmpeg's picture writer lets pass.
      add({"-i", "-", "-frames:v", "1", "-c:v", "png", "-pix_fmt", "rgb24", "-f", "image2pipe",
           "pipe:1"});
      break;
    case RecordFormat::gif:
      // First the frames, at 15 a second, losslessly into an unnamed file
      // beside the GIF; at the end a second pass makes the palette from the
      // whole run and the GIF from it. Memory stays bounded: one pass that
      // did both would keep every frame until the palette was made.
      add({"-r", rate_.c_str(), "-i", "-", "-vf", "vflip,fps=15", "-c:v", "ffv1", "-f", "nut", "-y",
           "file:/dev/fd/3"});
      break;
    default:
      // An mp4. A key frame every second, so that a player seeks quickly.
      add({"-r", rate_.c_str(), "-i", "-", "-vf", "vflip", "-c:v", "libx264", "-preset", "veryfast",
           "-g", rate_.c_str(), "-pix_fmt", "yuv420p",
           // In fragments, one a second: a file cut short
           // (a full disk, SIGKILL) plays up to its last.
           "-movflags", "+frag_keyframe+empty_moov", "-f", "mp4", "-y", target_.c_str()});
      break;
  }
  words_.push_back(nullptr);
}

// Starts ffmpeg with `actions`; 0 or the error. The program's blocked or
// ignored signals are not ffmpeg's, and ffmpeg gets a process group of its
// own: a terminal's Ctrl-C reaches the program, which then finishes ffmpeg,
// rather than ending ffmpeg mid-file.
int spawn_ffmpeg(pid_t *pid, const char *ffmpeg, const posix_spawn_file_actions_t *actions,
                 const char *const *args) {
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int signal : {SIGPIPE, SIGINT, SIGTERM, SIGHUP}) sigaddset(&defaults, signal);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  int error = posix_spawn(pid, ffmpeg, actions, &attributes, const_cast<char **>(args), environ);
  posix_spawnattr_destroy(&attributes);
  return error;
}

// Starts the first pass on its pipes' far ends, with the GIF's frames file
// (or -1) as its descriptor 3; 0 or the error.
int spawn_first_pass(pid_t *pid, const char *ffmpeg, const FirstPass &command,
                     const FirstPassPipes &pipes, int frames_fd) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipes.frames.read.get(), STDIN_FILENO);
  if (pipes.sheet.write.get() >= 0) {
    posix_spawn_file_actions_adddup2(&actions, pipes.sheet.write.get(), STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  }
  posix_spawn_file_actions_adddup2(&actions, pipes.said.write.get(), STDERR_FILENO);
  if (frames_fd >= 0) posix_spawn_file_actions_adddup2(&actions, frames_fd, 3);
  int error = spawn_ffmpeg(pid, ffmpeg, &actions, command.argv());
  posix_spawn_file_actions_destroy(&actions);
  return error;
}

// Finds ffmpeg on the PATH, as a shell would, into `path`. Looked up here
// rather than left to posix_spawnp, which cannot always tell a missing
// program from one that failed (under valgrind, say).
bool find_ffmpeg(char *path, std::size_t size) {
  const char *search = std::getenv("PATH");
  if (search == nullptr) search = "/usr/bin:/bin";
  while (true) {
    const char *end = std::strchr(search, ':');
    std::size_t length =
        end != nullptr ? static_cast<std::size_t>(end - search) : std::strlen(search);
    // An empty entry is the current directory.
    int n = std::snprintf(path, size, "%.*s/ffmpeg", static_cast<int>(length),
                          length == 0 ? "." : search);
    if (n > 0 && static_cast<std::size_t>(n) < size && access(path, X_OK) == 0) return true;
    if (end == nullptr) return false;
    search = end + 1;
  }
}

// The directory part of `path` ("." for none) into `dir`.
void directory_of(const char *path, char *dir, std::size_t size) {
  const char *slash = std::strrchr(path, '/');
  if (slash == nullptr) {
    std::snprintf(dir, size, ".");
  } else {
    std::snprintf(dir, size, "%.*s", static_cast<int>(slash - path + 1), path);
  }
}

// The GIF's frames between its two passes, in `dir` beside the GIF at
// `path`: an unnamed file, so that nothing is left behind however the run
// ends; a named one, removed at once, where the file system has none. -1,
// with errno set, when neither can be made.
int open_frames_file(const char *dir, const char *path) {
  int fd = open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  char temp[4096 + 32];
  std::snprintf(temp, sizeof temp, "%s.%ld.nut", path, static_cast<long>(getpid()));
  fd = open(temp, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) unlink(temp);
  return fd;
}

// True when the mp4 at `path` holds at least one whole fragment (a moof
// box followed by its whole mdat), which a player can play.
bool plays(const char *path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool whole = false;
  bool after_moof = false;
  if (fstat(fd, &st) == 0) {
    off_t at = 0;
    unsigned char head[16];
    while (!whole && at + 8 <= st.st_size && pread(fd, head, 16, at) >= 8) {
      std::uint64_t size =
          (std::uint64_t{head[0]} << 24) | (head[1] << 16) | (head[2] << 8) | head[3];
      if (size == 1) {
        size = 0;
        for (int i = 8; i < 16; ++i) size = (size << 8) | head[i];
      }
      if (size < 8 || size > static_cast<std::uint64_t>(st.st_size - at)) break;
      bool mdat = std::memcmp(head + 4, "mdat", 4) == 0;
      whole = mdat && after_moof;
      after_moof = std::memcmp(head + 4, "moof", 4) == 0;
      at += static_cast<off_t>(size);
    }
  }
  close(fd);
  return whole;
}

}  // namespace

Recorder::~Recorder() {
  finish();
}

bool Recorder::start(const char *path, RecordFormat format, int width, int height) {
  format_ = format;
  path_ = path;
  width_ = width;
  height_ = height;
  frame_bytes_ = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
  char dir[4096];
  directory_of(path, dir, sizeof dir);
  if (!target_usable(dir)) return false;
  if (!find_ffmpeg(ffmpeg_, sizeof ffmpeg_)) {
    report(
        "STANDIN_RECORD: ffmpeg is not installed (Debian package ffmpeg); running without "
        "recording");
    return false;
  }
  OwnedFd frames;
  if (format == RecordFormat::gif) {
    frames.reset(open_frames_file(dir, path));
    if (frames.get() < 0) {
      report("STANDIN_RECORD: cannot create \"%s\": %s; running without recording",
             Quoted(path).text, std::strerror(errno));
      return false;
    }
  }
  FirstPassPipes pipes;
  if (!pipes.open(format == RecordFormat::png)) {
    report("STANDIN_RECORD: cannot make a pipe: %s; running without recording",
           std::strerror(errno));
    return false;
  }
  // A whole frame fits in the pipe where the system allows, so the control
  // thread rarely waits for the encoder.
  fcntl(pipes.frames.write.get(), F_SETPIPE_SZ, 1 << 20);
  const FirstPass command(format, path, width, height);
  if (int error = spawn_first_pass(&pid_, ffmpeg_, command, pipes, frames.get()); error != 0) {
    pid_ = -1;
    report("STANDIN_RECORD: cannot start ffmpeg: %s; running without recording",
           std::strerror(error));
    return false;
  }
  // The ends ffmpeg holds close here as `pipes` goes; the recorder keeps ours.
  fd_ = pipes.frames.write.release();
  said_fd_ = pipes.said.read.release();
  sheet_fd_ = pipes.sheet.read.release();
  frames_fd_ = frames.release();
  if (format == RecordFormat::png) {
    slots_ = std::make_unique<unsigned char[]>(frame_bytes_ * kSlots);
    last_ = std::make_unique<unsigned char[]>(frame_bytes_);
    row_ = std::make_unique<unsigned char[]>(frame_bytes_ / height * kSheetColumns);
  }
  return true;
}

// Whether path_ in `dir` can take the recording; false once reported. Sets
// replace_: a contact sheet or a GIF goes under a temporary name beside its
// file and is renamed once whole, so that a run ended by SIGKILL leaves
// nothing under the name; a device or a FIFO takes it straight.
bool Recorder::target_usable(const char *dir) {
  struct stat st;
  const bool exists = stat(path_, &st) == 0;
  struct stat dir_st;
  // A write-protected file, or a new one in a write-protected directory,
  // is refused as the tuner refuses its snapshot's: even for root.
  if ((exists && S_ISREG(st.st_mode) && write_protected(path_, st)) ||
      (!exists && stat(dir, &dir_st) == 0 && write_protected(dir, dir_st))) {
    report("STANDIN_RECORD: \"%s\" is write-protected; running without recording",
           Quoted(exists ? path_ : dir).text);
    return false;
  }
  replace_ = format_ != RecordFormat::mp4 && (!exists || S_ISREG(st.st_mode));
  if (replace_) {
    const int error = stat(dir, &dir_st) != 0 ? errno : S_ISDIR(dir_st.st_mode) ? 0 : ENOTDIR;
    if (error == 0) return true;
    report("STANDIN_RECORD: cannot create \"%s\": %s; running without recording",
           Quoted(path_).text, std::strerror(error));
    return false;
  }
  // ffmpeg would say the same at its end, in many lines; tell it now in one.
  const int probe = open_output(path_, 0);
  if (probe < 0) {
    report("STANDIN_RECORD: cannot create \"%s\": %s; running without recording",
           Quoted(path_).text, open_error(errno));
    return false;
  }
  close(probe);
  return true;
}

// Writes all of `bytes`; on failure reports once and stops recording.
bool Recorder::put(const unsigned char *bytes, std::size_t size) {
  sigset_t pipe_signal;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  sigset_t before;
  pthread_sigmask(SIG_BLOCK, &pipe_signal, &before);
  int error = 0;
  while (size > 0) {
    ssize_t written = write(fd_, bytes, size);
    if (written > 0) {
      bytes += written;
      size -= static_cast<std::size_t>(written);
    } else if (written < 0 && errno == EINTR) {
      continue;
    } else {
      error = written < 0 ? errno : EIO;
      break;
    }
  }
  if (error == EPIPE && sigismember(&before, SIGPIPE) == 0) {
    // Take back the SIGPIPE this write raised before the mask comes off.
    timespec now{};
    sigtimedwait(&pipe_signal, nullptr, &now);
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  if (error == 0) return true;
  // ffmpeg has closed its input: it is ending, and what it wrote is final.
  close(fd_);
  fd_ = -1;
  failed_ = true;
  const char *said = ffmpeg_said();
  reap();
  report(
      "STANDIN_RECORD: ffmpeg took no more frames (%s%s); \"%s\" %s, running on without "
      "recording",
      std::strerror(error), said, Quoted(path_).text, salvage());
  return false;
}

void Recorder::frame(const unsigned char *rgb, std::int64_t index) {
  if (fd_ < 0) return;
  if (format_ != RecordFormat::png) {
    put(rgb, frame_bytes_);
    return;
  }
  keep(rgb, index);
}

// Keeps every spacing-th frame; when the slots are full, every other one
// goes and the spacing doubles, so the kept frames stay evenly spread.
void Recorder::keep(const unsigned char *rgb, std::int64_t index) {
  std::memcpy(last_.get(), rgb, frame_bytes_);
  last_frame_ = index;
  if (index % spacing_ != 0) return;
  if (used_ == kSlots) {
    for (int i = 1; i < kSlots / 2; ++i) {
      std::memcpy(slots_.get() + i * frame_bytes_, slots_.get() + 2 * i * frame_bytes_,
                  frame_bytes_);
      slot_frame_[i] = slot_frame_[2 * i];
    }
    used_ = kSlots / 2;
    spacing_ *= 2;
    if (index % spacing_ != 0) return;
  }
  std::memcpy(slots_.get() + used_ * frame_bytes_, rgb, frame_bytes_);
  slot_frame_[used_++] = index;
}

// Eight cells, 4 x 2, the first frame to the last: each the kept frame
// nearest its even share of the run. A run of fewer frames leaves cells grey.
void Recorder::write_sheet() {
  const unsigned char *cell[kCells] = {};
  for (int j = 0; j < kCells && last_frame_ >= 0; ++j) {
    std::int64_t want = (j * last_frame_ + (kCells - 1) / 2) / (kCells - 1);
    if (last_frame_ < kCells - 1) {
      if (j > last_frame_) break;
      want = j;
    }
    const unsigned char *best = last_.get();
    std::int64_t gap = last_frame_ - want;
    for (int i = 0; i < used_; ++i) {
      std::int64_t d = slot_frame_[i] > want ? slot_frame_[i] - want : want - slot_frame_[i];
      if (d < gap) {
        gap = d;
        best = slots_.get() + i * frame_bytes_;
      }
    }
    cell[j] = best;
  }
  std::size_t line = frame_bytes_ / height_;
  for (int r = 0; r < kSheetRows && fd_ >= 0; ++r) {
    for (int y = 0; y < height_ && fd_ >= 0; ++y) {
      for (int c = 0; c < kSheetColumns; ++c) {
        unsigned char *out = row_.get() + c * line;
        const unsigned char *from = cell[r * kSheetColumns + c];
        // Rows come bottom-up from GL; the sheet goes top-down.
        if (from != nullptr) {
          std::memcpy(out, from + (height_ - 1 - y) * line, line);
        } else {
          std::memset(out, kBlank, line);
        }
      }
      put(row_.get(), line * kSheetColumns);
    }
  }
}

// Waits for ffmpeg to end; true when it ended well.
bool Recorder::reap() {
  if (pid_ < 0) return false;
  int status = 0;
  pid_t done = 0;
  while ((done = waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  status_ = status;
  return done > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// What is left of a recording that failed, for its one report: an mp4
// that holds a whole fragment plays up to it, one that holds none is
// removed; a contact sheet or a GIF was never named.
const char *Recorder::salvage() {
  if (sheet_fd_ >= 0) close(sheet_fd_);
  sheet_fd_ = -1;
  if (format_ != RecordFormat::mp4) return "is not written";
  struct stat st;
  if (stat(path_, &st) != 0) return "is not written";
  if (!S_ISREG(st.st_mode)) return "is cut short";
  if (plays(path_)) return "is cut short and plays up to there";
  unlink(path_);
  return "holds no whole second and is removed";
}

// Copies the sheet from ffmpeg's output to a temporary file beside its
// name, synced, and names it; or straight into a device or a FIFO. False
// once reported.
bool Recorder::write_out() {
  char temp[4096 + 32];
  int out = -1;
  struct stat old;
  bool had = stat(path_, &old) == 0;
  if (!replace_) {
    out = open_output(path_, O_TRUNC);
  } else {
    std::snprintf(temp, sizeof temp, "%s.%ld.part", path_, static_cast<long>(getpid()));
    out = open(temp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    // A replaced file keeps its mode, as a snapshot does.
    if (out >= 0 && had) fchmod(out, old.st_mode & 07777);
  }
  int error = out < 0 ? errno : 0;
  char buffer[1 << 16];
  std::size_t total = 0;
  while (true) {
    ssize_t got = read(sheet_fd_, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    total += static_cast<std::size_t>(got);
    for (ssize_t done = 0; error == 0 && done < got;) {
      ssize_t put = write(out, buffer + done, static_cast<std::size_t>(got - done));
      if (put > 0) {
        done += put;
      } else if (put < 0 && errno != EINTR) {
        error = errno;
      }
    }
  }
  close(sheet_fd_);
  sheet_fd_ = -1;
  bool ended = reap();
  if (error == 0 && replace_ && fsync(out) != 0) error = errno;
  if (out >= 0 && close(out) != 0 && error == 0) error = errno;
  if (error == 0 && ended && total > 0 && (!replace_ || std::rename(temp, path_) == 0)) return true;
  if (error == 0 && replace_ && ended && total > 0) error = errno;
  if (replace_ && out >= 0) unlink(temp);
  if (error != 0) {
    report("STANDIN_RECORD: cannot write \"%s\": %s; it is not written", Quoted(path_).text,
           std::strerror(error));
  } else {
    report("STANDIN_RECORD: ffmpeg failed (%s %d%s) writing \"%s\"; it is not written",
           WIFEXITED(status_) ? "exit status" : "signal",
           WIFEXITED(status_) ? WEXITSTATUS(status_) : WTERMSIG(status_), ffmpeg_said(),
           Quoted(path_).text);
  }
  return false;
}

// The GIF's second pass: ffmpeg reads the frames twice, once for the
// palette and once for the picture, and writes the GIF to a pipe. False
// once reported.
bool Recorder::second_pass() {
  Pipe out;
  Pipe said;
  if (!out.open(O_CLOEXEC) || !said.open(O_CLOEXEC | O_NONBLOCK)) {
    report("STANDIN_RECORD: cannot make a pipe: %s; \"%s\" is not written", std::strerror(errno),
           Quoted(path_).text);
    return false;
  }
  const char *args[] = {
      "ffmpeg",
      "-hide_banner",
      "-loglevel",
      "error",
      "-nostats",
      "-xerror",
      "-i",
      "file:/dev/fd/3",
      "-i",
      "file:/dev/fd/3",
      "-filter_complex",
      "[0:v]palettegen=stats_mode=diff[p];[1:v][p]paletteuse=dither=bayer:bayer_scale=4:"
      "diff_mode=rectangle",
      "-loop",
      "0",
      "-f",
      "gif",
      "pipe:1",
      nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out.write.get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, said.write.get(), STDERR_FILENO);
  posix_spawn_file_actions_adddup2(&actions, frames_fd_, 3);
  int error = spawn_ffmpeg(&pid_, ffmpeg_, &actions, args);
  posix_spawn_file_actions_destroy(&actions);
  if (said_fd_ >= 0) close(said_fd_);
  said_fd_ = said.read.release();
  if (error != 0) {
    pid_ = -1;
    report("STANDIN_RECORD: cannot start ffmpeg: %s; \"%s\" is not written", std::strerror(error),
           Quoted(path_).text);
    return false;
  }
  sheet_fd_ = out.read.release();
  return true;
}

void Recorder::abandon() {
  if (pid_ < 0) return;
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  if (said_fd_ >= 0) close(said_fd_);
  said_fd_ = -1;
  if (sheet_fd_ >= 0) close(sheet_fd_);
  sheet_fd_ = -1;
  if (!replace_) unlink(path_);
}

void Recorder::finish() {
  if (pid_ < 0) return;
  if (fd_ >= 0 && format_ == RecordFormat::png) write_sheet();
  bool sheet = fd_ >= 0 && format_ == RecordFormat::png;
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  bool ended = sheet ? write_out() : reap();
  if (ended && format_ == RecordFormat::gif) {
    if (second_pass()) write_out();
  } else if (!sheet && !ended && !failed_) {
    // A failure already told is not told again.
    const char *said = ffmpeg_said();
    report("STANDIN_RECORD: ffmpeg failed (%s %d%s) writing \"%s\"; it %s",
           WIFEXITED(status_) ? "exit status" : "signal",
           WIFEXITED(status_) ? WEXITSTATUS(status_) : WTERMSIG(status_), said, Quoted(path_).text,
           salvage());
  }
  if (said_fd_ >= 0) close(said_fd_);
  said_fd_ = -1;
  if (frames_fd_ >= 0) close(frames_fd_);
  frames_fd_ = -1;
}

// ", ffmpeg: <its first line>" from what it wrote on stderr, escaped, or "".
// ffmpeg has said it by the time its input is closed or it has ended.
const char *Recorder::ffmpeg_said() {
  char text[4096];
  ssize_t got = said_fd_ >= 0 ? read(said_fd_, text, sizeof text) : -1;
  std::string_view said(text, got > 0 ? static_cast<std::size_t>(got) : 0);
  while (!said.empty() && (said.front() == '\n' || said.front() == ' ')) said.remove_prefix(1);
  said = said.substr(0, said.find('\n'));
  while (!said.empty() && (said.back() == ' ' || said.back() == '\r')) said.remove_suffix(1);
  if (said.empty()) return "";
  std::memcpy(said_, ", ffmpeg: ", 10);
  said_[10 + escape(said, 160, said_ + 10)] = '\0';
  return said_;
}

}  // namespace standin

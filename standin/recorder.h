// A recording of the run: frames go to an ffmpeg child through a pipe, which
// encodes a video (.mp4, .gif) or, at the end, a contact sheet (.png) of
// eight frames spread evenly over the run. Knows pixels, not the engine.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "standin_internal.h"

namespace standin {

// Frames per second of simulated time.
inline constexpr int kFramesPerSecond = 30;

class Recorder {
 public:
  Recorder() = default;
  ~Recorder();
  Recorder(const Recorder &) = delete;
  Recorder &operator=(const Recorder &) = delete;

  // Starts ffmpeg writing `path` in `format`, frames `width` x `height`.
  // False once it has reported why not (an unwritable path, no ffmpeg).
  bool start(const char *path, RecordFormat format, int width, int height);
  // True while frames are wanted.
  bool on() const { return fd_ >= 0; }
  // Frame number `index` (1/30 s of simulated time apart, rising): RGBA
  // rows bottom-up, as GL draws them, width * height * 4 bytes.
  void frame(const unsigned char *rgb, std::int64_t index);
  // Gives up before the first frame: ffmpeg ends and the file goes.
  void abandon();
  // Writes the contact sheet, closes ffmpeg's input and waits for it to
  // finish the file. Safe to call more than once.
  void finish();

 private:
  // Frames kept for the contact sheet.
  static constexpr int kSlots = 16;

  bool target_usable(const char *dir);
  bool put(const unsigned char *bytes, std::size_t size);
  void keep(const unsigned char *rgb, std::int64_t index);
  void write_sheet();
  const char *ffmpeg_said();
  bool reap();
  const char *salvage();
  bool write_out();
  bool second_pass();

  RecordFormat format_ = RecordFormat::none;
  const char *path_ = "";
  int width_ = 0;
  int height_ = 0;
  std::size_t frame_bytes_ = 0;
  int fd_ = -1;          // ffmpeg's input; -1 when not recording
  pid_t pid_ = -1;       // ffmpeg; -1 when none runs
  bool failed_ = false;  // a write failed and was told
  int status_ = 0;       // ffmpeg's wait status once it has ended
  // The sheet: ffmpeg's output, read from this pipe at the end, and
  // whether it goes under a temporary name renamed over `path_`.
  int sheet_fd_ = -1;
  bool replace_ = false;
  int frames_fd_ = -1;      // a GIF's frames, between its two passes
  char ffmpeg_[4096] = "";  // where ffmpeg is
  // ffmpeg's stderr, a pipe neither side waits on: what it says of a
  // failure goes in the one report, and a full pipe drops the rest.
  int said_fd_ = -1;
  char said_[160 * 4 + 16] = "";
  // Contact sheet: evenly spaced frames in a fixed number of slots; when
  // they are full every other one goes and the spacing doubles.
  std::unique_ptr<unsigned char[]> slots_;
  std::int64_t slot_frame_[kSlots] = {};
  int used_ = 0;
  std::int64_t spacing_ = 1;
  std::unique_ptr<unsigned char[]> last_;  // the latest frame
  std::int64_t last_frame_ = -1;
  std::unique_ptr<unsigned char[]> row_;  // one row of the sheet
};

}  // namespace standin

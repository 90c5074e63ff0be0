// Bulk line reader for motion files. It splits the file exactly as repeated
// fgets(buf, capacity, file) calls would, but finds line ends in large
// blocks, so skipping rows costs a memchr rather than a stdio call per row.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string_view>

class LineReader {
 public:
  // Size of the block buffer.
  static constexpr std::size_t kBlockBytes = 1 << 18;
  // Largest fgets buffer size reproduced; one line read stays far below a block.
  static constexpr std::size_t kMaxCapacity = 4096;

  // `capacity` is the fgets buffer size being reproduced (2..kMaxCapacity):
  // one read takes at most capacity - 1 characters.
  explicit LineReader(std::size_t capacity);

  // Starts reading `file` (opened for reading) from its current position.
  // The reader uses the file's descriptor directly; nullptr detaches.
  void attach(std::FILE *file);

  // One fgets-sized read. False at end of file or on a read error, which
  // are alike and final until the next attach; last() is then unchanged.
  bool next();

  // True once a read of the file failed (not merely ended) since attach.
  bool failed() const { return failed_; }

  // Text of the latest successful read, including its '\n' if it had one.
  // Empty before the first. Valid until the next successful read or attach.
  std::string_view last() const { return {buf_ + last_begin_, last_end_ - last_begin_}; }

  // Copies last() into `dst` as fgets would leave it (NUL-terminated);
  // `dst` must hold `capacity` bytes.
  void copy_last(char *dst) const;

 private:
  // Reads more of the file; false when nothing more can come.
  bool fill();

  std::size_t max_chars_;       // characters per read: capacity - 1
  int fd_ = -1;                 // descriptor being read, -1 when detached
  bool eof_ = true;             // end of file or read error was met
  bool failed_ = false;         // a read error was met
  std::size_t begin_ = 0;       // first unread byte in buf_
  std::size_t end_ = 0;         // one past the last byte read from the file
  std::size_t last_begin_ = 0;  // latest line read, kept across refills
  std::size_t last_end_ = 0;
  char buf_[kBlockBytes];  // block of the file
};

// Opens a motion file for reading ("r"). Only a regular file (or a link to
// one) is a motion file: a directory, FIFO, socket or device is refused like
// a missing file, and opening never waits for a FIFO's writer. Returns
// nullptr on failure, with errno set (EISDIR for a directory, EINVAL for
// anything else that is not a regular file).
std::FILE *open_motion_file(const char *name);

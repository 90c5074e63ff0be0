// The walker's script (--script FILE): lines `MS COMMAND`, MS the simulated
// ms from the first control step, never decreasing. Read and checked whole
// before the robot starts; the control loop then takes each command at the
// step that reaches its time, by simulated time alone, so a script makes a
// run repeatable.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "commands.h"

namespace walker {

// Largest script read, bytes.
inline constexpr long kMaxScriptBytes = 1 << 20;
// Latest time a script line may give, ms (about 11.6 days).
inline constexpr std::int64_t kMaxScriptMs = 1000000000;
// Bad lines told one by one; the rest are counted.
inline constexpr int kToldBadLines = 20;

struct ScriptLine {
  std::int64_t at_ms = 0;  // simulated ms from the first control step
  Order order;
  int line = 0;  // its line number in the file, from 1
};

class Script {
 public:
  // Reads and checks the script `path`. False when it is refused: each bad
  // line is told on `err` as "walker: FILE:LINE: what is wrong", or the
  // whole file in one line (cannot be read, not a regular file, too large).
  bool load(const char *path, std::FILE *err);
  // Checks the text of a script, named `name` in what `err` is told.
  bool parse(std::string_view text, const char *name, std::FILE *err);

  // The next command due at `now_ms`; false when none is. Allocates nothing.
  bool due(std::int64_t now_ms, Order &order);

  const std::vector<ScriptLine> &lines() const { return lines_; }

 private:
  std::vector<ScriptLine> lines_;
  std::size_t next_ = 0;
};

}  // namespace walker

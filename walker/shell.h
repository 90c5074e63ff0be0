// The walker's shell around its control loop: the orders from the script
// and the console, and what the walker says. The loop calls it, through
// Orders and Words (loop.h), on its own thread; the shell's threads (the
// console, the printer) never call the controller library.
//
//   walker::Shell shell;
//   if (!shell.load_script(path)) return 2;  // before the first library call
//   ... reset, the first step ...
//   shell.start(engine.limits());            // on the control thread
//   walker::Loop loop(engine, devices, shell, shell);
#pragma once

#include <cstdint>

#include "commands.h"
#include "loop.h"
#include "script.h"

namespace walker {

class Shell final : public Orders, public Words {
 public:
  // Before the first library call: reads and checks the script `path`
  // (nullptr: none). False once each bad line, or the unreadable file, is
  // told on stderr: the walker then ends with status 2 before any step.
  bool load_script(const char *path);

  // On the control thread, before the loop: says the limits, starts the
  // printing and console threads (keys at a terminal, with a help line),
  // and finds the stand-in's own calls, so that its window shows the
  // command and its end restores the terminal.
  void start(const gait::Limits &limits);

  // The next order due at `now_ms`: the script's first, then what was
  // typed, in order; a refusal typed is said in its place. After a fall
  // each order is refused in one line and none is given.
  bool poll(std::int64_t now_ms, Order *order) override;

  // "walking at ...", with what was asked when the limits cut it.
  void walking(std::int64_t ms, const gait::Velocity &velocity,
               const gait::Clamped &clamped) override;
  // "stopping"
  void stopping(std::int64_t ms) override;
  // "standing"
  void standing(std::int64_t ms) override;
  // "the robot fell forward at 7340 ms: it stops stepping and holds a
  // safe posture"
  void fell(std::int64_t ms, FallDirection direction, double tilt) override;
  // "walking open loop: WHY" (WHY: "--open-loop", "the robot has no gyro").
  void open_loop(const char *why);

 private:
  Script script_;
  Order asked_;  // the order poll() gave last, as asked
  bool fallen_ = false;
};

}  // namespace walker

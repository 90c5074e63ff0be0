// The walker's shell around its control loop: the commands from the script
// and the console, within the gait's limits, and what the walker says. The
// loop calls it on its own thread; the shell's threads (the console, the
// printer) never call the controller library.
//
//   walker::Shell shell;
//   if (!shell.load_script(path)) return 2;  // before the first library call
//   ... reset, stand ready ...
//   shell.start(limits);                     // on the control thread
//   for (;;) {                               // each control step
//     walker::Command command;
//     while (shell.take(ms_since_first_step, command)) engine.command(command);
//     ... step the gait; shell.standing() once it stands; shell.fell(...) ...
//   }
#pragma once

#include <cstdint>

#include "commands.h"
#include "script.h"

namespace walker {

// Which way the robot fell, as the inertial unit says.
enum class FallDirection : unsigned char { forward, backward, left, right };

class Shell {
 public:
  // Before the first library call: reads and checks the script `path`
  // (nullptr: none). False once each bad line, or the unreadable file, is
  // told on stderr: the walker then ends with status 2 before any step.
  bool load_script(const char *path);

  // Once the robot stands ready, on the control thread: says "ready" with
  // the limits, starts the printing and console threads (keys at a
  // terminal, with a help line), and finds the stand-in's own calls, so
  // that its window shows the command and its end restores the terminal.
  void start(const Limits &limits);

  // At each control step, on the control thread, `now_ms` the simulated
  // ms since the first control step: the next command due, the script's
  // first, then the console's, within the limits; says it (and that it was
  // beyond a limit) and shows it. False when none is waiting. Call it until
  // false: commands due at one step are taken in order. After a fall each
  // command is refused in one line and none is given.
  bool take(std::int64_t now_ms, Command &walked);

  // Says "standing": the robot has stopped and stands, feet together.
  void standing();
  // Says that the robot fell, once: `at_ms` as take()'s `now_ms`, and
  // which way. Commands are refused from then on.
  void fell(std::int64_t at_ms, FallDirection direction);
  // Says that the walker walks open loop, and why ("--open-loop", "the
  // robot has no gyro").
  void open_loop(const char *why);

  bool fallen() const { return fallen_; }

 private:
  Script script_;
  Limits limits_;
  bool fallen_ = false;
};

}  // namespace walker

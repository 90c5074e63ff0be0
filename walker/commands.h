// The walker's commands, as typed on standard input or written in a script
// after their time: `walk VX VY VTURN` and `stop`. One line is one command;
// a line that is not one is refused with one line naming what is wrong.
#pragma once

#include <cstddef>
#include <string_view>

namespace walker {

// A walking velocity in the robot's own frame: m/s forward, m/s to its
// left, rad/s turning to its left.
struct Velocity {
  double vx = 0.0;
  double vy = 0.0;
  double vturn = 0.0;
  bool operator==(const Velocity &) const = default;
};

enum class CommandKind : unsigned char {
  walk,  // walk at `velocity` until the next command; 0 0 0 marks time
  stop,  // finish the step under way, bring the feet together and stand
};

struct Command {
  CommandKind kind = CommandKind::stop;
  Velocity velocity;  // walk only; zero for stop
  bool operator==(const Command &) const = default;
};

// The velocities the gait holds on each axis, in the units of Velocity.
struct Range {
  double low = 0.0;
  double high = 0.0;
};
struct Limits {
  Range vx;
  Range vy;
  Range vturn;
};

// Largest size of any value a command may give, in its unit per second:
// beyond it a value is a mistake (1e308, a slip of the keyboard), not a
// command to walk at a limit.
inline constexpr double kMaxValue = 100.0;
// Longest line read, in bytes, not counting its line end.
inline constexpr std::size_t kMaxLineBytes = 200;
// Room for one line of what the walker says (or refuses), with its line end.
inline constexpr std::size_t kTextBytes = 512;

// Text of one refusal or message, NUL-terminated, without a line end.
struct Text {
  char text[kTextBytes] = "";
  std::size_t length = 0;
  std::string_view view() const { return {text, length}; }
  // Appends as much of `part` as fits.
  Text &operator<<(std::string_view part);
  // Appends `value` as %g would (6 significant digits, so that sums of
  // steps read as typed), "0" for zero and -0.
  Text &operator<<(double value);
  // Appends a whole number.
  Text &whole(long long value);
};

enum class LineRead : unsigned char {
  command,  // `command` holds it
  blank,    // nothing but spaces, or a comment (`#` to the end): nothing to do
  refused,  // `why` says what is wrong, as one line
};

// Reads one line's command. Words are separated by spaces, tabs or
// carriage returns; `#` starts a comment. Numbers are decimal, whatever the
// locale (`0.1`, `-.5`, `+2`, `1e-2`), and are refused when not finite or
// larger than kMaxValue. `why` gets what is wrong, without a prefix:
// "unknown command \"jump\" (walk VX VY VTURN or stop)". The line holds no
// line end.
LineRead parse_command(std::string_view line, Command &command, Text &why);

// Which axes a command asked beyond its limits.
struct Limited {
  Command command;  // the command walked: each value within its limits
  bool vx = false;
  bool vy = false;
  bool vturn = false;
  bool any() const { return vx || vy || vturn; }
};
// `asked` within `limits`.
Limited apply_limits(const Command &asked, const Limits &limits);

// The words the walker says, each one line without its line end.
// "ready: vx from -0.1 to 0.25 m/s, vy from -0.05 to 0.05 m/s, vturn from -0.5 to 0.5 rad/s"
void say_ready(const Limits &limits, Text &out);
// "vx 0.4 m/s is beyond its limit 0.25 m/s: walking at the limit"; several
// axes joined by "; ", ending "walking at the limits".
void say_beyond(const Command &asked, const Limited &limited, Text &out);
// "walking at vx 0.15 m/s, vy 0 m/s, vturn 0 rad/s", or "stopping".
void say_taken(const Command &walked, Text &out);

}  // namespace walker

// The walker's commands, as typed on standard input or written in a script
// after their time: `walk VX VY VTURN` and `stop`. One line is one command;
// a line that is not one is refused with one line naming what is wrong.
// And the words the walker says about them.
#pragma once

#include <cstddef>
#include <string_view>

#include "loop.h"  // Order, gait::Velocity, gait::Limits

namespace walker {

// Largest size of any value a command may give, in its unit per second:
// beyond it a value is a mistake (1e308, a slip of the keyboard), not a
// command to walk at a limit.
inline constexpr double kMaxValue = 100.0;
// Longest line read, in bytes, not counting its line end.
inline constexpr std::size_t kMaxLineBytes = 200;
// Room for one line of what the walker says (or refuses), with its line end.
inline constexpr std::size_t kTextBytes = 512;

// Text of one refusal or message, NUL-terminated, without a line end.
// Filled without allocating, so that the loop may make one.
struct Text {
  char text[kTextBytes] = "";
  std::size_t length = 0;
  std::string_view view() const { return {text, length}; }
  // Appends as much of `part` as fits.
  Text &operator<<(std::string_view part);
  // Appends `value` as %g would (6 significant digits, so that sums of
  // steps read as typed), "0" for zero and -0.
  Text &operator<<(double value);
  // Appends `value` in 3 significant digits: what the robot walks at.
  Text &rounded(double value);
  // Appends a whole number.
  Text &whole(long long value);
};

enum class LineRead : unsigned char {
  command,  // `order` holds it
  blank,    // nothing but spaces, or a comment (`#` to the end): nothing to do
  refused,  // `why` says what is wrong, as one line
};

// The first word of `line`, and in `rest` what follows it; empty when the
// line holds no word before a comment. Words are separated by spaces,
// tabs or carriage returns; a word starting with `#` starts a comment.
std::string_view first_word(std::string_view line, std::string_view &rest);

// Reads one line's command, in the words first_word() finds. Numbers are
// decimal, whatever the locale (`0.1`, `-.5`, `+2`, `1e-2`), and are
// refused when not finite or larger than kMaxValue. `why` gets what is
// wrong, without a prefix: "unknown command \"jump\" (walk VX VY VTURN or
// stop)". The line holds no line end.
LineRead parse_command(std::string_view line, Order &order, Text &why);

// The words the walker says, each one line without its line end.
// "limits: vx from -0.1 to 0.25 m/s, vy from -0.05 to 0.05 m/s, vturn from
// -0.5 to 0.5 rad/s, and their shares of these at most 1 together"
void say_limits(const gait::Limits &limits, Text &out);
// "walking at vx 0.15 m/s, vy 0 m/s, vturn 0 rad/s"; when the limits cut
// it, "walk 0.5 0 -2 is beyond the limits: walking at vx 0.25 m/s, ...".
void say_walking(const gait::Velocity &asked, const gait::Velocity &walked, bool beyond, Text &out);

}  // namespace walker

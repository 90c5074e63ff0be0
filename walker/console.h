// The walker's console: a thread of its own reads standard input and hands
// each command, or its refusal, to the control loop through a fixed ring,
// so the loop never waits on input. Lines (`walk VX VY VTURN`, `stop`) come from a pipe or a
// file; at a terminal, single keys drive the walker instead.
#pragma once

#include "commands.h"

namespace walker {

// What each key does at a terminal: a step of one axis, up or down.
enum class Axis : unsigned char { vx, vy, vturn };
struct KeyStep {
  char key;
  Axis axis;
  int sign;  // +1 or -1
};
// clang-format off
// key  axis         sign
inline constexpr KeyStep kKeySteps[] = {
    {'w', Axis::vx,    +1},  // faster forward
    {'x', Axis::vx,    -1},  // faster backward
    {'a', Axis::vy,    +1},  // to the left
    {'d', Axis::vy,    -1},  // to the right
    {'q', Axis::vturn, +1},  // turn left
    {'e', Axis::vturn, -1},  // turn right
};
// clang-format on
// The change one key makes on each axis, in hundredths of m/s (vx, vy) and
// of rad/s (vturn): 0.05 m/s, 0.02 m/s, 0.1 rad/s.
inline constexpr int kKeyHundredths[3] = {5, 2, 10};

// The help line the console prints at a terminal.
void help_line(Text &out);

// The velocity counted in key steps (`steps`, one per axis) after `key`,
// each axis held within its limit; true with `order` set when the key
// gives one (space and s give stop and zero the steps).
bool key_command(char key, const gait::Limits &limits, int steps[3], Order &order);

// Starts the console thread with every signal blocked; at a terminal in
// its foreground, in key mode (terminal.h). With `limits` the keys' steps
// stop at each axis's limit. False when the thread cannot start (told).
bool start_console(const gait::Limits &limits);

// What the console hands to the loop: a command, or a line to say in its
// place among the loop's own (a refusal, the keys' help), so that what
// the walker says keeps the order of what was typed.
struct Typed {
  bool is_order = false;
  Order order;
  Text note;
};

// The control loop's side: the next thing typed, if any. Never waits.
bool next_typed(Typed &typed);

}  // namespace walker

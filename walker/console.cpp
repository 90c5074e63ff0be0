#include "console.h"

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>

#include "console_input.h"
#include "quoted.h"
#include "ring.h"
#include "terminal.h"

namespace walker {

namespace {

// Commands typed and not yet taken: far more than a person types in a
// control step; a pasted flood waits in the console.
Ring<Typed, 64> g_typed;
gait::Limits g_limits;  // set before the thread starts, read-only after
bool g_keys = false;    // the console reads keys; set before the thread starts

// Reads what standard input has, at most `capacity` bytes; 0 at its end
// or on an error. Input left non-blocking is waited for.
std::size_t read_some(char *buffer, std::size_t capacity) {
  for (;;) {
    ssize_t got = read(STDIN_FILENO, buffer, capacity);
    if (got > 0) return static_cast<std::size_t>(got);
    if (got == 0) return 0;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return 0;
    pollfd watch{STDIN_FILENO, POLLIN, 0};
    if (poll(&watch, 1, -1) < 0 && errno != EINTR) return 0;
    if ((watch.revents & POLLNVAL) != 0) return 0;
  }
}

// Hands a command or a note to the loop, waiting while the ring is full.
void hand_over(const Typed &typed) {
  while (!g_typed.push(typed)) {
    timespec pause{0, 1000000};
    nanosleep(&pause, nullptr);
  }
}

void hand_over(const Order &order) {
  Typed typed;
  typed.is_order = true;
  typed.order = order;
  hand_over(typed);
}

void note(const Text &line) {
  Typed typed;
  typed.note = line;
  hand_over(typed);
}

void refuse(const Text &why) {
  Text line;
  line << why.view() << ": command refused";
  note(line);
}

// One line typed, without its line end; `too_long` when it was cut.
void take_line(std::string_view line, bool too_long) {
  Text why;
  Order order;
  if (too_long) {
    why << "line longer than ";
    why.whole(static_cast<long long>(kMaxLineBytes)) << " characters";
    refuse(why);
    return;
  }
  LineRead read = parse_command(line, order, why);
  if (read == LineRead::command) hand_over(order);
  if (read == LineRead::refused) refuse(why);
}

// Lines from a pipe or a file, each read whole up to kMaxLineBytes; the
// rest of a longer line is read and dropped.
void read_lines() {
  char chunk[4096];
  char line[kMaxLineBytes];
  std::size_t length = 0;
  bool too_long = false;
  while (std::size_t got = read_some(chunk, sizeof chunk)) {
    for (std::size_t k = 0; k < got; ++k) {
      if (chunk[k] == '\n') {
        take_line({line, length}, too_long);
        length = 0;
        too_long = false;
      } else if (length < kMaxLineBytes) {
        line[length++] = chunk[k];
      } else {
        too_long = true;
      }
    }
  }
  if (length > 0 || too_long) take_line({line, length}, too_long);
}

// The arrow keys' escape sequences (ESC [ A, or ESC O A) as the keys they
// stand for: up w, down x, right e, left q.
char arrow_key(char final) {
  switch (final) {
    case 'A':
      return 'w';
    case 'B':
      return 'x';
    case 'C':
      return 'e';
    case 'D':
      return 'q';
    default:
      return '\0';
  }
}

// Single keys from a terminal in key mode.
void read_keys() {
  Text help;
  help_line(help);
  note(help);
  int steps[3] = {0, 0, 0};
  // 0: a key; 1: after ESC; 2: inside an escape sequence.
  int escape = 0;
  char chunk[64];
  while (std::size_t got = read_some(chunk, sizeof chunk)) {
    for (std::size_t k = 0; k < got; ++k) {
      char key = chunk[k];
      if (escape == 1) {
        escape = key == '[' || key == 'O' ? 2 : 0;
        if (escape == 2) continue;
      } else if (escape == 2) {
        // Parameters, then one final byte.
        if (key >= 0x30 && key <= 0x3f) continue;
        escape = 0;
        key = arrow_key(key);
        if (key == '\0') continue;
      }
      if (key == '\x1b') {
        escape = 1;
        continue;
      }
      Order order;
      if (key_command(key, g_limits, steps, order)) {
        hand_over(order);
      } else if (key == 'h' || key == '?') {
        note(help);
      } else if (key != '\n' && key != '\r') {
        Text line;
        line << "key \"" << Quoted(std::string_view(&key, 1)).text
             << "\" does nothing (h shows the keys)";
        note(line);
      }
    }
  }
}

void *console(void *) {
  if (g_keys) {
    read_keys();
  } else {
    read_lines();
  }
  // The end of input changes nothing: the walker goes on as it was told.
  return nullptr;
}

// The range of each axis: vx, vy, vturn.
struct Range {
  double low;
  double high;
};

// Steps of `hundredths` within `range`, the last one reaching the limit.
int clamp_steps(int steps, int hundredths, Range range) {
  const double step = hundredths / 100.0;
  const int lowest = static_cast<int>(std::floor(range.low / step + 1e-9));
  const int highest = static_cast<int>(std::ceil(range.high / step - 1e-9));
  return std::clamp(steps, std::min(lowest, 0), std::max(highest, 0));
}

double value_of(int steps, int hundredths, Range range) {
  // Hundredths divided once: three steps of 0.05 are 0.15, not 0.15000000000000002.
  return std::clamp(steps * hundredths / 100.0, std::min(range.low, 0.0),
                    std::max(range.high, 0.0));
}

}  // namespace

void help_line(Text &out) {
  out << "keys: w/x faster forward/backward by " << kKeyHundredths[0] / 100.0
      << " m/s, a/d to the left/right by " << kKeyHundredths[1] / 100.0
      << " m/s, q/e turn left/right by " << kKeyHundredths[2] / 100.0
      << " rad/s, s or space stop, arrows up/down as w/x and left/right as q/e, h this help; "
         "Ctrl-C ends";
}

bool key_command(char key, const gait::Limits &limits, int steps[3], Order &order) {
  if (key == ' ' || key == 's') {
    steps[0] = steps[1] = steps[2] = 0;
    order = Order{Order::Kind::kStop, {}};
    return true;
  }
  const KeyStep *found = std::find_if(std::begin(kKeySteps), std::end(kKeySteps),
                                      [key](const KeyStep &step) { return step.key == key; });
  if (found == std::end(kKeySteps)) return false;
  const Range ranges[3] = {{-limits.backward, limits.forward},
                           {-limits.sideways, limits.sideways},
                           {-limits.turn, limits.turn}};
  const int axis = static_cast<int>(found->axis);
  steps[axis] = clamp_steps(steps[axis] + found->sign, kKeyHundredths[axis], ranges[axis]);
  order = Order{Order::Kind::kWalk,
                {value_of(steps[0], kKeyHundredths[0], ranges[0]),
                 value_of(steps[1], kKeyHundredths[1], ranges[1]),
                 value_of(steps[2], kKeyHundredths[2], ranges[2])}};
  return true;
}

bool start_console(const gait::Limits &limits) {
  g_limits = limits;
  g_keys = input_is_our_terminal() && enter_key_mode();
  if (start_console_thread(console)) return true;
  restore_terminal();
  std::fputs("walker: cannot start the console thread; commands come from the script only\n",
             stderr);
  return false;
}

bool next_typed(Typed &typed) {
  return g_typed.pop(typed);
}

}  // namespace walker

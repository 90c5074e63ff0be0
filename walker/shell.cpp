#include "shell.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

#include "console.h"
#include "say.h"
#include "standin_calls.h"
#include "terminal.h"

namespace walker {

namespace {

// The stand-in's own calls, found when the walker runs; nullptr on the
// real simulator, whose library has none of them.
decltype(&::standin_show_velocity) g_show_velocity = nullptr;

// How long the end of a run waits for the lines still to be printed.
constexpr int kLastLinesMs = 2000;

// The end of the run: the stand-in's stop time, or the walker's own exit.
void last_words() {
  restore_terminal();
  finish_printing(kLastLinesMs);
}

void show(const gait::Velocity &v) {
  if (g_show_velocity != nullptr) g_show_velocity(v.forward, v.left, v.turn);
}

void say_text(const char *text) {
  Text line;
  line << text;
  say(line);
}

}  // namespace

bool Shell::load_script(const char *path) {
  return path == nullptr || script_.load(path, stderr);
}

void Shell::start(const gait::Limits &limits) {
  g_show_velocity = reinterpret_cast<decltype(&::standin_show_velocity)>(
      dlsym(RTLD_DEFAULT, "standin_show_velocity"));
  auto at_stop =
      reinterpret_cast<decltype(&::standin_at_stop)>(dlsym(RTLD_DEFAULT, "standin_at_stop"));
  if (at_stop != nullptr) at_stop(last_words);
  std::atexit(last_words);
  Text line;
  say_limits(limits, line);
  say(line);
  start_printing();
  start_console(limits);
}

bool Shell::poll(std::int64_t now_ms, Order *order) {
  Typed typed;
  for (;;) {
    if (!script_.due(now_ms, *order)) {
      if (!next_typed(typed)) return false;
      if (!typed.is_order) {
        say(typed.note);
        continue;
      }
      *order = typed.order;
    }
    if (!fallen_) break;
    say_text("the robot has fallen: command refused");
  }
  asked_ = *order;
  return true;
}

void Shell::walking(std::int64_t, const gait::Velocity &velocity, const gait::Clamped &clamped) {
  Text line;
  say_walking(asked_.velocity, velocity, clamped.any(), line);
  say(line);
  show(velocity);
}

void Shell::stopping(std::int64_t) {
  say_text("stopping");
  show({});
}

void Shell::standing(std::int64_t) {
  say_text("standing");
}

void Shell::fell(std::int64_t ms, FallDirection direction, double) {
  if (fallen_) return;
  fallen_ = true;
  show({});
  static constexpr const char *kWays[] = {"forward", "backward", "to the left", "to the right"};
  static_assert(static_cast<int>(FallDirection::kForward) == 0 &&
                static_cast<int>(FallDirection::kBackward) == 1 &&
                static_cast<int>(FallDirection::kLeft) == 2 &&
                static_cast<int>(FallDirection::kRight) == 3);
  Text line;
  line << "the robot fell " << kWays[static_cast<int>(direction)] << " at ";
  line.whole(ms) << " ms: it stops stepping and holds a safe posture";
  say(line);
}

void Shell::open_loop(const char *why) {
  Text line;
  line << "walking open loop: " << why;
  say(line);
}

}  // namespace walker

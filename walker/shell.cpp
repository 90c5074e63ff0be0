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

void show(const Velocity &v) {
  if (g_show_velocity != nullptr) g_show_velocity(v.vx, v.vy, v.vturn);
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

void Shell::start(const Limits &limits) {
  limits_ = limits;
  g_show_velocity = reinterpret_cast<decltype(&::standin_show_velocity)>(
      dlsym(RTLD_DEFAULT, "standin_show_velocity"));
  auto at_stop =
      reinterpret_cast<decltype(&::standin_at_stop)>(dlsym(RTLD_DEFAULT, "standin_at_stop"));
  if (at_stop != nullptr) at_stop(last_words);
  std::atexit(last_words);
  Text ready;
  say_ready(limits, ready);
  say(ready);
  start_printing();
  start_console(limits);
}

bool Shell::take(std::int64_t now_ms, Command &walked) {
  Command asked;
  Typed typed;
  for (;;) {
    if (!script_.due(now_ms, asked)) {
      if (!next_typed(typed)) return false;
      if (!typed.is_command) {
        say(typed.note);
        continue;
      }
      asked = typed.command;
    }
    if (fallen_) {
      say_text("the robot has fallen: command refused");
      continue;
    }
    const Limited limited = apply_limits(asked, limits_);
    if (limited.any()) {
      Text beyond;
      say_beyond(asked, limited, beyond);
      say(beyond);
    }
    Text taken;
    say_taken(limited.command, taken);
    say(taken);
    show(limited.command.velocity);
    walked = limited.command;
    return true;
  }
}

void Shell::standing() {
  say_text("standing");
}

void Shell::fell(std::int64_t at_ms, FallDirection direction) {
  if (fallen_) return;
  fallen_ = true;
  show({});
  static constexpr const char *kWays[] = {"forward", "backward", "to the left", "to the right"};
  Text line;
  line << "the robot fell " << kWays[static_cast<int>(direction)] << " at ";
  line.whole(at_ms) << " ms: it stops stepping and holds a safe posture";
  say(line);
}

void Shell::open_loop(const char *why) {
  Text line;
  line << "walking open loop: " << why;
  say(line);
}

}  // namespace walker

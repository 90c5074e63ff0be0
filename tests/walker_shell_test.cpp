// The walker's shell as units: the commands and their refusals, the
// limits and the keys, the script and its refusals, and the ring that
// hands commands and lines between its threads.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "commands.h"
#include "console.h"
#include "e2e_harness.h"
#include "ring.h"
#include "script.h"

// Orders compared and printed, for the tests.
namespace walker {

inline bool operator==(const Order &a, const Order &b) {
  return a.kind == b.kind && a.velocity == b.velocity;
}
inline std::ostream &operator<<(std::ostream &out, const Order &order) {
  if (order.kind == Order::Kind::kStop) return out << "stop";
  return out << "walk " << order.velocity.forward << " " << order.velocity.left << " "
             << order.velocity.turn;
}
}  // namespace walker

namespace {

using walker::LineRead;
using walker::Order;

Order walk(double vx, double vy, double vturn) {
  return {Order::Kind::kWalk, {vx, vy, vturn}};
}
const Order kStop{Order::Kind::kStop, {}};

TEST(WalkerCommands, EachBadLineIsRefusedInOneLineNamingWhatIsWrong) {
  struct Case {
    std::string line;
    std::string why;
  };
  const Case cases[] = {
      {"jump", "unknown command \"jump\" (walk VX VY VTURN or stop)"},
      {"WALK 0 0 0", "unknown command \"WALK\" (walk VX VY VTURN or stop)"},
      {"walk\x1b[A 0 0 0", "unknown command \"walk\\x1b[A\" (walk VX VY VTURN or stop)"},
      {"walk", "VX is missing (walk VX VY VTURN)"},
      {"walk 0.1", "VY is missing (walk VX VY VTURN)"},
      {"walk 0.1 0 # later", "VTURN is missing (walk VX VY VTURN)"},
      {"walk abc 0 0", "VX \"abc\" is not a number"},
      {"walk 0 0x10 0", "VY \"0x10\" is not a number"},
      {"walk 0 0,1 0", "VY \"0,1\" is not a number"},
      {"walk 0 0 1e", "VTURN \"1e\" is not a number"},
      {"walk ++1 0 0", "VX \"++1\" is not a number"},
      {"walk +-1 0 0", "VX \"+-1\" is not a number"},
      {"walk nan 0 0", "VX \"nan\" is not a finite number"},
      {"walk 0 -inf 0", "VY \"-inf\" is not a finite number"},
      {"walk 0 0 infinity", "VTURN \"infinity\" is not a finite number"},
      {"walk 1e308 0 0", "VX \"1e308\" is out of range (at most 100 either way)"},
      {"walk 1e309 0 0", "VX \"1e309\" is out of range (at most 100 either way)"},
      {"walk 0 0 -100.5", "VTURN \"-100.5\" is out of range (at most 100 either way)"},
      {"walk 0.1 0 0 5", "extra word \"5\" after walk VX VY VTURN"},
      {"stop now", "extra word \"now\" after stop"},
      {"stop# now", "unknown command \"stop#\" (walk VX VY VTURN or stop)"},
      {std::string("walk 0\0 0 0", 10), "line holds a NUL byte"},
      {"walk " + std::string(70, 'x') + " 0 0",
       "VX \"" + std::string(64, 'x') + "...\" is not a number"},
  };
  for (const Case &c : cases) {
    Order order = walk(9, 9, 9);
    walker::Text why;
    EXPECT_EQ(walker::parse_command(c.line, order, why), LineRead::refused) << c.line;
    EXPECT_EQ(why.view(), c.why) << c.line;
    EXPECT_EQ(order, walk(9, 9, 9)) << "a refused line leaves the order as it was";
  }
}

TEST(WalkerCommands, GoodLinesAndBlankOnesReadAsTheySay) {
  struct Case {
    const char *line;
    LineRead read;
    Order order;
  };
  const Case cases[] = {
      {"walk 0.1 0 0", LineRead::command, walk(0.1, 0, 0)},
      {"  walk\t+0.1 -.02 1e-1  # a curve\r", LineRead::command, walk(0.1, -0.02, 0.1)},
      {"walk -0 0 0", LineRead::command, walk(0, 0, 0)},
      {"walk 100 -100 2.5", LineRead::command, walk(100, -100, 2.5)},
      {"stop", LineRead::command, kStop},
      {"stop # now", LineRead::command, kStop},
      {"", LineRead::blank, {}},
      {" \t\r", LineRead::blank, {}},
      {"# walk 0.1 0 0", LineRead::blank, {}},
  };
  for (const Case &c : cases) {
    Order order;
    walker::Text why;
    EXPECT_EQ(walker::parse_command(c.line, order, why), c.read) << c.line;
    EXPECT_EQ(why.view(), "") << c.line;
    if (c.read == LineRead::command) {
      EXPECT_EQ(order, c.order) << c.line;
    }
  }
  // "-0" walks, and is said, as 0.
  Order order;
  walker::Text why;
  walker::parse_command("walk -0 -0 -0", order, why);
  walker::Text said;
  walker::say_walking(order.velocity, order.velocity, false, said);
  EXPECT_EQ(said.view(), "walking at vx 0 m/s, vy 0 m/s, vturn 0 rad/s");
}

gait::Limits limits() {
  gait::Limits limits;
  limits.forward = 0.25;
  limits.backward = 0.1;
  limits.sideways = 0.05;
  limits.turn = 0.5;
  return limits;
}

TEST(WalkerCommands, BeyondTheLimitsItWalksWithinThemAndSaysSoInTheLineItTakesTheOrderIn) {
  struct Case {
    Order asked;
    const char *said;
  };
  const Case cases[] = {
      {walk(0.1, 0.02, -0.1), "walking at vx 0.1 m/s, vy 0.02 m/s, vturn -0.1 rad/s"},
      {walk(0.25, 0, 0), "walking at vx 0.25 m/s, vy 0 m/s, vturn 0 rad/s"},
      {walk(0.4, 0, 0),
       "walk 0.4 0 0 is beyond the limits: walking at vx 0.25 m/s, vy 0 m/s, vturn 0 rad/s"},
      {walk(0, 0, -100),
       "walk 0 0 -100 is beyond the limits: walking at vx 0 m/s, vy 0 m/s, vturn -0.5 rad/s"},
      {walk(0.25001, 0, 0),
       "walk 0.25001 0 0 is beyond the limits: walking at vx 0.25 m/s, vy 0 m/s, vturn 0 rad/s"},
      // Each within its own limit, beyond them together: 0.8 + 0.8 of them.
      {walk(0.2, 0.04, 0),
       "walk 0.2 0.04 0 is beyond the limits: walking at vx 0.125 m/s, vy 0.025 m/s, vturn 0 "
       "rad/s"},
  };
  for (const Case &c : cases) {
    gait::Clamped clamped;
    const gait::Velocity walked = gait::clamp(c.asked.velocity, limits(), &clamped);
    walker::Text said;
    walker::say_walking(c.asked.velocity, walked, clamped.any(), said);
    EXPECT_EQ(said.view(), c.said);
  }
  walker::Text told;
  walker::say_limits(limits(), told);
  EXPECT_EQ(told.view(),
            "limits: vx from -0.1 to 0.25 m/s, vy from -0.05 to 0.05 m/s, vturn from -0.5 to 0.5 "
            "rad/s, and their shares of these at most 1 together");
}

TEST(WalkerKeys, EachKeyChangesItsAxisByItsStepUpToTheLimits) {
  struct Case {
    const char *keys;
    Order last;  // after the last key
  };
  const Case cases[] = {
      {"w", walk(0.05, 0, 0)},
      {"www", walk(0.15, 0, 0)},
      {"wwwwwwwwww", walk(0.25, 0, 0)},  // five steps reach the limit
      {"wwwwwwwwwwx", walk(0.2, 0, 0)},  // and one comes back at once
      {"xxxxx", walk(-0.1, 0, 0)},       // two steps to -0.1
      {"a", walk(0, 0.02, 0)},
      {"aaaa", walk(0, 0.05, 0)},  // 0.06 would pass 0.05: the third step stops at it
      {"ddd", walk(0, -0.05, 0)},
      {"q", walk(0, 0, 0.1)},
      {"eeeeeeee", walk(0, 0, -0.5)},
      {"wqa", walk(0.05, 0.02, 0.1)},
      {"wqas", kStop},
      {"wqa w", walk(0.05, 0, 0)},  // space stops, and starts again from 0
      {"wx", walk(0, 0, 0)},        // marking time
  };
  for (const Case &c : cases) {
    int steps[3] = {0, 0, 0};
    Order order;
    for (const char *key = c.keys; *key != '\0'; ++key) {
      EXPECT_TRUE(walker::key_command(*key, limits(), steps, order)) << c.keys;
    }
    EXPECT_EQ(order, c.last) << c.keys;
  }
  int steps[3] = {0, 0, 0};
  Order order;
  for (char key : {'z', 'h', '\n', 'W', '1'}) {
    EXPECT_FALSE(walker::key_command(key, limits(), steps, order)) << key;
  }
  walker::Text help;
  walker::help_line(help);
  EXPECT_EQ(help.view(),
            "keys: w/x faster forward/backward by 0.05 m/s, a/d to the left/right by 0.02 m/s, "
            "q/e turn left/right by 0.1 rad/s, s or space stop, arrows up/down as w/x and "
            "left/right as q/e, h this help; Ctrl-C ends");
}

// What Script::parse tells on stderr for `text`, and whether it took it.
std::pair<bool, std::string> parse_script(const std::string &text, walker::Script &script) {
  std::FILE *err = std::tmpfile();
  bool ok = script.parse(text, "s.txt", err);
  std::string told;
  std::rewind(err);
  for (int c; (c = std::fgetc(err)) != EOF;) told += static_cast<char>(c);
  std::fclose(err);
  return {ok, told};
}

TEST(WalkerScript, EachBadLineIsToldWithItsNumberAndNothingIsTaken) {
  struct Case {
    std::string text;
    std::string told;  // "" for a good script
  };
  const std::string lines21 = [] {
    std::string text;
    for (int k = 0; k < 23; ++k) text += "0 fly\n";
    return text;
  }();
  std::string told21;
  for (int k = 1; k <= 20; ++k) {
    told21 += "walker: s.txt:" + std::to_string(k) +
              ": unknown command \"fly\" (walk VX VY VTURN or stop)\n";
  }
  told21 += "walker: s.txt: 3 more bad lines\n";
  const Case cases[] = {
      {"0 walk 0.1 0 0\n500 stop\n", ""},
      {"# a square\n\n  \t\n0 walk 0.1 0 0 # forward\r\n0 stop\n2000 walk 0 0 0", ""},
      {"0 walk 0.1 0 0\nwalk 0 0 0\n",
       "walker: s.txt:2: time \"walk\" is not a whole number of ms from 0 to 1000000000\n"},
      {"1.5 stop\n-1 stop\n+1 stop\n1000000001 stop\n",
       "walker: s.txt:1: time \"1.5\" is not a whole number of ms from 0 to 1000000000\n"
       "walker: s.txt:2: time \"-1\" is not a whole number of ms from 0 to 1000000000\n"
       "walker: s.txt:3: time \"+1\" is not a whole number of ms from 0 to 1000000000\n"
       "walker: s.txt:4: time \"1000000001\" is not a whole number of ms from 0 to 1000000000\n"},
      {"500\n600 # later\n",
       "walker: s.txt:1: no command after the time 500\n"
       "walker: s.txt:2: no command after the time 600\n"},
      {"1000 stop\n500 walk 0 0 0\n1000 stop\n",
       "walker: s.txt:2: 500 ms is before the time above it, 1000 ms\n"},
      {"0 walk 1 2\n10 walk 1e308 0 0\n20 stop now\n",
       "walker: s.txt:1: VTURN is missing (walk VX VY VTURN)\n"
       "walker: s.txt:2: VX \"1e308\" is out of range (at most 100 either way)\n"
       "walker: s.txt:3: extra word \"now\" after stop\n"},
      {"0 stop\n0 " + std::string(200, 'x') + "\n",
       "walker: s.txt:2: line longer than 200 characters\n"},
      {std::string("0 stop\n0 st\0op\n", 15), "walker: s.txt:2: line holds a NUL byte\n"},
      {lines21, told21},
  };
  for (const Case &c : cases) {
    walker::Script script;
    auto [ok, told] = parse_script(c.text, script);
    EXPECT_EQ(ok, c.told.empty()) << c.text;
    EXPECT_EQ(told, c.told) << c.text;
    if (!ok) {
      EXPECT_TRUE(script.lines().empty());
    }
  }
}

TEST(WalkerScript, CommandsComeDueAtTheStepThatReachesTheirTimeInOrder) {
  walker::Script script;
  ASSERT_TRUE(
      parse_script("0 walk 0.1 0 0\n0 walk 0.2 0 0\n25 stop\n1000 walk 0 0 0.3\n", script).first);
  std::vector<std::pair<long, Order>> taken;
  for (long now = 0; now <= 1100; now += 10) {
    Order order;
    while (script.due(now, order)) taken.emplace_back(now, order);
  }
  const std::vector<std::pair<long, Order>> want = {
      {0, walk(0.1, 0, 0)}, {0, walk(0.2, 0, 0)}, {30, kStop}, {1000, walk(0, 0, 0.3)}};
  EXPECT_EQ(taken, want);
}

TEST(WalkerScript, AFileThatIsNotAScriptIsRefusedInOneLineWithoutWaiting) {
  const std::string dir = e2e::temp_dir();
  const std::string fifo = dir + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  e2e::write_file(dir + "/big", std::string((1 << 20) + 1, '\n'));
  e2e::write_file(dir + "/full", std::string(1 << 20, '\n'));
  struct Case {
    std::string path;
    std::string told;
  };
  const Case cases[] = {
      {dir + "/none", "cannot read the script \"" + dir + "/none\": No such file or directory"},
      {dir, "cannot read the script \"" + dir + "\": it is a directory"},
      {fifo, "cannot read the script \"" + fifo + "\": it is not a regular file"},
      {"/dev/zero", "cannot read the script \"/dev/zero\": it is not a regular file"},
      {dir + "/big", "cannot read the script \"" + dir + "/big\": it is larger than 1 MiB"},
      {dir + "/full", ""},
  };
  for (const Case &c : cases) {
    std::FILE *err = std::tmpfile();
    walker::Script script;
    bool ok = script.load(c.path.c_str(), err);
    std::string told;
    std::rewind(err);
    for (int ch; (ch = std::fgetc(err)) != EOF;) told += static_cast<char>(ch);
    std::fclose(err);
    EXPECT_EQ(ok, c.told.empty()) << c.path;
    // Quoted cuts names at 64 bytes; the test's are longer.
    if (!c.told.empty()) {
      EXPECT_TRUE(told.starts_with("walker: cannot read the script \"")) << told;
      EXPECT_TRUE(told.ends_with(c.told.substr(c.told.rfind("\": ")) + "\n")) << told;
      EXPECT_EQ(e2e::count(told, "\n"), 1) << told;
    } else {
      EXPECT_EQ(told, "");
    }
  }
}

TEST(WalkerRing, HandsEveryValueOverInOrderBetweenTwoThreads) {
  static walker::Ring<long, 8> ring;
  constexpr long kValues = 100000;
  std::thread producer([] {
    for (long k = 0; k < kValues;) {
      if (ring.push(k)) {
        ++k;
      } else {
        std::this_thread::yield();
      }
    }
  });
  long expected = 0;
  while (expected < kValues) {
    long value = -1;
    if (!ring.pop(value)) {
      std::this_thread::yield();
      continue;
    }
    ASSERT_EQ(value, expected);
    ++expected;
  }
  producer.join();
  EXPECT_EQ(ring.pushed(), static_cast<std::size_t>(kValues));
  long value;
  EXPECT_FALSE(ring.pop(value));
}

}  // namespace

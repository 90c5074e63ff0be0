// Names and values as messages quote them: escaped, cut at
// 64 bytes, and never beyond the buffer that holds them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>

#include "quoted.h"

namespace {

using namespace std::string_literals;

TEST(Quoted, EscapesWhatIsNotPrintableAndCutsAt64Bytes) {
  struct Case {
    std::string raw;
    std::string quoted;
  };
  const std::string x64(64, 'x');
  const Case cases[] = {
      {"", ""},
      {"robot.xml", "robot.xml"},
      {"tab\there\nnul\0end"s, "tab\\x09here\\x0anul\\x00end"},
      {"back\\slash \x7f \xff \"", "back\\x5cslash \\x7f \\xff \""},
      {x64, x64},
      {x64 + "y", x64 + "..."},
      // An escape is never split by the cut: the limit counts raw bytes.
      {std::string(63, 'x') + "\x01\x02", std::string(63, 'x') + "\\x01..."},
  };
  for (const Case &c : cases) EXPECT_EQ(Quoted(c.raw).text, c.quoted) << c.raw;
}

TEST(Quoted, LongestQuoteFillsItsBufferExactly) {
  // 64 bytes that each take four, "..." and the terminator.
  const Quoted q(std::string(100, '\x1b'));
  const std::string expected = [] {
    std::string s;
    for (int i = 0; i < 64; ++i) s += "\\x1b";
    return s + "...";
  }();
  EXPECT_EQ(std::strlen(q.text) + 1, sizeof q.text);
  EXPECT_EQ(q.text, expected);
}

}  // namespace

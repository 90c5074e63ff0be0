#include "console_input.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::FILE *input(const std::string &text) {
  std::FILE *f = std::tmpfile();
  std::fwrite(text.data(), 1, text.size(), f);
  std::rewind(f);
  return f;
}

}  // namespace

TEST(ConsoleInput, ReadsWordsAcrossSpacesTabsAndLines) {
  std::FILE *f = input("  one\ttwo\n\n three");
  char word[32];
  ASSERT_EQ(read_word(f, word, sizeof word), WordRead::kOk);
  EXPECT_STREQ(word, "one");
  ASSERT_EQ(read_word(f, word, sizeof word), WordRead::kOk);
  EXPECT_STREQ(word, "two");
  ASSERT_EQ(read_word(f, word, sizeof word), WordRead::kOk);
  EXPECT_STREQ(word, "three");
  EXPECT_EQ(read_word(f, word, sizeof word), WordRead::kEnd);
  EXPECT_EQ(read_word(f, word, sizeof word), WordRead::kEnd);
  std::fclose(f);
}

TEST(ConsoleInput, ThirtyOneCharactersFitAndThirtyTwoAreRefusedWhole) {
  std::string fits(31, 'a'), too_long(32, 'b');
  std::FILE *f = input(fits + " " + too_long + " next");
  char word[33];
  std::memset(word, '#', sizeof word);
  ASSERT_EQ(read_word(f, word, 32), WordRead::kOk);
  EXPECT_EQ(std::string(word), fits);
  std::memset(word, '#', sizeof word);
  EXPECT_EQ(read_word(f, word, 32), WordRead::kTooLong);
  EXPECT_EQ(word[31], '#') << "wrote past its capacity";
  ASSERT_EQ(read_word(f, word, 32), WordRead::kOk);
  EXPECT_STREQ(word, "next");
  std::fclose(f);
}

TEST(ConsoleInput, HugeWordIsConsumedAndRefused) {
  std::FILE *f = input(std::string(100000, 'z') + "\nok");
  char word[32];
  EXPECT_EQ(read_word(f, word, sizeof word), WordRead::kTooLong);
  ASSERT_EQ(read_word(f, word, sizeof word), WordRead::kOk);
  EXPECT_STREQ(word, "ok");
  std::fclose(f);
}

TEST(ConsoleInput, WordWithNulByteIsRefused) {
  std::FILE *f = input(std::string("ab\0cd ok", 8));
  char word[32];
  EXPECT_EQ(read_word(f, word, sizeof word), WordRead::kNulByte);
  ASSERT_EQ(read_word(f, word, sizeof word), WordRead::kOk);
  EXPECT_STREQ(word, "ok");
  std::fclose(f);
}

TEST(ConsoleInput, LeavesTheWhitespaceAfterAWordUnread) {
  std::FILE *f = input("name\nrest");
  char word[32];
  ASSERT_EQ(read_word(f, word, sizeof word), WordRead::kOk);
  EXPECT_EQ(std::fgetc(f), '\n');
  std::fclose(f);
}

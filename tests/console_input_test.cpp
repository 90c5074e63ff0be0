#include "console_input.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
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

// What the console thread saw of its signal mask; written before it posts.
std::atomic<bool> g_console_blocks_term{false};
std::atomic<bool> g_console_ran{false};

void *report_mask(void *) {
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  g_console_blocks_term.store(sigismember(&mask, SIGTERM) == 1);
  g_console_ran.store(true);
  g_console_ran.notify_one();
  return nullptr;
}

TEST(ConsoleInput, ConsoleThreadBlocksSignalsAndCallerKeepsItsMask) {
  sigset_t before, after;
  pthread_sigmask(SIG_BLOCK, nullptr, &before);
  ASSERT_EQ(sigismember(&before, SIGTERM), 0);
  ASSERT_TRUE(start_console_thread(report_mask));
  g_console_ran.wait(false);
  EXPECT_TRUE(g_console_blocks_term.load());
  pthread_sigmask(SIG_BLOCK, nullptr, &after);
  EXPECT_EQ(sigismember(&after, SIGTERM), 0);
}

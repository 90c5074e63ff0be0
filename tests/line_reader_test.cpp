#include "line_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "e2e_harness.h"

namespace {

// Every read of repeated fgets(buf, capacity, f), as strings (NULs kept).
std::vector<std::string> fgets_reads(const std::string &text, int capacity) {
  std::FILE *f = std::tmpfile();
  std::fwrite(text.data(), 1, text.size(), f);
  std::rewind(f);
  std::vector<std::string> reads;
  std::vector<char> buf(capacity);
  for (;;) {
    long before = std::ftell(f);
    if (!std::fgets(buf.data(), capacity, f)) break;
    reads.emplace_back(buf.data(), static_cast<std::size_t>(std::ftell(f) - before));
  }
  std::fclose(f);
  return reads;
}

std::vector<std::string> reader_reads(std::FILE *f, int capacity) {
  LineReader reader(capacity);
  reader.attach(f);
  std::vector<std::string> reads;
  while (reader.next()) reads.emplace_back(reader.last());
  return reads;
}

std::vector<std::string> reader_reads(const std::string &text, int capacity) {
  std::FILE *f = std::tmpfile();
  std::fwrite(text.data(), 1, text.size(), f);
  std::rewind(f);
  auto reads = reader_reads(f, capacity);
  std::fclose(f);
  return reads;
}

std::string random_text(std::mt19937 &rng, std::size_t bytes) {
  std::string text;
  std::uniform_int_distribution<int> kind(0, 99), len(0, 1200), ch(0, 255);
  while (text.size() < bytes) {
    int k = kind(rng);
    if (k < 60) {
      text += std::string(static_cast<std::size_t>(len(rng) % 90), 'x') + "\n";
    } else if (k < 70) {
      text += "\n";
    } else if (k < 85) {
      text += std::string(static_cast<std::size_t>(len(rng)), 'y') + "\n";
    } else {
      text += static_cast<char>(ch(rng));
    }
  }
  return text;
}

}  // namespace

TEST(LineReader, SplitsExactlyAsFgetsOnGeneratedFiles) {
  std::mt19937 rng(20261208);
  // Reading two characters at a time under valgrind is slow: the sanitizer
  // and valgrind presets compare the first rounds, both line ends among them.
  const int rounds = e2e::short_run() ? 4 : 20;
  for (int round = 0; round < rounds; ++round) {
    std::string text = random_text(rng, 1 + rng() % 400000);
    if (round % 2) text.pop_back();  // last line without a line end
    for (int capacity : {500, 1000, 2}) {
      ASSERT_EQ(reader_reads(text, capacity), fgets_reads(text, capacity))
          << "round " << round << " capacity " << capacity;
    }
  }
}

TEST(LineReader, LineOfCapacityCharactersLeavesItsLineEndAsAnExtraRow) {
  std::string text = std::string(999, 'a') + "\n" + std::string(998, 'b') + "\nend";
  auto reads = reader_reads(text, 1000);
  ASSERT_EQ(reads.size(), 4u);
  EXPECT_EQ(reads[0], std::string(999, 'a'));
  EXPECT_EQ(reads[1], "\n");
  EXPECT_EQ(reads[2], std::string(998, 'b') + "\n");
  EXPECT_EQ(reads[3], "end");
}

TEST(LineReader, KeepsLastLineAfterEndAndCopiesItLikeFgets) {
  std::FILE *f = std::tmpfile();
  std::fputs("first\nsecond\n", f);
  std::rewind(f);
  LineReader reader(500);
  reader.attach(f);
  EXPECT_TRUE(reader.last().empty());
  ASSERT_TRUE(reader.next());
  ASSERT_TRUE(reader.next());
  EXPECT_FALSE(reader.next());
  EXPECT_FALSE(reader.next());
  EXPECT_EQ(reader.last(), "second\n");
  char line[500];
  std::memset(line, '#', sizeof line);
  reader.copy_last(line);
  EXPECT_STREQ(line, "second\n");
  std::fclose(f);
}

TEST(LineReader, DetachedOrEmptyFileReadsNothing) {
  LineReader reader(1000);
  reader.attach(nullptr);
  EXPECT_FALSE(reader.next());
  std::FILE *f = std::tmpfile();
  reader.attach(f);
  EXPECT_FALSE(reader.next());
  std::fclose(f);
}

TEST(LineReader, ReadsAPipeFedInSmallPieces) {
  std::mt19937 rng(7);
  std::string text = random_text(rng, 300000);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::thread writer([&] {
    for (std::size_t at = 0; at < text.size(); at += 7) {
      std::size_t n = std::min<std::size_t>(7, text.size() - at);
      ASSERT_EQ(write(fds[1], text.data() + at, n), static_cast<ssize_t>(n));
    }
    close(fds[1]);
  });
  std::FILE *f = fdopen(fds[0], "r");
  auto reads = reader_reads(f, 1000);
  writer.join();
  std::fclose(f);
  EXPECT_EQ(reads, fgets_reads(text, 1000));
}

TEST(LineReader, DirectoryIsNotAMotionFile) {
  EXPECT_EQ(open_motion_file("/"), nullptr);
  EXPECT_EQ(open_motion_file("/nonexistent/motion.csv"), nullptr);
}

TEST(LineReader, OnlyARegularFileOpensAndAFifoIsNotWaitedFor) {
  char dir[] = "/tmp/line_reader_test_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string fifo = std::string(dir) + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // No writer: a blocking open would never return.
  errno = 0;
  EXPECT_EQ(open_motion_file(fifo.c_str()), nullptr);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(open_motion_file("/dev/zero"), nullptr);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(open_motion_file(dir), nullptr);
  EXPECT_EQ(errno, EISDIR);

  const std::string regular = std::string(dir) + "/m.csv";
  std::FILE *out = std::fopen(regular.c_str(), "w");
  std::fputs("1,2\n", out);
  std::fclose(out);
  std::FILE *in = open_motion_file(regular.c_str());
  ASSERT_NE(in, nullptr);
  // Read blocking, as fopen gives it, and not passed on to a child.
  EXPECT_EQ(fcntl(fileno(in), F_GETFL) & O_NONBLOCK, 0);
  EXPECT_NE(fcntl(fileno(in), F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_EQ(reader_reads(in, 500), std::vector<std::string>{"1,2\n"});
  std::fclose(in);
  unlink(regular.c_str());
  unlink(fifo.c_str());
  rmdir(dir);
}

TEST(LineReader, ReadErrorIsToldApartFromTheEnd) {
  auto reader = std::make_unique<LineReader>(500);
  // Opens as a regular file; reading its first page fails with EIO.
  std::FILE *unreadable = open_motion_file("/proc/self/mem");
  ASSERT_NE(unreadable, nullptr);
  reader->attach(unreadable);
  EXPECT_FALSE(reader->next());
  EXPECT_TRUE(reader->failed());
  std::fclose(unreadable);
  std::FILE *empty = std::tmpfile();
  reader->attach(empty);
  EXPECT_FALSE(reader->failed());
  EXPECT_FALSE(reader->next());
  EXPECT_FALSE(reader->failed());
  std::fclose(empty);
}

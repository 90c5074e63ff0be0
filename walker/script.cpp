#include "script.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string>

#include "quoted.h"

namespace walker {

namespace {

// A file name as the lines about its script show it: escaped, cut long.
std::string shown_name(const char *path) {
  constexpr std::size_t kLimit = 256;
  char text[kLimit * 4 + 4];
  return std::string(text, escape(path, kLimit, text));
}

// Reads a whole file of at most kMaxScriptBytes; false with `why` set.
bool read_whole(const char *path, std::string &text, std::string &why) {
  // A FIFO must not hold the start for a writer that never comes.
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    why = std::strerror(errno);
    return false;
  }
  struct stat st;
  bool ok = fstat(fd, &st) == 0;
  if (!ok) {
    why = std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    why = S_ISDIR(st.st_mode) ? "it is a directory" : "it is not a regular file";
    ok = false;
  } else if (st.st_size > kMaxScriptBytes) {
    why = "it is larger than 1 MiB";
    ok = false;
  }
  // One byte more than allowed tells a file that grew meanwhile.
  text.resize(ok ? kMaxScriptBytes + 1 : 0);
  std::size_t got = 0;
  while (ok && got < text.size()) {
    ssize_t n = read(fd, text.data() + got, text.size() - got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      why = std::strerror(errno);
      ok = false;
    }
  }
  close(fd);
  if (ok && got > static_cast<std::size_t>(kMaxScriptBytes)) {
    why = "it is larger than 1 MiB";
    ok = false;
  }
  text.resize(ok ? got : 0);
  return ok;
}

// Reads a script line's time; false with `why` set.
bool read_time(std::string_view word, std::int64_t &ms, Text &why) {
  auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), ms);
  if (error != std::errc() || end != word.data() + word.size() || ms < 0 || ms > kMaxScriptMs) {
    why << "time \"" << Quoted(word).text << "\" is not a whole number of ms from 0 to ";
    why.whole(kMaxScriptMs);
    return false;
  }
  return true;
}

}  // namespace

bool Script::load(const char *path, std::FILE *err) {
  std::string text;
  std::string why;
  if (!read_whole(path, text, why)) {
    std::fprintf(err, "walker: cannot read the script \"%s\": %s\n", Quoted(path).text,
                 why.c_str());
    return false;
  }
  return parse(text, path, err);
}

bool Script::parse(std::string_view text, const char *name, std::FILE *err) {
  const std::string shown = shown_name(name);
  lines_.clear();
  next_ = 0;
  int bad = 0;
  std::int64_t last_ms = 0;
  int number = 0;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++number;
    Text why;
    ScriptLine entry;
    entry.line = number;
    if (line.size() > kMaxLineBytes) {
      why << "line longer than ";
      why.whole(static_cast<long long>(kMaxLineBytes)) << " characters";
    } else if (std::memchr(line.data(), '\0', line.size()) != nullptr) {
      why << "line holds a NUL byte";
    } else {
      std::string_view rest;
      std::string_view time = first_word(line, rest);
      if (time.empty()) continue;
      if (read_time(time, entry.at_ms, why)) {
        LineRead read = parse_command(rest, entry.order, why);
        // A bad line's time still orders those after it.
        const std::int64_t before = last_ms;
        last_ms = std::max(last_ms, entry.at_ms);
        if (read == LineRead::blank) {
          why << "no command after the time ";
          why.whole(entry.at_ms);
        } else if (read == LineRead::command && entry.at_ms < before) {
          why.whole(entry.at_ms) << " ms is before the time above it, ";
          why.whole(before) << " ms";
        } else if (read == LineRead::command) {
          lines_.push_back(entry);
          continue;
        }
      }
    }
    if (++bad <= kToldBadLines) {
      std::fprintf(err, "walker: %s:%d: %s\n", shown.c_str(), number, why.text);
    }
  }
  if (bad > kToldBadLines) {
    std::fprintf(err, "walker: %s: %d more bad lines\n", shown.c_str(), bad - kToldBadLines);
  }
  if (bad > 0) lines_.clear();
  return bad == 0;
}

bool Script::due(std::int64_t now_ms, Order &order) {
  if (next_ >= lines_.size() || lines_[next_].at_ms > now_ms) return false;
  order = lines_[next_++].order;
  return true;
}

}  // namespace walker

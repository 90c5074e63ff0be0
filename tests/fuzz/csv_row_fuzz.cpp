// Fuzzes parse_csv_row against the C library's sscanf with the row format:
// wherever every number fits in an int, both must store the same fields.
// The input is tried as one line, then split into lines as motion_player's
// 500-byte line reads split a file, each parsed over the previous row.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "body_model.h"
#include "playback.h"
#include "row_reference.h"

namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// True when every run of digits in `line` is a number in the int range,
// read with the minus sign before it if there is one. sscanf stores only
// part of a number beyond that range, where the parser refuses it; a %d
// always takes a whole run, so checking every run covers each it reads.
bool numbers_fit_int(const char *line) {
  const std::string_view text(line);
  std::size_t k = 0;
  while (k < text.size()) {
    if (!is_digit(text[k])) {
      ++k;
      continue;
    }
    const bool negative = k > 0 && text[k - 1] == '-';
    while (k < text.size() && text[k] == '0') ++k;
    const std::size_t first = k;
    while (k < text.size() && is_digit(text[k])) ++k;
    const std::string_view digits = text.substr(first, k - first);
    const std::string_view limit = negative ? "2147483648" : "2147483647";
    if (digits.size() > limit.size()) return false;
    if (digits.size() == limit.size() && digits > limit) return false;
  }
  return true;
}

bool same_row(const MotionRow &a, const MotionRow &b) {
  return a.period == b.period && a.field2 == b.field2 && a.pulses == b.pulses && a.tail == b.tail;
}

// Parses `line` both ways over the rows so far; false when the numbers do
// not fit, so that sscanf's row no longer tells what the parser should hold.
bool check_line(const char *line, MotionRow &parsed, MotionRow &scanned) {
  if (!numbers_fit_int(line)) return false;
  const int got = parse_csv_row(line, parsed);
  const int want = scanf_row(line, scanned);
  if (got < 0 || got > kRowFields) __builtin_trap();
  if (got != want || !same_row(parsed, scanned)) __builtin_trap();
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  // The whole input as one NUL-terminated line; a NUL inside ends it early.
  std::vector<char> text(data, data + size);
  text.push_back('\0');
  {
    MotionRow parsed = sentinel_row();
    MotionRow scanned = sentinel_row();
    check_line(text.data(), parsed, scanned);
  }

  // The same bytes as a file, read line by line as the player reads it:
  // each row parsed over the one before, with fgets' NUL-terminated text.
  std::FILE *in = fmemopen(text.data(), size, "r");
  if (in == nullptr) return 0;
  MotionRow parsed = sentinel_row();
  MotionRow scanned = sentinel_row();
  char line[kPlayerLineBytes];
  while (std::fgets(line, sizeof line, in) != nullptr) {
    if (!check_line(line, parsed, scanned)) break;
  }
  std::fclose(in);
  return 0;
}

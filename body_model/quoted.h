// Names and values as messages quote them: bytes outside printable ASCII,
// and the backslash, escaped as \xHH; a long text cut, with "..." after it.
// The stand-in, the robot library and the tools quote through this one
// header; it needs nothing but the standard library.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

// Copies at most `limit` bytes of `text` into `out` (room for 4 * limit + 4
// bytes), escaping bytes outside printable ASCII and the backslash as \xHH,
// and appending "..." when `text` is longer. Returns the length written.
inline std::size_t escape(std::string_view text, std::size_t limit, char *out) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::size_t length = 0;
  std::size_t count = text.size() < limit ? text.size() : limit;
  for (std::size_t i = 0; i < count; ++i) {
    auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte >= 0x7f || byte == '\\') {
      out[length++] = '\\';
      out[length++] = 'x';
      out[length++] = kHex[byte >> 4];
      out[length++] = kHex[byte & 0xf];
    } else {
      out[length++] = static_cast<char>(byte);
    }
  }
  if (text.size() > limit) {
    std::memcpy(out + length, "...", 3);
    length += 3;
  }
  return length;
}

// A name or value as messages quote it: escaped, and cut at 64 bytes with
// "..." after it. `text` holds it, NUL-terminated.
struct Quoted {
  static constexpr std::size_t kLimit = 64;
  char text[kLimit * 4 + 4];
  explicit Quoted(std::string_view raw) { text[escape(raw, kLimit, text)] = '\0'; }
};

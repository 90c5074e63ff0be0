// Names quoted in the stand-in's messages, shared with the model-file check
// that the robot library runs too.
#include <cstring>
#include <string_view>

#include "standin_internal.h"

namespace standin {

std::size_t escape(std::string_view text, std::size_t limit, char *out) {
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

}  // namespace standin

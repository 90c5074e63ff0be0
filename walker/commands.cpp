#include "commands.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "quoted.h"

namespace walker {

namespace {

bool is_separator(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

// The words of `line` up to a comment, at most `capacity`; the count of all.
std::size_t split(std::string_view line, std::string_view *words, std::size_t capacity) {
  std::size_t count = 0;
  for (std::string_view word = first_word(line, line); !word.empty();
       word = first_word(line, line)) {
    if (count < capacity) words[count] = word;
    ++count;
  }
  return count;
}

// The names of walk's values, in order.
constexpr const char *kValueNames[3] = {"VX", "VY", "VTURN"};

bool out_of_range(std::string_view word, const char *name, Text &why) {
  why << name << " \"" << Quoted(word).text << "\" is out of range (at most " << kMaxValue
      << " either way)";
  return false;
}

// Reads `word` as one of walk's values; false with `why` set when it is not.
bool read_value(std::string_view word, const char *name, double &value, Text &why) {
  std::string_view digits = word;
  // from_chars takes a minus but not a plus.
  if (digits.size() > 1 && digits[0] == '+' && digits[1] != '-' && digits[1] != '+') {
    digits.remove_prefix(1);
  }
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  bool whole = end == digits.data() + digits.size();
  if (error == std::errc::result_out_of_range && whole) {
    return out_of_range(word, name, why);
  }
  if (error != std::errc() || !whole) {
    why << name << " \"" << Quoted(word).text << "\" is not a number";
    return false;
  }
  if (!std::isfinite(value)) {
    why << name << " \"" << Quoted(word).text << "\" is not a finite number";
    return false;
  }
  if (std::fabs(value) > kMaxValue) return out_of_range(word, name, why);
  // -0 walks as 0, and says so.
  if (value == 0.0) value = 0.0;
  return true;
}

}  // namespace

std::string_view first_word(std::string_view line, std::string_view &rest) {
  std::size_t at = 0;
  while (at < line.size() && is_separator(line[at])) ++at;
  if (at == line.size() || line[at] == '#') {
    rest = {};
    return {};
  }
  std::size_t end = at;
  while (end < line.size() && !is_separator(line[end])) ++end;
  std::string_view word = line.substr(at, end - at);
  rest = line.substr(end);
  return word;
}

Text &Text::operator<<(std::string_view part) {
  std::size_t room = kTextBytes - 1 - length;
  std::size_t n = std::min(room, part.size());
  std::memcpy(text + length, part.data(), n);
  length += n;
  text[length] = '\0';
  return *this;
}

namespace {

// `value` in `digits` significant digits, as %g writes it; -0 as 0.
Text &append(Text &text, double value, int digits) {
  char out[32];
  if (value == 0.0) value = 0.0;
  auto [end, error] =
      std::to_chars(out, out + sizeof out, value, std::chars_format::general, digits);
  if (error != std::errc()) return text << "?";
  return text << std::string_view(out, end - out);
}

}  // namespace

Text &Text::operator<<(double value) {
  return append(*this, value, 6);
}

Text &Text::rounded(double value) {
  return append(*this, value, 3);
}

Text &Text::whole(long long value) {
  char digits[24];
  auto [end, error] = std::to_chars(digits, digits + sizeof digits, value);
  if (error != std::errc()) return *this << "?";
  return *this << std::string_view(digits, end - digits);
}

LineRead parse_command(std::string_view line, Order &order, Text &why) {
  if (std::memchr(line.data(), '\0', line.size()) != nullptr) {
    why << "line holds a NUL byte";
    return LineRead::refused;
  }
  std::string_view words[5];
  std::size_t count = split(line, words, 5);
  if (count == 0) return LineRead::blank;
  if (words[0] == "stop") {
    if (count > 1) {
      why << "extra word \"" << Quoted(words[1]).text << "\" after stop";
      return LineRead::refused;
    }
    order = Order{Order::Kind::kStop, {}};
    return LineRead::command;
  }
  if (words[0] != "walk") {
    why << "unknown command \"" << Quoted(words[0]).text << "\" (walk VX VY VTURN or stop)";
    return LineRead::refused;
  }
  double values[3] = {};
  for (std::size_t k = 0; k < 3; ++k) {
    if (k + 1 >= count) {
      why << kValueNames[k] << " is missing (walk VX VY VTURN)";
      return LineRead::refused;
    }
    if (!read_value(words[k + 1], kValueNames[k], values[k], why)) return LineRead::refused;
  }
  if (count > 4) {
    why << "extra word \"" << Quoted(words[4]).text << "\" after walk VX VY VTURN";
    return LineRead::refused;
  }
  order = Order{Order::Kind::kWalk, {values[0], values[1], values[2]}};
  return LineRead::command;
}

void say_limits(const gait::Limits &limits, Text &out) {
  out << "limits: vx from ";
  out.rounded(-limits.backward) << " to ";
  out.rounded(limits.forward) << " m/s, vy from ";
  out.rounded(-limits.sideways) << " to ";
  out.rounded(limits.sideways) << " m/s, vturn from ";
  out.rounded(-limits.turn) << " to ";
  out.rounded(limits.turn) << " rad/s, and their shares of these at most 1 together";
}

void say_walking(const gait::Velocity &asked, const gait::Velocity &walked, bool beyond,
                 Text &out) {
  if (beyond) {
    out << "walk " << asked.forward << " " << asked.left << " " << asked.turn
        << " is beyond the limits: ";
  }
  out << "walking at vx ";
  out.rounded(walked.forward) << " m/s, vy ";
  out.rounded(walked.left) << " m/s, vturn ";
  out.rounded(walked.turn) << " rad/s";
}

}  // namespace walker

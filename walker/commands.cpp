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
  std::size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && is_separator(line[at])) ++at;
    if (at == line.size() || line[at] == '#') break;
    std::size_t end = at;
    while (end < line.size() && !is_separator(line[end])) ++end;
    if (count < capacity) words[count] = line.substr(at, end - at);
    ++count;
    at = end;
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

double clamp(double value, Range range, bool &beyond) {
  beyond = value < range.low || value > range.high;
  return std::clamp(value, range.low, range.high);
}

// The unit of each axis.
constexpr const char *kUnits[3] = {" m/s", " m/s", " rad/s"};

}  // namespace

Text &Text::operator<<(std::string_view part) {
  std::size_t room = kTextBytes - 1 - length;
  std::size_t n = std::min(room, part.size());
  std::memcpy(text + length, part.data(), n);
  length += n;
  text[length] = '\0';
  return *this;
}

Text &Text::operator<<(double value) {
  char digits[32];
  if (value == 0.0) value = 0.0;
  auto [end, error] =
      std::to_chars(digits, digits + sizeof digits, value, std::chars_format::general, 6);
  if (error != std::errc()) return *this << "?";
  return *this << std::string_view(digits, end - digits);
}

Text &Text::whole(long long value) {
  char digits[24];
  auto [end, error] = std::to_chars(digits, digits + sizeof digits, value);
  if (error != std::errc()) return *this << "?";
  return *this << std::string_view(digits, end - digits);
}

LineRead parse_command(std::string_view line, Command &command, Text &why) {
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
    command = Command{CommandKind::stop, {}};
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
  command = Command{CommandKind::walk, {values[0], values[1], values[2]}};
  return LineRead::command;
}

Limited apply_limits(const Command &asked, const Limits &limits) {
  Limited out;
  out.command = asked;
  if (asked.kind != CommandKind::walk) return out;
  Velocity &v = out.command.velocity;
  v.vx = clamp(asked.velocity.vx, limits.vx, out.vx);
  v.vy = clamp(asked.velocity.vy, limits.vy, out.vy);
  v.vturn = clamp(asked.velocity.vturn, limits.vturn, out.vturn);
  return out;
}

void say_ready(const Limits &limits, Text &out) {
  const Range ranges[3] = {limits.vx, limits.vy, limits.vturn};
  out << "ready: ";
  for (int k = 0; k < 3; ++k) {
    if (k > 0) out << ", ";
    out << (k == 0   ? "vx"
            : k == 1 ? "vy"
                     : "vturn")
        << " from " << ranges[k].low << " to " << ranges[k].high << kUnits[k];
  }
}

void say_beyond(const Command &asked, const Limited &limited, Text &out) {
  const bool beyond[3] = {limited.vx, limited.vy, limited.vturn};
  const double values[3] = {asked.velocity.vx, asked.velocity.vy, asked.velocity.vturn};
  const double walked[3] = {limited.command.velocity.vx, limited.command.velocity.vy,
                            limited.command.velocity.vturn};
  int told = 0;
  for (int k = 0; k < 3; ++k) {
    if (!beyond[k]) continue;
    if (told++ > 0) out << "; ";
    out << (k == 0   ? "vx "
            : k == 1 ? "vy "
                     : "vturn ")
        << values[k] << kUnits[k] << " is beyond its limit " << walked[k] << kUnits[k];
  }
  out << (told > 1 ? ": walking at the limits" : ": walking at the limit");
}

void say_taken(const Command &walked, Text &out) {
  if (walked.kind == CommandKind::stop) {
    out << "stopping";
    return;
  }
  out << "walking at vx " << walked.velocity.vx << " m/s, vy " << walked.velocity.vy
      << " m/s, vturn " << walked.velocity.vturn << " rad/s";
}

}  // namespace walker

// Fuzzes the tuner's console reader (read_command, skip_line) against the
// C library's fscanf "%2d %f" on a second stream over the same bytes,
// command after command; after a mismatch both skip through the line end.
// Where the reader differs from fscanf by design (an angle longer than
// kAngleChars, a text strtof does not read whole, "nan(" and what fscanf
// consumes past its failure) the comparison stops for the rest of that
// input. Checked on every input to its end: the reader stops within one
// command per byte, every angle is strtof of the text consumed for it, and
// skip_line stops just after a line end.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tuner.h"

namespace {

constexpr std::size_t kNoAngle = static_cast<std::size_t>(-1);  // no angle start found

bool is_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}
bool is_digit(char c) {
  return c >= '0' && c <= '9';
}
char to_lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

struct Input {
  const char *text;  // the bytes, NUL-terminated after `size`
  std::size_t size;
};

// Where the angle of a command read from `from` begins, as "%2d %f" splits
// it: white space, a sign and digits of at most two characters, white
// space. Also gives the number. kNoAngle when the number does not parse.
std::size_t angle_start(const Input &in, std::size_t from, int &number) {
  std::size_t k = from;
  while (k < in.size && is_space(in.text[k])) ++k;
  const std::size_t number_start = k;
  if (k < in.size && (in.text[k] == '+' || in.text[k] == '-')) ++k;
  const std::size_t digits_start = k;
  while (k < in.size && k - number_start < 2 && is_digit(in.text[k])) ++k;
  if (k == digits_start) return kNoAngle;
  char copy[3] = {};
  std::memcpy(copy, in.text + number_start, k - number_start);
  number = static_cast<int>(std::strtol(copy, nullptr, 10));
  while (k < in.size && is_space(in.text[k])) ++k;
  return k;
}

// strtof of text[from, to); false unless it reads all of it.
bool strtof_whole(const Input &in, std::size_t from, std::size_t to, float &value) {
  if (to <= from) return false;
  std::vector<char> copy(in.text + from, in.text + to);
  copy.push_back('\0');
  char *end = nullptr;
  value = std::strtof(copy.data(), &end);
  return end == copy.data() + copy.size() - 1;
}

// True when the angle at `start` begins "nan(" after its sign: fscanf
// stops after "nan", the reader takes the parenthesis as strtof does.
bool starts_nan_paren(const Input &in, std::size_t start) {
  std::size_t k = start;
  if (k < in.size && (in.text[k] == '+' || in.text[k] == '-')) ++k;
  return k + 4 <= in.size && to_lower(in.text[k]) == 'n' && to_lower(in.text[k + 1]) == 'a' &&
         to_lower(in.text[k + 2]) == 'n' && in.text[k + 3] == '(';
}

// The reader's own promise for a stored command: it consumed white space,
// the number, white space and an angle of at most kAngleChars characters
// that strtof reads whole to the stored value.
void check_stored(const Input &in, std::size_t from, std::size_t to, const Command &command) {
  int number = 0;
  const std::size_t start = angle_start(in, from, number);
  if (start == kNoAngle || start >= to || number != command.number) __builtin_trap();
  if (to - start > kAngleChars) __builtin_trap();
  float value = 0.0f;
  if (!strtof_whole(in, start, to, value)) __builtin_trap();
  if (std::bit_cast<std::uint32_t>(value) != std::bit_cast<std::uint32_t>(command.add_angle)) {
    __builtin_trap();
  }
}

// skip_line consumed [from, to): no line end but its last byte, and that
// one a line end unless the input is over.
void check_skipped(const Input &in, std::size_t from, std::size_t to) {
  if (to < from || to > in.size) __builtin_trap();
  const void *newline = std::memchr(in.text + from, '\n', to - from);
  if (to == in.size && newline == nullptr) return;
  if (to == from || newline != in.text + to - 1) __builtin_trap();
}

// One fscanf "%2d %f" on the reference stream.
struct Reference {
  int fields;  // fscanf's result
  int number;
  float angle;
  bool ended;  // the input ran out before a full command
};

Reference scan_reference(std::FILE *ref) {
  Reference r{};
  r.fields = std::fscanf(ref, "%2d %f", &r.number, &r.angle);
  r.ended = r.fields != 2 && std::feof(ref) != 0;
  return r;
}

// True when reader and fscanf part for one of the reader's documented
// reasons, so that the input can no longer be compared.
bool documented_difference(const Input &in, std::size_t from, std::size_t reader_end,
                           std::size_t ref_end, const Reference &r) {
  int number = 0;
  const std::size_t start = angle_start(in, from, number);
  if (start == kNoAngle) return false;
  if (starts_nan_paren(in, start)) return true;
  // The reader gives up on an angle longer than kAngleChars.
  if (reader_end > start && reader_end - start > kAngleChars) return true;
  if (ref_end > start && ref_end - start > kAngleChars) return true;
  // fscanf stored a value for text strtof does not read whole ("1e", "0x").
  float value = 0.0f;
  return r.fields == 2 && !strtof_whole(in, start, ref_end, value);
}

// Commands agree: both stored the same, both failed to match, or both met
// the end of the input (the reader may first fail on a half command).
bool agree(CommandRead got, const Command &command, const Reference &r, std::size_t reader_end,
           std::size_t ref_end) {
  if (r.fields == 2) {
    return got == CommandRead::kOk && command.number == r.number &&
           std::bit_cast<std::uint32_t>(command.add_angle) ==
               std::bit_cast<std::uint32_t>(r.angle) &&
           reader_end == ref_end;
  }
  if (r.ended) return got != CommandRead::kOk;
  return got == CommandRead::kMismatch;
}

// Bytes consumed from a stream so far.
std::size_t position(std::FILE *stream) {
  return static_cast<std::size_t>(std::ftell(stream));
}

void skip_reference_line(std::FILE *ref) {
  for (int c = std::getc(ref); c != EOF && c != '\n'; c = std::getc(ref)) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::vector<char> bytes(data, data + size);
  bytes.push_back('\0');
  const Input in{bytes.data(), size};
  std::FILE *reader = fmemopen(bytes.data(), size, "r");
  std::FILE *ref = fmemopen(bytes.data(), size, "r");
  if (reader == nullptr || ref == nullptr) __builtin_trap();

  bool comparing = true;
  // Every command or skipped line consumes a byte at least; one more read
  // meets the end.
  for (std::size_t commands = 0;; ++commands) {
    if (commands > size + 1) __builtin_trap();
    const std::size_t from = position(reader);
    Command command{-77, -7.0f};
    const CommandRead got = read_command(reader, command);
    const std::size_t reader_end = position(reader);
    if (got == CommandRead::kOk) {
      check_stored(in, from, reader_end, command);
    } else if (command.number != -77 || command.add_angle != -7.0f) {
      __builtin_trap();
    }

    bool ref_skips = false;
    if (comparing) {
      if (position(ref) != from) __builtin_trap();
      const Reference r = scan_reference(ref);
      const std::size_t ref_end = position(ref);
      if (!agree(got, command, r, reader_end, ref_end)) {
        if (!documented_difference(in, from, reader_end, ref_end, r)) __builtin_trap();
        comparing = false;
      }
      ref_skips = comparing && r.fields != 2 && !r.ended;
    }

    if (got == CommandRead::kEnd) break;
    if (got == CommandRead::kMismatch) {
      const std::size_t skip_from = position(reader);
      skip_line(reader);
      check_skipped(in, skip_from, position(reader));
    }
    if (ref_skips) {
      const std::size_t ref_failed_at = position(ref);
      skip_reference_line(ref);
      if (position(ref) != position(reader)) {
        // fscanf may swallow the byte that ends a half "inf" or "nan",
        // a line end too; the reader leaves it, and the lines part.
        const bool swallowed =
            ref_failed_at > reader_end &&
            std::memchr(in.text + reader_end, '\n', ref_failed_at - reader_end) != nullptr;
        if (!swallowed) __builtin_trap();
        comparing = false;
      }
    }
  }
  std::fclose(ref);
  std::fclose(reader);
  return 0;
}

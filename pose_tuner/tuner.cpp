// pose_tuner's control step, interpolation, servo value table and console.
#include "tuner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "console_input.h"
#include "whole_file.h"

Posture futurPosition = {};  // commanded posture, rad
Posture wantedPos = {};      // target posture, rad
int interpolating = 0;       // 1 while an interpolation runs
std::mutex posture_lock;     // guards futurPosition, wantedPos, interpolating
std::mutex screen_lock;      // keeps each thread's screens whole and in order
unsigned temp_serial = 0;    // console: tells the snapshot's temporary files apart

namespace {

constexpr int kStepMs = 64;  // control step, ms
constexpr char kBanner[] =
    "\n&&&&&&&&&&&&\n&&&&&&&&&&&&\nDo not press a button, please wait for the end of the "
    "interpollation\n&&&&&&&&&&&&\n&&&&&&&&&&&&\n";
constexpr char kNamePrompt[] = " Give the name of the csv file: ";
constexpr char kSkippedText[] =
    "not a joint number and an amount of angle: the rest of the line is skipped\n";
constexpr char kNotFiniteText[] = "the amount of angle must be a finite number: command refused\n";

// Why the console refused its last input, shown under the next table.
enum class Notice { kNone, kSkipped, kNotFinite, kNameTooLong, kNameNul };

// isspace in the C locale, without locale look-ups.
bool is_space(int c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}
bool is_digit(int c) {
  return c >= '0' && c <= '9';
}
int to_lower(int c) {
  return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
}
bool is_hex_digit(int c) {
  return is_digit(c) || (to_lower(c) >= 'a' && to_lower(c) <= 'f');
}
// Characters strtof takes inside "nan(...)".
bool is_nan_char(int c) {
  return is_digit(c) || (to_lower(c) >= 'a' && to_lower(c) <= 'z') || c == '_';
}

// True when `text` is the start of `word`, ignoring case.
bool starts_word(std::string_view text, std::string_view word) {
  if (text.size() > word.size()) return false;
  for (std::size_t k = 0; k < text.size(); ++k) {
    if (to_lower(text[k]) != word[k]) return false;
  }
  return true;
}

// True when `text` can begin "nan" or "nan(chars)".
bool starts_nan(std::string_view text) {
  if (text.size() <= 3) return starts_word(text, "nan");
  if (!starts_word(text.substr(0, 3), "nan") || text[3] != '(') return false;
  for (std::size_t k = 4; k < text.size(); ++k) {
    if (text[k] == ')') return k + 1 == text.size();
    if (!is_nan_char(text[k])) return false;
  }
  return true;
}

// True when `text` can begin the digits of a decimal number (digits, one
// point, "e" exponent) or, after "0x", of a hexadecimal one ("p" exponent).
bool starts_digits(std::string_view text, bool hex) {
  bool digits = false;
  bool point = false;
  std::size_t k = 0;
  for (; k < text.size(); ++k) {
    if (hex ? is_hex_digit(text[k]) : is_digit(text[k])) {
      digits = true;
    } else if (text[k] == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (k == text.size()) return true;
  // An exponent needs a digit before it.
  if (!digits || to_lower(text[k]) != (hex ? 'p' : 'e')) return false;
  ++k;
  if (k < text.size() && (text[k] == '+' || text[k] == '-')) ++k;
  for (; k < text.size(); ++k) {
    if (!is_digit(text[k])) return false;
  }
  return true;
}

// True when `text` can begin a number that strtof reads whole.
bool starts_number(std::string_view text) {
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) text.remove_prefix(1);
  if (text.empty()) return true;
  if (to_lower(text[0]) == 'i') return starts_word(text, "infinity");
  if (to_lower(text[0]) == 'n') return starts_nan(text);
  if (text.size() >= 2 && text[0] == '0' && to_lower(text[1]) == 'x') {
    return starts_digits(text.substr(2), true);
  }
  return starts_digits(text, false);
}

// Skips white space; false when the input ends first. The next character
// stays unread.
bool skip_space(std::FILE *in) {
  int c = console_getc(in);
  while (c != EOF && is_space(c)) c = console_getc(in);
  if (c == EOF) return false;
  std::ungetc(c, in);
  return true;
}

// "%2d": an optional sign and digits, two characters at most.
CommandRead read_number(std::FILE *in, int &number) {
  if (!skip_space(in)) return CommandRead::kEnd;
  int c = console_getc(in);
  bool negative = false;
  int used = 0;
  if (c == '+' || c == '-') {
    negative = c == '-';
    ++used;
    c = console_getc(in);
  }
  int value = 0;
  int digits = 0;
  while (c != EOF && is_digit(c)) {
    value = value * 10 + (c - '0');
    ++digits;
    // The width is spent: the next character is not looked at.
    if (++used == 2) break;
    c = console_getc(in);
  }
  if (used < 2 && c != EOF) std::ungetc(c, in);
  if (digits == 0) return c == EOF ? CommandRead::kEnd : CommandRead::kMismatch;
  number = negative ? -value : value;
  return CommandRead::kOk;
}

// "%f": the longest text that can begin a number, which strtof must then
// read whole. The character that ends it stays unread.
CommandRead read_angle(std::FILE *in, float &angle) {
  if (!skip_space(in)) return CommandRead::kEnd;
  char text[kAngleChars + 1];
  std::size_t length = 0;
  for (int c = console_getc(in); c != EOF; c = console_getc(in)) {
    text[length] = static_cast<char>(c);
    if (!starts_number(std::string_view(text, length + 1))) {
      std::ungetc(c, in);
      break;
    }
    if (++length > kAngleChars) return CommandRead::kMismatch;
  }
  if (length == 0) return CommandRead::kMismatch;
  text[length] = '\0';
  char *end = nullptr;
  // Beyond the float range strtof gives an infinity, as scanf would.
  const float value = std::strtof(text, &end);
  if (end != text + length) return CommandRead::kMismatch;
  angle = value;
  return CommandRead::kOk;
}

void print_notice(Notice notice) {
  switch (notice) {
    case Notice::kNone:
      break;
    case Notice::kSkipped:
      std::fputs(kSkippedText, stdout);
      break;
    case Notice::kNotFinite:
      std::fputs(kNotFiniteText, stdout);
      break;
    case Notice::kNameTooLong:
      print_name_refusal(WordRead::kTooLong, kNameBytes);
      break;
    case Notice::kNameNul:
      print_name_refusal(WordRead::kNulByte, kNameBytes);
      break;
  }
}

// The console's screen: the table once `pending` (if any) has been applied,
// the notice, the prompt. "clear" runs first, outside both locks. The loop
// cannot draw between the command and the prompt, so the steps of a jog
// always come after this screen.
void console_screen(const Command *pending, Notice notice) {
  clear_screen();
  std::lock_guard screen(screen_lock);
  Posture shown;
  {
    std::lock_guard hold(posture_lock);
    if (pending != nullptr) apply_command(*pending);
    shown = futurPosition;
  }
  write_servo_rows(stdout, shown);
  print_notice(notice);
  std::fputs(kPrompt, stdout);
  std::fflush(stdout);
}

void print_now(const char *text) {
  std::lock_guard screen(screen_lock);
  std::fputs(text, stdout);
  std::fflush(stdout);
}

// Asks for a name and writes the commanded posture to it as one row. A name
// that does not fit is refused before any file is touched. False at the end
// of input.
bool take_snapshot(Notice &notice) {
  print_now(kNamePrompt);
  char name[kNameBytes];
  const WordRead got = read_word(stdin, name, sizeof name);
  if (got == WordRead::kEnd) return false;
  if (got != WordRead::kOk) {
    notice = got == WordRead::kTooLong ? Notice::kNameTooLong : Notice::kNameNul;
    return true;
  }
  print_now("writing position to the file TeSt.csv\n");
  // One copy, so the row never mixes two control steps.
  Posture posture;
  {
    std::lock_guard hold(posture_lock);
    posture = futurPosition;
  }
  const SnapshotWrite written = write_snapshot(name, snapshot_counts(posture));
  if (written == SnapshotWrite::kCannotOpen) print_now("unable to open the file TeSt.csv\n");
  if (written == SnapshotWrite::kCannotWrite) print_now("unable to write the file TeSt.csv\n");
  return true;
}

}  // namespace

SnapshotWrite write_snapshot(const char *name, const PulseCounts &counts, SnapshotTemp how) {
  switch (replace_whole(
      name, "snapshot", temp_serial,
      [&counts](std::FILE *out) { return write_csv_row(out, counts) >= 0; }, how)) {
    case WholeWrite::kOk:
      return SnapshotWrite::kOk;
    case WholeWrite::kCannotOpen:
      return SnapshotWrite::kCannotOpen;
    case WholeWrite::kCannotWrite:
      break;
  }
  return SnapshotWrite::kCannotWrite;
}

void tuner_reset_state() {
  std::lock_guard hold(posture_lock);
  futurPosition = {};
  wantedPos = {};
  interpolating = 0;
}

void take_over_posture(const Posture &read) {
  for (int i = 0; i < kJointCount; ++i) {
    futurPosition[i] = std::isfinite(read[i]) ? read[i] : wantedPos[i];
  }
}

bool interpol() {
  int moving = kJogJoints;
  for (int i = 0; i < kJogJoints; ++i) {
    if (std::fabs(wantedPos[i] - futurPosition[i]) <= kJogTolerance) {
      --moving;
    } else if (futurPosition[i] > wantedPos[i]) {
      futurPosition[i] -= kJogStep;
    } else {
      futurPosition[i] += kJogStep;
    }
  }
  if (moving != 0) return false;
  // Land exactly on the targets rather than within the tolerance.
  for (int i = 0; i < kJogJoints; ++i) futurPosition[i] = wantedPos[i];
  interpolating = 0;
  return true;
}

void print_interpol_step(const Posture &shown, bool over) {
  std::lock_guard screen(screen_lock);
  if (over) std::fputs("The interpolation is over\n", stdout);
  print_servos_values(shown);
  std::fputs(kBanner, stdout);
  if (over) {
    print_servos_values(shown);
    std::fputs("\nThe interpolation is over\n", stdout);
    std::fputs(kPrompt, stdout);
  }
  std::fflush(stdout);
}

void write_servo_rows(std::FILE *out, const Posture &shown) {
  for (int number = 1; number <= kNumberedJoints; ++number) {
    const int i = convertJoint(number);
    const JointLimits &limits = kJointLimits[number - 1];
    std::fprintf(out, "%02d:\t%s = %f  pulse: %d\t\tmin=%s\tmax=%s\n", number, jointNum2Text(i),
                 shown[i], rad2pulse(narrow_angle(shown[i]), i), limits.minText, limits.maxText);
  }
}

void print_servos_values(const Posture &shown) {
  clear_screen();
  write_servo_rows(stdout, shown);
}

void clear_screen() {
  // "clear" writes to the terminal itself; what stdio still holds must
  // reach the terminal first, also when stdout is a pipe.
  std::fflush(stdout);
  [[maybe_unused]] const int status = std::system("clear");
}

CommandRead read_command(std::FILE *in, Command &command) {
  Command read;
  const CommandRead number = read_number(in, read.number);
  if (number != CommandRead::kOk) return number;
  const CommandRead angle = read_angle(in, read.add_angle);
  if (angle != CommandRead::kOk) return angle;
  command = read;
  return CommandRead::kOk;
}

void skip_line(std::FILE *in) {
  for (int c = console_getc(in); c != EOF && c != '\n'; c = console_getc(in)) {
  }
}

void apply_command(const Command &command) {
  const int i = convertJoint(command.number);
  if (command.add_angle == 9.0f) {
    futurPosition[i] = 0.0;
  } else if (command.add_angle == 666.0f) {
    // Every joint but head_joint_1 (24), whatever the number.
    for (int k = 0; k < kJointCount - 1; ++k) futurPosition[k] = 0.0;
  } else {
    // Target first, then the flag; both under the lock.
    wantedPos[i] = futurPosition[i] + command.add_angle;
    interpolating = 1;
  }
}

PulseCounts snapshot_counts(const Posture &posture) {
  PulseCounts counts = {};
  for (int i = 0; i < kJogJoints; ++i) counts[i] = rad2pulse(narrow_angle(posture[i]), i);
  return counts;
}

void control_step() {
  Posture commanded;
  bool stepped = false;
  bool over = false;
  {
    std::lock_guard hold(posture_lock);
    if (interpolating != 0) {
      stepped = true;
      over = interpol();
    }
    commanded = futurPosition;
  }
  // Drawn from the copy, after the lock is let go: screen_lock comes first.
  if (stepped) print_interpol_step(commanded, over);
  send_posture_head_first(commanded);
  robot_step(kStepMs);
}

void *posture_moves(void *) {
  Command command;
  bool pending = false;
  Notice notice = Notice::kNone;
  for (;;) {
    console_screen(pending ? &command : nullptr, notice);
    pending = false;
    notice = Notice::kNone;
    const CommandRead got = read_command(stdin, command);
    if (got == CommandRead::kEnd) return nullptr;
    if (got == CommandRead::kMismatch) {
      // Never the previous command again, and never the same bad text.
      skip_line(stdin);
      notice = Notice::kSkipped;
    } else if (command.add_angle == 999.0f) {
      if (!take_snapshot(notice)) return nullptr;
    } else if (!std::isfinite(command.add_angle)) {
      // An endless interpolation otherwise: the distance never shrinks.
      notice = Notice::kNotFinite;
    } else {
      // Applied at the next screen, once "clear" has run.
      pending = true;
    }
  }
}

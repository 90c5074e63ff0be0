// Motion file checks. The file is read twice, as each player splits it:
// once in 499-character reads (motion_player), once in 999-character reads
// (motion_skim). Every motion_player row is parsed with the players' own
// row parser; of motion_skim's rows only the ones it commands.
#include "motion_check_lib.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstring>

#include "line_reader.h"

namespace {

LineReader player_reader{kPlayerReadChars + 1};  // the file as motion_player splits it
LineReader skim_reader{kSkimReadChars + 1};      // the file as motion_skim splits it

// The players' row format, followed by locate_fields to find columns.
constexpr std::string_view kRowFormat =
    "%d, %d, %d, %d, %d, %d ,%d, %d, %d, %d, %d, %d, %d, %d, %d, %d, %d, %d, %d, %d, %d, %d, "
    "%d, %c ,%c ,%c,%c ";
// Fields 1..23 are numbers: the period, field 2 and the 21 joint columns.
constexpr int kRowNumbers = 2 + kNumberedJoints;
// Beyond this distance (rad) an approach is counted, not walked.
constexpr double kApproachWalkLimit = 100.0;
constexpr int kKinds = static_cast<int>(FindingKind::kCount);
// What the note about findings not shown calls each kind.
constexpr std::array<const char *, kKinds> kKindNames = {
    "findings about the file",
    "row period findings",
    "rows that stop parsing early",
    "blank rows",
    "rows without their closing characters",
    "rows that state another row period",
    "lines that motion_player splits",
    "lines that motion_skim splits",
    "pulse counts beyond the joint limits",
    "rows above the speed threshold",
};

// One file being checked.
struct Check {
  const CheckOptions &options;
  const FindingSink &sink;
  FileSummary &summary;
  std::array<long, kKinds> shown{};   // findings of each kind reported
  std::array<long, kKinds> hidden{};  // findings of each kind only counted
};

// motion_player's view while its rows go by.
struct PlayerScan {
  std::array<PulseRange, kNumberedJoints> ranges{};  // pulse limits by column
  MotionRow row;                                     // every row parsed in turn
  ColumnAngles angles{};                             // `row` in rad
  MotionRow played;                                  // only the rows motion_player commands
  ColumnAngles played_angles{};                      // `played` in rad
  long played_line = 0;                              // line of the latest commanded row
};

bool is_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}
bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Nothing but white space up to the end or a NUL, as the parser sees it.
bool is_blank(std::string_view read) {
  for (char c : read) {
    if (c == '\0') break;
    if (!is_space(c)) return false;
  }
  return true;
}

// Field f (0-based) as the messages name it.
std::string field_label(int f) {
  if (f == 0) return "field 1, the row period";
  if (f < 2) return text_of("field %d", f + 1);
  if (f < kRowNumbers) return text_of("field %d, %s", f + 1, joint_label(f - 2).c_str());
  return text_of("field %d, a closing character", f + 1);
}

// What the parser wanted where it stopped, and what it found there.
std::string mismatch_text(std::string_view read, const RowLayout &layout) {
  std::string wanted = layout.expected == 'd'   ? "a number"
                       : layout.expected == 'c' ? "a character"
                       : layout.expected == ',' ? "a comma"
                                                : text_of("'%c'", layout.expected);
  std::string found;
  const auto at = static_cast<std::size_t>(layout.stop);
  if (layout.out_of_range) {
    found = "a number outside the int range";
  } else if (at >= read.size() || read[at] == '\n') {
    found = "the end of the line";
  } else if (read[at] == '\0') {
    found = "a NUL byte";
  } else if (read[at] == '\r') {
    found = "a carriage return";
  } else if (read[at] == ' ') {
    found = "a space";
  } else if (read[at] == '\t') {
    found = "a tab";
  } else if (read[at] > ' ' && read[at] < 127) {
    found = text_of("'%c'", read[at]);
  } else {
    found = text_of("byte 0x%02x", static_cast<unsigned char>(read[at]));
  }
  return "expected " + wanted + ", found " + found;
}

// Counts a finding; true when it is to be shown.
bool admit(Check &ck, FindingKind kind, Severity severity) {
  if (severity == Severity::kError) ++ck.summary.errors;
  if (severity == Severity::kWarning) ++ck.summary.warnings;
  const int k = static_cast<int>(kind);
  if (ck.shown[k] >= kShownPerKind) {
    ++ck.hidden[k];
    return false;
  }
  ++ck.shown[k];
  return true;
}

void report(Check &ck, FindingKind kind, Severity severity, long line, long column,
            const std::string &message) {
  if (admit(ck, kind, severity)) ck.sink(Finding{line, column, severity, message});
}

ColumnAngles angles_of(const MotionRow &row) {
  return column_angles(row.pulses);
}

// Keeps in `jump` the largest joint change between two commanded postures.
void note_jump(Jump &jump, const ColumnAngles &from, const ColumnAngles &to, long from_line,
               long to_line) {
  for (int c = 0; c < kNumberedJoints; ++c) {
    const double d = std::fabs(to[c] - from[c]);
    if (d > jump.rad) jump = Jump{d, c + 1, from_line, to_line};
  }
}

// The first row: its period decides how motion_player plays the file.
void check_period(Check &ck, long line, std::string_view read, int fields, const MotionRow &row,
                  const RowLayout &layout) {
  FileSummary &sum = ck.summary;
  if (fields == 0) {
    const bool blank = is_blank(read);
    report(ck, FindingKind::kPeriod, Severity::kError, line, blank ? 1 : layout.stop + 1,
           blank ? "the first row is blank: motion_player has no row period and no posture to "
                   "approach"
                 : "parsing stops at field 1, the row period: " + mismatch_text(read, layout) +
                       "; motion_player has no row period for this file");
    return;
  }
  sum.has_period = true;
  sum.period = row.period;
  const long column = layout.start[0] + 1;
  if (row.period <= 0) {
    report(ck, FindingKind::kPeriod, Severity::kError, line, column, period_warning(row.period));
    return;
  }
  sum.rows_per_step = rows_per_step(row.period);
  const std::string warning = period_warning(row.period);
  if (!warning.empty()) report(ck, FindingKind::kPeriod, Severity::kWarning, line, column, warning);
}

// Checks one row that begins a line, as motion_player reads it.
void check_row(Check &ck, PlayerScan &scan, long index, long line, std::string_view read,
               const char *text) {
  FileSummary &sum = ck.summary;
  const int fields = parse_csv_row(text, scan.row);
  const ColumnAngles before = scan.angles;
  scan.angles = angles_of(scan.row);
  // Columns are only needed for findings: locate the fields then.
  RowLayout layout;
  bool located = false;
  auto where = [&]() -> const RowLayout & {
    if (!located) layout = locate_fields(read);
    located = true;
    return layout;
  };

  if (index == 1) {
    check_period(ck, line, read, fields, scan.row, where());
  } else if (fields >= 1 && sum.has_period && scan.row.period != sum.period) {
    report(ck, FindingKind::kOtherPeriod, Severity::kWarning, line, where().start[0] + 1,
           text_of("row period %d ms differs from the first row's %d ms; the players go by the "
                   "first row's",
                   scan.row.period, sum.period));
  }

  if (fields == 0 && index > 1 && is_blank(read)) {
    ++sum.short_rows;
    report(ck, FindingKind::kBlank, Severity::kWarning, line, 1,
           "blank row: the players keep every joint at its earlier value");
  } else if (fields < kRowNumbers && !(index == 1 && fields == 0)) {
    ++sum.short_rows;
    const int first = std::max(fields - 2, 0);  // first column left unparsed
    std::string kept =
        first == kNumberedJoints - 1 ? joint_label(first) + " keeps its earlier value"
        : first == 0
            ? std::string("all 21 joints keep their earlier values")
            : text_of("joints %02d..%02d keep their earlier values", first + 1, kNumberedJoints);
    report(ck, FindingKind::kBreak, Severity::kError, line, where().stop + 1,
           "parsing stops at " + field_label(fields) + ": " + mismatch_text(read, where()) + "; " +
               kept);
  } else if (fields >= kRowNumbers && fields < kRowFields) {
    report(ck, FindingKind::kTail, Severity::kWarning, line, where().stop + 1,
           "parsing stops at " + field_label(fields) + ": " + mismatch_text(read, where()) +
               "; the players ignore these fields");
  }

  // Limits of the joints this row sets.
  for (int c = 0; c + 2 < std::min(fields, kRowNumbers); ++c) {
    const int i = kColumnOrder[c];
    const int p = scan.row.pulses[i];
    const PulseRange range = scan.ranges[c];
    if (p >= range.lo && p <= range.hi) continue;
    if (!admit(ck, FindingKind::kLimit, Severity::kError)) continue;
    ck.sink(Finding{line, where().start[c + 2] + 1, Severity::kError, limit_text(c + 1, p)});
  }

  // Speed from the row before, at the file's own time base.
  if (index >= 2 && sum.has_period && sum.period > 0) {
    const SpeedExcess excess = speed_excess(before, scan.angles, sum.period, ck.options.max_speed);
    const int fastest = excess.column, over = excess.over;
    const double top = excess.speed;
    if (over > 0 && admit(ck, FindingKind::kSpeed, Severity::kWarning)) {
      std::string more = over > 1 ? text_of(" (and %d more joint%s)", over - 1, over > 2 ? "s" : "")
                                  : std::string();
      ck.sink(Finding{
          line, where().start[fastest + 2] + 1, Severity::kWarning,
          text_of("%s moves %.3f rad in %d ms from the row before: %.2f rad/s, above "
                  "%.3f rad/s",
                  joint_label(fastest).c_str(), std::fabs(scan.angles[fastest] - before[fastest]),
                  sum.period, top, ck.options.max_speed) +
              more});
    }
  }
}

// A line has ended: `chars` counts its characters, line end included.
void finish_line(Check &ck, long line, long chars, bool has_end) {
  const long length = chars - (has_end ? 1 : 0);
  const long player_reads = (chars + kPlayerReadChars - 1) / kPlayerReadChars;
  const long skim_reads = (chars + kSkimReadChars - 1) / kSkimReadChars;
  if (player_reads > 1)
    report(ck, FindingKind::kLongPlayer, Severity::kError, line, kPlayerReadChars + 1,
           text_of("the line is %ld characters long: motion_player reads at most %ld at a time "
                   "and takes it as %ld rows",
                   length, kPlayerReadChars, player_reads));
  if (skim_reads > 1)
    report(ck, FindingKind::kLongSkim, Severity::kError, line, kSkimReadChars + 1,
           text_of("the line is %ld characters long: motion_skim reads at most %ld at a time and "
                   "takes it as %ld rows",
                   length, kSkimReadChars, skim_reads));
}

// Pass one: every row as motion_player reads it.
void scan_player_rows(Check &ck, std::FILE *file) {
  FileSummary &sum = ck.summary;
  PlayerScan scan;
  for (int c = 0; c < kNumberedJoints; ++c) scan.ranges[c] = pulse_limits(c + 1);
  char text[kPlayerReadChars + 1];
  long index = 0;       // rows read
  long line = 1;        // line of the latest read
  long column = 1;      // column where the latest read begins
  long line_chars = 0;  // characters of the current line read so far
  player_reader.attach(file);
  while (player_reader.next()) {
    ++index;
    const std::string_view read = player_reader.last();
    player_reader.copy_last(text);
    if (column == 1) {
      check_row(ck, scan, index, line, read, text);
    } else {
      // The rest of a split line: a row to the player, already reported.
      parse_csv_row(text, scan.row);
      scan.angles = angles_of(scan.row);
    }
    // The loader parses row 1; the loop parses every rows_per_step-th row after it.
    if (index == 1) {
      scan.played = scan.row;
      scan.played_angles = scan.angles;
      scan.played_line = line;
      sum.approach_steps = approach_steps(scan.row.pulses);
    } else if (sum.rows_per_step > 0 && (index - 1) % sum.rows_per_step == 0) {
      parse_csv_row(text, scan.played);
      const ColumnAngles a = angles_of(scan.played);
      note_jump(sum.player_jump, scan.played_angles, a, scan.played_line, line);
      scan.played_angles = a;
      scan.played_line = line;
    }
    line_chars += static_cast<long>(read.size());
    if (read.back() == '\n') {
      finish_line(ck, line, line_chars, true);
      ++line;
      column = 1;
      line_chars = 0;
    } else {
      column += static_cast<long>(read.size());
    }
  }
  const long last_line = line_chars > 0 ? line : line - 1;
  if (line_chars > 0) finish_line(ck, line, line_chars, false);
  sum.lines = last_line;
  sum.player_rows = index;
  if (sum.rows_per_step > 0 && index >= 1) {
    // The step that meets the end still sends the last row read.
    if (index >= 2 && (index - 1) % sum.rows_per_step != 0) {
      parse_csv_row(text, scan.played);
      note_jump(sum.player_jump, scan.played_angles, angles_of(scan.played), scan.played_line,
                last_line);
    }
    sum.play_steps = (index - 1) / sum.rows_per_step + 1;
  }
}

// Pass two: the rows motion_skim commands, every hundredth and the last.
void scan_skim_rows(Check &ck, std::FILE *file) {
  FileSummary &sum = ck.summary;
  MotionRow row;  // zero until a row sets it, as in motion_skim
  ColumnAngles previous{};
  long previous_line = 0;
  char text[kSkimReadChars + 1];
  long index = 0, line = 1, read_line = 0;
  auto command = [&](long at_line) {
    skim_reader.copy_last(text);
    parse_csv_row(text, row);
    const ColumnAngles a = angles_of(row);
    note_jump(previous_line == 0 ? sum.skim_first : sum.skim_jump, previous, a, previous_line,
              at_line);
    previous = a;
    previous_line = at_line;
  };
  skim_reader.attach(file);
  while (skim_reader.next()) {
    ++index;
    read_line = line;
    if (index % kSkimRowsPerStep == 0) command(line);
    if (skim_reader.last().back() == '\n') ++line;
  }
  if (index % kSkimRowsPerStep != 0) command(read_line);
  sum.skim_rows = index;
  sum.skim_steps = (index + kSkimRowsPerStep - 1) / kSkimRowsPerStep;
}

const char *severity_word(Severity severity) {
  switch (severity) {
    case Severity::kError:
      return "error";
    case Severity::kWarning:
      return "warning";
    case Severity::kNote:
      break;
  }
  return "note";
}

// "0.061 rad, joint 10 (rarm_joint_4) from line 246 to 251"
std::string jump_text(const Jump &jump) {
  if (jump.joint_number == 0) return "0 rad";
  std::string from =
      jump.from_line == 0 ? std::string("the zero posture") : text_of("line %ld", jump.from_line);
  return text_of("%.3f rad, %s from %s to line %ld", jump.rad,
                 joint_label(jump.joint_number - 1).c_str(), from.c_str(), jump.to_line);
}

}  // namespace

std::string text_of(const char *format, ...) {
  char buf[768];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  return buf;
}

std::string joint_label(int c) {
  return text_of("joint %02d (%s)", c + 1, jointNum2Text(kColumnOrder[c]));
}

SpeedExcess speed_excess(const ColumnAngles &from, const ColumnAngles &to, int period_ms,
                         double max_speed) {
  SpeedExcess out;
  if (period_ms <= 0) return out;
  const double seconds = period_ms / 1000.0;
  for (int c = 0; c < kNumberedJoints; ++c) {
    const double speed = std::fabs(to[c] - from[c]) / seconds;
    // A move of exactly the threshold (3 degrees, 627 counts, in 10 ms at
    // 5.236 rad/s) comes out an ulp above it from the counts' angles: it
    // is at the servo speed, not above it. A count is 0.008 rad/s at 10 ms.
    if (speed <= max_speed * (1.0 + 1e-9)) continue;
    ++out.over;
    if (speed > out.speed) out.speed = speed, out.column = c;
  }
  return out;
}

std::string period_warning(int period) {
  if (period <= 0)
    return text_of("row period %d ms: motion_player refuses a row period of 0 ms or less", period);
  if (period > kPlayerStepMs) {
    return text_of(
        "row period %d ms is above %d ms: motion_player plays 1 row per %d ms step, "
        "%.0f%% faster than written",
        period, kPlayerStepMs, kPlayerStepMs,
        (static_cast<double>(period) / kPlayerStepMs - 1.0) * 100.0);
  }
  if (kPlayerStepMs % period != 0) {
    const int rows = rows_per_step(period);
    const int file_ms = rows * period;
    return text_of(
        "row period %d ms does not divide %d ms: motion_player plays %d row%s (%d "
        "ms of the file) per %d ms step, %.0f%% slower than written",
        period, kPlayerStepMs, rows, rows == 1 ? "" : "s", file_ms, kPlayerStepMs,
        (static_cast<double>(kPlayerStepMs) / file_ms - 1.0) * 100.0);
  }
  return {};
}

bool within_limits(int joint_number, int count) {
  const PulseRange range = pulse_limits(joint_number);
  return count >= range.lo && count <= range.hi;
}

std::string limit_text(int joint_number, int count) {
  const int c = std::clamp(joint_number, 1, kNumberedJoints) - 1;
  const int i = kColumnOrder[c];
  const PulseRange range = pulse_limits(joint_number);
  const JointLimits &lim = kJointLimits[c];
  const bool above = (count > range.hi) != (pulse[i] < 0);
  return text_of(
      "%s at pulse count %d is %.3f rad, %s its limit %s rad (pulse counts %d..%d are "
      "within)",
      joint_label(c).c_str(), count, pulse2rad(count, i), above ? "above" : "below",
      above ? lim.maxText : lim.minText, range.lo, range.hi);
}

RowLayout locate_fields(std::string_view line) {
  RowLayout out;
  const char *const begin = line.data();
  const char *const end = begin + std::min(line.find('\0'), line.size());
  const char *p = begin;
  for (std::size_t k = 0; k < kRowFormat.size(); ++k) {
    const char f = kRowFormat[k];
    if (is_space(f)) {
      while (p != end && is_space(*p)) ++p;
      continue;
    }
    if (f == '%' && kRowFormat[k + 1] == 'd') {
      ++k;
      while (p != end && is_space(*p)) ++p;
      out.stop = p - begin;
      out.expected = 'd';
      const char *q = p;
      bool negative = false;
      if (q != end && (*q == '+' || *q == '-')) negative = *q++ == '-';
      const char *digits = q;
      long long magnitude = 0;
      for (; q != end && is_digit(*q); ++q)
        if (magnitude <= (1LL << 32)) magnitude = magnitude * 10 + (*q - '0');
      if (q == digits) return out;
      if (magnitude > (negative ? (1LL << 31) : (1LL << 31) - 1)) {
        out.out_of_range = true;
        return out;
      }
      out.start[out.fields++] = p - begin;
      p = q;
      continue;
    }
    if (f == '%') {
      ++k;  // %c: any one character, white space included
      out.stop = p - begin;
      out.expected = 'c';
      if (p == end) return out;
      out.start[out.fields++] = p - begin;
      ++p;
      continue;
    }
    out.stop = p - begin;
    out.expected = f;
    if (p == end || *p != f) return out;
    ++p;
  }
  out.stop = p - begin;
  out.expected = 0;
  return out;
}

PulseRange pulse_limits(int joint_number) {
  const int c = std::clamp(joint_number, 1, kNumberedJoints) - 1;
  const int i = kColumnOrder[c];
  const double a = kJointLimits[c].min * pulse[i] / kRadPerDegree;
  const double b = kJointLimits[c].max * pulse[i] / kRadPerDegree;
  return PulseRange{static_cast<int>(std::ceil(std::min(a, b))),
                    static_cast<int>(std::floor(std::max(a, b)))};
}

long approach_steps(const PulseCounts &target) {
  long most = 0;
  for (int i : kColumnOrder) {
    const double goal = pulse2rad(target[i], i);
    long moves = 0;
    if (std::fabs(goal) > kApproachWalkLimit) {
      moves = static_cast<long>(std::ceil((std::fabs(goal) - kApproachTolerance) / kApproachStep));
    } else {
      // Walk it as the player does, so rounding lands the same way.
      double at = 0.0;
      while (std::fabs(goal - at) > kApproachTolerance) {
        at += at > goal ? -kApproachStep : kApproachStep;
        ++moves;
      }
    }
    most = std::max(most, moves);
  }
  return most + 1;
}

FileSummary check_motion_file(const char *path, const CheckOptions &options,
                              const FindingSink &sink) {
  FileSummary summary;
  Check ck{options, sink, summary};
  std::FILE *file = open_motion_file(path);
  if (!file) {
    const int error = errno;
    struct stat st;
    const bool directory = stat(path, &st) == 0 && S_ISDIR(st.st_mode);
    // The players refuse FIFOs and devices too; open_motion_file says EINVAL.
    const char *why = directory         ? "it is a directory"
                      : error == EINVAL ? "it is not a regular file"
                                        : std::strerror(error);
    report(ck, FindingKind::kFile, Severity::kError, 0, 0,
           std::string("cannot open the file: ") + why);
    return summary;
  }
  summary.opened = true;
  scan_player_rows(ck, file);
  std::fclose(file);
  if (player_reader.failed()) {
    report(ck, FindingKind::kFile, Severity::kError, 0, 0,
           "cannot read the file: a read failed before its end");
    return summary;
  }
  if (summary.player_rows == 0) {
    report(ck, FindingKind::kFile, Severity::kError, 1, 1,
           "the file is empty: motion_player has no row period and no posture to approach");
  } else if (summary.player_rows == 1) {
    report(ck, FindingKind::kFile, Severity::kWarning, 1, 1,
           "the file has only one row: motion_player approaches it and has nothing left to play");
  }
  file = open_motion_file(path);
  if (file) {
    scan_skim_rows(ck, file);
    std::fclose(file);
  }
  for (int k = 0; k < kKinds; ++k)
    if (ck.hidden[k] > 0)
      sink(Finding{0, 0, Severity::kNote,
                   text_of("%ld more %s not shown", ck.hidden[k], kKindNames[k])});
  return summary;
}

std::string format_finding(std::string_view path, const Finding &finding) {
  std::string out(path);
  if (finding.line > 0) out += text_of(":%ld", finding.line);
  if (finding.line > 0 && finding.column > 0) out += text_of(":%ld", finding.column);
  out += ": ";
  out += severity_word(finding.severity);
  out += ": ";
  out += finding.message;
  return out;
}

void print_summary(std::FILE *out, std::string_view path, const FileSummary &s) {
  const std::string name(path);
  if (!s.opened) {
    std::fprintf(out, "%s: not checked; %ld error%s\n", name.c_str(), s.errors,
                 s.errors == 1 ? "" : "s");
    return;
  }
  std::string rows = text_of("%ld row%s", s.lines, s.lines == 1 ? "" : "s");
  if (s.player_rows != s.lines || s.skim_rows != s.lines)
    rows = text_of("%ld line%s (motion_player reads %ld rows, motion_skim %ld)", s.lines,
                   s.lines == 1 ? "" : "s", s.player_rows, s.skim_rows);
  std::string period =
      s.has_period ? text_of("row period %d ms", s.period) : std::string("no row period");
  if (s.has_period && s.period > 0)
    period += text_of(": %.3f s of motion", s.lines * (s.period / 1000.0));
  std::fprintf(out, "%s: %s, %s; %ld error%s, %ld warning%s\n", name.c_str(), rows.c_str(),
               period.c_str(), s.errors, s.errors == 1 ? "" : "s", s.warnings,
               s.warnings == 1 ? "" : "s");

  if (s.rows_per_step > 0 && s.player_rows > 0) {
    std::fprintf(out,
                 "%s: motion_player: %d row%s per %d ms step; approach from the zero posture "
                 "%.3f s (%ld step%s), then playback %.3f s (%ld step%s); largest jump %s\n",
                 name.c_str(), s.rows_per_step, s.rows_per_step == 1 ? "" : "s", kPlayerStepMs,
                 s.approach_steps * kPlayerStepMs / 1000.0, s.approach_steps,
                 s.approach_steps == 1 ? "" : "s", s.play_steps * kPlayerStepMs / 1000.0,
                 s.play_steps, s.play_steps == 1 ? "" : "s", jump_text(s.player_jump).c_str());
  } else {
    std::fprintf(out, "%s: motion_player: cannot play it (%s)\n", name.c_str(),
                 s.player_rows == 0 ? "no rows"
                 : s.has_period     ? text_of("row period %d ms", s.period).c_str()
                                    : "no row period");
  }

  if (s.skim_rows > 0) {
    std::fprintf(out,
                 "%s: motion_skim: %d rows per %d ms step; playback %.3f s (%ld step%s); first "
                 "command %s; largest jump %s\n",
                 name.c_str(), kSkimRowsPerStep, kSkimStepMs, s.skim_steps * kSkimStepMs / 1000.0,
                 s.skim_steps, s.skim_steps == 1 ? "" : "s", jump_text(s.skim_first).c_str(),
                 jump_text(s.skim_jump).c_str());
  } else {
    std::fprintf(out, "%s: motion_skim: no rows; it commands the zero posture\n", name.c_str());
  }

  // What a short row leaves out comes from before it, maybe from another file.
  if (s.short_rows > 0) {
    std::fprintf(out,
                 "%s: %ld short row%s: the joints a short row leaves out keep the values of "
                 "whatever was played before it, from this file or an earlier one\n",
                 name.c_str(), s.short_rows, s.short_rows == 1 ? "" : "s");
  }
}

long play_stop_ms(std::string_view program, const FileSummary &s) {
  if (!s.opened) return -1;
  if (program == "motion_skim") {
    const long steps = std::max(s.skim_steps, 1L);
    return kFirstStepMs + kSkimStepMs * (steps + 1);
  }
  if (program == "motion_player") {
    if (s.rows_per_step <= 0 || s.player_rows == 0) return -1;
    return kFirstStepMs + kPlayerStepMs * (s.approach_steps + s.play_steps);
  }
  return -1;
}

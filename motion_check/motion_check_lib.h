// Checks of motion files against what motion_player and motion_skim really
// do with them: the same row parser, the same line splitting, the same
// sampling of rows. Used by motion_check and tools/preview.
#pragma once

#include <array>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

#include "body_model.h"
#include "motion_rows.h"
#include "playback.h"

// Default joint speed threshold, rad/s: 60 degrees in 0.2 s, the rating of a
// small hobby-size servo under load. A row faster than this is a posture the
// servo cannot reach in time: the robot lags behind the file.
inline constexpr double kDefaultMaxSpeed = 5.235987755982989;
// Findings of one kind shown per file; the rest are only counted.
inline constexpr long kShownPerKind = 10;
// Characters one line read takes: motion_player (500-byte buffer) and
// motion_skim (1000-byte buffer), each less its terminator.
inline constexpr long kPlayerReadChars = static_cast<long>(kPlayerLineBytes) - 1;
inline constexpr long kSkimReadChars = static_cast<long>(kSkimLineBytes) - 1;

enum class Severity { kNote, kWarning, kError };

// Kinds of findings; each kind is capped at kShownPerKind per file.
enum class FindingKind {
  kFile,         // cannot open, empty, one row
  kPeriod,       // the first row's period
  kBreak,        // a row that stops parsing before its last joint
  kBlank,        // a blank row
  kTail,         // a row without its four closing characters
  kOtherPeriod,  // a later row states another period
  kLongPlayer,   // a line motion_player splits
  kLongSkim,     // a line motion_skim splits
  kLimit,        // a pulse count beyond the joint's limits
  kSpeed,        // a joint faster than the threshold
  kCount
};

// One finding. Line and column are 1-based (columns count bytes); column 0
// for a finding about a stretch of lines (balance); both are 0
// for a finding about the file as a whole.
struct Finding {
  long line = 0;
  long column = 0;
  Severity severity = Severity::kNote;
  std::string message;
};

struct CheckOptions {
  double max_speed = kDefaultMaxSpeed;  // rad/s, finite and > 0
};

// Largest change of one joint between two consecutive commanded postures.
struct Jump {
  double rad = 0.0;
  int joint_number = 0;  // JointNumber 1..21; 0 when there was no change
  long from_line = 0;    // line of the earlier posture; 0 for the zero posture
  long to_line = 0;
};

struct FileSummary {
  bool opened = false;
  long lines = 0;           // text lines, the last one with or without a line end
  long player_rows = 0;     // rows as motion_player reads them
  long skim_rows = 0;       // rows as motion_skim reads them
  bool has_period = false;  // field 1 of the first row parsed
  int period = 0;           // ms per row, from the first row
  int rows_per_step = 0;    // rows motion_player consumes per step; 0: cannot play
  long approach_steps = 0;  // motion_player steps to reach row 1 from the zero posture
  long play_steps = 0;      // motion_player steps after the approach until the file ends
  long skim_steps = 0;      // motion_skim steps until it commands the last row
  long short_rows = 0;      // rows that leave joints out: blank, or parsing stops early
  Jump player_jump;         // between the rows motion_player commands
  Jump skim_first;          // motion_skim's first command against the zero posture
  Jump skim_jump;           // between the rows motion_skim commands
  long errors = 0;
  long warnings = 0;
};

using FindingSink = std::function<void(const Finding &)>;

// Checks one motion file, reporting findings in file order (notes about
// findings not shown come last). Memory use does not grow with the file.
FileSummary check_motion_file(const char *path, const CheckOptions &options,
                              const FindingSink &sink);

// "FILE:LINE:COLUMN: error: message" (or "FILE: ..." for the whole file).
std::string format_finding(std::string_view path, const Finding &finding);
// Writes the summary lines of one file.
void print_summary(std::FILE *out, std::string_view path, const FileSummary &summary);

// Simulated ms from the start of `program` ("motion_player" or
// "motion_skim"), with the robot in the zero posture and the file named at
// once, until its last row has been commanded and has acted for one step.
// -1 when the program cannot play the file or is not one of the two.
long play_stop_ms(std::string_view program, const FileSummary &summary);

// Pulse counts whose angles lie within a joint's display limits.
struct PulseRange {
  int lo = 0;
  int hi = 0;
};
// For JointNumber 1..21, converted with the joint's calibration (a negative
// calibration swaps which limit gives the smaller count).
PulseRange pulse_limits(int joint_number);

// Steps motion_player needs to approach `target` from the zero posture,
// counting the step that finds every joint arrived.
long approach_steps(const PulseCounts &target);

// "joint 05 (rleg_joint_5)" for column c (0..20).
std::string joint_label(int c);
// printf into a std::string, cut at 767 bytes: the findings' text.
[[gnu::format(printf, 1, 2)]] std::string text_of(const char *format, ...);

// The joints faster than `max_speed` between two rows `period_ms` apart.
struct SpeedExcess {
  int column = -1;     // the fastest of them, -1 for none
  double speed = 0.0;  // its speed, rad/s
  int over = 0;        // how many joints are above the threshold
};
SpeedExcess speed_excess(const ColumnAngles &from, const ColumnAngles &to, int period_ms,
                         double max_speed);

// What motion_player does with a row period it does not play as written (0
// or less, above 50 ms, or not dividing 50 ms); empty when it plays it at
// the file's own time base.
std::string period_warning(int period);

// True when `count` lies within JointNumber `joint_number`'s limits.
bool within_limits(int joint_number, int count);
// "joint 14 (lleg_joint_4) at pulse count 300 is -0.025 rad, below its
// limit ..." for a count beyond the limits.
std::string limit_text(int joint_number, int count);

// Where the row parser got to in one line.
struct RowLayout {
  int fields = 0;                        // fields stored, as parse_csv_row counts them
  std::array<long, kRowFields> start{};  // 0-based offset of each stored field's text
  long stop = 0;                         // offset of the text that did not match
  char expected = 0;                     // 'd' a number, 'c' any character, else that literal
  bool out_of_range = false;             // a number was there but outside the int range
};
// Follows the row format over `line` (up to its first NUL, as the parser
// does) and records where each field starts and where parsing stops.
RowLayout locate_fields(std::string_view line);

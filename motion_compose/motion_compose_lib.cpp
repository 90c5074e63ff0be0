// Keyframe scripts composed into motion rows; mirror, retime and reverse.
#include "motion_compose_lib.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <limits>
#include <string_view>

#include "line_reader.h"

namespace {

// Postures and joined motions are read as motion_player reads its files.
LineReader reader{kPlayerReadChars + 1};

// Fields 1..23 are numbers: the period, field 2 and the 21 joint columns.
constexpr int kRowNumbers = 2 + kNumberedJoints;

// Counts findings on their way to the sink.
struct Reporter {
  const FindingSink &sink;
  Composed &out;
  void error(long line, long column, const std::string &message) {
    ++out.errors;
    sink(Finding{line, column, Severity::kError, message});
  }
  void warning(long line, long column, const std::string &message) {
    ++out.warnings;
    sink(Finding{line, column, Severity::kWarning, message});
  }
};

// One word of a script line and the column it starts at (1-based).
struct Word {
  std::string_view text;
  long column = 0;
};

enum class StepKind { kPosture, kZero, kHold, kJoints, kPlay };

// One keyframe line of the script.
struct Step {
  long line = 0;
  long column = 1;  // where the line's first word starts
  StepKind kind = StepKind::kZero;
  long duration = -1;  // ms; -1 when the line gives none
  std::string name;    // posture or motion file, as written
  ColumnAngles target{};
  std::vector<PulseCounts> rows;  // kPlay: the motion at the row period
};

// A run of result rows that one script line made.
enum class SpanKind { kMove, kJump, kPlay };
struct Span {
  std::size_t first = 0;  // result rows first..last
  std::size_t last = 0;
  const Step *step = nullptr;
  SpanKind kind = SpanKind::kMove;
  int from_key = 0;  // keyframe numbers, 1-based, of a move
  int to_key = 0;
};

bool is_digits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::vector<Word> split_words(std::string_view line) {
  std::vector<Word> words;
  std::size_t k = 0;
  while (k < line.size()) {
    if (line[k] == ' ' || line[k] == '\t' || line[k] == '\r') {
      ++k;
      continue;
    }
    const std::size_t start = k;
    while (k < line.size() && line[k] != ' ' && line[k] != '\t' && line[k] != '\r') ++k;
    words.push_back(Word{line.substr(start, k - start), static_cast<long>(start) + 1});
  }
  return words;
}

// Column (0..20) of a joint named by device name or two-digit number; -1
// for none. `why` says what is wrong with a name that is not a column.
int column_named(std::string_view name, std::string &why) {
  if (name.size() == 2 && is_digits(name)) {
    const int number = (name[0] - '0') * 10 + (name[1] - '0');
    if (number >= 1 && number <= kNumberedJoints) return number - 1;
    why = "joint numbers run from 01 to 21";
    return -1;
  }
  for (int c = 0; c < kNumberedJoints; ++c)
    if (name == kJoints[kColumnOrder[c]].name) return c;
  for (const JointInfo &info : kJoints)
    if (name == info.name) {
      why = "it has no column in motion files";
      return -1;
    }
  why = "name a joint by its device name (rleg_joint_4) or two-digit number (04)";
  return -1;
}

// The script's folder with a closing '/', or "" for the working directory.
std::string folder_of(const char *path) {
  const char *slash = std::strrchr(path, '/');
  return slash == nullptr ? std::string() : std::string(path, slash + 1);
}

std::string resolve(const std::string &folder, std::string_view name) {
  if (!name.empty() && name[0] == '/') return std::string(name);
  return folder + std::string(name);
}

// Why a file cannot be opened, as open_motion_file left errno.
std::string open_error(int error) {
  if (error == EISDIR) return "it is a directory";
  if (error == EINVAL) return "it is not a regular file";
  return std::strerror(error);
}

// "field 9, joint 07 (rarm_joint_1)" for 0-based field f of a row.
std::string field_name(int f) {
  if (f >= 2 && f < kRowNumbers) return text_of("field %d, ", f + 1) + joint_label(f - 2);
  return text_of("field %d", f + 1);
}

// The first row of a posture file, all 21 joints parsed; empty `why` on success.
bool read_posture(const std::string &path, MotionRow &row, std::string &why) {
  std::FILE *file = open_motion_file(path.c_str());
  if (file == nullptr) {
    why = "cannot open it: " + open_error(errno);
    return false;
  }
  reader.attach(file);
  const bool got = reader.next();
  char text[kPlayerReadChars + 1];
  if (got) reader.copy_last(text);
  const bool failed = reader.failed();
  reader.attach(nullptr);
  std::fclose(file);
  if (!got) {
    why = failed ? "cannot read it" : "it is empty";
    return false;
  }
  const int fields = parse_csv_row(text, row);
  if (fields < kRowNumbers) {
    why = "its first row stops parsing at " + field_name(fields);
    return false;
  }
  return true;
}

// Every row of a motion file, as motion_player reads them, after the file
// passed motion_check's rules without an error. It may last `max_ms` at most.
bool read_motion(const std::string &path, const CheckOptions &check, long max_ms,
                 std::vector<PulseCounts> &rows, int &period, std::string &why) {
  std::string first_error;
  const FileSummary summary = check_motion_file(path.c_str(), check, [&](const Finding &f) {
    if (f.severity == Severity::kError && first_error.empty())
      first_error = format_finding(path, f);
  });
  if (summary.errors > 0) {
    why = text_of("motion_check finds %ld error%s in it, the first: ", summary.errors,
                  summary.errors == 1 ? "" : "s") +
          first_error;
    return false;
  }
  const long max_rows = summary.player_rows;
  if (static_cast<double>(max_rows - 1) * summary.period > static_cast<double>(max_ms)) {
    why = text_of("it lasts %.3f s, more than the %ld ms a motion may last",
                  static_cast<double>(max_rows - 1) * summary.period / 1000.0, max_ms);
    return false;
  }
  std::FILE *file = open_motion_file(path.c_str());
  if (file == nullptr) {
    why = "cannot open it: " + open_error(errno);
    return false;
  }
  rows.clear();
  rows.reserve(static_cast<std::size_t>(summary.player_rows));
  MotionRow row;
  char text[kPlayerReadChars + 1];
  reader.attach(file);
  while (static_cast<long>(rows.size()) < max_rows && reader.next()) {
    reader.copy_last(text);
    parse_csv_row(text, row);
    rows.push_back(row.pulses);
  }
  const bool failed = reader.failed();
  reader.attach(nullptr);
  std::fclose(file);
  period = summary.period;
  if (failed || rows.empty()) {
    why = failed ? "cannot read it" : "it is empty";
    return false;
  }
  return true;
}

// Parses a duration word; empty `why` when it is good.
long parse_duration(std::string_view word, int period, std::string &why) {
  if (!is_digits(word)) {
    why = "bad duration '" + std::string(word) + "': a whole number of ms is expected";
    return -1;
  }
  long ms = kMaxMotionMs + 1;  // also for a number too long to read
  if (word.size() <= 9) std::from_chars(word.data(), word.data() + word.size(), ms);
  if (ms <= 0 || ms > kMaxMotionMs) {
    why = text_of("bad duration %s ms: it must be 1 to %ld ms", std::string(word).c_str(),
                  kMaxMotionMs);
    return -1;
  }
  if (ms % period != 0) {
    const long below = ms / period * period;
    why = text_of(
        "bad duration %ld ms: not a multiple of the %d ms row period (%ld or %ld ms "
        "would be)",
        ms, period, below, below + period);
    if (below == 0)
      why = text_of("bad duration %ld ms: shorter than the %d ms row period", ms, period);
    return -1;
  }
  return ms;
}

// The script's lines turned into steps, each posture and joined motion
// read and checked. Keyframe postures beyond the limits are errors.
// Reading stops at the line where the motion grows longer than `max_ms`.
std::vector<Step> read_script(const char *path, const std::string &text, int period, long max_ms,
                              const CheckOptions &check, Reporter &report) {
  const std::string folder = folder_of(path);
  long total = 0;  // ms of motion up to the latest line
  std::vector<Step> steps;
  ColumnAngles current{};  // the posture the motion is in after each line
  long line = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    ++line;
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string_view body(text.data() + at, end - at);
    at = end + 1;
    body = body.substr(0, body.find('#'));
    const std::vector<Word> words = split_words(body);
    if (words.empty()) continue;
    if (body.find('\0') != std::string_view::npos) {
      report.error(line, static_cast<long>(body.find('\0')) + 1, "a NUL byte in the line");
      continue;
    }

    Step step;
    step.line = line;
    step.column = words[0].column;
    const bool first = steps.empty();
    const std::string_view head = words[0].text;
    std::size_t used = 1;  // words the keyframe itself takes
    bool bad = false;
    if (head == "zero") {
      step.kind = StepKind::kZero;
    } else if (head == "hold") {
      step.kind = StepKind::kHold;
      if (first) {
        report.error(line, step.column, "hold on the first line: there is no posture to keep yet");
        bad = true;
      }
    } else if (head.find('=') != std::string_view::npos) {
      step.kind = StepKind::kJoints;
      step.target = current;
      used = 0;
      for (; used < words.size(); ++used) {
        const Word &w = words[used];
        const std::size_t eq = w.text.find('=');
        if (eq == std::string_view::npos) break;
        std::string why;
        const int c = column_named(w.text.substr(0, eq), why);
        if (c < 0) {
          report.error(line, w.column,
                       "unknown joint '" + std::string(w.text.substr(0, eq)) + "': " + why);
          bad = true;
          continue;
        }
        const std::string_view value = w.text.substr(eq + 1);
        double rad = 0.0;
        const auto [ptr, ec] = std::from_chars(value.data(), value.data() + value.size(), rad);
        if (ec != std::errc() || ptr != value.data() + value.size() || !std::isfinite(rad)) {
          report.error(line, w.column + static_cast<long>(eq) + 1,
                       "bad angle '" + std::string(value) + "' for " + joint_label(c) +
                           ": a number of rad is expected");
          bad = true;
          continue;
        }
        const int count = count_of(rad, kColumnOrder[c]);
        if (count == std::numeric_limits<int>::max() || count == std::numeric_limits<int>::min()) {
          // No pulse count holds it: the saturated count would say nothing.
          const JointLimits &lim = kJointLimits[c];
          report.error(line, w.column,
                       joint_label(c) + " at " +
                           (value.size() > 32 ? std::string(value.substr(0, 32)) + "..."
                                              : std::string(value)) +
                           " rad: the angle is beyond the servo's range (its limits are " +
                           lim.minText + " to " + lim.maxText + " rad)");
          bad = true;
        } else if (!within_limits(c + 1, count)) {
          report.error(line, w.column, limit_text(c + 1, count));
          bad = true;
        }
        step.target[c] = rad;
      }
    } else {
      step.name = std::string(head);
      const std::string file = resolve(folder, head);
      if (words.size() > 1 && words[1].text == "play") {
        step.kind = StepKind::kPlay;
        used = 2;
        std::vector<PulseCounts> rows;
        int own = 0;
        std::string why;
        if (!read_motion(file, check, max_ms, rows, own, why)) {
          report.error(line, step.column, "motion " + step.name + ": " + why);
          bad = true;
        } else {
          step.rows = resample(rows, own, period, 1.0);
          step.target = column_angles(step.rows.front());
        }
      } else {
        step.kind = StepKind::kPosture;
        MotionRow row;
        std::string why;
        if (!read_posture(file, row, why)) {
          report.error(line, step.column, "posture " + step.name + ": " + why);
          bad = true;
        } else {
          for (int c = 0; c < kNumberedJoints; ++c) {
            const int count = row.pulses[kColumnOrder[c]];
            if (within_limits(c + 1, count)) continue;
            report.error(line, step.column,
                         "posture " + step.name + ": " + limit_text(c + 1, count));
            bad = true;
          }
          step.target = column_angles(row.pulses);
        }
      }
    }

    // What follows the keyframe: its duration, or nothing.
    if (words.size() > used + 1) {
      report.error(line, words[used + 1].column,
                   "unexpected '" + std::string(words[used + 1].text) +
                       "': a keyframe line ends with its duration");
      bad = true;
    } else if (words.size() == used + 1) {
      const Word &w = words[used];
      std::string why;
      if (first) {
        report.error(line, w.column,
                     "the first keyframe has a duration, but there is nothing to move from: it "
                     "is the motion's first row");
        bad = true;
      } else if ((step.duration = parse_duration(w.text, period, why)) < 0) {
        report.error(line, w.column, why);
        bad = true;
      }
    } else if (!first && step.kind != StepKind::kPlay) {
      report.error(line, static_cast<long>(body.size()) + 1,
                   "bad duration: the line gives none; every keyframe after the first needs one");
      bad = true;
    }

    if (step.kind == StepKind::kZero) step.target = ColumnAngles{};
    if (step.kind == StepKind::kHold) step.target = current;
    if (bad) step.target = current;  // later lines go on from a known posture
    if (step.kind == StepKind::kPlay && !step.rows.empty())
      current = column_angles(step.rows.back());
    else
      current = step.target;
    total += std::max(step.duration, 0L);
    if (!step.rows.empty())
      total += static_cast<long>(step.rows.size() - (step.duration > 0 ? 1 : 0)) * period;
    steps.push_back(std::move(step));
    if (total > max_ms) {
      report.error(line, steps.back().column,
                   text_of("bad duration: by this line the motion lasts %ld ms, more than the %ld "
                           "ms it may",
                           total, max_ms));
      break;
    }
  }
  return steps;
}

// Lays the steps out in time: result rows and the spans that made them.
struct Timeline {
  int period;
  bool through;
  Composed &out;
  std::vector<Span> spans;
  KeyChain chain;
  std::vector<const Step *> chain_steps;  // the line of each keyframe of the chain
  std::vector<int> chain_keys;            // its keyframe number
  long time = 0;                          // ms of the latest row

  void start(const Step &step, int key) {
    out.rows.push_back(counts_of(step.target));
    spans.push_back(Span{0, 0, &step, SpanKind::kMove, key, key});
    begin_chain(&step, key);
  }
  void begin_chain(const Step *step, int key) {
    chain.clear();
    chain_steps.assign(1, step);
    chain_keys.assign(1, key);
    chain.add(time, column_angles(out.rows.back()));
  }
  void keyframe(const Step &step, int key) {
    time += step.duration;
    chain.add(time, step.target);
    chain_steps.push_back(&step);
    chain_keys.push_back(key);
  }
  // Samples the chain's moves into rows; the chain then starts anew at its end.
  void flush() {
    if (chain.size() < 2) return;
    chain.solve(through);
    for (std::size_t k = 1; k < chain.size(); ++k) {
      const std::size_t first = out.rows.size();
      for (long t = chain.time(k - 1) + period; t <= chain.time(k); t += period)
        out.rows.push_back(counts_of(t == chain.time(k) ? chain.posture(k)
                                                        : chain.position(static_cast<double>(t))));
      spans.push_back(Span{first, out.rows.size() - 1, chain_steps[k], SpanKind::kMove,
                           chain_keys[k - 1], chain_keys[k]});
    }
    begin_chain(chain_steps.back(), chain_keys.back());
  }
  void play(const Step &step, int key) {
    std::size_t from = 0;
    if (step.duration > 0) {
      keyframe(step, key);
      flush();
      from = 1;
    } else if (out.rows.empty()) {
      // The motion is the script's start: its first row is the first row.
      out.rows.push_back(step.rows.front());
      spans.push_back(Span{0, 0, &step, SpanKind::kPlay, key, key});
      from = 1;
    } else {
      flush();
      time += period;
      out.rows.push_back(step.rows.front());
      spans.push_back(
          Span{out.rows.size() - 1, out.rows.size() - 1, &step, SpanKind::kJump, key, key});
      from = 1;
    }
    const std::size_t first = out.rows.size();
    for (std::size_t r = from; r < step.rows.size(); ++r) out.rows.push_back(step.rows[r]);
    time += static_cast<long>(step.rows.size() - from) * period;
    if (out.rows.size() > first)
      spans.push_back(Span{first, out.rows.size() - 1, &step, SpanKind::kPlay, key, key});
    begin_chain(&step, key);
  }
};

// Shortest duration, a multiple of the row period, that brings a move whose
// fastest joint reaches `speed` over `ms` under the threshold.
long duration_for(double speed, long ms, double max_speed, int period) {
  const double need = ms * speed / max_speed;
  long at_least = static_cast<long>(std::ceil(need / period)) * period;
  return std::max(at_least, ms + period);
}

// Limits and speed of each span, named by the span's script line.
void check_spans(const std::vector<Span> &spans, const Composed &out, const CheckOptions &check,
                 bool speed_checked, Reporter &report) {
  for (const Span &span : spans) {
    const long line = span.step->line;
    const long column = span.step->column;
    bool limited = false;
    double top = 0.0;
    int fastest = -1;
    double moved = 0.0;
    for (std::size_t r = span.first; r <= span.last; ++r) {
      const PulseCounts &row = out.rows[r];
      for (int c = 0; c < kNumberedJoints && !limited; ++c) {
        const int count = row[kColumnOrder[c]];
        if (within_limits(c + 1, count)) continue;
        report.error(line, column,
                     text_of("row %zu of the result: ", r + 1) + limit_text(c + 1, count));
        limited = true;
      }
      if (r == 0 || !speed_checked) continue;
      const ColumnAngles before = column_angles(out.rows[r - 1]);
      const ColumnAngles now = column_angles(row);
      const SpeedExcess excess = speed_excess(before, now, out.period_ms, check.max_speed);
      if (excess.over > 0 && excess.speed > top) {
        top = excess.speed;
        fastest = excess.column;
        moved = std::fabs(now[fastest] - before[fastest]);
      }
    }
    if (fastest < 0) continue;
    const std::string joint = joint_label(fastest);
    const Step &step = *span.step;
    switch (span.kind) {
      case SpanKind::kMove:
        report.warning(line, column,
                       text_of("%s needs %.1f rad/s between keyframes %d and %d, above %.3f rad/s; "
                               "give it at least %ld ms",
                               joint.c_str(), top, span.from_key, span.to_key, check.max_speed,
                               duration_for(top, step.duration, check.max_speed, out.period_ms)));
        break;
      case SpanKind::kJump: {
        // A minimum-jerk move peaks at 15/8 of its mean speed.
        const double need = 1.875 * moved / check.max_speed * 1000.0;
        const long ms = std::max<long>(
            static_cast<long>(std::ceil(need / out.period_ms)) * out.period_ms, out.period_ms);
        report.warning(line, column,
                       text_of("%s jumps %.3f rad into the first row of %s: %.1f rad/s, above "
                               "%.3f rad/s; give the line a duration of at least %ld ms",
                               joint.c_str(), moved, step.name.c_str(), top, check.max_speed, ms));
        break;
      }
      case SpanKind::kPlay:
        report.warning(line, column,
                       text_of("%s moves at %.1f rad/s in %s, above %.3f rad/s", joint.c_str(), top,
                               step.name.c_str(), check.max_speed));
        break;
    }
  }
}

// Whole-file checks of a result: limits and the speed threshold.
void check_result(const Composed &out, const ComposeOptions &options, Reporter &report) {
  double top = 0.0;
  int fastest = -1;
  std::size_t at = 0;
  for (std::size_t r = 0; r < out.rows.size(); ++r) {
    for (int c = 0; c < kNumberedJoints; ++c) {
      const int count = out.rows[r][kColumnOrder[c]];
      if (within_limits(c + 1, count)) continue;
      report.error(0, 0, text_of("row %zu of the result: ", r + 1) + limit_text(c + 1, count));
      return;
    }
    if (r == 0) continue;
    const SpeedExcess excess =
        speed_excess(column_angles(out.rows[r - 1]), column_angles(out.rows[r]), out.period_ms,
                     options.max_speed);
    if (excess.over > 0 && excess.speed > top) top = excess.speed, fastest = excess.column, at = r;
  }
  if (fastest < 0) return;
  std::string advice;
  if (options.speed > 1.0)
    advice = text_of("; --speed %.2f or less keeps it under",
                     std::max(1.0, options.speed * options.max_speed / top));
  report.warning(0, 0,
                 text_of("%s moves at %.1f rad/s at row %zu of the result, above %.3f rad/s",
                         joint_label(fastest).c_str(), top, at + 1, options.max_speed) +
                     advice);
}

bool read_script_text(const char *path, std::string &text, std::string &why) {
  std::FILE *file = open_motion_file(path);
  if (file == nullptr) {
    why = "cannot open the script: " + open_error(errno);
    return false;
  }
  text.clear();
  char block[4096];
  std::size_t got;
  while ((got = std::fread(block, 1, sizeof block, file)) > 0) {
    text.append(block, got);
    if (static_cast<long>(text.size()) > kMaxScriptBytes) break;
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) {
    why = "cannot read the script: a read failed before its end";
    return false;
  }
  if (static_cast<long>(text.size()) > kMaxScriptBytes) {
    why = text_of("the script is larger than %ld bytes", kMaxScriptBytes);
    return false;
  }
  return true;
}

}  // namespace

void KeyChain::add(long time_ms, const ColumnAngles &posture) {
  times_.push_back(time_ms);
  at_.push_back(posture);
}

void KeyChain::solve(bool through) {
  through_ = through;
  const std::size_t n = times_.size();
  velocity_.assign(n, ColumnAngles{});
  if (!through) return;
  // Monotone cubic: at an inner keyframe between two moves the same way,
  // a weighted harmonic mean of the two slopes; 0 where the motion turns.
  for (std::size_t k = 1; k + 1 < n; ++k) {
    const double h0 = static_cast<double>(times_[k] - times_[k - 1]);
    const double h1 = static_cast<double>(times_[k + 1] - times_[k]);
    for (int c = 0; c < kNumberedJoints; ++c) {
      const double d0 = (at_[k][c] - at_[k - 1][c]) / h0;
      const double d1 = (at_[k + 1][c] - at_[k][c]) / h1;
      if (d0 * d1 <= 0.0) continue;
      velocity_[k][c] = 3.0 * (h0 + h1) / ((2.0 * h1 + h0) / d0 + (h1 + 2.0 * h0) / d1);
    }
  }
}

std::size_t KeyChain::segment(double t_ms) const {
  const auto it = std::lower_bound(times_.begin(), times_.end(), t_ms);
  if (it == times_.begin()) return 1;
  if (it == times_.end()) return times_.size() - 1;
  return static_cast<std::size_t>(it - times_.begin());
}

ColumnAngles KeyChain::position(double t_ms) const {
  if (times_.size() < 2) return times_.empty() ? ColumnAngles{} : at_[0];
  const std::size_t k = segment(t_ms);
  const double h = static_cast<double>(times_[k] - times_[k - 1]);
  const double u = std::clamp((t_ms - static_cast<double>(times_[k - 1])) / h, 0.0, 1.0);
  ColumnAngles out;
  if (!through_) {
    const double s = min_jerk(u);
    for (int c = 0; c < kNumberedJoints; ++c)
      out[c] = at_[k - 1][c] + (at_[k][c] - at_[k - 1][c]) * s;
    return out;
  }
  // Cubic Hermite basis.
  const double u2 = u * u, u3 = u2 * u;
  const double h00 = 2 * u3 - 3 * u2 + 1, h10 = u3 - 2 * u2 + u, h01 = -2 * u3 + 3 * u2,
               h11 = u3 - u2;
  for (int c = 0; c < kNumberedJoints; ++c)
    out[c] = h00 * at_[k - 1][c] + h10 * h * velocity_[k - 1][c] + h01 * at_[k][c] +
             h11 * h * velocity_[k][c];
  return out;
}

ColumnAngles KeyChain::velocity(double t_ms) const {
  ColumnAngles out{};
  if (times_.size() < 2) return out;
  const std::size_t k = segment(t_ms);
  const double h = static_cast<double>(times_[k] - times_[k - 1]);
  const double u = std::clamp((t_ms - static_cast<double>(times_[k - 1])) / h, 0.0, 1.0);
  for (int c = 0; c < kNumberedJoints; ++c) {
    double per_ms;
    if (!through_) {
      // d/du of 10u^3 - 15u^4 + 6u^5.
      per_ms = (at_[k][c] - at_[k - 1][c]) * 30.0 * u * u * (1 - u) * (1 - u) / h;
    } else {
      const double u2 = u * u;
      const double d00 = 6 * u2 - 6 * u, d10 = 3 * u2 - 4 * u + 1, d01 = -6 * u2 + 6 * u,
                   d11 = 3 * u2 - 2 * u;
      per_ms = (d00 * at_[k - 1][c] + d01 * at_[k][c]) / h + d10 * velocity_[k - 1][c] +
               d11 * velocity_[k][c];
    }
    out[c] = per_ms * 1000.0;
  }
  return out;
}

PulseCounts mirror_counts(const PulseCounts &counts) {
  PulseCounts out{};
  for (const int i : kColumnOrder) {
    const JointMotion &m = kJointConvention[i];
    out[m.counterpart] = count_of(m.mirror * pulse2rad(counts[i], i), m.counterpart);
  }
  return out;
}

std::vector<PulseCounts> resample(const std::vector<PulseCounts> &rows, int in_period,
                                  int out_period, double factor) {
  if (rows.empty() || (in_period == out_period && factor == 1.0)) return rows;
  const double length = static_cast<double>(rows.size() - 1) * in_period;  // ms of the input
  const double step = out_period * factor;                                 // input ms per row
  std::vector<PulseCounts> out;
  out.reserve(static_cast<std::size_t>(length / step) + 2);
  for (long k = 0;; ++k) {
    const double t = k * step;
    if (t > length + 1e-9) break;
    const double at = t / in_period;
    const std::size_t r = std::min(static_cast<std::size_t>(at), rows.size() - 1);
    const double u = at - static_cast<double>(r);
    if (r + 1 >= rows.size() || u < 1e-12) {
      out.push_back(rows[r]);
      continue;
    }
    const ColumnAngles a = column_angles(rows[r]), b = column_angles(rows[r + 1]);
    ColumnAngles mix;
    for (int c = 0; c < kNumberedJoints; ++c) mix[c] = a[c] + (b[c] - a[c]) * u;
    out.push_back(counts_of(mix));
  }
  // The motion still ends on its last posture.
  if (out.back() != rows.back()) out.push_back(rows.back());
  return out;
}

void transform_rows(Composed &motion, int in_period, const ComposeOptions &options,
                    const FindingSink &sink) {
  Reporter report{sink, motion};
  const std::size_t had = motion.rows.size();
  motion.rows = resample(motion.rows, in_period, motion.period_ms, options.speed);
  if (motion.lines.size() == had && had > 0) {
    // Each row keeps the line of the input row nearest its time.
    std::vector<long> lines(motion.rows.size());
    const double step = motion.period_ms * options.speed / in_period;  // input rows per row
    for (std::size_t k = 0; k < lines.size(); ++k)
      lines[k] = motion.lines[std::min(static_cast<std::size_t>(std::lround(k * step)), had - 1)];
    lines.back() = motion.lines.back();
    motion.lines = std::move(lines);
  }
  if (options.reverse) {
    std::reverse(motion.rows.begin(), motion.rows.end());
    std::reverse(motion.lines.begin(), motion.lines.end());
  }
  if (options.mirror)
    for (PulseCounts &row : motion.rows) row = mirror_counts(row);
  check_result(motion, options, report);
}

Composed compose_script(const char *path, const ComposeOptions &options, const FindingSink &sink) {
  Composed out;
  out.period_ms = options.period_ms > 0 ? options.period_ms : kComposePeriodMs;
  Reporter report{sink, out};
  std::string text, why;
  if (!read_script_text(path, text, why)) {
    report.error(0, 0, why);
    return out;
  }
  const CheckOptions check{options.max_speed};
  // Played slower, the motion may be written only as long as the limit allows.
  const long max_ms = static_cast<long>(kMaxMotionMs * std::min(1.0, options.speed));
  const std::vector<Step> steps = read_script(path, text, out.period_ms, max_ms, check, report);
  if (steps.empty() && out.errors == 0) report.error(0, 0, "the script has no keyframe");
  if (out.errors > 0) return out;

  Timeline line{out.period_ms, options.through, out, {}, {}, {}, {}, 0};
  for (std::size_t k = 0; k < steps.size(); ++k) {
    const Step &step = steps[k];
    const int key = static_cast<int>(k) + 1;
    if (step.kind == StepKind::kPlay)
      line.play(step, key);
    else if (k == 0)
      line.start(step, key);
    else
      line.keyframe(step, key);
  }
  line.flush();

  const std::string period = period_warning(out.period_ms);
  if (!period.empty()) report.warning(0, 0, period);
  const bool retimed = options.speed != 1.0;
  check_spans(line.spans, out, check, !retimed, report);
  if (out.errors > 0) return out;
  out.lines.assign(out.rows.size(), 0);
  for (const Span &span : line.spans)
    for (std::size_t r = span.first; r <= span.last && r < out.lines.size(); ++r)
      out.lines[r] = span.step->line;
  if (retimed || options.reverse || options.mirror) {
    Composed result;
    result.period_ms = out.period_ms;
    result.rows = std::move(out.rows);
    result.lines = std::move(out.lines);
    transform_rows(result, out.period_ms, options, sink);
    out.rows = std::move(result.rows);
    out.lines = std::move(result.lines);
    out.errors += result.errors;
    out.warnings += result.warnings;
  }
  if (out.rows.size() == 1)
    report.warning(0, 0,
                   "the script has one keyframe: the motion is one row, which motion_player "
                   "approaches and has nothing left to play");
  return out;
}

Composed transform_motion(const char *path, const ComposeOptions &options,
                          const FindingSink &sink) {
  Composed out;
  Reporter report{sink, out};
  // The input's own findings, errors only: its warnings are about the input.
  const CheckOptions check{options.max_speed};
  const FileSummary summary = check_motion_file(path, check, [&](const Finding &f) {
    if (f.severity == Severity::kError) sink(f);
  });
  out.errors = summary.errors;
  if (out.errors > 0) return out;
  const int own = summary.period;
  out.period_ms = options.period_ms > 0 ? options.period_ms : own;
  const double played_ms = static_cast<double>(summary.player_rows) * own / options.speed;
  if (played_ms > kMaxMotionMs || played_ms / out.period_ms > kMaxMotionMs) {
    report.error(0, 0, text_of("the result would last more than %ld ms", kMaxMotionMs));
    return out;
  }
  int period = 0;
  std::string why;
  if (!read_motion(path, check, kMaxMotionMs, out.rows, period, why)) {
    report.error(0, 0, why);
    return out;
  }
  const std::string warning = period_warning(out.period_ms);
  if (!warning.empty()) report.warning(0, 0, warning);
  // A motion file holds one row a line.
  out.lines.resize(out.rows.size());
  for (std::size_t r = 0; r < out.lines.size(); ++r) out.lines[r] = static_cast<long>(r) + 1;
  transform_rows(out, own, options, sink);
  return out;
}

#include "robustness_lib.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <sstream>

namespace robustness {

namespace {

// --- Numbers as text -------------------------------------------------------

// The shortest text that reads back as the same double: the stand-in
// writes its settings back so, and a run's told line is compared with it.
std::string number(double value) {
  if (value == 0.0) value = 0.0;  // no "-0"
  char text[32];
  return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

// A whole decimal text, nothing else.
bool read_number(std::string_view text, double *out) {
  if (text.empty() || text.front() == '+') return false;
  double value = 0.0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return false;
  *out = value == 0.0 ? 0.0 : value;
  return true;
}

template <typename Integer>
bool read_whole(std::string_view text, Integer low, Integer high, Integer *out) {
  Integer value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < low ||
      value > high)
    return false;
  *out = value;
  return true;
}

std::vector<std::string_view> split(std::string_view text, char at) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t cut = text.find(at);
    parts.push_back(text.substr(0, cut));
    if (cut == std::string_view::npos) return parts;
    text.remove_prefix(cut + 1);
  }
}

// a / b rounded half away from zero, b > 0.
long round_div(long a, long b) {
  return a >= 0 ? (a + b / 2) / b : -((-a + b / 2) / b);
}

// `q` hundredths or tenths as "-1.25": `decimals` of them.
std::string fixed(long q, int decimals) {
  long scale = 1;
  for (int d = 0; d < decimals; ++d) scale *= 10;
  const long whole = std::labs(q) / scale;
  const long part = std::labs(q) % scale;
  char text[48];
  std::snprintf(text, sizeof text, "%s%ld.%0*ld", q < 0 ? "-" : "", whole, decimals, part);
  return text;
}

// µm as mm with one decimal; ms as s with two.
std::string mm(long um) {
  return fixed(round_div(um, 100), 1);
}
std::string seconds(long ms) {
  return fixed(round_div(ms, 10), 2);
}

// --- Settings ----------------------------------------------------------------

int setting_named(std::string_view name) {
  if (name.substr(0, 8) == "STANDIN_") name.remove_prefix(8);
  for (int s = 0; s < kSettingCount; ++s)
    if (name == kSettings[s].name) return s;
  return -1;
}

std::string setting_names() {
  std::string names;
  for (const SettingInfo &info : kSettings)
    names += (names.empty() ? "" : ", ") + std::string(info.name);
  return names;
}

// "0.0001 rad", "1 ms": what a setting's values are multiples of.
std::string resolution(const SettingInfo &info) {
  char step[32];
  std::snprintf(step, sizeof step, "%g", 1.0 / info.per_unit);
  std::string text = step;
  if (*info.unit != '\0') text += std::string(" ") + info.unit;
  return text;
}

// The whole multiples of 1/per_unit a range holds.
struct Grid {
  long long low = 0;
  long long high = -1;
};
Grid grid_of(const SettingInfo &info, const Range &range) {
  const double pu = info.per_unit;
  return {static_cast<long long>(std::ceil(range.low * pu - 1e-9)),
          static_cast<long long>(std::floor(range.high * pu + 1e-9))};
}

// A number of a setting's value: accepted, or (for a pin) its perfect value.
bool accepted(const SettingInfo &info, double value) {
  if (value < info.accepted_low || value > info.accepted_high) return false;
  return info.per_unit != 1 || value == std::floor(value);
}
std::string accepted_text(const SettingInfo &info) {
  std::string text = number(info.accepted_low) + " to " + number(info.accepted_high);
  if (*info.unit != '\0') text += std::string(" ") + info.unit;
  if (info.per_unit == 1) text += ", whole";
  return text;
}

bool is_off(const SettingInfo &info, const Value &value) {
  for (int i = 0; i < numbers_of(info); ++i)
    if (value.number[i] != info.off) return false;
  return true;
}

// LO:HI, each number accepted, LO <= HI, a single value or one holding a
// multiple of the setting's resolution.
bool read_range(const SettingInfo &info, std::string_view text, Range *range, std::string *error) {
  const std::vector<std::string_view> ends = split(text, ':');
  Range r;
  if (ends.size() != 2 || !read_number(ends[0], &r.low) || !read_number(ends[1], &r.high)) {
    *error = "is not LO:HI";
    return false;
  }
  if (!accepted(info, r.low) || !accepted(info, r.high)) {
    *error = "leaves " + accepted_text(info) + ", what the stand-in takes";
    return false;
  }
  if (r.low > r.high) {
    *error = "has its low end above its high end";
    return false;
  }
  const Grid grid = grid_of(info, r);
  if (r.low != r.high && grid.low > grid.high) {
    *error = "holds no multiple of " + resolution(info) + ", which values are drawn as";
    return false;
  }
  *range = r;
  return true;
}

bool parse_set(const SettingInfo &info, std::string_view text, Choice *choice, std::string *error) {
  std::vector<std::string_view> parts = split(text, ',');
  if (info.shape == Shape::kPair && parts.size() == 1) parts.push_back(parts[0]);
  const std::size_t wanted = info.shape == Shape::kPair ? 2 : 1;
  if (parts.size() != wanted) {
    *error = info.shape == Shape::kPair ? "is not LO:HI or LO:HI,LO:HI" : "is not LO:HI";
    return false;
  }
  Choice c;
  bool single = true;
  for (std::size_t i = 0; i < wanted; ++i) {
    if (!read_range(info, parts[i], &c.range[i], error)) return false;
    single = single && c.range[i].low == c.range[i].high;
  }
  // A range of one value pins the setting.
  if (single) {
    c.pinned = true;
    for (int i = 0; i < numbers_of(info); ++i)
      c.pin.number[i] = c.range[info.shape == Shape::kPair ? i : 0].low;
  }
  *choice = c;
  return true;
}

// A pinned number: accepted, or the perfect value.
bool read_pinned(const SettingInfo &info, std::string_view text, double *value) {
  return read_number(text, value) && (accepted(info, *value) || *value == info.off);
}

bool parse_fix(const SettingInfo &info, std::string_view text, Choice *choice, std::string *error) {
  Choice c;
  c.pinned = true;
  const std::string form = info.shape == Shape::kPair     ? "X,Y or V"
                           : info.shape == Shape::kJoints ? "RAD or JOINT=RAD,..."
                           : info.seeded                  ? "V or V:SEED"
                                                          : "V";
  *error = "is not " + form + ", each number " + accepted_text(info);
  if (info.shape == Shape::kJoints && text.find('=') != std::string_view::npos) {
    for (std::string_view item : split(text, ',')) {
      const std::size_t equals = item.find('=');
      const std::string_view name = item.substr(0, equals);
      const auto *joint = std::find_if(kJoints.begin(), kJoints.end(),
                                       [&](const JointInfo &j) { return name == j.name; });
      if (equals == std::string_view::npos || joint == kJoints.end()) {
        *error = "names no joint in '" + std::string(item) + "'";
        return false;
      }
      if (!read_pinned(info, item.substr(equals + 1), &c.pin.number[joint - kJoints.begin()]))
        return false;
    }
  } else if (info.shape == Shape::kPair) {
    // One number stands for both.
    std::vector<std::string_view> xy = split(text, ',');
    if (xy.size() == 1) xy.push_back(xy[0]);
    if (xy.size() != 2 || !read_pinned(info, xy[0], &c.pin.number[0]) ||
        !read_pinned(info, xy[1], &c.pin.number[1]))
      return false;
  } else {
    std::string_view value = text;
    if (info.seeded && text.find(':') != std::string_view::npos) {
      value = text.substr(0, text.find(':'));
      if (!read_whole<std::uint64_t>(text.substr(text.find(':') + 1), 0, kMostSeed, &c.pin.seed)) {
        *error = "has a seed that is not a whole number from 0 to " + std::to_string(kMostSeed);
        return false;
      }
      c.pin_seed = true;
    }
    if (!read_pinned(info, value, &c.pin.number[0])) return false;
    for (int i = 1; i < numbers_of(info); ++i) c.pin.number[i] = c.pin.number[0];
  }
  error->clear();
  *choice = c;
  return true;
}

// What --set or --fix says of a setting, as they take it.
std::string choice_text(const SettingInfo &info, const Choice &c) {
  std::string text;
  if (!c.pinned) {
    text = number(c.range[0].low) + ":" + number(c.range[0].high);
    if (info.shape == Shape::kPair)
      text += "," + number(c.range[1].low) + ":" + number(c.range[1].high);
    return text;
  }
  if (info.shape == Shape::kPair) return number(c.pin.number[0]) + "," + number(c.pin.number[1]);
  if (info.shape == Shape::kJoints) {
    const auto &n = c.pin.number;
    if (std::all_of(n.begin(), n.end(), [&](double v) { return v == n[0]; })) return number(n[0]);
    for (int i = 0; i < kJointCount; ++i)
      if (n[i] != 0.0)
        text += (text.empty() ? "" : ",") + std::string(kJoints[i].name) + "=" + number(n[i]);
    return text;
  }
  text = number(c.pin.number[0]);
  if (c.pin_seed) text += ":" + std::to_string(c.pin.seed);
  return text;
}

// The value as the stand-in takes it.
std::string value_text(const SettingInfo &info, const Value &value) {
  std::string text;
  switch (info.shape) {
    case Shape::kOne:
      text = number(value.number[0]);
      if (info.seeded) text += ":" + std::to_string(value.seed);
      return text;
    case Shape::kPair:
      return number(value.number[0]) + "," + number(value.number[1]);
    case Shape::kJoints:
      break;
  }
  for (int i = 0; i < kJointCount; ++i)
    if (value.number[i] != 0.0)
      text +=
          (text.empty() ? "" : ",") + std::string(kJoints[i].name) + "=" + number(value.number[i]);
  return text;
}

// --- The draws ------------------------------------------------------------------

// SplitMix64: each run's each setting draws from a stream of its own,
// seeded from the report's seed, the run's number and the setting's row,
// so that no draw depends on another's, nor on the order runs end in,
// nor on which other settings are pinned.
class Stream {
 public:
  Stream(std::uint64_t seed, long run, int setting)
      : state_(mix(mix(seed) ^ mix(static_cast<std::uint64_t>(run) * 64 + setting))) {}
  std::uint64_t next() { return mix(state_ += kGolden); }
  // Uniform on [0, span), span >= 1, without the modulo's bias.
  std::uint64_t below(std::uint64_t span) {
    const std::uint64_t limit = -span % span;  // 2^64 mod span
    for (;;) {
      const std::uint64_t x = next();
      if (x >= limit) return x % span;
    }
  }

 private:
  static constexpr std::uint64_t kGolden = 0x9e3779b97f4a7c15ULL;
  static std::uint64_t mix(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  std::uint64_t state_;
};

double draw(const SettingInfo &info, const Range &range, Stream &stream) {
  if (range.low == range.high) return range.low;
  const Grid grid = grid_of(info, range);
  const long long k =
      grid.low +
      static_cast<long long>(stream.below(static_cast<std::uint64_t>(grid.high - grid.low + 1)));
  return std::clamp(static_cast<double>(k) / info.per_unit, range.low, range.high);
}

// The value of setting `s` in run `run`: `base`, with its seed drawn when
// the setting needs one and `keep_seed` is false.
Value seeded(const Plan &plan, long run, int s, Value base, bool keep_seed) {
  if (kSettings[s].seeded && !keep_seed) {
    Stream stream(plan.seed, run, s);
    base.seed = stream.below(kMostSeed + 1);
  }
  return base;
}

Value drawn(const Plan &plan, long run, int s) {
  const SettingInfo &info = kSettings[s];
  const Choice &c = plan.choices[s];
  if (c.pinned) return seeded(plan, run, s, c.pin, c.pin_seed);
  Stream stream(plan.seed, run, s);
  Value v;
  for (int i = 0; i < numbers_of(info); ++i)
    v.number[i] = draw(info, c.range[info.shape == Shape::kPair ? i : 0], stream);
  if (info.seeded) v.seed = stream.below(kMostSeed + 1);
  return v;
}

// The nominal value: pinned, or perfect.
Value nominal(const Plan &plan, long run, int s) {
  const Choice &c = plan.choices[s];
  if (c.pinned) return seeded(plan, run, s, c.pin, c.pin_seed);
  Value v;
  v.number.fill(kSettings[s].off);
  return v;
}

// A setting at one end of its range.
Value end_of(const Plan &plan, int s, bool high) {
  const SettingInfo &info = kSettings[s];
  Value v;
  for (int i = 0; i < numbers_of(info); ++i) {
    const Range &r = plan.choices[s].range[info.shape == Shape::kPair ? i : 0];
    v.number[i] = high ? r.high : r.low;
  }
  return v;
}

// --- The report -------------------------------------------------------------------

// Runs at one end of a setting: how many, how many stay up, the smallest
// margin of those that stay up (a falling robot's margin says no more than
// that it falls).
struct Tally {
  long runs = 0;
  long up = 0;
  bool has_margin = false;
  long margin_um = 0;
  void add(const Verdict &v) {
    ++runs;
    if (v.fell_ms >= 0) return;
    ++up;
    if (v.has_margin && (!has_margin || v.margin_um < margin_um)) {
      has_margin = true;
      margin_um = v.margin_um;
    }
  }
};

// Whether tally a is worse than b: a smaller share up, then a smaller
// margin (none, when none stays up, is the smallest).
bool worse(const Tally &a, const Tally &b) {
  const long lhs = a.up * b.runs;
  const long rhs = b.up * a.runs;
  if (lhs != rhs) return lhs < rhs;
  if (a.has_margin != b.has_margin) return !a.has_margin;
  return a.has_margin && a.margin_um < b.margin_um;
}

std::string with_unit(const std::string &value, const SettingInfo &info) {
  return *info.unit != '\0' ? value + " " + info.unit : value;
}

std::string end_text(const SettingInfo &info, const Value &value) {
  if (info.shape == Shape::kPair)
    return with_unit(number(value.number[0]) + "," + number(value.number[1]), info);
  return with_unit(number(value.number[0]), info);
}

std::string margin_text(const Tally &t) {
  return t.has_margin ? ", margin " + mm(t.margin_um) + " mm" : "";
}

void print_ranges(std::FILE *out, const Plan &plan) {
  std::fprintf(out, "robots drawn with seed %llu, each setting uniformly within its range:\n",
               static_cast<unsigned long long>(plan.seed));
  for (int s = 0; s < kSettingCount; ++s) {
    const SettingInfo &info = kSettings[s];
    const Choice &c = plan.choices[s];
    std::string text;
    if (c.pinned) {
      text = "pinned at " + with_unit(choice_text(info, c), info);
    } else {
      auto range = [&](int i) {
        return with_unit(number(c.range[i].low) + " to " + number(c.range[i].high), info);
      };
      text = info.shape == Shape::kPair ? "x " + range(0) + ", y " + range(1) : range(0);
      if (info.shape == Shape::kJoints) text += ", each joint its own";
    }
    if (info.seeded && !(c.pinned && c.pin_seed)) text += ", each run its own seed";
    std::fprintf(out, "  %-15s %s\n", info.name, text.c_str());
  }
}

}  // namespace

// --- Public ----------------------------------------------------------------------

Choices default_choices() {
  Choices choices;
  for (int s = 0; s < kSettingCount; ++s) choices[s].range = kSettings[s].range;
  return choices;
}

std::optional<Options> parse_options(std::span<const std::string> args, std::string *error) {
  Options o;
  bool list = false;
  std::vector<bool> named(kSettingCount, false);
  std::string file;
  bool have_file = false;
  bool plan_given = false;  // any option of the plan
  std::size_t a = 0;
  auto value_of = [&](const std::string &option, std::string *value) {
    if (a + 1 >= args.size()) {
      *error = option + " needs a value";
      return false;
    }
    *value = args[++a];
    return true;
  };
  for (; a < args.size(); ++a) {
    const std::string &arg = args[a];
    if (arg == "--") {
      ++a;
      break;
    }
    if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) break;
    if (arg == "--list") {
      list = true;
      continue;
    }
    if (arg == "--walker") {
      o.plan.walker = true;
      plan_given = true;
      continue;
    }
    std::string v;
    if (!value_of(arg, &v)) return std::nullopt;
    if (arg == "--runs") {
      if (!read_whole<long>(v, 1, 100000, &o.plan.runs)) {
        *error = "--runs must be a whole number from 1 to 100000, not '" + v + "'";
        return std::nullopt;
      }
      plan_given = true;
    } else if (arg == "--seed") {
      if (!read_whole<std::uint64_t>(v, 0, UINT64_MAX, &o.plan.seed)) {
        *error = "--seed must be a whole number from 0 to 18446744073709551615, not '" + v + "'";
        return std::nullopt;
      }
      plan_given = true;
    } else if (arg == "--jobs") {
      if (!read_whole<int>(v, 1, 1024, &o.jobs)) {
        *error = "--jobs must be a whole number from 1 to 1024, not '" + v + "'";
        return std::nullopt;
      }
    } else if (arg == "--rank-runs") {
      if (!read_whole<int>(v, 0, 100, &o.plan.rank_runs)) {
        *error = "--rank-runs must be a whole number from 0 to 100, not '" + v + "'";
        return std::nullopt;
      }
      plan_given = true;
    } else if (arg == "--require") {
      double p = 0.0;
      if (!read_number(v, &p) || p < 0.0 || p > 100.0) {
        *error = "--require must be a percentage from 0 to 100, not '" + v + "'";
        return std::nullopt;
      }
      o.require = p;
    } else if (arg == "--set" || arg == "--fix") {
      const std::size_t equals = v.find('=');
      const int s = setting_named(std::string_view(v).substr(0, equals));
      if (equals == std::string::npos || s < 0) {
        *error = arg + " " + v + ": no such setting; the settings are " + setting_names();
        return std::nullopt;
      }
      if (named[s]) {
        *error = std::string(kSettings[s].name) + " is set or fixed twice";
        return std::nullopt;
      }
      named[s] = true;
      std::string why;
      const std::string_view text = std::string_view(v).substr(equals + 1);
      if (!(arg == "--set" ? parse_set(kSettings[s], text, &o.plan.choices[s], &why)
                           : parse_fix(kSettings[s], text, &o.plan.choices[s], &why))) {
        *error = arg + " " + v + ": " + kSettings[s].name + " " + why;
        return std::nullopt;
      }
      plan_given = true;
    } else if (arg == "--walker-arg") {
      // A plan holds one a line.
      if (v.find('\n') != std::string::npos) {
        *error = "--walker-arg holds a line break";
        return std::nullopt;
      }
      o.plan.walker_args.push_back(v);
      plan_given = true;
    } else if (arg == "--out") {
      if (o.mode == Mode::kCollect) {
        *error = "--collect goes with no --run or --out";
        return std::nullopt;
      }
      o.dir = v;
    } else if (arg == "--collect") {
      if (o.mode != Mode::kHere || !o.dir.empty()) {
        *error = "--collect goes with no --run or --out";
        return std::nullopt;
      }
      o.mode = Mode::kCollect;
      o.dir = v;
    } else if (arg == "--run") {
      if (o.mode == Mode::kCollect) {
        *error = "--collect goes with no --run or --out";
        return std::nullopt;
      }
      if (!read_whole<long>(v, 1, 1000000, &o.run)) {
        *error = "--run must be a whole number from 1, not '" + v + "'";
        return std::nullopt;
      }
      o.mode = Mode::kRun;
    } else {
      *error = kUsage;
      return std::nullopt;
    }
  }
  if (a < args.size()) {
    file = args[a++];
    have_file = true;
  }
  if (a < args.size()) {
    *error = kUsage;
    return std::nullopt;
  }
  // Each mode takes its own options.
  if (o.mode == Mode::kCollect || o.mode == Mode::kRun) {
    const char *mode = o.mode == Mode::kCollect ? "--collect" : "--run";
    if (list || plan_given || have_file || o.jobs != 0 || (o.mode == Mode::kRun && o.require)) {
      *error =
          std::string(mode) + " takes its plan from the folder: " +
          (o.mode == Mode::kCollect ? "only --require goes with it" : "only --out goes with it");
      return std::nullopt;
    }
    if (o.mode == Mode::kRun && o.dir.empty()) {
      *error = "--run needs --out DIR, the folder of --list";
      return std::nullopt;
    }
    return o;
  }
  if (!have_file) {
    *error = kUsage;
    return std::nullopt;
  }
  if (!o.plan.walker && !o.plan.walker_args.empty()) {
    *error = "--walker-arg goes with --walker: FILE is then a walker script";
    return std::nullopt;
  }
  if (file.find('\n') != std::string::npos) {
    *error = "the motion file's name holds a line break";
    return std::nullopt;
  }
  if (list) {
    o.mode = Mode::kList;
    if (o.jobs != 0 || o.require) {
      *error = "--list runs nothing: --jobs and --require go with the runs or --collect";
      return std::nullopt;
    }
  } else if (!o.dir.empty()) {
    *error = "--out goes with --list or --run";
    return std::nullopt;
  }
  o.plan.file = file;
  return o;
}

std::string plan_text(const Plan &plan) {
  char motion[20];
  std::snprintf(motion, sizeof motion, "%016llx", static_cast<unsigned long long>(plan.motion));
  std::string text = "robustness plan\nfile " + plan.file + "\nmotion " + motion + "\n";
  text += "--runs " + std::to_string(plan.runs) + "\n";
  text += "--seed " + std::to_string(plan.seed) + "\n";
  text += "--rank-runs " + std::to_string(plan.rank_runs) + "\n";
  if (plan.walker) text += "--walker\n";
  for (const std::string &arg : plan.walker_args) text += "--walker-arg " + arg + "\n";
  for (int s = 0; s < kSettingCount; ++s) {
    const Choice &c = plan.choices[s];
    text += std::string(c.pinned ? "--fix " : "--set ") + kSettings[s].name + "=" +
            choice_text(kSettings[s], c) + "\n";
  }
  return text;
}

std::optional<Plan> parse_plan(const std::string &text, std::string *error) {
  std::istringstream in(text);
  std::string line;
  std::vector<std::string> args;
  std::string file;
  if (!std::getline(in, line) || line != "robustness plan" || !std::getline(in, line) ||
      line.compare(0, 5, "file ") != 0) {
    *error = "is not a plan of robustness";
    return std::nullopt;
  }
  file = line.substr(5);
  std::uint64_t motion = 0;
  if (!std::getline(in, line) || line.size() != 23 || line.compare(0, 7, "motion ") != 0 ||
      std::from_chars(line.data() + 7, line.data() + 23, motion, 16).ptr != line.data() + 23) {
    *error = "lacks the motion's fingerprint";
    return std::nullopt;
  }
  while (std::getline(in, line)) {
    const std::size_t space = line.find(' ');
    args.push_back(line.substr(0, space));
    if (space != std::string::npos) args.push_back(line.substr(space + 1));
  }
  args.push_back("--");
  args.push_back(file);
  std::optional<Options> o = parse_options(args, error);
  if (!o || o->mode != Mode::kHere) {
    if (o) *error = "holds more than a plan";
    return std::nullopt;
  }
  o->plan.motion = motion;
  return o->plan;
}

std::uint64_t fingerprint(const std::string &bytes) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (unsigned char c : bytes) h = (h ^ c) * 0x100000001b3ULL;
  return h;
}

std::vector<Run> plan_runs(const Plan &plan) {
  std::vector<Run> runs;
  long number = 0;
  for (long r = 0; r < plan.runs; ++r) {
    Run run;
    ++number;
    for (int s = 0; s < kSettingCount; ++s) run.robot[s] = drawn(plan, number, s);
    runs.push_back(run);
  }
  auto nominal_run = [&](Run::Kind kind, int setting) {
    Run run;
    run.kind = kind;
    run.setting = setting;
    ++number;
    for (int s = 0; s < kSettingCount; ++s) run.robot[s] = nominal(plan, number, s);
    return run;
  };
  runs.push_back(nominal_run(Run::Kind::kNominal, -1));
  if (plan.rank_runs == 0) return runs;
  for (int s = 0; s < kSettingCount; ++s) {
    if (plan.choices[s].pinned) continue;
    for (bool high : {false, true}) {
      const Value end = end_of(plan, s, high);
      // A second run would repeat the first bit for bit, but where the
      // setting's seed matters: a floor of bumps, noise.
      const int count = kSettings[s].seeded && !is_off(kSettings[s], end) ? plan.rank_runs : 1;
      for (int k = 0; k < count; ++k) {
        Run run = nominal_run(high ? Run::Kind::kHigh : Run::Kind::kLow, s);
        run.robot[s] = seeded(plan, number, s, end, false);
        runs.push_back(run);
      }
    }
  }
  return runs;
}

std::vector<std::string> settings_of(const Robot &robot) {
  std::vector<std::string> settings;
  for (int s = 0; s < kSettingCount; ++s) {
    if (is_off(kSettings[s], robot[s])) continue;
    settings.push_back(std::string("STANDIN_") + kSettings[s].name + "=" +
                       value_text(kSettings[s], robot[s]));
  }
  return settings;
}

std::string told_of(const Robot &robot) {
  std::string told;
  for (const std::string &s : settings_of(robot)) told += (told.empty() ? "" : " ") + s;
  return told;
}

std::string verdict_text(const Verdict &v, std::uint64_t plan) {
  char hex[20];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(plan));
  std::string text = "robustness verdict\nplan " + std::string(hex) + "\n";
  text += "run " + std::to_string(v.run) + "\n";
  text += "first_command_ms " + std::to_string(v.first_ms) + "\n";
  text += "fell_ms " + (v.fell_ms < 0 ? std::string("none") : std::to_string(v.fell_ms)) + "\n";
  text += "margin_um " + (v.has_margin ? std::to_string(v.margin_um) : std::string("none")) + "\n";
  text += "robot " + v.robot + "\n";
  return text;
}

bool parse_verdict(const std::string &text, Verdict *verdict, std::uint64_t *plan,
                   std::string *error) {
  std::istringstream in(text);
  std::string line;
  Verdict v;
  // Each line once, in this order.
  constexpr std::array<const char *, 7> kKeys = {
      "robustness verdict", "plan ",      "run ",  "first_command_ms ",
      "fell_ms ",           "margin_um ", "robot "};
  for (const char *key : kKeys) {
    const std::size_t n = std::strlen(key);
    if (!std::getline(in, line) || line.compare(0, n, key) != 0) {
      *error = std::string("lacks its line '") + key + "'";
      return false;
    }
    const std::string value = line.substr(n);
    bool read = true;
    if (key == kKeys[1]) {
      read = value.size() == 16 &&
             std::from_chars(value.data(), value.data() + 16, *plan, 16).ptr == value.data() + 16;
    } else if (key == kKeys[2]) {
      read = read_whole<long>(value, 1, 1000000, &v.run);
    } else if (key == kKeys[3]) {
      read = read_whole<long>(value, -1, 1L << 40, &v.first_ms);
    } else if (key == kKeys[4]) {
      read = value == "none" || read_whole<long>(value, 0, 1L << 40, &v.fell_ms);
    } else if (key == kKeys[5]) {
      v.has_margin = value != "none";
      read = !v.has_margin || read_whole<long>(value, -(1L << 40), 1L << 40, &v.margin_um);
    } else if (key == kKeys[6]) {
      v.robot = value;
    }
    if (!read) {
      *error = "has a bad line '" + line.substr(0, 80) + "'";
      return false;
    }
  }
  *verdict = v;
  return true;
}

Range wilson(long k, long n) {
  if (n <= 0) return {0.0, 1.0};
  constexpr double z = 1.959963984540054;  // the normal's 97.5% point
  const double p = static_cast<double>(k) / n;
  const double z2n = z * z / n;
  const double centre = (p + z2n / 2) / (1 + z2n);
  const double half = z / (1 + z2n) * std::sqrt(p * (1 - p) / n + z2n / (4.0 * n));
  // The ends exact where the share is.
  return {k == 0 ? 0.0 : std::max(0.0, centre - half), k == n ? 1.0 : std::min(1.0, centre + half)};
}

void print_report(std::FILE *out, const Plan &plan, const std::vector<Run> &runs,
                  const std::vector<Verdict> &verdicts) {
  // The drawn robots.
  long up = 0;
  std::vector<long> falls;         // ms after the first command
  const Verdict *least = nullptr;  // of the runs that stay up
  const Verdict *nominal_run = nullptr;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const Verdict &v = verdicts[i];
    if (runs[i].kind == Run::Kind::kNominal) nominal_run = &v;
    if (runs[i].kind != Run::Kind::kDrawn) continue;
    if (v.fell_ms >= 0) {
      falls.push_back(v.fell_ms - v.first_ms);
      continue;
    }
    ++up;
    if (v.has_margin && (least == nullptr || v.margin_um < least->margin_um)) least = &v;
  }
  const long n = plan.runs;
  const Range interval = wilson(up, n);
  // The interval rounded outward to a tenth of a percent: it holds the
  // exact one.
  const long low = static_cast<long>(std::floor(interval.low * 1000 + 1e-9));
  const long high = static_cast<long>(std::ceil(interval.high * 1000 - 1e-9));
  std::fprintf(out, "%s: survived %ld of %ld runs (%s%%, 95%% interval %s%% to %s%%)\n",
               plan.file.c_str(), up, n, fixed(round_div(1000 * up, n), 1).c_str(),
               fixed(low, 1).c_str(), fixed(high, 1).c_str());

  if (falls.empty()) {
    std::fprintf(out, "falls: none of %ld runs\n", n);
  } else {
    std::sort(falls.begin(), falls.end());
    std::fprintf(out,
                 "falls: %zu of %ld runs, %s s after the first command at the median, from %s s "
                 "to %s s\n",
                 falls.size(), n, seconds(falls[(falls.size() - 1) / 2]).c_str(),
                 seconds(falls.front()).c_str(), seconds(falls.back()).c_str());
  }

  if (least != nullptr)
    std::fprintf(out, "smallest balance margin of the runs that stay up: %s mm (run %ld)\n",
                 mm(least->margin_um).c_str(), least->run);
  else
    std::fprintf(out, "smallest balance margin of the runs that stay up: none stays up\n");

  if (nominal_run != nullptr) {
    const Verdict &v = *nominal_run;
    if (v.fell_ms >= 0)
      std::fprintf(out, "the nominal robot: falls %s s after the first command\n",
                   seconds(v.fell_ms - v.first_ms).c_str());
    else if (v.has_margin)
      std::fprintf(out, "the nominal robot: stays up, smallest balance margin %s mm\n",
                   mm(v.margin_um).c_str());
    else
      std::fprintf(out, "the nominal robot: stays up\n");
  }

  // Which setting hurts most: each setting's worse end first.
  struct Ranked {
    int setting;
    Tally ends[2];
    Value end_values[2];
    int worst() const { return worse(ends[1], ends[0]) ? 1 : 0; }
    // Its worse end first, then its other end.
    bool before(const Ranked &b) const {
      const Tally &w = ends[worst()], &bw = b.ends[b.worst()];
      if (worse(w, bw) || worse(bw, w)) return worse(w, bw);
      return worse(ends[1 - worst()], b.ends[1 - b.worst()]);
    }
  };
  std::vector<Ranked> ranked;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const Run &run = runs[i];
    if (run.kind != Run::Kind::kLow && run.kind != Run::Kind::kHigh) continue;
    if (ranked.empty() || ranked.back().setting != run.setting)
      ranked.push_back(
          {run.setting, {}, {end_of(plan, run.setting, false), end_of(plan, run.setting, true)}});
    ranked.back().ends[run.kind == Run::Kind::kHigh].add(verdicts[i]);
  }
  if (!ranked.empty()) {
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const Ranked &a, const Ranked &b) { return a.before(b); });
    std::fprintf(out,
                 "which setting hurts most, each alone at the ends of its range, the others "
                 "nominal (one run an end, %d where a seed matters), the worst first:\n",
                 plan.rank_runs);
    int place = 0;
    for (const Ranked &r : ranked) {
      const SettingInfo &info = kSettings[r.setting];
      std::string line;
      for (int e = 0; e < 2; ++e) {
        const Tally &t = r.ends[e];
        line += (e == 0 ? "" : "; ") + std::string("at ") + end_text(info, r.end_values[e]) + ": " +
                std::to_string(t.up) + " of " + std::to_string(t.runs) + " up" + margin_text(t);
      }
      std::fprintf(out, "  %2d. %-15s %s\n", ++place, info.name, line.c_str());
    }
  }
  print_ranges(out, plan);
}

bool clears(const Plan &plan, const std::vector<Run> &runs, const std::vector<Verdict> &verdicts,
            double percent) {
  long up = 0;
  for (std::size_t i = 0; i < runs.size(); ++i)
    if (runs[i].kind == Run::Kind::kDrawn && verdicts[i].fell_ms < 0) ++up;
  return 100.0 * up >= percent * plan.runs;
}

}  // namespace robustness

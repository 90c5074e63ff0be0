// robustness: how often a motion stays up on robots drawn at random from
// stated ranges of the imperfect robot's settings (docs/robustness.md).
// This part holds no process: the settings and their ranges, the command
// line, the plan of runs and each run's robot drawn from the seed, the
// verdict a run leaves, and the report made of the verdicts.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "body_model.h"
#include "imperfect_bounds.h"

namespace robustness {

// --- The settings ----------------------------------------------------------

// How many numbers a setting's value holds.
enum class Shape {
  kOne,     // one number
  kPair,    // two: X,Y
  kJoints,  // one a joint, by JointIndex: the offsets
};

// A range a value is drawn from, uniformly, in the setting's unit.
struct Range {
  double low = 0.0;
  double high = 0.0;
};

struct SettingInfo {
  const char *name;  // the stand-in's, without STANDIN_
  const char *unit;  // in the report; "" for a factor or mixed units
  Shape shape;
  bool seeded;           // the value is VALUE:SEED: a floor or noise of its own
  double accepted_low;   // what the stand-in takes
  double accepted_high;  //
  int per_unit;          // drawn values are whole multiples of 1/per_unit
  double off;            // the perfect robot's value: the setting unset
  // The default ranges: what a small servo humanoid has (docs/robustness.md
  // says where each comes from); a pair has one for each number.
  std::array<Range, 2> range;
};

// In the stand-in's order, which is the order of its line "the imperfect
// robot: ...".
// clang-format off
inline constexpr std::array<SettingInfo, 11> kSettings = {{
  // name              unit   shape          seeded  accepted                                                   per unit  off  default range(s)
  {"SERVO_LATENCY",    "ms",  Shape::kOne,    false, 0, imperfect::kMaxLatencyMs,                                1,        0,   {{{17, 50}}}},
  {"SERVO_BACKLASH",   "rad", Shape::kOne,    false, 0, imperfect::kMaxPlay,                                     10000,    0,   {{{0.0044, 0.0175}}}},
  {"SERVO_DEADBAND",   "rad", Shape::kOne,    false, 0, imperfect::kMaxPlay,                                     10000,    0,   {{{0, 0.006}}}},
  {"SERVO_OFFSETS",    "rad", Shape::kJoints, false, -imperfect::kMaxOffset, imperfect::kMaxOffset,             10000,    0,   {{{-0.02, 0.02}}}},
  {"SERVO_STRENGTH",   "",    Shape::kOne,    false, imperfect::kMinStrength, imperfect::kMaxStrength,          1000,     1,   {{{0.8, 1.1}}}},
  {"MASS_SCALE",       "",    Shape::kOne,    false, imperfect::kMinMassScale, imperfect::kMaxMassScale,        1000,     1,   {{{0.95, 1.1}}}},
  {"COM_SHIFT",        "mm",  Shape::kPair,   false, -imperfect::kMaxComShift, imperfect::kMaxComShift,         10,       0,   {{{-10, 10}, {-5, 5}}}},
  {"FLOOR_FRICTION",   "",    Shape::kOne,    false, imperfect::kMinFriction, imperfect::kMaxFriction,          100,      0,   {{{0.6, 1.5}}}},
  {"FLOOR_SLOPE",      "deg", Shape::kPair,   false, -imperfect::kMaxSlope, imperfect::kMaxSlope,               100,      0,   {{{-1, 1}, {-1, 1}}}},
  {"FLOOR_BUMPS",      "mm",  Shape::kOne,    true,  0, imperfect::kMaxBumps,                                  10,       0,   {{{0, 2}}}},
  {"SENSOR_NOISE",     "",    Shape::kOne,    true,  0, imperfect::kMaxNoise,                                  10000,    0,   {{{0, 0.01}}}},
}};
// clang-format on
inline constexpr int kSettingCount = static_cast<int>(kSettings.size());
static_assert(kSettings[0].per_unit == 1, "the latency is whole ms, as the stand-in takes it");
// The row of each setting the tool treats apart.
inline constexpr int kOffsets = 3;
inline constexpr int kFriction = 7;
static_assert(kSettings[kOffsets].shape == Shape::kJoints);
static_assert(kSettings[kFriction].off == 0.0, "0 is the stand-in's 'the model's friction'");
// A seed drawn for a floor or the noise: 0 to this.
inline constexpr std::uint64_t kMostSeed = 999999;

// How many numbers a value of `info` holds.
constexpr int numbers_of(const SettingInfo &info) {
  return info.shape == Shape::kOne ? 1 : info.shape == Shape::kPair ? 2 : kJointCount;
}

// One setting's value in one robot.
struct Value {
  std::array<double, kJointCount> number{};  // the first numbers_of() in use
  std::uint64_t seed = 0;                    // a seeded setting's
  bool operator==(const Value &) const = default;
};
using Robot = std::array<Value, kSettingCount>;

// What the command line asks of one setting: drawn from a range, or pinned.
struct Choice {
  bool pinned = false;
  Value pin;                   // when pinned
  bool pin_seed = false;       // the pin names its seed; else each run draws one
  std::array<Range, 2> range;  // when drawn; a pair uses both
};
using Choices = std::array<Choice, kSettingCount>;
// The default ranges.
Choices default_choices();

// --- The command line ------------------------------------------------------

enum class Mode {
  kHere,     // run every run here, print the report
  kList,     // write the plan into a folder, print one command a run
  kRun,      // run one run of a folder's plan, write its verdict
  kCollect,  // read a folder's verdicts, print the report
};

// What the runs are: everything the report depends on.
struct Plan {
  std::string file;  // as the user named it: the report's first word
  // FILE is a walker script, played by the walker with these arguments
  // after --script FILE; else a motion file, played by motion_player.
  bool walker = false;
  std::vector<std::string> walker_args;
  // The motion's fingerprint, in a folder of --list: its copy there must
  // not change.
  std::uint64_t motion = 0;
  long runs = 100;  // robots drawn
  std::uint64_t seed = 1;
  int rank_runs = 5;  // runs at an end where a seed matters; 0: no ranking
  Choices choices = default_choices();
};

struct Options {
  Mode mode = Mode::kHere;
  Plan plan;
  int jobs = 0;                   // 0: one per core
  std::optional<double> require;  // %, 0 to 100
  std::string dir;                // --out, --collect
  long run = 0;                   // --run
};
inline constexpr char kUsage[] =
    "usage: tools/robustness [--runs N] [--seed S] [--jobs J] [--rank-runs M] [--set "
    "NAME=LO:HI]... "
    "[--fix NAME=V]... [--require P] [--walker [--walker-arg ARG]...] [--list [--out DIR]] [--] "
    "FILE\n"
    "       tools/robustness --collect DIR [--require P]\n"
    "       tools/robustness --run I --out DIR";
// The options, or nothing with `*error` set to one line (no "robustness: ").
std::optional<Options> parse_options(std::span<const std::string> args, std::string *error);

// The plan as text, and back: what a folder of --list holds. The text
// holds every setting's choice, so that another build's defaults do not
// change it.
std::string plan_text(const Plan &plan);
std::optional<Plan> parse_plan(const std::string &text, std::string *error);
// FNV-1a, 64 bits: the plan's and the motion's fingerprints.
std::uint64_t fingerprint(const std::string &bytes);

// --- The runs --------------------------------------------------------------

// Runs are numbered from 1: the robots drawn first, then the nominal
// robot, then each ranked setting's low end and high end.
struct Run {
  enum class Kind { kDrawn, kNominal, kLow, kHigh };
  Kind kind = Kind::kDrawn;
  int setting = -1;  // the setting at an end
  Robot robot;
};
std::vector<Run> plan_runs(const Plan &plan);

// The stand-in's settings for a robot, NAME=VALUE in the stand-in's order,
// each left out at its perfect value.
std::vector<std::string> settings_of(const Robot &robot);
// What the stand-in says it ran, after "the imperfect robot:": the
// settings, as it writes them back, space-separated.
std::string told_of(const Robot &robot);

// --- Verdicts and the report -------------------------------------------------

// What one run did, from the stand-in's own words and log.
struct Verdict {
  long run = 0;
  long first_ms = -1;  // the first servo command, simulated ms
  long fell_ms = -1;   // the stand-in's "the robot fell at", ms; -1: stayed up
  bool has_margin = false;
  long margin_um = 0;  // the smallest balance margin from the first command, µm
  std::string robot;   // what the stand-in said it ran
};
// A verdict file's text, and back; `plan` is the plan's fingerprint.
std::string verdict_text(const Verdict &verdict, std::uint64_t plan);
bool parse_verdict(const std::string &text, Verdict *verdict, std::uint64_t *plan,
                   std::string *error);

// The 95% Wilson score interval of k successes in n, as shares 0 to 1.
Range wilson(long k, long n);

// The report: `verdicts` by run, one for each of plan_runs(plan).
void print_report(std::FILE *out, const Plan &plan, const std::vector<Run> &runs,
                  const std::vector<Verdict> &verdicts);
// Whether the drawn runs' share clears `percent`.
bool clears(const Plan &plan, const std::vector<Run> &runs, const std::vector<Verdict> &verdicts,
            double percent);

}  // namespace robustness

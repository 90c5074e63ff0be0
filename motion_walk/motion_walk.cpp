// motion_walk: a walk for the robot, as a motion file.
//
//   motion_walk [-o OUT.csv] [--steps N] [--stride M] [--side M] [--turn RAD]
//               [--step-time S] [--lift M] [--height M] [--period MS] [--model FILE]
//               [--plan-csv FILE]
//
// The rows go to stdout or to OUT, written whole or not at all; the summary
// line goes to stdout with -o, else to stderr. Exit status: 0 clean, 1
// warnings (written), 2 refused (one line, nothing written).
#include <sys/stat.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "motion_walk_lib.h"
#include "whole_file.h"

namespace {

constexpr char kUsage[] =
    "usage: motion_walk [-o OUT.csv] [--steps N] [--stride M] [--side M] [--turn RAD]\n"
    "                   [--step-time S] [--lift M] [--height M] [--period MS] [--model FILE]\n"
    "                   [--plan-csv FILE]\n";

int refuse(const std::string &what) {
  std::fprintf(stderr, "motion_walk: %s\n", what.c_str());
  return 2;
}

bool parse_number(std::string_view text, double &out) {
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && ptr == text.data() + text.size() && std::isfinite(out);
}

// Whether two names are one file: the same name, the same file if both
// are there, or the same place if not.
bool same_file(const char *a, const char *b) {
  if (std::strcmp(a, b) == 0) return true;
  struct stat sa {
  }, sb{};
  if (stat(a, &sa) == 0 && stat(b, &sb) == 0)
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  std::error_code ea, eb;
  const std::filesystem::path pa = std::filesystem::weakly_canonical(a, ea);
  const std::filesystem::path pb = std::filesystem::weakly_canonical(b, eb);
  return !ea && !eb && pa == pb;
}

// Whole numbers within 1..top.
bool parse_count(std::string_view text, long top, int &out) {
  double value = 0.0;
  if (!parse_number(text, value) || value != std::floor(value) || value < 1 || value > top)
    return false;
  out = static_cast<int>(value);
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  keep_standard_streams_open();
  walk::Command command;
  const char *output = nullptr;
  const char *plan_path = nullptr;
  std::string model;
  // option  value  what it takes
  struct Number {
    const char *name;
    double *value;
    const char *takes;
  };
  const Number numbers[] = {
      {"--stride", &command.stride, "a length in m per step"},
      {"--side", &command.side, "a length in m per step"},
      {"--turn", &command.turn, "an angle in rad per step"},
      {"--step-time", &command.step_time, "a time in s per step"},
      {"--lift", &command.lift, "a height in m"},
      {"--height", &command.height, "a height in m"},
  };
  for (int a = 1; a < argc; ++a) {
    const std::string_view arg = argv[a];
    const bool has_value = a + 1 < argc;
    if (arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "-o" || arg == "--model" || arg == "--plan-csv") {
      if (!has_value) return refuse(std::string(arg) + " takes a file name");
      const char *name = argv[++a];
      if (arg == "-o") output = name;
      if (arg == "--plan-csv") plan_path = name;
      if (arg == "--model") model = name;
      continue;
    }
    if (arg == "--steps") {
      if (!has_value || !parse_count(argv[a + 1], walk::kMaxSteps, command.steps))
        return refuse(text_of("--steps takes a whole number of steps, 1 to %d", walk::kMaxSteps));
      ++a;
      continue;
    }
    if (arg == "--period") {
      if (!has_value || !parse_count(argv[a + 1], walk::kMaxPeriodMs, command.period_ms))
        return refuse(text_of("--period takes a whole number of ms, 1 to %d", walk::kMaxPeriodMs));
      ++a;
      continue;
    }
    bool known = false;
    for (const Number &n : numbers) {
      if (arg != n.name) continue;
      if (!has_value || !parse_number(argv[a + 1], *n.value))
        return refuse(std::string(n.name) + " takes " + n.takes + ", a finite number");
      ++a;
      known = true;
    }
    if (!known) return refuse("unknown argument " + std::string(arg) + "; --help lists them");
  }

  // The plan written over the rows, or the rows over the plan, would lose one.
  if (output != nullptr && plan_path != nullptr && same_file(output, plan_path))
    return refuse("--plan-csv names the file -o writes; one would be lost");

  std::string error;
  const std::unique_ptr<robot::Model> robot = robot::Model::load(model, &error);
  if (robot == nullptr) return refuse(error);
  std::string first_error;
  std::vector<std::string> warnings;
  const FindingSink sink = [&](const Finding &finding) {
    if (finding.severity == Severity::kError && first_error.empty()) first_error = finding.message;
    if (finding.severity == Severity::kWarning) warnings.push_back(finding.message);
  };
  std::vector<walk::PlanSample> plan;
  const walk::Walk result =
      walk::generate(*robot, command, sink, plan_path != nullptr ? &plan : nullptr);
  if (result.errors > 0) return refuse(first_error);

  unsigned serial = 0;
  // A file written whole or not at all; what stops it leaves the old one.
  auto write_whole = [&](const char *path, const auto &write) -> std::optional<int> {
    const WholeWrite written = replace_whole(path, "motion_walk", serial, write);
    if (written == WholeWrite::kOk) return std::nullopt;
    return refuse(text_of("cannot %s %s: it is left as it was",
                          written == WholeWrite::kCannotOpen ? "create or replace" : "write",
                          path));
  };
  if (plan_path != nullptr) {
    if (auto refused =
            write_whole(plan_path, [&](std::FILE *out) { return walk::write_plan(out, plan); }))
      return *refused;
  }
  if (output == nullptr) {
    if (!write_motion_rows(stdout, result.period_ms, result.rows) || std::fflush(stdout) != 0)
      return refuse("cannot write the rows to stdout");
  } else if (auto refused = write_whole(output, [&](std::FILE *out) {
               return write_motion_rows(out, result.period_ms, result.rows);
             })) {
    return *refused;
  }
  for (const std::string &w : warnings)
    std::fprintf(stderr, "motion_walk: warning: %s\n", w.c_str());
  std::fprintf(output != nullptr ? stdout : stderr, "motion_walk: %s\n",
               walk::summary_line(result, command.steps).c_str());
  return warnings.empty() ? 0 : 1;
}

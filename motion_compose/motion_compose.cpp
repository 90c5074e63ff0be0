// motion_compose: keyframes to a motion file; mirror, retime, reverse.
//
//   motion_compose SCRIPT [-o OUT.csv] [--period MS] [--through] [--max-speed RAD_PER_S]
//                  [--speed F] [--reverse] [--mirror]
//   motion_compose MOTION.csv [-o OUT.csv] [--period MS] [--speed F] [--reverse] [--mirror]
//   either with [--balance [--margin MM]]: the hips moved over the feet, after the rest
//
// An input whose name ends in .csv is a motion file, anything else a
// keyframe script. Findings go to stderr as FILE:LINE:COLUMN: severity:
// message. The rows go to stdout (also for -o -) or to OUT, written whole
// or not at all.
// Exit status: 0 clean, 1 warnings (written), 2 errors (nothing written;
// also for a usage error or a failed write).
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "balancer.h"
#include "motion_compose_lib.h"
#include "whole_file.h"

namespace {

constexpr char kUsage[] =
    "usage: motion_compose SCRIPT [-o OUT.csv|-] [--period MS] [--through] [--max-speed "
    "RAD_PER_S]\n"
    "                      [--speed F] [--reverse] [--mirror] [--balance [--margin MM]]\n"
    "       motion_compose MOTION.csv [-o OUT.csv|-] [--period MS] [--max-speed RAD_PER_S]\n"
    "                      [--speed F] [--reverse] [--mirror] [--balance [--margin MM]]\n";

int usage_error(const std::string &what) {
  std::fprintf(stderr, "motion_compose: %s\n%s", what.c_str(), kUsage);
  return 2;
}

bool parse_number(std::string_view text, double &out) {
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && ptr == text.data() + text.size() && std::isfinite(out);
}

// --balance on the composed rows: the hips moved, what cannot be mended
// warned about at its lines, and the summary. False when the robot's model
// cannot be loaded.
bool balance_rows(const char *input, Composed &result, double margin, double max_speed,
                  const FindingSink &sink) {
  std::string error;
  const std::unique_ptr<robot::Model> model = robot::Model::load("", &error);
  if (!model) {
    std::fprintf(stderr, "motion_compose: %s\n", error.c_str());
    return false;
  }
  Balancer balancer(*model, max_speed);
  const BalanceResult balanced =
      balancer.run(result.period_ms, result.rows, result.lines, margin, sink);
  result.warnings += balanced.unmended;
  print_balance_result(stderr, input, balanced);
  return true;
}

bool ends_with(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

}  // namespace

int main(int argc, char **argv) {
  ComposeOptions options;
  bool balance = false;
  double margin = -1.0;  // mm; -1: not given
  const char *input = nullptr;
  const char *output = nullptr;
  for (int a = 1; a < argc; ++a) {
    const std::string_view arg = argv[a];
    const bool has_value = a + 1 < argc;
    double value = 0.0;
    if (arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "-o") {
      if (!has_value) return usage_error("-o takes a file name");
      output = argv[++a];
      // "-" is standard output, as for the tools of the trade.
      if (std::string_view(output) == "-") output = nullptr;
    } else if (arg == "--period") {
      if (!has_value || !parse_number(argv[a + 1], value) || value != std::floor(value) ||
          value < 1 || value > kMaxComposePeriodMs)
        return usage_error("--period takes a whole number of ms, 1 to " +
                           std::to_string(kMaxComposePeriodMs));
      options.period_ms = static_cast<int>(value);
      ++a;
    } else if (arg == "--max-speed") {
      if (!has_value || !parse_number(argv[a + 1], options.max_speed) || options.max_speed <= 0)
        return usage_error("--max-speed takes a positive number of rad/s");
      ++a;
    } else if (arg == "--speed") {
      if (!has_value || !parse_number(argv[a + 1], options.speed) ||
          options.speed < kMinSpeedFactor || options.speed > kMaxSpeedFactor)
        return usage_error("--speed takes a factor from 0.01 to 100");
      ++a;
    } else if (arg == "--balance") {
      balance = true;
    } else if (arg == "--margin") {
      if (!has_value || !parse_number(argv[a + 1], margin) || margin < 0 ||
          margin > kMaxBalanceMarginMm)
        return usage_error(
            text_of("--margin takes a number of mm, 0 to %.0f", kMaxBalanceMarginMm));
      ++a;
    } else if (arg == "--through") {
      options.through = true;
    } else if (arg == "--reverse") {
      options.reverse = true;
    } else if (arg == "--mirror") {
      options.mirror = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return usage_error("unknown option " + std::string(arg));
    } else if (input != nullptr) {
      return usage_error("one input at a time");
    } else {
      input = argv[a];
    }
  }
  if (input == nullptr) return usage_error("no script or motion file");
  const bool motion = ends_with(input, ".csv");
  if (motion && options.through) return usage_error("--through applies to scripts");
  if (margin >= 0 && !balance) return usage_error("--margin goes with --balance");
  // The rows would replace the script they come from. A motion file may be
  // rewritten in place: the rows say all it said.
  struct stat in_file {};
  struct stat out_file {};
  if (!motion && output != nullptr && stat(input, &in_file) == 0 && stat(output, &out_file) == 0 &&
      in_file.st_dev == out_file.st_dev && in_file.st_ino == out_file.st_ino) {
    std::fprintf(stderr, "motion_compose: -o %s is the script itself: it is left as it was\n",
                 output);
    return 2;
  }

  const FindingSink sink = [input](const Finding &finding) {
    std::fprintf(stderr, "%s\n", format_finding(input, finding).c_str());
  };
  Composed result =
      motion ? transform_motion(input, options, sink) : compose_script(input, options, sink);
  if (result.errors > 0) {
    std::fprintf(stderr, "motion_compose: %ld error%s: nothing written\n", result.errors,
                 result.errors == 1 ? "" : "s");
    return 2;
  }
  if (balance && !balance_rows(input, result, margin < 0 ? kDefaultBalanceMarginMm : margin,
                               options.max_speed, sink))
    return 2;
  const int status = result.warnings > 0 ? 1 : 0;
  if (output == nullptr) {
    if (!write_motion_rows(stdout, result.period_ms, result.rows) || std::fflush(stdout) != 0 ||
        std::ferror(stdout)) {
      std::fprintf(stderr, "motion_compose: cannot write the rows to stdout\n");
      return 2;
    }
    return status;
  }
  unsigned serial = 0;
  const WholeWrite written = replace_whole(output, "motion_compose", serial, [&](std::FILE *out) {
    return write_motion_rows(out, result.period_ms, result.rows);
  });
  if (written == WholeWrite::kOk) return status;
  std::fprintf(stderr, "motion_compose: %s %s: it is left as it was\n",
               written == WholeWrite::kCannotOpen ? "cannot create or replace" : "cannot write",
               output);
  return 2;
}

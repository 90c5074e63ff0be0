// motion_check: checks motion files before they are played.
//
//   motion_check [--max-speed RAD_PER_S] [--balance] [--balance-csv OUT] [--model FILE] FILE...
//   motion_check --stop-ms motion_player|motion_skim FILE
//   motion_check --limits
//
// Findings go to stdout as FILE:LINE:COLUMN: error|warning: message, then a
// summary per file. Exit status: 0 clean, 1 warnings only, 2 errors (also
// for a usage error).
#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "balance.h"
#include "motion_check_lib.h"
#include "whole_file.h"

namespace {

constexpr char kUsage[] =
    "usage: motion_check [--max-speed RAD_PER_S] [--balance] [--balance-csv OUT] [--model FILE]\n"
    "                    FILE...\n"
    "       motion_check --stop-ms motion_player|motion_skim FILE\n"
    "       motion_check --limits\n";

int usage_error(const char *what) {
  std::fprintf(stderr, "motion_check: %s\n%s", what, kUsage);
  return 2;
}

// Every mode ends here: output that could not be written (a full disk, a
// closed pipe) is a failure, not a result.
int finish(int status) {
  errno = 0;
  const bool flushed = std::fflush(stdout) == 0;
  if (flushed && !std::ferror(stdout)) return status;
  std::fprintf(stderr, "motion_check: cannot write the output: %s\n",
               flushed || errno == 0 ? "a write failed" : std::strerror(errno));
  return 2;
}

bool parse_speed(std::string_view text, double &out) {
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && ptr == text.data() + text.size() && std::isfinite(out) && out > 0;
}

// The joint limits table: JointNumber, name, limits in rad, and in pulse counts.
int print_limits() {
  for (int c = 0; c < kNumberedJoints; ++c) {
    const PulseRange range = pulse_limits(c + 1);
    std::printf("%02d %s %s %s %d %d\n", c + 1, jointNum2Text(kColumnOrder[c]),
                kJointLimits[c].minText, kJointLimits[c].maxText, range.lo, range.hi);
  }
  return 0;
}

// Simulated ms a program needs for the file, for tools/preview.
int print_stop_ms(const char *program, const char *path) {
  if (std::strcmp(program, "motion_player") != 0 && std::strcmp(program, "motion_skim") != 0)
    return usage_error("--stop-ms takes motion_player or motion_skim");
  FileSummary summary = check_motion_file(path, CheckOptions{}, [](const Finding &) {});
  const long ms = play_stop_ms(program, summary);
  if (ms < 0) {
    std::fprintf(stderr, "motion_check: %s cannot play %s\n", program, path);
    return 2;
  }
  std::printf("%ld\n", ms);
  return 0;
}

}  // namespace

namespace {
int check(int argc, char **argv);
}  // namespace

// Memory that runs out (a bounded address space, a huge model) ends the
// check with one line and status 2, not an abort.
int main(int argc, char **argv) {
  // Before anything is opened: a file must never take the console's place.
  keep_standard_streams_open();
  try {
    return check(argc, argv);
  } catch (const std::bad_alloc &) {
    std::fflush(stdout);
    std::fputs("motion_check: out of memory\n", stderr);
    return 2;
  }
}

namespace {

int check(int argc, char **argv) {
  CheckOptions options;
  int first_file = 1;
  if (argc == 2 && std::strcmp(argv[1], "--limits") == 0) return finish(print_limits());
  if (argc >= 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, stdout);
    return finish(0);
  }
  if (argc >= 2 && std::strcmp(argv[1], "--stop-ms") == 0) {
    if (argc != 4) return usage_error("--stop-ms takes a program and one file");
    return finish(print_stop_ms(argv[2], argv[3]));
  }
  // Options before the files, in any order.
  bool balance = false;
  const char *csv = nullptr;
  const char *model = nullptr;
  for (; first_file < argc; ++first_file) {
    const char *arg = argv[first_file];
    const bool has_value = first_file + 1 < argc;
    if (std::strcmp(arg, "--max-speed") == 0) {
      if (!has_value || !parse_speed(argv[first_file + 1], options.max_speed))
        return usage_error("--max-speed takes a positive number of rad/s");
      ++first_file;
    } else if (std::strcmp(arg, "--balance") == 0) {
      balance = true;
    } else if (std::strcmp(arg, "--balance-csv") == 0) {
      if (!has_value) return usage_error("--balance-csv takes a file to write");
      csv = argv[++first_file];
      balance = true;
    } else if (std::strcmp(arg, "--model") == 0) {
      if (!has_value) return usage_error("--model takes a robot model file");
      model = argv[++first_file];
    } else {
      break;
    }
  }
  if (first_file >= argc) return usage_error("no file to check");
  if (csv != nullptr && argc - first_file != 1)
    return usage_error("--balance-csv takes one file to check");
  if (model != nullptr && !balance) return usage_error("--model goes with --balance");
  // The report goes to standard output: the samples need a file of their own.
  if (csv != nullptr && std::strcmp(csv, "-") == 0)
    return usage_error("--balance-csv takes a file, not \"-\": the report is on standard output");
  // Replacing the motion with its samples would lose the motion.
  struct stat out {
  }, in{};
  if (csv != nullptr && stat(csv, &out) == 0 && stat(argv[first_file], &in) == 0 &&
      out.st_dev == in.st_dev && out.st_ino == in.st_ino)
    return usage_error("--balance-csv names the file to check; it would be lost");

  std::unique_ptr<robot::Model> robot;
  std::unique_ptr<BalanceCheck> balance_check;
  if (balance) {
    std::string error;
    robot = robot::Model::load(model != nullptr ? model : "", &error);
    if (robot == nullptr) {
      std::fprintf(stderr, "motion_check: %s\n", error.c_str());
      return 2;
    }
    // The servos follow at the speed threshold: the stand-in's servo speed.
    balance_check = std::make_unique<BalanceCheck>(*robot, options.max_speed);
  }

  int status = 0;
  for (int a = first_file; a < argc; ++a) {
    const char *path = argv[a];
    auto print = [path](const Finding &finding) {
      std::printf("%s\n", format_finding(path, finding).c_str());
    };
    FileSummary summary = check_motion_file(path, options, print);
    BalanceSummary held;
    if (balance_check != nullptr && csv == nullptr) held = balance_check->run(path, print, nullptr);
    // The samples go to the CSV as they are made: memory does not grow with
    // the file. A file that cannot be played has no samples, and an
    // earlier CSV stays as it was.
    WholeWrite written = WholeWrite::kOk;
    bool ran = false;
    if (csv != nullptr) {
      unsigned serial = 0;
      written = replace_whole(csv, "motion_check", serial, [&](std::FILE *out) {
        ran = true;
        bool ok = write_balance_header(out);
        held = balance_check->run(path, print, [&](const BalanceSample &sample) {
          ok = ok && write_balance_sample(out, sample);
        });
        return ok && held.checked;
      });
      // Not even a temporary file: the check runs without the CSV.
      if (!ran) held = balance_check->run(path, print, nullptr);
    }
    summary.warnings += held.warnings;
    print_summary(stdout, path, summary);
    if (balance_check != nullptr) print_balance(stdout, path, held);
    if (summary.errors > 0) status = 2;
    if (summary.warnings > 0 && status == 0) status = 1;
    if (csv != nullptr && ran && !held.checked) {
      std::fprintf(stderr, "motion_check: %s is left as it was: %s has no samples\n", csv, path);
      status = 2;
    } else if (written != WholeWrite::kOk) {
      std::fprintf(stderr, "motion_check: %s %s: it is left as it was\n",
                   written == WholeWrite::kCannotOpen ? "cannot create or replace" : "cannot write",
                   csv);
      status = 2;
    }
  }
  return finish(status);
}

}  // namespace

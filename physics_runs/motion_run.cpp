#include "motion_run.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "line_reader.h"
#include "motion_check_lib.h"

namespace physics_runs {

namespace {

// STANDIN_POSTURE for the file's first row.
bool first_row_posture(const std::string &path, std::string *posture) {
  std::FILE *file = open_motion_file(path.c_str());
  if (file == nullptr) return false;
  LineReader reader(kPlayerReadChars + 1);
  reader.attach(file);
  char text[kPlayerReadChars + 1];
  MotionRow row;
  const bool read = reader.next();
  if (read) {
    reader.copy_last(text);
    parse_csv_row(text, row);
  }
  std::fclose(file);
  if (!read) return false;
  posture->clear();
  for (int c = 0; c < kNumberedJoints; ++c) {
    const int i = kColumnOrder[c];
    char joint[64];
    std::snprintf(joint, sizeof joint, "%s%s=%.9g", c > 0 ? "," : "", kJoints[i].name,
                  pulse2rad(row.pulses[i], i));
    *posture += joint;
  }
  return true;
}

}  // namespace

bool readable_file(const std::string &file, const std::string &kind, std::string *error) {
  struct stat status {};
  if (stat(file.c_str(), &status) != 0)
    *error = "no such " + kind + ": " + file;
  else if (!S_ISREG(status.st_mode))
    *error = "not a regular file: " + file;
  else if (access(file.c_str(), R_OK) != 0)
    *error = "cannot read the " + kind + ": " + file;
  else
    return true;
  return false;
}

bool set_up_motion(const std::string &file, MotionSetup *setup, std::string *error) {
  std::string first_error;
  const FileSummary summary =
      check_motion_file(file.c_str(), CheckOptions{}, [&](const Finding &finding) {
        if (finding.severity == Severity::kError && first_error.empty())
          first_error = format_finding(file, finding);
      });
  if (!first_error.empty()) {
    *error = "motion_check finds errors in " + file + ": " + first_error;
    return false;
  }
  if (summary.rows_per_step <= 0) {
    *error = "motion_check gives no playback time for " + file;
    return false;
  }
  setup->playback_ms = summary.play_steps * kPlayerStepMs;
  if (!first_row_posture(file, &setup->posture)) {
    *error = "cannot read the motion file: " + file;
    return false;
  }
  return true;
}

bool link_motion(const std::string &file, const std::string &dir, std::string *error) {
  char real[PATH_MAX];
  if (realpath(file.c_str(), real) == nullptr ||
      symlink(real, (dir + "/motion.csv").c_str()) != 0) {
    *error = "cannot link the motion file: " + std::string(std::strerror(errno));
    return false;
  }
  return true;
}

}  // namespace physics_runs

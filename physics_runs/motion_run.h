// What runs of motion_player need of a motion file. The robot starts in
// the file's first row (STANDIN_POSTURE), so that there is no approach to
// wait through; the file goes to the player by a short name, motion.csv.
#pragma once

#include <string>

namespace physics_runs {

struct MotionSetup {
  std::string posture;   // STANDIN_POSTURE of the file's first row
  long playback_ms = 0;  // motion_player's playback of the file, ms
};

// Whether `file` names a regular file this process can read; false with
// `*error` set to one line naming it as `kind` ("motion file").
bool readable_file(const std::string &file, const std::string &kind, std::string *error);
inline bool readable_motion_file(const std::string &file, std::string *error) {
  return readable_file(file, "motion file", error);
}

// The file as motion_player takes it: any error motion_check finds in it
// refuses it. False with `*error` set to one line.
bool set_up_motion(const std::string &file, MotionSetup *setup, std::string *error);

// Links `file`, made absolute, as DIR/motion.csv: the player takes names
// of at most 31 characters. False with `*error` set.
bool link_motion(const std::string &file, const std::string &dir, std::string *error);

}  // namespace physics_runs

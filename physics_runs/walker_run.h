// What runs of the walker need of a walker script: the walker's own check
// of the script and of the arguments passed through to it, the script's
// last time, and the steps a run's posture log shows.
//
// A walker run plays `walker --script FILE ARGS...` from the stand-in's
// start posture; its script counts ms from the walker's first control
// step, which the stand-in takes at kFirstStepMs.
#pragma once

#include <string>
#include <vector>

#include "posture_log.h"

namespace physics_runs {

// The walker's check of `script` and `args` (passed after --script FILE):
// one short run in the kinematic world, the walker refusing a bad script
// or argument before its first step. True when it starts; false with
// `*error` set to one line (the walker's first, and how many more it
// said) and `*status` to 2 for what the walker refuses as bad arguments
// or a bad script (its status 2), 1 for anything else.
bool check_walker(const std::string &walker, const std::string &script,
                  const std::vector<std::string> &args, std::string *error, int *status);

// The time of a checked script's last line, ms from the walker's first
// control step; 0 for a script of no line. Reads at most 1 MiB, as the
// walker does.
long script_end_ms(const std::string &script);

// When a sole lands in a log: the rows at which its touch sensor first
// carries (more than kCarrying) after carrying nothing for at least
// kSwingMs, either sole, in time order, ms.
inline constexpr long kSwingMs = 50;
std::vector<long> landings(const std::vector<LogRow> &log);

// The last row at or before `at_ms`; the first row when none is.
const LogRow &row_at(const std::vector<LogRow> &log, long at_ms);

}  // namespace physics_runs

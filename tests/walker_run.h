// The walker played in the physics world with a script, for the tests of
// its walks: what it said and its posture log, whose GPS and heading the
// walker never reads.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "e2e_harness.h"

namespace walker_run {

struct Walked {
  e2e::Result result;
  std::vector<e2e::PostureRow> log;
};

// Runs the walker (WALKER_PATH) with `script` (lines "MS COMMAND") and
// `args` until `stop_ms` of simulated time, in the physics world, with
// `env` besides.
inline Walked walk(const std::string &script, long stop_ms, std::vector<std::string> args = {},
                   std::vector<std::pair<std::string, std::string>> env = {}) {
  const std::string dir = e2e::temp_dir();
  e2e::write_file(dir + "/walk.txt", script);
  e2e::Options options;
  options.program = WALKER_PATH;
  options.args = {"--script", dir + "/walk.txt"};
  options.args.insert(options.args.end(), args.begin(), args.end());
  options.stop_ms = stop_ms;
  options.env = {{"STANDIN_WORLD", "physics"}};
  options.env.insert(options.env.end(), env.begin(), env.end());
  Walked w;
  w.result = e2e::run(options);
  w.log = e2e::parse_posture_log(w.result.posture_log);
  return w;
}

}  // namespace walker_run

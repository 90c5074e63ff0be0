// motion_walk's generator on a 60-step walk: footsteps, the preview
// control, the inverse kinematics of every row and the checks.
#include <benchmark/benchmark.h>

#include "motion_walk_lib.h"

namespace {

void BM_Generate60Steps(benchmark::State &state) {
  std::string error;
  const auto body = robot::Model::load("", &error);
  if (body == nullptr) {
    state.SkipWithError(error.c_str());
    return;
  }
  walk::Command command;
  command.steps = 60;
  command.stride = 0.055;
  command.step_time = 0.33;
  command.lift = 0.03;
  const FindingSink ignore = [](const Finding &) {};
  for (auto _ : state) {
    const walk::Walk w = walk::generate(*body, command, ignore);
    benchmark::DoNotOptimize(w.rows.data());
  }
}
BENCHMARK(BM_Generate60Steps)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

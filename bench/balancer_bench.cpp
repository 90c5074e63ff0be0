// motion_compose --balance: a minute of motion at 10 ms a row balanced on
// one core. One minute mends a foot lifted with no weight shift and a
// forward lean on the ankles, ten times each (every round of correction
// it takes); the other is a minute the check already holds (one check).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "balancer.h"
#include "motion_compose_lib.h"

namespace {

// The script of a minute: `mend` the flagged moves, else arm raises.
std::string write_script(bool mend) {
  char path[] = "/tmp/balancer_benchXXXXXX";
  const int fd = mkstemp(path);
  std::FILE *out = fdopen(fd, "w");
  std::fprintf(out, "zero\n");
  for (int k = 0; k < 10; ++k) {
    if (mend)
      std::fprintf(out,
                   "rleg_joint_3=-0.8 rleg_joint_4=1.6 rleg_joint_5=-0.8 600\nhold 1400\nzero 600\n"
                   "lleg_joint_5=-0.45 rleg_joint_5=-0.45 1000\nhold 1400\nzero 1000\n");
    else
      std::fprintf(out,
                   "larm_joint_1=1.2 rarm_joint_1=1.2 2000\nhold 1000\nzero 2000\nhold 1000\n");
  }
  std::fclose(out);
  return path;
}

void Balance(benchmark::State &state) {
  const bool mend = state.range(0) != 0;
  const std::string path = write_script(mend);
  const Composed composed = compose_script(path.c_str(), ComposeOptions{}, [](const Finding &) {});
  std::remove(path.c_str());
  std::string error;
  const std::unique_ptr<robot::Model> model = robot::Model::load("", &error);
  if (!model || composed.errors > 0) {
    state.SkipWithError(model ? "the script does not compose" : error.c_str());
    return;
  }
  Balancer balancer(*model, kDefaultMaxSpeed);
  BalanceResult result;
  for (auto _ : state) {
    std::vector<PulseCounts> rows = composed.rows;
    result = balancer.run(composed.period_ms, rows, composed.lines, kDefaultBalanceMarginMm,
                          [](const Finding &) {});
    benchmark::DoNotOptimize(rows.data());
  }
  state.counters["rows"] = static_cast<double>(composed.rows.size());
  state.counters["rounds"] = result.rounds;
  state.counters["after_mm"] = result.after;
}

}  // namespace

// 1: a minute of flagged moves; 0: a minute already balanced.
BENCHMARK(Balance)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_MAIN();

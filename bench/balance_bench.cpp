// motion_check --balance: rows checked per second, on a minute of squats
// and arm swings at 1 ms and at 10 ms a row, balance alone and with the
// rest of motion_check's checks.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "balance.h"
#include "motion_check_lib.h"

namespace {

// A minute of motion at `period` ms a row; returns its path.
std::string write_minute(int period) {
  std::string path = "/tmp/balance_bench_" + std::to_string(period) + "ms.csv";
  std::FILE *out = std::fopen(path.c_str(), "w");
  const int rows = 60000 / period;
  for (int r = 0; r < rows; ++r) {
    const double t = r * period / 1000.0;
    const double knee = 0.6 * (1 - std::cos(t * 2.0));
    Posture q{};
    q[2] = q[8] = -knee / 2;
    q[4] = q[10] = knee;
    q[5] = q[11] = -knee / 2;
    q[13] = 0.8 * std::sin(t * 3.0);
    q[18] = -q[13];
    PulseCounts pulses{};
    for (int i = 0; i < kJointCount; ++i) pulses[i] = rad2pulse(static_cast<float>(q[i]), i);
    write_motion_row(out, period, 0, pulses);
    std::fputc('\n', out);
  }
  std::fclose(out);
  return path;
}

void run(benchmark::State &state, bool with_checks) {
  const int period = static_cast<int>(state.range(0));
  const std::string path = write_minute(period);
  std::string error;
  std::unique_ptr<robot::Model> body = robot::Model::load("", &error);
  if (!body) {
    state.SkipWithError(error.c_str());
    return;
  }
  BalanceCheck check(*body, kDefaultMaxSpeed);
  long rows = 0;
  for (auto _ : state) {
    if (with_checks) {
      FileSummary s = check_motion_file(path.c_str(), CheckOptions{}, [](const Finding &) {});
      benchmark::DoNotOptimize(s.lines);
    }
    BalanceSummary held = check.run(
        path.c_str(), [](const Finding &) {}, nullptr);
    benchmark::DoNotOptimize(held.smallest_margin);
    rows += 60000 / period;
  }
  state.counters["rows_per_s"] =
      benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsRate);
  std::remove(path.c_str());
}

void BalanceOnly(benchmark::State &state) {
  run(state, false);
}
void BalanceWithChecks(benchmark::State &state) {
  run(state, true);
}

}  // namespace

BENCHMARK(BalanceOnly)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BalanceWithChecks)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);

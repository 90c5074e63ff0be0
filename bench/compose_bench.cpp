// motion_compose's whole work on a long script: a 60-second motion from
// 100 keyframes, every joint moving, sampled at 1 ms (60,000 rows), composed,
// checked and written out.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "motion_compose_lib.h"

namespace {

constexpr int kKeyframes = 100;
constexpr int kMotionMs = 60000;

// A script of kKeyframes keyframes that move all 21 joints within their
// limits and under the speed threshold; returns its path.
std::string write_script() {
  char path[] = "/tmp/compose_benchXXXXXX";
  const int fd = mkstemp(path);
  std::FILE *out = fdopen(fd, "w");
  std::fprintf(out, "zero\n");
  for (int k = 1; k < kKeyframes; ++k) {
    for (int c = 0; c < kNumberedJoints; ++c) {
      const JointLimits &lim = kJointLimits[c];
      // Somewhere in the middle half of the joint's range, and within 0.6
      // rad of zero, so that no move is above the speed threshold.
      const double u = 0.5 + 0.25 * std::sin(0.7 * k + 1.3 * c);
      const double rad =
          std::clamp(lim.min + u * (lim.max - lim.min), lim.min + 0.01, lim.max - 0.01);
      std::fprintf(out, "%02d=%.4f ", c + 1, std::clamp(rad, -0.6, 0.6));
    }
    // Durations of 606 or 607 ms that add up to kMotionMs.
    std::fprintf(out, "%d\n",
                 k * kMotionMs / (kKeyframes - 1) - (k - 1) * kMotionMs / (kKeyframes - 1));
  }
  std::fclose(out);
  return path;
}

void compose(benchmark::State &state) {
  const std::string script = write_script();
  ComposeOptions options;
  options.period_ms = 1;
  options.through = state.range(0) != 0;
  std::FILE *sink = std::fopen("/dev/null", "w");
  long rows = 0, findings = 0;
  for (auto _ : state) {
    const Composed motion =
        compose_script(script.c_str(), options, [&findings](const Finding &) { ++findings; });
    if (motion.errors > 0 || !write_motion_rows(sink, motion.period_ms, motion.rows))
      state.SkipWithError("compose failed");
    rows = static_cast<long>(motion.rows.size());
  }
  std::fclose(sink);
  unlink(script.c_str());
  state.counters["rows"] = static_cast<double>(rows);
  state.counters["findings"] =
      static_cast<double>(findings) / static_cast<double>(state.iterations());
}
BENCHMARK(compose)->Arg(0)->Arg(1)->ArgName("through")->Unit(benchmark::kMillisecond);

}  // namespace

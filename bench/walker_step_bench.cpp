// The walker's own computation per control period, apart from the physics:
// one gait engine step (command, footsteps, preview control, swing foot and
// pelvis, both legs' inverse kinematics, the servos' give, the speed hold)
// on the built-in robot, walking, turning and side-stepping at the limits
// and standing. CPU time per step; aim under 0.5 ms.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "gait.h"

namespace {

const robot::Model &model() {
  static const std::unique_ptr<robot::Model> m = [] {
    std::string error;
    return robot::Model::load("", &error);
  }();
  return *m;
}

// One engine, walking at `share` of its limits on each axis.
void BM_EngineStep(benchmark::State &state, double forward, double left, double turn) {
  gait::Engine engine(model(), gait::Settings{});
  engine.start(Posture{});
  const gait::Sensors none = gait::Sensors::none();
  for (int k = 0; k < 150; ++k) engine.step(none);
  const gait::Limits &l = engine.limits();
  engine.walk(
      gait::clamp(gait::Velocity{forward * l.forward, left * l.sideways, turn * l.turn}, l));
  // Past the ramp, into the steady walk.
  for (int k = 0; k < 300; ++k) engine.step(none);
  for (auto _ : state) {
    const Posture &p = engine.step(none);
    benchmark::DoNotOptimize(p.data());
  }
  state.SetLabel(std::to_string(engine.limits().forward) + " m/s forward at most");
}

}  // namespace

BENCHMARK_CAPTURE(BM_EngineStep, forward_at_the_limit, 1.0, 0.0, 0.0)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_EngineStep, curve, 0.5, 0.0, 0.5)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_EngineStep, diagonal, 0.5, 0.5, 0.0)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_EngineStep, marking_time, 0.0, 0.0, 0.0)->Unit(benchmark::kMicrosecond);

// The engine's construction: the preview gains' Riccati solve and the
// limits measured on the model, before the loop starts.
void BM_EngineStart(benchmark::State &state) {
  for (auto _ : state) {
    gait::Engine engine(model(), gait::Settings{});
    benchmark::DoNotOptimize(&engine);
  }
}
BENCHMARK(BM_EngineStart)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();

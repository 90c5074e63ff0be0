// Recording speed: the physics world plays a waving motion for a number of
// simulated seconds while STANDIN_RECORD records it, as a program's
// robot_step would. Prints frames per wall-clock second and the share of
// the time spent in physics, drawing, reading pixels and handing frames to
// ffmpeg, and ffmpeg's own CPU time (it encodes on another core).
//
//   record_bench [SECONDS]   with STANDIN_RECORD (and STANDIN_RECORD_SIZE) set
#include <sys/resource.h>
#include <time.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "physics_internal.h"
#include "standin_internal.h"
#include "view.h"

namespace {

std::int64_t now_ns() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

double cpu_seconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char **argv) {
  int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
  if (seconds <= 0) seconds = 10;
  standin::Config config;
  standin::read_config(config);
  if (config.record_path == nullptr) {
    std::fprintf(stderr, "record_bench: set STANDIN_RECORD=FILE.mp4|.gif|.png\n");
    return 2;
  }
  standin::Physics physics;
  if (!physics.start(config, nullptr)) return 1;
  constexpr int kStepMs = 64;
  // The first step sets up the drawing (GL context, fonts, shader
  // compilation); it is timed apart.
  std::int64_t setup = now_ns();
  physics.advance(kStepMs, 0);
  std::int64_t begin = now_ns();
  standin::RecordCost before = standin::record_cost();
  // Both arms wave, so every frame differs.
  for (std::int64_t t = kStepMs; t < seconds * 1000; t += kStepMs) {
    double phase = 2.0 * M_PI * static_cast<double>(t) / 2000.0;
    physics.command(13, 1.2 + 0.6 * std::sin(phase));  // larm_joint_1
    physics.command(18, 1.2 + 0.6 * std::sin(phase));  // rarm_joint_1
    physics.advance(kStepMs, t);
  }
  std::int64_t stepped = now_ns();
  standin::RecordCost cost = standin::record_cost();
  cost.frames -= before.frames;
  cost.draw_ns -= before.draw_ns;
  cost.read_ns -= before.read_ns;
  cost.encode_ns -= before.encode_ns;
  physics.finish();
  std::int64_t end = now_ns();

  double total = static_cast<double>(stepped - begin);
  double physics_ns = total - static_cast<double>(cost.draw_ns + cost.read_ns + cost.encode_ns);
  std::printf("%s %dx%d, %d s simulated: %lld frames in %.2f s, %.1f frames/s\n",
              config.record_path, config.record_width, config.record_height, seconds,
              static_cast<long long>(cost.frames), total / 1e9,
              static_cast<double>(cost.frames) / (total / 1e9));
  std::printf("  physics %.0f%%, drawing %.0f%%, reading pixels %.0f%%, handing to ffmpeg %.0f%%\n",
              100.0 * physics_ns / total, 100.0 * static_cast<double>(cost.draw_ns) / total,
              100.0 * static_cast<double>(cost.read_ns) / total,
              100.0 * static_cast<double>(cost.encode_ns) / total);
  std::printf(
      "  set-up %.2f s; per frame: drawing %.1f ms, reading %.1f ms, handing over %.1f ms; "
      "finishing the file %.2f s; ffmpeg's CPU %.2f s, ours %.2f s\n",
      static_cast<double>(begin - setup) / 1e9,
      static_cast<double>(cost.draw_ns) / 1e6 / static_cast<double>(cost.frames),
      static_cast<double>(cost.read_ns) / 1e6 / static_cast<double>(cost.frames),
      static_cast<double>(cost.encode_ns) / 1e6 / static_cast<double>(cost.frames),
      static_cast<double>(end - stepped) / 1e9, cpu_seconds(RUSAGE_CHILDREN),
      cpu_seconds(RUSAGE_SELF));
  return 0;
}

// CPU time of one motion_player control step on the stand-in (as fast as
// possible, no trace), and a count of the heap allocations control steps
// make. Every malloc of the process, stdio's and the stand-in's included,
// goes through the counting one below.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "body_model.h"
#include "player.h"

extern "C" {
void *__libc_malloc(std::size_t size);
void *__libc_calloc(std::size_t count, std::size_t size);
void *__libc_realloc(void *old, std::size_t size);
}

namespace {

constexpr int kRows = 200000;  // rows per generated file: 4000 playing steps at 1 ms

std::atomic<long> allocations{0};  // malloc, calloc and realloc calls so far
std::string fast_file;             // 1 ms rows: 50 per playing step
std::string slow_file;             // 50 ms rows: 1 per playing step
int devnull = -1;                  // where the player's texts go during set-up

// A file of `rows` rows at `period_ms`, joints swinging; returns its path.
std::string write_motion(int period_ms, int rows) {
  char path[] = "/tmp/player_step_benchXXXXXX";
  int fd = mkstemp(path);
  std::FILE *out = fdopen(fd, "w");
  for (int r = 0; r < rows; ++r) {
    PulseCounts counts{};
    for (int c = 0; c < kNumberedJoints; ++c) {
      int i = kColumnOrder[c];
      counts[i] = rad2pulse(static_cast<float>(0.5 * std::sin(r * 0.001 + c)), i);
    }
    write_motion_row(out, period_ms, 0, counts);
    std::fputc('\n', out);
  }
  std::fclose(out);
  return path;
}

// Hands `path` over as the loader would and runs the approach, with the
// player's texts sent to /dev/null.
void start_playing(const std::string &path) {
  std::fflush(stdout);
  int saved = dup(1);
  dup2(devnull, 1);
  load_file(open_motion_file(path.c_str()));
  do {
    player_step();
    robot_step(one_step);
  } while (interpolating.load() != 0);
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
}

// One playing step and its robot_step; a new pass when the file ends.
void playing_steps(benchmark::State &state, const std::string &path) {
  start_playing(path);
  for (auto _ : state) {
    player_step();
    robot_step(one_step);
    if (file_ended.load() == 1) {
      state.PauseTiming();
      start_playing(path);
      state.ResumeTiming();
    }
  }
}

void BM_PlayingStep1ms(benchmark::State &state) {
  playing_steps(state, fast_file);
}
void BM_PlayingStep50ms(benchmark::State &state) {
  playing_steps(state, slow_file);
}

// The stand-in's share: a robot_step after 21 servo commands.
void BM_SendAndRobotStepOnly(benchmark::State &state) {
  for (auto _ : state) {
    send_posture_body(futurPosition);
    robot_step(one_step);
  }
}

// A waiting step: 25 servo reads and the robot_step.
void BM_WaitingStep(benchmark::State &state) {
  while (file_ended.load() == 0) {
    player_step();
    robot_step(one_step);
  }
  for (auto _ : state) {
    player_step();
    robot_step(one_step);
  }
}

BENCHMARK(BM_PlayingStep1ms);
BENCHMARK(BM_PlayingStep50ms);
BENCHMARK(BM_SendAndRobotStepOnly);
BENCHMARK(BM_WaitingStep);

// Allocations made by whole passes over a file: the hand-over, the approach,
// every playing step, the end of the file and waiting steps after it.
void count_allocations() {
  for (int pass = 1; pass <= 3; ++pass) {
    // The counter at work: opening a stream allocates its buffer.
    long at_open = allocations.load();
    std::FILE *opened = open_motion_file(fast_file.c_str());
    if (pass == 1) std::printf("opening the file: %ld heap allocations\n", allocations - at_open);
    std::fflush(stdout);
    int saved = dup(1);
    dup2(devnull, 1);
    load_file(opened);
    long before = allocations.load();
    long steps = 0;
    while (file_ended.load() == 0) {
      player_step();
      robot_step(one_step);
      ++steps;
    }
    for (int k = 0; k < 100; ++k, ++steps) {
      player_step();
      robot_step(one_step);
    }
    long made = allocations.load() - before;
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::printf("pass %d: %ld control steps, %ld heap allocations\n", pass, steps, made);
  }
}

}  // namespace

extern "C" void *malloc(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}
extern "C" void *calloc(std::size_t count, std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(count, size);
}
extern "C" void *realloc(void *old, std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(old, size);
}

int main(int argc, char **argv) {
  // As fast as the machine allows, nothing recorded.
  setenv("STANDIN_PACE", "fast", 1);
  // The loop's own cost, beside the cheapest world.
  setenv("STANDIN_WORLD", "kinematic", 1);
  unsetenv("STANDIN_TRACE");
  unsetenv("STANDIN_POSTURE_LOG");
  unsetenv("STANDIN_STOP_MS");
  devnull = open("/dev/null", O_WRONLY);
  fast_file = write_motion(1, kRows);
  slow_file = write_motion(50, kRows / 50);
  player_reset_state();
  robot_live(reset_full);
  robot_step(kFirstStepMs);
  read_posture(futurPosition);
  count_allocations();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  unlink(fast_file.c_str());
  unlink(slow_file.c_str());
}

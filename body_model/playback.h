// How the programs step and what motion_player and motion_skim do with a
// motion file, in simulated time and in rows. The programs play by these
// figures; motion_check, its balance check and motion_compose predict the
// programs by the same ones, without including a program's header.
#pragma once

#include <cstddef>

// Every program's first simulation step, ms, before its control loop.
inline constexpr int kFirstStepMs = 128;

// motion_player's control step, ms (the player's `one_step`).
inline constexpr int kPlayerStepMs = 50;
// motion_player's line buffer, bytes: one read takes at most 499 characters.
inline constexpr std::size_t kPlayerLineBytes = 500;
// The approach to a file's first row: step and arrival tolerance, rad,
// single-precision values, over the joints JointIndex 0..22.
inline constexpr double kApproachStep = 0.005f;
inline constexpr double kApproachTolerance = 0.017f;
inline constexpr int kApproachJoints = 23;

// Rows a playing step consumes for a row period of `period_ms`: 50 / period
// for 1..50 ms, 1 above 50 ms (faster than the file's time base), 0 for a
// period of 0 or less, which the loader refuses.
constexpr int rows_per_step(int period_ms) {
  if (period_ms <= 0) return 0;
  return period_ms > kPlayerStepMs ? 1 : kPlayerStepMs / period_ms;
}

// motion_skim's control step, ms, and the line reads it makes in each: it
// commands every hundredth row whatever the file's row period.
inline constexpr int kSkimStepMs = 64;
inline constexpr int kSkimRowsPerStep = 100;
// motion_skim's line buffer, bytes: one read takes at most 999 characters.
inline constexpr std::size_t kSkimLineBytes = 1000;

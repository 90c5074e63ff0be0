// Seeded numbers of our own for the imperfect robot (bumps, noise): pure
// functions of a key, so the same settings give the same run on every
// machine, and never the engine's generator.
#pragma once

#include <cstdint>

namespace standin {

// SplitMix64's finaliser: a well-mixed 64-bit value of `x`.
inline std::uint64_t mix(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// A uniform number in (0, 1) from `bits`.
inline double uniform(std::uint64_t bits) {
  return (static_cast<double>(bits >> 11) + 0.5) * 0x1p-53;
}

}  // namespace standin

// motion_gen: writes a generated motion file to stdout.
//
//   motion_gen MOTION PERIOD_MS SECONDS
//
// MOTION is wave (arms raise sideways and wave), squat (knees bend and
// straighten) or swing (arms swing forward and back in opposite phase).
// Angles are planned in radians and converted with each joint's own
// calibration, so left and right stay mirrored whatever the servo's sign.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "body_model.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// JointIndex of the joints the motions use.
constexpr int kLegHip = 8, kLegKnee = 10, kLegAnkle = 11;         // right leg pitch chain
constexpr int kLegHipL = 2, kLegKneeL = 4, kLegAnkleL = 5;        // left leg pitch chain
constexpr int kArmSwing = 18, kArmRaise = 19, kArmElbow = 21;     // right arm
constexpr int kArmSwingL = 13, kArmRaiseL = 14, kArmElbowL = 16;  // left arm

// 0 at u <= 0, 1 at u >= 1, smooth in between.
double ease(double u) {
  if (u <= 0) return 0;
  if (u >= 1) return 1;
  return 0.5 - 0.5 * std::cos(kPi * u);
}

// Raise to 1 over `rise` s, hold, fall back to 0 over the last `rise` s.
double envelope(double t, double total, double rise) {
  return ease(t / rise) * ease((total - t) / rise);
}

// Both arms raised sideways, forearms waving once every two seconds.
void wave(double t, double total, Posture &p) {
  double up = envelope(t, total, 1.5);
  double beat = std::sin(2 * kPi * 0.5 * t);
  p[kArmRaise] = -1.2 * up;
  p[kArmRaiseL] = 1.2 * up;
  p[kArmElbow] = up * (-0.75 + 0.45 * beat);
  p[kArmElbowL] = up * (-0.75 - 0.45 * beat);
}

// Knees bend to 1.2 rad with hips and ankles keeping the trunk upright.
void squat(double t, double total, Posture &p) {
  double cycles = std::floor(total / 3.0);
  if (cycles < 1) cycles = 1;
  double depth = 0.5 - 0.5 * std::cos(2 * kPi * cycles * t / total);
  p[kLegKnee] = p[kLegKneeL] = 1.2 * depth;
  p[kLegHip] = p[kLegHipL] = -0.6 * depth;
  p[kLegAnkle] = p[kLegAnkleL] = -0.6 * depth;
  p[kArmSwing] = p[kArmSwingL] = 0.5 * depth;
}

// Arms swing forward and back in opposite phase, once every two seconds.
void swing(double t, double total, Posture &p) {
  double amp = 0.4 * envelope(t, total, 1.0);
  double s = std::sin(2 * kPi * 0.5 * t);
  p[kArmSwing] = amp * s;
  p[kArmSwingL] = -amp * s;
}

struct Motion {
  const char *name;
  void (*pose)(double t, double total, Posture &p);
};
constexpr Motion kMotions[] = {{"wave", wave}, {"squat", squat}, {"swing", swing}};

bool parse_int(const char *text, long &out) {
  auto end = text + std::strlen(text);
  auto [ptr, ec] = std::from_chars(text, end, out);
  return ec == std::errc() && ptr == end;
}

}  // namespace

int main(int argc, char **argv) {
  long period = 0, seconds = 0;
  const Motion *motion = nullptr;
  if (argc == 4) {
    for (const Motion &m : kMotions)
      if (std::string_view(argv[1]) == m.name) motion = &m;
  }
  if (!motion || !parse_int(argv[2], period) || !parse_int(argv[3], seconds) || period < 1 ||
      period > 1000 || seconds < 1 || seconds > 100000) {
    std::fprintf(stderr,
                 "usage: motion_gen wave|squat|swing PERIOD_MS(1..1000) SECONDS(1..100000)\n");
    return 2;
  }
  long rows = seconds * 1000 / period;
  double total = static_cast<double>(seconds);
  for (long r = 0; r < rows; ++r) {
    Posture posture{};
    motion->pose(static_cast<double>(r * period) / 1000.0, total, posture);
    PulseCounts counts{};
    for (int i : kColumnOrder) counts[i] = rad2pulse(static_cast<float>(posture[i]), i);
    if (write_motion_row(stdout, static_cast<int>(period), 0, counts) < 0 ||
        std::fputc('\n', stdout) == EOF) {
      std::perror("motion_gen");
      return 1;
    }
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}

// motion_gen: writes a generated motion file to stdout.
//
//   motion_gen MOTION PERIOD_MS SECONDS
//
// MOTION is wave (the right arm raised, the hand waving), squat (knees bend
// and straighten), step (stepping in place), bow (a bow from the waist) or
// swing (arms swing forward and back in opposite phase). Angles are planned
// in radians and converted with each joint's own calibration, so the pulse
// counts of a mirrored pair may differ in sign while the angles do not.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "body_model.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// A joint on the right side and its counterpart on the left, with the
// mirror sign of the joint convention: in a pose symmetric about the body's
// mid-plane, joints that bend forward and back take the same angle on both
// sides, and joints that turn sideways or about the limb take opposite ones.
struct Pair {
  int right;   // JointIndex on the right side
  int left;    // JointIndex on the left side
  int mirror;  // left angle = mirror * right angle in a symmetric pose
};
constexpr Pair pair_of(int right) {
  return {right, kJointConvention[right].counterpart, kJointConvention[right].mirror};
}
constexpr Pair kLeg2 = pair_of(9);   // hip roll: leg out to the side
constexpr Pair kLeg3 = pair_of(8);   // hip pitch
constexpr Pair kLeg4 = pair_of(10);  // knee, bends one way only
constexpr Pair kLeg5 = pair_of(11);  // ankle pitch
constexpr Pair kLeg6 = pair_of(12);  // ankle roll
constexpr Pair kArm1 = pair_of(18);  // shoulder pitch: arm forward and back
constexpr Pair kArm2 = pair_of(19);  // shoulder roll: arm out to the side
constexpr Pair kArm3 = pair_of(20);  // upper arm turn
constexpr Pair kArm4 = pair_of(21);  // elbow, bends one way only
constexpr int kBody = 0;             // body_joint_1: bends forward only

// Both joints of `pair` in a symmetric pose, `angle` on the right side.
void symmetric(Posture &p, Pair pair, double angle) {
  p[pair.right] = angle;
  p[pair.left] = pair.mirror * angle;
}

// Both joints of `pair` turning the body the same way in the world: the
// mirror image of that, so the signs come out the other way round.
void sideways(Posture &p, Pair pair, double angle) {
  p[pair.right] = angle;
  p[pair.left] = -pair.mirror * angle;
}

// Hip, knee and ankle pitch with the foot kept parallel to the trunk: the
// knee bends by `bend`, hip and ankle take half of it each.
void fold_leg(Posture &p, int hip, int knee, int ankle, double bend) {
  p[knee] = bend;
  p[hip] = -0.5 * bend;
  p[ankle] = -0.5 * bend;
}

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

// The right arm raised out to the side with the elbow bent, the hand waving
// once a second; the left arm stays down.
void wave(double t, double total, Posture &p) {
  double up = envelope(t, total, 1.5);
  double beat = std::sin(2 * kPi * 1.0 * t);
  p[kArm2.right] = -1.35 * up;
  p[kArm4.right] = -1.1 * up;
  p[kArm3.right] = 0.45 * up * beat;
}

// Knees bend to 1.2 rad with hips and ankles keeping the trunk upright; the
// arms come forward to balance. One squat every three seconds.
void squat(double t, double total, Posture &p) {
  double cycles = std::floor(total / 3.0);
  if (cycles < 1) cycles = 1;
  double depth = 0.5 - 0.5 * std::cos(2 * kPi * cycles * t / total);
  fold_leg(p, kLeg3.right, kLeg4.right, kLeg5.right, 1.2 * depth);
  fold_leg(p, kLeg3.left, kLeg4.left, kLeg5.left, 1.2 * depth);
  symmetric(p, kArm1, 0.5 * depth);
}

// Stepping in place, each foot once every two seconds: the hips sway over
// the standing foot, the other knee lifts, the arms swing against the legs.
void step(double t, double total, Posture &p) {
  double on = envelope(t, total, 1.0);
  double s = std::sin(2 * kPi * 0.5 * t);
  double lift_right = on * std::pow(std::max(s, 0.0), 2);
  double lift_left = on * std::pow(std::max(-s, 0.0), 2);
  fold_leg(p, kLeg3.right, kLeg4.right, kLeg5.right, 0.9 * lift_right);
  fold_leg(p, kLeg3.left, kLeg4.left, kLeg5.left, 0.9 * lift_left);
  // Both legs swing to the right under the hips while the right foot lifts,
  // which carries the hips, and the weight, over the left foot; 0.22 rad
  // puts the centre of mass well inside the sole 4.4 cm off the mid-plane.
  // Hip roll and ankle roll cancel, so the feet stay flat.
  sideways(p, kLeg2, -0.22 * on * s);
  sideways(p, kLeg6, 0.22 * on * s);
  sideways(p, kArm1, 0.3 * on * s);
}

// One bow from the waist in the middle of the file: two seconds down, one
// held, two up. The knees give a little and the hands come forward.
void bow(double t, double total, Posture &p) {
  double mid = total / 2;
  double b = ease((t - (mid - 2.5)) / 2.0) * ease((mid + 2.5 - t) / 2.0);
  p[kBody] = 0.9 * b;
  fold_leg(p, kLeg3.right, kLeg4.right, kLeg5.right, 0.3 * b);
  fold_leg(p, kLeg3.left, kLeg4.left, kLeg5.left, 0.3 * b);
  symmetric(p, kArm1, 0.3 * b);
}

// Arms swing forward and back in opposite phase, once every two seconds.
void swing(double t, double total, Posture &p) {
  double amp = 0.4 * envelope(t, total, 1.0);
  sideways(p, kArm1, amp * std::sin(2 * kPi * 0.5 * t));
}

struct Motion {
  const char *name;
  void (*pose)(double t, double total, Posture &p);
};
constexpr Motion kMotions[] = {
    {"wave", wave}, {"squat", squat}, {"step", step}, {"bow", bow}, {"swing", swing}};

bool parse_int(const char *text, long &out) {
  auto end = text + std::strlen(text);
  auto [ptr, ec] = std::from_chars(text, end, out);
  return ec == std::errc() && ptr == end;
}

// Output that could not be written (a full disk, say) is a failure, told
// in one line, never a result.
int write_failed() {
  std::fprintf(stderr, "motion_gen: cannot write the output: %s\n",
               errno != 0 ? std::strerror(errno) : "a write failed");
  return 1;
}

}  // namespace

int main(int argc, char **argv) {
  // Before anything is opened: a file must never take the console's place.
  keep_standard_streams_open();
  long period = 0, seconds = 0;
  const Motion *motion = nullptr;
  if (argc == 4) {
    for (const Motion &m : kMotions)
      if (std::string_view(argv[1]) == m.name) motion = &m;
  }
  if (!motion || !parse_int(argv[2], period) || !parse_int(argv[3], seconds) || period < 1 ||
      period > 1000 || seconds < 1 || seconds > 100000) {
    std::fprintf(
        stderr,
        "usage: motion_gen wave|squat|step|bow|swing PERIOD_MS(1..1000) SECONDS(1..100000)\n");
    return 2;
  }
  long rows = seconds * 1000 / period;
  double total = static_cast<double>(seconds);
  errno = 0;
  for (long r = 0; r < rows; ++r) {
    Posture posture{};
    motion->pose(static_cast<double>(r * period) / 1000.0, total, posture);
    PulseCounts counts{};
    for (int i : kColumnOrder) counts[i] = rad2pulse(static_cast<float>(posture[i]), i);
    if (write_motion_row(stdout, static_cast<int>(period), 0, counts) < 0 ||
        std::fputc('\n', stdout) == EOF) {
      return write_failed();
    }
  }
  // The last rows wait in the buffer: a full disk may refuse them only now.
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) return write_failed();
  return 0;
}

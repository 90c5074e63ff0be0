// The balance check. It replays motion_player's commands (the approach to
// the first row, then every rows_per_step-th row, then the last), moves a
// setpoint toward each at the servo speed as the stand-in does, and stands
// the posture on the floor: one sole (the stance sole) flat and fixed on
// the floor while the other does not press below it; when it would, the
// robot has stepped onto the other sole, which becomes the stance sole
// where it touched.
//
// Each sample then takes three steps:
//   1. the give: the posture the servos hold under the robot's weight
//      (each joint by its torque over its stiffness), which moves the
//      centre of mass and sets which soles carry;
//   2. the momentum: its rates from the commanded posture, sample to
//      sample, averaged over kBalanceFilter samples;
//   3. the sway: the centre of mass on the servos' springs, pulled toward
//      the give, and tipping about the support's edge where the centre of
//      pressure it needs would leave the support.
#include "balance.h"

#include <mujoco/mujoco.h>

#include <Eigen/Geometry>
#include <Eigen/LU>
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "line_reader.h"
#include "whole_file.h"

namespace {

using Vec2 = Eigen::Vector2d;
using Vec3 = Eigen::Vector3d;
using Mat2 = Eigen::Matrix2d;
using Mat3 = Eigen::Matrix3d;

// Below this share of the weight on the floor the robot is thrown up: the
// centre of pressure is taken at this share rather than divided by nothing.
constexpr double kLeastLoad = 0.1;
// Approach steps evaluated at the most: beyond them the approach is taken
// as reached (only a posture far beyond the joints' limits needs more).
constexpr long kApproachEvaluated = 4000;
// The sway is followed in this many steps per sample.
constexpr int kSwaySteps = 5;

Mat3 from_mj(const mjtNum *m) {
  Mat3 r;
  r << m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7], m[8];
  return r;
}

// "line 140 (1.40 s)": a line and its time in the file.
std::string line_time(long line, int period) {
  return text_of("line %ld (%.2f s)", line, line * (period / 1000.0));
}

}  // namespace

BalanceMargin balance_margin(const robot::Support &support, const Eigen::Vector2d &point) {
  BalanceMargin m;
  m.mm =
      support.empty() ? -std::numeric_limits<double>::infinity() : support.margin(point) * 1000.0;
  m.footing = m.mm >= kEdgeBandMm ? Footing::kInside
              : m.mm >= 0.0       ? Footing::kAtRisk
                                  : Footing::kOutside;
  return m;
}

double sole_moved(const std::array<Eigen::Vector3d, 4> &before,
                  const std::array<Eigen::Vector3d, 4> &now) {
  double most = 0.0;
  for (int k = 0; k < 4; ++k) most = std::max(most, (now[k] - before[k]).norm());
  return most;
}

bool onto_still_leg(double moved_stance, double moved_other,
                    const std::array<Eigen::Vector3d, 4> &other) {
  if (moved_other > kStill || moved_stance <= kStill) return false;
  for (const Vec3 &c : other)
    if (c.z() < -kPress || c.z() > kTouch) return false;
  return true;
}

robot::Support carrying_support(const std::array<std::array<Eigen::Vector3d, 4>, 2> &soles,
                                double floor, const std::array<bool, 2> &pressed) {
  std::array<Vec2, 8> corners;
  int n = 0;
  for (int s = 0; s < 2; ++s) {
    const auto &c = soles[s];
    const double low = std::min({c[0].z(), c[1].z(), c[2].z(), c[3].z()});
    if (!pressed[s] && low - floor > kCarryGap) continue;
    for (const Vec3 &k : c)
      if (k.z() <= low + kCarryGap) corners[n++] = k.head<2>();
  }
  return robot::Support::hull(std::span(corners.data(), n));
}

struct BalanceCheck::State {
  const robot::Model &model;
  robot::Data body;
  double servo_speed;
  LineReader reader{kPlayerReadChars + 1};
  const mjModel *m;
  const mjData *d;
  int nbody;
  double mass;
  double g;                                   // m/s², the model's gravity
  Vec3 gravity;                               // m/s², world frame
  std::array<double, kJointCount> stiffness;  // N·m/rad, each joint's servo
  double damping_time = 0.0;                  // s: the legs' servos' damping over their stiffness
  // Stance: which sole stands, and where (floor xy and heading).
  int stance = robot::kLeft;
  Vec2 anchor = Vec2::Zero();
  double anchor_yaw = 0.0;
  bool placed = false;
  // Each sole's corners against the pelvis at the last sample, and how far
  // the farthest moved since, m.
  std::array<std::array<Vec3, 4>, 2> leg_corners;
  std::array<double, 2> moved = {0.0, 0.0};
  bool have_legs = false;
  // The give: the posture held, and how stiffly the soles that carry hold
  // the centre of mass (N/m, on the floor).
  Posture held{};
  Mat2 stiff = Mat2::Zero();
  // The sway: the centre of mass from where the commands put it, m, m/s.
  Vec2 sway = Vec2::Zero(), sway_speed = Vec2::Zero();
  std::array<Vec2, kBalanceFilter> sway_rates;  // m/s², the last samples'
  long sway_count = 0;
  bool swaying = false;
  // The tip: the robot turned about the support's edge, its centre of mass
  // `tip` m out past where the motion has it along `tip_out` (the edge's
  // outward normal), at `tip_speed` m/s.
  bool tipping = false;
  Vec2 tip_out = Vec2::UnitX();
  double tip = 0.0, tip_speed = 0.0;
  // The previous sample's bodies, world frame, and momentum.
  std::vector<Vec3> com_prev;
  std::vector<Mat3> rot_prev;
  std::vector<Vec3> com_now;
  std::vector<Mat3> rot_now;
  Vec3 p_prev = Vec3::Zero(), l_prev = Vec3::Zero();
  bool have_prev = false, have_momentum = false;
  // The last kBalanceFilter samples: rates, centre of mass as commanded and
  // its give, the hold, the support.
  struct Pending {
    long line;
    double time;
    Vec3 p_rate, l_rate, com;
    Vec2 give;
    Mat2 stiff;
    robot::Support support;
    double heading;
  };
  std::array<Pending, kBalanceFilter> ring;
  long count = 0;

  State(const robot::Model &robot, double speed) : model(robot), body(robot), servo_speed(speed) {
    m = model.mj();
    d = body.mj();
    nbody = m->nbody;
    mass = model.mass();
    g = model.g();
    gravity = model.gravity();
    for (int i = 0; i < kJointCount; ++i) stiffness[i] = model.servo(i).kp;
    int legs = 0;
    for (const auto &leg : robot::kLegJoints) {
      for (int i : leg) {
        if (!(stiffness[i] > 0.0)) continue;
        damping_time += model.joint_damping(i) / stiffness[i];
        ++legs;
      }
    }
    if (legs > 0) damping_time /= legs;
    com_prev.resize(nbody);
    rot_prev.resize(nbody);
    com_now.resize(nbody);
    rot_now.resize(nbody);
  }

  void reset() {
    placed = false;
    have_legs = false;
    have_prev = have_momentum = false;
    swaying = false;
    tipping = false;
    have_soles = false;
    rub_first = 0;
    fallen = false;
    count = 0;
  }

  // The placement that puts sole `s` flat at its anchor: rotation and shift
  // applied to the posture computed with the pelvis at the origin.
  void placement(int s, const Vec2 &at, double yaw, Mat3 *r, Vec3 *t) {
    robot::SolePose sole = body.sole(static_cast<robot::Side>(s));
    Mat3 rs = body.sole_rotation(static_cast<robot::Side>(s));
    *r = Eigen::AngleAxisd(yaw, Vec3::UnitZ()).matrix() * rs.transpose();
    *t = Vec3(at.x(), at.y(), 0.0) - *r * sole.position;
  }

  // The lowest corner of sole s under the placement, m.
  double lowest(int s, const Mat3 &r, const Vec3 &t) {
    double z = std::numeric_limits<double>::infinity();
    for (const Vec3 &c : body.sole_corners(static_cast<robot::Side>(s)))
      z = std::min(z, (r * c + t).z());
    return z;
  }

  // How far each sole moved against the pelvis since the last sample, as
  // the posture `reached` puts it: its farthest corner, m. Standing on both
  // soles, the robot keeps still on the leg that keeps still.
  void watch_legs(const Posture &reached) {
    body.set_posture(reached, robot::PelvisPose{});
    for (int s = 0; s < 2; ++s) {
      const std::array<Vec3, 4> corners = body.sole_corners(static_cast<robot::Side>(s));
      moved[s] = have_legs ? sole_moved(leg_corners[s], corners) : 0.0;
      leg_corners[s] = corners;
    }
    have_legs = true;
  }

  // Stands the posture just computed on the floor.
  void stand(Mat3 *r, Vec3 *t) {
    using robot::kLeft;
    using robot::kRight;
    if (!placed) {
      // At the start the lower sole stands where it is.
      Mat3 id = Mat3::Identity();
      Vec3 zero = Vec3::Zero();
      stance = lowest(kLeft, id, zero) <= lowest(kRight, id, zero) ? kLeft : kRight;
      robot::SolePose s = body.sole(static_cast<robot::Side>(stance));
      anchor = s.position.head<2>();
      anchor_yaw = s.yaw;
      placed = true;
    }
    placement(stance, anchor, anchor_yaw, r, t);
    int other = 1 - stance;
    double below = lowest(other, *r, *t);
    std::array<Vec3, 4> corners = body.sole_corners(static_cast<robot::Side>(other));
    for (Vec3 &c : corners) c = *r * c + *t;
    const bool keeps_still = onto_still_leg(moved[stance], moved[other], corners);
    if (below >= -kPress && !keeps_still) return;
    // The other sole has come down, or both stand flat and the stance
    // sole's leg moves while the other's keeps still: the other stands
    // now, where it is.
    robot::SolePose s = body.sole(static_cast<robot::Side>(other));
    Vec3 at = *r * s.position + *t;
    Mat3 rs = *r * body.sole_rotation(static_cast<robot::Side>(other));
    Mat3 r2;
    Vec3 t2;
    double yaw = std::atan2(rs(1, 0), rs(0, 0));
    placement(other, at.head<2>(), yaw, &r2, &t2);
    double below2 = lowest(stance, r2, t2);
    // Both soles would press below: the robot stands on both, the one
    // that presses less flat on the floor, the other's edge pressed into
    // it by what the servos and the floor give (a heel landing ahead
    // while the other sole is still flat; the old sole's heel while the
    // new one lands flat). Lifting the robot by that depth instead would
    // take the flat sole off the floor, and leave the other's edge alone
    // as the support.
    if (below2 < below && !keeps_still) return;
    stance = other;
    anchor = at.head<2>();
    anchor_yaw = yaw;
    *r = r2;
    *t = t2;
  }

  // The posture the servos hold under the robot's weight with the soles
  // `on` carrying: each joint gives by the torque on it over its servo's
  // stiffness, each round's torques from the last round's posture, the
  // robot hanging from the stance sole. Into `held`, which the body then
  // holds; returns how high the other sole's lowest corner is then, m.
  // `posed`: the body holds `reached` already (the forward kinematics are
  // most of the check's time).
  double give(const Posture &reached, const robot::Carrying &on, bool posed) {
    held = reached;
    Mat3 r;
    Vec3 t;
    for (int round = 0; round < kSagRounds; ++round) {
      if (round > 0 || !posed) body.set_posture(held, robot::PelvisPose{});
      placement(stance, anchor, anchor_yaw, &r, &t);
      const Posture torque = body.weight_torques(on, r.transpose() * gravity);
      for (int i = 0; i < kJointCount; ++i)
        held[i] = stiffness[i] > 0.0 ? reached[i] + torque[i] / stiffness[i] : reached[i];
    }
    body.set_posture(held, robot::PelvisPose{});
    placement(stance, anchor, anchor_yaw, &r, &t);
    return lowest(1 - stance, r, t);
  }

  // Step 1, the give: the posture the servos hold under the robot's
  // weight, stood on the floor, and how stiffly the soles hold it. The
  // other sole carries when it touches the floor as commanded; a sole
  // lifted a little may be pressed down by the stance leg's give: then it
  // touches and carries what keeps it on the floor, between nothing (the
  // stance leg gives as alone) and its share on both soles.
  void sag(const Posture &reached, Mat3 *r, Vec3 *t) {
    // The body holds `reached` from here to the give.
    watch_legs(reached);
    if (!placed) stand(r, t);
    placement(stance, anchor, anchor_yaw, r, t);
    const int other = 1 - stance;
    robot::Carrying on;
    on[stance] = true;
    on[other] = lowest(other, *r, *t) <= kTouch;
    const double alone = give(reached, on, true);
    if (!on[other] && alone < 0.0) {
      const Posture single = held;
      on[other] = true;
      const double both = give(reached, on, false);
      if (both > 0.0) {
        const double f = both / (both - alone);  // the single give's part
        for (int i = 0; i < kJointCount; ++i) held[i] = f * single[i] + (1.0 - f) * held[i];
        body.set_posture(held, robot::PelvisPose{});
      }
    }
    stand(r, t);
    // The legs of the soles that carry hold the centre of mass side by side.
    stiff = Mat2::Zero();
    for (int s = 0; s < 2; ++s) {
      if (lowest(s, *r, *t) > kCarryGap) continue;
      const Mat3 c = *r * body.com_compliance(static_cast<robot::Side>(s)) * r->transpose();
      const Mat2 flat = c.topLeftCorner<2, 2>();
      if (flat.determinant() > 0.0) stiff += flat.inverse();
    }
  }

  // Step 3, the sway, for one sample: the centre of mass on the servos'
  // springs (`hold`, N/m), pulled toward the give `target` (m from where
  // the commands put it) against the weight's pull away at height `h`,
  // with the servos' damping. The centre of pressure that takes is the
  // commanded motion's (`planned`) moved by the sway; where it would
  // leave the support it stays on the edge, and the robot tips about it.
  // Returns the centre of pressure the robot needs, the sway's
  // acceleration averaged over kBalanceFilter samples as the momentum's
  // rates are: outside the support while it tips or rocks on the edge.
  Vec2 swing(const Vec2 &target, const Mat2 &hold, const Vec2 &planned, double h,
             const robot::Support &support) {
    if (!swaying) {
      sway = target;
      sway_speed = Vec2::Zero();
      sway_rates.fill(Vec2::Zero());
      swaying = true;
    }
    const double w2 = g / h;
    const Mat2 spring = hold / mass - w2 * Mat2::Identity();
    const Mat2 damper = hold * (damping_time / mass);
    const Vec2 speed_before = sway_speed;
    const double dt = kBalanceSample / kSwaySteps;
    for (int k = 0; k < kSwaySteps; ++k) {
      Vec2 a = -spring * (sway - target) - damper * sway_speed;
      const Vec2 cop = planned + sway - a / w2;
      Vec2 edge = cop;
      // Pushed from the edge, the centre of mass falls away from it.
      if (support.empty() || support.margin(cop, &edge) < 0.0) a = w2 * (sway + planned - edge);
      sway_speed += a * dt;
      sway += sway_speed * dt;
    }
    sway_rates[sway_count++ % kBalanceFilter] = (sway_speed - speed_before) / kBalanceSample;
    Vec2 mean = Vec2::Zero();
    for (const Vec2 &a : sway_rates) mean += a / kBalanceFilter;
    return planned + sway - mean / w2;
  }

  // The tip, for one sample: where the motion asks for a centre of
  // pressure (`asked`) beyond the support's edge, the floor's force stays on
  // the edge and the robot turns about it as a rigid body, an inverted
  // pendulum of height `h` (its servos do not give to a turn of the whole
  // body, so they do not pull it back). Gravity brings it back down where
  // the motion then asks for a centre of pressure inside the support by
  // more than the tip has carried the centre of mass out past the edge's
  // line. `margin` is asked's in the support (balance_margin's). Returns
  // true when the tip passes kTipped: the robot falls.
  bool turn_about_edge(const Vec2 &asked, const BalanceMargin &margin,
                       const robot::Support &support, double h) {
    if (support.empty()) return true;
    if (!tipping) {
      if (margin.mm >= 0.0) return false;
      Vec2 edge = asked;
      support.margin(asked, &edge);
      tipping = true;
      tip_out = (asked - edge).normalized();
      tip = tip_speed = 0.0;
    }
    // How far the asked centre of pressure lies inside the edge's line:
    // the support's farthest corner along tip_out.
    double edge_line = -std::numeric_limits<double>::infinity();
    for (int k = 0; k < support.size(); ++k)
      edge_line = std::max(edge_line, support[k].dot(tip_out));
    const double inside = edge_line - asked.dot(tip_out);
    const double w2 = g / h;
    const double dt = kBalanceSample / kSwaySteps;
    for (int k = 0; k < kSwaySteps; ++k) {
      tip_speed += w2 * (tip - inside) * dt;
      tip += tip_speed * dt;
      if (tip <= 0.0 && inside >= 0.0) {
        // Down flat on the floor again.
        tipping = false;
        return false;
      }
    }
    return tip > kTipped;
  }

  // The robot has stepped onto its other sole: the last sample's bodies
  // and momentum, in the frame of the sole that stood then (`stance`,
  // `at`, `yaw`), are put in the frame of the one that stands now (the
  // posture just set placed by `r`, `t`), so that the momentum and its
  // rates stay the body's across the change. A landing sole meets the
  // floor a few mm and mrad from where the old frame put it.
  void reframe(int was, const Vec2 &at, double yaw, const Mat3 &r, const Vec3 &t) {
    Mat3 r_was;
    Vec3 t_was;
    placement(was, at, yaw, &r_was, &t_was);
    const Mat3 turn = r * r_was.transpose();
    const Vec3 shift = t - turn * t_was;
    for (int b = 1; b < nbody; ++b) {
      com_prev[b] = turn * com_prev[b] + shift;
      rot_prev[b] = turn * rot_prev[b];
    }
    l_prev = turn * l_prev + shift.cross(turn * p_prev);
    p_prev = turn * p_prev;
  }

  // One sample of the posture the servos reach.
  void sample(const Posture &reached, long line, double time, const BalanceSamples &out,
              BalanceSummary &sum, const FindingSink &sink);
  void emit(const Pending &p, const Vec3 &p_rate, const Vec3 &l_rate, const BalanceSamples &out,
            BalanceSummary &sum, const FindingSink &sink);

  // The current stretch at risk or outside the support.
  long stretch_first = 0, stretch_last = 0;
  double stretch_least = 0.0;  // mm, the least margin in it, asked or swaying
  std::string stretch_toward;
  double stretch_beyond = 0.0;  // mm the motion asks beyond the edge, at most
  std::string stretch_beyond_toward;
  bool stretch_tipped = false;   // the sway rocked it ever higher on the edge
  bool stretch_toppled = false;  // it turned about the edge past kTipped: it falls
  bool fallen = false;           // the robot has fallen: nothing more is judged
  int period = 0;
  long shown = 0, hidden = 0;
  void close_stretch(BalanceSummary &sum, const FindingSink &sink);
  // Counts a stretch at risk; the first one's line and what happens there.
  void note_risk(BalanceSummary &sum, long line, const std::string &what);
  // One warning for lines first to last (at most kShownPerKind of those at
  // risk shown).
  // A fall is shown `always`, beyond the cap.
  void warn(const FindingSink &sink, long first, long last, const std::string &what,
            bool always = false);

  // The sole that is not the stance sole rubbing along the floor: from
  // line rub_first, rubbed m so far, while rub_stance stands.
  std::array<std::array<Vec3, 4>, 2> last_soles;
  bool have_soles = false;
  int rub_stance = robot::kLeft;
  long rub_first = 0, rub_last = 0;
  double rubbed = 0.0;
  void watch_rubbing(const std::array<std::array<Vec3, 4>, 2> &soles, long line,
                     BalanceSummary &sum, const FindingSink &sink);
  void close_rub(BalanceSummary &sum, const FindingSink &sink);
};

void BalanceCheck::State::sample(const Posture &reached, long line, double time,
                                 const BalanceSamples &out, BalanceSummary &sum,
                                 const FindingSink &sink) {
  // Where the robot stands under its weight: its centre of mass, and the
  // soles that carry.
  Mat3 r;
  Vec3 t;
  const int was_stance = stance;
  const Vec2 was_anchor = anchor;
  const double was_yaw = anchor_yaw;
  sag(reached, &r, &t);
  const Vec3 com = r * body.com() + t;
  std::array<std::array<Vec3, 4>, 2> soles;
  for (int s = 0; s < 2; ++s) {
    soles[s] = body.sole_corners(static_cast<robot::Side>(s));
    for (Vec3 &k : soles[s]) k = r * k + t;
  }
  // Step 2, how it moves: the posture the servos reach, as commanded. The
  // give under the weight comes as the body settles onto its servos, not
  // as a motion of theirs: its motion is the sway's.
  body.set_posture(reached, robot::PelvisPose{});
  placement(stance, anchor, anchor_yaw, &r, &t);
  const Vec3 commanded = r * body.com() + t;
  if (have_prev && (stance != was_stance || anchor != was_anchor))
    reframe(was_stance, was_anchor, was_yaw, r, t);
  for (int b = 1; b < nbody; ++b) {
    com_now[b] = r * Vec3(d->xipos[3 * b], d->xipos[3 * b + 1], d->xipos[3 * b + 2]) + t;
    rot_now[b] = r * from_mj(d->ximat + 9 * b);
  }
  // Momentum from the change since the last sample.
  Vec3 p = Vec3::Zero(), l = Vec3::Zero();
  for (int b = 1; b < nbody && have_prev; ++b) {
    double mb = m->body_mass[b];
    Vec3 v = (com_now[b] - com_prev[b]) / kBalanceSample;
    Mat3 turn = rot_now[b] * rot_prev[b].transpose();
    Vec3 w = 0.5 * Vec3(turn(2, 1) - turn(1, 2), turn(0, 2) - turn(2, 0), turn(1, 0) - turn(0, 1)) /
             kBalanceSample;
    Vec3 inertia(m->body_inertia[3 * b], m->body_inertia[3 * b + 1], m->body_inertia[3 * b + 2]);
    const Mat3 &rb = rot_now[b];
    p += mb * v;
    l += mb * com_now[b].cross(v) + rb * inertia.asDiagonal() * rb.transpose() * w;
  }
  std::swap(com_prev, com_now);
  std::swap(rot_prev, rot_now);
  bool first = !have_prev;
  have_prev = true;
  Pending pending;
  pending.line = line;
  pending.time = time;
  pending.com = commanded;
  pending.give = (com - commanded).head<2>();
  pending.stiff = stiff;
  pending.p_rate = Vec3::Zero();
  pending.l_rate = Vec3::Zero();
  if (!first && have_momentum) {
    pending.p_rate = (p - p_prev) / kBalanceSample;
    pending.l_rate = (l - l_prev) / kBalanceSample;
  }
  if (!first) {
    p_prev = p;
    l_prev = l;
    have_momentum = true;
  }
  pending.support = carrying_support(soles, 0.0);
  watch_rubbing(soles, line, sum, sink);
  pending.heading = anchor_yaw;
  ring[count % kBalanceFilter] = pending;
  ++count;
  if (count < kBalanceFilter) return;
  // The rates averaged over the window, for the window's middle sample.
  Vec3 pr = Vec3::Zero(), lr = Vec3::Zero();
  for (const Pending &k : ring) {
    pr += k.p_rate;
    lr += k.l_rate;
  }
  pr /= kBalanceFilter;
  lr /= kBalanceFilter;
  const Pending &mid = ring[(count - 1 - kBalanceFilter / 2) % kBalanceFilter];
  emit(mid, pr, lr, out, sum, sink);
}

void BalanceCheck::State::emit(const Pending &p, const Vec3 &p_rate, const Vec3 &l_rate,
                               const BalanceSamples &out, BalanceSummary &sum,
                               const FindingSink &sink) {
  // The floor's force and its moment about the origin balance gravity and
  // the momentum's rates; the centre of pressure the commanded motion
  // needs is where that moment has no horizontal part.
  const Vec3 weight(0.0, 0.0, -g * mass);
  const Vec3 force = p_rate - weight;
  const Vec3 moment = l_rate - p.com.cross(weight);
  const double fz = std::max(force.z(), kLeastLoad * g * mass);
  const Vec2 planned(-moment.y() / fz, moment.x() / fz);
  // What the motion asks of the floor: that centre of pressure, under the
  // robot as its servos give. Beyond the edge the robot falls.
  const Vec2 asked = planned + p.give;
  // The robot also sways about it on its servos' springs.
  const Vec2 cop = swing(p.give, p.stiff, planned, p.com.z(), p.support);
  const Vec2 com = p.com.head<2>() + sway;
  const bool tipped = (sway - p.give).norm() > kTipped;
  if (tipped) {
    // It would tip over: the check goes on as if it were stood up again.
    sway = p.give;
    sway_speed = Vec2::Zero();
  }
  const BalanceMargin com_margin = balance_margin(p.support, com);
  const BalanceMargin cop_margin = balance_margin(p.support, cop);
  const BalanceMargin asked_margin = balance_margin(p.support, asked);
  // Asked beyond the edge, the robot turns about it: it falls where the
  // turn goes on past kTipped, and comes down again where it does not.
  const bool toppled = !fallen && turn_about_edge(asked, asked_margin, p.support, p.com.z());
  ++sum.samples;
  if (out) {
    const Vec2 centre = p.support.centre();
    out(BalanceSample{p.line, p.time, com.x(), com.y(), cop.x(), cop.y(), centre.x(), centre.y(),
                      com_margin.mm, cop_margin.mm, asked.x(), asked.y(), asked_margin.mm});
  }
  // After a fall the robot lies on the floor: nothing more is judged.
  if (fallen) return;
  if (sum.samples == 1 || asked_margin.mm < sum.smallest_margin) {
    sum.smallest_margin = asked_margin.mm;
    sum.smallest_line = p.line;
  }
  if (sum.samples == 1 || cop_margin.mm < sum.smallest_swaying) {
    sum.smallest_swaying = cop_margin.mm;
    sum.swaying_line = p.line;
  }
  if (cop_margin.footing == Footing::kInside && asked_margin.footing == Footing::kInside &&
      !tipped && !tipping) {
    if (stretch_first != 0) close_stretch(sum, sink);
    return;
  }
  if (stretch_first == 0) {
    stretch_first = p.line;
    stretch_least = std::numeric_limits<double>::infinity();
    stretch_beyond = 0.0;
    stretch_tipped = false;
    stretch_toppled = false;
  }
  stretch_last = p.line;
  stretch_tipped = stretch_tipped || tipped;
  stretch_toppled = stretch_toppled || toppled;
  // Which way a point lies, in the stance sole's heading: from the
  // support's centre toward a point inside, from the edge toward one
  // outside.
  auto toward = [&](const Vec2 &point, double margin) {
    Vec2 near = point;
    if (!p.support.empty()) p.support.margin(point, &near);
    const Vec2 away = p.support.empty() ? Vec2(1.0, 0.0)
                      : margin < 0.0    ? Vec2(point - near)
                                        : Vec2(near - p.support.centre());
    const double c = std::cos(p.heading), s = std::sin(p.heading);
    const double fwd = c * away.x() + s * away.y();
    const double left = -s * away.x() + c * away.y();
    return std::string(std::abs(fwd) >= std::abs(left)
                           ? (fwd > 0 ? "toward the toes" : "toward the heels")
                           : (left > 0 ? "to the left" : "to the right"));
  };
  if (cop_margin.mm < stretch_least) {
    stretch_least = cop_margin.mm;
    stretch_toward = toward(cop, cop_margin.mm);
  }
  if (asked_margin.mm < stretch_least) {
    stretch_least = asked_margin.mm;
    stretch_toward = toward(asked, asked_margin.mm);
  }
  if (-asked_margin.mm > stretch_beyond) {
    stretch_beyond = -asked_margin.mm;
    stretch_beyond_toward = toward(asked, asked_margin.mm);
  }
}

void BalanceCheck::State::close_stretch(BalanceSummary &sum, const FindingSink &sink) {
  ++sum.warnings;
  const bool falls = stretch_toppled;
  std::string what;
  if (falls) {
    ++sum.stretches;
    sum.first_line = stretch_first;
    sum.first_by = stretch_beyond;
    sum.first_toward = stretch_beyond_toward;
    fallen = true;
    what = text_of("the robot falls: the centre of pressure leaves the support by %.0f mm %s",
                   stretch_beyond, stretch_beyond_toward.c_str());
  } else if (stretch_tipped) {
    what = text_of(
        "at risk: the robot rocks on the support's edge %s, each time higher, until "
        "it would tip over",
        stretch_toward.c_str());
  } else if (stretch_least >= 0.0) {
    what = text_of(
        "at risk: the centre of pressure comes within %.0f mm of the support's edge "
        "%s, %.0f mm inside it at least",
        kEdgeBandMm, stretch_toward.c_str(), stretch_least);
  } else {
    what = text_of(
        "at risk: the robot rocks on the support's edge %s, the centre of pressure "
        "%.0f mm beyond it at most",
        stretch_toward.c_str(), -stretch_least);
  }
  if (!falls) note_risk(sum, stretch_first, what.substr(9));
  warn(sink, stretch_first, stretch_last, what, falls);
  stretch_first = 0;
}

void BalanceCheck::State::note_risk(BalanceSummary &sum, long line, const std::string &what) {
  ++sum.at_risk;
  if (sum.risk_line == 0) {
    sum.risk_line = line;
    sum.risk_what = what;
  }
}

void BalanceCheck::State::warn(const FindingSink &sink, long first, long last,
                               const std::string &what, bool always) {
  if (shown >= kShownPerKind && !always) {
    ++hidden;
    return;
  }
  ++shown;
  const std::string where = first == last
                                ? line_time(first, period)
                                : text_of("lines %ld to %ld (%.2f s to %.2f s)", first, last,
                                          first * (period / 1000.0), last * (period / 1000.0));
  sink(Finding{first, 0, Severity::kWarning, "balance: " + what + ", " + where});
}

void BalanceCheck::State::watch_rubbing(const std::array<std::array<Vec3, 4>, 2> &soles, long line,
                                        BalanceSummary &sum, const FindingSink &sink) {
  // The other sole's corners that rub on the floor now and did a sample
  // ago: how far the farthest of them slid.
  if (fallen) return close_rub(sum, sink);
  const int other = 1 - stance;
  double slid = -1.0;
  if (have_soles && stance == rub_stance) {
    for (int k = 0; k < 4; ++k) {
      if (soles[other][k].z() > kRubGap || last_soles[other][k].z() > kRubGap) continue;
      slid = std::max(slid, (soles[other][k] - last_soles[other][k]).head<2>().norm());
    }
  }
  if (slid >= 0.0) {
    if (rub_first == 0) {
      rub_first = line;
      rubbed = 0.0;
    }
    rub_last = line;
    rubbed += slid;
  } else {
    close_rub(sum, sink);
  }
  last_soles = soles;
  have_soles = true;
  rub_stance = stance;
}

void BalanceCheck::State::close_rub(BalanceSummary &sum, const FindingSink &sink) {
  if (rub_first != 0 &&
      rubbed > 0.5 * model.sole_size(static_cast<robot::Side>(1 - rub_stance)).x()) {
    const std::string what =
        text_of("the %s sole drags along the floor, %.0f mm",
                rub_stance == robot::kLeft ? "right" : "left", rubbed * 1000.0);
    ++sum.warnings;
    note_risk(sum, rub_first, what);
    warn(sink, rub_first, rub_last, "at risk: " + what);
  }
  rub_first = 0;
}

BalanceCheck::BalanceCheck(const robot::Model &model, double servo_speed)
    : state_(std::make_unique<State>(model, servo_speed)) {}

BalanceCheck::~BalanceCheck() = default;

// The rows motion_player plays, one after another.
class BalanceCheck::Rows {
 public:
  virtual ~Rows() = default;
  // Moves to the next row; false at the end.
  virtual bool next() = 0;
  // The row's line in the file.
  virtual long line() const = 0;
  // What the row commands: the numbered joints' angles into `q` (rad; the
  // others left as they are). Returns its period, ms.
  virtual int command(Posture &q) = 0;
};

namespace {

// The rows of a file, read as motion_player reads them.
class FileRows final : public BalanceCheck::Rows {
 public:
  explicit FileRows(LineReader &reader) : reader_(reader) {}
  bool next() override {
    if (!reader_.next()) return false;
    row_line_ = line_;
    if (reader_.last().back() == '\n') ++line_;
    return true;
  }
  long line() const override { return row_line_; }
  int command(Posture &q) override {
    reader_.copy_last(text_);
    parse_csv_row(text_, played_);
    for (int i : kColumnOrder) q[i] = pulse2rad(played_.pulses[i], i);
    return played_.period;
  }

 private:
  LineReader &reader_;
  char text_[kPlayerReadChars + 1];
  MotionRow played_;
  long line_ = 1, row_line_ = 0;
};

// Rows in memory, each one line.
class MemoryRows final : public BalanceCheck::Rows {
 public:
  MemoryRows(int period, const std::vector<PulseCounts> &rows) : period_(period), rows_(rows) {}
  bool next() override {
    if (at_ >= rows_.size()) return false;
    ++at_;
    return true;
  }
  long line() const override { return static_cast<long>(at_); }
  int command(Posture &q) override {
    for (int i : kColumnOrder) q[i] = pulse2rad(rows_[at_ - 1][i], i);
    return period_;
  }

 private:
  int period_;
  const std::vector<PulseCounts> &rows_;
  std::size_t at_ = 0;  // 1-based; 0 before the first
};

}  // namespace

BalanceSummary BalanceCheck::run(const char *path, const FindingSink &sink,
                                 const BalanceSamples &samples) {
  std::FILE *file = open_motion_file(path);
  if (file == nullptr) return BalanceSummary{};
  state_->reader.attach(file);
  FileRows rows(state_->reader);
  BalanceSummary sum = play(rows, sink, samples);
  std::fclose(file);
  return sum;
}

BalanceSummary BalanceCheck::run(int period, const std::vector<PulseCounts> &rows,
                                 const FindingSink &sink, const BalanceSamples &samples) {
  MemoryRows memory(period, rows);
  return play(memory, sink, samples);
}

BalanceSummary BalanceCheck::play(Rows &source, const FindingSink &sink,
                                  const BalanceSamples &samples) {
  State &st = *state_;
  BalanceSummary sum;
  st.reset();
  st.shown = st.hidden = 0;
  st.stretch_first = 0;
  Posture target{};
  if (!source.next()) return sum;
  const int period = source.command(target);
  const int rows = rows_per_step(period);
  if (rows <= 0) return sum;
  sum.checked = true;
  sum.period = st.period = period;
  const int per_step = static_cast<int>(std::lround(kPlayerStepMs / 1000.0 / kBalanceSample));
  const double travel = st.servo_speed * kBalanceSample;
  Posture setpoint{};
  // The servos' response smooths what they reach: the last few setpoints.
  std::array<Posture, kServoResponse> recent{};
  long taken_samples = 0;
  Posture reached{};
  long step = 0;
  // Moves the setpoints toward `command` for one control step, sampling.
  auto follow = [&](const Posture &command, long at_line) {
    for (int k = 0; k < per_step; ++k) {
      for (int i = 0; i < kJointCount; ++i)
        setpoint[i] += std::clamp(command[i] - setpoint[i], -travel, travel);
      recent[taken_samples++ % kServoResponse] = setpoint;
      for (int i = 0; i < kJointCount; ++i) {
        double sum_i = 0.0;
        for (const Posture &r : recent) sum_i += r[i];
        reached[i] = sum_i / kServoResponse;
      }
      double time = (kFirstStepMs + step * kPlayerStepMs) / 1000.0 + (k + 1) * kBalanceSample;
      st.sample(reached, at_line, time, samples, sum, sink);
    }
    ++step;
  };
  // At rest in the zero posture before the first step.
  st.sample(setpoint, 1, kFirstStepMs / 1000.0 - kBalanceSample, samples, sum, sink);
  st.sample(setpoint, 1, kFirstStepMs / 1000.0, samples, sum, sink);
  // The approach, as the player's: every joint 0..22 farther than the
  // tolerance from the first row moves one step toward it.
  Posture approach{};
  for (long k = 0; k < kApproachEvaluated; ++k) {
    bool moved = false;
    for (int i = 0; i < kApproachJoints; ++i) {
      if (std::fabs(target[i] - approach[i]) <= kApproachTolerance) continue;
      approach[i] += approach[i] > target[i] ? -kApproachStep : kApproachStep;
      moved = true;
    }
    if (!moved) break;
    follow(approach, 1);
  }
  // Playback: each step takes `rows` rows and commands the last of them.
  Posture command = approach;
  long row_line = source.line();
  bool more = true;
  while (more) {
    int taken = 0;
    while (taken < rows && (more = source.next())) ++taken;
    if (taken == 0) break;
    source.command(command);
    row_line = source.line();
    follow(command, row_line);
  }
  // The servos finish their way to the last row.
  for (double held = 0.0; held < kBalanceHold; held += kPlayerStepMs / 1000.0)
    follow(command, row_line);
  if (st.stretch_first != 0) st.close_stretch(sum, sink);
  st.close_rub(sum, sink);
  if (st.hidden > 0)
    sink(
        Finding{0, 0, Severity::kNote,
                text_of("%ld more stretches at risk or outside the support not shown", st.hidden)});
  return sum;
}

void print_balance(std::FILE *out, const std::string &path, const BalanceSummary &s) {
  const char *file = path.c_str();
  if (!s.checked) {
    std::fprintf(out, "%s: balance: not checked: motion_player cannot play it\n", file);
  } else if (s.first_line != 0) {
    const std::string risk = s.at_risk > 0 ? text_of("; %ld stretch%s at risk before", s.at_risk,
                                                     s.at_risk == 1 ? "" : "es")
                                           : std::string();
    std::fprintf(out,
                 "%s: balance: the robot falls from %s: the centre of pressure leaves the "
                 "support by %.0f mm %s%s\n",
                 file, line_time(s.first_line, s.period).c_str(), s.first_by,
                 s.first_toward.c_str(), risk.c_str());
  } else if (s.at_risk > 0) {
    std::fprintf(out, "%s: balance: at risk: %s, from %s; %ld stretch%s at risk\n", file,
                 s.risk_what.c_str(), line_time(s.risk_line, s.period).c_str(), s.at_risk,
                 s.at_risk == 1 ? "" : "es");
  } else {
    const bool swaying = s.smallest_swaying < s.smallest_margin;
    std::fprintf(
        out, "%s: balance: inside the support throughout, smallest margin %.0f mm at line %ld\n",
        file, swaying ? s.smallest_swaying : s.smallest_margin,
        swaying ? s.swaying_line : s.smallest_line);
  }
}

bool write_balance_header(std::FILE *out) {
  return std::fputs(
             "line,time_s,com_x,com_y,cop_x,cop_y,support_x,support_y,com_margin_mm,"
             "cop_margin_mm\n",
             out) >= 0;
}

bool write_balance_sample(std::FILE *out, const BalanceSample &b) {
  return std::fprintf(out, "%ld,%.3f,%.5f,%.5f,%.5f,%.5f,%.5f,%.5f,%.2f,%.2f\n", b.line, b.time,
                      b.com_x, b.com_y, b.cop_x, b.cop_y, b.support_x, b.support_y, b.com_margin,
                      b.cop_margin) >= 0;
}

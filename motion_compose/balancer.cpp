// The balancer, as named steps: stand each row of the original on the
// floor; check it; turn each sample's shortfall into a wanted move of the
// centre of pressure; preview it through the cart-table model into a move
// of the centre of mass, then of the hips; solve the legs for every row;
// check again; keep the best round; say what stays short.
#include "balancer.h"

#include <Eigen/Cholesky>
#include <Eigen/Geometry>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "playback.h"

namespace {

using Vec2 = Eigen::Vector2d;
using Vec3 = Eigen::Vector3d;
using Mat3 = Eigen::Matrix3d;

// The correction aims this much beyond the margin asked, mm, so that the
// rounds close in on it from inside.
constexpr double kAimBeyondMm = 3.0;
// A stretch is short of the margin when its samples are more than this
// below it, mm: margins are told in whole mm.
constexpr double kShortMm = 0.5;
// Rounds of correction at the most, and rounds without a better result
// before it stops.
constexpr int kMaxRounds = 8;
constexpr int kStaleRounds = 2;
// The servos reach a command about this long after motion_player sends it,
// s: the check's servos take the mean of the last 50 ms of setpoints.
constexpr double kServoLag = 0.03;
// The cart-table preview: how far ahead it looks, s, and the weights of the
// pressure centre's error (1/m²) against the centre of mass's jerk
// (s⁶/m²), as Kajita et al. weigh them.
constexpr double kPreviewAhead = 1.2;
constexpr double kErrorWeight = 1.0;
constexpr double kJerkWeight = 1e-7;
// Bisection steps where a leg cannot take the whole shift, or a joint
// would pass the servo speed: the shift taken is within 1/2^10 of the most.
constexpr int kBisections = 10;
// Shifts shorter than this are none, m.
constexpr double kNoShift = 1e-7;
// The weight is on the stance foot this long before the other lifts, s.
constexpr double kShiftAhead = 0.2;
// On one sole the centre of pressure is kept at least this share of the
// way from the sole's edge to its middle.
constexpr double kStanceDepth = 0.6;
// Each round adds this share of its correction: the robot sways on its
// servos, and a full correction of what a sway left would feed it.
constexpr double kRelax = 1.0;
// Stretches short of the margin this close are one, s.
constexpr double kJoinStretches = 0.2;
// How long before a stretch a limit met still explains it, s.
constexpr double kExplainAhead = 0.6;

Vec3 to3(const Vec2 &v, double z) {
  return Vec3(v.x(), v.y(), z);
}

Mat3 rot_z(double a) {
  return Eigen::AngleAxisd(a, Vec3::UnitZ()).matrix();
}

// The angles of a row, rad by JointIndex; the joints without a column 0.
Posture posture_of(const PulseCounts &counts) {
  Posture q{};
  for (const int i : kColumnOrder) q[i] = pulse2rad(counts[i], i);
  return q;
}

// Kajita's preview control of the cart-table model on one axis: the centre
// of mass x, its speed and acceleration as the state, the jerk as the
// input, the pressure centre p = x - (zc / g) x'' as the output, with the
// integral of the error as one more state (Katayama et al.), gains from one
// discrete Riccati equation.
class Preview {
 public:
  Preview(double height, double g, double dt) : dt_(dt), t_(std::sqrt(height / g)) {
    Mat3 a;
    a << 1, dt, dt * dt / 2, 0, 1, dt, 0, 0, 1;
    const Vec3 b(dt * dt * dt / 6, dt * dt / 2, dt);
    const Vec3 c(1, 0, -height / g);
    a_ = a;
    b_ = b;
    c_ = c;
    using Mat4 = Eigen::Matrix4d;
    using Vec4 = Eigen::Vector4d;
    Mat4 at = Mat4::Zero();
    at(0, 0) = 1;
    at.block<1, 3>(0, 1) = (a.transpose() * c).transpose();
    at.block<3, 3>(1, 1) = a;
    Vec4 bt;
    bt << c.dot(b), b;
    Mat4 q = Mat4::Zero();
    q(0, 0) = kErrorWeight;
    // The Riccati equation by iteration: it settles in a few hundred steps.
    Mat4 p = q;
    for (int it = 0; it < 20000; ++it) {
      const double s = kJerkWeight + bt.dot(p * bt);
      const Mat4 next =
          at.transpose() * p * at - (at.transpose() * p * bt) * (bt.transpose() * p * at) / s + q;
      const double change = (next - p).cwiseAbs().maxCoeff();
      p = next;
      if (change < 1e-12 * p.cwiseAbs().maxCoeff()) break;
    }
    const double s = kJerkWeight + bt.dot(p * bt);
    const Eigen::RowVector4d k = (bt.transpose() * p * at) / s;
    ke_ = k(0);
    kx_ = k.tail<3>().transpose();
    const Mat4 ac = at - bt * k;
    Vec4 x = -ac.transpose() * p * Vec4::UnitX();
    const int steps = static_cast<int>(std::lround(kPreviewAhead / dt));
    gains_.resize(steps);
    gains_[0] = -ke_;
    for (int l = 1; l < steps; ++l) {
      gains_[l] = bt.dot(x) / s;
      x = ac.transpose() * x;
    }
  }

  // The centre of mass's move, sample by sample, that brings the pressure
  // centre's move to `wanted` (m, one a sample) from sample `from` on; the
  // wanted move beyond the last sample is the last one's. Before `from`
  // the robot is at rest, and its centre of mass may stand anywhere: the
  // player's approach to the first row is slow. It starts where the
  // cart-table model, at rest, then follows the wanted moves with no
  // error: x0 = (1/T) ∫ e^(-t/T) p(t) dt over what follows, T = sqrt(zc/g).
  void run(const std::vector<double> &wanted, std::size_t from, std::vector<double> &com) const {
    const std::size_t n = wanted.size();
    com.assign(n, 0.0);
    if (from >= n) return;
    double start = 0.0;
    double weight = 1.0;  // e^(-t/T)
    const double fade = std::exp(-dt_ / t_);
    for (std::size_t k = from; k < n; ++k) {
      start += weight * (1.0 - fade) * wanted[k];
      weight *= fade;
    }
    start += weight * wanted[n - 1];
    Vec3 x(start, 0.0, 0.0);
    for (std::size_t k = 0; k < from; ++k) com[k] = start;
    double error_sum = 0.0;
    for (std::size_t k = from; k < n; ++k) {
      com[k] = x(0);
      error_sum += c_.dot(x) - wanted[k];
      double u = -ke_ * error_sum - kx_.dot(x);
      for (std::size_t l = 0; l < gains_.size(); ++l)
        u -= gains_[l] * wanted[std::min(k + 1 + l, n - 1)];
      x = a_ * x + b_ * u;
    }
  }

 private:
  double dt_, t_;  // s: the sample time, and the pendulum's time constant
  Mat3 a_;
  Vec3 b_;
  Vec3 c_;
  double ke_ = 0.0;
  Vec3 kx_;
  std::vector<double> gains_;
};

// One row of the original, stood on the floor as the balance check stands
// it: the pelvis's pose, each sole's, and which soles carry weight.
struct Placed {
  robot::PelvisPose pelvis;
  std::array<robot::SoleFrame, 2> soles;
  std::array<std::array<Vec3, 4>, 2> corners;  // each sole's, as robot::Data gives them
};

// A limit a row met: what stopped the hips there.
struct Limit {
  enum Kind { kNone, kReach, kSpeed } kind = kNone;
  double wanted = 0.0;  // m of shift wanted
  double taken = 0.0;   // m taken
  std::string why;      // the leg's shortfall, or the joint that would be too fast
};

// What one round made: rows, the shifts taken, the check's samples.
struct Round {
  std::vector<PulseCounts> rows;
  std::vector<Vec2> shift;    // m, the hips' horizontal move by row
  std::vector<double> drop;   // m, how far they came down
  std::vector<Limit> limits;  // by row
  std::vector<BalanceSample> samples;
  BalanceSummary summary;
  // mm: how far the worst sample is from holding (negative: short): the
  // centre of pressure the motion asks for against the margin, the one the
  // robot sways to against the check's band.
  double clearance = -std::numeric_limits<double>::infinity();
  // mm: the worst sample's shortfall of the centre of pressure the motion
  // asks for alone, 0 where it holds
  double asked_short = -std::numeric_limits<double>::infinity();
  double short_sum = 0.0;  // mm, the asked centre's shortfalls added over the samples

  // Better: the worst sample nearer holding, or as near with less short
  // in all; never with the centre of pressure the motion asks for worse
  // where it is short. A sway damped by asking more of the motion is not
  // mended: a sideways walk balanced so (its sway 2 mm less short, what
  // it asks 2 mm more) rocked ever higher and fell.
  bool better_than(const Round &o) const {
    if (asked_short < o.asked_short - 0.1) return false;
    if (std::fabs(clearance - o.clearance) > 0.1) return clearance > o.clearance;
    return short_sum < o.short_sum - 1e-6;
  }
};

// The check's smallest margin, mm, and its line: of the pressure centre the
// motion asks for or of the one the robot sways to, whichever is less.
void smallest_of(const BalanceSummary &s, double *mm, long *line) {
  const bool swaying = s.smallest_swaying < s.smallest_margin;
  *mm = swaying ? s.smallest_swaying : s.smallest_margin;
  *line = swaying ? s.swaying_line : s.smallest_line;
}

// "line 12" or "lines 12 to 15".
std::string lines_text(long a, long b) {
  return a == b ? text_of("line %ld", a) : text_of("lines %ld to %ld", a, b);
}

const char *support_name(const std::array<bool, 2> &carries) {
  if (carries[robot::kLeft] && carries[robot::kRight]) return "the support";
  return carries[robot::kLeft]    ? "the left sole"
         : carries[robot::kRight] ? "the right sole"
                                  : "the floor";
}

}  // namespace

struct Balancer::Impl {
  const robot::Model &model;
  robot::Data body;
  BalanceCheck check;
  double servo_speed;
  int period = 0;
  int rows_per_step = 1;
  std::vector<Placed> placed;
  std::vector<PulseCounts> original;
  double margin = 0.0;  // mm
  // Time of each row as motion_player commands it, s since its start: the
  // first playing step's, then one player's row time per row.
  double first_step = 0.0;
  long first_line = 1;
  double row_time = 0.05;
  // The centre of mass's move per move of the hips, from the first row.
  double follows = 1.0;
  double com_height = 0.0;

  Impl(const robot::Model &m, double speed)
      : model(m), body(m), check(m, speed), servo_speed(speed) {}

  // --- Standing the original on the floor --------------------------------
  // The world is the balance check's: the floor at height 0, x and y as
  // the pelvis stands in the zero posture, where motion_player starts.

  // Sole `s` of the posture just set (the pelvis at the origin, as
  // stand_on leaves it) flat at `at` with heading `yaw`: the turn and the
  // move of the posture's frame into the world.
  void placement(int s, const Vec2 &at, double yaw, Mat3 *r, Vec3 *t) const {
    const robot::SolePose sole = body.sole(static_cast<robot::Side>(s));
    *r = rot_z(yaw - sole.yaw);
    *t = to3(at, 0.0) - *r * sole.position;
  }

  double lowest(int s, const Mat3 &r, const Vec3 &t) const {
    double z = std::numeric_limits<double>::infinity();
    for (const Vec3 &c : body.sole_corners(static_cast<robot::Side>(s)))
      z = std::min(z, (r * c + t).z());
    return z;
  }

  // Each row stood on its stance sole as the balance check stands the
  // robot: the lower sole at the start, the other once it would press
  // below the floor, where it touched (unless the stance sole would then
  // press deeper: the robot stands on both, one on its edge), or, both
  // flat on the floor, once the stance leg moves and the other keeps still.
  void place() {
    placed.resize(original.size());
    body.set_posture(Posture{}, robot::PelvisPose{});
    int stance = body.sole_corners(robot::kLeft)[0].z() <= body.sole_corners(robot::kRight)[0].z()
                     ? robot::kLeft
                     : robot::kRight;
    Vec2 anchor = body.sole(static_cast<robot::Side>(stance)).position.head<2>();
    double anchor_yaw = body.sole(static_cast<robot::Side>(stance)).yaw;
    double height_sum = 0.0;
    // Each sole's corners against the pelvis in the row before.
    std::array<std::array<Vec3, 4>, 2> before;
    for (std::size_t r = 0; r < original.size(); ++r) {
      const Posture q = posture_of(original[r]);
      body.set_posture(q, robot::PelvisPose{});
      std::array<double, 2> moved = {0.0, 0.0};
      for (int s = 0; s < 2; ++s) {
        const std::array<Vec3, 4> corners = body.sole_corners(static_cast<robot::Side>(s));
        if (r > 0) moved[s] = sole_moved(before[s], corners);
        before[s] = corners;
      }
      robot::PelvisPose level =
          body.stand_on(static_cast<robot::Side>(stance), q, Vec3::Zero(), 0.0);
      Mat3 rot;
      Vec3 t;
      placement(stance, anchor, anchor_yaw, &rot, &t);
      const int other = 1 - stance;
      const double below = lowest(other, rot, t);
      std::array<Vec3, 4> corners = body.sole_corners(static_cast<robot::Side>(other));
      for (Vec3 &c : corners) c = rot * c + t;
      const bool keeps_still = onto_still_leg(moved[stance], moved[other], corners);
      if (below < -kPress || keeps_still) {
        const robot::SolePose o = body.sole(static_cast<robot::Side>(other));
        const Vec3 at = rot * o.position + t;
        const double yaw = o.yaw + (anchor_yaw - body.sole(static_cast<robot::Side>(stance)).yaw);
        const robot::PelvisPose level2 =
            body.stand_on(static_cast<robot::Side>(other), q, Vec3::Zero(), 0.0);
        Mat3 rot2;
        Vec3 t2;
        placement(other, at.head<2>(), yaw, &rot2, &t2);
        const double below2 = lowest(stance, rot2, t2);
        if (below2 < below && !keeps_still) {
          level = body.stand_on(static_cast<robot::Side>(stance), q, Vec3::Zero(), 0.0);
        } else {
          if (below2 < 0) t2.z() -= below2;
          stance = other;
          anchor = at.head<2>();
          anchor_yaw = yaw;
          level = level2;
          rot = rot2;
          t = t2;
        }
      }
      Placed &p = placed[r];
      // The pelvis's pose in the world: the level pose turned and moved.
      p.pelvis = level;
      p.pelvis.position = rot * level.position + t;
      p.pelvis.yaw = level.yaw + std::atan2(rot(1, 0), rot(0, 0));
      for (int s = 0; s < 2; ++s) {
        const robot::Side side = static_cast<robot::Side>(s);
        const robot::SoleFrame f = body.sole_frame(side);
        p.soles[s] = robot::SoleFrame{rot * f.position + t, rot * f.rotation};
        p.corners[s] = body.sole_corners(side);
        for (Vec3 &c : p.corners[s]) c = rot * c + t;
      }
      height_sum += (rot * body.com() + t).z();
    }
    com_height = original.empty() ? model.standing_height() : height_sum / original.size();
  }

  // The support of row r, by the balance check's rule.
  robot::Support support(std::size_t r) const { return carrying_support(placed[r].corners, 0.0); }
  // Which soles carry in row r: left, right or both.
  std::array<bool, 2> carries(std::size_t r) const {
    std::array<bool, 2> on{};
    for (int s = 0; s < 2; ++s) {
      double low = std::numeric_limits<double>::infinity();
      for (const Vec3 &c : placed[r].corners[s]) low = std::min(low, c.z());
      on[s] = low <= kCarryGap;
    }
    return on;
  }

  // --- Time --------------------------------------------------------------

  // When motion_player commands each row, from the check's samples: each
  // sample names the row the servos move toward.
  void find_times(const std::vector<BalanceSample> &samples) {
    row_time = kPlayerStepMs / 1000.0 / rows_per_step;
    first_line = 1;
    first_step = samples.empty() ? 0.0 : samples.back().time;
    for (const BalanceSample &s : samples) {
      if (s.line <= 1) continue;
      first_line = s.line;
      first_step = s.time - kBalanceSample;
      return;
    }
  }
  double time_of(std::size_t r) const {
    return first_step + (static_cast<double>(r + 1) - static_cast<double>(first_line)) * row_time;
  }
  // The row commanded by time t, clamped to the rows.
  std::size_t row_at(double t) const {
    const double r = std::floor((t - first_step) / row_time) + static_cast<double>(first_line) - 1;
    return static_cast<std::size_t>(std::clamp(r, 0.0, static_cast<double>(original.size() - 1)));
  }

  // --- One round ---------------------------------------------------------

  // The legs of row r with the hips moved by `shift`: false, with why, when
  // a leg cannot reach or a joint would pass its stop.
  bool solve_row(std::size_t r, const Vec2 &shift, PulseCounts &row, double &drop,
                 std::string &why) {
    const Placed &p = placed[r];
    robot::PelvisPose pelvis = p.pelvis;
    pelvis.position.x() += shift.x();
    pelvis.position.y() += shift.y();
    // A leg that cannot reach from the pelvis's height brings it down just
    // enough, the leg straight.
    double z = pelvis.position.z();
    for (int s = 0; s < 2; ++s) {
      const double h = model.reach_height(static_cast<robot::Side>(s), pelvis, p.soles[s]);
      if (!std::isnan(h)) z = std::min(z, h);
    }
    drop = pelvis.position.z() - z;
    pelvis.position.z() = z;
    row = original[r];
    for (int s = 0; s < 2; ++s) {
      const robot::Side side = static_cast<robot::Side>(s);
      robot::LegAngles angles;
      robot::LegFailure failure;
      if (!body.solve_leg(side, pelvis, p.soles[s], &angles, &failure)) {
        why = robot::describe(failure);
        return false;
      }
      for (int k = 0; k < 6; ++k) {
        const int i = robot::kLegJoints[s][k];
        row[i] = count_of(angles[k], i);
      }
    }
    for (int c = 0; c < kNumberedJoints; ++c) {
      if (within_limits(c + 1, row[kColumnOrder[c]])) continue;
      why = limit_text(c + 1, row[kColumnOrder[c]]);
      return false;
    }
    return true;
  }

  // The fastest leg joint from row `before` to `row` above the servo speed
  // that the original did not already pass: its column, or -1.
  int too_fast(std::size_t r, const PulseCounts &before, const PulseCounts &row,
               double *speed) const {
    const double dt = period / 1000.0;
    int worst = -1;
    double top = 0.0;
    for (int s = 0; s < 2; ++s) {
      for (const int i : robot::kLegJoints[s]) {
        const double v = std::fabs(pulse2rad(row[i], i) - pulse2rad(before[i], i)) / dt;
        const double own =
            r == 0
                ? 0.0
                : std::fabs(pulse2rad(original[r][i], i) - pulse2rad(original[r - 1][i], i)) / dt;
        if (v <= std::max(servo_speed, own) || v <= top) continue;
        top = v;
        worst = i;
      }
    }
    *speed = top;
    return worst;
  }

  // Builds every row with the hips moved by `wanted`, each row taking as
  // much of its shift as the legs and the servo speed allow.
  void build(const std::vector<Vec2> &wanted, Round &out) {
    const std::size_t n = original.size();
    out.rows.resize(n);
    out.shift.assign(n, Vec2::Zero());
    out.drop.assign(n, 0.0);
    out.limits.assign(n, Limit{});
    for (std::size_t r = 0; r < n; ++r) {
      const Vec2 from = r == 0 ? Vec2::Zero() : out.shift[r - 1];
      Vec2 goal = wanted[r];
      if (goal.norm() < kNoShift) {
        out.rows[r] = original[r];
        // Back to no shift: taken at once only if the servos can.
        if (r == 0 || from.norm() < kNoShift) continue;
      }
      PulseCounts row;
      double drop = 0.0;
      std::string why;
      Limit &limit = out.limits[r];
      if (!solve_row(r, goal, row, drop, why)) {
        // The most of the shift the legs take, along it.
        limit = Limit{Limit::kReach, goal.norm(), 0.0, why};
        double lo = 0.0, hi = 1.0;
        for (int b = 0; b < kBisections; ++b) {
          const double mid = (lo + hi) / 2;
          std::string w;
          PulseCounts tried;
          double d = 0.0;
          if (solve_row(r, goal * mid, tried, d, w))
            lo = mid;
          else
            hi = mid;
        }
        goal *= lo;
        limit.taken = goal.norm();
        if (!solve_row(r, goal, row, drop, why)) {
          row = original[r];
          goal = Vec2::Zero();
          drop = 0.0;
        }
      }
      double speed = 0.0;
      const int fast = r == 0 ? -1 : too_fast(r, out.rows[r - 1], row, &speed);
      if (fast >= 0) {
        // Only as much of the step from the row before as the servos take.
        const Vec2 step = goal - from;
        double lo = 0.0, hi = 1.0;
        for (int b = 0; b < kBisections; ++b) {
          const double mid = (lo + hi) / 2;
          PulseCounts tried;
          double d = 0.0, v = 0.0;
          std::string w;
          if (solve_row(r, from + step * mid, tried, d, w) &&
              too_fast(r, out.rows[r - 1], tried, &v) < 0)
            lo = mid;
          else
            hi = mid;
        }
        const Vec2 slowed = from + step * lo;
        if (limit.kind == Limit::kNone)
          limit = Limit{
              Limit::kSpeed, goal.norm(), slowed.norm(),
              text_of("%s would need %.1f rad/s", joint_label(column_of(fast)).c_str(), speed)};
        goal = slowed;
        if (!solve_row(r, goal, row, drop, why)) {
          row = original[r];
          goal = Vec2::Zero();
          drop = 0.0;
        }
      }
      out.rows[r] = row;
      out.shift[r] = goal;
      out.drop[r] = drop;
    }
  }

  static int column_of(int joint) {
    for (int c = 0; c < kNumberedJoints; ++c)
      if (kColumnOrder[c] == joint) return c;
    return 0;
  }

  // Checks a round's rows: its samples, smallest margin and shortfalls.
  void judge(Round &round) {
    round.samples.clear();
    round.summary = check.run(
        period, round.rows, [](const Finding &) {},
        [&round](const BalanceSample &s) { round.samples.push_back(s); });
    round.clearance = std::numeric_limits<double>::infinity();
    round.asked_short = 0.0;
    round.short_sum = 0.0;
    for (const BalanceSample &s : round.samples) {
      round.clearance = std::min({round.clearance, s.asked_margin - margin, s.cop_margin - margin});
      round.asked_short = std::min(round.asked_short, s.asked_margin - margin);
      round.short_sum += std::max(0.0, margin - std::min(s.asked_margin, s.cop_margin));
    }
  }

  // --- The correction ----------------------------------------------------

  // The support the weight should be on at time t: the one the servos
  // stand on then, or, when a sole is about to lift, the other sole alone,
  // kShiftAhead before: the weight moves onto the stance foot first.
  robot::Support target_support(double t, bool *ahead) const {
    const std::size_t now = row_at(t - kServoLag);
    const std::array<bool, 2> on = carries(now);
    *ahead = false;
    if (on[robot::kLeft] && on[robot::kRight]) {
      const std::size_t last = row_at(t - kServoLag + kShiftAhead);
      for (std::size_t r = now + 1; r <= last; ++r) {
        const std::array<bool, 2> then = carries(r);
        if (then[robot::kLeft] == then[robot::kRight]) continue;
        *ahead = true;
        return support(r);
      }
    }
    return support(now);
  }

  // Where each sample's centre of pressure should move, m: inward, by the
  // shortfall below the margin of the one the motion asks for or of the one
  // the robot sways to, whichever is less (the check's smallest margin);
  // nothing where both are far enough inside. The move is made from the
  // asked one: the sway is the servos' answer to it.
  void wanted_moves(const std::vector<BalanceSample> &samples, std::vector<double> &x,
                    std::vector<double> &y) const {
    x.assign(samples.size(), 0.0);
    y.assign(samples.size(), 0.0);
    for (std::size_t k = 0; k < samples.size(); ++k) {
      const BalanceSample &s = samples[k];
      bool ahead = false;
      const robot::Support sup = target_support(s.time, &ahead);
      const Vec2 p(s.asked_x, s.asked_y);
      // The check's margin, and the one in the support of the rows as
      // commanded (by the check's rule), which a foot leaves a little
      // sooner than the servos, giving under the weight, let it.
      const double mm = std::min({s.asked_margin, s.cop_margin, balance_margin(sup, p).mm});
      if (mm >= depth_of(sup, s.time, ahead)) continue;
      // Beyond a leg's length no correction means anything.
      const double need =
          std::min(depth_of(sup, s.time, ahead) + kAimBeyondMm - mm, 200.0) / 1000.0;
      Vec2 inward = Vec2(s.support_x, s.support_y) - p;
      if (sup.size() >= 3) {
        Vec2 near;
        const double m = sup.margin(p, &near);
        const Vec2 d = m > 0 ? Vec2(p - near) : Vec2(near - p);
        if (d.norm() > 1e-9) inward = d;
      } else if (!sup.empty()) {
        inward = sup.centre() - p;
      }
      if (!std::isfinite(need) || inward.norm() < 1e-9) continue;
      inward *= need / inward.norm();
      x[k] = inward.x();
      y[k] = inward.y();
    }
  }

  // How far inside `sup` the centre of pressure should be at time t, mm:
  // the margin; on one sole, or about to stand on one, the weight goes well
  // over it, as a robot standing on the edge of its sole sways as its
  // servos give.
  double depth_of(const robot::Support &sup, double t, bool ahead) const {
    const std::array<bool, 2> on = carries(row_at(t - kServoLag));
    if (sup.empty() || (on[robot::kLeft] && on[robot::kRight] && !ahead)) return margin;
    return std::max(margin, kStanceDepth * sup.margin(sup.centre()) * 1000.0);
  }

  // The hips' move by row for the samples' wanted moves of the centre of
  // pressure, through the cart-table preview.
  void correction(const Preview &preview, const std::vector<BalanceSample> &samples,
                  std::vector<Vec2> &hips) const {
    std::vector<double> wx, wy, cx, cy;
    wanted_moves(samples, wx, wy);
    hips.assign(original.size(), Vec2::Zero());
    if (samples.empty()) return;
    const double t0 = samples.front().time;
    // The first row as the servos reach it: before, the player approaches it.
    const std::size_t from =
        static_cast<std::size_t>(std::clamp((time_of(0) + kServoLag - t0) / kBalanceSample, 0.0,
                                            static_cast<double>(samples.size() - 1)));
    preview.run(wx, from, cx);
    preview.run(wy, from, cy);
    for (std::size_t r = 0; r < original.size(); ++r) {
      // What the servos reach a moment after the row is commanded.
      const double at = (time_of(r) + kServoLag - t0) / kBalanceSample;
      const double k = std::clamp(at, 0.0, static_cast<double>(samples.size() - 1));
      const std::size_t i = static_cast<std::size_t>(k);
      const std::size_t j = std::min(i + 1, samples.size() - 1);
      const double f = k - static_cast<double>(i);
      hips[r] = Vec2(cx[i] + f * (cx[j] - cx[i]), cy[i] + f * (cy[j] - cy[i])) / follows;
    }
  }

  // --- What stays short ---------------------------------------------------

  // Why the hips could not hold stretch [first, last] of the round's
  // samples: a limit they met there or shortly before.
  std::string why_short(const std::vector<Limit> &limits, const BalanceSample &first,
                        const BalanceSample &last) const {
    const std::size_t from = row_at(first.time - kExplainAhead);
    const std::size_t to = row_at(last.time);
    const Limit *reach = nullptr, *speed = nullptr;
    for (std::size_t r = from; r <= to; ++r) {
      const Limit &l = limits[r];
      if (l.kind == Limit::kReach && (reach == nullptr || l.wanted > reach->wanted)) reach = &l;
      if (l.kind == Limit::kSpeed && speed == nullptr) speed = &l;
    }
    if (reach != nullptr)
      return text_of("the hips can move only %.0f mm of the %.0f mm needed: %s",
                     reach->taken * 1000.0, reach->wanted * 1000.0, reach->why.c_str());
    if (speed == nullptr) return "no move of the hips that the check could find holds it";
    // The rush: the first row the servos' speed slowed the hips. The sole
    // the weight had to reach: the first row from the rush on that stands
    // on one sole alone, up to the stretch's end and a shift ahead; the
    // time it had, from the rush to that row.
    std::size_t rush = from;
    while (rush < to && limits[rush].kind != Limit::kSpeed) ++rush;
    const std::size_t end = std::min(original.size() - 1, row_at(last.time + kShiftAhead));
    std::size_t lift = rush;
    while (lift < end && carries(lift)[robot::kLeft] == carries(lift)[robot::kRight]) ++lift;
    const std::array<bool, 2> on = carries(lift);
    if (on[robot::kLeft] == on[robot::kRight])
      return text_of("the hips cannot move far enough in %.2f s: %s",
                     std::max(row_time, time_of(lift) - time_of(rush)), limits[rush].why.c_str());
    // The time the motion gives the weight: back from the lift over the
    // lift's own move, then over the rows at rest before it, to the end of
    // the move before.
    const auto still = [&](std::size_t k) {
      for (const auto &leg : robot::kLegJoints)
        for (const int i : leg)
          if (original[k][i] != original[k - 1][i]) return false;
      return true;
    };
    std::size_t since = lift;
    while (since > 0 && !still(since)) --since;
    while (since > 0 && still(since)) --since;
    return text_of("the weight cannot reach %s in %.2f s: %s", support_name(on),
                   std::max(row_time, time_of(lift) - time_of(since)), limits[rush].why.c_str());
  }

  // One warning for each stretch of the round's samples that stays short:
  // the centre of pressure the motion asks for short of the margin, or the
  // robot swaying into the check's band. At most kShownPerKind are shown,
  // then a note. Returns how many stretches there are.
  // `limits` are the limits of the round that explains them: the result's,
  // or, where no round did better than the original, the first tried.
  long report(const Round &round, const std::vector<Limit> &limits, const std::vector<long> &lines,
              const FindingSink &sink) const {
    const std::vector<BalanceSample> &s = round.samples;
    const auto is_short = [&](const BalanceSample &b) {
      return std::min(b.asked_margin, b.cop_margin) < margin - kShortMm;
    };
    const auto line_of = [&](long row) {
      const long r = std::clamp<long>(row, 1, static_cast<long>(original.size())) - 1;
      return static_cast<std::size_t>(r) < lines.size() ? lines[r] : r + 1;
    };
    const std::size_t join = static_cast<std::size_t>(std::lround(kJoinStretches / kBalanceSample));
    long count = 0;
    std::size_t k = 0;
    while (k < s.size()) {
      if (!is_short(s[k])) {
        ++k;
        continue;
      }
      // The stretch, joined with the next one when it follows within kJoinStretches.
      const std::size_t first = k;
      std::size_t end = k;
      double asked = s[k].asked_margin, swaying = s[k].cop_margin;
      for (std::size_t j = k + 1; j < s.size() && j <= end + join; ++j) {
        if (!is_short(s[j])) continue;
        end = j;
        asked = std::min(asked, s[j].asked_margin);
        swaying = std::min(swaying, s[j].cop_margin);
      }
      ++count;
      k = end + 1;
      if (count > kShownPerKind) continue;
      const bool sways = asked >= margin - kShortMm;
      const std::string why = sways ? "" : why_short(limits, s[first], s[end]) + "; ";
      std::string where;
      if (asked < 0.0)
        where = text_of("the centre of pressure stays %.0f mm outside the support", -asked);
      else if (!sways)
        where = text_of(
            "the centre of pressure comes within %.0f mm of the support's edge, short "
            "of the %.0f mm margin",
            asked, margin);
      else if (swaying < 0.0)
        where = text_of(
            "the robot sways on its servos %.0f mm past the support's edge, which "
            "no move of the hips damps",
            -swaying);
      else
        where = text_of(
            "the robot sways on its servos to within %.0f mm of the support's edge, "
            "which no move of the hips damps",
            swaying);
      const long first_row = s[first].line, last_row = s[end].line;
      // A reversed motion meets its lines backwards: the stretch's lines low to high.
      const long a = std::min(line_of(first_row), line_of(last_row)),
                 b = std::max(line_of(first_row), line_of(last_row));
      const bool own = lines.empty() || (a == first_row && b == last_row);
      const std::string when = first_row == last_row
                                   ? text_of("%.2f s", first_row * period / 1000.0)
                                   : text_of("%.2f s to %.2f s", first_row * period / 1000.0,
                                             last_row * period / 1000.0);
      const std::string rows =
          own ? when
          : first_row == last_row
              ? text_of("row %ld of the result, ", first_row) + when
              : text_of("rows %ld to %ld of the result, ", first_row, last_row) + when;
      sink(Finding{a, 0, Severity::kWarning,
                   text_of("balance: %s (%s): %s%s", lines_text(a, b).c_str(), rows.c_str(),
                           why.c_str(), where.c_str())});
    }
    if (count > kShownPerKind)
      sink(Finding{
          0, 0, Severity::kNote,
          text_of("%ld more stretches short of the margin not shown", count - kShownPerKind)});
    return count;
  }

  // How far the centre of mass moves when the hips do, from the first row.
  void find_follows() {
    follows = 1.0;
    if (original.empty()) return;
    const Posture q = posture_of(original[0]);
    body.set_posture(q, placed[0].pelvis);
    const Vec3 before = body.com();
    const Vec2 shift(0.01, 0.0);
    PulseCounts row;
    double drop = 0.0;
    std::string why;
    if (!solve_row(0, shift, row, drop, why)) return;
    robot::PelvisPose moved = placed[0].pelvis;
    moved.position += Vec3(shift.x(), shift.y(), -drop);
    body.set_posture(posture_of(row), moved);
    const double f = (body.com() - before).x() / shift.x();
    if (f > 0.3 && f <= 1.0) follows = f;
  }
};

Balancer::Balancer(const robot::Model &model, double servo_speed)
    : impl_(std::make_unique<Impl>(model, servo_speed)) {}

Balancer::~Balancer() = default;

BalanceResult Balancer::run(int period, std::vector<PulseCounts> &rows,
                            const std::vector<long> &lines, double margin_mm,
                            const FindingSink &sink) {
  Impl &im = *impl_;
  BalanceResult result;
  result.margin = margin_mm;
  if (rows.empty() || rows_per_step(period) <= 0) return result;
  im.period = period;
  im.rows_per_step = rows_per_step(period);
  im.margin = margin_mm;
  im.original = rows;
  im.place();

  Round best;
  best.rows = rows;
  best.shift.assign(rows.size(), Vec2::Zero());
  best.drop.assign(rows.size(), 0.0);
  best.limits.assign(rows.size(), Limit{});
  im.judge(best);
  if (!best.summary.checked) return result;
  result.checked = true;
  smallest_of(best.summary, &result.before, &result.before_line);
  im.find_times(best.samples);
  im.find_follows();

  const Preview preview(im.com_height, im.model.g(), kBalanceSample);
  std::vector<Limit> first_limits;
  int stale = 0;
  // Each round corrects the best result yet by what its check left; a
  // round that does no better is tried again from the best with half the
  // step (the servos' sway answers a full step with a sway of its own).
  double step = kRelax;
  std::vector<Vec2> more;
  std::vector<Vec2> wanted(rows.size());
  for (int round = 1; round <= kMaxRounds && best.clearance < -kShortMm; ++round) {
    // The approach to the first row may have grown: the times anew.
    im.find_times(best.samples);
    im.correction(preview, best.samples, more);
    for (std::size_t r = 0; r < rows.size(); ++r) wanted[r] = best.shift[r] + step * more[r];
    Round next;
    im.build(wanted, next);
    im.judge(next);
    if (round == 1) first_limits = next.limits;
    if (next.better_than(best)) {
      best = std::move(next);
      result.rounds = round;
      stale = 0;
      step = kRelax;
    } else if (++stale >= kStaleRounds) {
      break;
    } else {
      step /= 2;
    }
  }

  // The result, and what it changed.
  for (std::size_t r = 0; r < rows.size(); ++r) {
    result.most_shift = std::max(result.most_shift, best.shift[r].norm() * 1000.0);
    result.most_drop = std::max(result.most_drop, best.drop[r] * 1000.0);
    if (best.rows[r] != rows[r]) ++result.changed_rows;
  }
  rows = best.rows;
  smallest_of(best.summary, &result.after, &result.after_line);
  result.holds = best.summary.warnings == 0 && best.clearance >= -kShortMm;

  // Each stretch still short of the margin: one warning at its first line.
  im.find_times(best.samples);
  result.unmended = im.report(
      best, result.rounds == 0 && !first_limits.empty() ? first_limits : best.limits, lines, sink);
  return result;
}

void print_balance_result(std::FILE *out, const std::string &path, const BalanceResult &r) {
  if (!r.checked) {
    std::fprintf(out, "%s: balance: not balanced: motion_player cannot play the rows\n",
                 path.c_str());
    return;
  }
  std::fprintf(out,
               "%s: balance: the hips moved at most %.0f mm%s; smallest margin before %.0f mm at "
               "row %ld, after %.0f mm at row %ld%s\n",
               path.c_str(), r.most_shift,
               r.most_drop >= 0.5 ? text_of(" (and down %.0f mm)", r.most_drop).c_str() : "",
               r.before, r.before_line, r.after, r.after_line,
               r.unmended > 0 ? text_of("; %ld stretch%s short of the %.0f mm margin", r.unmended,
                                        r.unmended == 1 ? "" : "es", r.margin)
                                    .c_str()
                              : "");
}

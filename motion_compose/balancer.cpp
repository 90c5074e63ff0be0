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
#include <limits>

#include "playback.h"

namespace {

using Vec2 = Eigen::Vector2d;
using Vec3 = Eigen::Vector3d;
using Mat3 = Eigen::Matrix3d;

// A sole pressing deeper than this below the floor takes the weight, m:
// the balance check's rule for which sole the robot stands on.
constexpr double kPress = 0.0005;
// The correction aims this much beyond the margin asked, mm, so that the
// rounds close in on it from inside.
constexpr double kAimBeyondMm = 1.0;
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
  Preview(double height, double g, double dt) {
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
  // centre's move to `wanted` (m, one a sample); the wanted move beyond the
  // last sample is the last one's.
  void run(const std::vector<double> &wanted, std::vector<double> &com) const {
    const std::size_t n = wanted.size();
    com.assign(n, 0.0);
    if (n == 0) return;
    Vec3 x = Vec3::Zero();
    double error_sum = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
      com[k] = x(0);
      error_sum += c_.dot(x) - wanted[k];
      double u = -ke_ * error_sum - kx_.dot(x);
      for (std::size_t l = 0; l < gains_.size(); ++l)
        u -= gains_[l] * wanted[std::min(k + 1 + l, n - 1)];
      x = a_ * x + b_ * u;
    }
  }

 private:
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
  std::array<bool, 2> carries{};
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
  double smallest = -std::numeric_limits<double>::infinity();  // mm
  double short_sum = 0.0;  // mm, the shortfalls added over the samples

  bool better_than(const Round &o) const {
    if (std::fabs(smallest - o.smallest) > 0.1) return smallest > o.smallest;
    return short_sum < o.short_sum - 1e-6;
  }
};

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

  // Sole `s` of the posture just set (the pelvis at the origin, as
  // stand_on leaves it) flat at `at` with heading `yaw`: the transform of
  // the posture's frame into the world's.
  void placement(int s, const Vec2 &at, double yaw, Mat3 *r, Vec3 *t) const {
    const robot::SolePose sole = body.sole(static_cast<robot::Side>(s));
    *r = rot_z(yaw - sole.yaw);
    *t = to3(at, model.floor_height()) - *r * sole.position;
  }

  double lowest(int s, const Mat3 &r, const Vec3 &t) const {
    double z = std::numeric_limits<double>::infinity();
    for (const Vec3 &c : body.sole_corners(static_cast<robot::Side>(s)))
      z = std::min(z, (r * c + t).z());
    return z;
  }

  // Each row stood on its stance sole: the lower sole at the start, the
  // other once it would press below the floor, where it touched.
  void place() {
    placed.resize(original.size());
    int stance = robot::kLeft;
    Vec2 anchor = Vec2::Zero();
    double anchor_yaw = 0.0;
    const double floor = model.floor_height();
    // The zero posture, where motion_player starts, sets the first stance.
    {
      body.set_posture(Posture{}, robot::PelvisPose{});
      const double l = body.sole_corners(robot::kLeft)[0].z();
      const double rz = body.sole_corners(robot::kRight)[0].z();
      stance = l <= rz ? robot::kLeft : robot::kRight;
      const robot::SolePose s = body.sole(static_cast<robot::Side>(stance));
      anchor = s.position.head<2>();
      anchor_yaw = s.yaw;
    }
    double height_sum = 0.0;
    for (std::size_t r = 0; r < original.size(); ++r) {
      const Posture q = posture_of(original[r]);
      robot::PelvisPose level =
          body.stand_on(static_cast<robot::Side>(stance), q, Vec3::Zero(), 0.0);
      Mat3 rot;
      Vec3 t;
      placement(stance, anchor, anchor_yaw, &rot, &t);
      const int other = 1 - stance;
      const double below = lowest(other, rot, t) - floor;
      if (below < -kPress) {
        // The other sole has come down: it stands now, where it touched,
        // unless the stance sole would then press deeper.
        const robot::SolePose o = body.sole(static_cast<robot::Side>(other));
        const Vec3 at = rot * o.position + t;
        const double yaw = o.yaw + (anchor_yaw - body.sole(static_cast<robot::Side>(stance)).yaw);
        const robot::PelvisPose level2 =
            body.stand_on(static_cast<robot::Side>(other), q, Vec3::Zero(), 0.0);
        Mat3 rot2;
        Vec3 t2;
        placement(other, at.head<2>(), yaw, &rot2, &t2);
        const double below2 = lowest(stance, rot2, t2) - floor;
        if (below2 < below) {
          level = body.stand_on(static_cast<robot::Side>(stance), q, Vec3::Zero(), 0.0);
          t.z() -= below;
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
        const robot::SoleFrame f = body.sole_frame(static_cast<robot::Side>(s));
        p.soles[s] = robot::SoleFrame{rot * f.position + t, rot * f.rotation};
        double low = std::numeric_limits<double>::infinity();
        for (const Vec3 &c : body.sole_corners(static_cast<robot::Side>(s)))
          low = std::min(low, (rot * c + t).z());
        p.carries[s] = low - floor <= kCarryGap;
      }
      height_sum += (rot * body.com() + t).z() - floor;
    }
    com_height = original.empty() ? model.standing_height() : height_sum / original.size();
  }

  // The support of row r: the corners near the floor of the soles that
  // carry, as the balance check counts them.
  robot::Support support(std::size_t r) const {
    std::array<Vec2, 8> corners;
    int n = 0;
    const double floor = model.floor_height();
    for (int s = 0; s < 2; ++s) {
      if (!placed[r].carries[s]) continue;
      const robot::SoleFrame &f = placed[r].soles[s];
      const Vec2 half = model.sole_size(static_cast<robot::Side>(s)) / 2;
      std::array<Vec3, 4> c;
      const double sx[4] = {1, 1, -1, -1}, sy[4] = {1, -1, -1, 1};
      double low = std::numeric_limits<double>::infinity();
      for (int k = 0; k < 4; ++k) {
        c[k] = f.position + f.rotation * Vec3(sx[k] * half.x(), sy[k] * half.y(), 0.0);
        low = std::min(low, c[k].z());
      }
      for (const Vec3 &k : c)
        if (k.z() - floor <= (low - floor) + kCarryGap) corners[n++] = k.head<2>();
    }
    return robot::Support::hull(std::span(corners.data(), n));
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
      const robot::LegSolution leg = body.solve_leg(side, pelvis, p.soles[s]);
      if (!leg.ok) {
        why = leg.shortfall;
        return false;
      }
      for (int k = 0; k < 6; ++k) {
        const int i = robot::kLegJoints[s][k];
        row[i] = count_of(leg.angles[k], i);
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
        period, round.rows, [](const Finding &) {}, &round.samples);
    round.smallest = round.summary.smallest_margin;
    round.short_sum = 0.0;
    for (const BalanceSample &s : round.samples)
      round.short_sum += std::max(0.0, margin - s.cop_margin);
  }

  // --- The correction ----------------------------------------------------

  // Where each sample's centre of pressure should move, m: inward, by its
  // shortfall below the margin; nothing where it is far enough inside.
  void wanted_moves(const std::vector<BalanceSample> &samples, std::vector<double> &x,
                    std::vector<double> &y) const {
    x.assign(samples.size(), 0.0);
    y.assign(samples.size(), 0.0);
    for (std::size_t k = 0; k < samples.size(); ++k) {
      const BalanceSample &s = samples[k];
      if (s.cop_margin >= margin) continue;
      const Vec2 p(s.cop_x, s.cop_y);
      double need = (margin + kAimBeyondMm - s.cop_margin) / 1000.0;
      // The support the servos stand on at that moment.
      const robot::Support sup = support(row_at(s.time - kServoLag));
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
      need = std::min(need, 0.2);  // beyond a leg's length no correction means anything
      inward *= need / inward.norm();
      x[k] = inward.x();
      y[k] = inward.y();
    }
  }

  // The hips' move by row for the samples' wanted moves of the centre of
  // pressure, through the cart-table preview.
  void correction(const Preview &preview, const std::vector<BalanceSample> &samples,
                  std::vector<Vec2> &hips) const {
    std::vector<double> wx, wy, cx, cy;
    wanted_moves(samples, wx, wy);
    preview.run(wx, cx);
    preview.run(wy, cy);
    hips.assign(original.size(), Vec2::Zero());
    if (samples.empty()) return;
    const double t0 = samples.front().time;
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

namespace {

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
  result.before = best.summary.smallest_margin;
  result.before_line = best.summary.smallest_line;
  im.find_times(best.samples);
  im.find_follows();

  const Preview preview(im.com_height, im.model.g(), kBalanceSample);
  Round last = best;
  int stale = 0;
  std::vector<Vec2> more;
  std::vector<Vec2> wanted(rows.size());
  for (int round = 1; round <= kMaxRounds && best.smallest < margin_mm; ++round) {
    im.correction(preview, last.samples, more);
    for (std::size_t r = 0; r < rows.size(); ++r) wanted[r] = last.shift[r] + more[r];
    Round next;
    im.build(wanted, next);
    im.judge(next);
    if (next.better_than(best)) {
      best = next;
      result.rounds = round;
      stale = 0;
    } else if (++stale >= kStaleRounds) {
      break;
    }
    last = std::move(next);
  }

  // The result, and what it changed.
  for (std::size_t r = 0; r < rows.size(); ++r) {
    result.most_shift = std::max(result.most_shift, best.shift[r].norm() * 1000.0);
    result.most_drop = std::max(result.most_drop, best.drop[r] * 1000.0);
    if (best.rows[r] != rows[r]) ++result.changed_rows;
  }
  rows = best.rows;
  result.after = best.summary.smallest_margin;
  result.after_line = best.summary.smallest_line;
  result.holds = best.smallest >= margin_mm - kShortMm;

  // Each stretch still short of the margin: one warning at its first line.
  const auto line_of = [&](long row) {
    const std::size_t r = static_cast<std::size_t>(std::clamp<long>(row, 1, rows.size())) - 1;
    return r < lines.size() ? lines[r] : static_cast<long>(r + 1);
  };
  std::size_t k = 0;
  const std::vector<BalanceSample> &s = best.samples;
  while (k < s.size()) {
    if (s[k].cop_margin >= margin_mm - kShortMm) {
      ++k;
      continue;
    }
    std::size_t end = k;
    double worst = s[k].cop_margin;
    while (end + 1 < s.size() && s[end + 1].cop_margin < margin_mm - kShortMm) {
      ++end;
      worst = std::min(worst, s[end].cop_margin);
    }
    const long first_row = s[k].line, last_row = s[end].line;
    // What stopped the hips there, or shortly before.
    const std::size_t from = im.row_at(s[k].time - kExplainAhead);
    const std::size_t to = std::min<std::size_t>(im.row_at(s[end].time), rows.size() - 1);
    const Limit *reach = nullptr, *speed = nullptr;
    for (std::size_t r = from; r <= to; ++r) {
      const Limit &l = best.limits[r];
      if (l.kind == Limit::kReach && (reach == nullptr || l.wanted > reach->wanted)) reach = &l;
      if (l.kind == Limit::kSpeed && speed == nullptr) speed = &l;
    }
    const std::size_t at = im.row_at(s[k].time - kServoLag);
    std::string why;
    if (reach != nullptr) {
      why = text_of("the hips can move only %.0f mm of the %.0f mm needed: %s",
                    reach->taken * 1000.0, reach->wanted * 1000.0, reach->why.c_str());
    } else if (speed != nullptr) {
      // The time the weight had: the support's last change before, since
      // the one before it (or the start).
      std::size_t change = at;
      while (change > 0 && im.placed[change - 1].carries == im.placed[at].carries) --change;
      std::size_t since = change > 0 ? change - 1 : 0;
      while (since > 0 && im.placed[since - 1].carries == im.placed[change - 1].carries) --since;
      why = text_of("the weight cannot reach %s in %.2f s: %s", support_name(im.placed[at].carries),
                    std::max(im.row_time, im.time_of(change) - im.time_of(since)),
                    speed->why.c_str());
    } else {
      why = "no move of the hips that the check could find holds it";
    }
    const std::string where =
        worst < 0.0 ? text_of("the centre of pressure stays %.0f mm outside the support", -worst)
                    : text_of(
                          "the centre of pressure comes within %.0f mm of the "
                          "support's edge, short of the %.0f mm margin",
                          worst, margin_mm);
    const long a = line_of(first_row), b = line_of(last_row);
    const bool own_lines = lines.empty() || (a == first_row && b == last_row);
    const std::string rows_text =
        own_lines
            ? text_of("%.2f s to %.2f s", first_row * period / 1000.0, last_row * period / 1000.0)
            : text_of("rows %ld to %ld of the result, %.2f s to %.2f s", first_row, last_row,
                      first_row * period / 1000.0, last_row * period / 1000.0);
    ++result.unmended;
    sink(Finding{a, 0, Severity::kWarning,
                 text_of("balance: %s (%s): %s; %s", lines_text(a, b).c_str(), rows_text.c_str(),
                         why.c_str(), where.c_str())});
    k = end + 1;
  }
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

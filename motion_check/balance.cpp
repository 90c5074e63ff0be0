// The balance check. It replays motion_player's commands (the approach to
// the first row, then every rows_per_step-th row, then the last), moves a
// setpoint toward each at the servo speed as the stand-in does, and stands
// the posture on the floor: one sole (the stance sole) flat and fixed on
// the floor while the other does not press below it; when it would, the
// robot has stepped onto the other sole, which becomes the stance sole
// where it touched.
#include "balance.h"

#include <mujoco/mujoco.h>

#include <Eigen/Geometry>
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "line_reader.h"
#include "whole_file.h"

namespace {

using Vec2 = Eigen::Vector2d;
using Vec3 = Eigen::Vector3d;
using Mat3 = Eigen::Matrix3d;

// A sole pressing deeper than this below the floor has taken the weight, m.
constexpr double kPress = 0.0005;
// Below this share of the weight on the floor the robot is thrown up: the
// centre of pressure is taken at this share rather than divided by nothing.
constexpr double kLeastLoad = 0.1;
// Approach steps evaluated at the most: beyond them the approach is taken
// as reached (only a posture far beyond the joints' limits needs more).
constexpr long kApproachEvaluated = 4000;

Mat3 from_mj(const mjtNum *m) {
  Mat3 r;
  r << m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7], m[8];
  return r;
}

}  // namespace

struct BalanceCheck::State {
  const robot::Model &model;
  robot::Data body;
  double servo_speed;
  LineReader reader{kPlayerReadChars + 1};
  const mjModel *m;
  const mjData *d;
  int nbody;
  double mass;
  double g;  // m/s², the model's gravity
  // Stance: which sole stands, and where (floor xy and heading).
  int stance = robot::kLeft;
  Vec2 anchor = Vec2::Zero();
  double anchor_yaw = 0.0;
  bool placed = false;
  // The previous sample's bodies, world frame, and momentum.
  std::vector<Vec3> com_prev;
  std::vector<Mat3> rot_prev;
  std::vector<Vec3> com_now;
  std::vector<Mat3> rot_now;
  Vec3 p_prev = Vec3::Zero(), l_prev = Vec3::Zero();
  bool have_prev = false, have_momentum = false;
  int held_rates = 0;
  Vec3 last_p_rate = Vec3::Zero(), last_l_rate = Vec3::Zero();
  // The last kBalanceFilter samples: rates, centre of mass, support.
  struct Pending {
    long line;
    double time;
    Vec3 p_rate, l_rate, com;
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
    com_prev.resize(nbody);
    rot_prev.resize(nbody);
    com_now.resize(nbody);
    rot_now.resize(nbody);
  }

  void reset() {
    placed = false;
    have_prev = have_momentum = false;
    held_rates = 0;
    last_p_rate = last_l_rate = Vec3::Zero();
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
    if (below >= -kPress) return;
    // The other sole has come down: it stands now, where it touched.
    robot::SolePose s = body.sole(static_cast<robot::Side>(other));
    Vec3 at = *r * s.position + *t;
    Mat3 rs = *r * body.sole_rotation(static_cast<robot::Side>(other));
    Mat3 r2;
    Vec3 t2;
    double yaw = std::atan2(rs(1, 0), rs(0, 0));
    placement(other, at.head<2>(), yaw, &r2, &t2);
    double below2 = lowest(stance, r2, t2);
    if (below2 < below) {
      // Both soles would press below: they meet the floor on their edges;
      // the one that presses less stands, lifted onto the floor.
      t->z() -= below;
      return;
    }
    if (below2 < 0) t2.z() -= below2;
    // Across the change of frame the momentum's two rates are not the
    // body's: the last ones hold for them.
    held_rates = 2;
    stance = other;
    anchor = at.head<2>();
    anchor_yaw = yaw;
    *r = r2;
    *t = t2;
  }

  // One sample of the posture `q`.
  void sample(const Posture &q, long line, double time, std::vector<BalanceSample> *out,
              BalanceSummary &sum, const FindingSink &sink);
  void emit(const Pending &p, const Vec3 &p_rate, const Vec3 &l_rate,
            std::vector<BalanceSample> *out, BalanceSummary &sum, const FindingSink &sink);

  // The current stretch outside the support.
  long stretch_first = 0, stretch_last = 0;
  double stretch_by = 0.0;
  std::string stretch_toward;
  int period = 0;
  long shown = 0, hidden = 0;
  void close_stretch(BalanceSummary &sum, const FindingSink &sink);
};

void BalanceCheck::State::sample(const Posture &q, long line, double time,
                                 std::vector<BalanceSample> *out, BalanceSummary &sum,
                                 const FindingSink &sink) {
  body.set_posture(q, robot::PelvisPose{});
  Mat3 r;
  Vec3 t;
  stand(&r, &t);
  for (int b = 1; b < nbody; ++b) {
    com_now[b] = r * Vec3(d->xipos[3 * b], d->xipos[3 * b + 1], d->xipos[3 * b + 2]) + t;
    rot_now[b] = r * from_mj(d->ximat + 9 * b);
  }
  // Momentum from the change since the last sample.
  Vec3 p = Vec3::Zero(), l = Vec3::Zero(), com = Vec3::Zero();
  for (int b = 1; b < nbody; ++b) {
    double mb = m->body_mass[b];
    com += mb * com_now[b];
    if (!have_prev) continue;
    Vec3 v = (com_now[b] - com_prev[b]) / kBalanceSample;
    Mat3 turn = rot_now[b] * rot_prev[b].transpose();
    Vec3 w = 0.5 * Vec3(turn(2, 1) - turn(1, 2), turn(0, 2) - turn(2, 0), turn(1, 0) - turn(0, 1)) /
             kBalanceSample;
    Vec3 inertia(m->body_inertia[3 * b], m->body_inertia[3 * b + 1], m->body_inertia[3 * b + 2]);
    const Mat3 &rb = rot_now[b];
    p += mb * v;
    l += mb * com_now[b].cross(v) + rb * inertia.asDiagonal() * rb.transpose() * w;
  }
  com /= mass;
  std::swap(com_prev, com_now);
  std::swap(rot_prev, rot_now);
  bool first = !have_prev;
  have_prev = true;
  Pending pending;
  pending.line = line;
  pending.time = time;
  pending.com = com;
  pending.p_rate = Vec3::Zero();
  pending.l_rate = Vec3::Zero();
  if (held_rates > 0) {
    --held_rates;
    pending.p_rate = last_p_rate;
    pending.l_rate = last_l_rate;
  } else if (!first && have_momentum) {
    pending.p_rate = (p - p_prev) / kBalanceSample;
    pending.l_rate = (l - l_prev) / kBalanceSample;
  }
  last_p_rate = pending.p_rate;
  last_l_rate = pending.l_rate;
  if (!first) {
    p_prev = p;
    l_prev = l;
    have_momentum = true;
  }
  // The support: every corner near the floor of a sole that carries.
  std::array<Vec2, 8> corners;
  int n = 0;
  for (int s = 0; s < 2; ++s) {
    std::array<Vec3, 4> c = body.sole_corners(static_cast<robot::Side>(s));
    for (Vec3 &k : c) k = r * k + t;
    double low = std::min({c[0].z(), c[1].z(), c[2].z(), c[3].z()});
    if (low > kCarryGap) continue;
    for (const Vec3 &k : c)
      if (k.z() <= low + kCarryGap) corners[n++] = k.head<2>();
  }
  pending.support = robot::Support::hull(std::span(corners.data(), n));
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
                               std::vector<BalanceSample> *out, BalanceSummary &sum,
                               const FindingSink &sink) {
  // The floor's force and its moment about the origin balance gravity and
  // the momentum's rates; the centre of pressure is where that moment has
  // no horizontal part.
  Vec3 gravity(0.0, 0.0, -g * mass);
  Vec3 force = p_rate - gravity;
  Vec3 moment = l_rate - p.com.cross(gravity);
  double fz = std::max(force.z(), kLeastLoad * g * mass);
  Vec2 cop(-moment.y() / fz, moment.x() / fz);
  Vec2 com = p.com.head<2>();
  Vec2 near_com, near_cop;
  double com_margin = p.support.margin(com, &near_com) * 1000.0;
  double cop_margin = p.support.margin(cop, &near_cop) * 1000.0;
  if (p.support.empty()) com_margin = cop_margin = -std::numeric_limits<double>::infinity();
  ++sum.samples;
  if (sum.samples == 1 || cop_margin < sum.smallest_margin) {
    sum.smallest_margin = cop_margin;
    sum.smallest_line = p.line;
  }
  if (cop_margin < 0.0) {
    if (stretch_first == 0) {
      stretch_first = p.line;
      stretch_by = 0.0;
    }
    stretch_last = p.line;
    if (-cop_margin > stretch_by) {
      stretch_by = -cop_margin;
      // Which way, in the stance sole's heading.
      Vec2 away = !p.support.empty() ? Vec2(cop - near_cop) : Vec2(1.0, 0.0);
      double c = std::cos(p.heading), s = std::sin(p.heading);
      double fwd = c * away.x() + s * away.y();
      double left = -s * away.x() + c * away.y();
      stretch_toward = std::abs(fwd) >= std::abs(left)
                           ? (fwd > 0 ? "toward the toes" : "toward the heels")
                           : (left > 0 ? "to the left" : "to the right");
    }
  } else if (stretch_first != 0) {
    close_stretch(sum, sink);
  }
  if (out != nullptr) {
    Vec2 centre = p.support.centre();
    out->push_back(BalanceSample{p.line, p.time, com.x(), com.y(), cop.x(), cop.y(), centre.x(),
                                 centre.y(), com_margin, cop_margin});
  }
}

// "line 140 (1.40 s)": a line and its time in the file.
static std::string line_time(long line, int period) {
  return text_of("line %ld (%.2f s)", line, line * (period / 1000.0));
}

void BalanceCheck::State::close_stretch(BalanceSummary &sum, const FindingSink &sink) {
  ++sum.stretches;
  ++sum.warnings;
  if (sum.first_line == 0) {
    sum.first_line = stretch_first;
    sum.first_by = stretch_by;
    sum.first_toward = stretch_toward;
  }
  std::string where =
      stretch_first == stretch_last
          ? line_time(stretch_first, period)
          : text_of("lines %ld to %ld (%.2f s to %.2f s)", stretch_first, stretch_last,
                    stretch_first * (period / 1000.0), stretch_last * (period / 1000.0));
  if (shown < kShownPerKind) {
    ++shown;
    sink(Finding{stretch_first, 0, Severity::kWarning,
                 text_of("balance: the centre of pressure leaves the support by %.0f mm %s, %s",
                         stretch_by, stretch_toward.c_str(), where.c_str())});
  } else {
    ++hidden;
  }
  stretch_first = 0;
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
                                 std::vector<BalanceSample> *samples) {
  std::FILE *file = open_motion_file(path);
  if (file == nullptr) return BalanceSummary{};
  state_->reader.attach(file);
  FileRows rows(state_->reader);
  BalanceSummary sum = play(rows, sink, samples);
  std::fclose(file);
  return sum;
}

BalanceSummary BalanceCheck::run(int period, const std::vector<PulseCounts> &rows,
                                 const FindingSink &sink, std::vector<BalanceSample> *samples) {
  MemoryRows memory(period, rows);
  return play(memory, sink, samples);
}

BalanceSummary BalanceCheck::play(Rows &source, const FindingSink &sink,
                                  std::vector<BalanceSample> *samples) {
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
  if (st.hidden > 0)
    sink(Finding{0, 0, Severity::kNote,
                 text_of("%ld more stretches outside the support not shown", st.hidden)});
  return sum;
}

void print_balance(std::FILE *out, const std::string &path, const BalanceSummary &s) {
  if (!s.checked) {
    std::fprintf(out, "%s: balance: not checked: motion_player cannot play it\n", path.c_str());
  } else if (s.first_line == 0) {
    std::fprintf(
        out, "%s: balance: inside the support throughout, smallest margin %.0f mm at line %ld\n",
        path.c_str(), s.smallest_margin, s.smallest_line);
  } else {
    std::fprintf(out,
                 "%s: balance: the centre of pressure first leaves the support at %s, by %.0f mm "
                 "%s; %ld stretch%s outside\n",
                 path.c_str(), line_time(s.first_line, s.period).c_str(), s.first_by,
                 s.first_toward.c_str(), s.stretches, s.stretches == 1 ? "" : "es");
  }
}

bool write_balance_csv(std::FILE *out, const std::vector<BalanceSample> &samples) {
  if (std::fputs("line,time_s,com_x,com_y,cop_x,cop_y,support_x,support_y,com_margin_mm,"
                 "cop_margin_mm\n",
                 out) < 0)
    return false;
  for (const BalanceSample &b : samples) {
    if (std::fprintf(out, "%ld,%.3f,%.5f,%.5f,%.5f,%.5f,%.5f,%.5f,%.2f,%.2f\n", b.line, b.time,
                     b.com_x, b.com_y, b.cop_x, b.cop_y, b.support_x, b.support_y, b.com_margin,
                     b.cop_margin) < 0)
      return false;
  }
  return true;
}

#include "motion_walk_lib.h"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <numbers>
#include <optional>

#include "balance.h"
#include "motion_rows.h"

namespace walk {
namespace {

using Eigen::Vector2d;
using robot::kLeft;
using robot::kRight;
using robot::Side;

Eigen::Matrix2d rotation(double yaw) {
  Eigen::Matrix2d r;
  r << std::cos(yaw), -std::sin(yaw), std::sin(yaw), std::cos(yaw);
  return r;
}

Place offset(const Place &frame, const Vector2d &local) {
  return Place{frame.at + rotation(frame.yaw) * local, frame.yaw};
}

Side other(Side side) {
  return side == kLeft ? kRight : kLeft;
}

const char *foot_name(Side side) {
  return side == kLeft ? "left" : "right";
}

// The hip yaws' smallest stop, rad: how far both hips turn both ways.
double hip_yaw_range(const robot::Model &model) {
  double range = INFINITY;
  for (Side side : {kLeft, kRight}) {
    const robot::JointRange stops = model.joint_range(robot::kLegJoints[side][0]);
    range = std::min({range, std::fabs(stops.low), std::fabs(stops.high)});
  }
  return range;
}

// The pressure centre's target on a stance sole.
Vector2d stance_zmp(const Footstep &step) {
  const double inward = step.swing == kLeft ? kZmpInward : -kZmpInward;
  return offset(step.stance, Vector2d(0.0, inward)).at;
}

double lerp(double a, double b, double s) {
  return a + (b - a) * s;
}

}  // namespace

std::vector<Footstep> plan_footsteps(const Command &command, const Place &left, const Place &right,
                                     double width, double sole_width) {
  std::vector<Footstep> steps;
  // The frame midway between the feet walks; each foot lands beside it.
  const double half = std::max(width, sole_width + kSoleClearance + std::fabs(command.side)) / 2.0;
  Place frame{(left.at + right.at) / 2.0, (left.yaw + right.yaw) / 2.0};
  std::array<Place, 2> foot = {left, right};
  Side swing = kLeft;
  if (command.side < 0.0 || (command.side == 0.0 && command.turn < 0.0)) swing = kRight;
  const Vector2d advance(command.stride, command.side);
  for (int k = 0; k < command.steps; ++k) {
    frame.at += rotation(frame.yaw + command.turn / 2.0) * advance;
    frame.yaw += command.turn;
    const Place to = offset(frame, Vector2d(0.0, swing == kLeft ? half : -half));
    steps.push_back(Footstep{swing, foot[swing], to, foot[other(swing)]});
    foot[swing] = to;
    swing = other(swing);
  }
  // The trailing foot comes beside the one that stepped last.
  const Place &stance = foot[other(swing)];
  const Place to = offset(stance, Vector2d(0.0, swing == kLeft ? width : -width));
  steps.push_back(Footstep{swing, foot[swing], to, stance});
  return steps;
}

double Timeline::step_start(std::size_t k) const {
  if (k == 0) return walk_start;
  return walk_start + first_shift + (step_time - double_support) +
         static_cast<double>(k - 1) * step_time;
}

Timeline make_timeline(const Command &command, std::size_t footsteps) {
  Timeline t;
  t.step_time = command.step_time;
  t.double_support = kDoubleSupportShare * command.step_time;
  // The first shift of the weight onto one foot starts from rest: slower.
  t.first_shift = std::max(command.step_time, 0.5);
  t.walk_start = kLowerTime;
  const std::size_t last = footsteps - 1;
  t.walk_end = t.step_start(last) + (last == 0 ? t.first_shift : t.double_support) +
               (command.step_time - t.double_support);
  t.rise_start = t.walk_end + std::max(command.step_time, 0.5) + kSettleTime;
  t.total = t.rise_start + kRiseTime;
  return t;
}

namespace {

// Double support of step k: its length.
double shift_time(const Timeline &timeline, std::size_t k) {
  return k == 0 ? timeline.first_shift : timeline.double_support;
}

// Where the feet are at t, and whether each is on the floor.
struct Feet {
  std::array<FootAt, 2> foot;
  std::array<bool, 2> down = {true, true};
  int step = -1;  // the step under way (its double or single support), -1 before the walk
};

Feet feet_at(double t, const Timeline &timeline, const std::vector<Footstep> &steps,
             const Place &left, const Place &right, double lift) {
  Feet feet;
  const std::array<Place, 2> start = {left, right};
  for (int s = 0; s < 2; ++s)
    feet.foot[s] = FootAt{Eigen::Vector3d(start[s].at.x(), start[s].at.y(), 0.0), start[s].yaw};
  const double swing = timeline.step_time - timeline.double_support;
  for (std::size_t k = 0; k < steps.size(); ++k) {
    const Footstep &step = steps[k];
    const double lifts = timeline.step_start(k) + shift_time(timeline, k);
    if (t < timeline.step_start(k)) break;
    feet.step = static_cast<int>(k);
    if (t <= lifts) break;
    if (t < lifts + swing) {
      feet.foot[step.swing] = swing_foot(step.from, step.to, lift, (t - lifts) / swing);
      feet.down[step.swing] = false;
      break;
    }
    feet.foot[step.swing] =
        FootAt{Eigen::Vector3d(step.to.at.x(), step.to.at.y(), 0.0), step.to.yaw};
  }
  return feet;
}

}  // namespace

Eigen::Vector2d zmp_reference(double t, const Timeline &timeline,
                              const std::vector<Footstep> &steps, const Eigen::Vector2d &centre,
                              const Eigen::Vector2d &final_centre) {
  if (t <= timeline.walk_start) return centre;
  Vector2d before = centre;
  for (std::size_t k = 0; k < steps.size(); ++k) {
    const Vector2d target = stance_zmp(steps[k]);
    const double start = timeline.step_start(k);
    const double shift = shift_time(timeline, k);
    const double next = k + 1 < steps.size() ? timeline.step_start(k + 1) : timeline.walk_end;
    if (t < start + shift) return before + (target - before) * ((t - start) / shift);
    if (t < next) return target;
    before = target;
  }
  const double shift = std::max(timeline.step_time, 0.5);
  const double s = std::min(1.0, (t - timeline.walk_end) / shift);
  return before + (final_centre - before) * s;
}

PreviewControl::PreviewControl(double com_height, double g, double dt, int preview) {
  a_ << 1.0, dt, dt * dt / 2.0, 0.0, 1.0, dt, 0.0, 0.0, 1.0;
  b_ << dt * dt * dt / 6.0, dt * dt / 2.0, dt;
  c_ << 1.0, 0.0, -com_height / g;
  // The system augmented with the pressure error's integral.
  Eigen::Matrix4d aa = Eigen::Matrix4d::Zero();
  aa(0, 0) = 1.0;
  aa.block<1, 3>(0, 1) = c_ * a_;
  aa.block<3, 3>(1, 1) = a_;
  Eigen::Vector4d bb;
  bb(0) = c_ * b_;
  bb.tail<3>() = b_;
  // Weights: the pressure error against the jerk, as Kajita's.
  constexpr double kErrorWeight = 1.0;
  constexpr double kJerkWeight = 1e-6;
  Eigen::Matrix4d q = Eigen::Matrix4d::Zero();
  q(0, 0) = kErrorWeight;
  // The discrete Riccati equation, iterated to its fixed point.
  Eigen::Matrix4d p = q;
  for (int i = 0; i < 200000; ++i) {
    const double s = kJerkWeight + bb.dot(p * bb);
    const Eigen::RowVector4d k = (bb.transpose() * p * aa) / s;
    const Eigen::Matrix4d next = q + aa.transpose() * p * aa - (aa.transpose() * p * bb) * k;
    const double change = (next - p).cwiseAbs().maxCoeff();
    p = next;
    if (change <= 1e-13 * std::max(1.0, p.cwiseAbs().maxCoeff())) break;
  }
  const double s = kJerkWeight + bb.dot(p * bb);
  const Eigen::RowVector4d k = (bb.transpose() * p * aa) / s;
  gi_ = k(0);
  gx_ = k.tail<3>();
  // Preview gains on the future reference.
  const Eigen::Matrix4d closed = aa - bb * k;
  Eigen::Vector4d x = -closed.transpose() * p * Eigen::Vector4d::UnitX();
  preview_gains_.assign(static_cast<std::size_t>(std::max(preview, 1)), 0.0);
  preview_gains_[0] = -gi_;
  for (std::size_t j = 1; j < preview_gains_.size(); ++j) {
    preview_gains_[j] = bb.dot(x) / s;
    x = closed.transpose() * x;
  }
}

PreviewControl::Track PreviewControl::track(const std::vector<double> &reference) const {
  Track out;
  if (reference.empty()) return out;
  const std::size_t n = reference.size();
  out.com.resize(n);
  out.zmp.resize(n);
  Eigen::Vector3d x(reference[0], 0.0, 0.0);
  double error_sum = 0.0;
  for (std::size_t k = 0; k < n; ++k) {
    const double zmp = c_ * x;
    out.com[k] = x(0);
    out.zmp[k] = zmp;
    error_sum += zmp - reference[k];
    double u = -gi_ * error_sum - gx_ * x;
    for (std::size_t j = 0; j < preview_gains_.size(); ++j)
      u -= preview_gains_[j] * reference[std::min(k + j + 1, n - 1)];
    x = a_ * x + b_ * u;
  }
  return out;
}

FootAt swing_foot(const Place &from, const Place &to, double lift, double s) {
  s = std::clamp(s, 0.0, 1.0);
  const double up = std::sin(std::numbers::pi * s);
  const double travel = min_jerk((s - 0.1) / 0.8);
  FootAt foot;
  const Vector2d at = from.at + (to.at - from.at) * travel;
  foot.at = Eigen::Vector3d(at.x(), at.y(), lift * up * up);
  foot.yaw = lerp(from.yaw, to.yaw, travel);
  return foot;
}

std::string command_problem(const robot::Model &model, const Command &c) {
  if (c.steps < 1 || c.steps > kMaxSteps)
    return text_of("--steps takes a whole number of steps, 1 to %d", kMaxSteps);
  if (!(c.lift >= 0.0)) return "--lift takes a height in m, 0 or more";
  const double swing = c.step_time * (1.0 - kDoubleSupportShare);
  if (!(swing >= kMinSwingTime))
    return text_of("a step time of %g s leaves %.3f s to lift a foot, less than %.3f s",
                   c.step_time, swing, kMinSwingTime);
  const double hip_yaw = hip_yaw_range(model);
  if (!(std::fabs(c.turn) <= hip_yaw))
    return text_of("a turn of %g rad per step is beyond the hip yaw's range, %.6f rad", c.turn,
                   hip_yaw);
  if (!(c.height > 0.0)) return "--height takes the pelvis's height in m, above 0";
  if (c.period_ms < 1 || c.period_ms > kMaxPeriodMs)
    return text_of("--period takes a whole number of ms, 1 to %d", kMaxPeriodMs);
  const double total = make_timeline(c, static_cast<std::size_t>(c.steps) + 1).total;
  if (!(total * 1000.0 <= kMaxMotionMs))
    return text_of("the walk would last %.0f s, more than %ld s", total, kMaxMotionMs / 1000);
  return {};
}

namespace {

struct Reporter {
  const FindingSink &sink;
  Walk &walk;
  void error(const std::string &message) {
    ++walk.errors;
    sink(Finding{0, 0, Severity::kError, message});
  }
  void warning(const std::string &message) {
    ++walk.warnings;
    sink(Finding{0, 0, Severity::kWarning, message});
  }
};

// The part of the walk at a time, for messages.
std::string when(const Feet &feet, const std::vector<Footstep> &steps) {
  if (feet.step < 0) return "lowering to the walking height";
  const std::size_t k = static_cast<std::size_t>(feet.step);
  if (k + 1 == steps.size())
    return text_of("the last step, the %s foot coming beside the other", foot_name(steps[k].swing));
  return text_of("step %zu (the %s foot)", k + 1, foot_name(steps[k].swing));
}

// Solves both legs with the pelvis at `pelvis`; false with the reason.
bool solve_legs(robot::Data &body, const robot::PelvisPose &pelvis, const Feet &feet,
                Posture &posture, std::string &why) {
  posture.fill(0.0);
  for (Side side : {kLeft, kRight}) {
    robot::SolePose sole;
    sole.position = feet.foot[side].at;
    sole.yaw = feet.foot[side].yaw;
    const robot::LegSolution solved = body.solve_leg(side, pelvis, sole);
    if (!solved.ok) {
      why = solved.shortfall;
      return false;
    }
    for (int j = 0; j < 6; ++j) posture[robot::kLegJoints[side][j]] = solved.angles[j];
  }
  return true;
}

// The robot standing straight, where the walk starts.
struct Standing {
  std::array<Place, 2> sole;  // each sole's centre and heading
  Vector2d com;               // the centre of mass on the floor
  Vector2d middle;            // midway between the soles
  double width = 0.0;         // the soles' centres apart
};

Standing stand(robot::Data &body) {
  robot::PelvisPose pelvis;
  pelvis.position = Eigen::Vector3d(0.0, 0.0, body.model().standing_height());
  body.set_posture(Posture{}, pelvis);
  Standing standing;
  for (Side side : {kLeft, kRight}) {
    const robot::SolePose sole = body.sole(side);
    standing.sole[side] = Place{sole.position.head<2>(), sole.yaw};
  }
  standing.com = body.com().head<2>();
  standing.width = (standing.sole[kLeft].at - standing.sole[kRight].at).norm();
  standing.middle = (standing.sole[kLeft].at + standing.sole[kRight].at) / 2.0;
  return standing;
}

// The steps and their times, and where the walk ends.
struct Route {
  std::vector<Footstep> steps;
  Timeline timeline;
  Vector2d final_centre;  // the centre of mass standing at the end
  // The feet at t, lifting `lift` m.
  Feet feet(double t, const Standing &standing, double lift) const {
    return feet_at(t, timeline, steps, standing.sole[kLeft], standing.sole[kRight], lift);
  }
};

Route plan_route(const robot::Model &model, const Command &command, const Standing &standing) {
  Route route;
  route.steps = plan_footsteps(command, standing.sole[kLeft], standing.sole[kRight], standing.width,
                               model.sole_size(kLeft).y());
  route.timeline = make_timeline(command, route.steps.size());
  const Footstep &last = route.steps.back();
  const Vector2d final_middle = (last.to.at + last.stance.at) / 2.0;
  route.final_centre = final_middle + rotation(last.to.yaw) * (standing.com - standing.middle);
  return route;
}

// The centre of mass the preview control plans, every kPlanDt, and the
// pressure centre's reference it follows.
struct ComPlan {
  std::vector<double> ref_x, ref_y;
  PreviewControl::Track x, y;
  std::size_t samples() const { return ref_x.size(); }
  // The planned centre of mass at t, between the samples.
  Vector2d at(double t) const {
    const std::size_t n = samples();
    const double u = std::clamp(t / kPlanDt, 0.0, static_cast<double>(n - 1));
    const std::size_t i = std::min(static_cast<std::size_t>(u), n - 2);
    const double s = u - static_cast<double>(i);
    return Vector2d(lerp(x.com[i], x.com[i + 1], s), lerp(y.com[i], y.com[i + 1], s));
  }
};

ComPlan plan_com(const robot::Model &model, const Route &route, const Standing &standing,
                 double com_height) {
  ComPlan plan;
  const std::size_t samples =
      static_cast<std::size_t>(std::ceil(route.timeline.total / kPlanDt)) + 1;
  plan.ref_x.resize(samples);
  plan.ref_y.resize(samples);
  for (std::size_t i = 0; i < samples; ++i) {
    const Vector2d r = zmp_reference(static_cast<double>(i) * kPlanDt, route.timeline, route.steps,
                                     standing.com, route.final_centre);
    plan.ref_x[i] = r.x();
    plan.ref_y[i] = r.y();
  }
  const PreviewControl control(com_height, model.g(), kPlanDt,
                               static_cast<int>(std::lround(kPreviewTime / kPlanDt)));
  plan.x = control.track(plan.ref_x);
  plan.y = control.track(plan.ref_y);
  return plan;
}

// The plan for --plan-csv, every kPlanDt.
void write_plan_samples(const ComPlan &com, const Route &route, const Standing &standing,
                        double lift, std::vector<PlanSample> &plan) {
  for (std::size_t i = 0; i < com.samples(); ++i) {
    const double t = static_cast<double>(i) * kPlanDt;
    const Feet at = route.feet(t, standing, lift);
    plan.push_back(PlanSample{t, Vector2d(com.x.com[i], com.y.com[i]),
                              Vector2d(com.x.zmp[i], com.y.zmp[i]),
                              Vector2d(com.ref_x[i], com.ref_y[i]), at.foot[kLeft], at.foot[kRight],
                              at.down[kLeft], at.down[kRight]});
  }
}

// Puts the legs under the planned centre of mass: the pelvis is placed so
// that the whole robot's centre of mass, swing leg and all, lies on the
// plan. Where the centre of mass sits from the pelvis depends on the legs,
// which depend on where the pelvis is: two passes, each starting from the
// offset the last posture solved had.
class LegPlacer {
 public:
  LegPlacer(robot::Data &body, const Command &command, const Route &route, const Standing &standing,
            const ComPlan &com, Reporter &report)
      : body_(body),
        command_(command),
        route_(route),
        standing_(standing),
        com_(com),
        report_(report),
        com_offset_(standing.com) {}

  // The legs' posture at t; false once reported when it cannot be made.
  bool posture(double t, Posture &out) {
    const Feet at = route_.feet(t, standing_, command_.lift);
    robot::PelvisPose pelvis;
    pelvis.yaw = (at.foot[kLeft].yaw + at.foot[kRight].yaw) / 2.0;
    const Vector2d com = com_.at(t);
    std::string why;
    for (int pass = 0; pass < 2; ++pass) {
      pelvis.position =
          Eigen::Vector3d(com.x() - com_offset_.x(), com.y() - com_offset_.y(), command_.height);
      if (!solve_legs(body_, pelvis, at, out, why)) {
        report_.error(when(at, route_.steps) + text_of(" at %.3f s cannot be made: ", t) + why);
        return false;
      }
      body_.set_posture(out, pelvis);
      com_offset_ = body_.com().head<2>() - pelvis.position.head<2>();
    }
    return true;
  }

 private:
  robot::Data &body_;
  const Command &command_;
  const Route &route_;
  const Standing &standing_;
  const ComPlan &com_;
  Reporter &report_;
  // The centre of mass less the pelvis, world frame, m, as the last
  // posture solved had it; at first the standing robot's (its pelvis at 0).
  Vector2d com_offset_;
};

// The postures of the rows, every `period` s. Lowering and rising go in
// joint space between the zero posture and the walk's first and last
// postures, so that the legs never reach full stretch under the inverse
// kinematics. Empty once an error is reported.
std::vector<Posture> row_postures(LegPlacer &legs, const Timeline &timeline, double period) {
  const std::size_t rows = static_cast<std::size_t>(std::ceil(timeline.total / period - 1e-9)) + 1;
  std::vector<Posture> postures(rows);  // the first and the last stay the zero posture
  Posture lowered{};
  if (!legs.posture(kLowerTime, lowered)) return {};
  std::optional<Posture> raised;  // solved when the rising begins
  for (std::size_t r = 1; r + 1 < rows; ++r) {
    const double t = static_cast<double>(r) * period;
    Posture &out = postures[r];
    if (t <= kLowerTime) {
      const double s = min_jerk(t / kLowerTime);
      for (int i = 0; i < kJointCount; ++i) out[i] = lowered[i] * s;
    } else if (t >= timeline.rise_start) {
      if (!raised) {
        raised.emplace();
        if (!legs.posture(timeline.rise_start, *raised)) return {};
      }
      const double s = 1.0 - min_jerk((t - timeline.rise_start) / kRiseTime);
      for (int i = 0; i < kJointCount; ++i) out[i] = (*raised)[i] * s;
    } else if (!legs.posture(t, out)) {
      return {};
    }
  }
  return postures;
}

// The rows' pulse counts, checked with motion_check's rules: false once
// reported when a row passes a joint's limit.
bool count_rows(const std::vector<Posture> &postures, Walk &walk, Reporter &report) {
  walk.rows.resize(postures.size());
  for (std::size_t r = 0; r < postures.size(); ++r) {
    for (int c = 0; c < kNumberedJoints; ++c) {
      const int i = kColumnOrder[c];
      walk.rows[r][i] = count_of(postures[r][i], i);
      if (within_limits(c + 1, walk.rows[r][i])) continue;
      report.error(text_of("row %zu: ", r + 1) + limit_text(c + 1, walk.rows[r][i]));
      walk.rows.clear();
      return false;
    }
  }
  return true;
}

// The fastest joint from row to row, warned about above the servo speed,
// and a row period motion_player does not play as written.
void warn_about_speed(const Command &command, Walk &walk, Reporter &report) {
  std::size_t at = 0;
  for (std::size_t r = 1; r < walk.rows.size(); ++r) {
    const SpeedExcess excess = speed_excess(column_angles(walk.rows[r - 1]),
                                            column_angles(walk.rows[r]), command.period_ms, 0.0);
    if (excess.column >= 0 && excess.speed > walk.fastest_speed)
      walk.fastest_speed = excess.speed, walk.fastest_column = excess.column, at = r;
  }
  if (walk.fastest_speed > kDefaultMaxSpeed)
    report.warning(text_of(
        "%s moves at %.1f rad/s at row %zu, above %.3f rad/s: the servo lags "
        "behind; a longer --step-time or a shorter --stride keeps it under",
        joint_label(walk.fastest_column).c_str(), walk.fastest_speed, at + 1, kDefaultMaxSpeed));
  const std::string period_text = period_warning(command.period_ms);
  if (!period_text.empty()) report.warning(period_text);
}

}  // namespace

Walk generate(const robot::Model &model, const Command &command, const FindingSink &sink,
              std::vector<PlanSample> *plan) {
  Walk walk;
  walk.period_ms = command.period_ms;
  Reporter report{sink, walk};
  const std::string problem = command_problem(model, command);
  if (!problem.empty()) {
    report.error(problem);
    return walk;
  }
  robot::Data body(model);

  // Where the robot stands, where it steps and when.
  const Standing standing = stand(body);
  const Route route = plan_route(model, command, standing);
  const Footstep &last = route.steps.back();
  const Vector2d final_middle = (last.to.at + last.stance.at) / 2.0;
  walk.forward = final_middle.x() - standing.middle.x();
  walk.left = final_middle.y() - standing.middle.y();
  walk.turned = last.to.yaw;
  walk.walking_time = route.timeline.walk_end - route.timeline.walk_start;

  // The centre of mass's height while walking: the robot lowered, feet apart.
  robot::PelvisPose lowered;
  lowered.position = Eigen::Vector3d(0.0, 0.0, command.height);
  Posture posture{};
  std::string why;
  if (!solve_legs(body, lowered, route.feet(0.0, standing, command.lift), posture, why)) {
    report.error("the walking height " + text_of("%g m", command.height) +
                 " cannot be reached: " + why);
    return walk;
  }
  body.set_posture(posture, lowered);

  // The centre of mass that follows the pressure centre's reference.
  const ComPlan com = plan_com(model, route, standing, body.com().z());
  if (plan != nullptr) write_plan_samples(com, route, standing, command.lift, *plan);

  // The legs under it, row by row, as pulse counts.
  LegPlacer legs(body, command, route, standing, com, report);
  const std::vector<Posture> postures =
      row_postures(legs, route.timeline, command.period_ms / 1000.0);
  if (walk.errors > 0 || !count_rows(postures, walk, report)) return walk;
  walk.duration = static_cast<double>(walk.rows.size() - 1) * (command.period_ms / 1000.0);
  warn_about_speed(command, walk, report);

  // The margin motion_check --balance finds for these rows.
  BalanceCheck check(model, kDefaultMaxSpeed);
  const BalanceSummary held = check.run(
      command.period_ms, walk.rows, [](const Finding &) {}, nullptr);
  walk.min_margin = held.smallest_margin / 1000.0;
  return walk;
}

std::string summary_line(const Walk &walk, int steps) {
  const double distance = std::hypot(walk.forward, walk.left);
  const double speed = walk.walking_time > 0.0 ? distance / walk.walking_time : 0.0;
  std::string fastest = "no joint moves";
  if (walk.fastest_column >= 0)
    fastest = text_of("fastest %s at %.2f rad/s", joint_label(walk.fastest_column).c_str(),
                      walk.fastest_speed);
  const std::string margin =
      walk.min_margin >= 0.0
          ? text_of("%.1f mm inside the support at least", walk.min_margin * 1000.0)
          : text_of("%.1f mm outside the support at worst", -walk.min_margin * 1000.0);
  return text_of(
      "%d steps, %.3f m forward and %.3f m to the left, turning %.3f rad, in %.2f s "
      "(%zu rows); %.3f m/s walking; pressure centre %s; %s",
      steps, walk.forward, walk.left, walk.turned, walk.duration, walk.rows.size(), speed,
      margin.c_str(), fastest.c_str());
}

bool write_plan(std::FILE *out, const std::vector<PlanSample> &plan) {
  if (std::fputs("t,com_x,com_y,cop_x,cop_y,ref_x,ref_y,left_x,left_y,left_z,left_yaw,left_down,"
                 "right_x,right_y,right_z,right_yaw,right_down\n",
                 out) == EOF)
    return false;
  for (const PlanSample &s : plan)
    if (std::fprintf(
            out,
            "%.3f,%.5f,%.5f,%.5f,%.5f,%.5f,%.5f,%.5f,%.5f,%.5f,%.5f,%d,%.5f,%.5f,%.5f,%.5f,%d\n",
            s.t, s.com.x(), s.com.y(), s.zmp.x(), s.zmp.y(), s.zmp_ref.x(), s.zmp_ref.y(),
            s.left.at.x(), s.left.at.y(), s.left.at.z(), s.left.yaw, s.left_down ? 1 : 0,
            s.right.at.x(), s.right.at.y(), s.right.at.z(), s.right.yaw, s.right_down ? 1 : 0) < 0)
      return false;
  return true;
}

}  // namespace walk

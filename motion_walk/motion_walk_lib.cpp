#include "motion_walk_lib.h"

#include <algorithm>
#include <cmath>

#include "balance.h"
#include "motion_rows.h"

namespace walk {
namespace {

using Eigen::Vector2d;
using robot::kLeft;
using robot::kRight;

// Far beyond any walk, m/s or rad/s.
constexpr double kNoLimit = 1e3;

// Engine steps per row, so that the engine steps at most 10 ms, as the
// walker does.
int engine_steps_per_row(int period_ms) {
  return std::max(1, (period_ms + 9) / 10);
}

// The hip yaws' smallest stop, rad: how far both hips turn both ways.
double hip_yaw_range(const robot::Model &model) {
  double range = INFINITY;
  for (robot::Side side : {kLeft, kRight}) {
    const robot::JointRange stops = model.joint_range(robot::kLegJoints[side][0]);
    range = std::min({range, std::fabs(stops.low), std::fabs(stops.high)});
  }
  return range;
}

const char *foot_name(robot::Side side) {
  return side == kLeft ? "left" : "right";
}

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

// The rows' pulse counts, checked with motion_check's rules: false once
// reported when a row passes a joint's limit. No count moves faster than
// the servo speed from row to row: the engine holds its postures to it,
// and the counts' rounding must not undo that.
bool count_rows(const std::vector<Posture> &postures, int period_ms, Walk &walk, Reporter &report) {
  walk.rows.resize(postures.size());
  for (std::size_t r = 0; r < postures.size(); ++r) {
    for (int c = 0; c < kNumberedJoints; ++c) {
      const int i = kColumnOrder[c];
      walk.rows[r][i] = count_of(postures[r][i], i);
      if (r > 0) {
        const int most = static_cast<int>(std::floor(kDefaultMaxSpeed * period_ms / 1000.0 /
                                                     pulse2rad(1, i) * (pulse[i] < 0 ? -1 : 1)));
        const int before = walk.rows[r - 1][i];
        walk.rows[r][i] = std::clamp(walk.rows[r][i], before - most, before + most);
      }
      if (within_limits(c + 1, walk.rows[r][i])) continue;
      report.error(text_of("row %zu: ", r + 1) + limit_text(c + 1, walk.rows[r][i]));
      walk.rows.clear();
      return false;
    }
  }
  return true;
}

// The column of JointIndex i in a row, -1 for none.
int column_of(int i) {
  for (int c = 0; c < kNumberedJoints; ++c)
    if (kColumnOrder[c] == i) return c;
  return -1;
}

// The fastest joint from row to row, for the summary; a plan that asked a
// joint for more than the servo speed (the rows hold it to it, so the leg
// lags the plan), and a row period motion_player does not play as
// written, warned about.
void warn_about_speed(const Command &command, const gait::Status &status, Walk &walk,
                      Reporter &report) {
  for (std::size_t r = 1; r < walk.rows.size(); ++r) {
    const SpeedExcess excess = speed_excess(column_angles(walk.rows[r - 1]),
                                            column_angles(walk.rows[r]), command.period_ms, 0.0);
    if (excess.column >= 0 && excess.speed > walk.fastest_speed)
      walk.fastest_speed = excess.speed, walk.fastest_column = excess.column;
  }
  const int column = column_of(status.fastest_joint);
  if (status.speed_held > 0 && column >= 0)
    report.warning(text_of(
        "the plan asks %s for %.2f rad/s, above %.3f rad/s, and the rows hold it to the servo "
        "speed: the leg lags the plan; a longer --step-time, a shorter --stride or a lower "
        "--lift keeps it under",
        joint_label(column).c_str(), status.fastest, kDefaultMaxSpeed));
  const std::string period_text = period_warning(command.period_ms);
  if (!period_text.empty()) report.warning(period_text);
}

// The step a fault came in, for its message.
std::string when(const gait::Fault &fault, int steps) {
  if (fault.step == 0) return "standing at the walking height";
  if (fault.step > steps)
    return text_of("the last step, the %s foot coming beside the other", foot_name(fault.side));
  return text_of("step %ld (the %s foot)", fault.step, foot_name(fault.side));
}

// The middle of the feet and their mean heading.
Vector2d middle(const std::array<gait::Foot, 2> &feet) {
  return (feet[kLeft].at.head<2>() + feet[kRight].at.head<2>()) / 2.0;
}

}  // namespace

std::string beyond_envelope(const Command &c) {
  const Envelope &e = kTested;
  if (c.step_time < e.step_time_low || c.step_time > e.step_time_high)
    return text_of("a step time of %g s, outside %g to %g s", c.step_time, e.step_time_low,
                   e.step_time_high);
  if (c.lift < e.lift_low || c.lift > e.lift_high)
    return text_of("a lift of %g m, outside %g to %g m", c.lift, e.lift_low, e.lift_high);
  if (c.height < e.height_low || c.height > e.height_high)
    return text_of("a walking height of %g m, outside %g to %g m", c.height, e.height_low,
                   e.height_high);
  if (std::fabs(c.stride) > e.stride)
    return text_of("a stride of %g m, beyond %g m", c.stride, e.stride);
  if (c.step_time > e.rocking_low && c.step_time < e.rocking_high &&
      std::fabs(c.stride) > e.rocking_stride)
    return text_of("a stride of %g m at %g s a step, beyond %g m for steps of %g to %g s", c.stride,
                   c.step_time, e.rocking_stride, e.rocking_low, e.rocking_high);
  if (std::fabs(c.side) > e.side)
    return text_of("a side step of %g m, beyond %g m", c.side, e.side);
  if (std::fabs(c.turn) > e.turn) return text_of("a turn of %g rad, beyond %g rad", c.turn, e.turn);
  return {};
}

gait::Settings engine_settings(const Command &command) {
  gait::Settings s;
  s.period = command.period_ms / 1000.0 / engine_steps_per_row(command.period_ms);
  s.step_time = command.step_time;
  s.lift = command.lift;
  s.slow_lift = command.lift;
  s.height = command.height;
  s.lower_time = kLowerTime;
  // motion_player commands a row every 50 ms: a weight shift of a tenth of
  // a step would fall within one row, or none.
  s.double_support = kDoubleSupportShare;
  // The steps as asked, each the whole stride from the first.
  s.ramp = false;
  s.measure_limits = false;
  // No step counts as near the servos' limits: each lifts and lands in
  // place over the engine's whole edge, and the fastest warn.
  s.most = gait::Limits{kNoLimit, kNoLimit, kNoLimit, kNoLimit, 0.0, 0.0, 0.0};
  return s;
}

std::string command_problem(const robot::Model &model, const Command &c) {
  if (c.steps < 1 || c.steps > kMaxSteps)
    return text_of("--steps takes a whole number of steps, 1 to %d", kMaxSteps);
  if (!(c.lift >= 0.0)) return "--lift takes a height in m, 0 or more";
  const gait::Settings settings = engine_settings(c);
  const double swing = c.step_time * (1.0 - settings.double_support);
  if (!(swing >= gait::kMinSwingTime))
    return text_of("a step time of %g s leaves %.3f s to lift a foot, less than %.3f s",
                   c.step_time, swing, gait::kMinSwingTime);
  const double hip_yaw = hip_yaw_range(model);
  if (!(std::fabs(c.turn) <= hip_yaw))
    return text_of("a turn of %g rad per step is beyond the hip yaw's range, %.6f rad", c.turn,
                   hip_yaw);
  if (!(c.height > 0.0)) return "--height takes the pelvis's height in m, above 0";
  if (c.period_ms < 1 || c.period_ms > kMaxPeriodMs)
    return text_of("--period takes a whole number of ms, 1 to %d", kMaxPeriodMs);
  // Lowering, the first shift, the steps, the last one, settling, rising.
  const double total = kLowerTime + std::max(settings.first_shift, c.step_time) +
                       (c.steps + 1.0) * c.step_time + std::max(settings.settle, c.step_time) +
                       kSettleTime + kRiseTime;
  const double limit = kMaxMotionMs / 1000.0;
  if (!(total <= limit))
    return text_of("the walk would last %.1f s, more than %.0f s", std::ceil(total * 10.0) / 10.0,
                   limit);
  return {};
}

Walk generate(const robot::Model &model, const Command &command, const FindingSink &sink,
              std::vector<PlanSample> *plan) {
  Walk walk;
  walk.period_ms = command.period_ms;
  Reporter report{sink, walk};
  if (const std::string problem = command_problem(model, command); !problem.empty()) {
    report.error(problem);
    return walk;
  }
  const gait::Settings settings = engine_settings(command);
  if (const std::string problem = gait::Engine::settings_problem(model, settings);
      !problem.empty()) {
    report.error(problem);
    return walk;
  }
  gait::Engine engine(model, settings);
  const gait::Sensors none = gait::Sensors::none();

  // The robot stands in the zero posture: row 0. The engine bends it to
  // the walking height and walks the steps as soon as it stands.
  std::vector<Posture> postures(1, Posture{});
  engine.start(Posture{});
  const double t = command.step_time;
  engine.walk(gait::Velocity{command.stride / t, command.side / t, command.turn / t},
              command.steps);
  const int per_row = engine_steps_per_row(command.period_ms);
  const Vector2d start = middle(engine.status().feet);
  double first_shift = -1.0, last_landing = 0.0, standing_since = -1.0;
  long landed = 0;
  bool walked = false;
  // Longer than any walk command_problem lets through: the engine stands
  // again well before.
  const double give_up = kMaxMotionMs / 1000.0 + 60.0;
  for (long k = 1;; ++k) {
    const Posture &posture = engine.step(none);
    const gait::Status &st = engine.status();
    if (st.time > give_up) {
      report.error("the walk does not come to a stand");
      return walk;
    }
    if (st.fault.any) {
      report.error(when(st.fault, command.steps) +
                   text_of(" at %.3f s cannot be made: ", st.fault.time) +
                   robot::describe(st.fault.why));
      return walk;
    }
    if (plan != nullptr)
      plan->push_back(
          PlanSample{st.time, st.com, st.zmp, st.zmp_ref, st.feet[kLeft], st.feet[kRight]});
    if (first_shift < 0.0 && st.steps_begun > 0) first_shift = st.time - settings.period;
    if (st.steps_landed > landed) landed = st.steps_landed, last_landing = st.time;
    walked |= st.phase == gait::Phase::kWalking;
    if (k % per_row == 0) postures.push_back(posture);
    if (walked && st.phase == gait::Phase::kStanding) {
      if (standing_since < 0.0) standing_since = st.time;
      if (st.time >= standing_since + kSettleTime && k % per_row == 0) break;
    }
  }
  const gait::Status &end = engine.status();
  const Vector2d went = middle(end.feet) - start;
  walk.forward = went.x();
  walk.left = went.y();
  walk.turned = (end.feet[kLeft].yaw + end.feet[kRight].yaw) / 2.0;
  walk.walking_time = last_landing - first_shift;

  // Rising back to the zero posture in joint space, so that the inverse
  // kinematics never meets a straight knee.
  const Posture last = postures.back();
  const double period = command.period_ms / 1000.0;
  const int rise_rows = static_cast<int>(std::ceil(kRiseTime / period - 1e-9));
  for (int r = 1; r <= rise_rows; ++r) {
    const double s = 1.0 - min_jerk(static_cast<double>(r) / rise_rows);
    Posture p{};
    for (int i = 0; i < kJointCount; ++i) p[i] = last[i] * s;
    postures.push_back(p);
  }
  if (!count_rows(postures, command.period_ms, walk, report)) return walk;
  walk.duration = static_cast<double>(walk.rows.size() - 1) * period;
  warn_about_speed(command, engine.status(), walk, report);
  if (const std::string beyond = beyond_envelope(command); !beyond.empty())
    report.warning(beyond + text_of(", is beyond the walks held in the physics world: it may fall "
                                    "or go elsewhere than the summary says (docs/walking.md)"));

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
            s.left.at.x(), s.left.at.y(), s.left.at.z(), s.left.yaw, s.left.down ? 1 : 0,
            s.right.at.x(), s.right.at.y(), s.right.at.z(), s.right.yaw, s.right.down ? 1 : 0) < 0)
      return false;
  return true;
}

}  // namespace walk

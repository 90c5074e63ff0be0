#include "gait.h"

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <optional>

#include "feedback.h"
#include "footsteps.h"
#include "preview.h"
#include "servo_lag.h"

namespace gait {

using Eigen::Vector2d;
using Eigen::Vector3d;
using robot::kLeft;
using robot::kRight;
using robot::Side;

Velocity clamp(const Velocity &command, const Limits &limits, Clamped *clamped) {
  auto finite = [](double v) { return std::isfinite(v) ? v : 0.0; };
  Velocity v{finite(command.forward), finite(command.left), finite(command.turn)};
  v.forward = std::clamp(v.forward, -limits.backward, limits.forward);
  v.left = std::clamp(v.left, -limits.sideways, limits.sideways);
  v.turn = std::clamp(v.turn, -limits.turn, limits.turn);
  // Together: each axis's share of its limit, adding to 1 at most.
  auto share = [](double value, double limit) {
    return limit > 0.0 ? std::fabs(value) / limit : 0.0;
  };
  const double forward_limit = v.forward >= 0.0 ? limits.forward : limits.backward;
  const double total =
      share(v.forward, forward_limit) + share(v.left, limits.sideways) + share(v.turn, limits.turn);
  if (total > 1.0) {
    v.forward /= total;
    v.left /= total;
    v.turn /= total;
  }
  if (clamped != nullptr) {
    clamped->forward = v.forward != command.forward;
    clamped->left = v.left != command.left;
    clamped->turn = v.turn != command.turn;
  }
  return v;
}

Sensors Sensors::none() {
  Sensors s;
  s.roll_pitch_yaw.setConstant(NAN);
  s.gyro.setConstant(NAN);
  s.accelerometer.setConstant(NAN);
  s.touch = {NAN, NAN};
  s.joints.fill(NAN);
  return s;
}

namespace {

// A change of command reaches the first step that begins at least this
// long after it, s. The preview control shapes the centre of mass from the
// pressure centre's reference ahead; a reference changed within the next
// tenth of a second throws the planned pressure centre off the sole (a
// stop from a turn, taken at the very next step, put it 59 mm beyond the
// sole's edge; with this notice, 1 mm).
constexpr double kNotice = 0.1;
// The first step of a walk from standing begins this long after the walk
// is asked for, s, so that the preview sees the first shift of the weight
// coming: begun at once, the planned pressure centre first swung out to
// 77 mm on the far side (the sole's outer edge is at 81 mm); 0.2 s later,
// it stays within the sway, 35 mm.
constexpr double kStartNotice = 0.2;

// One step of the plan: the `swing` foot goes from `from` to `to` while the
// other stands at `stance`. Its double support runs from `begin` to
// `lift` (the weight shifts onto the stance foot), its single support from
// `lift` to `land`, when the next step begins.
struct Step {
  Side swing = kLeft;
  Place from, to, stance;
  Place frame;                                 // the walking frame once it has landed
  double begin = 0.0, lift = 0.0, land = 0.0;  // s
  Velocity velocity;
  double edge = 0.0;   // share of the swing at each end the foot lifts and lands in place
  double rise = 0.0;   // m the foot rises
  bool first = false;  // the first of a walk: its shift starts from the middle
  bool last = false;   // the last of a walk: the weight goes back to the middle after it
  bool begun = false;
  Place planned;  // `to` as the plan made it, before the capture point moved it
};

// The robot standing straight in the zero posture, its pelvis at the
// origin: where the soles are, and whether it stands on both.
struct ZeroStance {
  std::array<Place, 2> sole;
  double floor = 0.0;       // the soles' height, m
  double unevenness = 0.0;  // how far the soles are apart in height, m
  double tilt = 0.0;        // how far a sole is from flat, rad
};

ZeroStance zero_stance(robot::Data &body) {
  robot::PelvisPose pelvis;
  pelvis.position = Vector3d(0.0, 0.0, body.model().standing_height());
  body.set_posture(Posture{}, pelvis);
  ZeroStance z;
  double heights[2];
  for (Side side : {kLeft, kRight}) {
    const robot::SolePose sole = body.sole(side);
    z.sole[side] = Place{sole.position.head<2>(), sole.yaw};
    heights[side] = sole.position.z();
    z.tilt = std::max(z.tilt, std::acos(std::clamp(body.sole_rotation(side)(2, 2), -1.0, 1.0)));
  }
  z.floor = std::min(heights[0], heights[1]);
  z.unevenness = std::fabs(heights[0] - heights[1]);
  return z;
}

[[maybe_unused]] double hip_yaw_range(const robot::Model &model) {
  double range = INFINITY;
  for (Side side : {kLeft, kRight}) {
    const robot::JointRange stops = model.joint_range(robot::kLegJoints[side][0]);
    range = std::min({range, std::fabs(stops.low), std::fabs(stops.high)});
  }
  return range;
}

double wrap_angle(double a) {
  return std::remainder(a, 2.0 * std::numbers::pi);
}

}  // namespace

struct Engine::Impl {
  Impl(const robot::Model &m, const Settings &s);

  const robot::Model &model;
  const Settings settings;
  robot::Data body;
  FeetShape shape;
  ZeroStance zero;
  double com_height = 0.0;  // the pendulum's height, m
  std::optional<PreviewGains> gains;
  Limits limits;        // what the engine walks: the servos' limits within `most`
  Limits speed_limits;  // what the servos follow, measured; `most` when not measured

  // --- Where the robot is ---------------------------------------------------
  std::int64_t ticks = 0;
  double time() const { return static_cast<double>(ticks) * settings.period; }
  Phase phase = Phase::kIdle;
  bool frozen = false;
  Posture lower_from{}, ready{};  // the lowering, in joint space
  Posture ready_command{};        // `ready` with its sag: the lowering's end
  robot::PelvisPose ready_pelvis;
  double lower_time = 0.0;
  std::array<Place, 2> feet;           // where each foot stands (or last landed)
  Vector2d centre = Vector2d::Zero();  // the pressure centre's reference standing
  // After the last step of a walk: the weight goes from `settle_from` to
  // `centre` between `settle_begin` and `settle_begin + settle`.
  Vector2d settle_from = Vector2d::Zero();
  double settle_begin = -INFINITY;
  double settle_time = 0.0;
  Vector2d start_centre = Vector2d::Zero();  // where the first shift of a walk starts

  // --- The plan -------------------------------------------------------------
  std::vector<Step> plan;  // steps not yet landed, in order; capacity set once
  Place frame;             // the walking frame after the plan's last step
  Velocity target;         // the velocity asked for
  bool walking = false;    // steps are asked for
  bool stopping = false;   // the plan ends with its last step
  long steps_left = 0;     // steps still to plan, 0 for no end
  bool replan = false;     // the command changed: the steps not begun go

  // --- The centre of mass -----------------------------------------------------
  PreviewGains::Axis axis_x, axis_y;
  std::vector<double> ref_x, ref_y;        // the reference over the preview window
  Vector2d com_offset = Vector2d::Zero();  // whole robot's centre of mass less the pelvis, m

  // --- The output -------------------------------------------------------------
  Posture out{};
  Posture solved{};
  Posture sag{};         // rad added to each joint for its servo's sag under the planned load
  Posture wanted{};      // the last posture asked of the servos, before the speed hold
  double fastest = 0.0;  // rad/s, the fastest change of `wanted` since it was reset
  Status status;
  Sensors sensors = Sensors::none();

  // --- Feedback (kFeedback) -----------------------------------------------------
  bool feedback = settings.feedback;      // the loop may close
  bool closed = false;                    // the layers act this period
  Vector2d tilt = Vector2d::Zero();       // the torso's pitch and roll, rad
  Vector2d tilt_rate = Vector2d::Zero();  // their rates, filtered, rad/s
  Vector2d tilt_fix = Vector2d::Zero();   // pelvis pitch and roll commanded, rad
  Vector2d sway_fix = Vector2d::Zero();   // pelvis moved against the sway, m
  ServoLag servo_lag{settings.period, kFeedback.lag_memory};
  LagRow working = std::end(kLagSchedule)[-1];  // this period's gains, by the lag and the noise
  // The inertial unit's noise (read_noise): its angles' step against the
  // gyro's, squared and faded, and its root, rad.
  bool angles_read = false;
  Vector2d last_tilt = Vector2d::Zero();
  double noise_keep = 0.0;
  double noise_square = 0.0;
  double angle_noise = 0.0;
  Vector2d com_error = Vector2d::Zero();    // measured less planned centre of mass, m
  Vector2d error_speed = Vector2d::Zero();  // its rate, filtered, m/s
  int error_side = -1;                      // the sole it was measured against, -1 none
  double heading_asked = 0.0;               // rad, the turns asked for, summed
  double heading_fix = 0.0;                 // rad/s added to the steps' turn
  double heading_sum = 0.0;                 // rad·s, the heading error summed walking
  double held = 0.0;                        // s the step under way was held for its landing
  bool catching = false;                    // stepping to catch a push from standing
  long catch_landed = 0;                    // steps landed when the catch began
  double reach = 0.0;                       // m, how far a foot lands from the other at most
  double omega = 0.0;                       // 1/s, the pendulum's sqrt(g / z)
  double keep = 0.0;                        // share of a filtered rate kept each period

  // The steps of one period, in order.
  void sense(const Sensors &s);
  void read_noise(const Sensors &s);
  void estimate_com();
  void time_landing();
  void capture();
  void replan_after(std::size_t k);
  void landed();
  void shift_plan(double by, bool hold_front);
  void take_command();
  void advance_clock();
  void extend_plan();
  void advance_com();
  void place_feet_and_pelvis(std::array<Foot, 2> &at, robot::PelvisPose &pelvis) const;
  void solve_legs(const std::array<Foot, 2> &at, const robot::PelvisPose &pelvis);
  void finish_posture(const std::array<Foot, 2> &at, const robot::PelvisPose &pelvis);

  // Parts of them.
  Vector2d reference(double t, std::size_t &from) const;
  void fill_reference();
  Step first_step() const;
  Step next_step(const Step &previous) const;
  Step closing_step(const Step &last) const;
  void append(Step step);
  Velocity ramp(const Velocity &from) const;
  // The largest of the velocity's shares of the limits, 0 to 1.
  double limit_share(const Velocity &v) const;
  void add_sag(const std::array<Foot, 2> &at);
  void update_phase();
  const Posture &step(const Sensors &sensors);
  // Standing ready at once, as after the lowering.
  void stand_ready();
  // The fastest joint, rad/s, starting from standing to walk at
  // `velocity`, walking, and stopping; infinity when a leg cannot reach.
  // `stop_share` of a step into the walk's fifth step at speed, it stops.
  double walk_speed(const Velocity &velocity, double stop_share);
  static Limits measure_limits(const robot::Model &model, const Settings &settings);
  double swing_time() const { return settings.step_time * (1.0 - settings.double_support); }
  double shift_time() const { return settings.step_time * settings.double_support; }
  robot::PelvisPose ready_pose(const std::array<Place, 2> &soles, Posture &posture);
};

Engine::Impl::Impl(const robot::Model &m, const Settings &s)
    : model(m), settings(s), body(m), zero(zero_stance(body)) {
  shape.width = (zero.sole[kLeft].at - zero.sole[kRight].at).norm();
  shape.sole = m.sole_size(kLeft);
  feet = zero.sole;
  ready_pelvis = ready_pose(feet, ready);
  // The pendulum's height: the centre of mass standing ready.
  body.set_posture(ready, ready_pelvis);
  com_height = body.com().z() - zero.floor;
  gains.emplace(com_height, m.g(), s.period,
                std::max(1, static_cast<int>(std::lround(s.preview / s.period))));
  settle_time = std::max(s.settle, s.step_time * s.double_support);
  omega = std::sqrt(m.g() / com_height);
  keep = std::exp(-2.0 * std::numbers::pi * kFeedback.rate_filter * s.period);
  noise_keep = std::exp(-s.period / kFeedback.noise_memory);
  // A foot lands at most this far from the other: each leg reaching out
  // from under the pelvis at the walking height, with a fifth to spare.
  const double leg = m.standing_height() - zero.floor;
  const double pelvis_height = s.height;
  reach = 2.0 * 0.8 * std::sqrt(std::max(0.0, leg * leg - pelvis_height * pelvis_height));
  centre = (feet[kLeft].at + feet[kRight].at) / 2.0;
  // Steps enough to cover the preview window and the step under way.
  const std::size_t capacity = static_cast<std::size_t>(std::ceil(
                                   (s.preview + 2.0 * s.step_time + s.first_shift) / s.step_time)) +
                               4;
  plan.reserve(capacity);
  ref_x.assign(static_cast<std::size_t>(gains->preview()) + 1, 0.0);
  ref_y = ref_x;
  axis_x = gains->rest(centre.x());
  axis_y = gains->rest(centre.y());
  // What the servos are told standing ready: the posture and its sag.
  ready_command = ready;
  if (s.sag) {
    status.zmp = centre;
    body.set_posture(ready, ready_pelvis);
    std::array<Foot, 2> at;
    for (Side side : {kLeft, kRight})
      at[side] = Foot{Vector3d(feet[side].at.x(), feet[side].at.y(), 0.0), feet[side].yaw, true};
    add_sag(at);
    for (int i = 0; i < kJointCount; ++i) ready_command[i] += sag[i];
  }
  limits = s.most;
  speed_limits = s.most;
  status.feet[kLeft] = Foot{Vector3d(feet[kLeft].at.x(), feet[kLeft].at.y(), 0.0), feet[kLeft].yaw};
  status.feet[kRight] =
      Foot{Vector3d(feet[kRight].at.x(), feet[kRight].at.y(), 0.0), feet[kRight].yaw};
}

// The posture standing on `soles` at the walking height, the whole robot's
// centre of mass over the middle of the soles; its pelvis.
robot::PelvisPose Engine::Impl::ready_pose(const std::array<Place, 2> &soles, Posture &posture) {
  const Vector2d middle = (soles[kLeft].at + soles[kRight].at) / 2.0;
  robot::PelvisPose pelvis;
  pelvis.yaw = (soles[kLeft].yaw + soles[kRight].yaw) / 2.0;
  pelvis.position = Vector3d(middle.x(), middle.y(), zero.floor + settings.height);
  posture.fill(0.0);
  for (int pass = 0; pass < 4; ++pass) {
    for (Side side : {kLeft, kRight}) {
      robot::SolePose sole;
      sole.position = Vector3d(soles[side].at.x(), soles[side].at.y(), zero.floor);
      sole.yaw = soles[side].yaw;
      robot::LegAngles angles;
      robot::LegFailure why;
      if (!body.solve_leg(side, pelvis, sole, &angles, &why)) return pelvis;
      for (int j = 0; j < 6; ++j) posture[robot::kLegJoints[side][j]] = angles[j];
    }
    body.set_posture(posture, pelvis);
    com_offset = body.com().head<2>() - pelvis.position.head<2>();
    pelvis.position.head<2>() = middle - com_offset;
  }
  return pelvis;
}

// --- The period -------------------------------------------------------------

namespace {

// `v` with its part along the heading `yaw` times `gains.x()`, and its
// part across it times `gains.y()`.
Vector2d along_heading(const Vector2d &v, const Vector2d &gains, double yaw) {
  const Eigen::Rotation2Dd turn(yaw);
  return turn * (gains.cwiseProduct(turn.inverse() * v));
}

// The row of kLagSchedule for servos that answer `lag` s late,
// interpolated; its last row beyond it.
LagRow lag_row(double lag) {
  const auto &rows = kLagSchedule;
  if (lag <= rows[0].lag) return rows[0];
  for (std::size_t i = 1; i < std::size(rows); ++i) {
    if (lag > rows[i].lag) continue;
    const LagRow &a = rows[i - 1], &b = rows[i];
    const double s = (lag - a.lag) / (b.lag - a.lag);
    auto mix = [s](double x, double y) { return x + s * (y - x); };
    return LagRow{lag, mix(a.sway_forward, b.sway_forward), mix(a.sway_side, b.sway_side),
                  mix(a.capture_forward, b.capture_forward), mix(a.until_forward, b.until_forward)};
  }
  return std::end(rows)[-1];
}

}  // namespace

void Engine::Impl::sense(const Sensors &s) {
  sensors = s;
  // The servos' lag is read from every period that sent them a command.
  if (phase != Phase::kIdle) {
    servo_lag.add(out, s.joints);
    status.servo_lag = servo_lag.lag();
  }
  closed = feedback && s.roll_pitch_yaw.allFinite() && s.gyro.allFinite() &&
           phase != Phase::kIdle && phase != Phase::kLowering && !frozen;
  status.closed_loop = closed;
  if (!closed) {
    tilt_fix.setZero();
    sway_fix.setZero();
    status.sway_fix.setZero();
    heading_fix = 0.0;
    error_side = -1;
    angles_read = false;
    return;
  }
  tilt = Vector2d(s.roll_pitch_yaw.y(), s.roll_pitch_yaw.x());
  read_noise(s);
  working = servo_lag.known() && angle_noise < kFeedback.quiet_angles ? lag_row(servo_lag.lag())
                                                                      : std::end(kLagSchedule)[-1];
  tilt_rate = keep * tilt_rate + (1.0 - keep) * Vector2d(s.gyro.y(), s.gyro.x());
  // Posture: the pelvis leans against the torso's tilt and its rate.
  const Vector2d fix = -(kFeedback.tilt_angle * tilt + kFeedback.tilt_rate * tilt_rate);
  tilt_fix = fix.cwiseMax(-kFeedback.tilt_most).cwiseMin(kFeedback.tilt_most);
  status.tilt_fix = tilt_fix;
  // Heading: what was asked, against what the inertial unit reads.
  heading_asked += status.velocity.turn * settings.period;
  status.heading_error = wrap_angle(heading_asked - s.roll_pitch_yaw.z());
  // A turn the robot makes by itself (a hip's zero off) is met in full by
  // the integral; it is held within what the correction may add.
  if (phase == Phase::kWalking) {
    heading_sum += status.heading_error * settings.period;
    const double most = kFeedback.heading_most / std::max(kFeedback.heading_sum, 1e-9);
    heading_sum = std::clamp(heading_sum, -most, most);
  }
  heading_fix =
      std::clamp(kFeedback.heading * status.heading_error + kFeedback.heading_sum * heading_sum,
                 -kFeedback.heading_most, kFeedback.heading_most);
  estimate_com();
  // Sway: the pelvis moves against the centre of mass's speed off the plan.
  sway_fix = (-along_heading(error_speed, Vector2d(working.sway_forward, working.sway_side),
                             status.pelvis.yaw))
                 .cwiseMax(-kFeedback.com_most)
                 .cwiseMin(kFeedback.com_most);
  status.sway_fix = sway_fix;
}

// How noisy the inertial unit's angles read: their step from the last
// period's against the gyro's rates, RMS, faded over noise_memory.
void Engine::Impl::read_noise(const Sensors &s) {
  const Vector2d rates(s.gyro.y(), s.gyro.x());
  if (angles_read) {
    const Vector2d step = tilt - last_tilt - settings.period * rates;
    noise_square = noise_keep * noise_square + (1.0 - noise_keep) * step.squaredNorm() / 2.0;
    angle_noise = std::sqrt(noise_square);
  }
  last_tilt = tilt;
  angles_read = true;
}

// The centre of mass against the stance sole, as the servos' read-back and
// the inertial unit's tilt put it, less the plan's: the error the capture
// step answers. In double support the sole carrying more is the stance.
void Engine::Impl::estimate_com() {
  Side stance = kLeft;
  const double now = time();
  if (!plan.empty() && now >= plan.front().lift)
    stance = other(plan.front().swing);
  else if (std::isfinite(sensors.touch[kLeft]) && std::isfinite(sensors.touch[kRight]))
    stance = sensors.touch[kLeft] >= sensors.touch[kRight] ? kLeft : kRight;
  Posture measured = out;
  for (int i = 0; i < kJointCount; ++i)
    if (std::isfinite(sensors.joints[i])) measured[i] = sensors.joints[i];
  robot::PelvisPose pelvis;
  pelvis.yaw = status.pelvis.yaw;
  // The inertial unit is in the torso, above the waist's pitch.
  pelvis.pitch = sensors.roll_pitch_yaw.y() - measured[0];
  pelvis.roll = sensors.roll_pitch_yaw.x();
  body.set_posture(measured, pelvis);
  const Vector2d seen = body.com().head<2>() - body.sole(stance).position.head<2>();
  const Vector2d planned = status.com - status.feet[stance].at.head<2>();
  const Vector2d error = seen - planned;
  if (error_side == stance) {
    error_speed = keep * error_speed + (1.0 - keep) * (error - com_error) / settings.period;
  } else {
    error_speed.setZero();
  }
  error_side = stance;
  com_error = error;
  status.capture_error = com_error + error_speed / omega;
}

// Every step from the front on moves `by` s later (earlier when negative);
// with `hold_front`, the step under way is held where it is (its lift and
// landing both move), else only its landing moves.
void Engine::Impl::shift_plan(double by, bool hold_front) {
  bool front = true;
  for (Step &step : plan) {
    if (!front || hold_front) {
      if (!step.begun) step.begin += by;
      step.lift += by;
    }
    step.land += by;
    front = false;
  }
}

// Timing: the swing sole's force tells the landing.
void Engine::Impl::time_landing() {
  if (!closed || plan.empty() || kFeedback.shift_most <= 0.0) return;
  const Step &step = plan.front();
  const double now = time();
  const double touch = sensors.touch[step.swing];
  if (now < step.lift || !std::isfinite(touch)) return;
  const double weight = model.mass() * model.g();
  const bool landed = touch >= kFeedback.landed_share * weight;
  const double s = (now - step.lift) / (step.land - step.lift);
  if (touch >= kFeedback.early_share * weight && s >= kFeedback.early_after &&
      now + settings.period < step.land) {
    // Early: the step ends sooner, and the plan after it comes sooner,
    // by as much as a late one is held at most (once a step).
    if (held < 0.0) return;
    const double by = std::max(now - step.land, -kFeedback.shift_most);
    shift_plan(by, false);
    ++status.early_landings;
    held = by;
  } else if (!landed && step.land <= now + settings.period && step.land > now && held >= 0.0 &&
             held + settings.period <= kFeedback.shift_most + 1e-9) {
    // Late: the step waits a period for the floor.
    if (held == 0.0) ++status.late_landings;
    held += settings.period;
    shift_plan(settings.period, true);
  }
}

// A step landed, the loop closed: the steps not yet begun, beyond the
// notice the preview needs, are made again, so that the heading's
// correction reaches the next steps; a catch from standing that has
// caught the robot stops.
void Engine::Impl::landed() {
  held = 0.0;
  if (catching && status.steps_landed - catch_landed >= 2 &&
      status.capture_error.norm() < kFeedback.catch_error) {
    catching = false;
    walking = false;
    replan = true;
    return;
  }
  if (!walking || stopping || replan || steps_left > 0) return;
  const double notice = time() + kNotice;
  while (plan.size() > 1 && plan.back().begin > notice) plan.pop_back();
  if (!plan.empty()) frame = plan.back().frame;
}

// The steps after plan[k] go, and are made again from its landing.
void Engine::Impl::replan_after(std::size_t k) {
  while (plan.size() > k + 1) plan.pop_back();
  Step &step = plan[k];
  const double t = settings.step_time;
  if (step.last) {
    step.frame = midway(step.to, step.stance);
  } else {
    step.frame = frame_of(step.to, step.swing, (step.velocity.turn + heading_fix) * t, shape,
                          step.velocity.left * t);
  }
  frame = step.frame;
  if (step.last) {
    stopping = true;
  } else if (!walking) {
    append(closing_step(step));
    stopping = true;
  } else {
    stopping = false;
  }
}

// Stepping: when the capture point leaves what the plan absorbs, the next
// landing that can still move goes by its error, within reach and clear of
// the other foot, and the plan goes on from the new footsteps. The landing
// is made again each period from the plan's own, so an error that passes
// leaves the step as planned. (Taking the measured centre of mass into the
// plan as well was tried: the servos' lag read as an error, and the steps
// ran away.)
void Engine::Impl::capture() {
  if (!closed || error_side < 0) return;
  const Vector2d error = status.capture_error;
  const double now = time();
  // Standing, steps catch the robot sooner where the inertial unit reads
  // quiet: a noisy one's readings throw the error by centimetres.
  const bool standing = phase == Phase::kStanding && plan.empty() && !walking;
  const double catch_error =
      angle_noise < kFeedback.quiet_angles ? kFeedback.catch_error_quiet : kFeedback.catch_error;
  if (standing && error.norm() > catch_error) {
    // Standing: steps catch the robot, and then it stands again.
    catching = true;
    catch_landed = status.steps_landed;
    target = Velocity{};
    walking = true;
    replan = false;
    std::size_t from = 0;
    start_centre = reference(now, from);
    Step first = first_step();
    first.swing = error.y() > 0.0 ? kLeft : kRight;
    first.from = feet[first.swing];
    first.stance = feet[other(first.swing)];
    first.to = first.from;
    first.frame = midway(feet[kLeft], feet[kRight]);
    first.begin = now;
    first.lift = now + shift_time();
    first.land = first.lift + swing_time();
    append(first);
  }
  if (plan.empty()) return;
  const Vector2d beyond =
      error - error.cwiseMax(-kFeedback.capture_deadband).cwiseMin(kFeedback.capture_deadband);
  // The step whose landing can still move, each way: forward for longer
  // into the swing than sideways.
  std::size_t k = 0;
  const Step &front = plan.front();
  const double swung = now >= front.lift ? (now - front.lift) / (front.land - front.lift) : 0.0;
  const bool forward_moves = swung <= working.until_forward;
  const bool side_moves = swung <= kFeedback.capture_until;
  if (!forward_moves && !side_moves) {
    if (plan.size() < 2) return;
    k = 1;
  }
  // What the landing cannot take, within reach and clear of the other
  // foot, the step after it takes.
  const double yaw = status.pelvis.yaw;
  Vector2d wanted =
      along_heading(beyond, Vector2d(working.capture_forward, kFeedback.capture_gain), yaw);
  const Vector2d moves(forward_moves ? 1.0 : 0.0, side_moves ? 1.0 : 0.0);
  for (int pass = 0; pass < 2 && k < plan.size(); ++pass, ++k) {
    Step &step = plan[k];
    Place to = step.planned;
    to.at += wanted;
    // A way the step under way no longer moves keeps its landing.
    if (k == 0) to.at = step.to.at + along_heading(to.at - step.to.at, moves, yaw);
    const Vector2d from_stance = to.at - step.stance.at;
    if (from_stance.norm() > reach)
      to.at = step.stance.at + from_stance * (reach / from_stance.norm());
    to = keep_feet_apart(step.stance, step.swing, to, shape);
    const Vector2d rest = step.planned.at + wanted - to.at;
    if ((to.at - step.to.at).norm() >= 1e-3) {
      if (!beyond.isZero()) ++status.captures;
      step.to = to;
      replan_after(k);
      extend_plan();
    }
    if (rest.norm() < 1e-3 || step.last) break;
    wanted = rest;
  }
}

void Engine::Impl::take_command() {
  if (!replan) return;
  replan = false;
  // The steps not begun go, but for those that begin within the notice
  // the preview control needs; the step under way finishes as planned.
  const double now = time() + kNotice;
  while (!plan.empty() && plan.back().begin > now) plan.pop_back();
  stopping = false;
  if (!plan.empty()) {
    frame = plan.back().frame;
    plan.back().last = false;
    if (!walking) {
      // Stop: the feet come together after the step under way.
      Step &last = plan.back();
      append(closing_step(last));
      stopping = true;
    }
  }
}

void Engine::Impl::advance_clock() {
  ++ticks;
  const double now = time();
  while (!plan.empty() && plan.front().land <= now) {
    const Step &done = plan.front();
    feet[done.swing] = done.to;
    ++status.steps_landed;
    if (done.last) {
      settle_from = stance_zmp(done.stance, other(done.swing));
      settle_begin = done.land;
      centre = (done.to.at + done.stance.at) / 2.0;
      stopping = false;
      walking = false;
    }
    plan.erase(plan.begin());
  }
  for (Step &step : plan) {
    if (step.begun || step.begin > now) break;
    step.begun = true;
    ++status.steps_begun;
  }
}

Velocity Engine::Impl::ramp(const Velocity &from) const {
  if (!settings.ramp) return target;
  auto toward = [](double a, double b, double most) { return a + std::clamp(b - a, -most, most); };
  return Velocity{toward(from.forward, target.forward, limits.forward_change),
                  toward(from.left, target.left, limits.sideways_change),
                  toward(from.turn, target.turn, limits.turn_change)};
}

Step Engine::Impl::first_step() const {
  Step step;
  // The first foot is the one on the side the robot goes.
  step.swing = kLeft;
  if (target.left < 0.0 || (target.left == 0.0 && target.turn < 0.0)) step.swing = kRight;
  step.first = true;
  step.velocity = ramp(Velocity{});
  const Place start = midway(feet[kLeft], feet[kRight]);
  step.from = feet[step.swing];
  step.stance = feet[other(step.swing)];
  const double t = settings.step_time;
  step.frame = advance(start, step.velocity, t);
  const double left = step.velocity.left * t;
  step.to =
      keep_feet_apart(step.stance, step.swing,
                      landing(step.frame, step.swing, step.velocity.turn * t, shape, left), shape);
  step.frame = frame_of(step.to, step.swing, step.velocity.turn * t, shape, left);
  step.begin = time() + kStartNotice;
  step.lift = step.begin + std::max(settings.first_shift, t);
  step.land = step.lift + swing_time();
  return step;
}

Step Engine::Impl::next_step(const Step &previous) const {
  Step step;
  step.swing = other(previous.swing);
  step.velocity = ramp(previous.velocity);
  step.from = previous.stance;
  step.stance = previous.to;
  const double t = settings.step_time;
  // Heading: the steps turn by what the inertial unit says is missing.
  Velocity walked = step.velocity;
  walked.turn += heading_fix;
  step.frame = advance(previous.frame, walked, t);
  const double left = step.velocity.left * t;
  step.to = keep_feet_apart(step.stance, step.swing,
                            landing(step.frame, step.swing, walked.turn * t, shape, left), shape);
  step.frame = frame_of(step.to, step.swing, walked.turn * t, shape, left);
  step.begin = previous.land;
  step.lift = step.begin + shift_time();
  step.land = step.lift + swing_time();
  return step;
}

Step Engine::Impl::closing_step(const Step &last) const {
  Step step;
  step.last = true;
  step.swing = other(last.swing);
  step.from = last.stance;
  step.stance = last.to;
  const double across = step.swing == kLeft ? shape.width : -shape.width;
  step.to = keep_feet_apart(step.stance, step.swing, offset(last.to, Vector2d(0.0, across)), shape);
  step.frame = midway(step.to, step.stance);
  step.begin = last.land;
  step.lift = step.begin + shift_time();
  step.land = step.lift + swing_time();
  return step;
}

double Engine::Impl::limit_share(const Velocity &v) const {
  auto share = [](double value, double limit) {
    return limit > 0.0 ? std::fabs(value) / limit : (value == 0.0 ? 0.0 : INFINITY);
  };
  const Limits &l = speed_limits;
  return std::min(1.0, std::max({share(v.forward, v.forward >= 0.0 ? l.forward : l.backward),
                                 share(v.left, l.sideways), share(v.turn, l.turn)}));
}

void Engine::Impl::append(Step step) {
  if (plan.size() == plan.capacity()) return;  // never grows: the window is covered
  // Slow steps lift and land in place, and lift higher: the servo speed
  // that fast steps need for their travel is theirs to spare.
  // A closing step swings as the step before it did: half its travel,
  // against a pelvis that slows.
  const double share =
      step.last && !plan.empty() ? limit_share(plan.back().velocity) : limit_share(step.velocity);
  step.edge = settings.swing_edge * (1.0 - share);
  step.rise = settings.slow_lift + (settings.lift - settings.slow_lift) * share;
  frame = step.frame;
  step.planned = step.to;
  plan.push_back(step);
}

void Engine::Impl::extend_plan() {
  if (frozen) return;
  const double now = time();
  if (plan.empty() && walking && !stopping && phase != Phase::kLowering) {
    std::size_t from = 0;
    start_centre = reference(now, from);
    append(first_step());
    if (steps_left > 0) --steps_left;
  }
  const double horizon = now + settings.preview + settings.step_time;
  while (!plan.empty() && !stopping && walking && plan.back().land < horizon &&
         plan.size() < plan.capacity()) {
    Step next = next_step(plan.back());
    append(next);
    if (steps_left > 0 && --steps_left == 0) {
      Step &last = plan.back();
      append(closing_step(last));
      stopping = true;
    }
  }
}

// The pressure centre's reference at t; `from` is the first step to look
// at, moved on as t grows.
Vector2d Engine::Impl::reference(double t, std::size_t &from) const {
  for (std::size_t k = from; k < plan.size(); ++k) {
    const Step &step = plan[k];
    const Vector2d before = step.first ? start_centre : stance_zmp(step.from, step.swing);
    const Vector2d on = stance_zmp(step.stance, other(step.swing));
    if (t < step.begin) return before;
    from = k;
    if (t < step.lift)
      return before + (on - before) * ((t - step.begin) / (step.lift - step.begin));
    if (t < step.land) return on;
    if (step.last) {
      const double s = std::min(1.0, (t - step.land) / settle_time);
      const Vector2d middle = (step.to.at + step.stance.at) / 2.0;
      return on + (middle - on) * s;
    }
  }
  if (!plan.empty()) {
    // Beyond a plan that goes on: it is extended before it is needed.
    const Step &step = plan.back();
    return stance_zmp(step.stance, other(step.swing));
  }
  if (t < settle_begin + settle_time)
    return settle_from +
           (centre - settle_from) * std::clamp((t - settle_begin) / settle_time, 0.0, 1.0);
  return centre;
}

void Engine::Impl::fill_reference() {
  // From the previous sample, whose state the control advances.
  const double t0 = time() - settings.period;
  std::size_t from = 0;
  for (std::size_t j = 0; j < ref_x.size(); ++j) {
    const Vector2d r = reference(t0 + static_cast<double>(j) * settings.period, from);
    ref_x[j] = r.x();
    ref_y[j] = r.y();
  }
}

void Engine::Impl::advance_com() {
  fill_reference();

  gains->advance(axis_x, ref_x);
  gains->advance(axis_y, ref_y);
  status.com = Vector2d(axis_x.x(0), axis_y.x(0));
  status.zmp = Vector2d(axis_x.zmp, axis_y.zmp);
  status.zmp_ref = Vector2d(ref_x[1], ref_y[1]);
}

void Engine::Impl::place_feet_and_pelvis(std::array<Foot, 2> &at, robot::PelvisPose &pelvis) const {
  for (Side side : {kLeft, kRight})
    at[side] = Foot{Vector3d(feet[side].at.x(), feet[side].at.y(), 0.0), feet[side].yaw, true};
  const double now = time();
  if (!plan.empty() && now >= plan.front().lift) {
    const Step &step = plan.front();
    at[step.swing] =
        swing_foot(step.from, step.to, step.rise, (now - step.lift) / (step.land - step.lift),
                   step.edge, swing_pivot(step.from, step.to, step.swing, shape));
    // Turning on its way, its sole keeps clear of the other.
    const Place clear = clear_of(step.stance, step.swing,
                                 Place{at[step.swing].at.head<2>(), at[step.swing].yaw}, shape);
    at[step.swing].at.head<2>() = clear.at;
  }
  // The pelvis faces between the feet, at the walking height, over the
  // planned centre of mass, moved against the sway.
  const double between = wrap_angle(at[kRight].yaw - at[kLeft].yaw);
  pelvis.yaw = at[kLeft].yaw + between / 2.0;
  // Posture: leaning against the tilt the inertial unit measures.
  pelvis.pitch = tilt_fix.x();
  pelvis.roll = tilt_fix.y();
  pelvis.position =
      Vector3d(status.com.x() - com_offset.x() + sway_fix.x(),
               status.com.y() - com_offset.y() + sway_fix.y(), zero.floor + settings.height);
}

void Engine::Impl::solve_legs(const std::array<Foot, 2> &at, const robot::PelvisPose &pelvis) {
  for (Side side : {kLeft, kRight}) {
    robot::SolePose sole;
    sole.position = at[side].at + Vector3d(0.0, 0.0, zero.floor);
    sole.yaw = at[side].yaw;
    robot::LegAngles angles;
    robot::LegFailure why;
    if (!body.solve_leg(side, pelvis, sole, &angles, &why)) {
      // The leg keeps its last angles; the first failure is told.
      if (!status.fault.any) {
        status.fault.any = true;
        status.fault.time = time();
        status.fault.step = status.steps_begun;
        status.fault.side = side;
        status.fault.why = why;
      }
      continue;
    }
    for (int j = 0; j < 6; ++j) solved[robot::kLegJoints[side][j]] = angles[j];
  }
}

void Engine::Impl::finish_posture(const std::array<Foot, 2> &at, const robot::PelvisPose &pelvis) {
  // The posture as solved, its centre of mass for the next period's pelvis.
  body.set_posture(solved, pelvis);
  com_offset = body.com().head<2>() - pelvis.position.head<2>();
  Posture next = solved;
  if (settings.sag) {
    add_sag(at);
    for (int i = 0; i < kJointCount; ++i) next[i] = solved[i] + sag[i];
    status.sag = sag;
  }
  // Posture feedback (the stance ankle, the hips) adds to `next` here.
  for (int i = 0; i < kJointCount; ++i) {
    const double speed = std::fabs(next[i] - wanted[i]) / settings.period;
    fastest = std::max(fastest, speed);
    if (speed > status.fastest) {
      status.fastest = speed;
      status.fastest_joint = i;
    }
  }
  wanted = next;
  const double most = settings.servo_speed * settings.period;
  for (int i = 0; i < kJointCount; ++i) {
    const double change = wanted[i] - out[i];
    if (std::fabs(change) > most) {
      out[i] += std::copysign(most, change);
      ++status.speed_held;
    } else {
      out[i] = wanted[i];
    }
  }
}

void Engine::Impl::add_sag(const std::array<Foot, 2> &at) {
  const Vector3d g = model.gravity();
  // The floor's force on the robot: its weight and the planned centre of
  // mass's acceleration; shared between the feet down by where the planned
  // pressure centre lies between them, each acting so that together they
  // act at it.
  const Vector3d total = model.mass() * (Vector3d(axis_x.x(2), axis_y.x(2), 0.0) - g);
  std::array<double, 2> share = {at[kLeft].down ? 1.0 : 0.0, at[kRight].down ? 1.0 : 0.0};
  const Vector2d zmp = status.zmp;
  const std::array<Vector2d, 2> centre_of = {at[kLeft].at.head<2>(), at[kRight].at.head<2>()};
  Vector2d rest = Vector2d::Zero();
  if (share[kLeft] > 0.0 && share[kRight] > 0.0) {
    const Vector2d span = centre_of[kRight] - centre_of[kLeft];
    const double s = std::clamp((zmp - centre_of[kLeft]).dot(span) / span.squaredNorm(), 0.0, 1.0);
    share = {1.0 - s, s};
    rest = zmp - (centre_of[kLeft] + s * span);
  } else if (share[kLeft] > 0.0 || share[kRight] > 0.0) {
    rest = zmp - centre_of[share[kLeft] > 0.0 ? kLeft : kRight];
  }
  std::array<robot::FootLoad, 2> load;
  for (Side side : {kLeft, kRight}) {
    const Vector2d p = centre_of[side] + rest;
    load[side].at = Vector3d(p.x(), p.y(), zero.floor);
    load[side].force = share[side] * total;
  }
  body.servo_give(load, sag);
}

void Engine::Impl::update_phase() {
  const double now = time();
  if (!plan.empty())
    phase = stopping ? Phase::kStopping : Phase::kWalking;
  else if (now < settle_begin + settle_time)
    phase = Phase::kStopping;
  else
    phase = Phase::kStanding;
}

// --- The engine --------------------------------------------------------------

void Engine::Impl::stand_ready() {
  out = ready_command;
  wanted = ready_command;
  solved = ready;
  ticks = 0;
  phase = Phase::kStanding;
}

double Engine::Impl::walk_speed(const Velocity &velocity, double stop_share) {
  stand_ready();
  target = velocity;
  walking = true;
  replan = true;
  // From standing, up to speed within the ramp, four steps at it, and a
  // stop: where the legs travel furthest against the pelvis.
  const Sensors none = Sensors::none();
  long ramp_steps = 1;
  if (settings.ramp) {
    auto steps = [](double v, double change) {
      return change > 0.0 ? static_cast<long>(std::ceil(std::fabs(v) / change)) : 1L;
    };
    ramp_steps = std::max({steps(velocity.forward, limits.forward_change),
                           steps(velocity.left, limits.sideways_change),
                           steps(velocity.turn, limits.turn_change), 1L});
  }
  const double give_up = 10.0 + (ramp_steps + 8) * settings.step_time;
  while (status.steps_begun < ramp_steps + 4 && time() < give_up) step(none);
  const double stop_at = time() + stop_share * settings.step_time;
  while (time() < stop_at) step(none);
  walking = false;
  replan = true;
  while (phase != Phase::kStanding && time() < give_up) step(none);
  return status.fault.any || time() >= give_up ? INFINITY : fastest;
}

Limits Engine::Impl::measure_limits(const robot::Model &model, const Settings &settings) {
  Settings probe_settings = settings;
  probe_settings.measure_limits = false;
  const double allowed = settings.speed_share * settings.servo_speed;
  Limits limits = settings.most;
  // The largest speed on one axis, up to kMostMeasured, that the servos follow.
  auto largest = [&](double most, Velocity unit) {
    auto fits = [&](double speed) {
      const Velocity v{unit.forward * speed, unit.left * speed, unit.turn * speed};
      // A stop at three moments of a step: each meets the legs elsewhere.
      for (const double stop_share : {0.0, 1.0 / 3.0, 2.0 / 3.0}) {
        Impl probe(model, probe_settings);
        // As if `speed` were the limit: steps at it swing all the way,
        // slower ones lift and land in place, as they would.
        probe.speed_limits = Limits{speed, speed, speed, speed};
        probe.limits.forward_change = settings.most.forward_change;
        probe.limits.sideways_change = settings.most.sideways_change;
        probe.limits.turn_change = settings.most.turn_change;
        if (!(probe.walk_speed(v, stop_share) <= allowed)) return false;
      }
      return true;
    };
    if (fits(most)) return most;
    double low = 0.0, high = most;
    for (int k = 0; k < 7; ++k) {
      const double mid = (low + high) / 2.0;
      (fits(mid) ? low : high) = mid;
    }
    return low;
  };
  const Limits &most = settings.most;
  limits.forward = largest(most.forward, Velocity{1.0, 0.0, 0.0});
  limits.backward = largest(most.backward, Velocity{-1.0, 0.0, 0.0});
  limits.sideways = std::min(largest(most.sideways, Velocity{0.0, 1.0, 0.0}),
                             largest(most.sideways, Velocity{0.0, -1.0, 0.0}));
  limits.turn = std::min(largest(most.turn, Velocity{0.0, 0.0, 1.0}),
                         largest(most.turn, Velocity{0.0, 0.0, -1.0}));
  return limits;
}

Engine::Engine(const robot::Model &model, const Settings &settings)
    : impl_(std::make_unique<Impl>(model, settings)) {
  if (!settings.measure_limits) return;
  Impl &im = *impl_;
  im.limits = Impl::measure_limits(model, settings);
  im.speed_limits = im.limits;
}

Engine::~Engine() = default;

std::string Engine::settings_problem(const robot::Model &model, const Settings &s) {
  char text[200];
  if (!(s.period >= 0.001 && s.period <= 0.05)) return "the period must be 1 to 50 ms";
  if (!(s.swing_edge >= 0.0 && s.swing_edge <= 0.4)) return "the swing's edge must be 0 to 40%";
  if (!(s.double_support >= 0.05 && s.double_support <= 0.5))
    return "the double support must be 5% to 50% of a step";
  const double swing = s.step_time * (1.0 - s.double_support);
  if (!(swing >= kMinSwingTime) || !std::isfinite(s.step_time)) {
    std::snprintf(text, sizeof text,
                  "a step time of %g s leaves %.3f s to lift a foot, less than %.3f s", s.step_time,
                  swing, kMinSwingTime);
    return text;
  }
  if (!(s.lift >= 0.0 && s.slow_lift >= 0.0) || !std::isfinite(s.lift + s.slow_lift))
    return "the lift must be a height of 0 m or more";
  if (!(s.preview >= 0.2 && s.preview <= 5.0)) return "the preview must be 0.2 to 5 s";
  if (!(s.servo_speed > 0.0) || !std::isfinite(s.servo_speed))
    return "the servo speed must be above 0";
  if (!(s.speed_share > 0.0 && s.speed_share <= 1.0))
    return "the speed share must be above 0 and at most 1";
  if (!(s.first_shift >= 0.0 && s.settle >= 0.0 && s.lower_time >= 0.0) ||
      !std::isfinite(s.first_shift + s.settle + s.lower_time))
    return "the shift, settle and lowering times must be 0 s or more";
  robot::Data body(model);
  const ZeroStance zero = zero_stance(body);
  if (zero.unevenness > 1e-3 || zero.tilt > 0.01) {
    std::snprintf(text, sizeof text,
                  "the robot's zero posture does not stand on both soles: they are %.1f mm apart "
                  "in height and %.3f rad from flat",
                  zero.unevenness * 1000.0, zero.tilt);
    return text;
  }
  if (!(s.height > 0.0) || !std::isfinite(s.height)) return "the walking height must be above 0 m";
  robot::PelvisPose pelvis;
  const Vector2d middle = (zero.sole[kLeft].at + zero.sole[kRight].at) / 2.0;
  pelvis.position = Vector3d(middle.x(), middle.y(), zero.floor + s.height);
  for (Side side : {kLeft, kRight}) {
    robot::SolePose sole;
    sole.position = Vector3d(zero.sole[side].at.x(), zero.sole[side].at.y(), zero.floor);
    sole.yaw = zero.sole[side].yaw;
    robot::LegAngles angles;
    robot::LegFailure why;
    if (!body.solve_leg(side, pelvis, sole, &angles, &why)) {
      std::snprintf(text, sizeof text, "the walking height %g m cannot be reached: ", s.height);
      return text + robot::describe(why);
    }
  }
  return {};
}

const Limits &Engine::limits() const {
  return impl_->limits;
}

void Engine::start(const Posture &posture) {
  Impl &im = *impl_;
  double farthest = 0.0;
  for (int i = 0; i < kJointCount; ++i) {
    im.lower_from[i] = std::isfinite(posture[i]) ? posture[i] : 0.0;
    farthest = std::max(farthest, std::fabs(im.ready_command[i] - im.lower_from[i]));
  }
  // A minimum-jerk move peaks at 1.875 times its mean speed.
  im.lower_time = std::max(im.settings.lower_time,
                           1.875 * farthest / (im.settings.speed_share * im.settings.servo_speed));
  im.out = im.lower_from;
  im.solved = im.ready;
  im.ticks = 0;
  im.frozen = false;
  im.phase = Phase::kLowering;
  im.status.phase = Phase::kLowering;
}

void Engine::walk(const Velocity &velocity, long steps) {
  Impl &im = *impl_;
  im.target = velocity;
  im.walking = true;
  im.steps_left = std::max(0L, steps);
  im.replan = true;
  im.catching = false;
}

void Engine::stop() {
  Impl &im = *impl_;
  im.walking = false;
  im.steps_left = 0;
  im.replan = true;
  im.catching = false;
}

void Engine::open_loop() {
  impl_->feedback = false;
}

void Engine::freeze() {
  impl_->frozen = true;
}

const Posture &Engine::step(const Sensors &sensors) {
  return impl_->step(sensors);
}

const Posture &Engine::Impl::step(const Sensors &sensors) {
  Impl &im = *this;
  im.sense(sensors);
  if (im.frozen || im.phase == Phase::kIdle) return im.out;
  if (im.phase == Phase::kLowering) {
    ++im.ticks;
    const double s = min_jerk(im.time() / im.lower_time);
    for (int i = 0; i < kJointCount; ++i)
      im.out[i] = im.lower_from[i] + (im.ready_command[i] - im.lower_from[i]) * s;
    im.wanted = im.out;
    if (im.time() >= im.lower_time) im.phase = Phase::kStanding;
    im.status.time = im.time();
    // A walk asked while bending starts at the next period: the robot
    // does not stand ready in between.
    im.status.phase = im.phase == Phase::kStanding && im.walking ? Phase::kWalking : im.phase;
    return im.out;
  }
  im.take_command();
  const long landed = im.status.steps_landed;
  im.advance_clock();
  if (im.closed) {
    if (im.status.steps_landed != landed) im.landed();
    im.time_landing();
    im.capture();
  }
  im.extend_plan();
  im.update_phase();
  im.advance_com();
  std::array<Foot, 2> at;
  robot::PelvisPose pelvis;
  im.place_feet_and_pelvis(at, pelvis);
  im.solve_legs(at, pelvis);
  im.finish_posture(at, pelvis);
  Status &st = im.status;
  st.time = im.time();
  st.phase = im.phase;
  st.velocity = im.plan.empty() ? Velocity{} : im.plan.front().velocity;
  st.feet = at;
  st.pelvis = pelvis;
  return im.out;
}

const Status &Engine::status() const {
  return impl_->status;
}

const Settings &Engine::settings() const {
  return impl_->settings;
}

}  // namespace gait

// The robot library: every fact about the robot, asked of its model once.
// MuJoCo computes them from the MJCF model the library embeds (the one the
// stand-in simulates) or from another model file. The tools, the stand-in's
// physics world and the walker ask it; none keeps a mass, a link length, a
// sole's size or gravity of its own.
//
// A model/data split, as rigid-body libraries have it: a `Model` holds the
// robot's constant facts and is shared read-only; each caller keeps its own
// `Data`, the scratch in which a posture is set and the legs are solved.
//
// Frames: the world's, x forward (the way the pelvis faces in the zero
// posture), y to the robot's left, z up, the floor at z = 0 for the model
// that the stand-in places; m, rad, kg, s, N. A yaw is a heading about the
// vertical, positive to the left. Postures are rad by JointIndex.
#pragma once

#include <Eigen/Core>
#include <array>
#include <cmath>
#include <memory>
#include <string>

#include "body_model.h"
#include "support.h"

struct mjModel_;
struct mjData_;

namespace robot {

enum Side { kLeft = 0, kRight = 1 };

// The six joints of each leg (JointIndex), in the order of LegAngles:
// hip yaw, hip roll, hip pitch, knee, ankle pitch, ankle roll.
// clang-format off
inline constexpr std::array<std::array<int, 6>, 2> kLegJoints = {{
    {1, 3, 2, 4, 5, 6},     // left:  lleg_joint_1, _2, _3, _4, _5, _6
    {7, 9, 8, 10, 11, 12},  // right: rleg_joint_1, _2, _3, _4, _5, _6
}};
// clang-format on
using LegAngles = std::array<double, 6>;  // rad, in kLegJoints order

// The pelvis's pose: its body origin (where the GPS sits) in the world, and
// its orientation as yaw, then pitch, then roll about the turned axes.
struct PelvisPose {
  Eigen::Vector3d position = Eigen::Vector3d::Zero();  // m
  double yaw = 0.0;                                    // rad, positive to the left
  double pitch = 0.0;                                  // rad, positive leans forward
  double roll = 0.0;                                   // rad, positive leans to the right
};

// A sole's pose: the centre of its bottom face, and its heading. The
// inverse kinematics keeps the sole flat (parallel to the floor).
struct SolePose {
  Eigen::Vector3d position = Eigen::Vector3d::Zero();  // m
  double yaw = 0.0;                                    // rad
};

// A sole's whole pose, for a sole that need not lie flat: the centre of its
// bottom face and its axes in the world (columns forward, left, up).
struct SoleFrame {
  Eigen::Vector3d position = Eigen::Vector3d::Zero();      // m
  Eigen::Matrix3d rotation = Eigen::Matrix3d::Identity();  // a rotation
};

// Why the inverse kinematics found no angles, without text, for loops that
// must not allocate; describe() gives the phrase.
struct LegFailure {
  enum Kind {
    kNone,   // solved
    kReach,  // the target is out of the leg's reach (or not a finite place)
    kLimit,  // a joint would pass its stop
  };
  Kind kind = kNone;
  double short_by = 0.0;  // kReach: m beyond reach; +infinity for a place not finite
  int joint = -1;         // kLimit: JointIndex of the joint
  double needed = 0.0;    // kLimit: rad it would need
  double limit = 0.0;     // kLimit: rad of the stop it passes
};
// The phrase for a failure: "the foot is 12.3 mm out of reach", "the foot
// is out of reach", "rleg_joint_4 (knee) needs 2.4100 rad, past its limit
// 2.2689 rad"; "" for kNone.
std::string describe(const LegFailure &failure);

// The setpoint speed of the robot's servos, rad/s: 60 degrees in 0.2 s, the
// stand-in's default (STANDIN_SERVO_SPEED), which the model does not hold.
inline constexpr double kServoSpeed = 5.235987755982989;

// The floor's push on one foot: its force on the robot, N, world frame,
// and the point it acts at (the foot's centre of pressure), m.
struct FootLoad {
  Eigen::Vector3d force = Eigen::Vector3d::Zero();
  Eigen::Vector3d at = Eigen::Vector3d::Zero();
};

// What the inverse kinematics found: the angles, or why there are none.
struct LegSolution {
  bool ok = false;
  LegAngles angles = {};  // valid when ok
  // When !ok, one phrase for a message: "the foot is 12.3 mm out of reach",
  // "rleg_joint_4 (knee) needs 2.4100 rad, past its limit 2.2689 rad".
  std::string shortfall;
};

// A joint's stops, rad; -infinity and +infinity for a joint without.
struct JointRange {
  double low = 0.0;
  double high = 0.0;
};

// One contact of the robot with the floor, and the floor's force on the
// robot there, world frame.
struct FloorContact {
  Eigen::Vector3d point = Eigen::Vector3d::Zero();  // m
  Eigen::Vector3d force = Eigen::Vector3d::Zero();  // N
};

// The centre of pressure of the floor's contacts.
struct Pressure {
  // The upward force of the floor on the robot, N: its weight when it
  // stands still.
  double force = 0.0;
  // Where the contacts' upward forces balance, m, on the floor (x, y);
  // NaN when less than kLeastPressing presses.
  Eigen::Vector2d centre = Eigen::Vector2d::Zero();
  bool pressed() const { return force > kLeastPressing; }

  // Less than a gram's weight is nothing pressing, N.
  static constexpr double kLeastPressing = 1e-2;
};

// A servo's position control, from the model's actuator on its joint.
struct ServoGains {
  double kp = 0.0;                 // N·m/rad; 0 when the joint has no position servo
  double torque_limit = INFINITY;  // N·m either way
};

// Which soles carry the robot's weight, by Side.
using Carrying = std::array<bool, 2>;

// What a model must hold beyond what MuJoCo loads.
enum class Parts {
  // Any model: the stand-in's physics world checks its own devices.
  kAny,
  // The whole robot the tools ask about: one free joint (the pelvis), the
  // legs' twelve hinge joints of kLegJoints, and a box geom "l_sole" and
  // "r_sole" on each foot, whose bottom face is the sole.
  kLegs,
};

class Data;

// The robot's constant facts. Read-only once loaded, so one Model serves
// any number of threads, each with its own Data.
class Model {
 public:
  // Loads the robot model: the one the library embeds when `path` is
  // empty, else the MJCF file at `path` (a regular file of at most 64 MiB,
  // every file it names looked at first, as the stand-in does). nullptr,
  // with `*error` set to one line, "cannot load the robot model "NAME":
  // why" (NAME the path, or "the built-in robot model"), when the model
  // cannot be read or lacks the `parts` asked for.
  static std::unique_ptr<Model> load(const std::string &path, Parts parts, std::string *error);
  // The whole robot, Parts::kLegs: what the tools load.
  static std::unique_ptr<Model> load(const std::string &path, std::string *error) {
    return load(path, Parts::kLegs, error);
  }
  ~Model();
  Model(const Model &) = delete;
  Model &operator=(const Model &) = delete;

  // The engine's model, for what this library does not ask (bodies'
  // masses and inertias, drawing settings).
  const mjModel_ *mj() const;
  mjModel_ *mj();

  // --- The whole model ---------------------------------------------------
  // The robot's mass, kg: the pelvis's subtree, or every body when the
  // model has no free joint.
  double mass() const;
  // Gravity, m/s², world frame: the model's own.
  Eigen::Vector3d gravity() const;
  // Gravity's downward part, m/s²: g, as the linear inverted pendulum has it.
  double g() const;
  // Whether the model has joint `joint` (JointIndex 0..24) as a hinge.
  bool has_joint(int joint) const;
  // Its stops, rad; the whole line when it has none or the model lacks it.
  JointRange joint_range(int joint) const;
  // The servo on joint `joint` (JointIndex 0..24): the stiffness and torque
  // limit of the position actuator that drives it; kp 0 when none does.
  ServoGains servo(int joint) const;
  // What holds the joint back as it turns, N·m·s/rad: its damping; 0 for
  // a joint the model lacks.
  double joint_damping(int joint) const;
  // The body of the free joint (the pelvis), -1 when none.
  int root_body() const;
  // The pelvis's heading in the model's own pose, rad: the way the
  // stand-in starts the robot facing, which its pushes and its posture
  // log's yaw count from. 0 for the built-in model; 0 without a pelvis.
  double start_heading() const;

  // --- The floor -----------------------------------------------------------
  // The floor is what is fixed to the world: every geom of the world body.
  bool is_floor(int geom) const;
  // Its height, m: the highest plane of the world body, 0 when it has none.
  double floor_height() const;

  // --- The legs and soles (Parts::kLegs) -----------------------------------
  bool has_legs() const;
  // Pelvis height with both soles flat on the floor in the zero posture, m.
  double standing_height() const;
  // Whether a Data solves this leg in closed form (its hip's three axes
  // meet in one point, and its ankle's two), or else iterates.
  bool closed_form(Side side) const;
  // The sole's length (along its forward axis) and width, m.
  Eigen::Vector2d sole_size(Side side) const;
  // The highest the pelvis may stand, moved only up or down from `pelvis`,
  // for leg `side` to reach `sole`: the pelvis origin's height, m, at which
  // the leg is straight. NaN when no height reaches it (the sole farther
  // aside than the leg is long) or the leg is not solved in closed form.
  double reach_height(Side side, const PelvisPose &pelvis, const SoleFrame &sole) const;

  // --- The robot in a state of the engine ------------------------------------
  // These read any mjData of this model, after mj_kinematics and mj_comPos
  // (mj_forward or mj_step do both): a Data's, or a simulation's.
  // The whole robot's centre of mass, m, world frame.
  Eigen::Vector3d com(const mjData_ &d) const;
  // The floor's contacts with the robot that press (a normal force above
  // 0), at most `room` of them, into `out`; returns how many.
  int floor_contacts(const mjData_ &d, FloorContact *out, int room) const;
  // The centre of pressure: each pressing floor contact weighed at its
  // point by the upward part of the floor's force, none below nothing.
  // Exact on a flat floor, whose tangential forces move no pressure; on a
  // bump's side friction may pull down, and weighed so the centre went 2 m
  // from the robot. Every contact counts, not only the first `room` of
  // floor_contacts.
  Pressure pressure(const mjData_ &d) const;

 private:
  friend class Data;
  Model();
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// One caller's robot: its engine data, where a posture is set and the legs
// are solved. Used from one thread at a time; the Model must outlive it.
class Data {
 public:
  // Throws std::bad_alloc when the engine cannot make the data.
  explicit Data(const Model &model);
  ~Data();
  Data(const Data &) = delete;
  Data &operator=(const Data &) = delete;

  const Model &model() const { return model_; }

  // Forward kinematics: the robot in `posture` (joints the model lacks are
  // ignored) with the pelvis at `pelvis`. The queries below describe the
  // last posture set.
  void set_posture(const Posture &posture, const PelvisPose &pelvis);
  // The whole robot's centre of mass, m, world frame.
  Eigen::Vector3d com() const;
  // The centre of a sole's bottom face and its heading (for a sole that is
  // not flat, the heading of its forward axis projected on the floor).
  SolePose sole(Side side) const;
  // The sole's axes in the world: columns forward, left, up.
  Eigen::Matrix3d sole_rotation(Side side) const;
  // The four corners of a sole's bottom face, world frame, around it: toe
  // left, toe right, heel right, heel left.
  std::array<Eigen::Vector3d, 4> sole_corners(Side side) const;
  // The sole's whole pose: the centre of its bottom face and its axes.
  SoleFrame sole_frame(Side side) const;

  // Sets `posture` with the pelvis at `position`, heading `yaw`, and tilted
  // so that sole `side` lies flat: the robot standing on that sole as its
  // joints say, wherever its pelvis leans. Returns the pelvis's pose.
  PelvisPose stand_on(Side side, const Posture &posture, const Eigen::Vector3d &position,
                      double yaw);

  // The torque the robot's weight puts on each joint while it stands still
  // in the last posture set, on the soles `on` says carry: N·m by
  // JointIndex, about the joint's axis, the way the joint turns when its
  // servo gives (the servo holds it with the opposite torque and gives
  // torque / stiffness rad). On one sole the floor pushes up under the
  // centre of mass. On both, the two legs and the floor are one closed
  // chain: the floor's pushes (forces and moments) are shared as the
  // servos' stiffness shares them, with the least spring energy, which
  // leaves both soles as they lay; a sole that share would pull down
  // carries nothing. `gravity` is the model's gravity in the frame the
  // posture was set in: model().gravity() when the soles lie as set.
  // 0 for joints the model lacks.
  Posture weight_torques(const Carrying &on, const Eigen::Vector3d &gravity) const;

  // How far the centre of mass moves, standing on sole `side` in the last
  // posture set, per newton pushing it (on every body by its mass, as the
  // weight and a sway push), as the servos between the sole and the pelvis
  // give (each by its torque over its stiffness): m/N, 3x3, in the frame
  // the posture was set in. The weight's own pull on the moved centre of
  // mass is not in it.
  Eigen::Matrix3d com_compliance(Side side) const;

  // Inverse kinematics of one leg: the angles that put the centre of the
  // sole's bottom face at `sole`, flat, with the pelvis at `pelvis`. A
  // target out of reach, or one that needs a joint past its limit (the
  // model's range), is refused with the shortfall; nothing is clamped.
  // The posture set stays as it was.
  LegSolution solve_leg(Side side, const PelvisPose &pelvis, const SolePose &sole);
  // How far each servo falls short of its setpoint under the static load of
  // the last posture set, rad by JointIndex: the torque that holds what
  // lies beyond its joint under gravity (and, for a leg's joints, the
  // floor's push `feet` on its foot), within the servo's torque limit,
  // over its stiffness (a position servo settles at setpoint - torque/kp).
  // 0 for joints no position servo drives. No allocation.
  void servo_give(const std::array<FootLoad, 2> &feet, Posture &give) const;

  // The same without text, for loops: true with the angles in `angles`, or
  // false with what is short in `why`. It allocates nothing for a leg
  // solved in closed form.
  bool solve_leg(Side side, const PelvisPose &pelvis, const SolePose &sole, LegAngles *angles,
                 LegFailure *why);
  // The same for a sole turned any way, not only flat: a foot the leg lifts
  // tilted, or a sole on its edge.
  bool solve_leg(Side side, const PelvisPose &pelvis, const SoleFrame &sole, LegAngles *angles,
                 LegFailure *why);

  // The engine's data in the last posture set (mj_kinematics and
  // mj_comPos done), for what this library does not ask.
  const mjData_ *mj() const { return data_; }

 private:
  const Model &model_;
  mjData_ *data_ = nullptr;
  // The iterative solver works here, so that a solve leaves the posture;
  // made for models whose legs are not solved in closed form only.
  mjData_ *scratch_ = nullptr;
};

}  // namespace robot

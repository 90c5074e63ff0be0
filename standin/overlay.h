// What the view draws over the robot: the balance overlay (support polygon,
// centre of mass, centre of pressure, contact forces), the joints' numbers,
// the velocity a program commands, and a push while it acts. Shapes are added to MuJoCo's scene
// after mjv_updateScene, within its room, without allocating.
#pragma once

#include <mujoco/mujoco.h>

#include <cstdint>

#include "robot.h"
#include "standin_internal.h"

namespace standin {

// Which overlays are shown.
struct Overlays {
  bool balance = false;  // support polygon, centre of mass and of pressure, contact forces
  bool joints = false;   // each numbered joint's number, the moving ones highlighted
  bool velocity = true;  // the velocity the program commands (standin_show_velocity)
};

// The size of the text MuJoCo draws labels in, as fractions of the frame's
// height.
struct TextSize {
  double line = 0.03;    // one line
  double digits = 0.04;  // the width of two digits
};

class Overlay {
 public:
  // Finds the chest and the numbered joints in `robot`'s model, which the
  // balance overlay asks for the floor, the centre of mass and of
  // pressure; what a model lacks is not drawn. `robot` outlives the overlay.
  void bind(const robot::Model &robot);
  // Notes the servos' commanded angles and setpoints (JointIndex 0..24, rad)
  // at simulated time `now_ns`: a joint whose command or setpoint changed
  // within the last kMovingNs is drawn as moving.
  void notice(const double *targets, const double *setpoints, std::int64_t now_ns);
  // Sets what the overlays need of MuJoCo's own drawing, before
  // mjv_updateScene: the balance overlay sees through the robot.
  void prepare(Overlays what, mjvOption *option) const;
  // Adds the overlays' shapes, and a push's arrow whatever `what` says, to
  // `scene`, whose labels are drawn in `text`; what does not fit in
  // scene->maxgeom is left out.
  void draw(const mjModel *m, const mjData *d, Overlays what, TextSize text, mjvScene *scene) const;

  // How long a joint counts as moving after its command last changed, ns.
  static constexpr std::int64_t kMovingNs = 500000000;

 private:
  void draw_balance(const mjModel *m, const mjData *d, mjvScene *scene) const;
  void draw_joints(const mjModel *m, const mjData *d, TextSize text, mjvScene *scene) const;
  void draw_push(const mjData *d, mjvScene *scene) const;
  void draw_velocity(const mjData *d, mjvScene *scene) const;

  const robot::Model *robot_ = nullptr;
  int root_ = -1;                 // the body of the free joint, whose subtree is the robot
  int chest_ = -1;                // the body a push acts on
  int joint_[kServoCount] = {};   // MuJoCo joint of each servo; -1 when none
  int number_[kServoCount] = {};  // JointNumber 1..21 of each servo; 0 when none
  double last_target_[kServoCount] = {};
  double last_setpoint_[kServoCount] = {};
  std::int64_t changed_ns_[kServoCount] = {};  // when each last changed
  std::int64_t now_ns_ = 0;
  bool noticed_ = false;
};

}  // namespace standin

// The robot's body as a real one may be (STANDIN_MASS_SCALE,
// STANDIN_COM_SHIFT, STANDIN_SERVO_STRENGTH): the model's masses, its
// chest's centre of mass and its servos' torque changed before the robot
// is placed, with every quantity the engine derives from them after.
#pragma once

#include <mujoco/mujoco.h>

#include "standin_internal.h"

namespace standin {

// Applies the settings to `m` (with its data `d`), whose servos are the
// actuators `actuator` (by JointIndex). A setting the model cannot take (a
// centre of mass shift without a chest) is told, naming `model_name`, and
// switched off in `settings`.
void change_body(mjModel *m, mjData *d, Imperfections &settings, const int *actuator,
                 const char *model_name);

}  // namespace standin

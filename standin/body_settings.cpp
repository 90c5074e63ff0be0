// Masses, the chest's centre of mass and the servos' strength, changed in
// the model before the first engine step.
#include "body_settings.h"

#include "config_text.h"

namespace standin {

void change_body(mjModel *m, mjData *d, Imperfections &settings, const int *actuator,
                 const char *model_name) {
  bool masses_changed = false;
  if (settings.mass_scale != 1.0) {
    // Every body but the world, each part in proportion: its inertia too.
    for (int b = 1; b < m->nbody; ++b) {
      m->body_mass[b] *= settings.mass_scale;
      for (int k = 0; k < 3; ++k) m->body_inertia[3 * b + k] *= settings.mass_scale;
    }
    masses_changed = true;
  }
  if (settings.com_shift[0] != 0.0 || settings.com_shift[1] != 0.0) {
    int chest = mj_name2id(m, mjOBJ_BODY, "chest");
    if (chest <= 0) {
      report(
          "STANDIN_COM_SHIFT: the robot model \"%s\" has no body named \"chest\"; the model's "
          "centre of mass",
          Quoted(model_name).text);
      settings.com_shift[0] = settings.com_shift[1] = 0.0;
    } else {
      // The chest's contents moved in its own frame (x forward, y left in
      // the zero posture); its inertia about its centre of mass is kept.
      m->body_ipos[3 * chest] += settings.com_shift[0] / 1000.0;
      m->body_ipos[3 * chest + 1] += settings.com_shift[1] / 1000.0;
      m->body_sameframe[chest] = 0;
      masses_changed = true;
    }
  }
  if (masses_changed) {
    // The engine's derived quantities follow the masses; the drawing's
    // scale (the model's <statistic>) stays as the model set it.
    mjtNum extent = m->stat.extent;
    mjtNum centre[3];
    mju_copy3(centre, m->stat.center);
    mj_setConst(m, d);
    m->stat.extent = extent;
    mju_copy3(m->stat.center, centre);
  }
  if (settings.strength != 1.0) {
    // A supply that sags scales every torque the servo makes: its
    // stiffness and its limit alike. The setpoint's speed is the world's.
    for (int i = 0; i < kServoCount; ++i) {
      int a = actuator[i];
      for (int k = 0; k < mjNGAIN; ++k) m->actuator_gainprm[mjNGAIN * a + k] *= settings.strength;
      for (int k = 0; k < mjNBIAS; ++k) m->actuator_biasprm[mjNBIAS * a + k] *= settings.strength;
      for (int k = 0; k < 2; ++k) m->actuator_forcerange[2 * a + k] *= settings.strength;
    }
  }
}

}  // namespace standin

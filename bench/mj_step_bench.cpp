// The yardstick of the physics world: a bare MuJoCo loop on the stand-in's
// robot model, the robot standing in the zero posture on the floor as the
// stand-in places it, every actuator holding zero. Nothing else runs: no
// servo speed, no sensors, no fall watch, no library calls.
//
//   mj_step_bench MODEL.xml SECONDS
//
// Prints the model's time step, the contacts while standing, and the wall
// time and CPU time per simulated second of the best of three loops, each
// SECONDS of simulated time long.
#include <mujoco/mujoco.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "placement.h"

namespace {

double now_s(clockid_t clock) {
  timespec t;
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// The zero posture, upright, its lowest colliding point on the floor, at rest.
void place(const mjModel *m, mjData *d) {
  mj_resetData(m, d);
  for (int j = 0; j < m->njnt; ++j)
    if (m->jnt_type[j] == mjJNT_HINGE) d->qpos[m->jnt_qposadr[j]] = 0.0;
  mj_kinematics(m, d);
  double lowest = std::numeric_limits<double>::infinity();
  for (int g = 0; g < m->ngeom; ++g) {
    bool collides = m->geom_contype[g] != 0 || m->geom_conaffinity[g] != 0;
    if (collides && m->geom_bodyid[g] != 0) lowest = std::min(lowest, robot::lowest_point(m, d, g));
  }
  for (int j = 0; j < m->njnt; ++j)
    if (m->jnt_type[j] == mjJNT_FREE && std::isfinite(lowest))
      d->qpos[m->jnt_qposadr[j] + 2] -= lowest;
  mju_zero(d->ctrl, m->nu);
  mj_forward(m, d);
}

}  // namespace

int main(int argc, char **argv) {
  long seconds = argc == 3 ? std::strtol(argv[2], nullptr, 10) : 0;
  if (argc != 3 || seconds < 1 || seconds > 100000) {
    std::fprintf(stderr, "usage: mj_step_bench MODEL.xml SECONDS(1..100000)\n");
    return 2;
  }
  char error[512] = "";
  mjModel *m = mj_loadXML(argv[1], nullptr, error, sizeof error);
  if (m == nullptr) {
    std::fprintf(stderr, "mj_step_bench: cannot load %s: %s\n", argv[1], error);
    return 1;
  }
  mjData *d = mj_makeData(m);
  const long steps = std::lround(static_cast<double>(seconds) / m->opt.timestep);

  // Contacts once the robot has stood for a second.
  place(m, d);
  for (long k = 0; k < std::lround(1.0 / m->opt.timestep); ++k) mj_step(m, d);
  std::printf("time step: %g ms\n", 1000 * m->opt.timestep);
  std::printf("contacts while standing: %d\n", d->ncon);

  double best_wall = std::numeric_limits<double>::infinity(), best_cpu = best_wall;
  for (int run = 0; run < 3; ++run) {
    place(m, d);
    double wall = now_s(CLOCK_MONOTONIC), cpu = now_s(CLOCK_PROCESS_CPUTIME_ID);
    for (long k = 0; k < steps; ++k) mj_step(m, d);
    best_wall = std::min(best_wall, now_s(CLOCK_MONOTONIC) - wall);
    best_cpu = std::min(best_cpu, now_s(CLOCK_PROCESS_CPUTIME_ID) - cpu);
  }
  std::printf("bare mj_step loop: %ld steps, %.3f ms wall, %.3f ms CPU per simulated second\n",
              steps, 1000 * best_wall / static_cast<double>(seconds),
              1000 * best_cpu / static_cast<double>(seconds));
  mj_deleteData(d);
  mj_deleteModel(m);
  return 0;
}

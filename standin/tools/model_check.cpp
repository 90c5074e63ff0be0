// Development tool: checks the stand-in's robot model against the body
// model's joint table and measures it standing, squatting, bowing, waving
// and falling. Not part of the suite.
//
// Build (from the repository root):
//   g++ -std=c++20 -O2 -Wall -Wextra -I body_model standin/tools/model_check.cpp -lmujoco -o
//   model_check
// or: cmake -S standin/tools -B build-tools && cmake --build build-tools
// Run:   ./model_check [standin/robot.xml] [OPTION=VALUE...]
// e.g.   ./model_check standin/robot.xml solver=newton lleg_joint_4=0.6 rleg_joint_4=0.6
// Exits 1 if a check fails.
#include <mujoco/mujoco.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "body_model.h"

namespace {

mjModel *m = nullptr;
mjData *d = nullptr;
int failures = 0;

void expect(bool ok, const char *what) {
  std::printf("  %-62s %s\n", what, ok ? "ok" : "FAIL");
  if (!ok) ++failures;
}

int id(mjtObj type, const char *name) {
  int i = mj_name2id(m, type, name);
  if (i < 0) {
    std::printf("  missing %s\n", name);
    ++failures;
  }
  return i;
}

// Joint qpos address and actuator of JointIndex i.
std::array<int, kJointCount> qadr{}, act{};

// Posture by JointIndex.
using Pose = std::array<double, kJointCount>;

void set_ctrl(const Pose &p) {
  for (int i = 0; i < kJointCount; ++i) d->ctrl[act[i]] = p[i];
}

// Puts the robot in `p`, at rest, its soles' lowest point on z = 0.
void place(const Pose &p) {
  mj_resetData(m, d);
  for (int i = 0; i < kJointCount; ++i) d->qpos[qadr[i]] = p[i];
  set_ctrl(p);
  mj_kinematics(m, d);
  double low = 1e9;
  for (int g = 0; g < m->ngeom; ++g) {
    if (m->geom_type[g] != mjGEOM_BOX || m->geom_contype[g] == 0) continue;
    const double *s = m->geom_size + 3 * g, *c = d->geom_xpos + 3 * g, *r = d->geom_xmat + 9 * g;
    for (int k = 0; k < 8; ++k) {
      double l[3] = {(k & 1 ? 1 : -1) * s[0], (k & 2 ? 1 : -1) * s[1], (k & 4 ? 1 : -1) * s[2]};
      low = std::min(low, c[2] + r[6] * l[0] + r[7] * l[1] + r[8] * l[2]);
    }
  }
  d->qpos[2] -= low;
  mj_forward(m, d);
}

double tilt(int body) {
  return std::acos(std::clamp(d->xmat[9 * body + 8], -1.0, 1.0));
}

int warnings() {
  int n = 0;
  for (int i = 0; i < mjNWARNING; ++i) n += d->warning[i].number;
  return n;
}

void print_warnings() {
  for (int i = 0; i < mjNWARNING; ++i) {
    if (d->warning[i].number > 0) {
      std::printf("  warning %d: %d times, last at step info %d\n", i, d->warning[i].number,
                  d->warning[i].lastinfo);
    }
  }
}

void on_warning(const char *msg) {
  std::printf("  mujoco warning: %s (t=%.3f)\n", msg, d ? d->time : 0.0);
}

// JointIndex of a device name, -1 if none.
int find_joint(const std::string &name) {
  for (int i = 0; i < kJointCount; ++i) {
    if (name == kJoints[i].name) return i;
  }
  return -1;
}

int joint_index(const char *name) {
  for (int i = 0; i < kJointCount; ++i) {
    if (std::strcmp(kJoints[i].name, name) == 0) return i;
  }
  std::fprintf(stderr, "no joint %s\n", name);
  std::exit(2);
}

// Moves the command from `from` to `to` at no more than `speed` rad/s per
// joint, then holds it for `hold` s. Returns the largest pelvis tilt seen.
double move(const Pose &from, const Pose &to, double speed, double hold, int pelvis) {
  double span = 0;
  for (int i = 0; i < kJointCount; ++i) span = std::max(span, std::fabs(to[i] - from[i]));
  double ramp = span / speed;
  double t0 = d->time, worst = 0;
  while (d->time - t0 < ramp + hold) {
    double u = ramp > 0 ? std::min(1.0, (d->time - t0) / ramp) : 1.0;
    Pose c;
    for (int i = 0; i < kJointCount; ++i) c[i] = from[i] + u * (to[i] - from[i]);
    set_ctrl(c);
    mj_step(m, d);
    worst = std::max(worst, tilt(pelvis));
  }
  return worst;
}

// Plays a motion file from the zero posture: each row is held for its
// period, and every servo's setpoint moves toward the row's angle at no
// more than 5.236 rad/s. Reports the largest tilt and any fall.
void play(const std::string &file, int pelvis) {
  std::FILE *in = std::fopen(file.c_str(), "r");
  if (!in) {
    std::printf("\nplay %s: cannot open\n", file.c_str());
    ++failures;
    return;
  }
  Pose zero{}, setpoint{};
  place(zero);
  double worst = 0, fell = -1, start_z = d->xpos[3 * pelvis + 2], lowest = start_z;
  char line[512];
  int rows = 0;
  long elapsed_ms = 0;
  while (std::fgets(line, sizeof line, in)) {
    int period = 0, field2 = 0, used = 0;
    if (std::sscanf(line, "%d,%d,%n", &period, &field2, &used) != 2 || period <= 0) continue;
    Pose target{};
    const char *p = line + used;
    for (int c = 0; c < kNumberedJoints; ++c) {
      char *end = nullptr;
      long count = std::strtol(p, &end, 10);
      int i = kColumnOrder[c];
      target[i] =
          kJoints[i].pulsesPerDegree ? count * kRadPerDegree / kJoints[i].pulsesPerDegree : 0;
      p = *end == ',' ? end + 1 : end;
    }
    ++rows;
    // Row ends on the file's own clock, so periods that are not a whole
    // number of steps do not add up to drift.
    elapsed_ms += period;
    double until = elapsed_ms / 1000.0;
    while (d->time < until - 1e-9) {
      for (int i = 0; i < kJointCount; ++i) {
        double step = 5.235987755982989 * m->opt.timestep;
        setpoint[i] += std::clamp(target[i] - setpoint[i], -step, step);
      }
      set_ctrl(setpoint);
      mj_step(m, d);
      worst = std::max(worst, tilt(pelvis));
      lowest = std::min(lowest, d->xpos[3 * pelvis + 2]);
      if (fell < 0 && (tilt(pelvis) > 1.0 || d->xpos[3 * pelvis + 2] < start_z / 2)) fell = d->time;
    }
  }
  std::fclose(in);
  std::printf(
      "\nplay %s: %d rows, %.2f s, tilt max %.3f rad, pelvis lowest %.3f m, drift %.1f mm, %s\n",
      file.c_str(), rows, d->time, worst, lowest,
      1000 * std::hypot(d->xpos[3 * pelvis], d->xpos[3 * pelvis + 1]),
      fell < 0 ? "upright throughout" : ("falls at " + std::to_string(fell) + " s").c_str());
  expect(fell < 0 && worst < 0.3 && warnings() == 0, "upright, tilt under 0.3 rad, no warnings");
}

}  // namespace

int main(int argc, char **argv) {
  const char *path = argc > 1 ? argv[1] : "standin/robot.xml";
  char error[1000] = "";
  m = mj_loadXML(path, nullptr, error, sizeof error);
  if (!m) {
    std::fprintf(stderr, "model_check: %s: %s\n", path, error);
    return 1;
  }
  // Options to try without editing the file: integrator=euler|implicit|rk4,
  // timestep=S, tolerance=X, iterations=N, cone=pyramidal|elliptic,
  // solver=newton|cg|pgs; JOINT=ANGLE (rad) for the standing posture;
  // play=FILE.csv to play a motion file from the zero posture.
  Pose stand{};
  bool zero_posture = true;
  std::vector<std::string> plays;
  for (int a = 2; a < argc; ++a) {
    std::string arg = argv[a], key = arg.substr(0, arg.find('=')),
                value = arg.find('=') == std::string::npos ? "" : arg.substr(arg.find('=') + 1);
    if (key == "integrator") {
      m->opt.integrator = value == "implicit" ? mjINT_IMPLICIT
                          : value == "rk4"    ? mjINT_RK4
                                              : mjINT_EULER;
    } else if (key == "timestep") {
      m->opt.timestep = std::atof(value.c_str());
    } else if (key == "tolerance") {
      m->opt.tolerance = std::atof(value.c_str());
    } else if (key == "iterations") {
      m->opt.iterations = std::atoi(value.c_str());
    } else if (key == "solver") {
      m->opt.solver = value == "cg" ? mjSOL_CG : value == "pgs" ? mjSOL_PGS : mjSOL_NEWTON;
    } else if (find_joint(key) >= 0) {
      stand[find_joint(key)] = std::atof(value.c_str());
      zero_posture = false;
    } else if (key == "cone") {
      m->opt.cone = value == "elliptic" ? mjCONE_ELLIPTIC : mjCONE_PYRAMIDAL;
    } else if (key == "play") {
      plays.push_back(value);
    } else {
      std::fprintf(stderr, "model_check: unknown option %s\n", arg.c_str());
      return 2;
    }
  }
  d = mj_makeData(m);
  mju_user_warning = on_warning;
  std::printf("%s: timestep %.4f s, integrator %d, nbody %d, njnt %d, ngeom %d, nu %d\n", path,
              m->opt.timestep, m->opt.integrator, m->nbody, m->njnt, m->ngeom, m->nu);

  std::printf("joints against the body model's table:\n");
  Pose zero{};
  for (int i = 0; i < kJointCount; ++i) {
    int j = id(mjOBJ_JOINT, kJoints[i].name), a = id(mjOBJ_ACTUATOR, kJoints[i].name);
    if (j < 0 || a < 0) return 1;
    qadr[i] = m->jnt_qposadr[j];
    act[i] = a;
  }
  place(zero);
  int bad_axis = 0, bad_range = 0, bad_act = 0;
  for (int i = 0; i < kJointCount; ++i) {
    int j = mj_name2id(m, mjOBJ_JOINT, kJoints[i].name);
    const double *ax = d->xaxis + 3 * j;
    const signed char *want = kJointConvention[i].axis;
    if (m->jnt_type[j] != mjJNT_HINGE || std::fabs(ax[0] - want[0]) > 1e-9 ||
        std::fabs(ax[1] - want[1]) > 1e-9 || std::fabs(ax[2] - want[2]) > 1e-9) {
      std::printf("  %s axis %g %g %g, convention %d %d %d\n", kJoints[i].name, ax[0], ax[1], ax[2],
                  want[0], want[1], want[2]);
      ++bad_axis;
    }
    if (!m->jnt_limited[j]) ++bad_range;
    if (kJoints[i].number > 0) {
      const JointLimits &lim = kJointLimits[kJoints[i].number - 1];
      if (m->jnt_range[2 * j] != lim.min || m->jnt_range[2 * j + 1] != lim.max) {
        std::printf("  %s range %g..%g, table %g..%g\n", kJoints[i].name, m->jnt_range[2 * j],
                    m->jnt_range[2 * j + 1], lim.min, lim.max);
        ++bad_range;
      }
    } else {
      std::printf("  %s chosen stops %g..%g\n", kJoints[i].name, m->jnt_range[2 * j],
                  m->jnt_range[2 * j + 1]);
    }
    int a = act[i];
    if (m->actuator_trnid[2 * a] != j || m->actuator_trntype[a] != mjTRN_JOINT) ++bad_act;
  }
  expect(bad_axis == 0, "every joint a hinge on the convention's axis, zero posture");
  expect(bad_range == 0, "every joint limited, numbered ones at the table's stops");
  expect(bad_act == 0, "one actuator per joint, named as it");
  for (const char *s : {"gps", "emitter", "l_hand", "r_hand", "l_shoulder", "r_shoulder"}) {
    id(mjOBJ_SITE, s);
  }
  for (const char *s : {"left touch", "right touch", "distance", "gps"}) id(mjOBJ_SENSOR, s);
  id(mjOBJ_CAMERA, "camera");
  int root = mj_name2id(m, mjOBJ_JOINT, "root");
  expect(root >= 0 && m->dof_damping[m->jnt_dofadr[root]] == 0, "free root joint, undamped");

  int pelvis = id(mjOBJ_BODY, "pelvis"), chest = id(mjOBJ_BODY, "chest");
  int head = id(mjOBJ_GEOM, "head");
  int lt = m->sensor_adr[id(mjOBJ_SENSOR, "left touch")];
  int rt = m->sensor_adr[id(mjOBJ_SENSOR, "right touch")];
  int rf = m->sensor_adr[id(mjOBJ_SENSOR, "distance")];
  double mass = mj_getTotalmass(m), weight = mass * -m->opt.gravity[2];
  place(stand);
  const double *hs = m->geom_size + 3 * head;
  double top = d->geom_xpos[3 * head + 2] + hs[2];
  std::printf("\nstanding, %s posture:\n", zero_posture ? "zero" : "given");
  std::printf("  total mass %.3f kg, weight %.2f N\n", mass, weight);
  std::printf("  body            mass kg  joint at x, y, z (m)\n");
  for (int b = 1; b < m->nbody; ++b) {
    const double *x = d->xpos + 3 * b;
    std::printf("  %-14s  %7.3f  %6.3f %6.3f %6.3f\n", mj_id2name(m, mjOBJ_BODY, b),
                m->body_mass[b], x[0], x[1], x[2]);
  }
  std::printf("  height (top of head) %.4f m, pelvis %.4f m\n", top, d->xpos[3 * pelvis + 2]);
  std::printf("  centre of mass %.4f %.4f %.4f m\n", d->subtree_com[3], d->subtree_com[4],
              d->subtree_com[5]);
  std::printf("  rangefinder at start %.3f m (-1: nothing within range)\n", d->sensordata[rf]);

  // Ten seconds of standing still, timed.
  double start[3];
  std::copy(d->xpos + 3 * pelvis, d->xpos + 3 * pelvis + 3, start);
  double drift = 0, worst_tilt = 0, peak_force = 0, peak_vz = 0;
  double sum_l = 0, sum_r = 0;
  int samples = 0;
  while (d->time < 10.0) {
    mj_step(m, d);
    const double *p = d->xpos + 3 * pelvis;
    drift = std::max(drift, std::hypot(p[0] - start[0], p[1] - start[1], p[2] - start[2]));
    worst_tilt = std::max(worst_tilt, tilt(pelvis));
    peak_force = std::max(peak_force, d->sensordata[lt] + d->sensordata[rt]);
    if (d->time < 0.5) peak_vz = std::max(peak_vz, std::fabs(d->qvel[2]));
    if (d->time > 9.0) {
      sum_l += d->sensordata[lt];
      sum_r += d->sensordata[rt];
      ++samples;
    }
  }
  double fl = sum_l / samples, fr = sum_r / samples;
  std::printf("  contacts standing %d\n", d->ncon);
  std::printf(
      "  soles (mean of the last second) left %.2f N, right %.2f N, sum %.2f N = %.1f%% of m.g\n",
      fl, fr, fl + fr, 100 * (fl + fr) / weight);
  std::printf("  pelvis drift %.3f mm, now at z %.4f m, tilt max %.5f rad\n", 1000 * drift,
              d->xpos[3 * pelvis + 2], worst_tilt);
  std::printf(
      "  settling: peak sole sum %.2f N (%.0f%% of m.g), peak root |vz| in 0.5 s %.4f m/s\n",
      peak_force, 100 * peak_force / weight, peak_vz);
  expect(drift < 0.005, "pelvis moves less than 5 mm in 10 s");
  expect(std::fabs(fl - fr) <= 0.25 * std::max(fl, fr), "soles within 25% of each other");
  expect(std::fabs(fl + fr - weight) <= 0.1 * weight, "soles sum to m.g within 10%");
  expect(peak_force < 1.5 * weight, "placed touching, settles without a jolt");
  expect(warnings() == 0, "no warnings");
  print_warnings();

  // A bare mj_step loop, 10 s standing, timed per simulated second by this
  // thread's CPU time and by the wall clock. The machine is shared: the
  // fastest second is the best guess at what one free core gives.
  place(stand);
  std::vector<double> cpu_us, wall_us;
  long iterations = 0, steps = 0;
  for (int second = 0; second < 10; ++second) {
    auto w0 = std::chrono::steady_clock::now();
    timespec c0, c1;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c0);
    int n = 0;
    while (d->time < second + 1.0) {
      mj_step(m, d);
      ++n;
      iterations += d->solver_iter;
    }
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c1);
    steps += n;
    cpu_us.push_back(((c1.tv_sec - c0.tv_sec) * 1e6 + (c1.tv_nsec - c0.tv_nsec) / 1e3) / n);
    wall_us.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - w0).count() /
        n);
  }
  std::sort(cpu_us.begin(), cpu_us.end());
  std::sort(wall_us.begin(), wall_us.end());
  double step_us = m->opt.timestep * 1e6;
  std::printf("  mj_step CPU us/step: fastest second %.1f (%.1fx real time), median %.1f (%.1fx)\n",
              cpu_us[0], step_us / cpu_us[0], cpu_us[5], step_us / cpu_us[5]);
  std::printf(
      "  mj_step wall us/step: fastest second %.1f (%.1fx real time), median %.1f (%.1fx)\n",
      wall_us[0], step_us / wall_us[0], wall_us[5], step_us / wall_us[5]);
  std::printf("  solver iterations per step %.2f\n", double(iterations) / steps);
  expect(step_us / cpu_us[0] >= 50, "at least 50x real time on one core");

  // Where the time goes: MuJoCo's own timers, on a second run.
  mjcb_time = [] {
    return mjtNum(std::chrono::duration<double, std::micro>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count());
  };
  place(stand);
  while (d->time < 2.0) mj_step(m, d);
  const char *names[mjNTIMER] = {"step",       "forward",   "inverse",      "position",
                                 "velocity",   "actuation", "acceleration", "constraint",
                                 "kinematics", "inertia",   "collision",    "make constraints",
                                 "project"};
  std::printf("  per step, us:");
  for (int i = 0; i < mjNTIMER; ++i) {
    if (i == 2) continue;
    std::printf(" %s %.1f%s", names[i], d->timer[i].duration / std::max(1, d->timer[i].number),
                i + 1 < mjNTIMER ? "," : "\n");
  }
  mjcb_time = nullptr;

  // Squat: knees 1.2, hips and ankles -0.6, moved at 0.8 rad/s.
  Pose squat{};
  for (const char *n : {"lleg_joint_4", "rleg_joint_4"}) squat[joint_index(n)] = 1.2;
  for (const char *n : {"lleg_joint_3", "rleg_joint_3", "lleg_joint_5", "rleg_joint_5"}) {
    squat[joint_index(n)] = -0.6;
  }
  std::printf("\nsquat:\n");
  place(zero);
  move(zero, zero, 1, 1.0, pelvis);
  double z0 = d->xpos[3 * pelvis + 2];
  double worst = move(zero, squat, 1.2 / 1.5, 2.0, pelvis);
  double z1 = d->xpos[3 * pelvis + 2];
  std::printf("  pelvis %.4f -> %.4f m, tilt max %.3f rad, sole sum %.2f N\n", z0, z1, worst,
              d->sensordata[lt] + d->sensordata[rt]);
  expect(z1 < z0 - 0.03, "the squat lowers the pelvis");
  expect(worst < 0.3, "pelvis tilt under 0.3 rad");
  worst = move(squat, zero, 1.2 / 1.5, 1.0, pelvis);
  std::printf("  back up: pelvis %.4f m, tilt max %.3f rad\n", d->xpos[3 * pelvis + 2], worst);
  expect(warnings() == 0, "no warnings");

  // Bow from the waist.
  Pose bow{};
  bow[joint_index("body_joint_1")] = 0.9;
  for (const char *n : {"lleg_joint_4", "rleg_joint_4"}) bow[joint_index(n)] = 0.3;
  for (const char *n : {"lleg_joint_3", "rleg_joint_3", "lleg_joint_5", "rleg_joint_5"}) {
    bow[joint_index(n)] = -0.15;
  }
  for (const char *n : {"larm_joint_1", "rarm_joint_1"}) bow[joint_index(n)] = 0.3;
  std::printf("\nbow:\n");
  place(zero);
  worst = move(zero, bow, 0.9 / 2.0, 2.0, pelvis);
  double chest_pitch = std::atan2(d->xmat[9 * chest + 2], d->xmat[9 * chest + 8]);
  std::printf(
      "  chest up axis pitched forward %.3f rad, pelvis tilt max %.3f rad, soles %.2f/%.2f N\n",
      chest_pitch, worst, d->sensordata[lt], d->sensordata[rt]);
  expect(chest_pitch > 0.7, "the chest pitches forward");
  expect(worst < 0.3, "pelvis stays upright");
  expect(warnings() == 0, "no warnings");

  // Both ankles pitched hard: the robot must be able to fall.
  std::printf("\nankles driven hard:\n");
  place(zero);
  move(zero, zero, 1, 0.5, pelvis);
  Pose ankles{};
  for (const char *n : {"lleg_joint_5", "rleg_joint_5"}) ankles[joint_index(n)] = 1.0;
  double fell_at = -1;
  double t_cmd = d->time;
  set_ctrl(ankles);
  while (d->time - t_cmd < 4.0) {
    mj_step(m, d);
    if (fell_at < 0 && tilt(pelvis) > 1.0) fell_at = d->time - t_cmd;
  }
  std::printf(
      "  tilt %.3f rad after 4 s, fell (tilt > 1) after %.3f s, pelvis z %.3f m, contacts %d\n",
      tilt(pelvis), fell_at, d->xpos[3 * pelvis + 2], d->ncon);
  expect(fell_at > 0, "the robot falls");
  expect(warnings() == 0, "no warnings");

  // The wave's raised arm.
  std::printf("\nwave pose:\n");
  place(zero);
  Pose wave{};
  wave[joint_index("rarm_joint_2")] = -1.35;
  wave[joint_index("rarm_joint_4")] = -1.1;
  worst = move(zero, wave, 1.35 / 1.5, 1.0, pelvis);
  auto z = [](const char *site) { return d->site_xpos[3 * mj_name2id(m, mjOBJ_SITE, site) + 2]; };
  std::printf(
      "  right hand %.4f m, right shoulder %.4f m; left hand %.4f m, left shoulder %.4f m; tilt "
      "max %.3f\n",
      z("r_hand"), z("r_shoulder"), z("l_hand"), z("l_shoulder"), worst);
  expect(z("r_hand") > z("r_shoulder"), "right hand above the right shoulder");
  expect(z("l_hand") < z("l_shoulder"), "left hand below the left shoulder");
  expect(warnings() == 0, "no warnings");

  // One servo's response: the right elbow of the hanging arm, commanded a
  // step of -0.5 rad, then the same move at the stand-in's 5.2 rad/s.
  std::printf("\nservo response (right elbow, -0.5 rad):\n");
  int elbow = joint_index("rarm_joint_4");
  for (double speed : {1e9, 5.2}) {
    place(zero);
    Pose target{};
    target[elbow] = -0.5;
    double t_start = d->time, peak = 0, settled = -1;
    while (d->time - t_start < 1.0) {
      double u = std::min(1.0, (d->time - t_start) * speed / 0.5);
      Pose c{};
      c[elbow] = -0.5 * u;
      set_ctrl(c);
      mj_step(m, d);
      double q = d->qpos[qadr[elbow]];
      peak = std::min(peak, q);
      if (std::fabs(q - target[elbow]) > 0.01)
        settled = -1;
      else if (settled < 0)
        settled = d->time - t_start;
    }
    std::printf("  %s: overshoot %.1f%%, within 0.01 rad from %.3f s\n",
                speed > 1e6 ? "step" : "5.2 rad/s ramp", 100 * (-peak - 0.5) / 0.5, settled);
  }

  // Thrashing: every joint sent to a random angle in its range four times a
  // second for 10 s, standing or fallen. Nothing may diverge.
  std::printf("\nthrashing, 10 s:\n");
  place(zero);
  unsigned seed = 12345;
  auto rnd = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return (seed >> 8) / double(1u << 24);
  };
  double vmax = 0;
  int max_contacts = 0;
  double t_start = d->time;
  while (d->time - t_start < 10.0) {
    if (std::fmod(d->time - t_start, 0.25) < m->opt.timestep * 0.5) {
      Pose c;
      for (int i = 0; i < kJointCount; ++i) {
        int j = mj_name2id(m, mjOBJ_JOINT, kJoints[i].name);
        c[i] = m->jnt_range[2 * j] + rnd() * (m->jnt_range[2 * j + 1] - m->jnt_range[2 * j]);
      }
      set_ctrl(c);
    }
    mj_step(m, d);
    for (int i = 0; i < kJointCount; ++i) {
      vmax = std::max(
          vmax, std::fabs(d->qvel[m->jnt_dofadr[mj_name2id(m, mjOBJ_JOINT, kJoints[i].name)]]));
    }
    max_contacts = std::max(max_contacts, d->ncon);
  }
  std::printf("  fastest joint %.2f rad/s, most contacts %d, pelvis z %.3f m\n", vmax, max_contacts,
              d->xpos[3 * pelvis + 2]);
  expect(warnings() == 0 && std::isfinite(d->qpos[2]), "no warnings, no divergence");
  print_warnings();

  for (const std::string &file : plays) play(file, pelvis);

  std::printf("\n%s\n", failures ? "FAILED" : "all checks pass");
  mj_deleteData(d);
  mj_deleteModel(m);
  return failures ? 1 : 0;
}

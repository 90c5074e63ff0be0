// Development tool: draws the robot model offscreen, standing in a posture,
// to see what it looks like. Writes a binary PPM.
//
// Build (from the repository root):
//   g++ -std=c++20 -O2 -Wall -Wextra -I body_model standin/tools/model_shot.cpp -lmujoco -lOSMesa
//   -o model_shot
// Run:   ./model_shot standin/robot.xml out.ppm [front|side|back|head|wave] [W H]
#include <GL/osmesa.h>
#include <mujoco/mujoco.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "body_model.h"

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: model_shot MODEL.xml OUT.ppm [front|side|back|head|wave] [W H]\n");
    return 2;
  }
  std::string view = argc > 3 ? argv[3] : "front";
  int w = argc > 5 ? std::atoi(argv[4]) : 800, h = argc > 5 ? std::atoi(argv[5]) : 600;
  char error[1000] = "";
  mjModel *m = mj_loadXML(argv[1], nullptr, error, sizeof error);
  if (!m) {
    std::fprintf(stderr, "model_shot: %s: %s\n", argv[1], error);
    return 1;
  }
  mjData *d = mj_makeData(m);
  if (view == "wave") {
    d->qpos[m->jnt_qposadr[mj_name2id(m, mjOBJ_JOINT, "rarm_joint_2")]] = -1.35;
    d->qpos[m->jnt_qposadr[mj_name2id(m, mjOBJ_JOINT, "rarm_joint_4")]] = -1.1;
  }
  mj_forward(m, d);

  OSMesaContext ctx = OSMesaCreateContextExt(OSMESA_RGBA, 24, 8, 8, nullptr);
  std::vector<unsigned char> buffer(size_t(w) * h * 4);
  if (!ctx || !OSMesaMakeCurrent(ctx, buffer.data(), GL_UNSIGNED_BYTE, w, h)) {
    std::fprintf(stderr, "model_shot: no OSMesa context\n");
    return 1;
  }
  mjvScene scn;
  mjvCamera cam;
  mjvOption opt;
  mjrContext con;
  mjv_defaultScene(&scn);
  mjv_defaultCamera(&cam);
  mjv_defaultOption(&opt);
  mjr_defaultContext(&con);
  mjv_makeScene(m, &scn, 1000);
  mjr_makeContext(m, &con, mjFONTSCALE_100);
  mjr_setBuffer(mjFB_OFFSCREEN, &con);

  if (view == "head") {
    cam.type = mjCAMERA_FIXED;
    cam.fixedcamid = mj_name2id(m, mjOBJ_CAMERA, "camera");
  } else {
    cam.type = mjCAMERA_FREE;
    cam.lookat[0] = 0;
    cam.lookat[1] = 0;
    cam.lookat[2] = 0.26;
    cam.distance = 0.95;
    cam.elevation = -12;
    cam.azimuth = view == "side" ? 90 : view == "back" ? 0 : 150;
    if (view == "wave") cam.azimuth = 180;
  }
  mjrRect viewport = {0, 0, w, h};
  mjv_updateScene(m, d, &opt, nullptr, &cam, mjCAT_ALL, &scn);
  mjr_render(viewport, &scn, &con);
  std::vector<unsigned char> rgb(size_t(w) * h * 3);
  mjr_readPixels(rgb.data(), nullptr, viewport, &con);

  std::FILE *out = std::fopen(argv[2], "wb");
  if (!out) {
    std::perror(argv[2]);
    return 1;
  }
  std::fprintf(out, "P6\n%d %d\n255\n", w, h);
  // Rows come bottom-up.
  for (int y = h - 1; y >= 0; --y)
    std::fwrite(rgb.data() + size_t(y) * w * 3, 1, size_t(w) * 3, out);
  std::fclose(out);

  mjr_freeContext(&con);
  mjv_freeScene(&scn);
  OSMesaDestroyContext(ctx);
  mj_deleteData(d);
  mj_deleteModel(m);
  return 0;
}

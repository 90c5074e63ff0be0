// A second libController.so, to show that the one first on LD_LIBRARY_PATH
// is the one the programs run on. It announces itself and ends the process.
#include <unistd.h>

#include <cstdio>

#include "body_model.h"

extern "C" {
void robot_live(void (*)(void)) {
  std::fputs("fake controller library\n", stdout);
  std::fflush(stdout);
  _exit(0);
}
int robot_step(int) {
  return 0;
}
DeviceId robot_get_device(const char *) {
  return 0;
}
void servo_enable_position(DeviceId, int) {}
float servo_get_position(DeviceId) {
  return 0.0f;
}
void servo_set_position(DeviceId, float) {}
void touch_sensor_enable(DeviceId, int) {}
void gps_enable(DeviceId, int) {}
}

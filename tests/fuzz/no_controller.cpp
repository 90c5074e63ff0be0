// Controller library of the fuzz build: the targets never drive the robot,
// so every call does nothing and no device exists.
#include "body_model.h"

extern "C" {
void robot_live(void (*)(void)) {}
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

// walker: walks the robot where it is told, live.
//
//   walker [--script FILE] [--model FILE]
//
// It binds the robot's devices as the other programs do, takes over the
// posture the robot stands in, bends to the walking height and stands
// ready; then it walks by the commands of the script and of standard input,
// one control period after another, for as long as the simulator runs it.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "body_model.h"
#include "gait.h"
#include "loop.h"
#include "playback.h"
#include "robot_sensors.h"
#include "shell.h"

namespace {

constexpr char kUsage[] = "usage: walker [--script FILE] [--model FILE] [--open-loop]\n";
constexpr auto reset = reset_full;

[[noreturn]] void refuse(const std::string &why, int status) {
  std::fprintf(stderr, "walker: %s\n", why.c_str());
  std::exit(status);
}

}  // namespace

int main(int argc, char **argv) {
  keep_standard_streams_open();
  std::string model_path;
  std::string script_path;
  bool open_loop = false;
  for (int a = 1; a < argc; ++a) {
    const std::string_view arg = argv[a];
    if (arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--open-loop") {
      open_loop = true;
      continue;
    }
    if (arg == "--model" || arg == "--script") {
      if (a + 1 >= argc) refuse(std::string(arg) + " takes a file name", 2);
      (arg == "--model" ? model_path : script_path) = argv[++a];
      continue;
    }
    refuse("unknown argument " + std::string(arg) + "; --help lists them", 2);
  }
  // A bad script is refused before anything else happens.
  walker::Shell shell;
  if (!shell.load_script(script_path.empty() ? nullptr : script_path.c_str())) return 2;

  std::string error;
  const std::unique_ptr<robot::Model> model = robot::Model::load(model_path, &error);
  if (model == nullptr) refuse(error, 1);
  const gait::Settings settings;
  if (const std::string problem = gait::Engine::settings_problem(*model, settings);
      !problem.empty())
    refuse(problem, 1);

  robot_live(reset);
  for (const int i : robot::kLegJoints[robot::kLeft])
    if (joint[i] == 0) refuse(std::string("the robot has no servo ") + kJoints[i].name, 1);
  for (const int i : robot::kLegJoints[robot::kRight])
    if (joint[i] == 0) refuse(std::string("the robot has no servo ") + kJoints[i].name, 1);
  // The engine measures its limits by walking its own plans, a while in a
  // debug build: a robot it cannot drive is refused before that.
  gait::Engine engine(*model, settings);
  walker::Devices devices;
  devices.inertial_unit = robot_get_device("inertial unit");
  devices.gyro = robot_get_device("gyro");
  devices.accelerometer = robot_get_device("accelerometer");
  if (devices.inertial_unit == 0)
    std::fprintf(stderr,
                 "walker: the robot has no inertial unit: it walks, but cannot tell a fall\n");
  inertial_unit_enable(devices.inertial_unit, walker::kPeriodMs);
  gyro_enable(devices.gyro, walker::kPeriodMs);
  accelerometer_enable(devices.accelerometer, walker::kPeriodMs);
  touch_sensor_enable(left_touch, walker::kPeriodMs);
  touch_sensor_enable(right_touch, walker::kPeriodMs);
  robot_step(kFirstStepMs);

  shell.start(engine.limits());
  // The feedback needs the inertial unit and the gyro; without them the
  // same gait walks open loop.
  const char *open_why = open_loop                    ? "--open-loop"
                         : devices.inertial_unit == 0 ? "the robot has no inertial unit"
                         : devices.gyro == 0          ? "the robot has no gyro"
                                                      : nullptr;
  if (open_why != nullptr) {
    engine.open_loop();
    shell.open_loop(open_why);
  }
  walker::Loop loop(engine, devices, shell, shell);
  loop.run();
}

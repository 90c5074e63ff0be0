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

constexpr char kUsage[] = "usage: walker [--script FILE] [--model FILE]\n";
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
  for (int a = 1; a < argc; ++a) {
    const std::string_view arg = argv[a];
    if (arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
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
  gait::Settings settings;
  // TEMPORARY tuning hook.
  if (const char *tune = std::getenv("WALKER_TUNE")) {
    std::string t = tune;
    std::size_t p = 0;
    while (p < t.size()) {
      std::size_t e = t.find(',', p);
      if (e == std::string::npos) e = t.size();
      const std::string kv = t.substr(p, e - p);
      const std::size_t eq = kv.find('=');
      const std::string k = kv.substr(0, eq);
      const double v = std::atof(kv.c_str() + eq + 1);
      if (k == "sag") settings.sag = v != 0;
      if (k == "step_time") settings.step_time = v;
      if (k == "ds") settings.double_support = v;
      if (k == "lift") settings.lift = v;
      if (k == "height") settings.height = v;
      if (k == "preview") settings.preview = v;
      if (k == "share") settings.speed_share = v;
      if (k == "most_fwd") settings.most.forward = v;
      if (k == "most_turn") settings.most.turn = v;
      if (k == "most_side") settings.most.sideways = v;
      if (k == "most_back") settings.most.backward = v;
      p = e + 1;
    }
  }
  if (const std::string problem = gait::Engine::settings_problem(*model, settings);
      !problem.empty())
    refuse(problem, 1);
  gait::Engine engine(*model, settings);
  std::printf("walker: limits forward %.3f backward %.3f sideways %.3f turn %.3f\n",
              engine.limits().forward, engine.limits().backward, engine.limits().sideways,
              engine.limits().turn);

  robot_live(reset);
  for (const int i : robot::kLegJoints[robot::kLeft])
    if (joint[i] == 0) refuse(std::string("the robot has no servo ") + kJoints[i].name, 1);
  for (const int i : robot::kLegJoints[robot::kRight])
    if (joint[i] == 0) refuse(std::string("the robot has no servo ") + kJoints[i].name, 1);
  walker::Devices devices;
  devices.inertial_unit = robot_get_device("inertial unit");
  devices.gyro = robot_get_device("gyro");
  devices.accelerometer = robot_get_device("accelerometer");
  inertial_unit_enable(devices.inertial_unit, walker::kPeriodMs);
  gyro_enable(devices.gyro, walker::kPeriodMs);
  accelerometer_enable(devices.accelerometer, walker::kPeriodMs);
  touch_sensor_enable(left_touch, walker::kPeriodMs);
  touch_sensor_enable(right_touch, walker::kPeriodMs);
  robot_step(kFirstStepMs);

  shell.start(engine.limits());
  walker::Loop loop(engine, devices, shell, shell);
  loop.run();
}

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

namespace {

constexpr char kUsage[] = "usage: walker [--script FILE] [--model FILE]\n";
constexpr auto reset = reset_full;

// Until the shell's console and script are wired in: a plain script of
// "MS walk VX VY VT" and "MS stop" lines, read whole at the start.
class ScriptOrders : public walker::Orders {
 public:
  explicit ScriptOrders(const std::string &path) {
    if (path.empty()) return;
    std::FILE *f = std::fopen(path.c_str(), "r");
    if (f == nullptr) refuse_file(path);
    char line[256];
    while (std::fgets(line, sizeof line, f) != nullptr) {
      long ms = 0;
      double vx = 0, vy = 0, vt = 0;
      char word[16] = {};
      const int n = std::sscanf(line, "%ld %15s %lf %lf %lf", &ms, word, &vx, &vy, &vt);
      if (n < 2) continue;
      Timed t;
      t.ms = ms;
      t.order.kind = std::string_view(word) == "stop" ? walker::Order::Kind::kStop
                                                      : walker::Order::Kind::kWalk;
      t.order.velocity = gait::Velocity{vx, vy, vt};
      orders_.push_back(t);
    }
    std::fclose(f);
  }
  bool poll(std::int64_t now_ms, walker::Order *order) override {
    if (next_ >= orders_.size() || orders_[next_].ms > now_ms) return false;
    *order = orders_[next_++].order;
    return true;
  }

 private:
  [[noreturn]] static void refuse_file(const std::string &path) {
    std::fprintf(stderr, "walker: cannot read %s\n", path.c_str());
    std::exit(2);
  }
  struct Timed {
    std::int64_t ms = 0;
    walker::Order order;
  };
  std::vector<Timed> orders_;
  std::size_t next_ = 0;
};

// Until the shell's queue is wired in: said at once.
class Quiet : public walker::Words {
 public:
  void walking(std::int64_t ms, const gait::Velocity &v, const gait::Clamped &) override {
    std::printf("walker: %lld ms: walking %.3f %.3f %.3f\n", static_cast<long long>(ms), v.forward,
                v.left, v.turn);
  }
  void stopping(std::int64_t ms) override {
    std::printf("walker: %lld ms: stopping\n", static_cast<long long>(ms));
  }
  void standing(std::int64_t ms) override {
    std::printf("walker: %lld ms: standing\n", static_cast<long long>(ms));
  }
  void fell(std::int64_t ms, walker::FallDirection, double tilt) override {
    std::printf("walker: %lld ms: fell, tilt %.2f\n", static_cast<long long>(ms), tilt);
  }
};

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

  std::string error;
  const std::unique_ptr<robot::Model> model = robot::Model::load(model_path, &error);
  if (model == nullptr) refuse(error, 1);
  const gait::Settings settings;
  if (const std::string problem = gait::Engine::settings_problem(*model, settings);
      !problem.empty())
    refuse(problem, 1);
  gait::Engine engine(*model, settings);

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

  ScriptOrders orders(script_path);
  Quiet words;
  walker::Loop loop(engine, devices, orders, words);
  loop.run();
}

// A minimal controller for testing the controller library: it reads a
// script from stdin, one library call per line, makes the calls and prints
// what they return. Commands (<dev> is a name fetched earlier with `get`,
// or #<n> for the raw identifier n):
//   live                 robot_live with a callback that prints "callback"
//   live-null            robot_live without a callback
//   get <name>           robot_get_device; prints "<name> <id>"
//   enable <dev> <ms>    servo_enable_position
//   set <dev> <angle>    servo_set_position
//   pos <dev>            servo_get_position; prints "position <dev> <angle>"
//   step <ms>            robot_step
//   touch <dev> <ms>     touch_sensor_enable
//   gps <dev> <ms>       gps_enable
//   imu <dev> <ms>       inertial_unit_enable
//   gyro <dev> <ms>      gyro_enable
//   acc <dev> <ms>       accelerometer_enable
//   read-touch <dev>     touch_sensor_get_value; prints "read-touch <dev> <value>"
//   read-gps <dev>       gps_get_values; prints "read-gps <dev> <x> <y> <z>"
//   read-imu <dev>       inertial_unit_get_roll_pitch_yaw; prints "read-imu <dev> <r> <p> <y>"
//   read-gyro <dev>      gyro_get_values; prints "read-gyro <dev> <x> <y> <z>"
//   read-acc <dev>       accelerometer_get_values; prints "read-acc <dev> <x> <y> <z>"
//   say <text>           prints the text
//   flush                flushes stdout
//   thread <command>     runs one command on a second thread and joins it
//   background <command> starts one command on a second thread
//   join                 waits for the background command
//   repeat <n> <command> runs a command n times
//   forever <command>    runs a command until the process ends
//   exit                 calls exit(0)
// Output goes through stdio's buffer, so it shows only when flushed.
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <thread>

#include "body_model.h"
#include "robot_sensors.h"

namespace {

std::map<std::string, int, std::less<>> g_ids;  // identifiers fetched with `get`
std::thread *g_background = nullptr;            // `background` thread; never destroyed
std::string g_background_line;                  // its command, kept alive while it runs

bool parse_int(std::string_view text, long &value) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

// Float as strtof reads it, so "nan" and "inf" work too.
bool parse_float(std::string_view text, float &value) {
  std::string copy(text);
  char *end = nullptr;
  value = std::strtof(copy.c_str(), &end);
  return !copy.empty() && end == copy.c_str() + copy.size();
}

bool parse_device(std::string_view text, DeviceId &id) {
  long raw = 0;
  if (!text.empty() && text[0] == '#' && parse_int(text.substr(1), raw) && raw >= 0 && raw <= 255) {
    id = static_cast<DeviceId>(raw);
    return true;
  }
  auto found = g_ids.find(text);
  if (found == g_ids.end()) return false;
  id = static_cast<DeviceId>(found->second);
  return true;
}

// Splits "<dev> <number>" at the last space; device names may hold spaces.
bool split_last(std::string_view text, std::string_view &head, std::string_view &last) {
  std::size_t space = text.rfind(' ');
  if (space == std::string_view::npos) return false;
  head = text.substr(0, space);
  last = text.substr(space + 1);
  return true;
}

void callback() {
  std::printf("callback\n");
}

bool run(std::string_view line);

bool run_device_int(std::string_view args, void (*call)(DeviceId, int)) {
  std::string_view device, number;
  DeviceId id = 0;
  long ms = 0;
  if (!split_last(args, device, number) || !parse_device(device, id) || !parse_int(number, ms)) {
    return false;
  }
  call(id, static_cast<int>(ms));
  return true;
}

// Prints "<verb> <dev>" and the values read, each the shortest text that
// reads back as the same double.
bool run_read(std::string_view verb, std::string_view args, const double *(*call)(DeviceId)) {
  DeviceId id = 0;
  if (!parse_device(args, id)) return false;
  const double *values = call(id);
  std::printf("%.*s %.*s", static_cast<int>(verb.size()), verb.data(),
              static_cast<int>(args.size()), args.data());
  for (int k = 0; k < (verb == "read-touch" ? 1 : 3); ++k) {
    char text[32];
    auto end = std::to_chars(text, text + sizeof text, values[k]).ptr;
    std::printf(" %.*s", static_cast<int>(end - text), text);
  }
  std::printf("\n");
  return true;
}

// touch_sensor_get_value as the others: a pointer to its one value.
const double *touch_value(DeviceId id) {
  static double value;
  value = touch_sensor_get_value(id);
  return &value;
}

bool run(std::string_view line) {
  std::size_t space = line.find(' ');
  std::string_view verb = line.substr(0, space);
  std::string_view args = space == std::string_view::npos ? "" : line.substr(space + 1);
  if (verb == "live") {
    robot_live(callback);
  } else if (verb == "live-null") {
    robot_live(nullptr);
  } else if (verb == "get") {
    std::string name(args);
    int id = robot_get_device(name.c_str());
    g_ids[name] = id;
    std::printf("%s %d\n", name.c_str(), id);
  } else if (verb == "enable") {
    return run_device_int(args, servo_enable_position);
  } else if (verb == "touch") {
    return run_device_int(args, touch_sensor_enable);
  } else if (verb == "gps") {
    return run_device_int(args, gps_enable);
  } else if (verb == "imu") {
    return run_device_int(args, inertial_unit_enable);
  } else if (verb == "gyro") {
    return run_device_int(args, gyro_enable);
  } else if (verb == "acc") {
    return run_device_int(args, accelerometer_enable);
  } else if (verb == "read-touch") {
    return run_read(verb, args, touch_value);
  } else if (verb == "read-gps") {
    return run_read(verb, args, gps_get_values);
  } else if (verb == "read-imu") {
    return run_read(verb, args, inertial_unit_get_roll_pitch_yaw);
  } else if (verb == "read-gyro") {
    return run_read(verb, args, gyro_get_values);
  } else if (verb == "read-acc") {
    return run_read(verb, args, accelerometer_get_values);
  } else if (verb == "set") {
    std::string_view device, number;
    DeviceId id = 0;
    float angle = 0.0f;
    if (!split_last(args, device, number) || !parse_device(device, id) ||
        !parse_float(number, angle)) {
      return false;
    }
    servo_set_position(id, angle);
  } else if (verb == "pos") {
    DeviceId id = 0;
    if (!parse_device(args, id)) return false;
    char text[32];
    auto end = std::to_chars(text, text + sizeof text, servo_get_position(id)).ptr;
    std::printf("position %.*s %.*s\n", static_cast<int>(args.size()), args.data(),
                static_cast<int>(end - text), text);
  } else if (verb == "step") {
    long ms = 0;
    if (!parse_int(args, ms)) return false;
    robot_step(static_cast<int>(ms));
  } else if (verb == "say") {
    std::printf("%.*s\n", static_cast<int>(args.size()), args.data());
  } else if (verb == "flush") {
    std::fflush(stdout);
  } else if (verb == "thread") {
    bool ok = false;
    std::thread second([&] { ok = run(args); });
    second.join();
    return ok;
  } else if (verb == "background") {
    // Never destroyed, so an exit() on it does not meet a joinable thread.
    if (g_background != nullptr) return false;
    g_background_line = args;
    g_background = new std::thread([] { run(g_background_line); });
  } else if (verb == "join") {
    if (g_background == nullptr || !g_background->joinable()) return false;
    g_background->join();
  } else if (verb == "forever") {
    while (run(args)) {
    }
    return false;
  } else if (verb == "exit") {
    std::exit(0);
  } else if (verb == "repeat") {
    std::size_t gap = args.find(' ');
    long count = 0;
    if (gap == std::string_view::npos || !parse_int(args.substr(0, gap), count) || count < 0 ||
        count > 1000000) {
      return false;
    }
    for (long i = 0; i < count; ++i) {
      if (!run(args.substr(gap + 1))) return false;
    }
  } else {
    return false;
  }
  return true;
}

}  // namespace

int main() {
  char line[512];
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
    std::size_t length = std::strlen(line);
    if (length > 0 && line[length - 1] == '\n') line[--length] = '\0';
    if (length == 0) continue;
    if (!run(std::string_view(line, length))) std::fprintf(stderr, "probe: bad line: %s\n", line);
  }
  if (g_background != nullptr && g_background->joinable()) g_background->join();
  return 0;
}

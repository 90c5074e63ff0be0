// The stand-in robot's device table and the platform configuration read
// from the STANDIN_* environment variables.
#include <libgen.h>
#include <sys/stat.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>
#include <system_error>

#include "body_model.h"
#include "config_text.h"
#include "standin_internal.h"

namespace standin {

namespace {

// Names of the devices after the servos, identifiers 26..34.
constexpr const char *kSensorNames[kLastId - kServoCount] = {
    "left touch", "right touch",   "camera", "distance",     "gps",
    "emitter",    "inertial unit", "gyro",   "accelerometer"};

}  // namespace

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// Whole of `text` as a finite double.
bool parse_number(std::string_view text, double &value) {
  double parsed = 0.0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(parsed)) {
    return false;
  }
  value = parsed;
  return true;
}

// Whole of `text` as a 64-bit integer.
bool parse_integer(std::string_view text, std::int64_t &value) {
  std::int64_t parsed = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (error != std::errc() || end != text.data() + text.size()) return false;
  value = parsed;
  return true;
}

// The variable's value; nullptr when unset, blank, or refused as too long.
const char *read_env(const char *variable) {
  const char *value = std::getenv(variable);
  if (value == nullptr) return nullptr;
  std::size_t length = strnlen(value, kMaxEnvLength + 1);
  if (length > kMaxEnvLength) {
    report("%s is longer than %zu bytes; ignored", variable, kMaxEnvLength);
    return nullptr;
  }
  if (trim(std::string_view(value, length)).empty()) return nullptr;
  return value;
}

namespace {

void read_pace(Config &config) {
  const char *value = read_env("STANDIN_PACE");
  if (value == nullptr) return;
  std::string_view text = trim(value);
  double factor = 0.0;
  if (text == "realtime") {
    config.pace = 1.0;
  } else if (text == "fast") {
    config.pace = 0.0;
  } else if (parse_number(text, factor) && factor >= kMinPace && factor <= kMaxPace) {
    config.pace = factor;
  } else {
    report(
        "STANDIN_PACE=\"%s\" is not realtime, fast or a speed factor from 0.001 to 1000; "
        "pacing in real time",
        Quoted(value).text);
  }
}

void read_servo_speed(Config &config) {
  const char *value = read_env("STANDIN_SERVO_SPEED");
  if (value == nullptr) return;
  std::string_view text = trim(value);
  double speed = 0.0;
  if (text == "instant") {
    config.servo_speed = HUGE_VAL;
  } else if (parse_number(text, speed) && speed > 0.0) {
    config.servo_speed = speed;
  } else {
    report(
        "STANDIN_SERVO_SPEED=\"%s\" is not instant or a positive speed in rad/s; "
        "using 5.235987755982989 rad/s",
        Quoted(value).text);
  }
}

void read_stop(Config &config) {
  const char *value = read_env("STANDIN_STOP_MS");
  if (value == nullptr) return;
  std::int64_t stop = 0;
  if (parse_integer(trim(value), stop) && stop >= 0) {
    config.stop_ms = stop;
  } else {
    report("STANDIN_STOP_MS=\"%s\" is not a whole number of ms >= 0; running until killed",
           Quoted(value).text);
  }
}

void read_missing(Config &config) {
  const char *value = read_env("STANDIN_MISSING");
  if (value == nullptr) return;
  for_each_item(value, [&config](std::string_view item) {
    if (item == "joints") {
      for (int id = 1; id <= kServoCount; ++id) config.present[id] = false;
      return;
    }
    int id = device_id(item);
    if (id == 0) {
      report("STANDIN_MISSING: no device is named \"%s\"; ignored", Quoted(item).text);
    } else {
      config.present[id] = false;
    }
  });
}

void read_posture(Config &config) {
  const char *value = read_env("STANDIN_POSTURE");
  if (value == nullptr) return;
  for_each_item(value, [&config](std::string_view item) {
    std::size_t equals = item.find('=');
    double angle = 0.0;
    if (equals == std::string_view::npos || !parse_number(trim(item.substr(equals + 1)), angle)) {
      report("STANDIN_POSTURE: \"%s\" is not name=radians; ignored", Quoted(item).text);
      return;
    }
    std::string_view name = trim(item.substr(0, equals));
    int id = device_id(name);
    if (device_kind(id) != Kind::servo) {
      report("STANDIN_POSTURE: no servo is named \"%s\"; ignored", Quoted(name).text);
      return;
    }
    // A servo holds a float: beyond its range the read-back would be infinite.
    if (std::fabs(angle) > std::numeric_limits<float>::max()) {
      report("STANDIN_POSTURE: \"%s\" is beyond the float range; ignored", Quoted(item).text);
      return;
    }
    config.posture[id - 1] = angle;
  });
}

void read_world(Config &config) {
  const char *value = read_env("STANDIN_WORLD");
  if (value == nullptr) return;
  std::string_view text = trim(value);
  if (text == "physics" || text == "kinematic") {
    config.physics = text == "physics";
  } else {
    report("STANDIN_WORLD=\"%s\" is not physics or kinematic; using physics", Quoted(value).text);
  }
}

void read_view(Config &config) {
  const char *value = read_env("STANDIN_VIEW");
  if (value == nullptr) return;
  if (trim(value) == "window") {
    config.view_window = true;
  } else {
    report("STANDIN_VIEW=\"%s\" is not window; running without a view", Quoted(value).text);
  }
}

// The recording's format comes from its file name: .mp4, .gif or .png.
void read_record(Config &config) {
  const char *value = read_env("STANDIN_RECORD");
  if (value == nullptr) return;
  std::string_view name = value;
  std::size_t dot = name.rfind('.');
  std::string_view extension = dot == std::string_view::npos ? "" : name.substr(dot + 1);
  char lower[4] = "";
  for (std::size_t i = 0; i < extension.size() && i < 3; ++i) {
    lower[i] = static_cast<char>(extension[i] | 0x20);
  }
  std::string_view kind = extension.size() == 3 ? std::string_view(lower, 3) : "";
  RecordFormat format = kind == "mp4"   ? RecordFormat::mp4
                        : kind == "gif" ? RecordFormat::gif
                        : kind == "png" ? RecordFormat::png
                                        : RecordFormat::none;
  if (format == RecordFormat::none) {
    report("STANDIN_RECORD=\"%s\" does not end in .mp4, .gif or .png; not recording",
           Quoted(value).text);
    return;
  }
  config.record_path = value;
  config.record_format = format;
}

// WxH, each side even (the video's colour planes are halved) and within bounds.
void read_record_size(Config &config) {
  const char *value = read_env("STANDIN_RECORD_SIZE");
  if (value == nullptr) return;
  std::string_view text = trim(value);
  std::size_t x = text.find('x');
  std::int64_t width = 0;
  std::int64_t height = 0;
  if (x != std::string_view::npos && parse_integer(trim(text.substr(0, x)), width) &&
      parse_integer(trim(text.substr(x + 1)), height) && width >= kMinRecordSide &&
      width <= kMaxRecordWidth && height >= kMinRecordSide && height <= kMaxRecordHeight &&
      width % 2 == 0 && height % 2 == 0) {
    config.record_width = static_cast<int>(width);
    config.record_height = static_cast<int>(height);
  } else {
    report(
        "STANDIN_RECORD_SIZE=\"%s\" is not WxH with even sides from %dx%d to %dx%d; "
        "using %dx%d",
        Quoted(value).text, kMinRecordSide, kMinRecordSide, kMaxRecordWidth, kMaxRecordHeight,
        kDefaultRecordWidth, kDefaultRecordHeight);
  }
}

// Degrees, within ±360: where the recordings' and the window's camera
// starts looking from.
void read_camera_azimuth(Config &config) {
  const char *value = read_env("STANDIN_CAMERA_AZIMUTH");
  if (value == nullptr) return;
  double azimuth = 0.0;
  if (parse_number(trim(value), azimuth) && std::fabs(azimuth) <= kMaxCameraAzimuth) {
    config.camera_azimuth = azimuth;
  } else {
    report("STANDIN_CAMERA_AZIMUTH=\"%s\" is not degrees from %g to %g; using %g",
           Quoted(value).text, -kMaxCameraAzimuth, kMaxCameraAzimuth, kDefaultCameraAzimuth);
  }
}

// One push, AT_MS:FX,FY,FZ:FOR_MS; false when any part is missing or out of bounds.
bool parse_push(std::string_view item, Push &push) {
  std::size_t first = item.find(':');
  std::size_t second = first == std::string_view::npos ? first : item.find(':', first + 1);
  if (second == std::string_view::npos || item.find(':', second + 1) != std::string_view::npos) {
    return false;
  }
  if (!parse_integer(trim(item.substr(0, first)), push.at_ms) || push.at_ms < 0 ||
      push.at_ms > kMaxPushMs) {
    return false;
  }
  if (!parse_integer(trim(item.substr(second + 1)), push.for_ms) || push.for_ms < 1 ||
      push.for_ms > kMaxPushMs) {
    return false;
  }
  std::string_view rest = item.substr(first + 1, second - first - 1);
  for (int k = 0; k < 3; ++k) {
    std::size_t comma = k < 2 ? rest.find(',') : rest.size();
    if (comma == std::string_view::npos) return false;
    if (!parse_number(trim(rest.substr(0, comma)), push.force[k]) ||
        std::fabs(push.force[k]) > kMaxPushForce) {
      return false;
    }
    rest = k < 2 ? rest.substr(comma + 1) : std::string_view();
  }
  return true;
}

// Pushes separated by ';'. One bad push spoils them all: a test half run
// would be taken for the whole one.
void read_pushes(Config &config) {
  const char *value = read_env("STANDIN_PUSH");
  if (value == nullptr) return;
  std::string_view rest = value;
  int count = 0;
  while (!rest.empty()) {
    std::size_t semicolon = rest.find(';');
    std::string_view item = trim(rest.substr(0, semicolon));
    rest = semicolon == std::string_view::npos ? std::string_view() : rest.substr(semicolon + 1);
    if (item.empty()) continue;
    if (count == kMaxPushes) {
      report("STANDIN_PUSH holds more than %d pushes; no pushes", kMaxPushes);
      return;
    }
    if (!parse_push(item, config.pushes[count])) {
      report(
          "STANDIN_PUSH: \"%s\" is not AT_MS:FX,FY,FZ:FOR_MS (a start in whole ms from 0, "
          "forces from -%g to %g N, a length of 1 ms or more); no pushes",
          Quoted(item).text, kMaxPushForce, kMaxPushForce);
      return;
    }
    ++count;
  }
  config.push_count = count;
}

// A list of overlay words separated by commas: balance, joints. One bad
// word and the run draws no overlay at all, rather than half of what was asked.
void read_overlay(Config &config) {
  const char *value = read_env("STANDIN_OVERLAY");
  if (value == nullptr) return;
  bool balance = false;
  bool joints = false;
  std::string_view rest = value;
  while (true) {
    std::size_t comma = rest.find(',');
    std::string_view word = trim(rest.substr(0, comma));
    if (word == "balance") {
      balance = true;
    } else if (word == "joints") {
      joints = true;
    } else {
      report("STANDIN_OVERLAY=\"%s\" is not balance, joints or balance,joints; drawing no overlay",
             Quoted(value).text);
      return;
    }
    if (comma == std::string_view::npos) break;
    rest = rest.substr(comma + 1);
  }
  config.overlay_balance = balance;
  config.overlay_joints = joints;
}

// Views and recordings draw the physics world; the kinematic world has no bodies to draw.
void check_view_world(Config &config) {
  if (config.physics || (!config.view_window && config.record_path == nullptr)) return;
  report("%s the physics world (STANDIN_WORLD=physics); running without %s",
         config.view_window && config.record_path != nullptr
             ? "STANDIN_VIEW and STANDIN_RECORD need"
         : config.view_window ? "STANDIN_VIEW needs"
                              : "STANDIN_RECORD needs",
         config.view_window && config.record_path != nullptr ? "a view or a recording"
         : config.view_window                                ? "a view"
                                                             : "a recording");
  config.view_window = false;
  config.record_path = nullptr;
  config.record_format = RecordFormat::none;
}

// The directory part of `path`, into `out` (of kMaxEnvLength + 1 bytes).
const char *parent_of(const char *path, char *out) {
  std::size_t length = strnlen(path, kMaxEnvLength);
  std::memcpy(out, path, length);
  out[length] = '\0';
  return dirname(out);
}

// Whether two paths name one file: the same existing regular file, or the
// same name in the same directory for files yet to be made. Devices such as
// /dev/null may take any number of writers.
bool same_file(const char *a, const char *b) {
  struct stat first {};
  struct stat second {};
  bool a_exists = stat(a, &first) == 0;
  bool b_exists = stat(b, &second) == 0;
  if (a_exists && b_exists) {
    return S_ISREG(first.st_mode) && first.st_dev == second.st_dev && first.st_ino == second.st_ino;
  }
  if (a_exists || b_exists) return false;
  static char a_copy[kMaxEnvLength + 1];
  static char b_copy[kMaxEnvLength + 1];
  std::memcpy(a_copy, a, strnlen(a, kMaxEnvLength) + 1);
  std::memcpy(b_copy, b, strnlen(b, kMaxEnvLength) + 1);
  if (std::strcmp(basename(a_copy), basename(b_copy)) != 0) return false;
  static char a_dir[kMaxEnvLength + 1];
  static char b_dir[kMaxEnvLength + 1];
  return stat(parent_of(a, a_dir), &first) == 0 && stat(parent_of(b, b_dir), &second) == 0 &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

// Two outputs in one file would interleave into nonsense: the trace is
// kept first, then the posture log, then the recording.
void check_shared_files(Config &config) {
  if (config.trace_path != nullptr && config.posture_log_path != nullptr &&
      same_file(config.trace_path, config.posture_log_path)) {
    report(
        "STANDIN_POSTURE_LOG names the same file as STANDIN_TRACE; running without a posture log");
    config.posture_log_path = nullptr;
  }
  if (config.record_path == nullptr) return;
  const char *other =
      config.trace_path != nullptr && same_file(config.trace_path, config.record_path)
          ? "STANDIN_TRACE"
      : config.posture_log_path != nullptr && same_file(config.posture_log_path, config.record_path)
          ? "STANDIN_POSTURE_LOG"
          : nullptr;
  if (other == nullptr) return;
  report("STANDIN_RECORD names the same file as %s; running without recording", other);
  config.record_path = nullptr;
  config.record_format = RecordFormat::none;
}

}  // namespace

Kind device_kind(int id) {
  if (id >= 1 && id <= kServoCount) return Kind::servo;
  switch (id) {
    case kLeftTouchId:
    case kRightTouchId:
      return Kind::touch;
    case kCameraId:
      return Kind::camera;
    case kDistanceId:
      return Kind::distance;
    case kGpsId:
      return Kind::gps;
    case kEmitterId:
      return Kind::emitter;
    case kInertialUnitId:
      return Kind::inertial_unit;
    case kGyroId:
      return Kind::gyro;
    case kAccelerometerId:
      return Kind::accelerometer;
    default:
      return Kind::none;
  }
}

const char *device_name(int id) {
  if (id >= 1 && id <= kServoCount) return kJoints[id - 1].name;
  if (id > kServoCount && id <= kLastId) return kSensorNames[id - kServoCount - 1];
  return nullptr;
}

int device_id(std::string_view name) {
  for (int id = 1; id <= kLastId; ++id) {
    if (name == device_name(id)) return id;
  }
  return 0;
}

void read_config(Config &config) {
  config = Config();
  for (int id = 1; id <= kLastId; ++id) config.present[id] = true;
  read_pace(config);
  read_servo_speed(config);
  read_stop(config);
  read_missing(config);
  read_posture(config);
  config.trace_path = read_env("STANDIN_TRACE");
  config.posture_log_path = read_env("STANDIN_POSTURE_LOG");
  read_world(config);
  config.model_path = read_env("STANDIN_MODEL");
  read_view(config);
  config.frame_log_path = read_env("STANDIN_FRAME_LOG");
  read_record(config);
  read_record_size(config);
  read_camera_azimuth(config);
  read_pushes(config);
  read_overlay(config);
  read_imperfections(config);
  check_view_world(config);
  check_shared_files(config);
  if (config.push_count > 0 && !config.physics) {
    report("STANDIN_PUSH needs the physics world (STANDIN_WORLD=physics); no pushes");
    config.push_count = 0;
  }
}

}  // namespace standin

// The imperfect robot's settings: read from the environment, each bad
// value told in one line and its default kept, and the settings in effect
// told in one line, in the environment's own words, so that a run's
// stderr says which robot it ran.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <string_view>

#include "body_model.h"
#include "config_text.h"
#include "standin_internal.h"

namespace standin {

namespace {

// A number from `low` to `high` of the variable, or false with nothing read.
bool read_bounded(std::string_view text, double low, double high, double &value) {
  double read = 0.0;
  if (!parse_number(trim(text), read) || read < low || read > high) return false;
  value = read;
  return true;
}

// "A,B": two numbers, each within ±bound.
bool read_pair(std::string_view text, double bound, double *pair) {
  std::size_t comma = text.find(',');
  if (comma == std::string_view::npos) return false;
  double first = 0.0;
  double second = 0.0;
  if (!read_bounded(text.substr(0, comma), -bound, bound, first) ||
      !read_bounded(text.substr(comma + 1), -bound, bound, second)) {
    return false;
  }
  pair[0] = first;
  pair[1] = second;
  return true;
}

// "VALUE" or "VALUE:SEED", the seed a whole number >= 0; `seed` is kept
// when it is left out and `seed_needed` is false.
bool read_seeded(std::string_view text, double low, double high, bool seed_needed, double &value,
                 std::uint64_t &seed) {
  std::size_t colon = text.find(':');
  std::int64_t read_seed = 0;
  if (colon == std::string_view::npos) {
    if (seed_needed) return false;
  } else if (!parse_integer(trim(text.substr(colon + 1)), read_seed) || read_seed < 0) {
    return false;
  }
  double read = 0.0;
  if (!read_bounded(text.substr(0, colon), low, high, read)) return false;
  value = read;
  if (colon != std::string_view::npos) seed = static_cast<std::uint64_t>(read_seed);
  return true;
}

void read_latency(Imperfections &s) {
  const char *value = read_env("STANDIN_SERVO_LATENCY");
  if (value == nullptr) return;
  std::int64_t ms = 0;
  if (parse_integer(trim(value), ms) && ms >= 0 && ms <= kMaxLatencyMs) {
    s.latency_ms = static_cast<int>(ms);
  } else {
    report("STANDIN_SERVO_LATENCY=\"%s\" is not a whole number of ms from 0 to %d; no latency",
           Quoted(value).text, kMaxLatencyMs);
  }
}

// A rad setting from 0 to kMaxPlay: the backlash or the deadband.
void read_play(const char *variable, const char *otherwise, double &play) {
  const char *value = read_env(variable);
  if (value == nullptr) return;
  if (!read_bounded(value, 0.0, kMaxPlay, play)) {
    report("%s=\"%s\" is not an angle from 0 to %g rad; %s", variable, Quoted(value).text, kMaxPlay,
           otherwise);
  }
}

// name=radians pairs, as STANDIN_POSTURE has them: a bad pair is told and
// left out, the others kept.
void read_offsets(Imperfections &s) {
  const char *value = read_env("STANDIN_SERVO_OFFSETS");
  if (value == nullptr) return;
  for_each_item(value, [&s](std::string_view item) {
    std::size_t equals = item.find('=');
    double offset = 0.0;
    if (equals == std::string_view::npos ||
        !read_bounded(item.substr(equals + 1), -kMaxOffset, kMaxOffset, offset)) {
      report("STANDIN_SERVO_OFFSETS: \"%s\" is not name=radians from %g to %g; ignored",
             Quoted(item).text, -kMaxOffset, kMaxOffset);
      return;
    }
    std::string_view name = trim(item.substr(0, equals));
    int id = device_id(name);
    if (device_kind(id) != Kind::servo) {
      report("STANDIN_SERVO_OFFSETS: no servo is named \"%s\"; ignored", Quoted(name).text);
      return;
    }
    s.offset[id - 1] = offset;
  });
}

void read_scale(const char *variable, double low, double high, const char *otherwise,
                double &scale) {
  const char *value = read_env(variable);
  if (value == nullptr) return;
  if (!read_bounded(value, low, high, scale)) {
    report("%s=\"%s\" is not a factor from %g to %g; %s", variable, Quoted(value).text, low, high,
           otherwise);
  }
}

void read_com_shift(Imperfections &s) {
  const char *value = read_env("STANDIN_COM_SHIFT");
  if (value == nullptr) return;
  if (!read_pair(value, kMaxComShift, s.com_shift)) {
    report(
        "STANDIN_COM_SHIFT=\"%s\" is not X,Y in mm, each from %g to %g; the model's centre "
        "of mass",
        Quoted(value).text, -kMaxComShift, kMaxComShift);
  }
}

void read_friction(Imperfections &s) {
  const char *value = read_env("STANDIN_FLOOR_FRICTION");
  if (value == nullptr) return;
  if (!read_bounded(value, kMinFriction, kMaxFriction, s.friction)) {
    report("STANDIN_FLOOR_FRICTION=\"%s\" is not a friction from %g to %g; the model's friction",
           Quoted(value).text, kMinFriction, kMaxFriction);
  }
}

void read_slope(Imperfections &s) {
  const char *value = read_env("STANDIN_FLOOR_SLOPE");
  if (value == nullptr) return;
  if (!read_pair(value, kMaxSlope, s.slope)) {
    report(
        "STANDIN_FLOOR_SLOPE=\"%s\" is not DEG_X,DEG_Y, each from %g to %g degrees; a level "
        "floor",
        Quoted(value).text, -kMaxSlope, kMaxSlope);
  }
}

void read_bumps(Imperfections &s) {
  const char *value = read_env("STANDIN_FLOOR_BUMPS");
  if (value == nullptr) return;
  double mm = 0.0;
  if (!read_seeded(value, 0.0, kMaxBumps, true, mm, s.bumps_seed)) {
    report(
        "STANDIN_FLOOR_BUMPS=\"%s\" is not MM:SEED (a height from 0 to %g mm, a whole number "
        "seed from 0); a flat floor",
        Quoted(value).text, kMaxBumps);
    return;
  }
  s.bumps_mm = mm;
}

void read_noise(Imperfections &s) {
  const char *value = read_env("STANDIN_SENSOR_NOISE");
  if (value == nullptr) return;
  if (!read_seeded(value, 0.0, kMaxNoise, false, s.noise, s.noise_seed)) {
    report(
        "STANDIN_SENSOR_NOISE=\"%s\" is not SD or SD:SEED (a standard deviation from 0 to %g, a "
        "whole number seed from 0); no noise",
        Quoted(value).text, kMaxNoise);
  }
}

// Appends to a line of limited room; what does not fit is cut.
struct Line {
  char text[1900];
  std::size_t used = 0;
  void put(std::string_view part) {
    std::size_t room = sizeof text - 1 - used;
    std::size_t taken = part.size() < room ? part.size() : room;
    part.copy(text + used, taken);
    used += taken;
    text[used] = '\0';
  }
  // The shortest text that reads back as the same double.
  void put(double value) {
    char number[32];
    put(std::string_view(number, std::to_chars(number, number + sizeof number, value).ptr));
  }
  void put(std::uint64_t value) {
    char number[24];
    put(std::string_view(number, std::to_chars(number, number + sizeof number, value).ptr));
  }
};

}  // namespace

void read_imperfections(Config &config) {
  Imperfections &s = config.imperfect;
  read_latency(s);
  read_play("STANDIN_SERVO_BACKLASH", "no backlash", s.backlash);
  read_play("STANDIN_SERVO_DEADBAND", "no deadband", s.deadband);
  read_offsets(s);
  read_scale("STANDIN_SERVO_STRENGTH", kMinStrength, kMaxStrength, "full strength", s.strength);
  read_scale("STANDIN_MASS_SCALE", kMinMassScale, kMaxMassScale, "the model's masses",
             s.mass_scale);
  read_com_shift(s);
  read_friction(s);
  read_slope(s);
  read_bumps(s);
  read_noise(s);
}

void tell_imperfections(const Imperfections &s) {
  Line line;
  if (s.latency_ms != 0) {
    line.put(" STANDIN_SERVO_LATENCY=");
    line.put(static_cast<std::uint64_t>(s.latency_ms));
  }
  if (s.backlash != 0.0) {
    line.put(" STANDIN_SERVO_BACKLASH=");
    line.put(s.backlash);
  }
  if (s.deadband != 0.0) {
    line.put(" STANDIN_SERVO_DEADBAND=");
    line.put(s.deadband);
  }
  const char *separator = " STANDIN_SERVO_OFFSETS=";
  for (int i = 0; i < kServoCount; ++i) {
    if (s.offset[i] == 0.0) continue;
    line.put(separator);
    line.put(kJoints[i].name);
    line.put("=");
    line.put(s.offset[i]);
    separator = ",";
  }
  if (s.strength != 1.0) {
    line.put(" STANDIN_SERVO_STRENGTH=");
    line.put(s.strength);
  }
  if (s.mass_scale != 1.0) {
    line.put(" STANDIN_MASS_SCALE=");
    line.put(s.mass_scale);
  }
  if (s.com_shift[0] != 0.0 || s.com_shift[1] != 0.0) {
    line.put(" STANDIN_COM_SHIFT=");
    line.put(s.com_shift[0]);
    line.put(",");
    line.put(s.com_shift[1]);
  }
  if (s.friction != 0.0) {
    line.put(" STANDIN_FLOOR_FRICTION=");
    line.put(s.friction);
  }
  if (s.slope[0] != 0.0 || s.slope[1] != 0.0) {
    line.put(" STANDIN_FLOOR_SLOPE=");
    line.put(s.slope[0]);
    line.put(",");
    line.put(s.slope[1]);
  }
  if (s.bumps_mm != 0.0) {
    line.put(" STANDIN_FLOOR_BUMPS=");
    line.put(s.bumps_mm);
    line.put(":");
    line.put(s.bumps_seed);
  }
  if (s.noise != 0.0) {
    line.put(" STANDIN_SENSOR_NOISE=");
    line.put(s.noise);
    line.put(":");
    line.put(s.noise_seed);
  }
  if (line.used > 0) report("the imperfect robot:%s", line.text);
}

}  // namespace standin

// Robot body model: joint names and numbers, pulse calibration, device
// binding, the two servo output orders and the motion-file row codec.
#include "body_model.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>
#include <system_error>

std::array<DeviceId, kJointCount> joint = {};  // servos by JointIndex, 0 if missing
DeviceId left_touch = 0;                       // "left touch" sensor
DeviceId right_touch = 0;                      // "right touch" sensor
DeviceId camera = 0;                           // bound by the full reset, never used
DeviceId distance = 0;                         // bound by the full reset, never used
DeviceId gps = 0;                              // enabled by the players
DeviceId emitter = 0;                          // only its absence is reported

namespace {

// Syntax that parse_csv_row accepts, in the scanf-family notation.
constexpr std::string_view kRowScanFormat =
    "%d, %d, %d, %d, %d, %d ,%d, %d, %d, %d, %d, %d, %d, %d, %d, %d, %d, %d, %d, %d, %d, %d, "
    "%d, %c ,%c ,%c,%c ";
// Integer fields of a row: period, field 2, the 21 joint columns.
constexpr int kRowNumbers = 2 + kNumberedJoints;

// Servo sampling period for position read-back, ms.
constexpr int kServoSampleMs = 64;

// isspace in the C locale.
constexpr bool isCSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}
constexpr bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// One directive of the row format.
enum class RowStep : unsigned char {
  kSkipSpace,  // skip any run of C-locale white space, possibly empty
  kLiteral,    // this exact character must come next
  kNumber,     // %d: white space, optional sign, at least one digit
  kChar,       // %c: any one character, white space included
};

struct RowDirective {
  RowStep step;
  char literal;  // the character a kLiteral step expects
};

// The row format turned into directives once, at compile time.
struct RowProgram {
  std::array<RowDirective, kRowScanFormat.size()> steps{};
  int count = 0;    // directives in use
  int numbers = 0;  // %d fields
  int chars = 0;    // %c fields
  bool valid = true;
};

constexpr RowProgram compileRowFormat(std::string_view format) {
  RowProgram prog;
  for (std::size_t k = 0; k < format.size(); ++k) {
    const char c = format[k];
    RowDirective d{RowStep::kLiteral, c};
    if (isCSpace(c)) {
      // A run of white space in the format is one directive.
      if (prog.count > 0 && prog.steps[prog.count - 1].step == RowStep::kSkipSpace) continue;
      d.step = RowStep::kSkipSpace;
    } else if (c == '%') {
      const char conv = k + 1 < format.size() ? format[++k] : '\0';
      if (conv == 'd' && prog.chars == 0) {
        d.step = RowStep::kNumber;
        ++prog.numbers;
      } else if (conv == 'c') {
        d.step = RowStep::kChar;
        ++prog.chars;
      } else {
        prog.valid = false;
      }
    }
    prog.steps[prog.count++] = d;
  }
  return prog;
}

constexpr RowProgram kRowProgram = compileRowFormat(kRowScanFormat);  // the row parser's script
static_assert(kRowProgram.valid && kRowProgram.numbers == kRowNumbers &&
              kRowProgram.numbers + kRowProgram.chars == kRowFields);

// Destination of integer field f (0-based) of a row.
int &numberField(MotionRow &row, int f) {
  if (f == 0) return row.period;
  if (f == 1) return row.field2;
  return row.pulses[kColumnOrder[f - 2]];
}

// Reads one %d at p, storing it in value. Returns the position after it,
// or nullptr when the text there is not a number that fits in an int.
const char *scanNumber(const char *p, const char *end, int &value) {
  while (p != end && isCSpace(*p)) ++p;
  const char *from = p;
  if (p != end && (*p == '+' || *p == '-')) {
    // from_chars takes a minus sign itself but not a plus sign.
    if (*p == '+') from = p + 1;
    ++p;
  }
  if (p == end || !isDigit(*p)) return nullptr;
  const auto [next, ec] = std::from_chars(from, end, value);
  if (ec != std::errc()) return nullptr;
  return next;
}

// Steps common to both reset variants: announce, bind and enable the 25
// servos in one pass, then report the missing ones.
void bindJoints() {
  std::printf("starting reset\n");
  for (int i = 0; i < kJointCount; ++i) {
    joint[i] = robot_get_device(jointNum2Text(i));
    servo_enable_position(joint[i], kServoSampleMs);
  }
  for (int i = 0; i < kJointCount; ++i) {
    if (joint[i] == 0) std::printf("Joint %d is missing", i);
  }
}

}  // namespace

void keep_standard_streams_open() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lower ones are open by now, so /dev/null takes this number.
    const int opened = ::open("/dev/null", O_RDWR);
    if (opened > fd) {
      dup2(opened, fd);
      ::close(opened);
    }
  }
}

const char *jointNum2Text(int i) {
  if (i < 0 || i >= kJointCount) return "none";
  return kJoints[i].name;
}

int convertJoint(int number) {
  // Numbers outside 1..21 match no row and fall back to the body joint.
  if (number < 1 || number > kNumberedJoints) return 0;
  for (int i = 0; i < kJointCount; ++i) {
    if (kJoints[i].number == number) return i;
  }
  return 0;
}

int rad2pulse(float angle, int i) {
  if (i < 0 || i >= kJointCount || pulse[i] == 0) return 0;
  const double count = pulse[i] * static_cast<double>(angle) / kRadPerDegree;
  // Converting a double outside the int range is undefined: saturate.
  if (std::isnan(count)) return 0;
  if (count >= 2147483648.0) return std::numeric_limits<int>::max();
  if (count <= -2147483649.0) return std::numeric_limits<int>::min();
  return static_cast<int>(count);
}

double pulse2rad(int p, int i) {
  if (i < 0 || i >= kJointCount || pulse[i] == 0) return 0.0;
  return p * kRadPerDegree / pulse[i];
}

void reset_touch() {
  bindJoints();
  left_touch = robot_get_device("left touch");
  right_touch = robot_get_device("right touch");
  // Make the start-up report visible before the control loop begins.
  std::fflush(stdout);
}

void reset_full() {
  bindJoints();
  camera = robot_get_device("camera");
  distance = robot_get_device("distance");
  left_touch = robot_get_device("left touch");
  right_touch = robot_get_device("right touch");
  gps = robot_get_device("gps");
  emitter = robot_get_device("emitter");
  if (emitter == 0) std::printf("missing emitter\n");
  std::fflush(stdout);
}

void read_posture(Posture &posture) {
  for (int i = 0; i < kJointCount; ++i) posture[i] = servo_get_position(joint[i]);
}

void send_posture_head_first(const Posture &posture) {
  for (const int i : kHeadFirstOrder) servo_set_position(joint[i], narrow_angle(posture[i]));
}

void send_posture_body(const Posture &posture) {
  for (const int i : kBodyOrder) servo_set_position(joint[i], narrow_angle(posture[i]));
}

int write_csv_row(std::FILE *out, const PulseCounts &pulses) {
  return write_motion_row(out, 1, 2, pulses);
}

int write_motion_row(std::FILE *out, int period, int field2, const PulseCounts &pulses) {
  const auto col = [&pulses](int k) { return pulses[kColumnOrder[k]]; };
  // Written literally so that the compiler checks the 27 arguments.
  return std::fprintf(
      out, "%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d, %c ,%c ,%c,%c",
      period, field2, col(0), col(1), col(2), col(3), col(4), col(5), col(6), col(7), col(8),
      col(9), col(10), col(11), col(12), col(13), col(14), col(15), col(16), col(17), col(18),
      col(19), col(20), 'R', 'R', 'R', 'R');
}

int parse_csv_row(const char *line, MotionRow &row) {
  const char *p = line;
  const char *const end = line + std::strlen(line);
  int stored = 0;
  // Fields are stored as they match; the first mismatch ends the parse.
  for (int s = 0; s < kRowProgram.count; ++s) {
    const RowDirective d = kRowProgram.steps[s];
    switch (d.step) {
      case RowStep::kSkipSpace:
        while (p != end && isCSpace(*p)) ++p;
        break;
      case RowStep::kLiteral:
        if (p == end || *p != d.literal) return stored;
        ++p;
        break;
      case RowStep::kNumber: {
        int value = 0;
        p = scanNumber(p, end, value);
        if (p == nullptr) return stored;
        numberField(row, stored) = value;
        ++stored;
        break;
      }
      case RowStep::kChar:
        if (p == end) return stored;
        row.tail[stored - kRowNumbers] = *p++;
        ++stored;
        break;
    }
  }
  return stored;
}

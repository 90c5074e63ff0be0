// Robot body model shared by pose_tuner, motion_player and motion_skim:
// the joint table, pulse calibration, device binding, the two servo output
// orders, the motion-file row codec, and the controller library interface.
#pragma once

#include <array>
#include <cstddef>
#include <cstdio>
#include <limits>

// Controller library (libController.so). These prototypes are the whole
// contract with the simulator; any conforming library can be dropped in.
extern "C" {
typedef unsigned char DeviceId; /* 0 = no such device */
void robot_live(void (*callback)(void));
int robot_step(int ms); /* result unused */
DeviceId robot_get_device(const char *name);
void servo_enable_position(DeviceId servo, int ms);
float servo_get_position(DeviceId servo); /* radians */
void servo_set_position(DeviceId servo, float angle);
void touch_sensor_enable(DeviceId sensor, int ms);
void gps_enable(DeviceId gps, int ms);
}

// JointIndex: 0..24, index into the joint table and every per-joint array.
inline constexpr int kJointCount = 25;
// JointNumber: 1..21, the operator's numbering and the file's column order.
inline constexpr int kNumberedJoints = 21;

// Angles in radians, indexed by JointIndex.
using Posture = std::array<double, kJointCount>;
// Servo pulse counts, indexed by JointIndex.
using PulseCounts = std::array<int, kJointCount>;

// One row of the joint table.
struct JointInfo {
  const char *name;     // device name the robot offers the servo under
  int pulsesPerDegree;  // calibration; the sign is the servo's direction
  int number;           // JointNumber 1..21, 0 for joints that have none
};

// clang-format off
// name              pulses/deg  number      JointIndex
inline constexpr std::array<JointInfo, kJointCount> kJoints = {{
    {"body_joint_1",  209, 21},  // 0
    {"lleg_joint_1",  209, 11},  // 1
    {"lleg_joint_3",  209, 13},  // 2
    {"lleg_joint_2",  209, 12},  // 3
    {"lleg_joint_4", -209, 14},  // 4
    {"lleg_joint_5", -209, 15},  // 5
    {"lleg_joint_6", -209, 16},  // 6
    {"rleg_joint_1",  209,  1},  // 7
    {"rleg_joint_3", -209,  3},  // 8
    {"rleg_joint_2",  209,  2},  // 9
    {"rleg_joint_4",  209,  4},  // 10
    {"rleg_joint_5",  209,  5},  // 11
    {"rleg_joint_6", -209,  6},  // 12
    {"larm_joint_1", -209, 17},  // 13
    {"larm_joint_2",  209, 18},  // 14
    {"larm_joint_3", -209, 19},  // 15
    {"larm_joint_4",  209, 20},  // 16
    {"larm_joint_5",    0,  0},  // 17
    {"rarm_joint_1",  209,  7},  // 18
    {"rarm_joint_2",  209,  8},  // 19
    {"rarm_joint_3", -209,  9},  // 20
    {"rarm_joint_4", -209, 10},  // 21
    {"rarm_joint_5",    0,  0},  // 22
    {"head_joint_2",    0,  0},  // 23
    {"head_joint_1",    0,  0},  // 24
}};
// clang-format on
static_assert(kJoints.size() == kJointCount);

// The joint convention: what each joint does and which way is positive.
// Axes are given in the zero posture (standing straight, arms hanging,
// face forward) in the robot's frame: x forward, y to the robot's left,
// z up. A positive angle turns the part beyond the joint about its axis
// by the right-hand rule. In a pose symmetric about the body's mid-plane a
// joint and its counterpart hold left = mirror * right: +1 for joints that
// bend forward and back, -1 for those that turn sideways or about the limb.
struct JointMotion {
  const char *motion;    // what the joint moves
  const char *positive;  // what a positive angle does
  signed char axis[3];   // hinge axis in the zero posture, a unit vector
  int counterpart;       // JointIndex of the joint on the other side
  int mirror;            // +1 or -1
};

// clang-format off
// motion                positive angle                           axis         twin mirror  JointIndex
inline constexpr std::array<JointMotion, kJointCount> kJointConvention = {{
    {"waist pitch",      "bends the trunk forward",               { 0, 1, 0},   0, +1},  // 0 body_joint_1
    {"hip yaw",          "turns the toes to the left",            { 0, 0, 1},   7, -1},  // 1 lleg_joint_1
    {"hip pitch",        "swings the leg back",                   { 0, 1, 0},   8, +1},  // 2 lleg_joint_3
    {"hip roll",         "swings the leg to the left",            { 1, 0, 0},   9, -1},  // 3 lleg_joint_2
    {"knee",             "bends the knee, the shin going back",   { 0, 1, 0},  10, +1},  // 4 lleg_joint_4
    {"ankle pitch",      "points the toes down",                  { 0, 1, 0},  11, +1},  // 5 lleg_joint_5
    {"ankle roll",       "raises the left edge of the foot",      { 1, 0, 0},  12, -1},  // 6 lleg_joint_6
    {"hip yaw",          "turns the toes to the left",            { 0, 0, 1},   1, -1},  // 7 rleg_joint_1
    {"hip pitch",        "swings the leg back",                   { 0, 1, 0},   2, +1},  // 8 rleg_joint_3
    {"hip roll",         "swings the leg to the left",            { 1, 0, 0},   3, -1},  // 9 rleg_joint_2
    {"knee",             "bends the knee, the shin going back",   { 0, 1, 0},   4, +1},  // 10 rleg_joint_4
    {"ankle pitch",      "points the toes down",                  { 0, 1, 0},   5, +1},  // 11 rleg_joint_5
    {"ankle roll",       "raises the left edge of the foot",      { 1, 0, 0},   6, -1},  // 12 rleg_joint_6
    {"shoulder pitch",   "raises the arm forward",                { 0,-1, 0},  18, +1},  // 13 larm_joint_1
    {"shoulder roll",    "swings the arm to the left",            { 1, 0, 0},  19, -1},  // 14 larm_joint_2
    {"upper-arm turn",   "turns the upper arm to the left",       { 0, 0, 1},  20, -1},  // 15 larm_joint_3
    {"elbow",            "straightens it; negative bends it out", {-1, 0, 0},  21, +1},  // 16 larm_joint_4
    {"wrist turn",       "turns the hand to the left",            { 0, 0, 1},  22, -1},  // 17 larm_joint_5
    {"shoulder pitch",   "raises the arm forward",                { 0,-1, 0},  13, +1},  // 18 rarm_joint_1
    {"shoulder roll",    "swings the arm to the left",            { 1, 0, 0},  14, -1},  // 19 rarm_joint_2
    {"upper-arm turn",   "turns the upper arm to the left",       { 0, 0, 1},  15, -1},  // 20 rarm_joint_3
    {"elbow",            "straightens it; negative bends it out", { 1, 0, 0},  16, +1},  // 21 rarm_joint_4
    {"wrist turn",       "turns the hand to the left",            { 0, 0, 1},  17, -1},  // 22 rarm_joint_5
    {"head tilt",        "tilts the face down",                   { 0, 1, 0},  23, +1},  // 23 head_joint_2
    {"head turn",        "turns the face to the left",            { 0, 0, 1},  24, -1},  // 24 head_joint_1
}};
// clang-format on
static_assert(kJointConvention.size() == kJointCount);
static_assert(
    [] {
      for (int i = 0; i < kJointCount; ++i) {
        const JointMotion &m = kJointConvention[i];
        const JointMotion &twin = kJointConvention[m.counterpart];
        int norm = m.axis[0] * m.axis[0] + m.axis[1] * m.axis[1] + m.axis[2] * m.axis[2];
        if (norm != 1 || twin.counterpart != i || twin.mirror != m.mirror) return false;
        if (m.mirror != 1 && m.mirror != -1) return false;
        // The mirror image of an axis keeps its y and flips x and z.
        if (twin.axis[0] != -m.mirror * m.axis[0] || twin.axis[1] != m.mirror * m.axis[1] ||
            twin.axis[2] != -m.mirror * m.axis[2]) {
          return false;
        }
      }
      return true;
    }(),
    "every joint has a unit axis and a counterpart whose axis is its mirror image");

// Pulses per degree by JointIndex, taken from the joint table.
inline constexpr PulseCounts pulse = [] {
  PulseCounts p{};
  for (int i = 0; i < kJointCount; ++i) p[i] = kJoints[i].pulsesPerDegree;
  return p;
}();

// Output orders: JointIndex sequence in which servo commands are issued.
inline constexpr std::array<int, 23> kHeadFirstOrder = {
    24, 23, 0, 1, 3, 2, 4, 5, 6, 7, 9, 8, 10, 11, 12, 13, 14, 15, 16, 18, 19, 20, 21};
inline constexpr std::array<int, 21> kBodyOrder = {0,  1,  3,  2,  4,  5,  6,  7,  9,  8, 10,
                                                   11, 12, 13, 14, 15, 16, 18, 19, 20, 21};
// JointIndex of each joint column of a motion row, JointNumber 1..21 in turn.
inline constexpr std::array<int, kNumberedJoints> kColumnOrder = {
    7, 9, 8, 10, 11, 12, 18, 19, 20, 21, 1, 3, 2, 4, 5, 6, 13, 14, 15, 16, 0};
static_assert(kColumnOrder.size() == kNumberedJoints);

// Joint limits in rad as the tuner's display prints them, by JointNumber
// 1..21 (entry 0 is row 01). Nothing enforces them; motion_check warns.
struct JointLimits {
  const char *minText;  // printed as is, never reformatted
  const char *maxText;
  double min;  // the same values as numbers
  double max;
};

// clang-format off
// min text     max text     min         max         JointNumber
inline constexpr std::array<JointLimits, kNumberedJoints> kJointLimits = {{
    {"-1.58825",  "0.541052", -1.58825,   0.541052},  // 01 rleg_joint_1
    {"-0.541052", "0.36652",  -0.541052,  0.36652},   // 02 rleg_joint_2
    {"-1.43117",  "1.23918",  -1.43117,   1.23918},   // 03 rleg_joint_3
    {"-0.017453", "2.26893",  -0.017453,  2.26893},   // 04 rleg_joint_4
    {"-1.06465",  "1.06465",  -1.06465,   1.06465},   // 05 rleg_joint_5
    {"-0.43633",  "0.43633",  -0.43633,   0.43633},   // 06 rleg_joint_6
    {"-1.5882",   "2.6354",   -1.5882,    2.6354},    // 07 rarm_joint_1
    {"-1.6755",   "0.0175",   -1.6755,    0.0175},    // 08 rarm_joint_2
    {"-1.5882",   "1.5882",   -1.5882,    1.5882},    // 09 rarm_joint_3
    {"-2.0071",   "0.01745",  -2.0071,    0.01745},   // 10 rarm_joint_4
    {"-0.541052", "1.58825",  -0.541052,  1.58825},   // 11 lleg_joint_1
    {"-0.36652",  "0.541052", -0.36652,   0.541052},  // 12 lleg_joint_2
    {"-1.43117",  "1.23918",  -1.43117,   1.23918},   // 13 lleg_joint_3
    {"-0.017453", "2.26893",  -0.017453,  2.26893},   // 14 lleg_joint_4
    {"-1.06465",  "1.06465",  -1.06465,   1.06465},   // 15 lleg_joint_5
    {"-0.43633",  "0.43633",  -0.43633,   0.43633},   // 16 lleg_joint_6
    {"-1.5882",   "2.6354",   -1.5882,    2.6354},    // 17 larm_joint_1
    {"-0.0175",   "1.6755",   -0.0175,    1.6755},    // 18 larm_joint_2
    {"-1.5882",   "1.5882",   -1.5882,    1.5882},    // 19 larm_joint_3
    {"-2.0071",   "0.01745",  -2.0071,    0.01745},   // 20 larm_joint_4
    {"-0.017453", "1.5708",   -0.017453,  1.5708},    // 21 body_joint_1
}};
// clang-format on
static_assert(kJointLimits.size() == kNumberedJoints);

// pi/180 as a double: radians per degree.
inline constexpr double kRadPerDegree = 0.017453292519943295;

// An angle in rad narrowed to the servo interface's single precision.
// Beyond the float range it gives an infinity, as IEEE narrowing would,
// where a plain conversion is undefined; NaN stays NaN.
inline float narrow_angle(double angle) {
  constexpr double kMax = std::numeric_limits<float>::max();
  if (angle > kMax) return std::numeric_limits<float>::infinity();
  if (angle < -kMax) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(angle);
}

// Opens /dev/null on each of the descriptors 0, 1 and 2 that is closed, so
// that no file opened later takes its number and gets the console's text.
// Called first thing in main, before anything is opened.
void keep_standard_streams_open();

// Device name of JointIndex i; "none" outside 0..24.
const char *jointNum2Text(int i);
// JointIndex of JointNumber 1..21; any other number gives 0, the body joint.
int convertJoint(int number);
// Pulse count of `angle` rad on joint i, truncated toward zero. Saturates at
// the int range; NaN, joints with calibration 0 and i outside 0..24 give 0.
int rad2pulse(float angle, int i);
// Angle in rad of pulse count p on joint i. Meaningful only for the 21
// numbered joints; joints with calibration 0 and i outside 0..24 give 0.0.
double pulse2rad(int p, int i);

// Device identifiers, written once by reset and then only read.
extern std::array<DeviceId, kJointCount> joint;  // servos by JointIndex
extern DeviceId left_touch;                      // "left touch"
extern DeviceId right_touch;                     // "right touch"
extern DeviceId camera;                          // "camera", full variant only
extern DeviceId distance;                        // "distance", full variant only
extern DeviceId gps;                             // "gps", full variant only
extern DeviceId emitter;                         // "emitter", full variant only

// Start-up callbacks for robot_live. pose_tuner uses the touch variant,
// motion_player and motion_skim the full one; each names its choice `reset`.
void reset_touch();
void reset_full();

// Stores the 25 servo positions (rad) in `posture`, JointIndex 0..24.
void read_posture(Posture &posture);
// Commands 23 servos in kHeadFirstOrder, angles narrowed to float.
void send_posture_head_first(const Posture &posture);
// Commands 21 servos in kBodyOrder, angles narrowed to float.
void send_posture_body(const Posture &posture);

// Fields of one motion-file row.
struct MotionRow {
  int period = 0;                 // field 1: ms per row
  int field2 = 0;                 // field 2: unused by readers
  PulseCounts pulses = {};        // fields 3..23 by JointIndex; 17, 22, 23, 24 unused
  std::array<char, 4> tail = {};  // fields 24..27
};
// Fields in a row: period, field 2, 21 joint columns, 4 characters.
inline constexpr int kRowFields = 27;

// Writes one row: 1, 2, the 21 counts in column order and "R" four times,
// with no line end. Returns fprintf's result (negative on failure).
int write_csv_row(std::FILE *out, const PulseCounts &pulses);
// Writes one row with the given fields 1 and 2 (generators set the row
// period), otherwise exactly as write_csv_row.
int write_motion_row(std::FILE *out, int period, int field2, const PulseCounts &pulses);
// Parses a NUL-terminated line exactly as sscanf with the row format does,
// storing fields in order until the first that does not match; later fields
// keep their values. A number outside the int range does not match.
// Returns the number of fields stored, 0..27.
int parse_csv_row(const char *line, MotionRow &row);

// The robot library: the legs' inverse kinematics checked against MuJoCo's
// forward kinematics, its refusals, the model's figures, and the support
// polygon's margin against polygons drawn by hand.
#include "robot.h"

#include <gtest/gtest.h>
#include <mujoco/mujoco.h>
#include <sys/stat.h>
#include <unistd.h>

#include <Eigen/LU>
#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "placement.h"

namespace {

using robot::Data;
using robot::kLeft;
using robot::kRight;
using robot::Model;
using robot::PelvisPose;
using robot::Side;
using robot::SolePose;

std::unique_ptr<Model> load(const std::string &path = "") {
  std::string error;
  std::unique_ptr<Model> model = Model::load(path, &error);
  EXPECT_NE(model, nullptr) << error;
  return model;
}

// A target: the pelvis's pose and a sole moved from below its hip.
struct Target {
  double height;            // pelvis height, m
  double dx, dy, dz;        // sole moved from where the zero posture puts it, m
  double sole_yaw;          // rad
  double yaw, pitch, roll;  // pelvis, rad
};

// clang-format off
// height  dx      dy      dz     sole yaw  pelvis yaw pitch  roll
constexpr Target kReachable[] = {
    {0.280,  0.0,    0.0,    0.0,   0.0,     0.0,   0.0,   0.0},
    {0.260,  0.0,    0.0,    0.0,   0.0,     0.0,   0.0,   0.0},
    {0.230,  0.0,    0.0,    0.0,   0.0,     0.0,   0.0,   0.0},
    {0.200,  0.0,    0.0,    0.0,   0.0,     0.0,   0.0,   0.0},
    {0.250,  0.050,  0.0,    0.0,   0.0,     0.0,   0.0,   0.0},
    {0.250, -0.050,  0.0,    0.0,   0.0,     0.0,   0.0,   0.0},
    {0.250,  0.0,    0.020,  0.0,   0.0,     0.0,   0.0,   0.0},
    {0.250,  0.0,   -0.010,  0.0,   0.0,     0.0,   0.0,   0.0},
    {0.250,  0.020,  0.010,  0.030, 0.0,     0.0,   0.0,   0.0},
    {0.250,  0.0,    0.0,    0.0,   0.3,     0.0,   0.0,   0.0},
    {0.250,  0.0,    0.0,    0.0,  -0.3,     0.0,   0.0,   0.0},
    {0.250,  0.030,  0.010,  0.0,   0.2,     0.2,   0.0,   0.0},
    {0.250,  0.0,    0.0,    0.0,   0.0,     0.0,   0.15,  0.0},
    {0.250,  0.0,    0.0,    0.0,   0.0,     0.0,   0.0,   0.08},
    {0.250,  0.0,    0.0,    0.0,   0.0,     0.0,   0.0,  -0.08},
    {0.240,  0.020, -0.010,  0.020, 0.1,    -0.1,   0.1,   0.05},
};
// clang-format on

PelvisPose pelvis_of(const Target &t) {
  PelvisPose p;
  p.position = Eigen::Vector3d(0.0, 0.0, t.height);
  p.yaw = t.yaw;
  p.pitch = t.pitch;
  p.roll = t.roll;
  return p;
}

// Where the zero posture puts the sole when standing; the target moves it
// from there (the right sole to the mirror place and heading).
SolePose sole_of(Data &body, Side side, const Target &t) {
  PelvisPose upright;
  upright.position = Eigen::Vector3d(0.0, 0.0, body.model().standing_height());
  body.set_posture(Posture{}, upright);
  SolePose s = body.sole(side);
  s.position += Eigen::Vector3d(t.dx, side == kLeft ? t.dy : -t.dy, t.dz);
  s.yaw = side == kLeft ? t.sole_yaw : -t.sole_yaw;
  return s;
}

// Solves every reachable target on both legs, poses the robot with the
// angles and reads the sole back from MuJoCo.
void round_trip(Data &body) {
  for (const Target &t : kReachable) {
    for (Side side : {kLeft, kRight}) {
      SCOPED_TRACE(testing::Message() << "side " << side << " height " << t.height << " dx " << t.dx
                                      << " dy " << t.dy << " dz " << t.dz << " yaw " << t.sole_yaw
                                      << " pelvis " << t.yaw << "," << t.pitch << "," << t.roll);
      PelvisPose pelvis = pelvis_of(t);
      SolePose target = sole_of(body, side, t);
      robot::LegSolution solution = body.solve_leg(side, pelvis, target);
      ASSERT_TRUE(solution.ok) << solution.shortfall;
      Posture posture{};
      for (int k = 0; k < 6; ++k) posture[robot::kLegJoints[side][k]] = solution.angles[k];
      body.set_posture(posture, pelvis);
      SolePose got = body.sole(side);
      EXPECT_LT((got.position - target.position).norm(), 1e-4);
      EXPECT_LT(std::abs(std::remainder(got.yaw - target.yaw, 2 * M_PI)), 1e-3);
      // Flat: the sole's four corners at one height.
      for (const Eigen::Vector3d &corner : body.sole_corners(side))
        EXPECT_NEAR(corner.z(), target.position.z(), 1e-4);
    }
  }
}

}  // namespace

TEST(Kinematics, ClosedFormPutsTheSoleWhereAsked) {
  std::unique_ptr<Model> model = load();
  ASSERT_NE(model, nullptr);
  EXPECT_TRUE(model->closed_form(kLeft));
  EXPECT_TRUE(model->closed_form(kRight));
  Data body(*model);
  round_trip(body);
}

// A hip whose roll axis is moved off its yaw axis cannot be solved in
// closed form: the iterative solver takes it, to the same tolerance.
TEST(Kinematics, HipWhoseAxesDoNotMeetIsSolvedIteratively) {
  std::ifstream in(ROBOT_MODEL_PATH);
  std::stringstream text;
  text << in.rdbuf();
  std::string xml = text.str();
  for (const char *hip : {"<body name=\"l_hip_roll\" pos=\"0 0 -0.025\">",
                          "<body name=\"r_hip_roll\" pos=\"0 0 -0.025\">"}) {
    std::size_t at = xml.find(hip);
    ASSERT_NE(at, std::string::npos);
    std::string moved = hip;
    moved.replace(moved.find("pos=\"0 "), 7, "pos=\"0.008 ");
    xml.replace(at, std::string(hip).size(), moved);
  }
  std::filesystem::path path = std::filesystem::temp_directory_path() / "kinematics_offset.xml";
  std::ofstream(path) << xml;
  std::unique_ptr<Model> model = load(path.string());
  std::filesystem::remove(path);
  ASSERT_NE(model, nullptr);
  EXPECT_FALSE(model->closed_form(kLeft));
  EXPECT_FALSE(model->closed_form(kRight));
  Data body(*model);
  round_trip(body);
  Target high = {0.300, 0, 0, 0, 0, 0, 0, 0};
  robot::LegSolution far = body.solve_leg(kLeft, pelvis_of(high), sole_of(body, kLeft, high));
  EXPECT_FALSE(far.ok);
  EXPECT_NE(far.shortfall.find("mm out of reach"), std::string::npos) << far.shortfall;
}

// Targets the legs cannot take, and the phrase that says why.
struct Refusal {
  Target target;
  Side side;
  const char *phrase;
};

// clang-format off
constexpr Refusal kRefusals[] = {
    // height dx     dy     dz  sole yaw pelvis   side    phrase
    {{0.300,  0.0,   0.0,   0.0, 0.0,  0.0, 0.0, 0.0}, kLeft,  "the foot is 15.0 mm out of reach"},
    {{0.250,  0.200, 0.0,   0.0, 0.0,  0.0, 0.0, 0.0}, kRight, "mm out of reach"},
    {{0.250,  0.0,   0.0,   0.0, -0.8, 0.0, 0.0, 0.0}, kLeft,
     "lleg_joint_1 (hip yaw) needs -0.8000 rad, past its limit -0.5411 rad"},
    {{0.250,  0.0,   0.0,   0.0, -0.8, 0.0, 0.0, 0.0}, kRight,
     "rleg_joint_1 (hip yaw) needs 0.8000 rad, past its limit 0.5411 rad"},
    {{0.250,  0.0,  -0.090, 0.0, 0.0,  0.0, 0.0, 0.0}, kLeft,  "lleg_joint_2 (hip roll) needs"},
    {{0.150,  0.0,   0.0,   0.0, 0.0,  0.0, 0.0, 0.0}, kLeft,  "lleg_joint_4 (knee) needs"},
    // No place at all: out of reach, never a joint that "needs nan rad".
    {{0.250,  1e308, 0.0,   0.0, 0.0,  0.0, 0.0, 0.0}, kLeft,  "the foot is out of reach"},
};
// clang-format on

TEST(Kinematics, TargetsOutOfReachOrPastALimitAreRefusedSayingWhatIsShort) {
  std::unique_ptr<Model> model = load();
  ASSERT_NE(model, nullptr);
  Data body(*model);
  for (const Refusal &r : kRefusals) {
    SCOPED_TRACE(r.phrase);
    robot::LegSolution solution =
        body.solve_leg(r.side, pelvis_of(r.target), sole_of(body, r.side, r.target));
    EXPECT_FALSE(solution.ok);
    EXPECT_NE(solution.shortfall.find(r.phrase), std::string::npos) << solution.shortfall;
    // The loop's way, without text, says the same.
    robot::LegAngles angles;
    robot::LegFailure why;
    EXPECT_FALSE(body.solve_leg(r.side, pelvis_of(r.target), sole_of(body, r.side, r.target),
                                &angles, &why));
    EXPECT_EQ(robot::describe(why), solution.shortfall);
  }
}

// docs/physics.md: 3.00 kg, the centre of mass 0.277 m above the floor.
TEST(Kinematics, ZeroPostureHasTheDocumentedMassAndCentreOfMass) {
  std::unique_ptr<Model> model = load();
  ASSERT_NE(model, nullptr);
  EXPECT_NEAR(model->mass(), 3.00, 0.005);
  EXPECT_NEAR(model->standing_height(), 0.285, 1e-9);
  Data body(*model);
  PelvisPose standing;
  standing.position = Eigen::Vector3d(0.0, 0.0, model->standing_height());
  body.set_posture(Posture{}, standing);
  EXPECT_NEAR(body.com().z(), 0.277, 0.0005);
  EXPECT_NEAR(body.com().y(), 0.0, 1e-6);
}

TEST(Kinematics, ModelThatCannotBeReadIsOneLineAndNothingHangs) {
  std::string dir =
      std::filesystem::temp_directory_path() / ("kinematics_test_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  // Nobody writes to the FIFO: opening it would wait for ever.
  ASSERT_EQ(mkfifo((dir + "/fifo.xml").c_str(), 0600), 0);
  std::ofstream(dir + "/include.xml") << "<mujoco><include file='fifo.xml'/></mujoco>\n";
  struct Case {
    std::string path;
    std::string reason;  // after the model's name
  };
  const Case cases[] = {
      // path, reason
      {"/nonexistent/robot.xml", "No such file or directory"},
      {"/dev/null", "not a regular file"},
      {dir + "/include.xml",
       "it names \"" + dir + "/fifo.xml\", which is not a regular file of at most 64 MiB"},
  };
  for (const Case &c : cases) {
    std::string error;
    EXPECT_EQ(Model::load(c.path, &error), nullptr) << c.path;
    EXPECT_EQ(error, "cannot load the robot model \"" + c.path + "\": " + c.reason);
  }
  std::filesystem::remove_all(dir);
}

// --- The support polygon ---------------------------------------------------

// The one margin: the distance to the nearest point of the hull's boundary,
// positive inside, negative outside; a hull of one or two points has no
// inside. Polygons drawn by hand, their points in no order, with points
// inside and on edges that are no corners.
TEST(Support, MarginIsTheSignedDistanceToTheHullsBoundary) {
  using V = Eigen::Vector2d;
  const std::vector<V> square = {{0.1, 0.1}, {0.0, 0.0},  {0.05, 0.05}, {0.1, 0.0},
                                 {0.0, 0.1}, {0.05, 0.0}, {0.0, 0.0}};
  // Two squares 4 cm wide, one 8 cm ahead of the other: a 12 x 4 cm hull.
  const std::vector<V> feet = {{-0.02, -0.02}, {0.02, -0.02}, {0.02, 0.02}, {-0.02, 0.02},
                               {0.04, -0.02},  {0.06, -0.02}, {0.06, 0.02}, {0.04, 0.02}};
  const std::vector<V> point = {{0.01, 0.02}, {0.01, 0.02}};
  const std::vector<V> segment = {{0.1, 0.0}, {0.0, 0.0}, {0.05, 0.0}};
  struct Case {
    const char *what;
    const std::vector<V> *points;
    int corners;
    V p;
    double margin;  // m
  };
  const Case cases[] = {
      // what                         points    corners  point           margin
      {"square, centre", &square, 4, {0.05, 0.05}, 0.05},
      {"square, near an edge", &square, 4, {0.05, 0.01}, 0.01},
      {"square, on an edge", &square, 4, {0.1, 0.05}, 0.0},
      {"square, on a corner", &square, 4, {0.0, 0.0}, 0.0},
      {"square, out beside an edge", &square, 4, {0.15, 0.05}, -0.05},
      {"square, out beyond a corner", &square, 4, {0.13, 0.14}, -0.05},
      {"two feet, on the heel foot", &feet, 4, {0.0, 0.0}, 0.02},
      {"two feet, between them", &feet, 4, {0.03, 0.0}, 0.02},
      {"two feet, near the toes", &feet, 4, {0.05, 0.0}, 0.01},
      {"two feet, ahead", &feet, 4, {0.07, 0.0}, -0.01},
      {"two feet, to the left", &feet, 4, {0.0, 0.03}, -0.01},
      {"one point, on it", &point, 1, {0.01, 0.02}, 0.0},
      {"one point, away", &point, 1, {0.04, 0.06}, -0.05},
      {"a segment, on it", &segment, 2, {0.05, 0.0}, 0.0},
      {"a segment, beside it", &segment, 2, {0.05, 0.02}, -0.02},
      {"a segment, past its end", &segment, 2, {0.13, 0.04}, -0.05},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const robot::Support support = robot::Support::hull(*c.points);
    EXPECT_EQ(support.size(), c.corners);
    EXPECT_NEAR(support.margin(c.p), c.margin, 1e-12);
  }
  EXPECT_EQ(robot::Support().margin(V(0.0, 0.0)), -INFINITY);
}

// How far a point moves in a direction before it leaves: the push test's
// distance to the edge.
TEST(Support, ReachIsTheWayOutAlongADirection) {
  using V = Eigen::Vector2d;
  const std::vector<V> square = {{0.0, 0.0}, {0.1, 0.0}, {0.1, 0.1}, {0.0, 0.1}};
  const robot::Support support = robot::Support::hull(square);
  struct Case {
    V p, direction;
    double reach;  // m
  };
  const double diagonal = std::sqrt(0.5);
  const Case cases[] = {
      // point          direction             reach
      {{0.02, 0.05}, {1.0, 0.0}, 0.08},
      {{0.02, 0.05}, {-1.0, 0.0}, 0.02},
      {{0.05, 0.05}, {diagonal, diagonal}, 0.05 / diagonal},
      {{0.05, 0.05}, {0.0, -1.0}, 0.05},
      {{0.1, 0.05}, {1.0, 0.0}, 0.0},
      {{0.15, 0.05}, {-1.0, 0.0}, 0.0},
  };
  for (const Case &c : cases)
    EXPECT_NEAR(support.reach(c.p, c.direction), c.reach, 1e-12) << c.p.transpose();
  EXPECT_EQ(
      robot::Support::hull(std::vector<V>{{0.0, 0.0}, {0.1, 0.0}}).reach(V(0.05, 0.0), V(1.0, 0.0)),
      0.0);
}

namespace {

// The robot in the bare engine, as the stand-in has it: standing in the
// zero posture, its servos taken through `postures` one after another, each
// in 1.5 s on a minimum-jerk profile (the give under the weight comes
// gently, with no jolt to tip it), then held `seconds`, with `push` (N,
// world frame) on every body in proportion to its mass: a push at the
// centre of mass. Returns the engine's data; the caller deletes it.
mjData *settle(const Model &model, const std::vector<Posture> &postures, double seconds,
               const Eigen::Vector3d &push = Eigen::Vector3d::Zero()) {
  const mjModel *m = model.mj();
  Data body(model);
  body.stand_on(kLeft, Posture{}, Eigen::Vector3d(0.0, 0.0, 0.5), 0.0);
  mjData *d = mj_makeData(m);
  mju_copy(d->qpos, body.mj()->qpos, m->nq);
  mj_kinematics(m, d);
  double lowest = INFINITY;
  for (int g = 0; g < m->ngeom; ++g)
    if (!model.is_floor(g)) lowest = std::min(lowest, robot::lowest_point(m, d, g));
  d->qpos[m->jnt_qposadr[0] + 2] -= lowest - model.floor_height();
  std::array<int, kJointCount> actuator;
  actuator.fill(-1);
  for (int a = 0; a < m->nu; ++a)
    for (int i = 0; i < kJointCount; ++i)
      if (mj_name2id(m, mjOBJ_JOINT, kJoints[i].name) == m->actuator_trnid[2 * a]) actuator[i] = a;
  constexpr double kMove = 1.5;  // s
  const double share = 1.0 / model.mass();
  Posture from{};
  for (const Posture &to : postures) {
    for (double t = 0.0; t < kMove; t += m->opt.timestep) {
      const double u = t / kMove, s = u * u * u * (10.0 - 15.0 * u + 6.0 * u * u);
      for (int i = 0; i < kJointCount; ++i)
        if (actuator[i] >= 0) d->ctrl[actuator[i]] = from[i] + s * (to[i] - from[i]);
      mj_step(m, d);
    }
    from = to;
  }
  for (int i = 0; i < kJointCount; ++i)
    if (actuator[i] >= 0) d->ctrl[actuator[i]] = from[i];
  for (double t = 0.0; t < seconds; t += m->opt.timestep) {
    for (int b = 1; b < m->nbody; ++b)
      for (int k = 0; k < 3; ++k) d->xfrc_applied[6 * b + k] = push[k] * m->body_mass[b] * share;
    mj_step(m, d);
  }
  return d;
}

// Over the left sole on one foot: hips and ankles rolled, then the right
// foot lifted.
std::vector<Posture> on_left_foot() {
  Posture shifted{};
  for (int i : {3, 9}) shifted[i] = -0.24;
  for (int i : {6, 12}) shifted[i] = 0.24;
  Posture lifted = shifted;
  lifted[8] = -0.4;
  lifted[10] = 0.8;
  lifted[11] = -0.4;
  return {shifted, lifted};
}

// The joints' angles in the engine's data, by JointIndex.
Posture angles_of(const mjModel *m, const mjData *d) {
  Posture q{};
  for (int i = 0; i < kJointCount; ++i)
    q[i] = d->qpos[m->jnt_qposadr[mj_name2id(m, mjOBJ_JOINT, kJoints[i].name)]];
  return q;
}

}  // namespace

// The servos give under the robot's weight by the torque weight_torques
// finds over their stiffness: held against the physics, where the robot
// settles on its servos' springs, leaning on both ankles and standing on
// one foot.
TEST(Weight, TorquesOnTheJointsAreWhatTheServosHoldInThePhysics) {
  const std::unique_ptr<Model> model = load();
  const mjModel *m = model->mj();
  Posture lean{};
  lean[5] = lean[11] = 0.15;  // both ankles pitched: leaning back
  struct Case {
    const char *name;
    std::vector<Posture> postures;
    robot::Carrying on;
  };
  const Case cases[] = {{"leaning back on both feet", {lean}, {true, true}},
                        {"on the left foot", on_left_foot(), {true, false}}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    mjData *d = settle(*model, c.postures, 3.0);
    const Posture held = angles_of(m, d);
    const Posture &commanded = c.postures.back();
    mj_deleteData(d);
    // In the posture the servos hold, each gives by its torque over kp.
    Data body(*model);
    body.stand_on(kLeft, held, Eigen::Vector3d::Zero(), 0.0);
    const Posture torque = body.weight_torques(c.on, model->gravity());
    double largest = 0.0;
    for (int i = 0; i < kJointCount; ++i) {
      const double kp = model->servo(i).kp;
      if (!(kp > 0.0)) continue;
      largest = std::max(largest, std::fabs(held[i] - commanded[i]));
      EXPECT_NEAR(held[i] - commanded[i], torque[i] / kp, 0.002) << kJoints[i].name;
    }
    EXPECT_GT(largest, 0.01) << "the weight bends the servos by a hundredth of a rad or more";
  }
}

// A push at the centre of mass moves it by the compliance com_compliance
// gives, softened by the weight's pull, as the physics has it on one foot.
TEST(Weight, CentreOfMassGivesToAPushAsTheComplianceSays) {
  const std::unique_ptr<Model> model = load();
  const mjModel *m = model->mj();
  const Eigen::Vector3d push(0.0, 2.0, 0.0);  // N, to the left
  mjData *still = settle(*model, on_left_foot(), 12.0);
  mjData *pushed = settle(*model, on_left_foot(), 12.0, push);
  // From the sole, which creeps on the engine's soft floor under a steady push.
  const int sole = mj_name2id(m, mjOBJ_GEOM, "l_sole");
  auto from_sole = [&](const mjData *d) {
    return Eigen::Vector3d(model->com(*d) - Eigen::Vector3d(d->geom_xpos[3 * sole],
                                                            d->geom_xpos[3 * sole + 1],
                                                            d->geom_xpos[3 * sole + 2]));
  };
  const Eigen::Vector3d moved = from_sole(pushed) - from_sole(still);
  const double height = model->com(*still).z() - model->floor_height();
  Data body(*model);
  body.stand_on(kLeft, angles_of(m, still), Eigen::Vector3d::Zero(), 0.0);
  mj_deleteData(still);
  mj_deleteData(pushed);
  const Eigen::Matrix2d flat = body.com_compliance(kLeft).topLeftCorner<2, 2>();
  const Eigen::Matrix2d stiffness =
      flat.inverse() - model->mass() * model->g() / height * Eigen::Matrix2d::Identity();
  const Eigen::Vector2d expected = stiffness.inverse() * push.head<2>();
  // The servos give most of it; the engine's soft floor, on which the
  // sole rolls a little, gives the rest (3.6 mm and 5.5 mm for 2 N).
  EXPECT_GT(moved.y(), expected.y()) << "moved " << moved.transpose();
  EXPECT_LT(moved.y(), 2.0 * expected.y()) << "moved " << moved.transpose();
}

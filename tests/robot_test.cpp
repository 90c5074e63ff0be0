// The robot library: the legs' inverse kinematics checked against MuJoCo's
// forward kinematics, its refusals, the model's figures, and the support
// polygon's margin against polygons drawn by hand.
#include "robot.h"

#include <gtest/gtest.h>
#include <mujoco/mujoco.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

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

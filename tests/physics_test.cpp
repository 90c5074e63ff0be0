// The programs in the physics world, checked by what the runs mean: where
// the pelvis, chest and hands go, what the soles carry, and whether the
// robot stays up. The pelvis's position, tilt and the sole forces come from
// the posture log; positions the log does not hold (chest, shoulders,
// hands) come from the robot model itself: MuJoCo's kinematics of the
// built-in model, posed with the servo angles read back from the run, the
// pelvis upright (the log gives its tilt, not which way).
#include <gtest/gtest.h>
#include <mujoco/mujoco.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "body_model.h"
#include "e2e_harness.h"

namespace {

constexpr char kPlayerPrompt[] = "Give the name of the csv file: ";
constexpr char kExecuting[] = "Executing your file...\n";
constexpr char kTunerPrompt[] =
    "Insert joint number (01-21) followed by the amount of angle (rd) to add to joint\n";
constexpr char kEndOfJog[] = "\nThe interpolation is over\n";
constexpr char kFell[] = "standin: the robot fell at ";
constexpr float kUpright = 0.3f;     // most tilt a motion may cause, rad
constexpr float kFallTilt = 1.0f;    // the stand-in's fall rule: tilt, rad,
constexpr float kFallHeight = 0.5f;  // or the GPS below this share of its standing height

using Rows = std::vector<e2e::PostureRow>;
using Vec = std::array<double, 3>;

// The built-in robot model, posed with read-back servo angles, the pelvis
// upright at its place in the model file.
class Model {
 public:
  Model() {
    char error[512] = "";
    model_ = mj_loadXML(ROBOT_MODEL_PATH, nullptr, error, sizeof error);
    if (model_ == nullptr) {
      ADD_FAILURE() << "cannot load " << ROBOT_MODEL_PATH << ": " << error;
      return;
    }
    data_ = mj_makeData(model_);
    for (int i = 0; i < kJointCount; ++i) {
      joint_[i] = mj_name2id(model_, mjOBJ_JOINT, kJoints[i].name);
      if (joint_[i] < 0) ADD_FAILURE() << "the model has no joint " << kJoints[i].name;
    }
    for (auto [site, name] : {std::pair{&right_hand_, "r_hand"},
                              {&left_hand_, "l_hand"},
                              {&right_shoulder_, "r_shoulder"},
                              {&left_shoulder_, "l_shoulder"}}) {
      *site = mj_name2id(model_, mjOBJ_SITE, name);
      if (*site < 0) ADD_FAILURE() << "the model has no site " << name;
    }
  }
  ~Model() {
    if (data_ != nullptr) mj_deleteData(data_);
    if (model_ != nullptr) mj_deleteModel(model_);
  }
  Model(const Model &) = delete;
  Model &operator=(const Model &) = delete;

  bool usable() const {
    return data_ != nullptr &&
           std::all_of(joint_.begin(), joint_.end(), [](int j) { return j >= 0; }) &&
           std::min({right_hand_, left_hand_, right_shoulder_, left_shoulder_}) >= 0;
  }
  // The robot's weight, N: its total mass under the model's gravity.
  double weight() const { return mj_getTotalmass(model_) * std::fabs(model_->opt.gravity[2]); }

  void pose(const e2e::PostureRow &row) {
    mj_resetData(model_, data_);
    for (int i = 0; i < kJointCount; ++i) data_->qpos[model_->jnt_qposadr[joint_[i]]] = row.rad[i];
    mj_kinematics(model_, data_);
  }
  // Where joint `i`'s axis passes, in the posed robot, m.
  Vec at(int i) const {
    const mjtNum *p = data_->xanchor + 3 * joint_[i];
    return {p[0], p[1], p[2]};
  }
  // How far the chest leans forward over the pelvis, rad: the line from
  // the waist to the neck against the pelvis's up axis.
  double chest_lean(const e2e::PostureRow &row) {
    pose(row);
    Vec waist = at(kWaist), neck = at(kNeck);
    return std::atan2(neck[0] - waist[0], neck[2] - waist[2]);
  }
  // Height of the right (`right`) or left hand over its shoulder, m, from
  // the model's sites of both.
  double hand_over_shoulder(const e2e::PostureRow &row, bool right) {
    pose(row);
    const int hand = right ? right_hand_ : left_hand_;
    const int shoulder = right ? right_shoulder_ : left_shoulder_;
    return data_->site_xpos[3 * hand + 2] - data_->site_xpos[3 * shoulder + 2];
  }

  static constexpr int kWaist = 0;  // body_joint_1
  static constexpr int kNeck = 24;  // head_joint_1

 private:
  mjModel *model_ = nullptr;
  mjData *data_ = nullptr;
  std::array<int, kJointCount> joint_{};
  int right_hand_ = -1, left_hand_ = -1, right_shoulder_ = -1, left_shoulder_ = -1;
};

double apart(const float *a, const float *b) {
  return std::hypot(a[0] - b[0], a[1] - b[1], a[2] - b[2]);
}

float most_tilt(const Rows &rows) {
  float most = 0.0f;
  for (const e2e::PostureRow &row : rows) most = std::max(most, row.tilt);
  return most;
}

// Steps logged so far: the posture log has a line per robot_step after its header.
long logged_steps(const std::string &path) {
  const std::string text = e2e::read_file(path);
  return std::max(0L, static_cast<long>(std::count(text.begin(), text.end(), '\n')) - 1);
}

// A directory holding a "clear" that prints a marker, for pose_tuner.
std::string clear_path() {
  const std::string dir = e2e::temp_dir();
  e2e::write_file(dir + "/clear", "#!/bin/sh\nprintf '<clear>\\n'\n");
  std::filesystem::permissions(dir + "/clear", std::filesystem::perms::owner_all);
  const char *path = std::getenv("PATH");
  return dir + ":" + (path != nullptr ? path : "/usr/bin:/bin");
}

// Plays `name` from `dir` with motion_player in the physics world, from the
// standing zero posture, until a second after its last row acted.
e2e::Result play_through(const std::string &dir, const std::string &name) {
  const std::string log = e2e::temp_dir() + "/posture.csv";
  e2e::Options options;
  options.program = MOTION_PLAYER_PATH;
  options.cwd = dir;
  options.env = {{"STANDIN_WORLD", "physics"}, {"STANDIN_POSTURE_LOG", log}};
  e2e::Session s(options);
  s.write(name + "\n");
  // The loader asks again once the loop has played the file through.
  bool played = s.wait_for_output(kExecuting) &&
                s.wait_for_output(kPlayerPrompt, s.out().find(kExecuting)) &&
                s.wait_for_step(logged_steps(log) + 20);
  EXPECT_TRUE(played) << s.out();
  e2e::Result r = s.stop();
  EXPECT_EQ(r.exit_code, 0) << r.err;
  return r;
}

// What a bundled motion must do besides staying up; empty for none.
using Meaning = void (*)(const Rows &rows, Model &model);

void squat_lowers_the_pelvis(const Rows &rows, Model &) {
  float lowest = rows.front().gps[2];
  for (const e2e::PostureRow &row : rows) lowest = std::min(lowest, row.gps[2]);
  EXPECT_LT(lowest, rows.front().gps[2] - 0.02f) << "the pelvis did not go down 2 cm";
  std::cout << "[ figures  ] squat: pelvis " << rows.front().gps[2] - lowest << " m down\n";
}

void bow_pitches_the_chest_forward(const Rows &rows, Model &model) {
  // The chest leans over the world's vertical at least by its lean over the
  // pelvis less the pelvis's own tilt, whichever way that is.
  const double upright = model.chest_lean(rows.front());
  double most = -1.0;
  for (const e2e::PostureRow &row : rows)
    most = std::max(most, model.chest_lean(row) - upright - row.tilt);
  EXPECT_GT(most, 0.5) << "the chest did not pitch forward 0.5 rad";
  std::cout << "[ figures  ] bow: chest " << most << " rad forward of the vertical at least\n";
}

void wave_lifts_the_right_hand_only(const Rows &rows, Model &model) {
  double right = -1.0, left = -1.0;
  for (const e2e::PostureRow &row : rows) {
    right = std::max(right, model.hand_over_shoulder(row, true));
    left = std::max(left, model.hand_over_shoulder(row, false));
  }
  EXPECT_GT(right, 0.02) << "the right hand never came 2 cm above the right shoulder";
  std::cout << "[ figures  ] wave: right hand " << right << " m, left hand " << left
            << " m above its shoulder at most\n";
  EXPECT_LT(left, 0.0) << "the left hand came above the left shoulder";
}

struct Bundled {
  const char *file;
  Meaning meaning;
};

// Writes a motion file that pitches both ankles to `angle` rad over 0.3 s
// and holds it for 2 s, 10 ms rows.
void write_ankle_pitch(const std::string &path, double angle) {
  std::FILE *out = std::fopen(path.c_str(), "w");
  ASSERT_NE(out, nullptr);
  for (int r = 0; r < 230; ++r) {
    const double share = std::min(1.0, r / 30.0);
    PulseCounts counts{};
    for (int i : {5, 11}) counts[i] = rad2pulse(static_cast<float>(angle * share), i);
    write_motion_row(out, 10, 0, counts);
    std::fputc('\n', out);
  }
  std::fclose(out);
}

}  // namespace

// Holding still at the zero posture, the robot stands: the pelvis stays put
// and the soles share its weight.
TEST(Physics, HoldingTheZeroPostureStandsStillOnBothSoles) {
  Model model;
  ASSERT_TRUE(model.usable());
  const double weight = model.weight();
  struct Holder {
    const char *what;
    const char *program;
  };
  const Holder holders[] = {{"motion_player waiting for a file", MOTION_PLAYER_PATH},
                            {"pose_tuner holding its posture", POSE_TUNER_PATH}};
  // Under valgrind the engine is some fifty times slower: two seconds then.
  const long seconds = e2e::under_valgrind() ? 2 : 10;
  for (const Holder &holder : holders) {
    SCOPED_TRACE(holder.what);
    e2e::Options options;
    options.program = holder.program;
    options.env = {{"STANDIN_WORLD", "physics"}, {"PATH", clear_path()}};
    options.stop_ms = 128 + seconds * 1000;
    const e2e::Result r = e2e::run(options);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err.find(kFell), std::string::npos) << r.err;
    const Rows rows = e2e::parse_posture_log(r.posture_log);
    ASSERT_GT(rows.size(), 10u);
    EXPECT_GE(rows.back().time_ms, seconds * 1000);
    double moved = 0.0;
    for (const e2e::PostureRow &row : rows) moved = std::max(moved, apart(row.gps, rows[0].gps));
    EXPECT_LT(moved, 0.005) << "the pelvis moved " << moved << " m";
    // The soles after the first second, once the robot has settled.
    for (const e2e::PostureRow &row : rows) {
      if (row.time_ms < 1000) continue;
      const float left = row.touch[0], right = row.touch[1];
      EXPECT_LE(std::fabs(left - right), 0.25f * std::max(left, right))
          << row.time_ms << " ms: left " << left << " N, right " << right << " N";
      EXPECT_NEAR(left + right, weight, 0.1 * weight) << row.time_ms << " ms";
      if (HasFailure()) break;
    }
  }
}

// Every bundled motion, played from the standing zero posture, keeps the
// robot up, and the named ones do what they are named for.
TEST(Physics, BundledMotionsKeepTheRobotUprightAndDoWhatTheySay) {
  if (e2e::under_valgrind())
    GTEST_SKIP() << "seconds of physics per motion: too long under valgrind";
  Model model;
  ASSERT_TRUE(model.usable());
  const Bundled motions[] = {{"bow_25ms.csv", bow_pitches_the_chest_forward},
                             {"squat_10ms.csv", squat_lowers_the_pelvis},
                             {"salute_10ms.csv", nullptr},
                             {"step_10ms.csv", nullptr},
                             {"swing_1ms.csv", nullptr},
                             {"wave_10ms.csv", wave_lifts_the_right_hand_only}};
  std::size_t listed = 0;
  // The walks go where they are planned to in motion_walk_test's table.
  for (const auto &entry : std::filesystem::directory_iterator(MOTIONS_DIR)) {
    const std::string name = entry.path().filename().string();
    listed += entry.path().extension() == ".csv" && !name.starts_with("walk_") &&
              !name.starts_with("turn_");
  }
  EXPECT_EQ(listed, std::size(motions)) << "a bundled motion is missing from the table";
  for (const Bundled &motion : motions) {
    SCOPED_TRACE(motion.file);
    const e2e::Result r = play_through(MOTIONS_DIR, motion.file);
    EXPECT_EQ(r.err.find(kFell), std::string::npos) << r.err;
    const Rows rows = e2e::parse_posture_log(r.posture_log);
    ASSERT_GT(rows.size(), 20u);
    EXPECT_LT(most_tilt(rows), kUpright);
    if (motion.meaning != nullptr) motion.meaning(rows, model);
  }
}

// Pitching both ankles hard tips the robot over, either way; the stand-in
// tells once, at the step where the log first shows it down, and the run
// goes on with the robot on the floor.
TEST(Physics, AnklesPitchedHardTipTheRobotOverAndTheFallIsReported) {
  struct Case {
    const char *what;
    double angle;
  };
  const Case cases[] = {{"toes down", 0.9}, {"toes up", -0.9}};
  const std::string dir = e2e::temp_dir();
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    write_ankle_pitch(dir + "/ankles.csv", c.angle);
    e2e::Options options;
    options.program = MOTION_SKIM_PATH;
    options.input = "ankles.csv\n";
    options.cwd = dir;
    options.env = {{"STANDIN_WORLD", "physics"}};
    options.stop_ms = 128 + 64 * 60;
    const e2e::Result r = e2e::run(options);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    ASSERT_EQ(e2e::count(r.err, kFell), 1) << r.err;
    long fell_ms = -1;
    ASSERT_EQ(std::sscanf(r.err.c_str() + r.err.find(kFell), "standin: the robot fell at %ld ms",
                          &fell_ms),
              1);

    const Rows rows = e2e::parse_posture_log(r.posture_log);
    ASSERT_GT(rows.size(), 2u);
    const float standing = rows[0].gps[2];
    auto down = [&](const e2e::PostureRow &row) {
      return row.tilt > kFallTilt || row.gps[2] < kFallHeight * standing;
    };
    auto first = std::find_if(rows.begin(), rows.end(), down);
    ASSERT_NE(first, rows.end()) << "the log never shows the robot down";
    EXPECT_EQ(first->time_ms, fell_ms);
    EXPECT_TRUE(down(rows.back())) << "the robot got up again";
    EXPECT_GE(rows.back().time_ms, fell_ms + 1000) << "the run did not go on";
  }
}

// Jogging the waist forward in pose_tuner bends the chest over the pelvis,
// and the robot stays up.
TEST(Physics, TunerJoggingTheWaistForwardBendsTheChestAndStaysUp) {
  Model model;
  ASSERT_TRUE(model.usable());
  const std::string log = e2e::temp_dir() + "/posture.csv";
  e2e::Options options;
  options.program = POSE_TUNER_PATH;
  options.env = {
      {"STANDIN_WORLD", "physics"}, {"STANDIN_POSTURE_LOG", log}, {"PATH", clear_path()}};
  e2e::Session s(options);
  ASSERT_TRUE(s.wait_for_output(kTunerPrompt));
  const std::size_t from = s.out().size();
  s.write("21 0.5\n");
  ASSERT_TRUE(s.wait_for_output(std::string(kEndOfJog) + kTunerPrompt, from));
  ASSERT_TRUE(s.wait_for_step(logged_steps(log) + 16));
  const e2e::Result r = s.stop();
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err.find(kFell), std::string::npos) << r.err;

  const Rows rows = e2e::parse_posture_log(r.posture_log);
  ASSERT_GT(rows.size(), 20u);
  EXPECT_LT(most_tilt(rows), kUpright);
  const e2e::PostureRow &last = rows.back();
  EXPECT_NEAR(last.rad[Model::kWaist], 0.5, 0.1) << "the waist did not get there";
  EXPECT_GT(model.chest_lean(last) - model.chest_lean(rows.front()) - last.tilt, 0.35)
      << "the chest did not bend forward";
}

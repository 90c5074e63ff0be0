// Seeing the robot, end to end: recordings read back with ffmpeg and
// looked at region by region, the live window under Xvfb, tools/render,
// and the failures that must leave the run going.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_harness.h"
#include "x_client.h"

extern char **environ;

namespace {

// An RGB picture, rows top-down.
struct Image {
  int width = 0;
  int height = 0;
  std::string rgb;
  const unsigned char *at(int x, int y) const {
    return reinterpret_cast<const unsigned char *>(rgb.data()) + 3 * (y * width + x);
  }
};

// A region of a picture, pixels.
struct Box {
  int x, y, width, height;
};

// Pixels in `box` whose colour differs between the two by more than a
// video's noise.
int changed_pixels(const Image &a, const Image &b, Box box) {
  int changed = 0;
  for (int y = box.y; y < box.y + box.height; ++y) {
    for (int x = box.x; x < box.x + box.width; ++x) {
      int d = 0;
      for (int c = 0; c < 3; ++c) d += std::abs(a.at(x, y)[c] - b.at(x, y)[c]);
      changed += d > 48;
    }
  }
  return changed;
}

// What a shell command prints on stdout. The commands here hold only
// paths of the tests' own making.
std::string output_of(const std::string &command) {
  std::string text;
  if (std::FILE *pipe = popen(command.c_str(), "r")) {
    char buffer[1 << 16];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
      text.append(buffer, n);
    pclose(pipe);
  }
  return text;
}

// Every frame of a video or picture as RGB.
std::vector<Image> frames_of(const std::string &path, int width, int height) {
  std::string raw =
      output_of("ffmpeg -v error -i '" + path + "' -f rawvideo -pix_fmt rgb24 - 2>/dev/null");
  std::size_t size = static_cast<std::size_t>(width) * height * 3;
  std::vector<Image> frames;
  for (std::size_t at = 0; at + size <= raw.size(); at += size) {
    frames.push_back({width, height, raw.substr(at, size)});
  }
  return frames;
}

// "frames,width,height" as ffprobe counts them.
std::string probe(const std::string &path) {
  std::string text = output_of(
      "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
      "stream=nb_read_frames,width,height -of csv=p=0 '" +
      path + "'");
  // ffprobe says width,height,frames.
  std::size_t first = text.find(',');
  std::size_t second = text.find(',', first + 1);
  if (second == std::string::npos) return text;
  return text.substr(second + 1, text.find('\n') - second - 1) + "," + text.substr(0, second);
}

// Frames a run recorded: one every 1/30 s of simulated time, from the
// first engine step to the time it stopped.
long expected_frames(const e2e::Result &result) {
  std::vector<e2e::TraceLine> stop = e2e::calls(result.trace, "stop");
  return stop.empty() ? -1 : stop.back().time_ms * 30 / 1000 + 1;
}

e2e::Options skim(const std::string &dir, const std::string &record, long stop_ms,
                  std::vector<std::pair<std::string, std::string>> env = {}) {
  e2e::write_file(dir + "/wave.csv", e2e::read_file(std::string(MOTIONS_DIR) + "/wave_10ms.csv"));
  env.insert(env.begin(), {"STANDIN_WORLD", "physics"});
  if (!record.empty()) env.emplace_back("STANDIN_RECORD", record);
  return {.program = MOTION_SKIM_PATH,
          .input = "wave.csv\n",
          .env = std::move(env),
          .stop_ms = stop_ms,
          .cwd = dir};
}

class Recording : public testing::Test {
 protected:
  void SetUp() override {
    if (e2e::under_valgrind()) GTEST_SKIP() << "drawing is too slow under valgrind";
  }
  std::string dir_ = e2e::temp_dir();
};

TEST_F(Recording, VideoHasAFramePerThirtiethOfASecondAtTheAskedSize) {
  struct Case {
    const char *name;
    const char *size;  // STANDIN_RECORD_SIZE, "" for the default
    const char *want;  // width,height
  };
  for (const Case &c : {Case{"default.mp4", "", "640,480"}, Case{"small.mp4", "320x240", "320,240"},
                        Case{"small.gif", " 320 x 240 ", "320,240"}}) {
    std::string path = dir_ + "/" + c.name;
    std::vector<std::pair<std::string, std::string>> env;
    if (*c.size != '\0') env.emplace_back("STANDIN_RECORD_SIZE", c.size);
    e2e::Result result = e2e::run(skim(dir_, path, 1000, env));
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.err, "") << c.name;
    // The gif keeps every other frame: 15 a second is plenty for a README.
    long frames = expected_frames(result);
    if (std::string(c.name).ends_with(".gif")) frames = (frames + 1) / 2;
    EXPECT_EQ(probe(path), std::to_string(frames) + "," + c.want) << c.name;
  }
}

TEST_F(Recording, FramesDifferWhereTheArmWavesAndMatchOnceTheRobotStandsStill) {
  std::string path = dir_ + "/wave.mp4";
  e2e::Result result = e2e::run(skim(dir_, path, 3000, {{"STANDIN_RECORD_SIZE", "320x240"}}));
  ASSERT_EQ(result.exit_code, 0) << result.err;
  std::vector<Image> frames = frames_of(path, 320, 240);
  ASSERT_EQ(static_cast<long>(frames.size()), expected_frames(result));
  // Below the text: the robot and the floor around it.
  Box scene{0, 30, 320, 210};
  // The arm rises from 0.2 s to 0.5 s; the motion ends at 1 s, and by
  // 2.5 s the robot stands still.
  EXPECT_GT(changed_pixels(frames[6], frames[15], scene), 100);
  EXPECT_LT(changed_pixels(frames[75], frames[89], scene), 5);
}

// The built-in model with every part of the robot in a hidden group: the
// floor as the camera sees it without the robot.
std::string empty_floor_model() {
  std::string xml = e2e::read_file(ROBOT_MODEL_PATH);
  std::regex geom(R"(<geom\b[^>]*>)");
  std::regex group(R"(\s+group="[^"]*")");
  std::string out;
  std::size_t last = 0;
  for (auto it = std::sregex_iterator(xml.begin(), xml.end(), geom); it != std::sregex_iterator();
       ++it) {
    std::string tag = it->str();
    if (tag.find("name=\"floor\"") == std::string::npos) {
      tag = "<geom group=\"3\"" + std::regex_replace(tag.substr(5), group, "");
    }
    out += xml.substr(last, it->position() - last) + tag;
    last = it->position() + it->length();
  }
  return out + xml.substr(last);
}

TEST_F(Recording, ContactSheetCellsShowTheRobotOverTheFloorAndTwoRunsGiveTheSameSheet) {
  std::vector<std::pair<std::string, std::string>> small = {{"STANDIN_RECORD_SIZE", "320x240"}};
  std::string sheet = dir_ + "/sheet.png";
  std::string again = dir_ + "/again.png";
  std::string floor = dir_ + "/floor.png";
  e2e::write_file(dir_ + "/floor.xml", empty_floor_model());
  std::vector<std::pair<std::string, std::string>> no_robot = small;
  no_robot.emplace_back("STANDIN_MODEL", dir_ + "/floor.xml");
  for (const auto &[path, env] :
       {std::pair{sheet, small}, std::pair{again, small}, std::pair{floor, no_robot}}) {
    e2e::Result result = e2e::run(skim(dir_, path, 2000, env));
    ASSERT_EQ(result.exit_code, 0) << result.err;
  }
  EXPECT_EQ(e2e::read_file(sheet), e2e::read_file(again));
  std::vector<Image> robot = frames_of(sheet, 4 * 320, 2 * 240);
  std::vector<Image> empty = frames_of(floor, 4 * 320, 2 * 240);
  ASSERT_EQ(robot.size(), 1u);
  ASSERT_EQ(empty.size(), 1u);
  for (int cell = 0; cell < 8; ++cell) {
    // The middle of the cell, where the camera keeps the robot.
    Box middle{(cell % 4) * 320 + 100, (cell / 4) * 240 + 40, 120, 180};
    EXPECT_GT(changed_pixels(robot[0], empty[0], middle), 1000) << "cell " << cell;
  }
}

// Pixels of the balance overlay's support polygon: a strong green.
int green_pixels(const Image &image) {
  int count = 0;
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      const unsigned char *p = image.at(x, y);
      count += p[1] > p[0] + 60 && p[1] > p[2] + 40;
    }
  }
  return count;
}

// Pixels of `box` in the push arrow's strong red.
int red_pixels(const Image &image, Box box) {
  int count = 0;
  for (int y = box.y; y < box.y + box.height; ++y) {
    for (int x = box.x; x < box.x + box.width; ++x) {
      const unsigned char *p = image.at(x, y);
      count += p[0] > p[1] + 80 && p[0] > p[2] + 80;
    }
  }
  return count;
}

TEST_F(Recording, OverlaysDrawWhatIsAskedRepeatablyAndABadWordDrawsNone) {
  struct Case {
    const char *name;
    const char *overlay;  // STANDIN_OVERLAY, "" for none
    const char *push;     // STANDIN_PUSH, "" for none
  };
  // The push, from the robot's right, acts from 0.1 s to 0.35 s: over
  // the sheet's second and third cells (0.13 s, 0.27 s), not the others.
  const Case cases[] = {
      {"none", "", ""},         {"balance", "balance", ""},   {"again", " balance ", ""},
      {"joints", "joints", ""}, {"bad", "balance,knees", ""}, {"push", "", "100:0,20,0:250"}};
  std::vector<Image> sheets;
  for (const Case &c : cases) {
    std::string path = dir_ + "/" + c.name + ".png";
    std::vector<std::pair<std::string, std::string>> env = {{"STANDIN_RECORD_SIZE", "320x240"}};
    if (*c.overlay != '\0') env.emplace_back("STANDIN_OVERLAY", c.overlay);
    if (*c.push != '\0') env.emplace_back("STANDIN_PUSH", c.push);
    e2e::Result result = e2e::run(skim(dir_, path, 1000, env));
    ASSERT_EQ(result.exit_code, 0) << result.err;
    if (std::string(c.name) == "bad") {
      EXPECT_EQ(result.err,
                "standin: STANDIN_OVERLAY=\"balance,knees\" is not balance, joints or "
                "balance,joints; drawing no overlay\n");
    } else if (std::string(c.name) != "push") {
      // (The pushed robot may say that it fell.)
      EXPECT_EQ(result.err, "") << c.name;
    }
    std::vector<Image> frames = frames_of(path, 4 * 320, 2 * 240);
    ASSERT_EQ(frames.size(), 1u) << c.name;
    sheets.push_back(frames[0]);
  }
  // The support polygon's green lies on the floor under the robot, in the
  // cells where the feet stand on it.
  EXPECT_EQ(green_pixels(sheets[0]), 0);
  EXPECT_GT(green_pixels(sheets[1]), 7 * 100);
  EXPECT_EQ(e2e::read_file(dir_ + "/balance.png"), e2e::read_file(dir_ + "/again.png"));
  // The numbers stand beside the robot; a bad word records as without.
  Box last{3 * 320, 240, 320, 240};
  EXPECT_GT(changed_pixels(sheets[0], sheets[3], last), 300);
  EXPECT_EQ(e2e::read_file(dir_ + "/none.png"), e2e::read_file(dir_ + "/bad.png"));
  // The push's red arrow, a thin line beside the chest, is there while it
  // acts and gone once it ends; nothing else in the picture is that red.
  for (int cell = 0; cell < 8; ++cell) {
    Box box{(cell % 4) * 320, (cell / 4) * 240, 320, 240};
    EXPECT_EQ(red_pixels(sheets[0], box), 0) << "cell " << cell;
    if (cell == 1 || cell == 2) {
      EXPECT_GT(red_pixels(sheets[5], box), 30) << "cell " << cell;
    } else {
      EXPECT_EQ(red_pixels(sheets[5], box), 0) << "cell " << cell;
    }
  }
}

// Pixels of `box` a shadow darkens: grey, and darker than the bare floor.
int shadow_pixels(const Image &image, const Image &floor, Box box) {
  int count = 0;
  for (int y = box.y; y < box.y + box.height; ++y) {
    for (int x = box.x; x < box.x + box.width; ++x) {
      const unsigned char *p = image.at(x, y);
      const unsigned char *f = floor.at(x, y);
      int darker = f[1] - p[1];
      count +=
          darker > 15 && darker < 100 && std::abs(p[0] - p[1]) < 12 && std::abs(p[1] - p[2]) < 12;
    }
  }
  return count;
}

TEST_F(Recording, CameraAndShadowFollowARobotThatGoesMetresAway) {
  // Tilted gravity on a floor without friction: the robot slides upright,
  // 4.5 m in 3 s, as a long walk would take it.
  std::string xml = e2e::read_file(ROBOT_MODEL_PATH);
  auto sliding = [](std::string text) {
    text = std::regex_replace(text, std::regex(R"(gravity="0 0 -9.81")"),
                              R"(gravity="0.8 -0.6 -9.81")");
    return std::regex_replace(text, std::regex(R"(condim="3")"), R"(condim="1")");
  };
  e2e::write_file(dir_ + "/slide.xml", sliding(xml));
  e2e::write_file(dir_ + "/floor.xml", sliding(empty_floor_model()));
  std::vector<Image> sheets;
  for (const char *model : {"slide", "floor"}) {
    std::string path = dir_ + "/" + model + ".png";
    std::vector<std::pair<std::string, std::string>> env = {
        {"STANDIN_RECORD_SIZE", "320x240"}, {"STANDIN_MODEL", dir_ + "/" + model + ".xml"}};
    e2e::Result result = e2e::run(skim(dir_, path, 3000, env));
    ASSERT_EQ(result.exit_code, 0) << result.err;
    std::vector<Image> frames = frames_of(path, 4 * 320, 2 * 240);
    ASSERT_EQ(frames.size(), 1u);
    sheets.push_back(frames[0]);
  }
  for (int cell = 0; cell < 8; ++cell) {
    Box middle{(cell % 4) * 320 + 100, (cell / 4) * 240 + 40, 120, 180};
    EXPECT_GT(changed_pixels(sheets[0], sheets[1], middle), 1000) << "cell " << cell;
  }
  // The robot stands as at the start, metres away, its shadow beside it:
  // the floor behind its left foot, as the sun falls.
  Box first{180, 120, 80, 90};
  Box last{3 * 320 + 180, 240 + 120, 80, 90};
  int shadow_at_start = shadow_pixels(sheets[0], sheets[1], first);
  EXPECT_GT(shadow_at_start, 20);
  EXPECT_GT(shadow_pixels(sheets[0], sheets[1], last), shadow_at_start * 2 / 3);
}

TEST_F(Recording, IsCompleteHoweverTheRunEnds) {
  // SIGTERM: the stand-in stops at the next robot_step.
  std::string term = dir_ + "/term.mp4";
  e2e::Session session(skim(dir_, term, 0, {{"STANDIN_RECORD_SIZE", "320x240"}}));
  session.write("wave.csv\n");
  ASSERT_TRUE(session.wait_for_step(20));
  e2e::Result stopped = session.stop();
  ASSERT_EQ(stopped.exit_code, 0) << stopped.err;
  EXPECT_EQ(probe(term), std::to_string(expected_frames(stopped)) + ",320,240");

  // The program's own exit: 40 steps of 64 ms, 2.56 s.
  std::string exited = dir_ + "/exit.mp4";
  e2e::Result own = e2e::run({.program = STANDIN_PROBE_PATH,
                              .input = "live\nrepeat 40 step 64\nexit\n",
                              .env = {{"STANDIN_WORLD", "physics"},
                                      {"STANDIN_RECORD", exited},
                                      {"STANDIN_RECORD_SIZE", "320x240"}},
                              .stop_ms = 100000});
  ASSERT_EQ(own.exit_code, 0) << own.err;
  EXPECT_EQ(probe(exited), std::to_string(2560 * 30 / 1000 + 1) + ",320,240");
}

TEST_F(Recording, StopSignalsEndTheRunCleanlyAndKillLeavesNoSheet) {
  struct Case {
    int signal;
    const char *format;
  };
  // SIGKILL cannot be caught: the sheet, made at the end, is then not there at all.
  const Case cases[] = {{SIGTERM, "mp4"}, {SIGTERM, "gif"}, {SIGTERM, "png"}, {SIGINT, "mp4"},
                        {SIGINT, "gif"},  {SIGINT, "png"},  {SIGHUP, "mp4"},  {SIGHUP, "gif"},
                        {SIGHUP, "png"},  {SIGKILL, "png"}};
  for (const Case &c : cases) {
    std::string dir = e2e::temp_dir();
    std::string name = std::string("run.") + c.format;
    std::string path = dir + "/" + name;
    std::string label = std::to_string(c.signal) + " " + c.format;
    e2e::Session session(skim(dir, path, 0, {{"STANDIN_RECORD_SIZE", "128x96"}}));
    session.write("wave.csv\n");
    ASSERT_TRUE(session.wait_for_step(10)) << label;
    kill(session.pid(), c.signal);
    e2e::Result result = session.finish();
    if (c.signal == SIGKILL) {
      EXPECT_EQ(result.signal, SIGKILL);
      EXPECT_EQ(output_of("ls -A '" + dir + "'"), "wave.csv\n") << label;
      continue;
    }
    ASSERT_EQ(result.exit_code, 0) << label << result.err;
    EXPECT_EQ(result.err, "") << label;
    ASSERT_FALSE(result.trace.empty());
    EXPECT_EQ(result.trace.back().call, "stop") << label;
    long frames = expected_frames(result);
    if (std::string(c.format) == "gif") frames = (frames + 1) / 2;
    if (std::string(c.format) == "png") frames = 1;
    EXPECT_EQ(probe(path), std::to_string(frames) + (frames == 1 ? ",512,192" : ",128,96"))
        << label;
    // Nothing beside it: no temporary file left.
    EXPECT_EQ(output_of("ls -A '" + dir + "'"), name + "\nwave.csv\n") << label;
  }
}

// A full disk (a file size limit, which needs no mount): an mp4 plays up to
// where it stopped or is removed; a sheet is whole or not there. Each says so.
TEST_F(Recording, FullDiskLeavesAPlayableFileOrNone) {
#if defined(__SANITIZE_THREAD__)
  // The file-size limit that stands for a full disk also meets the
  // ThreadSanitizer runtime's own file-backed memory, which then faults.
  GTEST_SKIP() << "the file-size limit trips ThreadSanitizer's runtime";
#endif
  struct Case {
    const char *name;
    rlim_t limit;      // bytes a file may hold
    const char *told;  // what the one report says of the file
  };
  const Case cases[] = {
      {"tiny.mp4", 2000, " holds no whole second and is removed"},
      {"cut.mp4", 30000, " is cut short and plays up to there"},
      {"tiny.png", 2000, ": File too large; it is not written"},
  };
  for (const Case &c : cases) {
    std::string path = dir_ + "/" + c.name;
    // The trace and the log would meet the limit too.
    e2e::Options options = skim(dir_, path, 4000,
                                {{"STANDIN_RECORD_SIZE", "320x240"},
                                 {"STANDIN_TRACE", "/dev/null"},
                                 {"STANDIN_POSTURE_LOG", "/dev/null"}});
    e2e::Result result;
    {
      e2e::FileSizeLimit full(c.limit);
      result = e2e::run(options);
    }
    EXPECT_EQ(result.exit_code, 0) << c.name;
    EXPECT_EQ(e2e::count(result.err, "\n"), 1) << c.name << result.err;
    EXPECT_NE(result.err.find(c.told), std::string::npos) << c.name << result.err;
    if (std::string(c.name) == "cut.mp4") {
      EXPECT_GT(std::atol(probe(path).c_str()), 0) << probe(path);
    } else {
      EXPECT_FALSE(std::filesystem::exists(path)) << c.name;
    }
  }
  EXPECT_EQ(output_of("ls -A '" + dir_ + "'"), "cut.mp4\nwave.csv\n");
}

TEST_F(Recording, DeadEncoderIsToldOnceAndTheRunGoesOn) {
  std::string path = dir_ + "/cut.mp4";
  e2e::Session session(skim(dir_, path, 0, {{"STANDIN_RECORD_SIZE", "320x240"}}));
  session.write("wave.csv\n");
  ASSERT_TRUE(session.wait_for_step(10));
  // ffmpeg is the program's only child.
  std::string children = e2e::read_file("/proc/" + std::to_string(session.pid()) + "/task/" +
                                        std::to_string(session.pid()) + "/children");
  pid_t encoder = std::atoi(children.c_str());
  ASSERT_GT(encoder, 0);
  kill(encoder, SIGKILL);
  ASSERT_TRUE(session.wait_for_step(60));
  e2e::Result result = session.stop();
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(e2e::count(result.err, "standin: "), 1) << result.err;
  EXPECT_EQ(e2e::count(result.err, "standin: STANDIN_RECORD: ffmpeg took no more frames"), 1);
}

TEST(ViewFailures, EachIsOneLineAndTheRunGoesOn) {
  std::string dir = e2e::temp_dir();
  struct Case {
    std::vector<std::pair<std::string, std::string>> env;
    std::string line;  // the start of the one report
  };
  const Case cases[] = {
      {{{"STANDIN_VIEW", "window"}, {"DISPLAY", ""}},
       "standin: STANDIN_VIEW: cannot open a window ("},
      // The display's name is quoted in the report, escaped.
      {{{"STANDIN_VIEW", "window"}, {"DISPLAY", "no\nsuch:0"}},
       "standin: STANDIN_VIEW: cannot open a window (X11: Failed to open display no\\x0asuch:0); "
       "running without a view\n"},
      {{{"STANDIN_RECORD", dir + "/a.mp4"}, {"PATH", "/nonexistent"}},
       "standin: STANDIN_RECORD: ffmpeg is not installed (Debian package ffmpeg); running without "
       "recording\n"},
      {{{"STANDIN_RECORD", dir + "/no/such/dir/a.mp4"}},
       "standin: STANDIN_RECORD: cannot create \""},
      {{{"STANDIN_RECORD", dir + "/a.avi"}}, "standin: STANDIN_RECORD=\""},
      // Opening it would wait for a reader for ever.
      {{{"STANDIN_RECORD", dir + "/fifo.mp4"}},
       "standin: STANDIN_RECORD: cannot create \"" + dir +
           "/fifo.mp4\": a FIFO that nobody reads; running without recording\n"},
      {{{"STANDIN_RECORD", dir + "/a.png"}, {"STANDIN_RECORD_SIZE", "641x480"}, {"PATH", "/x"}},
       "standin: STANDIN_RECORD_SIZE=\"641x480\" is not WxH with even sides from 64x64 to "
       "3840x2160; using 640x480\n"},
      {{{"STANDIN_CAMERA_AZIMUTH", "east"}},
       "standin: STANDIN_CAMERA_AZIMUTH=\"east\" is not degrees from -360 to 360; using 150\n"},
      // A value is quoted escaped and cut at its 64th byte.
      {{{"STANDIN_CAMERA_AZIMUTH", "ea\x01st" + std::string(70, 'x')}},
       "standin: STANDIN_CAMERA_AZIMUTH=\"ea\\x01st" + std::string(59, 'x') +
           "...\" is not degrees from -360 to 360; using 150\n"},
      {{{"STANDIN_VIEW", "glasses"}},
       "standin: STANDIN_VIEW=\"glasses\" is not window; running "
       "without a view\n"},
      {{{"STANDIN_RECORD", dir + "/a.mp4"}, {"STANDIN_WORLD", "kinematic"}},
       "standin: STANDIN_RECORD needs the physics world (STANDIN_WORLD=physics); running without "
       "a recording\n"},
      // A full disk: told at the end, on the one line.
      {{{"STANDIN_RECORD", dir + "/full.gif"}},
       "standin: STANDIN_RECORD: cannot write \"" + dir +
           "/full.gif\": No space left on device; it is not written\n"},
      // Write-protected: refused even for root, and left as it was.
      {{{"STANDIN_RECORD", dir + "/ro.mp4"}},
       "standin: STANDIN_RECORD: \"" + dir +
           "/ro.mp4\" is write-protected; running without recording\n"},
      {{{"STANDIN_RECORD", dir + "/ro.png"}},
       "standin: STANDIN_RECORD: \"" + dir +
           "/ro.png\" is write-protected; running without recording\n"},
      // One file for two outputs: the trace, read back whole, is kept.
      {{{"STANDIN_TRACE", dir + "/run.mp4"}, {"STANDIN_RECORD", dir + "/./run.mp4"}},
       "standin: STANDIN_RECORD names the same file as STANDIN_TRACE; running without "
       "recording\n"},
      {{{"STANDIN_TRACE", dir + "/run.tsv"}, {"STANDIN_POSTURE_LOG", dir + "/run.tsv"}},
       "standin: STANDIN_POSTURE_LOG names the same file as STANDIN_TRACE; running without a "
       "posture log\n"},
  };
  ASSERT_EQ(symlink("/dev/full", (dir + "/full.gif").c_str()), 0);
  ASSERT_EQ(mkfifo((dir + "/fifo.mp4").c_str(), 0600), 0);
  for (const char *name : {"/ro.mp4", "/ro.png"}) {
    e2e::write_file(dir + name, "kept");
    ASSERT_EQ(chmod((dir + name).c_str(), 0444), 0);
  }
  for (const Case &c : cases) {
    // The full disk's case draws its frames, and drawing stays out of
    // valgrind: the GL driver's loader trips it.
    if (e2e::under_valgrind() && c.line.find("full.gif") != std::string::npos) continue;
    e2e::Options options = skim(dir, "", 500, c.env);
    e2e::Result result = e2e::run(options);
    std::string err = result.err;
    // The bad size's case also has no ffmpeg: that is its second line.
    if (std::string(c.line).starts_with("standin: STANDIN_RECORD_SIZE")) {
      err = err.substr(0, err.find('\n') + 1);
    } else {
      EXPECT_EQ(e2e::count(err, "\n"), 1) << c.line << err;
    }
    EXPECT_TRUE(err.starts_with(c.line)) << c.line << err;
    EXPECT_EQ(result.exit_code, 0) << err;
    EXPECT_EQ(e2e::calls(result.trace, "stop").size(), 1u) << err;
  }
  EXPECT_EQ(e2e::read_file(dir + "/ro.mp4"), "kept");
  EXPECT_EQ(e2e::read_file(dir + "/ro.png"), "kept");
}

// An X server of the test's own on a free display, ended with the test.
class Xvfb {
 public:
  Xvfb() {
    int fds[2];
    if (pipe(fds) != 0) return;
    std::string fd = std::to_string(fds[1]);
    const char *args[] = {"Xvfb",        "-displayfd", fd.c_str(), "-screen", "0",
                          "1024x768x24", "-nolisten",  "tcp",      nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    if (posix_spawnp(&pid_, "Xvfb", &actions, nullptr, const_cast<char **>(args), environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    // Xvfb writes its display number once it takes connections.
    char number[16] = "";
    ssize_t n = read(fds[0], number, sizeof number - 1);
    close(fds[0]);
    if (n > 0) display_ = ":" + std::to_string(std::atoi(number));
  }
  ~Xvfb() { end(); }
  // Ends the server, as a lost display would look to its clients.
  void end() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
  }
  const std::string &display() const { return display_; }

  // The screen as RGB, through xwd as a person would take it.
  Image screenshot() const {
    return {1024, 768,
            output_of("xwd -root -silent -display " + display_ +
                      " | convert xwd:- -depth 8 rgb:- 2>/dev/null")};
  }

  // Asks the window titled `title` to close, as a window manager's close
  // button does. False if there is no such window.
  bool close_window(const std::string &title) const { return ask_to_close(display_, title); }
  bool type(const std::string &title, char key) const { return press_key(display_, title, key); }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

// pose_tuner in the physics world with its window on `display`, paced,
// logging each frame it shows to `frames`.
e2e::Options tuner_in_window(const std::string &display, const std::string &frames) {
  return {.program = POSE_TUNER_PATH,
          .env = {{"STANDIN_WORLD", "physics"},
                  {"STANDIN_VIEW", "window"},
                  {"STANDIN_PACE", "20"},
                  {"STANDIN_FRAME_LOG", frames},
                  {"DISPLAY", display}}};
}

// Waits until the window has shown a frame of simulated time `ms` or later
// that was drawn after `key` was handled (0: any key or none). The window
// draws on the wall clock, as often as the machine allows: the test waits
// for the frame itself, up to the harness's deadline, never for a time.
bool wait_for_frame(e2e::Session &session, const std::string &frames, long ms, char key = 0) {
  bool seen_key = key == 0;
  std::size_t read = 0;
  return session.wait_until([&] {
    const std::string text = e2e::read_file(frames);
    const std::size_t complete = text.rfind('\n');
    if (complete == std::string::npos) return false;
    std::istringstream lines(text.substr(read, complete + 1 - read));
    read = complete + 1;
    long frame = 0, at_ms = 0;
    std::string keys;
    while (lines >> frame >> at_ms >> keys) {
      seen_key = seen_key || keys.find(key) != std::string::npos;
      if (seen_key && at_ms >= ms) return true;
    }
    return false;
  });
}

// Simulated time of the latest robot_step the trace shows, ms.
long simulated_ms(const e2e::Session &session) {
  const std::vector<e2e::TraceLine> trace = session.trace_so_far();
  return trace.empty() ? 0 : trace.back().time_ms;
}

TEST(LiveWindow, JogMovesTheArmOnScreenKeysSwitchCameraAndClosingEndsTheRunCleanly) {
  const std::string kTitle = "pose_tuner: the stand-in robot";
  if (e2e::under_valgrind()) GTEST_SKIP() << "drawing is too slow under valgrind";
  Xvfb server;
  ASSERT_FALSE(server.display().empty()) << "Xvfb did not start";
  const std::string frames = e2e::temp_dir() + "/frames.txt";
  e2e::Session tuner(tuner_in_window(server.display(), frames));
  ASSERT_TRUE(tuner.wait_for_output("Insert joint number"));
  // The robot settled, and on screen.
  ASSERT_TRUE(tuner.wait_for_step(150));
  ASSERT_TRUE(wait_for_frame(tuner, frames, simulated_ms(tuner)));
  Image before = server.screenshot();
  // 18 is larm_joint_2: the left arm swings out sideways, on the right of
  // the screen as the camera looks at the robot's front.
  std::size_t typed = tuner.out().size();
  tuner.write("18 1.2\n");
  // The jog takes 240 steps; the arm and the body settle over some hundreds
  // more, and then a frame shows them.
  ASSERT_TRUE(tuner.wait_for_output("The interpolation is over", typed));
  ASSERT_TRUE(tuner.wait_for_step(1000));
  ASSERT_TRUE(wait_for_frame(tuner, frames, simulated_ms(tuner)));
  Image after = server.screenshot();
  ASSERT_EQ(before.rgb.size(), 1024u * 768 * 3);
  ASSERT_EQ(after.rgb.size(), before.rgb.size());
  // The window (800 x 600 at the corner): the arm's side moves, the other
  // side of the robot and the floor stay, between the texts.
  EXPECT_GT(changed_pixels(before, after, Box{420, 100, 300, 300}), 500);
  EXPECT_LT(changed_pixels(before, after, Box{0, 100, 330, 400}), 20);

  // B sees through the robot to its balance; J numbers its joints. Each
  // screenshot waits for the first frame drawn after the key.
  for (char key : {'b', 'j'}) {
    Image shown = server.screenshot();
    ASSERT_TRUE(server.type(kTitle, key));
    ASSERT_TRUE(wait_for_frame(tuner, frames, 0, static_cast<char>(std::toupper(key)))) << key;
    after = server.screenshot();
    EXPECT_GT(changed_pixels(shown, after, Box{0, 100, 800, 400}), 300) << key;
  }

  // H: the head camera sees the floor before the robot, and no robot.
  ASSERT_TRUE(server.type(kTitle, 'h'));
  ASSERT_TRUE(wait_for_frame(tuner, frames, 0, 'H'));
  Image head = server.screenshot();
  EXPECT_GT(changed_pixels(after, head, Box{0, 100, 800, 400}), 800 * 400 / 4);

  ASSERT_TRUE(server.close_window(kTitle));
  e2e::Result result = tuner.finish();
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.err, "");
  ASSERT_FALSE(result.trace.empty());
  EXPECT_EQ(result.trace.back().call, "stop");
}

TEST(LiveWindow, LostDisplayEndsTheRunAsClosingTheWindowDoes) {
  if (e2e::under_valgrind()) GTEST_SKIP() << "drawing is too slow under valgrind";
  Xvfb server;
  ASSERT_FALSE(server.display().empty()) << "Xvfb did not start";
  const std::string frames = e2e::temp_dir() + "/frames.txt";
  e2e::Session tuner(tuner_in_window(server.display(), frames));
  // The window is up and drawing when the display goes.
  ASSERT_TRUE(wait_for_frame(tuner, frames, 0));
  server.end();
  e2e::Result result = tuner.finish();
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.err,
            "standin: STANDIN_VIEW: the display is gone; the run ends as when the window "
            "closes\n");
  ASSERT_FALSE(result.trace.empty());
  EXPECT_EQ(result.trace.back().call, "stop");
}

TEST(Render, WritesTheFileAndTheVerdictOrFailsLeavingNothing) {
  if (e2e::under_valgrind()) GTEST_SKIP() << "drawing is too slow under valgrind";
  std::string dir = e2e::temp_dir();
  std::vector<std::pair<std::string, std::string>> env = {{"RENDER_BUILD_DIR", RENDER_BUILD_DIR},
                                                          {"STANDIN_RECORD_SIZE", "320x240"}};
  std::string motion = std::string(MOTIONS_DIR) + "/wave_10ms.csv";
  // Names a shell would trip on.
  std::string out = dir + "/a b&'|c.png";
  e2e::CommandOutput made = e2e::run_command(RENDER_PATH, {"motion_skim", motion, out}, env);
  ASSERT_EQ(made.status, 0) << made.text;
  EXPECT_EQ(made.text, "render: wrote " + out +
                           " (motion_skim, 1.98 s simulated)\nrender: upright throughout\n");
  // Read back under a name the shell takes as it is.
  ASSERT_EQ(std::rename(out.c_str(), (dir + "/sheet.png").c_str()), 0);
  EXPECT_EQ(frames_of(dir + "/sheet.png", 4 * 320, 2 * 240).size(), 1u);
  ASSERT_EQ(std::rename((dir + "/sheet.png").c_str(), out.c_str()), 0);

  e2e::write_file(dir + "/zero.csv", "0,0\n");
  // A name an option parser would take for an option.
  e2e::write_file(dir + "/-zero.csv", "0,0\n");
  std::filesystem::create_directory(dir + "/dir.mp4");
  // Write-protected: refused even for root, and left as it was.
  e2e::write_file(dir + "/ro.mp4", "kept");
  ASSERT_EQ(chmod((dir + "/ro.mp4").c_str(), 0444), 0);
  struct Case {
    std::vector<std::string> args;
    int status;
  };
  for (const Case &c :
       {Case{{"motion_skim", motion}, 2}, Case{{"motion_walk", motion, dir + "/x.mp4"}, 2},
        Case{{"motion_skim", motion, dir + "/x.avi"}, 2},
        Case{{"motion_skim", dir + "/none.csv", dir + "/x.mp4"}, 2},
        Case{{"motion_player", dir + "/zero.csv", dir + "/x.mp4"}, 1},
        Case{{"motion_skim", motion, dir + "/dir.mp4"}, 2},
        Case{{"motion_skim", motion, dir + "/ro.mp4"}, 2},
        Case{{"--overlay", "knees", "motion_skim", motion, dir + "/x.png"}, 2},
        Case{{"-C", dir, RENDER_PATH, "motion_player", "-zero.csv", "x.mp4"}, 1}}) {
    // "-C DIR" runs it from DIR, where the motion's name starts with "-".
    e2e::CommandOutput failed = c.args[0] == "-C" ? e2e::run_command("env", c.args, env)
                                                  : e2e::run_command(RENDER_PATH, c.args, env);
    EXPECT_EQ(failed.status, c.status) << failed.text;
    EXPECT_TRUE(failed.text.starts_with("render: ")) << failed.text;
  }
  // Only what was there and the one picture made.
  EXPECT_EQ(output_of("LC_ALL=C ls -A '" + dir + "'"),
            "-zero.csv\na b&'|c.png\ndir.mp4\nro.mp4\nzero.csv\n");
  EXPECT_EQ(e2e::read_file(dir + "/ro.mp4"), "kept");
  EXPECT_EQ(output_of("ls -A '" + dir + "/dir.mp4'"), "");
}

TEST(MakeGif, BadOutputIsRefusedBeforeAnythingIsRendered) {
  std::string dir = e2e::temp_dir();
  std::filesystem::create_directory(dir + "/dir.gif");
  for (const std::vector<std::string> &args : {std::vector<std::string>{dir + "/dir.gif"},
                                               {dir + "/no/such/dir/a.gif"},
                                               {dir + "/a.png"},
                                               {dir + "/a.gif", dir + "/b.gif"}}) {
    e2e::CommandOutput refused =
        e2e::run_command(MAKE_GIF_PATH, args, {{"RENDER_BUILD_DIR", "/nonexistent"}});
    EXPECT_EQ(refused.status, 2) << refused.text;
    EXPECT_TRUE(refused.text.starts_with("make-gif: ")) << refused.text;
    EXPECT_EQ(e2e::count(refused.text, "\n"), 1) << refused.text;
  }
  EXPECT_EQ(output_of("ls -A '" + dir + "'"), "dir.gif\n");
  EXPECT_TRUE(std::filesystem::is_empty(dir + "/dir.gif"));
}

}  // namespace

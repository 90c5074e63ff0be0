// tools/preview end to end: it plays a bundled motion on the stand-in and
// writes a complete picture of the expected size, and it fails clearly.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e_harness.h"

namespace {

constexpr std::uint32_t kWidth = 1600;  // picture size the preview draws
constexpr std::uint32_t kHeight = 1200;

using Output = e2e::CommandOutput;

Output run_preview(const std::vector<std::string> &args) {
  return e2e::run_command(PREVIEW_PATH, args, {{"PREVIEW_BUILD_DIR", PREVIEW_BUILD_DIR}});
}

bool exists(const std::string &path) {
  std::FILE *f = std::fopen(path.c_str(), "rb");
  if (f) std::fclose(f);
  return f != nullptr;
}

std::uint32_t big_endian(const std::string &bytes, std::size_t at) {
  std::uint32_t v = 0;
  for (std::size_t k = 0; k < 4; ++k) v = v << 8 | static_cast<unsigned char>(bytes[at + k]);
  return v;
}

// Checks the signature, reads the size from IHDR, and that IEND closes it.
void expect_png(const std::string &path, std::uint32_t width, std::uint32_t height) {
  const std::string png = e2e::read_file(path);
  ASSERT_GT(png.size(), 100u);
  EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  EXPECT_EQ(png.substr(12, 4), "IHDR");
  EXPECT_EQ(big_endian(png, 16), width);
  EXPECT_EQ(big_endian(png, 20), height);
  EXPECT_EQ(png.substr(png.size() - 8, 4), "IEND");
}

std::string motion(const std::string &name) {
  return std::string(MOTIONS_DIR) + "/" + name;
}

}  // namespace

TEST(Preview, SkimPictureIsCompletePngOfTheExpectedSize) {
  const std::string out = e2e::temp_dir() + "/squat.png";
  const Output run = run_preview({"motion_skim", motion("squat_10ms.csv"), out});
  ASSERT_EQ(run.status, 0) << run.text;
  // Whether the squat, skimmed in 0.58 s, keeps the robot up is the physics'
  // business: the balance summary is tested below.
  const std::string wrote = "preview: wrote " + out + " (motion_skim, 0.58 s of commands; ";
  EXPECT_EQ(run.text.substr(0, wrote.size()), wrote) << run.text;
  EXPECT_TRUE(run.text.ends_with(")\n")) << run.text;
  expect_png(out, kWidth, kHeight);
}

TEST(Preview, PlayerPictureIsCompletePngOfTheExpectedSize) {
  const std::string out = e2e::temp_dir() + "/wave.png";
  const Output run = run_preview({"motion_player", motion("wave_10ms.csv"), out});
  ASSERT_EQ(run.status, 0) << run.text;
  // The approach ends at once; 240 playing steps follow, 50 ms apart.
  EXPECT_EQ(run.text, "preview: wrote " + out +
                          " (motion_player, 12.00 s of commands; upright throughout)\n");
  expect_png(out, kWidth, kHeight);
}

// The paths of the preview's files reach gnuplot whatever characters they
// hold: the picture is the same one.
TEST(Preview, AnyTemporaryDirectoryGivesTheSamePicture) {
  const std::string dir = e2e::temp_dir();
  const std::string odd = dir + "/a&b'c|d \\e";
  ASSERT_EQ(mkdir(odd.c_str(), 0700), 0);
  const std::vector<std::string> args = {"motion_skim", motion("wave_10ms.csv")};
  Output run = run_preview({args[0], args[1], dir + "/plain.png"});
  ASSERT_EQ(run.status, 0) << run.text;
  run = e2e::run_command(PREVIEW_PATH, {args[0], args[1], odd + "/odd.png"},
                         {{"PREVIEW_BUILD_DIR", PREVIEW_BUILD_DIR}, {"TMPDIR", odd}});
  ASSERT_EQ(run.status, 0) << run.text;
  EXPECT_TRUE(e2e::read_file(odd + "/odd.png") == e2e::read_file(dir + "/plain.png"));
}

TEST(Preview, FileThePlayerCannotPlayFails) {
  const std::string dir = e2e::temp_dir();
  e2e::write_file(dir + "/zero.csv",
                  "0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0, R ,R ,R,R\n"
                  "0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0, R ,R ,R,R\n");
  const Output run = run_preview({"motion_player", dir + "/zero.csv", dir + "/zero.png"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.text.find("motion_check: motion_player cannot play " + dir + "/zero.csv"),
            std::string::npos)
      << run.text;
  EXPECT_FALSE(exists(dir + "/zero.png"));
}

TEST(Preview, SvgPictureIsWrittenForAnSvgName) {
  const std::string out = e2e::temp_dir() + "/bow.svg";
  const Output run = run_preview({"motion_skim", motion("bow_25ms.csv"), out});
  ASSERT_EQ(run.status, 0) << run.text;
  const std::string svg = e2e::read_file(out);
  EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
  EXPECT_NE(svg.find("width=\"1600\""), std::string::npos);
  EXPECT_NE(svg.find("</svg>"), std::string::npos);
}

TEST(Preview, MissingFileFailsWithAClearMessage) {
  const std::string dir = e2e::temp_dir();
  const Output run = run_preview({"motion_skim", dir + "/absent.csv", dir + "/absent.png"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.text, "preview: no such motion file: " + dir + "/absent.csv\n");
  EXPECT_FALSE(exists(dir + "/absent.png"));
}

TEST(Preview, WrongProgramOrPictureNameIsRefused) {
  const std::string dir = e2e::temp_dir();
  Output run = run_preview({"pose_tuner", motion("bow_25ms.csv"), dir + "/x.png"});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.text.find("must be motion_player or motion_skim"), std::string::npos);
  run = run_preview({"motion_skim", motion("bow_25ms.csv"), dir + "/x.jpg"});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.text.find("must be named .png or .svg"), std::string::npos);
  run = run_preview({"motion_skim", motion("bow_25ms.csv")});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.text.find("usage: tools/preview"), std::string::npos);
  // A directory named like a picture is left as it was.
  std::filesystem::create_directory(dir + "/d.png");
  run = run_preview({"motion_skim", motion("bow_25ms.csv"), dir + "/d.png"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.text, "preview: the picture is a directory: " + dir + "/d.png\n");
  EXPECT_TRUE(std::filesystem::is_empty(dir + "/d.png"));
}

TEST(Preview, FindingsAreReportedWithThePicture) {
  const std::string dir = e2e::temp_dir();
  std::string text;
  for (int r = 0; r < 3; ++r) text += "20,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0, R ,R ,R,R\n";
  e2e::write_file(dir + "/slow.csv", text);
  const Output run = run_preview({"motion_skim", dir + "/slow.csv", dir + "/slow.png"});
  ASSERT_EQ(run.status, 0) << run.text;
  EXPECT_NE(run.text.find("preview: motion_check has findings for " + dir + "/slow.csv:\n" + dir +
                          "/slow.csv:1:1: warning: row period 20 ms does not divide 50 ms"),
            std::string::npos)
      << run.text;
  expect_png(dir + "/slow.png", kWidth, kHeight);
}

TEST(Preview, FallIsSummarisedWithItsTimeSinceTheFirstCommand) {
  const std::string dir = e2e::temp_dir();
  // Both ankles pitched 0.75 rad toes down from the first row on, for 2 s.
  std::string text;
  for (int r = 0; r < 200; ++r)
    text += "10,0,0,0,0,0,9000,0,0,0,0,0,0,0,0,0,-9000,0,0,0,0,0,0, R ,R ,R,R\n";
  e2e::write_file(dir + "/ankles.csv", text);
  const Output run = run_preview({"motion_skim", dir + "/ankles.csv", dir + "/ankles.png"});
  ASSERT_EQ(run.status, 0) << run.text;
  const std::string wrote =
      "preview: wrote " + dir + "/ankles.png (motion_skim, 0.13 s of commands; falls at ";
  const std::size_t at = run.text.find(wrote);
  ASSERT_NE(at, std::string::npos) << run.text;
  double seconds = -1;
  EXPECT_EQ(std::sscanf(run.text.c_str() + at + wrote.size(), "%lf s)", &seconds), 1);
  EXPECT_GT(seconds, 0.0) << "the robot stands until the ankles move";
  EXPECT_LT(seconds, 2.0) << run.text;
  expect_png(dir + "/ankles.png", kWidth, kHeight);
}

#include "body_model.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "row_reference.h"

namespace {

constexpr int kIntMax = std::numeric_limits<int>::max();
constexpr int kIntMin = std::numeric_limits<int>::min();

// The joints that have neither a number nor a calibration.
constexpr std::array<int, 4> kUnnumbered = {17, 22, 23, 24};

bool isUnnumbered(int i) {
  for (const int u : kUnnumbered) {
    if (u == i) return true;
  }
  return false;
}

// Line with control and non-ASCII bytes shown as escapes.
std::string escaped(std::string_view s) {
  std::string out;
  for (const char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7f) {
      out += c;
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", u);
      out += buf;
    }
  }
  return out;
}

::testing::AssertionResult sameRow(const MotionRow &want, const MotionRow &got) {
  if (want.period != got.period)
    return ::testing::AssertionFailure() << "period " << want.period << " vs " << got.period;
  if (want.field2 != got.field2)
    return ::testing::AssertionFailure() << "field2 " << want.field2 << " vs " << got.field2;
  for (int i = 0; i < kJointCount; ++i) {
    if (want.pulses[i] != got.pulses[i])
      return ::testing::AssertionFailure()
             << "pulses[" << i << "] " << want.pulses[i] << " vs " << got.pulses[i];
  }
  for (int k = 0; k < 4; ++k) {
    if (want.tail[k] != got.tail[k])
      return ::testing::AssertionFailure()
             << "tail[" << k << "] " << int(want.tail[k]) << " vs " << int(got.tail[k]);
  }
  return ::testing::AssertionSuccess();
}

// Parses `line` both ways from the same sentinel row and compares everything.
::testing::AssertionResult matchesScanf(const std::string &line, int *fields = nullptr) {
  MotionRow want = sentinel_row();
  MotionRow got = sentinel_row();
  const int wantCount = scanf_row(line.c_str(), want);
  const int gotCount = parse_csv_row(line.c_str(), got);
  if (fields != nullptr) *fields = wantCount;
  if (wantCount != gotCount)
    return ::testing::AssertionFailure()
           << "count " << wantCount << " vs " << gotCount << " on \"" << escaped(line) << "\"";
  auto same = sameRow(want, got);
  if (!same) same << " on \"" << escaped(line) << "\"";
  return same;
}

// Text written by write_csv_row for `pulses`.
std::string writtenRow(const PulseCounts &pulses, int *result = nullptr) {
  std::FILE *f = std::tmpfile();
  if (f == nullptr) return "<no tmpfile>";
  const int n = write_csv_row(f, pulses);
  if (result != nullptr) *result = n;
  std::rewind(f);
  char buf[1024];
  const std::size_t got = std::fread(buf, 1, sizeof buf, f);
  std::fclose(f);
  return std::string(buf, got);
}

// A row of 23 numbers separated by `sep`, joint columns from `cols`, then `tail`.
std::string rowText(const std::array<int, kNumberedJoints> &cols, const char *sep,
                    const char *tail) {
  std::string s = "1";
  s += sep;
  s += "2";
  for (const int v : cols) {
    s += sep;
    s += std::to_string(v);
  }
  return s + tail;
}

constexpr std::array<int, kNumberedJoints> kCounting = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11,
                                                        12, 13, 14, 15, 16, 17, 18, 19, 20, 21};

// Maximal digit runs of a line (up to its first NUL) all fit in an int, a
// magnitude of 2^31 only after a minus sign.
bool numbersFitInt(const std::string &line) {
  const std::string_view s(line.c_str());
  for (std::size_t k = 0; k < s.size();) {
    if (s[k] < '0' || s[k] > '9') {
      ++k;
      continue;
    }
    const std::size_t start = k;
    while (k < s.size() && s[k] == '0') ++k;
    const std::size_t significant = k;
    while (k < s.size() && s[k] >= '0' && s[k] <= '9') ++k;
    if (k - significant > 10) return false;
    const long long magnitude =
        k == significant ? 0 : std::stoll(std::string(s.substr(significant, k - significant)));
    const bool minus = start > 0 && s[start - 1] == '-';
    if (magnitude > 2147483648LL || (magnitude == 2147483648LL && !minus)) return false;
  }
  return true;
}

// Generator of plausible rows and their damaged variants.
class RowMaker {
 public:
  explicit RowMaker(unsigned seed) : rng_(seed) {}

  std::string row() {
    std::string s;
    for (int f = 0; f < 23; ++f) {
      s += spaces(pick(4) == 0 ? 3 : 0);
      s += number();
      if (f == 22) break;
      // White space may stand before the comma after the sixth number only;
      // elsewhere it is sometimes put in to break the row.
      if (f == 5 || pick(60) == 0) s += spaces(2);
      s += ',';
      if (pick(2) == 0) s += ' ';
    }
    s += trailer();
    const int end = pick(4);
    if (end == 1) s += '\n';
    if (end == 2) s += "\r\n";
    return s;
  }

  // Applies 0..3 random edits: cut, insert, delete, replace.
  std::string mutate(std::string s) {
    const int edits = pick(4);
    for (int e = 0; e < edits && !s.empty(); ++e) {
      const std::size_t at = pick(static_cast<int>(s.size()));
      switch (pick(4)) {
        case 0:
          s.resize(at);
          break;
        case 1:
          s.insert(s.begin() + at, stray());
          break;
        case 2:
          s.erase(at, 1);
          break;
        default:
          s[at] = stray();
          break;
      }
    }
    return s;
  }

 private:
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

  std::string spaces(int most) {
    static constexpr char kSpace[] = " \t\n\v\f\r";
    std::string s;
    for (int n = pick(most + 1); n > 0; --n) s += kSpace[pick(6)];
    return s;
  }

  std::string number() {
    long long v = 0;
    switch (pick(6)) {
      case 0:
        v = kIntMax;
        break;
      case 1:
        v = kIntMin;
        break;
      case 2:
        v = std::uniform_int_distribution<int>(kIntMin, kIntMax)(rng_);
        break;
      default:
        v = pick(4001) - 2000;
        break;
    }
    std::string s;
    if (v < 0) {
      s += '-';
    } else if (pick(5) == 0) {
      s += '+';
    }
    if (pick(6) == 0) s.append(pick(3) + 1, '0');
    return s + std::to_string(v < 0 ? -v : v);
  }

  char anyChar() {
    static constexpr char kChars[] = "RLx0 ,\t-";
    return kChars[pick(8)];
  }

  std::string trailer() {
    switch (pick(8)) {
      case 0:
        return "";
      case 1:
        return ",";
      case 2:
        return ", R ,R";
      case 3:
        return ", R ,R ,R,R";
      default: {
        std::string s = ",";
        s += spaces(1);
        s += anyChar();
        s += spaces(1);
        s += ',';
        s += anyChar();
        s += spaces(1);
        s += ',';
        s += anyChar();
        s += ',';
        s += anyChar();
        return s + spaces(2);
      }
    }
  }

  char stray() {
    static constexpr char kStray[] = "0123456789+-, \t\r\nRx.";
    const int k = pick(sizeof kStray + 1);
    if (k == sizeof kStray - 1) return '\0';
    if (k == sizeof kStray) return '\xe9';
    return kStray[k];
  }

  std::mt19937 rng_;
};

// ---------------------------------------------------------------------------

TEST(BodyModel, JointNamesAreUniqueAndNamedByIndex) {
  std::set<std::string> names;
  for (int i = 0; i < kJointCount; ++i) {
    EXPECT_STREQ(jointNum2Text(i), kJoints[i].name) << i;
    names.insert(kJoints[i].name);
  }
  EXPECT_EQ(names.size(), 25u);
  EXPECT_STREQ(jointNum2Text(0), "body_joint_1");
  EXPECT_STREQ(jointNum2Text(7), "rleg_joint_1");
}

TEST(BodyModel, JointNumbersArePermutationOfOneToTwentyOne) {
  std::set<int> numbers;
  for (int i = 0; i < kJointCount; ++i) {
    if (isUnnumbered(i)) {
      EXPECT_EQ(kJoints[i].number, 0) << i;
    } else {
      numbers.insert(kJoints[i].number);
    }
  }
  EXPECT_EQ(numbers.size(), 21u);
  EXPECT_EQ(*numbers.begin(), 1);
  EXPECT_EQ(*numbers.rbegin(), 21);
}

TEST(BodyModel, CalibrationZeroExactlyForArmFifthAndHeadJoints) {
  for (int i = 0; i < kJointCount; ++i) {
    if (isUnnumbered(i)) {
      EXPECT_EQ(pulse[i], 0) << i;
    } else {
      EXPECT_EQ(std::abs(pulse[i]), 209) << i;
    }
  }
}

TEST(BodyModel, LegSecondAndThirdJointsAndHeadJointsAreSwapped) {
  EXPECT_STREQ(jointNum2Text(2), "lleg_joint_3");
  EXPECT_STREQ(jointNum2Text(3), "lleg_joint_2");
  EXPECT_STREQ(jointNum2Text(8), "rleg_joint_3");
  EXPECT_STREQ(jointNum2Text(9), "rleg_joint_2");
  EXPECT_STREQ(jointNum2Text(23), "head_joint_2");
  EXPECT_STREQ(jointNum2Text(24), "head_joint_1");
}

TEST(BodyModel, JointNameOutOfRangeIsNone) {
  for (const int i : {-1, 25, -1000, 1000, kIntMin, kIntMax}) {
    EXPECT_STREQ(jointNum2Text(i), "none") << i;
  }
}

TEST(BodyModel, ConvertJointFollowsTableAndFallsBackToBody) {
  // Index by number 1..21, as the operator's numbering lists them.
  constexpr int kIndexOf[22] = {0, 7, 9, 8, 10, 11, 12, 18, 19, 20, 21,
                                1, 3, 2, 4, 5,  6,  13, 14, 15, 16, 0};
  for (int n = -5; n <= 30; ++n) {
    const int want = n >= 1 && n <= 21 ? kIndexOf[n] : 0;
    EXPECT_EQ(convertJoint(n), want) << n;
  }
  EXPECT_EQ(convertJoint(kIntMin), 0);
  EXPECT_EQ(convertJoint(kIntMax), 0);
}

TEST(BodyModel, Rad2PulseTruncatesTowardZero) {
  EXPECT_EQ(rad2pulse(0.1f, 7), 1197);
  EXPECT_EQ(rad2pulse(0.1f, 8), -1197);
  EXPECT_EQ(rad2pulse(-0.1f, 7), -1197);
  EXPECT_EQ(rad2pulse(-0.1f, 8), 1197);
  EXPECT_EQ(rad2pulse(3.0f, 0), 35924);
  EXPECT_EQ(rad2pulse(0.0f, 7), 0);
  EXPECT_EQ(rad2pulse(-0.0f, 8), 0);
}

TEST(BodyModel, Rad2PulseIsZeroWithoutCalibration) {
  for (const int i : {17, 22, 23, 24, -1, 25, kIntMin}) {
    EXPECT_EQ(rad2pulse(0.5f, i), 0) << i;
    EXPECT_EQ(rad2pulse(std::numeric_limits<float>::infinity(), i), 0) << i;
  }
}

TEST(BodyModel, Rad2PulseSaturatesOutsideIntRange) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  // The last float angle whose count still fits, and the next one.
  EXPECT_EQ(rad2pulse(179333.296875f, 7), 2147483576);
  EXPECT_EQ(rad2pulse(179333.3125f, 7), kIntMax);
  EXPECT_EQ(rad2pulse(179333.296875f, 8), -2147483576);
  EXPECT_EQ(rad2pulse(179333.3125f, 8), kIntMin);
  EXPECT_EQ(rad2pulse(1e30f, 7), kIntMax);
  EXPECT_EQ(rad2pulse(-1e30f, 7), kIntMin);
  EXPECT_EQ(rad2pulse(kInf, 7), kIntMax);
  EXPECT_EQ(rad2pulse(-kInf, 7), kIntMin);
  EXPECT_EQ(rad2pulse(kInf, 8), kIntMin);
  EXPECT_EQ(rad2pulse(std::numeric_limits<float>::quiet_NaN(), 7), 0);
}

TEST(BodyModel, Pulse2RadInvertsCalibrationWithoutRounding) {
  EXPECT_NEAR(pulse2rad(1197, 7), 0.0999597662505843, 1e-15);
  EXPECT_NEAR(pulse2rad(1197, 8), -0.0999597662505843, 1e-15);
  EXPECT_EQ(pulse2rad(0, 7), 0.0);
  // Round trip keeps whole pulses and loses the fraction.
  EXPECT_NEAR(pulse2rad(rad2pulse(0.1f, 7), 7), 0.0999597662505843, 1e-15);
  EXPECT_TRUE(std::isfinite(pulse2rad(kIntMin, 7)));
  EXPECT_TRUE(std::isfinite(pulse2rad(kIntMax, 8)));
}

TEST(BodyModel, Pulse2RadIsZeroWithoutCalibration) {
  for (const int i : {17, 22, 23, 24, -1, 25, kIntMax}) EXPECT_EQ(pulse2rad(1000, i), 0.0) << i;
}

TEST(BodyModel, BodyOrderCommandsEveryNumberedJointOnce) {
  constexpr std::array<int, 21> kWant = {0,  1,  3,  2,  4,  5,  6,  7,  9,  8, 10,
                                         11, 12, 13, 14, 15, 16, 18, 19, 20, 21};
  EXPECT_EQ(kBodyOrder, kWant);
  std::set<int> seen(kBodyOrder.begin(), kBodyOrder.end());
  EXPECT_EQ(seen.size(), 21u);
  for (const int i : kBodyOrder) EXPECT_FALSE(isUnnumbered(i)) << i;
}

TEST(BodyModel, HeadFirstOrderIsHeadThenBodyOrder) {
  EXPECT_EQ(kHeadFirstOrder[0], 24);
  EXPECT_EQ(kHeadFirstOrder[1], 23);
  for (int k = 0; k < 21; ++k) EXPECT_EQ(kHeadFirstOrder[k + 2], kBodyOrder[k]) << k;
  for (const int i : kHeadFirstOrder) {
    EXPECT_NE(i, 17);
    EXPECT_NE(i, 22);
  }
}

TEST(BodyModel, ColumnOrderIsJointNumberOrder) {
  for (int k = 0; k < kNumberedJoints; ++k) {
    EXPECT_EQ(kColumnOrder[k], convertJoint(k + 1)) << k;
    EXPECT_EQ(kJoints[kColumnOrder[k]].number, k + 1) << k;
  }
}

// ---------------------------------------------------------------------------

TEST(BodyModel, JointLimitNumbersMatchTheirTexts) {
  for (const JointLimits &l : kJointLimits) {
    EXPECT_EQ(std::strtod(l.minText, nullptr), l.min) << l.minText;
    EXPECT_EQ(std::strtod(l.maxText, nullptr), l.max) << l.maxText;
    EXPECT_LT(l.min, l.max) << l.minText;
  }
}

TEST(BodyModel, JointLimitsOfLeftAndRightFirstTwoLegJointsAreMirrored) {
  // Rows 01/02 against 11/12: the roll axes point opposite ways.
  for (int k : {0, 1}) {
    EXPECT_EQ(kJointLimits[k].min, -kJointLimits[k + 10].max);
    EXPECT_EQ(kJointLimits[k].max, -kJointLimits[k + 10].min);
  }
}

TEST(RowCodec, ZeroPostureWritesFiftySixCharacters) {
  int result = 0;
  const std::string text = writtenRow(PulseCounts{}, &result);
  EXPECT_EQ(text, "1,2,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0, R ,R ,R,R");
  EXPECT_EQ(text.size(), 56u);
  EXPECT_EQ(result, 56);
}

TEST(RowCodec, WritesCountsInColumnOrder) {
  PulseCounts pulses{};
  for (int i = 0; i < kJointCount; ++i) pulses[i] = 100 + i;
  EXPECT_EQ(writtenRow(pulses),
            "1,2,107,109,108,110,111,112,118,119,120,121,101,103,102,104,105,106,113,114,115,116,"
            "100, R ,R ,R,R");
}

TEST(RowCodec, WrittenRowParsesBack) {
  std::mt19937 rng(20240611);
  std::uniform_int_distribution<int> any(kIntMin, kIntMax);
  for (int round = 0; round < 50; ++round) {
    PulseCounts pulses{};
    for (int i = 0; i < kJointCount; ++i) pulses[i] = any(rng);
    if (round == 0) pulses.fill(kIntMin);
    if (round == 1) pulses.fill(kIntMax);
    const std::string text = writtenRow(pulses);
    MotionRow row = sentinel_row();
    ASSERT_EQ(parse_csv_row(text.c_str(), row), 27) << text;
    EXPECT_EQ(row.period, 1);
    EXPECT_EQ(row.field2, 2);
    for (int i = 0; i < kJointCount; ++i) {
      EXPECT_EQ(row.pulses[i], isUnnumbered(i) ? sentinel_row().pulses[i] : pulses[i]) << i;
    }
    EXPECT_EQ(std::string(row.tail.data(), 4), "RRRR");
  }
}

TEST(RowCodec, SpaceAfterEveryCommaGivesSameNumbers) {
  MotionRow tight = sentinel_row();
  MotionRow spaced = sentinel_row();
  EXPECT_EQ(parse_csv_row(rowText(kCounting, ",", "").c_str(), tight), 23);
  EXPECT_EQ(parse_csv_row(rowText(kCounting, ", ", "").c_str(), spaced), 23);
  EXPECT_TRUE(sameRow(tight, spaced));
  EXPECT_EQ(tight.pulses[kColumnOrder[20]], 21);
}

TEST(RowCodec, LetterInFifthJointColumnKeepsLaterJoints) {
  const MotionRow before = sentinel_row();
  MotionRow row = before;
  EXPECT_EQ(
      parse_csv_row("5,6,11,12,13,14,x,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30,31\n", row), 6);
  EXPECT_EQ(row.period, 5);
  EXPECT_EQ(row.field2, 6);
  EXPECT_EQ(row.pulses[7], 11);
  EXPECT_EQ(row.pulses[9], 12);
  EXPECT_EQ(row.pulses[8], 13);
  EXPECT_EQ(row.pulses[10], 14);
  for (int k = 4; k < kNumberedJoints; ++k) {
    EXPECT_EQ(row.pulses[kColumnOrder[k]], before.pulses[kColumnOrder[k]]) << k;
  }
  EXPECT_EQ(row.tail, before.tail);
}

TEST(RowCodec, RowWithoutTrailerStoresAllNumbers) {
  MotionRow row = sentinel_row();
  EXPECT_EQ(parse_csv_row(rowText(kCounting, ",", "\r\n").c_str(), row), 23);
  for (int k = 0; k < kNumberedJoints; ++k) EXPECT_EQ(row.pulses[kColumnOrder[k]], k + 1);
  EXPECT_EQ(row.tail, sentinel_row().tail);
}

TEST(RowCodec, SpaceBeforeCommaOnlyAfterSixthNumber) {
  MotionRow row = sentinel_row();
  EXPECT_EQ(parse_csv_row("1,2,3,4,5,6 \t,7,8", row), 8);
  row = sentinel_row();
  EXPECT_EQ(parse_csv_row("1,2,3 ,4", row), 3);
  row = sentinel_row();
  EXPECT_EQ(parse_csv_row("1 ,2", row), 1);
}

TEST(RowCodec, SignsNeedADigitAndStandAlone) {
  MotionRow row = sentinel_row();
  EXPECT_EQ(parse_csv_row("+7,-8,+0,-0", row), 4);
  EXPECT_EQ(row.period, 7);
  EXPECT_EQ(row.field2, -8);
  for (const char *bad : {"+-5", "-+5", "- 5", "+", "-", "--5", "++5", "x1"}) {
    row = sentinel_row();
    EXPECT_EQ(parse_csv_row(bad, row), 0) << bad;
    EXPECT_EQ(row.period, sentinel_row().period) << bad;
  }
}

TEST(RowCodec, CharacterAfterCommaMayBeSpace) {
  MotionRow row = sentinel_row();
  EXPECT_EQ(parse_csv_row(rowText(kCounting, ",", ",\tR , ,-,,").c_str(), row), 27);
  EXPECT_EQ(std::string(row.tail.data(), 4), "R -,");
}

TEST(RowCodec, LineEndsAtFirstNul) {
  const std::string line("1,2\0,3,4", 8);
  MotionRow row = sentinel_row();
  EXPECT_EQ(parse_csv_row(line.c_str(), row), 2);
  EXPECT_EQ(row.pulses[7], sentinel_row().pulses[7]);
}

TEST(RowCodec, EmptyOrBlankLineStoresNothing) {
  for (const char *line : {"", " ", "\r\n", "\t\v\f"}) {
    MotionRow row = sentinel_row();
    EXPECT_EQ(parse_csv_row(line, row), 0);
    EXPECT_TRUE(sameRow(row, sentinel_row()));
  }
}

TEST(RowCodec, NumberPastIntRangeStopsAtItsField) {
  MotionRow row = sentinel_row();
  EXPECT_EQ(parse_csv_row("2147483648,2,3", row), 0);
  EXPECT_EQ(row.period, sentinel_row().period);
  row = sentinel_row();
  EXPECT_EQ(parse_csv_row("1,2,-2147483649,4", row), 2);
  EXPECT_EQ(row.pulses[7], sentinel_row().pulses[7]);
  row = sentinel_row();
  EXPECT_EQ(parse_csv_row("1,2,3,99999999999999999999,5", row), 3);
  EXPECT_EQ(row.pulses[7], 3);
  EXPECT_EQ(row.pulses[9], sentinel_row().pulses[9]);
  row = sentinel_row();
  EXPECT_EQ(parse_csv_row("1,+0002147483647,-2147483648,-000", row), 4);
  EXPECT_EQ(row.field2, kIntMax);
  EXPECT_EQ(row.pulses[7], kIntMin);
  EXPECT_EQ(row.pulses[9], 0);
}

TEST(RowCodec, MatchesScanfOnEveryTruncation) {
  RowMaker maker(7);
  std::string full = rowText(kCounting, ", ", ", R ,R ,R,R\r\n");
  for (int r = 0; r < 4; ++r) {
    for (std::size_t n = 0; n <= full.size(); ++n) {
      ASSERT_TRUE(matchesScanf(full.substr(0, n)));
    }
    full = maker.row();
  }
}

TEST(RowCodec, MatchesScanfOnGeneratedAndDamagedRows) {
  RowMaker maker(12345);
  std::set<int> counts;
  int whole = 0;
  int compared = 0;
  for (int r = 0; r < 20000; ++r) {
    const std::string line = r % 4 == 0 ? maker.row() : maker.mutate(maker.row());
    if (!numbersFitInt(line)) continue;
    int fields = 0;
    ASSERT_TRUE(matchesScanf(line, &fields));
    counts.insert(fields);
    whole += fields == 27;
    ++compared;
  }
  // The rows must reach every depth of the format, not only its first fields.
  EXPECT_GT(compared, 18000);
  EXPECT_GT(whole, 2000);
  EXPECT_EQ(counts.size(), 28u);
}

}  // namespace

// A process started with standard descriptors closed: the next file it
// opens must not take one of their numbers.
TEST(BodyModel, ClosedStandardStreamsAreReopenedBeforeAnyFileTakesTheirPlace) {
  const std::vector<std::vector<int>> closed_sets = {{0}, {1}, {2}, {0, 2}, {0, 1, 2}};
  for (const std::vector<int> &closed : closed_sets) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (const int fd : closed) close(fd);
      keep_standard_streams_open();
      const int file = open("/dev/zero", O_RDONLY);
      bool all_open = true;
      for (int fd = 0; fd <= 2; ++fd) all_open = all_open && fcntl(fd, F_GETFD) != -1;
      _exit(file > 2 && all_open ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "closed: " << closed.size();
  }
}

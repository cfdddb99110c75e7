// Capture times read from the files' Exif data and the order they give a sequence: counters
// that roll over, clocks that tie, sub-seconds, and files without a time.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "RawFiles.h"
#include "RawMetadata.h"
#include "SequencePlan.h"
#include "TestPaths.h"

namespace fs = std::filesystem;
using tarn::test::DataDir;
using tarn::test::MessageOf;
using tarn::test::TempDir;

namespace {

fs::path Clock(const std::string& name) {
  return DataDir() / "raw" / "capture-time" / name;
}

// Copies fixtures into dir under camera-style names; returns the copies' paths.
std::vector<std::string> Card(const TempDir& dir,
                              const std::vector<std::pair<std::string, std::string>>& files) {
  std::vector<std::string> paths;
  for (const auto& [name, fixture] : files) {
    const fs::path path = dir / name;
    fs::create_directories(path.parent_path());
    fs::copy_file(fixture.empty() ? DataDir() / "raw" / "not-a-raw.cr2" : Clock(fixture), path);
    paths.push_back(path.string());
  }
  return paths;
}

std::vector<std::string> Names(const SequencePlan& plan, const fs::path& base) {
  std::vector<std::string> names;
  for (const PlannedFrame& frame : plan.frames) {
    names.push_back(fs::relative(frame.input, base).string() + " -> " +
                    fs::path(frame.output).filename().string());
  }
  return names;
}

TEST(RawMetadataTest, ReadsTheCaptureTimeCameraAndExposure) {
  const RawMetadata m = ReadRawMetadata(Clock("clock-10-00-01-subsec-25.cr2").string());
  ASSERT_TRUE(m.captureTime);
  EXPECT_EQ(*m.captureTime, (CaptureTime{2024, 5, 1, 10, 0, 1, 250000000}));
  EXPECT_EQ(m.make, "Canon");
  EXPECT_EQ(m.model, "Canon EOS 350D DIGITAL");
  EXPECT_EQ(m.InputDevice(), "Canon EOS 350D DIGITAL");
  EXPECT_FALSE(m.serial.empty());
  EXPECT_EQ(m.isoSpeed, 100.0f);
  ASSERT_TRUE(m.exposureSeconds);
  EXPECT_FLOAT_EQ(*m.exposureSeconds, 1.0f / 125);
}

TEST(RawMetadataTest, AFileWithoutMetadataIsNamedInTheError) {
  const std::string path = (DataDir() / "raw" / "not-a-raw.cr2").string();
  EXPECT_NE(MessageOf([&] { ReadRawMetadata(path); }).find(path), std::string::npos);
}

struct TimeCase {
  const char* name;
  const char* dateTime;
  const char* subSeconds;
  std::optional<CaptureTime> expected;
};

void PrintTo(const TimeCase& c, std::ostream* os) {
  *os << c.name;
}

class ParseCaptureTimeTest : public ::testing::TestWithParam<TimeCase> {};

TEST_P(ParseCaptureTimeTest, ReadsExifText) {
  const TimeCase& c = GetParam();
  EXPECT_EQ(ParseCaptureTime(c.dateTime, c.subSeconds), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseCaptureTimeTest,
    ::testing::Values(
        TimeCase{"WholeSeconds", "2024:05:01 10:00:01", "", CaptureTime{2024, 5, 1, 10, 0, 1, 0}},
        // Sub-seconds are a decimal fraction, not a count: "5" is later than "25".
        TimeCase{"OneDigitIsTenths", "2024:05:01 10:00:01", "5",
                 CaptureTime{2024, 5, 1, 10, 0, 1, 500000000}},
        TimeCase{"LeadingZeroKept", "2024:05:01 10:00:01", "05",
                 CaptureTime{2024, 5, 1, 10, 0, 1, 50000000}},
        TimeCase{"PaddedWithBlanks", "2024:05:01 10:00:01", " 24 ",
                 CaptureTime{2024, 5, 1, 10, 0, 1, 240000000}},
        TimeCase{"ClockNeverSet", "0000:00:00 00:00:00", "", std::nullopt},
        TimeCase{"BlankTime", "    :  :     :  :  ", "", std::nullopt},
        TimeCase{"NoSuchDay", "2023:02:29 10:00:00", "", std::nullopt},
        TimeCase{"LeapDay", "2024:02:29 10:00:00", "", CaptureTime{2024, 2, 29, 10, 0, 0, 0}},
        TimeCase{"TrailingText", "2024:05:01 10:00:01x", "", std::nullopt}));

SequenceSettings ByCaptureTime(const std::string& pattern = "shot_{frame:04}") {
  SequenceSettings settings;
  settings.order = FileOrder::CaptureTime;
  settings.pattern = pattern;
  return settings;
}

TEST(CaptureOrderTest, CounterRollOverAcrossCardFoldersFollowsTheClock) {
  TempDir dir;
  // The counter went round from 9999 to 0001 within 100CANON and again into 101CANON; name
  // order would put every IMG_0001 first.
  Card(dir, {{"DCIM/100CANON/IMG_9998.CR2", "clock-10-00-00.cr2"},
             {"DCIM/100CANON/IMG_9999.CR2", "clock-10-00-01.cr2"},
             {"DCIM/100CANON/IMG_0001.CR2", "clock-10-00-02.cr2"},
             {"DCIM/101CANON/IMG_0001.CR2", "clock-10-00-03.cr2"}});
  const SequencePlan plan =
      PlanSequence(RawFilesInTree((dir / "DCIM").string()), "out", ByCaptureTime());
  EXPECT_EQ(Names(plan, dir.path()),
            (std::vector<std::string>{"DCIM/100CANON/IMG_9998.CR2 -> shot_0001.dpx",
                                      "DCIM/100CANON/IMG_9999.CR2 -> shot_0002.dpx",
                                      "DCIM/100CANON/IMG_0001.CR2 -> shot_0003.dpx",
                                      "DCIM/101CANON/IMG_0001.CR2 -> shot_0004.dpx"}));
  EXPECT_TRUE(plan.warnings.empty());
}

TEST(CaptureOrderTest, ClockTiesGoByPathAndSubSecondsSplitThem) {
  TempDir dir;
  Card(dir, {{"B/IMG_0002.CR2", "clock-10-00-01.cr2"},
             {"A/IMG_0009.CR2", "clock-10-00-01.cr2"},
             {"A/IMG_0003.CR2", "clock-10-00-01-subsec-5.cr2"},
             {"A/IMG_0004.CR2", "clock-10-00-01-subsec-25.cr2"},
             {"A/IMG_0001.CR2", "clock-10-00-00.cr2"}});
  std::vector<std::string> inputs = {
      (dir / "B/IMG_0002.CR2").string(), (dir / "A/IMG_0009.CR2").string(),
      (dir / "A/IMG_0003.CR2").string(), (dir / "A/IMG_0004.CR2").string(),
      (dir / "A/IMG_0001.CR2").string()};
  const SequencePlan plan = PlanSequence(inputs, "out", ByCaptureTime("{stem}"));
  EXPECT_EQ(
      Names(plan, dir.path()),
      (std::vector<std::string>{"A/IMG_0001.CR2 -> IMG_0001.dpx", "A/IMG_0009.CR2 -> IMG_0009.dpx",
                                "B/IMG_0002.CR2 -> IMG_0002.dpx", "A/IMG_0004.CR2 -> IMG_0004.dpx",
                                "A/IMG_0003.CR2 -> IMG_0003.dpx"}));
}

TEST(CaptureOrderTest, FilesWithoutATimeGoLastByNameAndAreReported) {
  TempDir dir;
  const auto inputs = Card(dir, {{"z.cr2", "clock-10-00-03.cr2"},
                                 {"b.cr2", ""},
                                 {"a.cr2", ""},
                                 {"y.cr2", "clock-10-00-02.cr2"}});
  const SequencePlan plan = PlanSequence(inputs, "out", ByCaptureTime());
  EXPECT_EQ(Names(plan, dir.path()),
            (std::vector<std::string>{"y.cr2 -> shot_0001.dpx", "z.cr2 -> shot_0002.dpx",
                                      "a.cr2 -> shot_0003.dpx", "b.cr2 -> shot_0004.dpx"}));
  ASSERT_EQ(plan.warnings.size(), 2u);
  EXPECT_NE(plan.warnings[0].find("b.cr2"), std::string::npos) << plan.warnings[0];
  EXPECT_NE(plan.warnings[1].find("a.cr2"), std::string::npos) << plan.warnings[1];
}

TEST(RawFilesInTreeTest, JoinsCardFoldersInPathOrderAndSkipsOtherFiles) {
  TempDir dir;
  Card(dir, {{"101CANON/IMG_0001.CR2", "clock-10-00-00.cr2"},
             {"100CANON/IMG_9999.CR2", "clock-10-00-00.cr2"},
             {"100CANON/sub/deeper/IMG_0005.cr2", "clock-10-00-00.cr2"}});
  std::ofstream(dir / "100CANON" / "notes.txt") << "not a picture";
  fs::create_directory(dir / "101CANON" / "folder.CR2");
  std::vector<std::string> relative;
  for (const std::string& path : RawFilesInTree(dir.path().string())) {
    relative.push_back(fs::relative(path, dir.path()).string());
  }
  EXPECT_EQ(relative,
            (std::vector<std::string>{"100CANON/IMG_9999.CR2", "100CANON/sub/deeper/IMG_0005.cr2",
                                      "101CANON/IMG_0001.CR2"}));
}

TEST(RawFilesInTreeTest, AMissingFolderIsNamed) {
  EXPECT_NE(MessageOf([] { RawFilesInTree("/nonexistent/cards"); }).find("/nonexistent/cards"),
            std::string::npos);
}

}  // namespace

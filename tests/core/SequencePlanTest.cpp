// Planning a sequence: names and numbers over the whole list whatever the slicing, clashes
// found with patterns, and what each frame's header will carry.
#include <gtest/gtest.h>

#include "BatchRun.h"
#include "SequencePlan.h"
#include "TestPaths.h"

using tarn::test::MessageOf;

namespace {

// Metadata without files: every input was shot one second after the previous one in list
// order reversed, so capture-time order is the reverse of the name order.
RawMetadata FakeMetadata(const std::string& path) {
  RawMetadata m;
  m.make = "Canon";
  m.model = "Canon EOS 5D Mark III";
  const int number = std::stoi(path.substr(path.size() - 8, 4));
  m.captureTime = CaptureTime{2024, 5, 1, 10, 0, 0, 0};
  m.captureTime->second = 59 - number % 60;
  m.captureTime->minute = 59 - number / 60 % 60;
  return m;
}

std::vector<std::string> Inputs(int count) {
  std::vector<std::string> inputs;
  for (int i = 0; i < count; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "/cards/%03dCANON/IMG_%04d.CR2", 100 + i / 7, i);
    inputs.push_back(name);
  }
  return inputs;
}

std::vector<std::pair<std::string, std::string>> Pairs(const std::vector<PlannedFrame>& frames) {
  std::vector<std::pair<std::string, std::string>> pairs;
  for (const PlannedFrame& f : frames) pairs.emplace_back(f.input, f.output);
  return pairs;
}

struct ShardCase {
  const char* name;
  FileOrder order;
  const char* pattern;
  int count;  // inputs
  int shards;
};

void PrintTo(const ShardCase& c, std::ostream* os) {
  *os << c.name;
}

class ShardNamesTest : public ::testing::TestWithParam<ShardCase> {};

TEST_P(ShardNamesTest, ShardsTogetherWriteExactlyTheSingleRunsNames) {
  const ShardCase& c = GetParam();
  SequenceSettings settings;
  settings.order = c.order;
  settings.pattern = c.pattern;
  settings.start = 86400;
  auto inputs = Inputs(c.count);
  const auto whole = PlanSequence(inputs, "/out", settings, FakeMetadata).frames;
  // Each shard gets the list in another order, as a farm's list file may hold it.
  std::vector<std::pair<std::string, std::string>> joined;
  for (int k = 0; k < c.shards; ++k) {
    std::rotate(inputs.begin(), inputs.begin() + 1, inputs.end());
    const auto plan = PlanSequence(inputs, "/out", settings, FakeMetadata).frames;
    for (auto& pair : Pairs(PlanSlice(plan, k, c.shards))) joined.push_back(pair);
  }
  EXPECT_EQ(joined, Pairs(whole));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ShardNamesTest,
    ::testing::Values(ShardCase{"NameOrder", FileOrder::Name, "shot_{frame:07}", 23, 4},
                      ShardCase{"CaptureTimeOrder", FileOrder::CaptureTime, "shot_{frame:07}", 23,
                                5},
                      ShardCase{"MoreShardsThanFiles", FileOrder::Name, "f{frame}", 3, 8},
                      ShardCase{"PlainNames", FileOrder::Name, "", 10, 3}));

TEST(SequencePlanTest, CaptureTimeOrderNumbersByTheClock) {
  SequenceSettings settings;
  settings.order = FileOrder::CaptureTime;
  settings.pattern = "{frame:2}_{stem}";
  settings.start = 10;
  settings.step = 5;
  const auto frames = PlanSequence(Inputs(3), "/out", settings, FakeMetadata).frames;
  EXPECT_EQ(Pairs(frames), (std::vector<std::pair<std::string, std::string>>{
                               {"/cards/100CANON/IMG_0002.CR2", "/out/10_IMG_0002.dpx"},
                               {"/cards/100CANON/IMG_0001.CR2", "/out/15_IMG_0001.dpx"},
                               {"/cards/100CANON/IMG_0000.CR2", "/out/20_IMG_0000.dpx"}}));
}

TEST(SequencePlanTest, WithoutAPatternTheNamesAreTheUsualOnes) {
  const std::vector<std::string> inputs = {"/raw/b.c/IMG_1.CR2", "/raw/noext", "/raw/x.y.NEF"};
  const auto frames = PlanSequence(inputs, "/out/", SequenceSettings{}).frames;
  ASSERT_EQ(frames.size(), inputs.size());
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    EXPECT_EQ(frames[i].input, inputs[i]);
    EXPECT_EQ(frames[i].output, OutputPathFor("/out/", inputs[i]));
    EXPECT_FALSE(frames[i].info) << "a plain DPX header";
  }
}

struct ClashCase {
  const char* name;
  const char* pattern;
  OutputFormat format;
  std::vector<std::string> inputs;
  std::vector<std::string> clashes;  // "first|second|output name"
};

void PrintTo(const ClashCase& c, std::ostream* os) {
  *os << c.name;
}

class NameClashTest : public ::testing::TestWithParam<ClashCase> {};

TEST_P(NameClashTest, EveryClashIsNamed) {
  const ClashCase& c = GetParam();
  SequenceSettings settings;
  settings.pattern = c.pattern;
  settings.output.format = c.format;
  std::vector<std::string> found;
  for (const NameClash& clash :
       FindNameClashes(PlanSequence(c.inputs, "/out", settings, FakeMetadata).frames)) {
    found.push_back(clash.first + "|" + clash.second + "|" + clash.output.substr(5));
  }
  EXPECT_EQ(found, c.clashes);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NameClashTest,
    ::testing::Values(ClashCase{"SameStemInTwoCardFolders",
                                "",
                                OutputFormat::Dpx,
                                {"/a/IMG_0001.CR2", "/b/IMG_0001.CR2", "/c/IMG_0002.CR2",
                                 "/d/IMG_0001.CR2"},
                                {"/a/IMG_0001.CR2|/b/IMG_0001.CR2|IMG_0001.dpx",
                                 "/a/IMG_0001.CR2|/d/IMG_0001.CR2|IMG_0001.dpx"}},
                      ClashCase{"SameStemAsExr",
                                "",
                                OutputFormat::Exr,
                                {"/a/IMG_0001.CR2", "/b/IMG_0001.NEF"},
                                {"/a/IMG_0001.CR2|/b/IMG_0001.NEF|IMG_0001.exr"}},
                      ClashCase{"PatternWithoutFrameNumber",
                                "{camera}",
                                OutputFormat::Dpx,
                                {"/a/IMG_0001.CR2", "/a/IMG_0002.CR2"},
                                {"/a/IMG_0001.CR2|/a/IMG_0002.CR2|Canon EOS 5D Mark III.dpx"}},
                      ClashCase{"FrameNumbersKeepNamesApart",
                                "{stem}_{frame}",
                                OutputFormat::Dpx,
                                {"/a/IMG_0001.CR2", "/b/IMG_0001.CR2"},
                                {}}));

TEST(SequencePlanTest, AFieldTheFileLacksNamesTheFile) {
  SequenceSettings settings;
  settings.pattern = "{date}_{frame}";
  const std::string message = MessageOf([&] {
    PlanSequence({"/raw/IMG_0001.CR2"}, "/out", settings,
                 [](const std::string& path) -> RawMetadata {
                   throw Exception("Cannot read the metadata of \"" + path + "\".");
                 });
  });
  EXPECT_NE(message.find("/raw/IMG_0001.CR2: "), std::string::npos) << message;
  EXPECT_NE(message.find("no capture date"), std::string::npos) << message;
}

TEST(SequencePlanTest, TimecodeCountsFromTheStartOverTheWholeList) {
  SequenceSettings settings;
  settings.order = FileOrder::Name;
  settings.start = 1001;
  settings.frameRate = FrameRate{24000, 1001};
  settings.startTimecode = Timecode{0, 59, 59, 22};
  const auto frames = PlanSequence(Inputs(3), "/out", settings, FakeMetadata).frames;
  ASSERT_EQ(frames.size(), 3u);
  const Timecode expected[] = {{0, 59, 59, 22}, {0, 59, 59, 23}, {1, 0, 0, 0}};
  for (std::size_t i = 0; i < 3; ++i) {
    ASSERT_TRUE(frames[i].info);
    EXPECT_EQ(frames[i].info->timecode, expected[i]) << i;
    EXPECT_EQ(frames[i].info->frameNumber, 1001 + static_cast<std::int64_t>(i));
    EXPECT_EQ(frames[i].info->sequenceLength, 3);
    EXPECT_EQ(frames[i].info->outputName, "IMG_000" + std::to_string(i) + ".dpx");
  }
}

}  // namespace

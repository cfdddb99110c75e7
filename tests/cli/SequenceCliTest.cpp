// raw2dpx making sequences as a conform or a farm uses them: names that do not depend on how
// the job is sliced, refused clashes, headers read back by other programs, and EXR runs that
// leave no partial file when killed.
#include <ImfInputFile.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include "DpxHeader.h"
#include "RawToDpx.h"
#include "Subprocess.h"
#include "TestPaths.h"

namespace fs = std::filesystem;
using namespace tarn::test;

namespace {

const fs::path kSmallRaw = DataDir() / "raw" / "kodak-dc50.kdc";

bool DeveloperAvailable() {
  return RawDeveloperReads(kSmallRaw);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> FilesIn(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A card whose counter rolled over twice, with two frames shot in the same second.
fs::path MakeRolledOverCard(const fs::path& root) {
  const std::pair<const char*, const char*> files[] = {
      {"100CANON/IMG_9998.CR2", "clock-10-00-00.cr2"},
      {"100CANON/IMG_9999.CR2", "clock-10-00-01.cr2"},
      {"100CANON/IMG_0001.CR2", "clock-10-00-01-subsec-25.cr2"},
      {"101CANON/IMG_0001.CR2", "clock-10-00-01-subsec-5.cr2"},
      {"101CANON/IMG_0002.CR2", "clock-10-00-02.cr2"},
      {"101CANON/IMG_0003.CR2", "clock-10-00-02.cr2"},
      {"101CANON/IMG_0004.CR2", "clock-10-00-03.cr2"}};
  for (const auto& [name, fixture] : files) {
    fs::create_directories((root / name).parent_path());
    fs::copy_file(DataDir() / "raw" / "capture-time" / fixture, root / name);
  }
  return root;
}

struct ShardRunCase {
  const char* name;
  std::vector<std::string> options;
  int shards;
};

void PrintTo(const ShardRunCase& c, std::ostream* os) {
  *os << c.name;
}

class ShardedRunTest : public ::testing::TestWithParam<ShardRunCase> {};

TEST_P(ShardedRunTest, ShardsNameEveryFrameAsOneRunDoes) {
  const ShardRunCase& c = GetParam();
  TempDir dir;
  const fs::path card = MakeRolledOverCard(dir / "DCIM");
  std::vector<std::string> args = {RAW2DPX_PATH, "--dry-run", "-r", card.string(), "-o", "out"};
  args.insert(args.end(), c.options.begin(), c.options.end());
  const ProcessResult single = RunProcess(args);
  ASSERT_EQ(single.exitCode, 0) << single.err;
  std::vector<std::string> joined;
  for (int k = 0; k < c.shards; ++k) {
    std::vector<std::string> shardArgs = args;
    shardArgs.push_back("--shard");
    shardArgs.push_back(std::to_string(k) + "/" + std::to_string(c.shards));
    const ProcessResult shard = RunProcess(shardArgs);
    ASSERT_EQ(shard.exitCode, 0) << shard.err;
    for (const std::string& line : Lines(shard.out)) joined.push_back(line);
  }
  EXPECT_EQ(joined, Lines(single.out));
}

TEST(SequenceCliTest, CaptureTimeOrderFollowsTheClockAcrossTheRollOver) {
  TempDir dir;
  const fs::path card = MakeRolledOverCard(dir / "DCIM");
  const ProcessResult run =
      RunProcess({RAW2DPX_PATH, "--dry-run", "-r", card.string(), "--order", "capture-time",
                  "--name", "shot_{frame:07}", "--start", "86400", "-o", "out"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const std::string c = card.string() + "/";
  EXPECT_EQ(Lines(run.out),
            (std::vector<std::string>{c + "100CANON/IMG_9998.CR2 -> out/shot_0086400.dpx",
                                      c + "100CANON/IMG_9999.CR2 -> out/shot_0086401.dpx",
                                      c + "100CANON/IMG_0001.CR2 -> out/shot_0086402.dpx",
                                      c + "101CANON/IMG_0001.CR2 -> out/shot_0086403.dpx",
                                      c + "101CANON/IMG_0002.CR2 -> out/shot_0086404.dpx",
                                      c + "101CANON/IMG_0003.CR2 -> out/shot_0086405.dpx",
                                      c + "101CANON/IMG_0004.CR2 -> out/shot_0086406.dpx"}));
}

// A farm sizes a shard from what --info lists for it: the same frames the shard converts,
// also when capture time reorders them (here the card's name order differs from its clock).
// The card's files carry dates but no picture, so --info names each one, in its order, on an
// error line.
TEST(SequenceCliTest, InfoOfAShardListsTheFramesThatShardConverts) {
  TempDir dir;
  const fs::path card = MakeRolledOverCard(dir / "DCIM");
  const auto inputsBefore = [](const std::string& text, const std::string& mark, bool prefixed) {
    std::vector<std::string> inputs;
    for (const std::string& line : Lines(text)) {
      const std::size_t start = prefixed ? std::string("raw2dpx: ").size() : 0;
      const std::size_t end = line.find(mark);
      if (end != std::string::npos && end > start)
        inputs.push_back(line.substr(start, end - start));
    }
    return inputs;
  };
  for (int k = 0; k < 3; ++k) {
    const std::vector<std::string> common = {
        "-r",     card.string(), "--order", "capture-time",
        "--name", "f{frame}",    "--shard", std::to_string(k) + "/3"};
    std::vector<std::string> info = {RAW2DPX_PATH, "--info"};
    std::vector<std::string> dryRun = {RAW2DPX_PATH, "--dry-run", "-o", "out"};
    info.insert(info.end(), common.begin(), common.end());
    dryRun.insert(dryRun.end(), common.begin(), common.end());
    const ProcessResult listed = RunProcess(info);
    const ProcessResult planned = RunProcess(dryRun);
    ASSERT_EQ(planned.exitCode, 0) << planned.err;
    const auto plannedInputs = inputsBefore(planned.out, " -> ", false);
    EXPECT_FALSE(plannedInputs.empty()) << "shard " << k;
    EXPECT_EQ(inputsBefore(listed.err, ": EOS Error", true), plannedInputs) << "shard " << k << "\n"
                                                                            << listed.err;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ShardedRunTest,
    ::testing::Values(
        ShardRunCase{"CaptureTimePadded",
                     {"--order", "capture-time", "--name", "shot_{frame:07}", "--start", "1001"},
                     3},
        ShardRunCase{"NameOrderStepped", {"--name", "{frame:4}_{stem}", "--step", "10"}, 2},
        ShardRunCase{"ExrMoreShardsThanFrames",
                     {"--format", "exr", "--name", "f{frame}", "--order", "capture-time"},
                     9}));

struct ClashRunCase {
  const char* name;
  std::vector<std::string> options;
  std::vector<std::string> clashing;  // the second input of each clash, as named on stderr
};

void PrintTo(const ClashRunCase& c, std::ostream* os) {
  *os << c.name;
}

class ClashRunTest : public ::testing::TestWithParam<ClashRunCase> {};

TEST_P(ClashRunTest, RefusedBeforeAnythingIsWrittenWithEveryClashNamed) {
  const ClashRunCase& c = GetParam();
  TempDir dir;
  const fs::path card = MakeRolledOverCard(dir / "DCIM");
  std::vector<std::string> args = {RAW2DPX_PATH, "-r", card.string(), "-o", (dir / "out").string()};
  args.insert(args.end(), c.options.begin(), c.options.end());
  const ProcessResult run = RunProcess(args);
  EXPECT_EQ(run.exitCode, 2);
  for (const std::string& second : c.clashing) {
    EXPECT_NE(run.err.find((card / second).string() + ": same output file as "), std::string::npos)
        << second << "\n"
        << run.err;
  }
  EXPECT_EQ(FilesIn(dir / "out"), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ClashRunTest,
    ::testing::Values(ClashRunCase{"PlainNamesAcrossCardFolders", {}, {"101CANON/IMG_0001.CR2"}},
                      ClashRunCase{"PatternWithoutFrame",
                                   {"--name", "{camera}_{date}"},
                                   {"100CANON/IMG_9998.CR2", "100CANON/IMG_9999.CR2",
                                    "101CANON/IMG_0001.CR2", "101CANON/IMG_0002.CR2",
                                    "101CANON/IMG_0003.CR2", "101CANON/IMG_0004.CR2"}},
                      ClashRunCase{"InAShardThatHoldsOnlyOneOfThem",
                                   {"--name", "{stem}", "--shard", "0/7"},
                                   {"101CANON/IMG_0001.CR2"}}));

TEST(SequenceCliTest, WithoutSequenceOptionsTheHeaderIsThePlainOne) {
  if (!DeveloperAvailable()) GTEST_SKIP() << "the RAW developer cannot read " << kSmallRaw;
  TempDir dir;
  const ProcessResult run = RunProcess({RAW2DPX_PATH, kSmallRaw.string(), "-o", dir.path()});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const std::string file = ReadFileBytes(dir / "kodak-dc50.dpx");
  const TRawImageSize size = GetRawImageSize(kSmallRaw.string());
  const std::uint32_t pixels = static_cast<std::uint32_t>(size.Width * size.Height * 6);
  const dpx::Header plain = dpx::MakeHeader(size.Width, size.Height, dpx::kTransferRec709, pixels);
  EXPECT_EQ(file.substr(0, 2048), std::string(plain.begin(), plain.end()));
}

TEST(SequenceCliTest, TimecodeAndFrameRateReadBackByOpenImageIO) {
  if (!DeveloperAvailable()) GTEST_SKIP() << "the RAW developer cannot read " << kSmallRaw;
  if (!fs::exists("/usr/bin/oiiotool")) GTEST_SKIP() << "oiiotool (openimageio-tools) missing";
  TempDir dir;
  for (const char* name : {"A001_0001.kdc", "A001_0002.kdc", "A001_0003.kdc"}) {
    fs::create_directories(dir / "in");
    fs::copy_file(kSmallRaw, dir / "in" / name);
  }
  const ProcessResult run =
      RunProcess({RAW2DPX_PATH, (dir / "in").string(), "--name", "plate.{frame:04}", "--start",
                  "1001", "--frame-rate", "25", "--timecode", "10:00:00:23", "--resize", "32x24",
                  "-o", (dir / "out").string()});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const std::pair<const char*, const char*> expected[] = {{"plate.1001.dpx", "10:00:00:23"},
                                                          {"plate.1002.dpx", "10:00:00:24"},
                                                          {"plate.1003.dpx", "10:00:01:00"}};
  for (const auto& [name, timecode] : expected) {
    const ProcessResult info =
        RunProcess({"/usr/bin/oiiotool", "--info", "-v", (dir / "out" / name).string()});
    EXPECT_NE(info.out.find(std::string("dpx:TimeCode: \"") + timecode + "\""), std::string::npos)
        << name << "\n"
        << info.out;
    EXPECT_NE(info.out.find("dpx:FrameRate: 25"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("dpx:InputDevice: \"Eastman Kodak Company"), std::string::npos)
        << info.out;
    EXPECT_NE(info.out.find("dpx:SourceImageFileName: \"A001_"), std::string::npos) << info.out;
  }
}

TEST(SequenceCliTest, KilledExrRunLeavesOnlyCompleteFiles) {
  if (!DeveloperAvailable()) GTEST_SKIP() << "the RAW developer cannot read " << kSmallRaw;
  TempDir dir;
  constexpr int kFrames = 24;
  fs::create_directories(dir / "in");
  for (int i = 0; i < kFrames; ++i) {
    fs::copy_file(kSmallRaw, dir / "in" / ("f" + std::to_string(100 + i) + ".kdc"));
  }
  const fs::path out = dir / "out";
  const pid_t pid = StartProcess({RAW2DPX_PATH, "--jobs", "2", "--format", "exr", "--name",
                                  "shot_{frame:03}", (dir / "in").string(), "-o", out.string()});
  // Kill once the first frame is there, so that the signal lands mid-run.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!fs::exists(out / "shot_001.exr") && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(pid, SIGKILL);
  EXPECT_EQ(WaitProcess(pid), -SIGKILL);
  const std::vector<std::string> names = FilesIn(out);
  EXPECT_GE(names.size(), 1u);
  EXPECT_LT(names.size(), static_cast<std::size_t>(kFrames)) << "the run ended before the kill";
  for (const std::string& name : names) {
    ASSERT_EQ(name.front(), 's') << "a leftover: " << name;
    // A partial file fails here: every line of pixels must be there.
    Imf::InputFile file((out / name).c_str());
    EXPECT_TRUE(file.isComplete()) << name;
  }
}

}  // namespace

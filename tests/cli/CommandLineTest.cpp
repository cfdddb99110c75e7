// raw2dpx's argument parsing and slicing of inputs into shards.
#include <gtest/gtest.h>

#include <cctype>
#include <set>

#include "BatchRun.h"
#include "CommandLine.h"

namespace {
std::string ToLower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}
}  // namespace

TEST(CommandLineTest, AcceptsEveryOption) {
  const CliOptions o = ParseCommandLine(
      Split("a.cr2 dir --resize 1920x1080 --color-space linear -j 3 --overwrite never "
            "--keep-going --list frames.txt --shard 2/8 --dry-run -o out"));
  EXPECT_EQ(o.inputs, (std::vector<std::string>{"a.cr2", "dir"}));
  EXPECT_EQ(o.outputFolder, "out");
  EXPECT_TRUE(o.convert.Resize);
  EXPECT_EQ(o.convert.Width, 1920);
  EXPECT_EQ(o.convert.Height, 1080);
  EXPECT_EQ(o.convert.ColorSpace, kColorSpaceLinear);
  EXPECT_EQ(o.jobs, 3);
  EXPECT_EQ(o.overwrite, OverwriteMode::Never);
  EXPECT_TRUE(o.keepGoing);
  EXPECT_TRUE(o.dryRun);
  EXPECT_EQ(o.listFile, "frames.txt");
  ASSERT_TRUE(o.shard);
  EXPECT_EQ(o.shard->index, 2);
  EXPECT_EQ(o.shard->count, 8);

  const CliOptions defaults = ParseCommandLine(Split("--output=out -- -odd-name.cr2"));
  EXPECT_EQ(defaults.inputs, (std::vector<std::string>{"-odd-name.cr2"}));
  EXPECT_FALSE(defaults.convert.Resize);
  EXPECT_EQ(defaults.convert.ColorSpace, kColorSpaceRec709);
  EXPECT_EQ(defaults.jobs, 0);
  EXPECT_EQ(defaults.overwrite, OverwriteMode::Default);
  EXPECT_TRUE(ParseCommandLine(Split("--info a.cr2")).info);  // no folder needed
  EXPECT_TRUE(ParseCommandLine(Split("--help")).help);
  EXPECT_TRUE(ParseCommandLine(Split("--version")).version);
  EXPECT_TRUE(ParseCommandLine(Split("-v a.cr2 -o out")).verbose);
}

TEST(CommandLineTest, ShortOptionsTakeAttachedValues) {
  const CliOptions o = ParseCommandLine(Split("-j4 -oout a.cr2"));
  EXPECT_EQ(o.jobs, 4);
  EXPECT_EQ(o.outputFolder, "out");
  EXPECT_EQ(o.inputs, (std::vector<std::string>{"a.cr2"}));
}

TEST(CommandLineTest, ColorSpaceNamesInAnyCase) {
  const std::pair<const char*, std::uint8_t> rows[] = {
      {"srgb", kColorSpaceRec709},   {"sRGB", kColorSpaceRec709},   {"rec709", kColorSpaceRec709},
      {"REC709", kColorSpaceRec709}, {"linear", kColorSpaceLinear}, {"Linear", kColorSpaceLinear},
  };
  for (const auto& [name, colorSpace] : rows) {
    EXPECT_EQ(ParseCommandLine({"--color-space", name, "a.cr2", "-o", "out"}).convert.ColorSpace,
              colorSpace)
        << name;
    // Every accepted name is one the help lists.
    EXPECT_NE(std::string(UsageText()).find(ToLower(name)), std::string::npos) << name;
  }
}

TEST(CommandLineTest, ResizeUpToTheLargestFrame) {
  // 6 bytes a pixel in one buffer of at most 2147483647 bytes.
  const CliOptions largest = ParseCommandLine(Split("a.cr2 -o out --resize 65535x5461"));
  EXPECT_EQ(largest.convert.Width, 65535);
  EXPECT_EQ(largest.convert.Height, 5461);
  try {
    ParseCommandLine(Split("a.cr2 -o out --resize 65535x65535"));
    ADD_FAILURE() << "a frame no buffer can hold was accepted";
  } catch (const UsageError& e) {
    EXPECT_NE(std::string(e.what()).find("65535x65535"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("2147483647"), std::string::npos) << e.what();
  }
}

TEST(CommandLineTest, AcceptsTheSequenceOptions) {
  const CliOptions o = ParseCommandLine(
      Split("-r cards --name shot_{frame:07} --start 86400 --step 2 --order capture-time "
            "--format exr --exr-compression piz --exr-float --color-space linear "
            "--frame-rate 23.976 --timecode 00:59:59:23 --dpx-metadata -o out"));
  EXPECT_TRUE(o.recursive);
  EXPECT_EQ(o.sequence.pattern, "shot_{frame:07}");
  EXPECT_EQ(o.sequence.start, 86400);
  EXPECT_EQ(o.sequence.step, 2);
  EXPECT_EQ(o.sequence.order, FileOrder::CaptureTime);
  EXPECT_EQ(o.sequence.output.format, OutputFormat::Exr);
  EXPECT_EQ(o.sequence.output.exr.compression, ExrCompression::Piz);
  EXPECT_TRUE(o.sequence.output.exr.floatSamples);
  EXPECT_TRUE(o.sequence.dpxMetadata);
  ASSERT_TRUE(o.sequence.frameRate);
  EXPECT_EQ(o.sequence.frameRate->numerator, 24000);
  EXPECT_EQ(o.sequence.startTimecode, (Timecode{0, 59, 59, 23}));

  const CliOptions defaults = ParseCommandLine(Split("a.cr2 -o out"));
  EXPECT_FALSE(defaults.recursive);
  EXPECT_EQ(defaults.sequence.pattern, "");
  EXPECT_EQ(defaults.sequence.order, FileOrder::AsGiven);
  EXPECT_EQ(defaults.sequence.output.format, OutputFormat::Dpx);
  EXPECT_FALSE(defaults.sequence.dpxMetadata);
  EXPECT_FALSE(defaults.sequence.frameRate);
  EXPECT_FALSE(defaults.sequence.startTimecode);
}

TEST(CommandLineTest, RefusesBadUsage) {
  const char* rows[] = {
      "a.cr2",     // no output folder
      "-o out",    // no input
      "a.cr2 -o",  // missing value
      "a.cr2 -o out --resize 1920",
      "a.cr2 -o out --resize 0x1080",
      "a.cr2 -o out --resize -5x5",
      "a.cr2 -o out --resize 70000x10",
      "a.cr2 -o out --color-space p3",
      "a.cr2 -o out --jobs 0",
      "a.cr2 -o out --jobs two",
      "a.cr2 -o out --overwrite maybe",
      "a.cr2 -o out --shard 4/4",  // shards count from 0
      "a.cr2 -o out --shard 0/0",
      "a.cr2 -o out --shard -1/4",
      "a.cr2 -o out --shard 1",
      "a.cr2 -o out --frobnicate",
      "a.cr2 -o out --keep-going=yes",
      "a.cr2 -o out --name a/{frame}",  // outside the output folder
      "a.cr2 -o out --name {reel}",
      "a.cr2 -o out --name {frame:0}",
      "a.cr2 -o out --start -1",
      "a.cr2 -o out --start 1x",
      "a.cr2 -o out --step 0",
      "a.cr2 -o out --order random",
      "a.cr2 -o out --frame-rate 0",
      "a.cr2 -o out --frame-rate fast",
      "a.cr2 -o out --timecode 01:00:00:00",  // needs a frame rate
      "a.cr2 -o out --frame-rate 24 --timecode 01:00:00:24",
      "a.cr2 -o out --frame-rate 24 --timecode 1:00:00:00",
      "a.cr2 -o out --format tiff",
      "a.cr2 -o out --format exr --exr-compression dwaa",
      "a.cr2 -o out --exr-float",  // EXR options without EXR
      "a.cr2 -o out --exr-compression=piz",
      "a.cr2 -o out --format exr --color-space srgb",
      "a.cr2 -o out -r=yes",
      "a.cr2 -o out --resize 65535x5462",  // one row more than a frame can hold
      "a.cr2 -o out --resize 65535x65535",
      "a.cr2 -o out --resize 18919x18919",
      "a.cr2 -o out -j0",
      "a.cr2 -o out -jmany",
      "a.cr2 -o out --version=1",
  };
  for (const char* row : rows) {
    EXPECT_THROW(ParseCommandLine(Split(row)), UsageError) << row;
  }
}

TEST(CommandLineTest, PathListSkipsBlanksAndComments) {
  EXPECT_EQ(ParsePathList("# frames of day 1\n/a/1.cr2\r\n\n   \n  /a/2 with space.cr2  \n#x\n"),
            (std::vector<std::string>{"/a/1.cr2", "/a/2 with space.cr2"}));
}

TEST(CommandLineTest, ShardsCoverEveryPathExactlyOnce) {
  for (int total : {0, 1, 7, 16, 101}) {
    std::vector<std::string> paths;
    for (int i = total - 1; i >= 0; --i) paths.push_back("f" + std::to_string(1000 + i));
    for (int count : {1, 2, 3, 8, 200}) {
      std::multiset<std::string> seen;
      std::size_t smallest = SIZE_MAX, largest = 0;
      for (int index = 0; index < count; ++index) {
        const auto slice = ShardSlice(paths, {index, count});
        seen.insert(slice.begin(), slice.end());
        smallest = std::min(smallest, slice.size());
        largest = std::max(largest, slice.size());
        EXPECT_TRUE(std::is_sorted(slice.begin(), slice.end()));
      }
      EXPECT_EQ(seen, std::multiset<std::string>(paths.begin(), paths.end()))
          << total << " paths in " << count << " shards";
      EXPECT_LE(largest - smallest, 1u);
    }
  }
}

TEST(CommandLineTest, FindsInputsSharingAnOutputFile) {
  struct Row {
    std::vector<std::string> paths;
    std::vector<std::string> clashing;  // the later input of each clash, in list order
  };
  const Row rows[] = {
      {{"/a/IMG_1.CR2", "/a/IMG_2.CR2", "/b/IMG_3.CR2"}, {}},
      {{}, {}},
      {{"/a/IMG_1.CR2", "/b/IMG_1.CR2"}, {"/b/IMG_1.CR2"}},  // same name, other folder
      {{"/a/IMG_1.CR2", "/a/IMG_1.NEF"}, {"/a/IMG_1.NEF"}},  // same name, other extension
      {{"/a/IMG_1.CR2", "/a/IMG_1.CR2"}, {"/a/IMG_1.CR2"}},  // listed twice
      {{"x/f.cr2", "/a/f.cr2", "f.nef", "/a/g.cr2"}, {"/a/f.cr2", "f.nef"}},
      {{"/a/IMG_1.CR2", "/a/img_1.cr2"}, {}},  // file names are case-sensitive
  };
  for (const Row& row : rows) {
    std::vector<std::string> clashing;
    for (const OutputClash& clash : OutputClashes(row.paths, "out")) {
      clashing.push_back(clash.second);
      EXPECT_EQ(clash.output, OutputPathFor("out", clash.first));
      EXPECT_EQ(clash.output, OutputPathFor("out", clash.second));
    }
    EXPECT_EQ(clashing, row.clashing) << ::testing::PrintToString(row.paths);
  }
}

// Every name of every space, in any case, and each listed in the help.
TEST(CommandLineTest, EveryColourSpaceByEachOfItsNames) {
  for (std::uint8_t id = 0; id < kColorSpaceCount; ++id) {
    const TColorSpaceNames& names = ColorSpaceNames(id);
    for (const char* name : {names.shortName, names.interop, names.caption}) {
      SCOPED_TRACE(name);
      std::string upper = name;
      for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      for (const std::string& given : {std::string(name), upper}) {
        EXPECT_EQ(
            ParseCommandLine({"--color-space", given, "a.cr2", "-o", "out"}).convert.ColorSpace,
            id);
      }
      if (name != names.caption) {
        EXPECT_NE(std::string(UsageText()).find(name), std::string::npos);
      }
    }
  }
}

TEST(CommandLineTest, WhiteBalanceValues) {
  struct Row {
    const char* value;
    std::uint8_t mode;
    std::array<double, 3> multipliers;  // with kWhiteBalanceMultipliers
    double kelvin, tint;                // with kWhiteBalanceTemperature
  };
  const Row rows[] = {
      {"asshot", kWhiteBalanceAsShot, {1, 1, 1}, 5500, 0},
      {"Daylight", kWhiteBalanceDaylight, {1, 1, 1}, 5500, 0},
      {"2.1,1,1.5", kWhiteBalanceMultipliers, {2.1, 1, 1.5}, 5500, 0},
      {"4.2,2,3", kWhiteBalanceMultipliers, {2.1, 1, 1.5}, 5500, 0},  // scaled to green 1
      {"5600", kWhiteBalanceTemperature, {1, 1, 1}, 5600, 0},
      {"3200K", kWhiteBalanceTemperature, {1, 1, 1}, 3200, 0},
      {"6500,-12.5", kWhiteBalanceTemperature, {1, 1, 1}, 6500, -12.5},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.value);
    const TConvertOptions c = ParseCommandLine({"--wb", row.value, "a.cr2", "-o", "out"}).convert;
    EXPECT_EQ(c.WhiteBalance, row.mode);
    if (row.mode == kWhiteBalanceMultipliers) {
      for (std::size_t i = 0; i < 3; ++i)
        EXPECT_DOUBLE_EQ(c.WhiteBalanceMultipliers[i], row.multipliers[i]);
    }
    if (row.mode == kWhiteBalanceTemperature) {
      EXPECT_DOUBLE_EQ(c.WhiteBalanceKelvin, row.kelvin);
      EXPECT_DOUBLE_EQ(c.WhiteBalanceTint, row.tint);
    }
  }
}

TEST(CommandLineTest, ColourOptionsOutOfRangeAreRefusedWithTheValue) {
  const std::pair<const char*, const char*> rows[] = {
      {"--color-space xyz a.cr2 -o out", "\"xyz\""},
      {"--wb 1500 a.cr2 -o out", "\"1500\""},
      {"--wb 5600,200 a.cr2 -o out", "\"5600,200\""},
      {"--wb 2,0,1 a.cr2 -o out", "\"2,0,1\""},
      {"--wb 2,1 a.cr2,1 -o out", "\"2,1\""},
      {"--wb auto a.cr2 -o out", "\"auto\""},
      {"--exposure 9 a.cr2 -o out", "\"9\""},
      {"--exposure one a.cr2 -o out", "\"one\""},
      {"--highlights blend a.cr2 -o out", "\"blend\""},
      {"--wb daylight --wb-from ref.cr2 a.cr2 -o out", "--wb-from"},
      {"--format exr --color-space acescct a.cr2 -o out", "acescct"},
      {"--format exr --color-space srgb a.cr2 -o out", "DPX only"},
  };
  for (const auto& [line, expected] : rows) {
    SCOPED_TRACE(line);
    try {
      ParseCommandLine(Split(line));
      ADD_FAILURE() << "accepted";
    } catch (const UsageError& e) {
      EXPECT_NE(std::string(e.what()).find(expected), std::string::npos) << e.what();
    }
  }
  const CliOptions o = ParseCommandLine(
      Split("--exposure -1.5 --highlights reconstruct --wb-from ref.cr2 --format exr "
            "--color-space aces a.cr2 -o out"));
  EXPECT_DOUBLE_EQ(o.convert.ExposureStops, -1.5);
  EXPECT_EQ(o.convert.Highlights, kHighlightsReconstruct);
  EXPECT_EQ(o.whiteBalanceFrom, "ref.cr2");
  EXPECT_EQ(o.convert.ColorSpace, kColorSpaceAces2065);
}

// Our CR2 decoder in the conversion: for every CR2 it takes, the DPX file is byte for byte the
// one LibRaw's unpack leads to (black levels measured on the masked border included), and a
// damaged sensor stream fails with 0000002D without leaving a file.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cctype>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Cr2Writer.h"
#include "RawToDpx.h"
#include "TestPaths.h"
#include "develop/Cr2Decoder.h"

namespace fs = std::filesystem;
using tarn::test::Cr2Layout;
using tarn::test::DataDir;
using tarn::test::FindCr2Offsets;
using tarn::test::MessageOf;
using tarn::test::ReadFileBytes;
using tarn::test::SharedFixture;
using tarn::test::TempDir;
using tarn::test::WriteCr2;
using tarn::test::WriteFileBytes;

namespace {

// While alive, LibRaw's unpack reads every file (the reference the backend offers tests).
class LibRawUnpackForced {
 public:
  LibRawUnpackForced() { ::setenv("TARN_LIBRAW_UNPACK", "1", 1); }
  ~LibRawUnpackForced() { ::unsetenv("TARN_LIBRAW_UNPACK"); }
  LibRawUnpackForced(const LibRawUnpackForced&) = delete;
  LibRawUnpackForced& operator=(const LibRawUnpackForced&) = delete;
};

bool OurDecoderTakes(const std::string& bytes) {
  return Cr2Image::Parse({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()})
      .has_value();
}

// A small CR2 with a ramp in every component: no masked border known to LibRaw.
std::string WrittenCr2(int bits) {
  Cr2Layout layout;
  layout.width = 96;
  layout.height = 40;
  layout.components = bits == 14 ? 4 : 2;
  layout.bits = bits;
  layout.stripCount = 1;
  layout.stripWidth = 48;
  layout.lastStripWidth = 48;
  std::vector<std::uint16_t> samples(std::size_t(layout.width) * layout.height);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = std::uint16_t((i * 37) % (1u << bits));
  }
  return WriteCr2(layout, samples);
}

struct SameCase {
  const char* name;
  std::function<std::optional<fs::path>(const TempDir&)> file;
  std::uint8_t colorSpace;
};

void PrintTo(const SameCase& c, std::ostream* os) {
  *os << c.name;
}

std::function<std::optional<fs::path>(const TempDir&)> Kept(const char* name) {
  return [name](const TempDir&) { return std::optional(DataDir() / "raw" / name); };
}
std::function<std::optional<fs::path>(const TempDir&)> Shared(const char* name) {
  return [name](const TempDir&) { return SharedFixture(name); };
}
std::function<std::optional<fs::path>(const TempDir&)> Written(int bits) {
  return [bits](const TempDir& dir) {
    const fs::path path = dir / "written.cr2";
    WriteFileBytes(path, WrittenCr2(bits));
    return std::optional(path);
  };
}

class Cr2DecodePathTest : public ::testing::TestWithParam<SameCase> {};

INSTANTIATE_TEST_SUITE_P(
    Files, Cr2DecodePathTest,
    ::testing::Values(
        SameCase{"Eos350dRec709", Kept("eos-350d-small.cr2"), kColorSpaceRec709},
        SameCase{"Eos350dLinear", Kept("eos-350d-small.cr2"), kColorSpaceLinear},
        SameCase{"Eos400dFlat", Kept("eos-400d-flat.cr2"), kColorSpaceLinear},
        SameCase{"Eos7dUpright", Kept("eos-7d-flat-upright.cr2"), kColorSpaceRec709},
        SameCase{"Eos5d3Chart", Shared("synthetic/eos-5d3-chart.cr2"), kColorSpaceRec709},
        SameCase{"Eos5d3Portrait", Shared("synthetic/eos-5d3-portrait.cr2"), kColorSpaceLinear},
        SameCase{"Eos600dRealSensor", Shared("synthetic/eos-600d-real-d1.cr2"), kColorSpaceRec709},
        SameCase{"Eos350dShared", Shared("synthetic/eos-350d-small.cr2"), kColorSpaceLinear},
        SameCase{"WrittenFourComponents", Written(14), kColorSpaceRec709},
        SameCase{"WrittenTwoComponents", Written(12), kColorSpaceLinear}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(Cr2DecodePathTest, DpxEqualsTheOneAfterLibRawUnpack) {
  TempDir dir;
  const std::optional<fs::path> raw = GetParam().file(dir);
  if (!raw) GTEST_SKIP() << GetParam().name << ": shared fixtures absent";
  ASSERT_TRUE(OurDecoderTakes(ReadFileBytes(*raw))) << "not a CR2 our decoder covers";
  TConvertOptions options;
  options.ColorSpace = GetParam().colorSpace;
  ASSERT_TRUE(UsesOwnDevelopPath(raw->string(), options));

  ConvertRawToDpx(raw->string(), (dir / "ours.dpx").string(), options);
  {
    LibRawUnpackForced reference;
    ConvertRawToDpx(raw->string(), (dir / "libraw.dpx").string(), options);
  }
  const std::string ours = ReadFileBytes(dir / "ours.dpx");
  const std::string libraw = ReadFileBytes(dir / "libraw.dpx");
  ASSERT_EQ(ours.size(), libraw.size());
  std::size_t first = 0;
  while (first < ours.size() && ours[first] == libraw[first]) ++first;
  EXPECT_EQ(first, ours.size()) << "first differing byte at " << first << " of " << ours.size();
}

// A file our decoder reads whose records our develop then refuses (here: a masked border at
// the white level, so black is not below white) goes to LibRaw's develop after LibRaw's own
// unpack, and ends exactly as it does when LibRaw unpacks it from the start.
TEST(Cr2DecodePathFallbackTest, RecordsOurDevelopRefusesEndAsAfterLibRawUnpack) {
  Cr2Layout layout;  // a 5D Mark III's readout, so LibRaw knows its masked border
  layout.width = 5920;
  layout.height = 3950;
  layout.stripCount = 1;
  layout.stripWidth = 2960;
  layout.lastStripWidth = 2960;
  std::vector<std::uint16_t> samples(std::size_t(layout.width) * layout.height, 3000);
  for (int y = 0; y < layout.height; ++y) {
    for (int x = 0; x < 140; ++x) samples[std::size_t(y) * layout.width + x] = 16383;
  }
  TempDir dir;
  const fs::path raw = dir / "bright-border.cr2";
  WriteFileBytes(raw, WriteCr2(layout, samples));
  ASSERT_TRUE(OurDecoderTakes(ReadFileBytes(raw)));
  ASSERT_TRUE(UsesOwnDevelopPath(raw.string(), {}));

  const std::string ours =
      MessageOf([&] { ConvertRawToDpx(raw.string(), (dir / "ours.dpx").string(), {}); });
  std::string libraw;
  {
    LibRawUnpackForced reference;
    libraw = MessageOf([&] { ConvertRawToDpx(raw.string(), (dir / "libraw.dpx").string(), {}); });
  }
  EXPECT_EQ(ours, libraw);
  ASSERT_EQ(fs::exists(dir / "ours.dpx"), fs::exists(dir / "libraw.dpx"));
  if (fs::exists(dir / "ours.dpx")) {
    EXPECT_TRUE(ReadFileBytes(dir / "ours.dpx") == ReadFileBytes(dir / "libraw.dpx"));
  }
}

// ---------------------------------------------------------------------------------------------
// Damaged sensor streams through the whole conversion.

struct DamageCase {
  const char* name;
  std::string (*damage)(std::string file);
};

void PrintTo(const DamageCase& c, std::ostream* os) {
  *os << c.name;
}

const DamageCase kDamages[] = {
    {"CutInCompressedData",
     [](std::string f) {
       const auto at = FindCr2Offsets(f);
       return f.substr(0, (at.entropy + at.entropyEnd) / 2);
     }},
    {"MarkerInCompressedData",
     [](std::string f) {
       const auto at = FindCr2Offsets(f);
       const std::size_t middle = (at.entropy + at.entropyEnd) / 2;
       f.at(middle) = char(0xFF);
       f.at(middle + 1) = char(0xD0);
       return f;
     }},
    {"SamplesPastPrecision",
     [](std::string f) {
       f.at(FindCr2Offsets(f).frame + 4) = char(10);
       return f;
     }},
    // LibRaw reads on past the strip's recorded length; our decoder keeps within it.
    {"StripByteCountShort",
     [](std::string f) {
       const auto at = FindCr2Offsets(f);
       const std::size_t countAt = at.rawIfd + 2 + 2 * 12 + 8;  // third entry's value
       const std::size_t half = (at.entropyEnd + 2 - at.strip) / 2;
       for (int i = 0; i < 4; ++i) f.at(countAt + i) = char(half >> (8 * i));
       return f;
     }},
    // Found while the stream's structure is read, before any sample is decoded.
    {"HuffmanTableOverfull",
     [](std::string f) {
       f.at(FindCr2Offsets(f).huffman + 5) = char(3);  // three codes of one bit
       return f;
     }},
};

class Cr2DamagedConversionTest : public ::testing::TestWithParam<DamageCase> {};

INSTANTIATE_TEST_SUITE_P(Written, Cr2DamagedConversionTest, ::testing::ValuesIn(kDamages),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(Cr2DamagedConversionTest, FailsAsCorruptAndLeavesNoFile) {
  TempDir dir;
  const fs::path raw = dir / "damaged.cr2";
  WriteFileBytes(raw, GetParam().damage(WrittenCr2(14)));
  const fs::path dpx = dir / "damaged.dpx";
  for (const std::uint8_t colorSpace : {kColorSpaceRec709, kColorSpaceLinear}) {
    TConvertOptions options;
    options.ColorSpace = colorSpace;
    EXPECT_EQ(MessageOf([&] { ConvertRawToDpx(raw.string(), dpx.string(), options); }),
              "EOS Error: 0000002D");
    EXPECT_FALSE(fs::exists(dpx));
  }
  // Nothing else was left in the output folder either.
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir.path())) ++entries;
  EXPECT_EQ(entries, 1u);
}

// A strip-width tag (0xC640) naming a strip of no width: LibRaw's loader divides by that width,
// so the file must fail before it gets there, on either develop path.
struct StripWidthCase {
  const char* name;
  int strip;  // which of the tag's three values is zeroed
  std::uint8_t demosaic;
};

void PrintTo(const StripWidthCase& c, std::ostream* os) {
  *os << c.name;
}

class StripOfNoWidthTest : public ::testing::TestWithParam<StripWidthCase> {};

INSTANTIATE_TEST_SUITE_P(
    Tags, StripOfNoWidthTest,
    ::testing::Values(StripWidthCase{"FullStripsOfNoWidthRcd", 1, kDemosaicRcd},
                      StripWidthCase{"LastStripOfNoWidthRcd", 2, kDemosaicRcd},
                      StripWidthCase{"FullStripsOfNoWidthAhd", 1, kDemosaicAhd},
                      StripWidthCase{"LastStripOfNoWidthAhd", 2, kDemosaicAhd}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(StripOfNoWidthTest, FailsAsCorruptWithoutEndingTheProcess) {
  std::string file = WrittenCr2(14);
  const std::size_t value = FindCr2Offsets(file).strips + 2 * std::size_t(GetParam().strip);
  file.at(value) = file.at(value + 1) = 0;
  TempDir dir;
  const fs::path raw = dir / "strips.cr2";
  WriteFileBytes(raw, file);
  TConvertOptions options;
  options.Demosaic = GetParam().demosaic;
  EXPECT_EQ(MessageOf([&] { ConvertRawToDpx(raw.string(), (dir / "out.dpx").string(), options); }),
            "EOS Error: 0000002D");
  EXPECT_FALSE(fs::exists(dir / "out.dpx"));
}

// A stream our decoder finds damaged fails the conversion even where LibRaw's unpack lets it
// pass: the decoder, not LibRaw, reads these files; --demosaic ahd keeps LibRaw's unpack.
TEST(Cr2DamagedConversionTest, OurDecoderReadsTheSensorData) {
  TempDir dir;
  const fs::path raw = dir / "damaged.cr2";
  WriteFileBytes(raw, kDamages[3].damage(WrittenCr2(14)));
  const std::string message =
      MessageOf([&] { ConvertRawToDpx(raw.string(), (dir / "ours.dpx").string(), {}); });
  {
    LibRawUnpackForced reference;
    ConvertRawToDpx(raw.string(), (dir / "libraw.dpx").string(), {});
  }
  EXPECT_EQ(message, "EOS Error: 0000002D");
  EXPECT_TRUE(fs::exists(dir / "libraw.dpx"));
  TConvertOptions ahd;
  ahd.Demosaic = kDemosaicAhd;
  ConvertRawToDpx(raw.string(), (dir / "ahd.dpx").string(), ahd);
  EXPECT_TRUE(fs::exists(dir / "ahd.dpx"));
}

}  // namespace

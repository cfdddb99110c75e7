// Our CR2 decoder against LibRaw's unpack: the same raw plane, sample for sample, on camera-like
// files and on small files with the layouts and codes the camera files rarely show; damaged
// files fail with 0000002D, and files of other kinds are left to LibRaw.
#include <gtest/gtest.h>
#include <libraw/libraw.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "Cr2Writer.h"
#include "TestPaths.h"
#include "develop/Cr2Decoder.h"

namespace fs = std::filesystem;
using tarn::test::Cr2Layout;
using tarn::test::DataDir;
using tarn::test::FindCr2Offsets;
using tarn::test::MessageOf;
using tarn::test::ReadFileBytes;
using tarn::test::SharedFixture;
using tarn::test::WriteCr2;

namespace {

std::span<const std::uint8_t> Bytes(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// LibRaw's raw_image, or what went wrong while getting it.
struct Reference {
  int openCode = 0;
  int unpackCode = 0;
  bool dataError = false;
  int width = 0;
  int height = 0;
  std::vector<std::uint16_t> samples;

  bool ok() const { return openCode == 0 && unpackCode == 0 && !dataError; }
};

Reference LibRawRawImage(const std::string& file) {
  Reference ref;
  auto raw = std::make_unique<LibRaw>(LIBRAW_OPTIONS_NONE);
  raw->set_dataerror_handler(
      [](void* flag, const char*, const int) { *static_cast<bool*>(flag) = true; }, &ref.dataError);
  ref.openCode = raw->open_buffer(const_cast<char*>(file.data()), file.size());
  if (ref.openCode != 0) return ref;
  ref.unpackCode = raw->unpack();
  if (ref.unpackCode != 0 || raw->imgdata.rawdata.raw_image == nullptr) return ref;
  const libraw_image_sizes_t& sizes = raw->imgdata.sizes;
  ref.width = sizes.raw_width;
  ref.height = sizes.raw_height;
  ref.samples.resize(std::size_t(ref.width) * ref.height);
  for (int y = 0; y < ref.height; ++y) {
    const auto* row = reinterpret_cast<const std::uint8_t*>(raw->imgdata.rawdata.raw_image) +
                      std::size_t(y) * sizes.raw_pitch;
    std::memcpy(&ref.samples[std::size_t(y) * ref.width], row, ref.width * 2);
  }
  return ref;
}

// Decodes with ours and compares with LibRaw; reports the first differing sample.
void ExpectSameAsLibRaw(const std::string& file) {
  const Reference ref = LibRawRawImage(file);
  ASSERT_TRUE(ref.ok() && ref.width > 0) << "LibRaw: open " << ref.openCode << ", unpack "
                                         << ref.unpackCode << ", data error " << ref.dataError;
  const std::optional<RawPlane> plane = DecodeCr2(Bytes(file));
  ASSERT_TRUE(plane.has_value()) << "not taken as a CR2 it covers";
  ASSERT_EQ(plane->width, ref.width);
  ASSERT_EQ(plane->height, ref.height);
  for (int y = 0; y < ref.height; ++y) {
    for (int x = 0; x < ref.width; ++x) {
      const std::uint16_t want = ref.samples[std::size_t(y) * ref.width + x];
      if (plane->at(y, x) != want) {
        FAIL() << "first difference at row " << y << ", column " << x << ": " << plane->at(y, x)
               << " instead of " << want;
      }
    }
  }
}

const std::string kCorrupt = "EOS Error: 0000002D";

std::string DecodeMessage(const std::string& file) {
  return MessageOf([&] { DecodeCr2(Bytes(file)); });
}

// ---------------------------------------------------------------------------------------------
// Camera-like files from the fixture generator.

class Cr2FixtureTest : public testing::TestWithParam<std::string> {};

TEST_P(Cr2FixtureTest, EqualsLibRawRawImage) {
  // Small ones are kept in tests/data as well, the big ones only in the shared fixtures.
  std::optional<fs::path> path = SharedFixture(GetParam());
  const fs::path kept = DataDir() / "raw" / fs::path(GetParam()).filename();
  if (!path && fs::exists(kept)) path = kept;
  if (!path) GTEST_SKIP() << GetParam() << " is not there (shared fixtures absent)";
  ExpectSameAsLibRaw(ReadFileBytes(*path));
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, Cr2FixtureTest,
    testing::Values("synthetic/eos-350d-small.cr2",    // 12 bits, 2 components
                    "synthetic/eos-5d3-chart.cr2",     // 14 bits, 4 components, 22 MP
                    "synthetic/eos-5d3-portrait.cr2",  // held upright
                    "synthetic/eos-600d-real-d1.cr2",  // real sensor content
                    "eos-7d-flat-upright.cr2",         // two full strips and a wider last one
                    "eos-400d-flat.cr2"),              // 12 bits, flat: mostly zero differences
    [](const auto& info) {
      std::string name = fs::path(info.param).stem().string();
      for (char& ch : name) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      }
      return name;
    });

// ---------------------------------------------------------------------------------------------
// Small files written here: sizes, strip layouts, precisions and codes beyond the bodies'.

enum class Scene { Noise, Flat, Extremes, Ramp };

struct LayoutCase {
  const char* name;
  Cr2Layout layout;
  Scene scene;
};

std::vector<std::uint16_t> Paint(const Cr2Layout& layout, Scene scene, unsigned seed) {
  const int max = (1 << layout.bits) - 1;
  std::vector<std::uint16_t> samples(std::size_t(layout.width) * layout.height);
  std::mt19937 random(seed);
  for (int y = 0; y < layout.height; ++y) {
    for (int x = 0; x < layout.width; ++x) {
      int v = 0;
      switch (scene) {
        case Scene::Noise:
          v = int(random() % (max + 1));
          break;
        case Scene::Flat:
          v = max / 3;
          break;
        case Scene::Extremes:
          v = ((x / 2 + y) & 1) ? max : 0;
          break;
        case Scene::Ramp:
          v = (x * 37 + y * 11) % (max + 1);
          break;
      }
      samples[std::size_t(y) * layout.width + x] = std::uint16_t(v);
    }
  }
  return samples;
}

Cr2Layout Layout(int width, int height, int components, int bits, int strips, int stripWidth,
                 int lastWidth) {
  Cr2Layout l;
  l.width = width;
  l.height = height;
  l.components = components;
  l.bits = bits;
  l.stripCount = strips;
  l.stripWidth = stripWidth;
  l.lastStripWidth = lastWidth;
  return l;
}

Cr2Layout WithCodes(Cr2Layout l, std::vector<int> order, std::vector<int> second = {}) {
  l.codeOrder = std::move(order);
  l.secondTableOrder = std::move(second);
  return l;
}

Cr2Layout TwoRows(Cr2Layout l) {
  l.twoRowsPerJpegRow = true;
  return l;
}

// Long differences first: most codes are longer than any lookup table, up to 16 bits.
const std::vector<int> kLongCodesFirst = {16, 15, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 14};

const LayoutCase kLayouts[] = {
    {"TwoComponents12Bit", Layout(96, 64, 2, 12, 1, 48, 48), Scene::Noise},
    {"FourComponents14Bit", Layout(128, 48, 4, 14, 1, 64, 64), Scene::Noise},
    {"UnevenStrips", Layout(160, 40, 4, 14, 2, 48, 64), Scene::Ramp},
    {"StripRowsCrossJpegRows", Layout(200, 60, 4, 14, 1, 88, 112), Scene::Noise},
    {"NoStripTag", Layout(120, 50, 2, 12, 0, 0, 0), Scene::Ramp},
    {"TwoSensorRowsPerJpegRow", TwoRows(Layout(400, 40, 4, 14, 1, 200, 200)), Scene::Noise},
    {"FullScaleSteps", Layout(96, 40, 4, 14, 1, 48, 48), Scene::Extremes},
    {"FlatField", Layout(96, 40, 4, 14, 1, 48, 48), Scene::Flat},
    {"LongCodes", WithCodes(Layout(96, 40, 4, 14, 1, 48, 48), kLongCodesFirst), Scene::Ramp},
    {"LongCodesNoise", WithCodes(Layout(96, 40, 4, 14, 1, 48, 48), kLongCodesFirst), Scene::Noise},
    {"TableForOtherComponents", WithCodes(Layout(96, 40, 4, 14, 1, 48, 48), {}, kLongCodesFirst),
     Scene::Ramp},
};

class Cr2LayoutTest : public testing::TestWithParam<LayoutCase> {};

TEST_P(Cr2LayoutTest, EqualsLibRawRawImage) {
  const LayoutCase& c = GetParam();
  ExpectSameAsLibRaw(WriteCr2(c.layout, Paint(c.layout, c.scene, 7)));
}

INSTANTIATE_TEST_SUITE_P(Written, Cr2LayoutTest, testing::ValuesIn(kLayouts),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Damaged files: 0000002D, never a picture.

const Cr2Layout kSmall = Layout(96, 40, 4, 14, 1, 48, 48);

std::string SmallFile() {
  return WriteCr2(kSmall, Paint(kSmall, Scene::Ramp, 3));
}

struct DamageCase {
  const char* name;
  std::string (*damage)(std::string file);
};

std::string Poke(std::string file, std::size_t at, char value) {
  file.at(at) = value;
  return file;
}

// The file with its first Huffman table segment replaced by one holding `payload`.
std::string WithHuffmanSegment(std::string f, const std::string& payload) {
  const auto at = FindCr2Offsets(f);
  const std::size_t oldLength =
      std::uint8_t(f[at.huffman + 2]) << 8 | std::uint8_t(f[at.huffman + 3]);
  std::string segment = "\xFF\xC4";
  segment += char((payload.size() + 2) >> 8);
  segment += char((payload.size() + 2) & 0xFF);
  segment += payload;
  f.replace(at.huffman, 2 + oldLength, segment);
  // The strip's byte count (third entry of the raw IFD) follows the new length.
  const std::size_t countAt = at.rawIfd + 2 + 2 * 12 + 8;
  std::uint32_t count = 0;
  for (int i = 3; i >= 0; --i) count = count << 8 | std::uint8_t(f[countAt + i]);
  count = std::uint32_t(count + segment.size() - (2 + oldLength));
  for (int i = 0; i < 4; ++i) f[countAt + i] = char(count >> (8 * i));
  return f;
}

const DamageCase kDamages[] = {
    {"CutInHeader", [](std::string f) { return f.substr(0, 20); }},
    {"CutInRawIfd", [](std::string f) { return f.substr(0, FindCr2Offsets(f).rawIfd + 8); }},
    {"CutInHuffmanTable",
     [](std::string f) { return f.substr(0, FindCr2Offsets(f).huffman + 12); }},
    {"CutAfterScanHeader", [](std::string f) { return f.substr(0, FindCr2Offsets(f).entropy); }},
    {"CutInCompressedData",
     [](std::string f) {
       const auto at = FindCr2Offsets(f);
       return f.substr(0, (at.entropy + at.entropyEnd) / 2);
     }},
    {"CutBeforeLastDataByte",
     [](std::string f) { return f.substr(0, FindCr2Offsets(f).entropyEnd - 1); }},
    {"MarkerInCompressedData",
     [](std::string f) {
       const auto at = FindCr2Offsets(f);
       const std::size_t middle = (at.entropy + at.entropyEnd) / 2;
       f.at(middle) = char(0xFF);
       f.at(middle + 1) = char(0xD0);
       return f;
     }},
    {"RawIfdPastEnd", [](std::string f) { return Poke(f, 15, char(0x7F)); }},
    {"StripPastEnd",
     [](std::string f) {
       const auto at = FindCr2Offsets(f);
       // The strip offset is the second entry's value.
       return Poke(f, at.rawIfd + 2 + 12 + 8 + 3, char(0x7F));
     }},
    {"HuffmanCodesOverfull",
     [](std::string f) { return Poke(f, FindCr2Offsets(f).huffman + 5 + 1, char(5)); }},
    {"HuffmanDifferenceTooLong",
     [](std::string f) { return Poke(f, FindCr2Offsets(f).huffman + 5 + 16, char(17)); }},
    {"HuffmanTableNumberInvalid",
     [](std::string f) { return Poke(f, FindCr2Offsets(f).huffman + 4, char(0x07)); }},
    {"HuffmanTableLongerThanSegment",
     [](std::string f) { return Poke(f, FindCr2Offsets(f).huffman + 5 + 15, char(100)); }},
    {"HuffmanTableOfMoreThan256Symbols",
     [](std::string f) {
       // 300 codes of 15 and 16 bits: room enough for them, but no table holds that many.
       std::string payload(1, '\0');
       payload += std::string(14, '\0') + char(45) + char(255);
       payload += std::string(300, '\x01');
       return WithHuffmanSegment(f, payload);
     }},
    {"NoTableZero",
     [](std::string f) { return Poke(f, FindCr2Offsets(f).huffman + 4, char(0x02)); }},
    {"PrecisionZero", [](std::string f) { return Poke(f, FindCr2Offsets(f).frame + 4, 0); }},
    {"FrameOfNoWidth",
     [](std::string f) {
       const auto at = FindCr2Offsets(f);
       return Poke(Poke(f, at.frame + 7, 0), at.frame + 8, 0);
     }},
    {"SamplesPastPrecision",
     [](std::string f) { return Poke(f, FindCr2Offsets(f).frame + 4, char(10)); }},
};

class Cr2DamageTest : public testing::TestWithParam<DamageCase> {};

TEST_P(Cr2DamageTest, FailsAsCorrupt) {
  EXPECT_EQ(DecodeMessage(GetParam().damage(SmallFile())), kCorrupt);
}

INSTANTIATE_TEST_SUITE_P(Small, Cr2DamageTest, testing::ValuesIn(kDamages),
                         [](const auto& info) { return std::string(info.param.name); });

// A real camera body's file cut at points through its sensor data.
TEST(Cr2DamageTest, BodyFileCutAnywhereInItsDataFails) {
  const std::string file = ReadFileBytes(DataDir() / "raw" / "eos-350d-small.cr2");
  const auto at = FindCr2Offsets(file);
  for (const std::size_t cut : {at.rawIfd + 4, at.strip + 100, at.entropy + 1000,
                                (at.entropy + at.entropyEnd) / 2, at.entropyEnd - 1}) {
    EXPECT_EQ(DecodeMessage(file.substr(0, cut)), kCorrupt) << "cut at " << cut;
  }
}

TEST(Cr2DamageTest, TruncatedCameraFileFails) {
  EXPECT_EQ(DecodeMessage(ReadFileBytes(DataDir() / "raw" / "truncated.cr2")), kCorrupt);
}

TEST(Cr2DamageTest, ErrorSaysWhatWasWrong) {
  const std::string file = SmallFile();
  try {
    DecodeCr2(Bytes(file.substr(0, FindCr2Offsets(file).entropyEnd - 1)));
    FAIL() << "no error";
  } catch (const Cr2DataError& e) {
    EXPECT_EQ(e.code(), 0x2Du);
    EXPECT_NE(e.detail().find("compressed data ends"), std::string::npos) << e.detail();
  }
}

// ---------------------------------------------------------------------------------------------
// Files that are not CR2s of the covered layout are left to LibRaw, not called damaged.

struct OtherCase {
  const char* name;
  std::string (*make)();
};

std::string ChangeSmall(std::size_t (*where)(const tarn::test::Cr2Offsets&), char value) {
  std::string f = SmallFile();
  f.at(where(FindCr2Offsets(f))) = value;
  return f;
}

const OtherCase kOthers[] = {
    {"Empty", [] { return std::string(); }},
    {"PlainText", [] { return ReadFileBytes(DataDir() / "raw" / "not-a-raw.cr2"); }},
    {"KodakKdc", [] { return ReadFileBytes(DataDir() / "raw" / "kodak-dc50.kdc"); }},
    {"CanonCr3",
     [] { return ReadFileBytes(DataDir() / "raw" / "stub-canon-eos-m50-no-image-data.cr3"); }},
    {"PlainTiff", [] { return Poke(SmallFile(), 8, 'X'); }},
    {"SubsampledComponents",  // sRAW/mRAW
     [] {
       return ChangeSmall([](const tarn::test::Cr2Offsets& at) { return at.frame + 11; },
                          char(0x21));
     }},
    {"OtherPredictor",
     [] {
       return ChangeSmall([](const tarn::test::Cr2Offsets& at) { return at.scan + 5 + 2 * 4; },
                          char(2));
     }},
    {"PointTransform",
     [] {
       return ChangeSmall([](const tarn::test::Cr2Offsets& at) { return at.scan + 7 + 2 * 4; },
                          char(1));
     }},
    {"BaselineJpeg",
     [] {
       return ChangeSmall([](const tarn::test::Cr2Offsets& at) { return at.frame + 1; },
                          char(0xC0));
     }},
    {"StripsNotAddingUpToTheWidth",
     [] { return ChangeSmall([](const tarn::test::Cr2Offsets& at) { return at.strips; }, 9); }},
    {"ThreeComponents",
     [] {
       return ChangeSmall([](const tarn::test::Cr2Offsets& at) { return at.frame + 9; }, char(3));
     }},
};

class Cr2NotCoveredTest : public testing::TestWithParam<OtherCase> {};

TEST_P(Cr2NotCoveredTest, LeftToLibRaw) {
  const std::string file = GetParam().make();
  std::optional<RawPlane> plane;
  EXPECT_NO_THROW(plane = DecodeCr2(Bytes(file)));
  EXPECT_FALSE(plane.has_value());
}

INSTANTIATE_TEST_SUITE_P(Others, Cr2NotCoveredTest, testing::ValuesIn(kOthers),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Cr2FileTest, ReadsFromDisk) {
  const fs::path path = DataDir() / "raw" / "eos-350d-small.cr2";
  const std::optional<RawPlane> fromDisk = DecodeCr2File(path);
  const std::string bytes = ReadFileBytes(path);
  const std::optional<RawPlane> fromMemory = DecodeCr2(Bytes(bytes));
  ASSERT_TRUE(fromDisk && fromMemory);
  ASSERT_EQ(fromDisk->width * fromDisk->height, fromMemory->width * fromMemory->height);
  EXPECT_EQ(std::memcmp(fromDisk->samples.get(), fromMemory->samples.get(),
                        std::size_t(fromDisk->width) * fromDisk->height * 2),
            0);
  EXPECT_EQ(MessageOf([] { DecodeCr2File("/nonexistent/file.cr2"); }), "EOS Error: 00000022");
}

}  // namespace

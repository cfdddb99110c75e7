// The DPX decoder on the crafted files of tests/data/dpx: pictures it must read in every byte
// order and depth, and files cut short or lying about their size, which must fail cleanly
// without reading past the data or taking memory the file cannot fill.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <climits>
#include <sstream>

#include "DPXLib.h"
#include "LargestAllocation.h"
#include "RawToDpx.h"
#include "TestPaths.h"

namespace fs = std::filesystem;
using tarn::test::DataDir;
using tarn::test::ReadFileBytes;
using tarn::test::TempDir;
using ::testing::HasSubstr;

namespace {

using Rgb = std::array<int, 3>;

Rgb PixelAt(const Bitmap& bitmap, int x, int y) {
  const std::uint8_t* bgr = bitmap.ScanLine(y) + 3 * x;
  return {bgr[2], bgr[1], bgr[0]};
}

std::vector<Rgb> AllPixels(const Bitmap& bitmap) {
  std::vector<Rgb> pixels;
  if (bitmap.Width() == 0) return pixels;
  for (int y = 0; y < bitmap.Height(); ++y) {
    for (int x = 0; x < bitmap.Width(); ++x) pixels.push_back(PixelAt(bitmap, x, y));
  }
  return pixels;
}

std::string DpxFixture(const std::string& name) {
  return (DataDir() / "dpx" / name).string();
}

// The 16-bit samples of the 2x1 fixtures, high bytes only.
const std::vector<Rgb> k16BitPixels = {{0xAB, 0x12, 0x56}, {0xFF, 0x00, 0x7F}};
// FF E0 00 00 read as a word, then the word whose ignored bits are all set.
const std::vector<Rgb> kWordPixels = {{255, 128, 0}, {0x12, 0x34, 0x56}};
const std::vector<Rgb> kWordPixelsReversed = {kWordPixels[1], kWordPixels[0]};

struct DecodeCase {
  const char* file;
  int width;
  int height;
  bool byteSwapped;
  std::vector<Rgb> pixels;
};

class DpxDecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DpxDecodeTest, DecodesTheFixture) {
  const DecodeCase& c = GetParam();
  TDPXImage image;
  image.LoadFromFile(DpxFixture(c.file));
  EXPECT_EQ(image.Width(), c.width);
  EXPECT_EQ(image.Height(), c.height);
  EXPECT_EQ(image.ByteSwapped, c.byteSwapped);
  EXPECT_EQ(image.Bytes().size(), std::size_t(c.width) * c.height * 3);
  EXPECT_EQ(AllPixels(image), c.pixels);
}

INSTANTIATE_TEST_SUITE_P(
    Files, DpxDecodeTest,
    ::testing::Values(
        DecodeCase{"written-2x1-rec709.dpx", 2, 1, false, k16BitPixels},
        DecodeCase{"big-endian-16bit-2x1.dpx", 2, 1, true, k16BitPixels},
        DecodeCase{"foreign-magic-read-byte-swapped.dpx", 2, 1, true, k16BitPixels},
        DecodeCase{"little-endian-10bit-2x1.dpx", 2, 1, false, kWordPixels},
        DecodeCase{"big-endian-10bit-2x1.dpx", 2, 1, true, kWordPixels},
        DecodeCase{"bit-depth-8-read-as-10bit-words.dpx", 2, 1, false, kWordPixelsReversed},
        DecodeCase{"bit-depth-12-read-as-10bit-words.dpx", 2, 1, false, kWordPixelsReversed},
        DecodeCase{"data-offset-8192-element-offset-2048.dpx", 2, 1, false, k16BitPixels},
        DecodeCase{"zero-height-offset-past-end.dpx", 5, 0, false, {}},
        DecodeCase{"zero-width-offset-past-end.dpx", 0, 7, false, {}},
        DecodeCase{"zero-width-max-height-walks-2147483647-empty-rows.dpx", 0, INT_MAX, false, {}}),
    [](const auto& info) {
      std::string name = fs::path(info.param.file).stem().string();
      for (char& ch : name) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      }
      return name;
    });

struct BadFileCase {
  const char* file;
  const char* fault;  // part of the error message
};

class DpxBadFileTest : public ::testing::TestWithParam<BadFileCase> {};

TEST_P(DpxBadFileTest, RaisesTakesNoMemoryAndKeepsThePreviousPicture) {
  const BadFileCase& c = GetParam();
  TDPXImage image;
  image.LoadFromFile(DpxFixture("written-2x1-rec709.dpx"));
  const std::string path = DpxFixture(c.file);

  std::string message = "(no error)";
  std::size_t largestAllocation = 0;
  {
    const LargestAllocation measure;
    try {
      image.LoadFromFile(path);
    } catch (const Exception& e) {
      message = e.what();
    }
    largestAllocation = measure.Bytes();
  }

  EXPECT_THAT(message, HasSubstr("Cannot read file \"" + path + "\". "));
  EXPECT_THAT(message, HasSubstr(c.fault));
  // Nothing near the declared picture size: the file itself, the message, small bookkeeping.
  EXPECT_LT(largestAllocation, 64u * 1024);
  EXPECT_EQ(image.Width(), 2);
  EXPECT_EQ(AllPixels(image), k16BitPixels);
}

INSTANTIATE_TEST_SUITE_P(
    Files, DpxBadFileTest,
    ::testing::Values(
        BadFileCase{"empty-file.dpx", "the header ends after 0 of 1408 bytes"},
        BadFileCase{"truncated-header-1000-bytes.dpx", "the header ends after 1000 of 1408"},
        BadFileCase{"truncated-header-1407-bytes.dpx", "the header ends after 1407 of 1408"},
        BadFileCase{"truncated-pixels-last-byte-missing.dpx",
                    "a 2x1 image needs 2 pixels of 6 bytes from offset 2048, the file holds 11 "
                    "bytes there"},
        BadFileCase{"truncated-pixels-4x4-half-data.dpx", "the file holds 48 bytes there"},
        BadFileCase{"truncated-10bit-pixels-3x1-two-words.dpx",
                    "needs 3 pixels of 4 bytes from offset 2048, the file holds 8 bytes"},
        BadFileCase{"offset-past-end-8192.dpx",
                    "image data offset 8192 lies beyond its end at 2054 bytes"},
        BadFileCase{"offset-0xFFFFFFFF-wraps-32-bit.dpx", "image data offset 4294967295 lies"},
        BadFileCase{"lying-size-65535x65535.dpx",
                    "a 65535x65535 image needs 4294836225 pixels of 6 bytes"},
        BadFileCase{"lying-size-2147483647x2147483647-wraps-64-bit.dpx",
                    "a 2147483647x2147483647 image needs"},
        BadFileCase{"lying-size-big-endian-10bit-40000x30000.dpx",
                    "a 40000x30000 image needs 1200000000 pixels of 4 bytes"},
        BadFileCase{"negative-width.dpx", "negative image size -1x1"},
        BadFileCase{"negative-height-big-endian.dpx", "negative image size 1x-2147483648"}),
    [](const auto& info) {
      std::string name = fs::path(info.param.file).stem().string();
      for (char& ch : name) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      }
      return name;
    });

TEST(DpxDecoderTest, RoundTripTakesTheHighByteOfEachWrittenSample) {
  TempDir dir;
  const fs::path path = dir / "round-trip.dpx";
  // 3x2 pixels; sample s of pixel p is stored as the bytes CD, (p * 3 + s).
  std::vector<std::uint8_t> bytes;
  for (int sample = 0; sample < 18; ++sample) {
    bytes.push_back(0xCD);
    bytes.push_back(static_cast<std::uint8_t>(sample));
  }
  WriteDpxFile(path.string(), 3, 2, {}, bytes.data(), static_cast<std::int32_t>(bytes.size()));

  TDPXImage image;
  image.LoadFromFile(path.string());
  ASSERT_EQ(image.Width(), 3);
  ASSERT_EQ(image.Height(), 2);
  for (int p = 0; p < 6; ++p) {
    EXPECT_EQ(PixelAt(image, p % 3, p / 3), (Rgb{3 * p, 3 * p + 1, 3 * p + 2})) << "pixel " << p;
  }
}

TEST(DpxDecoderTest, HeaderAtStreamPositionPixelOffsetFromFirstByte) {
  std::string file = ReadFileBytes(DpxFixture("big-endian-16bit-2x1.dpx"));
  const std::size_t start = 100;
  // Offset 2148 (0x864), big-endian: the pixels sit 100 bytes further on, after the prefix.
  file.replace(4, 4, std::string("\x00\x00\x08\x64", 4));
  std::istringstream stream(std::string(start, '\x77') + file);
  stream.seekg(start);

  TDPXImage image;
  image.ReadDpxImage(stream);
  EXPECT_TRUE(image.ByteSwapped);
  EXPECT_EQ(AllPixels(image), k16BitPixels);
}

TEST(DpxDecoderTest, StreamShorterThanItsHeaderFromTheCurrentPosition) {
  // The header at position 1000 of a 2060-byte file has only 1060 bytes left to read.
  std::istringstream stream(ReadFileBytes(DpxFixture("written-2x1-rec709.dpx")));
  stream.seekg(1000);
  TDPXImage image;
  EXPECT_THROW(
      {
        try {
          image.ReadDpxImage(stream);
        } catch (const Exception& e) {
          EXPECT_THAT(e.what(), HasSubstr("the header ends after 1060 of 1408 bytes"));
          throw;
        }
      },
      Exception);
}

TEST(DpxDecoderTest, MissingFileNamesTheFile) {
  TDPXImage image;
  try {
    image.LoadFromFile("/nonexistent-folder/x.dpx");
    FAIL() << "no error";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(),
                 "Cannot open file \"/nonexistent-folder/x.dpx\". No such file or directory");
  }
}

struct SizeCase {
  std::int32_t width;
  std::int32_t height;
  bool accepted;
};

TEST(BitmapTest, SetSizeRefusesWhatItCannotHoldAndKeepsItsContent) {
  const SizeCase cases[] = {
      {0, 0, true},   {4, 0, true},   {0, 4, true},        {3, 2, true},
      {-1, 1, false}, {1, -1, false}, {INT_MIN, 1, false}, {INT_MAX, INT_MAX, false},
  };
  for (const SizeCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    Bitmap bitmap;
    bitmap.SetSize(1, 1);
    bitmap.ScanLine(0)[0] = 42;
    if (c.accepted) {
      bitmap.SetSize(c.width, c.height);
      EXPECT_EQ(bitmap.Width(), c.width);
      EXPECT_EQ(bitmap.Height(), c.height);
      EXPECT_EQ(bitmap.Bytes(), std::vector<std::uint8_t>(std::size_t(c.width) * c.height * 3));
    } else {
      EXPECT_THROW(bitmap.SetSize(c.width, c.height), Exception);
      EXPECT_EQ(bitmap.Width(), 1);
      EXPECT_EQ(bitmap.Bytes(), std::vector<std::uint8_t>({42, 0, 0}));
    }
  }
}

}  // namespace

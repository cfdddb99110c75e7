// DPX headers that describe a sequence's frame: the fields other programs read back, the
// "undefined" marks on the rest, and nothing changed where no metadata was asked for.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <set>

#include "DpxHeader.h"
#include "RawToDpx.h"
#include "Subprocess.h"
#include "TestPaths.h"

namespace fs = std::filesystem;
using namespace tarn::test;

namespace {

TFrameInfo SampleFrame() {
  TFrameInfo f;
  f.sourceFile = "/cards/100CANON/IMG_0042.CR2";
  f.outputName = "shot_0001001.dpx";
  f.camera.make = "Canon";
  f.camera.model = "Canon EOS 5D Mark III";
  f.camera.serial = "123456789";
  f.camera.captureTime = CaptureTime{2024, 5, 1, 10, 0, 1, 250000000};
  f.frameNumber = 1001;
  f.sequenceLength = 1000;
  f.frameRate = FrameRate{24000, 1001};
  f.timecode = Timecode{1, 2, 3, 4};
  return f;
}

std::string Text(const dpx::Header& h, std::size_t offset, std::size_t size) {
  const char* begin = reinterpret_cast<const char*>(&h[offset]);
  return std::string(begin, strnlen(begin, size));
}

std::uint32_t U32(const dpx::Header& h, std::size_t offset) {
  return h[offset] | h[offset + 1] << 8 | h[offset + 2] << 16 | std::uint32_t{h[offset + 3]} << 24;
}

TEST(DpxMetadataTest, FieldsStandWhereTheFormatPutsThem) {
  dpx::Header h = dpx::MakeHeader(4, 2, dpx::kTransferLinear, 48);
  dpx::AddFrameInfo(h, SampleFrame(), "2026:12:10:04:12:08+0000");
  EXPECT_EQ(Text(h, 36, 100), "shot_0001001.dpx");
  EXPECT_EQ(Text(h, 136, 24), "2026:12:10:04:12:08+0000");
  EXPECT_EQ(Text(h, 160, 100), "Tarn RAW to DPX Converter 1.00");
  EXPECT_EQ(Text(h, 1432, 100), "IMG_0042.CR2");
  EXPECT_EQ(Text(h, 1532, 24), "2024:05:01:10:00:01");
  EXPECT_EQ(Text(h, 1556, 32), "Canon EOS 5D Mark III");
  EXPECT_EQ(Text(h, 1588, 32), "123456789");
  EXPECT_EQ(U32(h, 1712), 1001u);
  EXPECT_EQ(U32(h, 1716), 1000u);
  EXPECT_EQ(U32(h, 1920), 0x01020304u);
  float rate = 0;
  std::memcpy(&rate, &h[1724], 4);
  EXPECT_FLOAT_EQ(rate, 24000.0f / 1001);
  std::memcpy(&rate, &h[1940], 4);
  EXPECT_FLOAT_EQ(rate, 24000.0f / 1001);
}

TEST(DpxMetadataTest, OnlyTheDescribedFieldsChangeAndUnknownNumbersAreUndefined) {
  const dpx::Header plain = dpx::MakeHeader(4, 2, dpx::kTransferRec709, 48);
  TFrameInfo sparse;  // a file that records nothing, in a sequence without a rate
  sparse.sourceFile = "a.cr2";
  sparse.outputName = "a.dpx";
  sparse.frameNumber = 1;
  sparse.sequenceLength = 1;
  dpx::Header h = plain;
  dpx::AddFrameInfo(h, sparse, "2026:12:10:04:12:08+0000");
  // [begin, end) ranges that may differ from the plain header.
  const std::vector<std::pair<std::size_t, std::size_t>> described = {
      {36, 660}, {1408, 1636}, {1664, 1920}, {1920, 2048}};
  for (std::size_t i = 0; i < plain.size(); ++i) {
    bool allowed = false;
    for (const auto& [begin, end] : described) allowed = allowed || (i >= begin && i < end);
    if (!allowed) {
      EXPECT_EQ(h[i], plain[i]) << "byte " << i;
    }
  }
  for (const std::size_t offset : {1408u, 1412u, 1416u, 1420u, 1424u, 1428u, 1620u, 1624u, 1628u,
                                   1632u, 1720u, 1724u, 1728u, 1920u, 1924u, 1932u, 1940u, 1968u}) {
    EXPECT_EQ(U32(h, offset), 0xFFFFFFFFu) << "offset " << offset;
  }
  EXPECT_EQ(h[1928], 0xFF);
  EXPECT_EQ(h[1929], 0xFF);
  EXPECT_EQ(h[1930], 0xFF);
  EXPECT_EQ(U32(h, 1712), 1u);
  EXPECT_EQ(Text(h, 1556, 32), "");
  EXPECT_EQ(Text(h, 1532, 24), "");
}

TEST(DpxMetadataTest, LongTextsAreCutAndStillTerminated) {
  TFrameInfo f = SampleFrame();
  f.outputName = std::string(300, 'n');
  f.camera.model = std::string(80, 'm');
  f.camera.make.clear();
  dpx::Header h = dpx::MakeHeader(4, 2, dpx::kTransferRec709, 48);
  dpx::AddFrameInfo(h, f, "2026:12:10:04:12:08+0000");
  EXPECT_EQ(Text(h, 36, 100), std::string(99, 'n'));
  EXPECT_EQ(h[135], 0);
  EXPECT_EQ(Text(h, 1556, 32), std::string(31, 'm'));
  EXPECT_EQ(h[1587], 0);
}

TEST(DpxMetadataTest, NoFrameInfoWritesThePlainHeader) {
  TempDir dir;
  const std::vector<std::uint8_t> pixels(48, 7);
  WriteDpxFile((dir / "a.dpx").string(), 4, 2, {}, pixels.data(), 48, nullptr);
  const dpx::Header plain = dpx::MakeHeader(4, 2, dpx::kTransferRec709, 48);
  EXPECT_EQ(ReadFileBytes(dir / "a.dpx").substr(0, 2048), std::string(plain.begin(), plain.end()));
}

TEST(DpxMetadataTest, OpenImageIOReadsTheFieldsBack) {
  if (!fs::exists("/usr/bin/oiiotool")) GTEST_SKIP() << "oiiotool (openimageio-tools) missing";
  TempDir dir;
  const std::vector<std::uint16_t> pixels(4 * 2 * 3, 1000);
  const TFrameInfo frame = SampleFrame();
  TConvertOptions options;
  options.ColorSpace = kColorSpaceLinear;
  WriteDpxFile((dir / "shot_0001001.dpx").string(), 4, 2, options, pixels.data(), 48, &frame);
  const ProcessResult info =
      RunProcess({"/usr/bin/oiiotool", "--info", "-v", (dir / "shot_0001001.dpx").string()});
  ASSERT_EQ(info.exitCode, 0) << info.err;
  for (const std::string line :
       {"dpx:TimeCode: \"01:02:03:04\"", "dpx:FrameRate: 23.976", "dpx:TemporalFrameRate: 23.976",
        "dpx:InputDevice: \"Canon EOS 5D Mark III\"", "dpx:InputDeviceSerialNumber: \"123456789\"",
        "dpx:SourceImageFileName: \"IMG_0042.CR2\"", "dpx:SourceDateTime: \"2024:05:01 10:00:01\"",
        "dpx:FramePosition: 1001", "dpx:SequenceLength: 1000",
        "Software: \"Tarn RAW to DPX Converter 1.00\"", "DateTime: \"",
        "dpx:Transfer: \"Linear\""}) {
    EXPECT_NE(info.out.find(line), std::string::npos) << line << "\n" << info.out;
  }
  // Undefined fields are not read as values.
  for (const std::string absent : {"dpx:HeldCount", "dpx:ShutterAngle", "dpx:UserBits"}) {
    EXPECT_EQ(info.out.find(absent), std::string::npos) << absent << "\n" << info.out;
  }
}

}  // namespace

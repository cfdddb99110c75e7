// OpenEXR output: values as the DPX path develops them (to half-float precision), the
// attributes compositing programs read, and failures that leave the folder as it was.
#include <ImfArray.h>
#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>

#include "RawToDpx.h"
#include "Subprocess.h"
#include "TestPaths.h"

namespace fs = std::filesystem;
using namespace tarn::test;

namespace {

// The file's R,G,B samples as floats, interleaved; and its channel type.
std::vector<float> ReadExr(const fs::path& path, Imf::PixelType* type = nullptr) {
  Imf::InputFile file(path.c_str());
  const Imath::Box2i window = file.header().dataWindow();
  const int width = window.max.x - window.min.x + 1;
  const int height = window.max.y - window.min.y + 1;
  if (type != nullptr) *type = file.header().channels().find("R").channel().type;
  std::vector<float> samples(static_cast<std::size_t>(width) * height * 3);
  Imf::FrameBuffer buffer;
  const char* names[] = {"R", "G", "B"};
  for (int c = 0; c < 3; ++c) {
    buffer.insert(names[c], Imf::Slice(Imf::FLOAT, reinterpret_cast<char*>(samples.data() + c),
                                       3 * sizeof(float), 3 * sizeof(float) * width));
  }
  file.setFrameBuffer(buffer);
  file.readPixels(window.min.y, window.max.y);
  return samples;
}

// Half floats keep 11 significant bits.
void ExpectWithinHalf(const std::vector<float>& actual, const std::vector<float>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) {
    ASSERT_NEAR(actual[i], expected[i], std::max(std::fabs(expected[i]) / 2048.0f, 1e-7f))
        << "sample " << i;
  }
}

TFrameInfo SampleFrame() {
  TFrameInfo f;
  f.sourceFile = "/cards/100CANON/IMG_0042.CR2";
  f.outputName = "shot_0001001.exr";
  f.camera.make = "Canon";
  f.camera.model = "Canon EOS 5D Mark III";
  f.camera.serial = "123456789";
  f.camera.owner = "Jo Camera";
  f.camera.captureTime = CaptureTime{2024, 5, 1, 10, 0, 1, 250000000};
  f.camera.isoSpeed = 400;
  f.camera.exposureSeconds = 0.02f;
  f.frameNumber = 1001;
  f.sequenceLength = 1000;
  f.frameRate = FrameRate{24000, 1001};
  f.timecode = Timecode{1, 2, 3, 4};
  return f;
}

struct StorageCase {
  const char* name;
  ExrSettings settings;
  Imf::PixelType type;
};

void PrintTo(const StorageCase& c, std::ostream* os) {
  *os << c.name;
}

class ExrStorageTest : public ::testing::TestWithParam<StorageCase> {};

TEST_P(ExrStorageTest, SixteenBitSamplesBecomeZeroToOne) {
  const StorageCase& c = GetParam();
  TempDir dir;
  // 130 rows cross the writer's strips of 64 rows twice.
  constexpr int kWidth = 5, kHeight = 130;
  std::vector<std::uint16_t> pixels(kWidth * kHeight * 3);
  std::vector<float> expected(pixels.size());
  for (std::size_t i = 0; i < pixels.size(); ++i) {
    pixels[i] = static_cast<std::uint16_t>((i * 977) % 65536);
    expected[i] = pixels[i] / 65535.0f;
  }
  pixels[0] = 65535;
  expected[0] = 1.0f;
  WriteExrFile((dir / "a.exr").string(), kWidth, kHeight, {pixels.data(), nullptr}, c.settings,
               nullptr);
  Imf::PixelType type;
  const std::vector<float> read = ReadExr(dir / "a.exr", &type);
  EXPECT_EQ(type, c.type);
  ExpectWithinHalf(read, expected);
  EXPECT_EQ(read[0], 1.0f);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExrStorageTest,
    ::testing::Values(StorageCase{"HalfZip", {false, ExrCompression::Zip}, Imf::HALF},
                      StorageCase{"HalfPiz", {false, ExrCompression::Piz}, Imf::HALF},
                      StorageCase{"FloatZip", {true, ExrCompression::Zip}, Imf::FLOAT},
                      StorageCase{"FloatNone", {true, ExrCompression::None}, Imf::FLOAT}));

TEST(ExrWriterTest, FloatSamplesAboveOneAreNotClipped) {
  TempDir dir;
  const std::vector<float> pixels = {0.0f, 0.18f, 1.0f, 4.5f, 100.0f, 0.001f};
  WriteExrFile((dir / "a.exr").string(), 2, 1, {nullptr, pixels.data()}, {true}, nullptr);
  EXPECT_EQ(ReadExr(dir / "a.exr"), pixels);
  WriteExrFile((dir / "b.exr").string(), 2, 1, {nullptr, pixels.data()}, {}, nullptr);
  ExpectWithinHalf(ReadExr(dir / "b.exr"), pixels);
}

TEST(ExrWriterTest, ExrheaderAndOpenImageIOReadTheAttributes) {
  if (!fs::exists("/usr/bin/exrheader") || !fs::exists("/usr/bin/oiiotool")) {
    GTEST_SKIP() << "exrheader (openexr) or oiiotool (openimageio-tools) missing";
  }
  TempDir dir;
  const std::vector<std::uint16_t> pixels(4 * 2 * 3, 1000);
  const TFrameInfo frame = SampleFrame();
  WriteExrFile((dir / "a.exr").string(), 4, 2, {pixels.data(), nullptr},
               {false, ExrCompression::Piz}, &frame);
  const ProcessResult header = RunProcess({"/usr/bin/exrheader", (dir / "a.exr").string()});
  ASSERT_EQ(header.exitCode, 0) << header.err;
  for (const std::string line :
       {"compression (type compression): piz", "R, 16-bit floating-point", "red   (0.64 0.33)",
        "white (0.3127 0.329)", "time 01:02:03:04", "framesPerSecond (type rational): 24000/1001",
        "capDate (type string): \"2024:05:01 10:00:01\"", "owner (type string): \"Jo Camera\"",
        "comments (type string): \"Developed from IMG_0042.CR2 by Tarn RAW to DPX Converter 1.00\"",
        "isoSpeed (type float): 400", "expTime (type float): 0.02",
        "sourceFile (type string): \"IMG_0042.CR2\"",
        "cameraSerialNumber (type string): \"123456789\""}) {
    EXPECT_NE(header.out.find(line), std::string::npos) << line << "\n" << header.out;
  }
  const ProcessResult info =
      RunProcess({"/usr/bin/oiiotool", "--info", "-v", (dir / "a.exr").string()});
  ASSERT_EQ(info.exitCode, 0) << info.err;
  for (const std::string line :
       {"4 x    2, 3 channel, half openexr", "smpte:TimeCode: 01:02:03:04",
        "framesPerSecond: 24000/1001", "DateTime: \"2024:05:01 10:00:01\""}) {
    EXPECT_NE(info.out.find(line), std::string::npos) << line << "\n" << info.out;
  }
}

TEST(ExrWriterTest, ValuesMatchTheLinearDpxOfTheSameRaw) {
  const fs::path raw = DataDir() / "raw" / "kodak-dc50.kdc";
  TempDir dir;
  TConvertOptions options;
  options.Resize = true;
  options.Width = 96;
  options.Height = 64;
  options.ColorSpace = kColorSpaceLinear;
  try {
    ConvertRawFile(raw.string(), (dir / "a.dpx").string(), options, {}, nullptr);
  } catch (const std::exception& e) {
    GTEST_SKIP() << "the RAW developer cannot read " << raw << ": " << e.what();
  }
  // The sRGB choice does not reach an EXR file: it always holds linear light.
  options.ColorSpace = kColorSpaceRec709;
  TOutputSettings exr;
  exr.format = OutputFormat::Exr;
  ConvertRawFile(raw.string(), (dir / "a.exr").string(), options, exr, nullptr);

  const std::string dpx = ReadFileBytes(dir / "a.dpx");
  ASSERT_EQ(dpx.size(), 2048u + 96 * 64 * 6);
  std::vector<float> expected(96 * 64 * 3);
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const auto lo = static_cast<unsigned char>(dpx[2048 + 2 * i]);
    const auto hi = static_cast<unsigned char>(dpx[2048 + 2 * i + 1]);
    expected[i] = static_cast<float>(lo | hi << 8) / 65535.0f;
  }
  ExpectWithinHalf(ReadExr(dir / "a.exr"), expected);
}

// Runs write in a child whose files may not grow beyond limit bytes; returns its message.
std::string MessageWithFileSizeLimit(rlim_t limit, const std::function<void()>& write) {
  return TextFromChild([&] {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit rl{limit, limit};
    ::setrlimit(RLIMIT_FSIZE, &rl);
    return MessageOf(write);
  });
}

TEST(ExrWriterTest, AWriteThatFailsMidwayLeavesNoFileAndKeepsTheOldOne) {
  TempDir dir;
  WriteFileBytes(dir / "kept.exr", "the previous picture");
  std::vector<float> noise(256 * 256 * 3);
  for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<float>((i * 7919) % 1000);
  for (const char* name : {"new.exr", "kept.exr"}) {
    const fs::path target = dir / name;
    const std::string message = MessageWithFileSizeLimit(64 * 1024, [&] {
      WriteExrFile(target.string(), 256, 256, {nullptr, noise.data()}, {true, ExrCompression::None},
                   nullptr);
    });
    EXPECT_EQ(message, "Cannot write file \"" + target.string() + "\". File too large") << name;
  }
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    names.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{"kept.exr"});
  EXPECT_EQ(ReadFileBytes(dir / "kept.exr"), "the previous picture");
}

TEST(ExrWriterTest, AMissingFolderIsNamed) {
  TempDir dir;
  const std::vector<float> pixels(3, 0.5f);
  const fs::path target = dir / "missing" / "a.exr";
  EXPECT_EQ(MessageOf([&] {
              WriteExrFile(target.string(), 1, 1, {nullptr, pixels.data()}, {}, nullptr);
            }),
            "Cannot create file \"" + target.string() + "\". No such file or directory");
}

}  // namespace

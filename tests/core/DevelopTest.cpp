// Our develop path: equal to LibRaw's rendering where a picture leaves no room for demosaic
// differences, independent of threads and tiles, and leaving what it does not cover to LibRaw.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "RawToDpx.h"
#include "Resample.h"
#include "TestPaths.h"
#include "TransferCurve.h"
#include "develop/RawFrame.h"
#include "develop/ReducedDevelop.h"
#include "develop/TileScheduler.h"
#include "edsdk/EDSDKErrors.h"
#include "edsdk/LibRawBackend.h"

namespace fs = std::filesystem;
using tarn::test::Cr2Generator;
using tarn::test::DataDir;
using tarn::test::ReadFileBytes;
using tarn::test::SharedFixture;
using tarn::test::TempDir;

namespace {

struct Picture {
  int width = 0;
  int height = 0;
  int transfer = 0;
  std::vector<std::uint16_t> samples;
};

Picture ReadDpx(const fs::path& path) {
  const std::string bytes = ReadFileBytes(path);
  Picture p;
  if (bytes.size() < 2048) return p;
  auto u32 = [&](std::size_t at) {
    std::uint32_t v;
    std::memcpy(&v, bytes.data() + at, 4);
    return static_cast<int>(v);
  };
  p.width = u32(772);
  p.height = u32(776);
  p.transfer = static_cast<std::uint8_t>(bytes[801]);
  p.samples.resize((bytes.size() - 2048) / 2);
  std::memcpy(p.samples.data(), bytes.data() + 2048, p.samples.size() * 2);
  return p;
}

// The system's Python (with the distribution's numpy), else the first on the path.
std::string Python() {
  return fs::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
}

// ---------------------------------------------------------------------------------------------
// A noise-free flat scene develops to one value per channel with any demosaic: there, our path
// must give what LibRaw's gives, so colours (black, white balance, white level, matrix, clip,
// curve) and orientation are the same on both.

struct FlatCase {
  const char* name;
  const char* model;
  const char* orientation;
  std::uint8_t colorSpace;
  int width = 0;  // a resize to width x height (after the turn), else full size
  int height = 0;
};

void PrintTo(const FlatCase& c, std::ostream* os) {
  *os << c.name;
}

class FlatFieldTest : public ::testing::TestWithParam<FlatCase> {};

INSTANTIATE_TEST_SUITE_P(
    Bodies, FlatFieldTest,
    ::testing::Values(
        FlatCase{"Eos350dRec709", "350d", "1", kColorSpaceRec709},
        FlatCase{"Eos350dLinear", "350d", "1", kColorSpaceLinear},
        FlatCase{"Eos600dTurnedLeftRec709", "600d", "8", kColorSpaceRec709},
        FlatCase{"Eos5d3UpsideDownLinear", "5d3", "3", kColorSpaceLinear},
        // Smaller outputs take their own develop.
        FlatCase{"Eos600dReducedRec709", "600d", "1", kColorSpaceRec709, 640, 360},
        FlatCase{"Eos5d3TurnedRightReducedLinear", "5d3", "6", kColorSpaceLinear, 1000, 1000},
        FlatCase{"Eos350dExactlyHalfRec709", "350d", "1", kColorSpaceRec709, 1737, 1157}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(FlatFieldTest, OwnPathEqualsLibRawWithinTwoCodes) {
  const auto tool = Cr2Generator();
  if (!tool) GTEST_SKIP() << "shared tools/make_cr2.py not available";
  TempDir dir;
  const fs::path raw = dir / "flat.cr2";
  const std::string command = Python() + " '" + tool->string() + "' --model " + GetParam().model +
                              " --orientation " + GetParam().orientation +
                              " --scene flat --noise-free '" + raw.string() + "' >/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;

  TConvertOptions own;
  own.ColorSpace = GetParam().colorSpace;
  if (GetParam().width > 0) {
    own.Resize = true;
    own.Width = GetParam().width;
    own.Height = GetParam().height;
  }
  TConvertOptions reference = own;
  reference.Demosaic = kDemosaicAhd;
  ASSERT_TRUE(UsesOwnDevelopPath(raw.string(), own));
  ASSERT_FALSE(UsesOwnDevelopPath(raw.string(), reference));
  ConvertRawToDpx(raw.string(), (dir / "own.dpx").string(), own);
  ConvertRawToDpx(raw.string(), (dir / "ref.dpx").string(), reference);
  const Picture a = ReadDpx(dir / "own.dpx");
  const Picture b = ReadDpx(dir / "ref.dpx");
  ASSERT_EQ(a.width, b.width);
  ASSERT_EQ(a.height, b.height);
  ASSERT_EQ(a.samples.size(), b.samples.size());
  ASSERT_FALSE(a.samples.empty());
  int worst = 0;
  std::size_t worstAt = 0;
  for (std::size_t i = 0; i < a.samples.size(); ++i) {
    const int d = std::abs(int{a.samples[i]} - int{b.samples[i]});
    if (d > worst) {
      worst = d;
      worstAt = i;
    }
  }
  EXPECT_LE(worst, 2) << "pixel " << worstAt / 3 << " channel " << worstAt % 3 << ": "
                      << a.samples[worstAt] << " against " << b.samples[worstAt];
}

// ---------------------------------------------------------------------------------------------
// Demosaic quality against ground truth: a noise-free chart and, for every pixel, the camera
// values of all three channels. The truth is mapped to linear output by an affine fit per
// channel on the unclipped pixels of LibRaw's AHD picture (linearised), then encoded with the
// BT.709 curve: PSNR in the space the default DPX holds, over all channels, leaving out a
// border.

// 16-bit binary PPM, values as doubles.
std::vector<double> ReadPpm(const fs::path& path, int& width, int& height) {
  const std::string bytes = ReadFileBytes(path);
  std::size_t at = 0;
  auto token = [&] {
    while (at < bytes.size() && std::isspace(static_cast<unsigned char>(bytes[at]))) ++at;
    const std::size_t start = at;
    while (at < bytes.size() && !std::isspace(static_cast<unsigned char>(bytes[at]))) ++at;
    return bytes.substr(start, at - start);
  };
  if (token() != "P6") return {};
  width = std::stoi(token());
  height = std::stoi(token());
  token();
  ++at;
  std::vector<double> v(std::size_t{3} * width * height);
  for (std::size_t i = 0; i < v.size() && at + 2 * i + 1 < bytes.size(); ++i) {
    v[i] = static_cast<unsigned char>(bytes[at + 2 * i]) * 256.0 +
           static_cast<unsigned char>(bytes[at + 2 * i + 1]);
  }
  return v;
}

// Solves the 4 x 4 system a x = b (Gaussian elimination with partial pivoting).
std::array<double, 4> Solve4(std::array<std::array<double, 5>, 4> m) {
  for (int c = 0; c < 4; ++c) {
    int pivot = c;
    for (int r = c + 1; r < 4; ++r) {
      if (std::fabs(m[r][c]) > std::fabs(m[pivot][c])) pivot = r;
    }
    std::swap(m[c], m[pivot]);
    for (int r = 0; r < 4; ++r) {
      if (r == c || m[c][c] == 0) continue;
      const double f = m[r][c] / m[c][c];
      for (int k = c; k < 5; ++k) m[r][k] -= f * m[c][k];
    }
  }
  std::array<double, 4> x{};
  for (int c = 0; c < 4; ++c) x[c] = m[c][c] != 0 ? m[c][4] / m[c][c] : 0;
  return x;
}

struct QualityCase {
  const char* name;
  bool lowPass;
  double allowedBelowAhd;  // dB
};

void PrintTo(const QualityCase& c, std::ostream* os) {
  *os << c.name;
}

class DemosaicQualityTest : public ::testing::TestWithParam<QualityCase> {};

INSTANTIATE_TEST_SUITE_P(Charts, DemosaicQualityTest,
                         ::testing::Values(QualityCase{"OpticalLowPass", true, 0.1},
                                           QualityCase{"PixelSharp", false, 3.0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(DemosaicQualityTest, PsnrAgainstTruthKeepsUpWithAhd) {
  const auto generator = Cr2Generator();
  if (!generator) GTEST_SKIP() << "shared tools/make_cr2.py not available";
  const fs::path tool = generator->parent_path() / "make_cr2_truth.py";
  TempDir dir;
  const fs::path raw = dir / "chart.cr2";
  const fs::path truthFile = dir / "truth.ppm";
  const std::string command = Python() + " '" + tool.string() + "' '" + raw.string() + "' '" +
                              truthFile.string() + "' --model 350d" +
                              (GetParam().lowPass ? " --olpf" : "") + " >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) {
    GTEST_SKIP() << "the truth generator failed (the low-pass needs python3-numpy): " << command;
  }
  int tw = 0, th = 0;
  const std::vector<double> truth = ReadPpm(truthFile, tw, th);
  ASSERT_FALSE(truth.empty());

  TConvertOptions own;
  TConvertOptions ahd = own;
  ahd.Demosaic = kDemosaicAhd;
  ConvertRawToDpx(raw.string(), (dir / "own.dpx").string(), own);
  ConvertRawToDpx(raw.string(), (dir / "ahd.dpx").string(), ahd);
  const Picture a = ReadDpx(dir / "own.dpx");
  const Picture b = ReadDpx(dir / "ahd.dpx");
  const int w = std::min(tw, b.width), h = std::min(th, b.height);
  ASSERT_GT(w, 64);
  ASSERT_GT(h, 64);
  const auto truthAt = [&](int x, int y, int k) {
    return truth[(static_cast<std::size_t>(y) * tw + x) * 3 + static_cast<std::size_t>(k)];
  };
  const auto sample = [](const Picture& p, int x, int y, int c) {
    return p.samples[(static_cast<std::size_t>(y) * p.width + x) * 3 +
                     static_cast<std::size_t>(c)] /
           65535.0;
  };
  std::array<std::array<double, 4>, 3> fit{};
  for (int c = 0; c < 3; ++c) {
    std::array<std::array<double, 5>, 4> normal{};
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        const double encoded = sample(b, x, y, c);
        if (encoded < 0.01 || encoded > 0.99) continue;
        const double target =
            encoded < 4.5 * 0.018 ? encoded / 4.5 : std::pow((encoded + 0.099) / 1.099, 1 / 0.45);
        const double row[4] = {truthAt(x, y, 0), truthAt(x, y, 1), truthAt(x, y, 2), 1.0};
        for (int i = 0; i < 4; ++i) {
          for (int j = 0; j < 4; ++j) normal[i][j] += row[i] * row[j];
          normal[i][4] += row[i] * target;
        }
      }
    }
    fit[c] = Solve4(normal);
  }
  constexpr int kBorder = 16;
  const auto psnr = [&](const Picture& p) {
    double sum = 0;
    std::size_t n = 0;
    for (int y = kBorder; y < h - kBorder; ++y) {
      for (int x = kBorder; x < w - kBorder; ++x) {
        for (int c = 0; c < 3; ++c) {
          const double expected =
              Rec709Encode(std::clamp(fit[c][0] * truthAt(x, y, 0) + fit[c][1] * truthAt(x, y, 1) +
                                          fit[c][2] * truthAt(x, y, 2) + fit[c][3],
                                      0.0, 1.0));
          const double d = sample(p, x, y, c) - expected;
          sum += d * d;
          ++n;
        }
      }
    }
    return 10 * std::log10(static_cast<double>(n) / sum);
  };
  const double ours = psnr(a), reference = psnr(b);
  RecordProperty("psnr_own", std::to_string(ours));
  RecordProperty("psnr_ahd", std::to_string(reference));
  EXPECT_GE(ours, reference - GetParam().allowedBelowAhd)
      << "own " << ours << " dB, AHD " << reference << " dB";
}

// ---------------------------------------------------------------------------------------------
// The tiled scheduler on a mosaic in memory.

// A frame with structure at every scale (edges, fine lines, noise), odd size, margins.
struct SyntheticMosaic {
  std::vector<std::uint16_t> data;
  RawFrame frame;

  SyntheticMosaic(int width, int height, int flip) {
    const int rawWidth = width + 7, rawHeight = height + 5;
    data.resize(static_cast<std::size_t>(rawWidth) * rawHeight);
    std::mt19937 random(42);
    std::uniform_int_distribution<int> noise(0, 400);
    for (int y = 0; y < rawHeight; ++y) {
      for (int x = 0; x < rawWidth; ++x) {
        const double wave = std::sin(x * 0.31) * std::cos(y * 0.17);
        const int edge = ((x / 37) + (y / 23)) % 2 ? 9000 : 1500;
        data[static_cast<std::size_t>(y) * rawWidth + x] =
            static_cast<std::uint16_t>(256 + edge + 2500 * (wave + 1) + noise(random));
      }
    }
    frame.mosaic = data.data();
    frame.rawWidth = rawWidth;
    frame.rawHeight = rawHeight;
    frame.pitch = rawWidth;
    frame.left = 5;
    frame.top = 3;
    frame.width = width;
    frame.height = height;
    frame.cfa = {1, 0, 2, 3};  // GRBG
    frame.black = {256, 250, 260, 256};
    frame.white = 15000;
    frame.multiplier = {2.1, 1.0, 1.6, 1.0};
    frame.cameraToOutput = {{{1.7f, -0.5f, -0.2f}, {-0.2f, 1.5f, -0.3f}, {0.0f, -0.6f, 1.6f}}};
    frame.flip = flip;
  }
};

std::vector<std::uint16_t> DevelopInMemory(const RawFrame& frame, int threads, int tileSide,
                                           bool curve) {
  std::vector<std::uint16_t> out(std::size_t{3} * frame.width * frame.height);
  DevelopTiles(frame, FlippedTarget(out.data(), frame.width, frame.height, frame.flip),
               curve ? &Rec709Table() : nullptr, threads, tileSide);
  return out;
}

struct ScheduleCase {
  const char* name;
  int threads;
  int tileSide;
};

class TileScheduleTest : public ::testing::TestWithParam<ScheduleCase> {};

INSTANTIATE_TEST_SUITE_P(Schedules, TileScheduleTest,
                         ::testing::Values(ScheduleCase{"TwoThreads", 2, kTileSide},
                                           ScheduleCase{"ThreeThreadsSmallTiles", 3, 64},
                                           ScheduleCase{"SevenThreadsOddTiles", 7, 97},
                                           ScheduleCase{"OneThreadTinyTiles", 1, 22},
                                           ScheduleCase{"OneTileForAll", 1, 1024}),
                         [](const auto& info) { return std::string(info.param.name); });

// Tiles overlap by enough that no estimate sees a tile's edge, and threads share nothing: any
// thread count and any tile size give the bytes of one thread with the default tiles.
TEST_P(TileScheduleTest, OutputIndependentOfThreadsAndTiles) {
  for (const int flip : {0, 5}) {
    SCOPED_TRACE(flip);
    const SyntheticMosaic mosaic(301, 211, flip);
    const auto expected = DevelopInMemory(mosaic.frame, 1, kTileSide, flip == 0);
    const auto got =
        DevelopInMemory(mosaic.frame, GetParam().threads, GetParam().tileSide, flip == 0);
    ASSERT_EQ(got.size(), expected.size());
    std::size_t differing = 0;
    for (std::size_t i = 0; i < got.size(); ++i) differing += got[i] != expected[i];
    EXPECT_EQ(differing, 0u);
  }
}

// Rows reported final are final: a reader taking them at the report (a file written while the
// rest develops) gets the bytes of the finished picture, the reports only grow, and the last
// one covers the picture.
TEST_P(TileScheduleTest, RowsReportedDoneAreFinal) {
  const SyntheticMosaic mosaic(301, 211, 0);
  const auto expected = DevelopInMemory(mosaic.frame, 1, kTileSide, true);
  const std::size_t rowSamples = std::size_t{3} * 301;
  std::vector<std::uint16_t> out(expected.size(), 0);
  std::vector<std::uint16_t> seen(expected.size(), 0);
  int reported = 0;
  int calls = 0;
  DevelopTiles(mosaic.frame, FlippedTarget(out.data(), 301, 211, 0), &Rec709Table(),
               GetParam().threads, GetParam().tileSide, [&](int rows) {
                 ++calls;
                 EXPECT_GT(rows, reported);
                 std::copy(out.begin() + static_cast<std::ptrdiff_t>(reported * rowSamples),
                           out.begin() + static_cast<std::ptrdiff_t>(rows * rowSamples),
                           seen.begin() + static_cast<std::ptrdiff_t>(reported * rowSamples));
                 reported = rows;
               });
  EXPECT_GE(calls, 1);
  EXPECT_EQ(reported, 211);
  EXPECT_EQ(seen, expected);
}

// A turned picture fills its rows in another order: nothing is reported final early.
TEST(DevelopBayerTest, TurnedPictureReportsNoRows) {
  const SyntheticMosaic mosaic(301, 211, 5);
  std::vector<std::uint16_t> out(std::size_t{3} * 301 * 211);
  int calls = 0;
  DevelopBayer(mosaic.frame, out.data(), 211, 301, &Rec709Table(), 2, nullptr,
               [&](int) { ++calls; });
  EXPECT_EQ(calls, 0);
}

// ---------------------------------------------------------------------------------------------
// Reduced outputs: developed in strips and scaled as the rows come, never holding the picture at
// full size, and still exactly the full develop scaled in linear light.

struct ReducedCase {
  const char* name;
  int pictureWidth;  // before the turn
  int pictureHeight;
  int flip;
  int width;  // output size, after the turn
  int height;
  int threads;
  bool curve;
  double exposure;
  bool reconstruct;
};

void PrintTo(const ReducedCase& c, std::ostream* os) {
  *os << c.name;
}

class ReducedDevelopTest : public ::testing::TestWithParam<ReducedCase> {};

INSTANTIATE_TEST_SUITE_P(
    Outputs, ReducedDevelopTest,
    ::testing::Values(
        ReducedCase{"ExactlyHalfOneThread", 301, 211, 0, 150, 105, 1, true, 1, false},
        ReducedCase{"ExactlyHalfTwoThreads", 301, 211, 0, 150, 105, 2, true, 1, false},
        ReducedCase{"NotSixteenByNineThreeThreads", 301, 211, 0, 100, 100, 3, false, 1, false},
        ReducedCase{"UpsideDown", 301, 211, 3, 71, 40, 2, true, 1, false},
        ReducedCase{"TurnedLeftTwoThreads", 301, 211, 5, 105, 150, 2, false, 1, false},
        ReducedCase{"TurnedRightThreeThreads", 301, 211, 6, 33, 97, 3, true, 1, false},
        ReducedCase{"MoreThreadsThanRows", 301, 211, 0, 9, 2, 7, true, 1, false},
        ReducedCase{"ExposedUpClipped", 301, 211, 0, 80, 60, 2, false, 2.5, false},
        ReducedCase{"ExposedUpReconstructed", 301, 211, 5, 60, 80, 3, true, 2.5, true},
        // Smaller than one strip tile (mirrored all round); narrower than one tile and three
        // strips tall.
        ReducedCase{"TinyPicture", 7, 5, 0, 3, 2, 2, true, 1, false},
        ReducedCase{"NarrowTallPicture", 41, 260, 6, 120, 20, 2, false, 1, false},
        // Between half and the full size, as for UHD out of a 22 MP frame.
        ReducedCase{"TwoThirdsTwoThreads", 301, 211, 0, 200, 140, 2, true, 1, false},
        ReducedCase{"JustOverHalf", 301, 211, 0, 151, 106, 3, false, 1, false},
        ReducedCase{"FullWidthFewerRows", 301, 211, 0, 301, 150, 2, true, 1, false},
        ReducedCase{"OneRowFewerTurnedLeft", 301, 211, 5, 210, 301, 2, true, 1, false},
        ReducedCase{"NearlyFullReconstructed", 301, 211, 3, 290, 200, 3, true, 2.5, true}),
    [](const auto& info) { return std::string(info.param.name); });

// The reference is the path every size took before: the whole picture developed into a linear
// buffer, then ResampleRgb16 with the curve after scaling. Equal bytes for every thread count,
// turn, exposure and highlight mode.
TEST_P(ReducedDevelopTest, EqualsTheFullDevelopScaled) {
  const ReducedCase& c = GetParam();
  SyntheticMosaic mosaic(c.pictureWidth, c.pictureHeight, c.flip);
  RawFrame& frame = mosaic.frame;
  frame.exposure = c.exposure;
  frame.reconstructHighlights = c.reconstruct;
  const TransferTable* curve = c.curve ? &Rec709Table() : nullptr;
  const int pictureWidth = (c.flip & 4) ? c.height : c.width;
  const int pictureHeight = (c.flip & 4) ? c.width : c.height;
  ASSERT_TRUE(ReducedDevelopFits(frame, pictureWidth, pictureHeight));

  std::vector<std::uint16_t> full(std::size_t{3} * frame.width * frame.height);
  DevelopTiles(frame, FlippedTarget(full.data(), frame.width, frame.height, 0), nullptr, 1);
  Rgb16Source source;
  source.origin = full.data();
  source.width = frame.width;
  source.height = frame.height;
  source.rowStep = 3 * std::ptrdiff_t{frame.width};
  std::vector<std::uint16_t> expected(std::size_t{3} * c.width * c.height);
  ResampleRgb16(source, FlippedTarget(expected.data(), pictureWidth, pictureHeight, c.flip), curve);

  std::vector<std::uint16_t> got(expected.size());
  DevelopBayer(frame, got.data(), c.width, c.height, curve, c.threads);
  std::size_t differing = 0;
  for (std::size_t i = 0; i < got.size(); ++i) differing += got[i] != expected[i];
  EXPECT_EQ(differing, 0u);
}

// Light above the white level in every photosite comes out neutral and at the output's clip,
// whatever the white balance: the clip holds on the reduced path too.
TEST(ReducedDevelopTest, ClippedLightStaysNeutral) {
  SyntheticMosaic mosaic(120, 80, 0);
  std::fill(mosaic.data.begin(), mosaic.data.end(), std::uint16_t{16000});
  for (const double exposure : {1.0, 0.5}) {
    SCOPED_TRACE(exposure);
    mosaic.frame.exposure = exposure;
    std::vector<std::uint16_t> out(std::size_t{3} * 30 * 20);
    DevelopBayer(mosaic.frame, out.data(), 30, 20, nullptr, 2);
    const int clip = static_cast<int>(65535 * exposure);
    for (std::size_t i = 0; i < out.size(); ++i) ASSERT_NEAR(out[i], clip, 1) << i;
  }
}

// Outputs smaller than the picture in one axis at least, and larger in none, take the reduced
// develop; the full size and enlargements do not.
TEST(ReducedDevelopTest, FitsSmallerOutputsOnly) {
  const SyntheticMosaic mosaic(301, 211, 0);
  EXPECT_TRUE(ReducedDevelopFits(mosaic.frame, 150, 105));
  EXPECT_TRUE(ReducedDevelopFits(mosaic.frame, 1, 1));
  EXPECT_TRUE(ReducedDevelopFits(mosaic.frame, 300, 211));
  EXPECT_TRUE(ReducedDevelopFits(mosaic.frame, 301, 210));
  EXPECT_FALSE(ReducedDevelopFits(mosaic.frame, 301, 211));
  EXPECT_FALSE(ReducedDevelopFits(mosaic.frame, 302, 105));
  EXPECT_FALSE(ReducedDevelopFits(mosaic.frame, 150, 212));
  EXPECT_FALSE(ReducedDevelopFits(mosaic.frame, 0, 10));
}

// A record that cannot describe a picture is refused with a message, not read out of bounds.
TEST(RawFrameTest, InconsistentRecordsAreRefused) {
  struct Row {
    const char* name;
    void (*spoil)(RawFrame&);
  };
  const Row rows[] = {
      {"picture beyond the readout", [](RawFrame& f) { f.left = f.rawWidth - f.width + 1; }},
      {"one pixel wide", [](RawFrame& f) { f.width = 1; }},
      {"white at black", [](RawFrame& f) { f.white = 250; }},
      {"no blue photosite",
       [](RawFrame& f) {
         f.cfa = {1, 0, 0, 3};
       }},
      {"colour slot out of range",
       [](RawFrame& f) {
         f.cfa = {1, 0, 2, 4};
       }},
      {"pitch shorter than a row", [](RawFrame& f) { f.pitch = f.rawWidth - 1; }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SyntheticMosaic mosaic(40, 30, 0);
    row.spoil(mosaic.frame);
    std::vector<std::uint16_t> out(std::size_t{3} * 40 * 30);
    EXPECT_THROW(DevelopBayer(mosaic.frame, out.data(), 40, 30, nullptr, 1), Exception);
  }
}

// ---------------------------------------------------------------------------------------------
// The switch between the two paths.

struct PathCase {
  const char* name;
  std::function<std::optional<fs::path>()> file;
  bool own;  // taken by our path by default
};

void PrintTo(const PathCase& c, std::ostream* os) {
  *os << c.name;
}

class DevelopPathTest : public ::testing::TestWithParam<PathCase> {};

INSTANTIATE_TEST_SUITE_P(
    Files, DevelopPathTest,
    ::testing::Values(
        PathCase{"BayerCr2", [] { return std::optional(DataDir() / "raw" / "eos-350d-small.cr2"); },
                 true},
        PathCase{"BayerKdcThroughLibRawUnpack",
                 [] { return std::optional(DataDir() / "raw" / "kodak-dc50.kdc"); }, true},
        PathCase{"BayerNef", [] { return SharedFixture("nikon-d1.nef"); }, true},
        PathCase{"LinearDngWithoutMosaic",
                 [] { return std::optional(DataDir() / "raw" / "linear-rgb-32x24.dng"); }, false}),
    [](const auto& info) { return std::string(info.param.name); });

// Each file takes the path --info announces, and converts on it; --demosaic ahd sends every
// file to LibRaw's.
TEST_P(DevelopPathTest, TakesTheAnnouncedPathAndConverts) {
  const auto raw = GetParam().file();
  if (!raw) GTEST_SKIP() << "shared fixture for " << GetParam().name << " not available";
  TConvertOptions options;
  EXPECT_EQ(UsesOwnDevelopPath(raw->string(), options), GetParam().own);
  TConvertOptions ahd;
  ahd.Demosaic = kDemosaicAhd;
  EXPECT_FALSE(UsesOwnDevelopPath(raw->string(), ahd));

  TempDir dir;
  const TRawImageSize size = GetRawImageSize(raw->string());
  for (const TConvertOptions& o : {options, ahd}) {
    ConvertRawToDpx(raw->string(), (dir / "out.dpx").string(), o);
    const Picture p = ReadDpx(dir / "out.dpx");
    EXPECT_EQ(p.width, size.Width);
    EXPECT_EQ(p.height, size.Height);
    std::uint64_t sum = 0;
    for (const std::uint16_t v : p.samples) sum += v;
    EXPECT_GT(sum, 0u) << "a black picture";
  }
}

// The property that picks the path takes only its two values.
TEST(DevelopPathPropertyTest, OnlyKnownValuesAreTaken) {
  LibRawBackend backend;
  EdsStreamRef stream = nullptr;
  EdsImageRef image = nullptr;
  const std::string path = (DataDir() / "raw" / "kodak-dc50.kdc").string();
  ASSERT_EQ(backend.CreateFileStream(path.c_str(), kEdsFileCreateDisposition_OpenExisting,
                                     kEdsAccess_Read, &stream),
            EDS_ERR_OK);
  ASSERT_EQ(backend.CreateImageRef(stream, &image), EDS_ERR_OK);
  struct Row {
    EdsUInt32 set;
    EdsError result;
    EdsUInt32 path;  // read back afterwards
  };
  const Row rows[] = {{kEdsDevelopPath_LibRaw, EDS_ERR_OK, kEdsDevelopPath_LibRaw},
                      {2, EDS_ERR_PROPERTIES_UNAVAILABLE, kEdsDevelopPath_LibRaw},
                      {kEdsDevelopPath_Own, EDS_ERR_OK, kEdsDevelopPath_Own}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.set);
    EXPECT_EQ(backend.SetPropertyData(image, kEdsPropID_DevelopPath, 0, sizeof row.set, &row.set),
              row.result);
    EdsUInt32 got = 99;
    ASSERT_EQ(backend.GetPropertyData(image, kEdsPropID_DevelopPath, 0, sizeof got, &got),
              EDS_ERR_OK);
    EXPECT_EQ(got, row.path);
  }
  EdsUInt32 got = 0;
  EXPECT_EQ(backend.GetPropertyData(image, kEdsPropID_LinearRendering, 0, sizeof got, &got),
            EDS_ERR_PROPERTIES_UNAVAILABLE);
  backend.Release(image);
  backend.Release(stream);
}

}  // namespace

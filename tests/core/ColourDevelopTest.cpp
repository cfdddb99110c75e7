// The colour choices in the develop step: every output space on a flat field, on both develop
// paths, against values worked out independently; the DPX header of each space; exposure;
// highlight reconstruction; and the two renderings of earlier versions byte for byte.
#include <ImfInputFile.h>
#include <ImfStandardAttributes.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "RawToDpx.h"
#include "TestPaths.h"
#include "develop/ColourSpaces.h"
#include "develop/RawFrame.h"
#include "develop/TileScheduler.h"
#include "edsdk/EDSDKErrors.h"
#include "edsdk/LibRawBackend.h"

namespace fs = std::filesystem;
using tarn::test::ContentHash;
using tarn::test::Cr2Generator;
using tarn::test::DataDir;
using tarn::test::ReadFileBytes;
using tarn::test::TempDir;

namespace {

struct Dpx {
  int width = 0;
  int height = 0;
  std::string header;
  std::vector<std::uint16_t> samples;

  std::array<int, 3> Centre() const {
    const std::size_t i = (static_cast<std::size_t>(height / 2) * width + width / 2) * 3;
    return {samples[i], samples[i + 1], samples[i + 2]};
  }
};

Dpx ReadDpx(const fs::path& path) {
  const std::string bytes = ReadFileBytes(path);
  Dpx p;
  if (bytes.size() < 2048) return p;
  std::uint32_t w, h;
  std::memcpy(&w, bytes.data() + 772, 4);
  std::memcpy(&h, bytes.data() + 776, 4);
  p.width = static_cast<int>(w);
  p.height = static_cast<int>(h);
  p.header = bytes.substr(0, 2048);
  p.samples.resize((bytes.size() - 2048) / 2);
  std::memcpy(p.samples.data(), bytes.data() + 2048, p.samples.size() * 2);
  return p;
}

// A flat field keeps its value at any size: a small output keeps the tests quick.
TConvertOptions SmallFlat() {
  TConvertOptions options;
  options.Resize = true;
  options.Width = 390;
  options.Height = 260;
  return options;
}

const fs::path& FlatRaw() {
  // A noise-free flat field (make_cr2.py --model 400d --scene flat --noise-free): every demosaic
  // gives one value per channel.
  static const fs::path path = DataDir() / "raw" / "eos-400d-flat.cr2";
  return path;
}

// ---------------------------------------------------------------------------------------------
// Every space on the flat field. The expected value starts from the linear Rec.709 rendering
// (which equals LibRaw's own within 2 codes, see DevelopTest) and goes through OpenColorIO's
// matrices and the ACEScct formula of S-2016-001, not through the code under test.

struct SpaceCase {
  const char* name;
  std::uint8_t colorSpace;
  Matrix3 fromRec709;  // OpenColorIO 2.1 (bench/colour_reference.py)
  bool cct;
  std::uint8_t transfer;
  std::uint8_t colorimetric;
  const char* description;
};

void PrintTo(const SpaceCase& c, std::ostream* os) {
  *os << c.name;
}

constexpr Matrix3 kToAp1{{{0.6130977, 0.3395239, 0.0473798},
                          {0.0701940, 0.9163542, 0.0134525},
                          {0.0206154, 0.1095695, 0.8698150}}};

const SpaceCase kSpaces[] = {
    {"AcesCg", kColorSpaceAcesCg, kToAp1, false, 2, 0, "lin_ap1_scene"},
    {"Aces2065",
     kColorSpaceAces2065,
     {{{0.4396332, 0.3829892, 0.1773786},
       {0.0897766, 0.8134397, 0.0967843},
       {0.0175410, 0.1115462, 0.8709127}}},
     false,
     2,
     0,
     "lin_ap0_scene"},
    {"LinRec2020",
     kColorSpaceLinRec2020,
     {{{0.6274045, 0.3292839, 0.0433129},
       {0.0690978, 0.9195414, 0.0113627},
       {0.0163916, 0.0880135, 0.8955959}}},
     false,
     2,
     0,
     "lin_rec2020_scene"},
    {"AcesCct", kColorSpaceAcesCct, kToAp1, true, 0, 0, "acescct_ap1"},
};

double Cct(double linear) {
  return linear <= 0.0078125 ? 10.5402377416545 * linear + 0.0729055341958355
                             : (std::log2(linear) + 9.72) / 17.52;
}

class FlatSpaceTest : public ::testing::TestWithParam<std::tuple<SpaceCase, std::uint8_t>> {};

INSTANTIATE_TEST_SUITE_P(Spaces, FlatSpaceTest,
                         ::testing::Combine(::testing::ValuesIn(kSpaces),
                                            ::testing::Values(kDemosaicRcd, kDemosaicAhd)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) == kDemosaicRcd ? "Own" : "LibRaw");
                         });

TEST_P(FlatSpaceTest, PatchValueAndHeaderAreTheSpaces) {
  const auto& [space, demosaic] = GetParam();
  TempDir dir;
  TConvertOptions linear = SmallFlat();
  linear.ColorSpace = kColorSpaceLinear;
  linear.Demosaic = demosaic;
  TConvertOptions options = linear;
  options.ColorSpace = space.colorSpace;
  ConvertRawToDpx(FlatRaw().string(), (dir / "linear.dpx").string(), linear);
  ConvertRawToDpx(FlatRaw().string(), (dir / "space.dpx").string(), options);
  const Dpx reference = ReadDpx(dir / "linear.dpx");
  const Dpx out = ReadDpx(dir / "space.dpx");
  ASSERT_EQ(out.width, reference.width);
  ASSERT_EQ(out.height, reference.height);

  const std::array<int, 3> rec709 = reference.Centre();
  const std::array<int, 3> got = out.Centre();
  for (std::size_t c = 0; c < 3; ++c) {
    double linearValue = 0;
    for (std::size_t k = 0; k < 3; ++k) linearValue += space.fromRec709[c][k] * rec709[k] / 65535.0;
    const double expected = 65535 * (space.cct ? Cct(linearValue) : linearValue);
    EXPECT_NEAR(got[c], expected, 3) << "channel " << c;
  }
  EXPECT_EQ(static_cast<std::uint8_t>(out.header[801]), space.transfer);
  EXPECT_EQ(static_cast<std::uint8_t>(out.header[802]), space.colorimetric);
  EXPECT_EQ(std::string(out.header.c_str() + 820), space.description);
  EXPECT_EQ(out.header[851], '\0');
}

// The renderings of earlier versions keep their header table and an empty description.
TEST(ColourHeaderTest, EarlierSpacesKeepTheirCodes) {
  TempDir dir;
  const std::pair<std::uint8_t, std::uint8_t> rows[] = {{kColorSpaceRec709, 6},
                                                        {kColorSpaceLinear, 2}};
  for (const auto& [space, transfer] : rows) {
    TConvertOptions options;
    options.ColorSpace = space;
    options.Resize = true;
    options.Width = 64;
    options.Height = 48;
    ConvertRawToDpx(FlatRaw().string(), (dir / "a.dpx").string(), options);
    const Dpx out = ReadDpx(dir / "a.dpx");
    EXPECT_EQ(static_cast<std::uint8_t>(out.header[801]), transfer);
    EXPECT_EQ(static_cast<std::uint8_t>(out.header[802]), 1);
    EXPECT_EQ(out.header.substr(820, 32), std::string(32, '\0'));
  }
}

// ---------------------------------------------------------------------------------------------
// Exposure works on linear light before the clip: +1 stop doubles, -1 halves, on both paths.

class ExposureTest : public ::testing::TestWithParam<std::uint8_t> {};

INSTANTIATE_TEST_SUITE_P(Paths, ExposureTest, ::testing::Values(kDemosaicRcd, kDemosaicAhd),
                         [](const auto& info) {
                           return std::string(info.param == kDemosaicRcd ? "Own" : "LibRaw");
                         });

TEST_P(ExposureTest, OneStopDoublesLinearValuesBelowTheClip) {
  TempDir dir;
  TConvertOptions options = SmallFlat();
  options.ColorSpace = kColorSpaceLinear;
  options.Demosaic = GetParam();
  ConvertRawToDpx(FlatRaw().string(), (dir / "0.dpx").string(), options);
  options.ExposureStops = 1;
  ConvertRawToDpx(FlatRaw().string(), (dir / "+1.dpx").string(), options);
  options.ExposureStops = -1;
  ConvertRawToDpx(FlatRaw().string(), (dir / "-1.dpx").string(), options);
  const auto base = ReadDpx(dir / "0.dpx").Centre();
  const auto up = ReadDpx(dir / "+1.dpx").Centre();
  const auto down = ReadDpx(dir / "-1.dpx").Centre();
  for (std::size_t c = 0; c < 3; ++c) {
    ASSERT_LT(base[c], 30000) << "the flat field must stay below the clip when doubled";
    EXPECT_NEAR(up[c], 2 * base[c], 2) << "channel " << c;
    EXPECT_NEAR(down[c], base[c] / 2.0, 2) << "channel " << c;
  }
}

// ---------------------------------------------------------------------------------------------
// Highlights on a synthetic frame: green saturates at the white level while red and blue, with
// larger multipliers, still carry the light. Two areas differ only in their red.

struct HighlightFrame {
  static constexpr int kWidth = 64;
  static constexpr int kHeight = 32;
  std::vector<std::uint16_t> mosaic;
  RawFrame frame;

  HighlightFrame() : mosaic(static_cast<std::size_t>(kWidth) * kHeight) {
    // RGGB; white 4000, black 0; multipliers red 2, green 1, blue 1.5.
    for (int y = 0; y < kHeight; ++y) {
      for (int x = 0; x < kWidth; ++x) {
        const bool right = x >= kWidth / 2;
        const int colour = (y & 1) * 2 + (x & 1);  // 0 R, 1 G, 2 G, 3 B
        std::uint16_t v = 4000;                    // green saturated
        if (colour == 0) v = right ? 3400 : 2600;  // red 1.7 or 1.3 of green's clip
        if (colour == 3) v = 3000;                 // blue 1.125
        mosaic[static_cast<std::size_t>(y) * kWidth + x] = v;
      }
    }
    frame.mosaic = mosaic.data();
    frame.rawWidth = frame.width = kWidth;
    frame.rawHeight = frame.height = kHeight;
    frame.pitch = kWidth;
    frame.cfa = {0, 1, 3, 2};
    frame.black = {0, 0, 0, 0};
    frame.white = 4000;
    frame.multiplier = {2, 1, 1.5, 1};
    frame.exposure = 0.5;  // one stop down, so that rebuilt light shows below the output clip
  }

  std::vector<std::uint16_t> Develop(bool reconstruct) {
    frame.reconstructHighlights = reconstruct;
    std::vector<std::uint16_t> out(static_cast<std::size_t>(kWidth) * kHeight * 3);
    DevelopTiles(frame, FlippedTarget(out.data(), kWidth, kHeight, 0), nullptr, 1, 24);
    return out;
  }
};

// Chroma of a pixel: the spread of its channels over their largest.
double Chroma(const std::vector<std::uint16_t>& rgb, int x, int y) {
  const std::size_t i = (static_cast<std::size_t>(y) * HighlightFrame::kWidth + x) * 3;
  const int hi = std::max({rgb[i], rgb[i + 1], rgb[i + 2]});
  const int lo = std::min({rgb[i], rgb[i + 1], rgb[i + 2]});
  return hi > 0 ? double(hi - lo) / hi : 0;
}

int Green(const std::vector<std::uint16_t>& rgb, int x, int y) {
  return rgb[(static_cast<std::size_t>(y) * HighlightFrame::kWidth + x) * 3 + 1];
}

TEST(HighlightTest, ClipKeepsSaturatedAreasNeutralAndFlat) {
  HighlightFrame f;
  const auto clip = f.Develop(false);
  for (const int x : {12, 52}) {
    EXPECT_LT(Chroma(clip, x, 16), 0.002) << x;
    EXPECT_NEAR(Green(clip, x, 16), 32767, 2) << "clipped at the sensor's white, one stop down";
  }
}

TEST(HighlightTest, ReconstructionRecoversDetailWithoutMagenta) {
  HighlightFrame f;
  const auto rebuilt = f.Develop(true);
  // Both areas neutral (no magenta: the unbalanced clipped green would leave red and blue
  // high), each at the light its red still measured: 1.3 and 1.7 of the clip, one stop down.
  double worst = 0;
  for (int y = 4; y < HighlightFrame::kHeight - 4; ++y) {
    for (const int x : {4, 12, 24, 40, 52, 60}) worst = std::max(worst, Chroma(rebuilt, x, y));
  }
  EXPECT_LT(worst, 0.002);
  EXPECT_NEAR(Green(rebuilt, 12, 16), 0.65 * 65535, 40);
  EXPECT_NEAR(Green(rebuilt, 52, 16), 0.85 * 65535, 40);
}

// Away from the clip, reconstruction changes nothing (but the rounding of its wider range).
TEST(HighlightTest, ReconstructionLeavesUnclippedLightAlone) {
  HighlightFrame f;
  for (std::uint16_t& v : f.mosaic) v = static_cast<std::uint16_t>(v / 4);
  f.frame.exposure = 1;
  const auto rebuilt = f.Develop(true);
  const auto clipped = f.Develop(false);
  ASSERT_EQ(rebuilt.size(), clipped.size());
  int worst = 0;
  for (std::size_t i = 0; i < rebuilt.size(); ++i)
    worst = std::max(worst, std::abs(int{rebuilt[i]} - int{clipped[i]}));
  EXPECT_LE(worst, 1);
}

// The same on a real CR2 through both develop paths: a mosaic whose green is saturated
// everywhere while red (in two levels, left and right) and blue are not, made into a 350D file
// by the shared generator. Balanced 2, 1, 1.5 and one stop down, as the synthetic frame above.

void WriteClippedMosaic(const fs::path& pgm) {
  constexpr int kW = 64, kH = 32;
  std::string bytes = "P5\n64 32\n65535\n";
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) {
      const int colour = (y & 1) * 2 + (x & 1);
      int v = 4000;  // the white level given to the generator: green saturated
      if (colour == 0) v = x >= kW / 2 ? 3400 : 2600;
      if (colour == 3) v = 3000;
      if (y >= 28) v /= 4;  // a few unclipped rows, for the generator's grey-world balance
      bytes += static_cast<char>(v >> 8);
      bytes += static_cast<char>(v & 0xFF);
    }
  }
  tarn::test::WriteFileBytes(pgm, bytes);
}

class ClippedCr2Test : public ::testing::TestWithParam<std::uint8_t> {
 protected:
  static void SetUpTestSuite() {
    const auto tool = Cr2Generator();
    if (!tool) return;
    folder = std::make_unique<TempDir>();
    WriteClippedMosaic(*folder / "clip.pgm");
    const std::string command =
        std::string(fs::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3") + " '" +
        tool->string() + "' --model 350d --from-pgm '" + (*folder / "clip.pgm").string() +
        "' --pgm-cfa RGGB --pgm-black 0 --pgm-white 4000 --pgm-tile repeat '" +
        (*folder / "clipped.cr2").string() + "' >/dev/null";
    if (std::system(command.c_str()) != 0) folder.reset();
  }
  static void TearDownTestSuite() { folder.reset(); }

  // Rows 2..12 of the output, the two areas of the first repeated tiles.
  struct Areas {
    double chroma = 0;  // the largest of both areas
    std::array<double, 2> green{};
  };
  Areas Develop(std::uint8_t highlights) {
    TConvertOptions options;
    options.ColorSpace = kColorSpaceLinear;
    options.Demosaic = GetParam();
    options.WhiteBalance = kWhiteBalanceMultipliers;
    options.WhiteBalanceMultipliers = {2, 1, 1.5};
    options.ExposureStops = -1;
    options.Highlights = highlights;
    const fs::path out = dir / "out.dpx";
    ConvertRawToDpx((*folder / "clipped.cr2").string(), out.string(), options);
    const Dpx p = ReadDpx(out);
    Areas a;
    for (int area = 0; area < 2; ++area) {
      double sum = 0;
      int n = 0;
      for (int y = 2; y < 12; ++y) {
        for (int x = area * 32 + 8; x < area * 32 + 24; ++x) {
          const std::size_t i = (static_cast<std::size_t>(y) * p.width + x) * 3;
          const int hi = std::max({p.samples[i], p.samples[i + 1], p.samples[i + 2]});
          const int lo = std::min({p.samples[i], p.samples[i + 1], p.samples[i + 2]});
          a.chroma = std::max(a.chroma, hi > 0 ? double(hi - lo) / hi : 0.0);
          sum += p.samples[i + 1];
          ++n;
        }
      }
      a.green[static_cast<std::size_t>(area)] = sum / n / 65535;
    }
    return a;
  }

  static inline std::unique_ptr<TempDir> folder;
  TempDir dir;
};

INSTANTIATE_TEST_SUITE_P(Paths, ClippedCr2Test, ::testing::Values(kDemosaicRcd, kDemosaicAhd),
                         [](const auto& info) {
                           return std::string(info.param == kDemosaicRcd ? "Own" : "LibRaw");
                         });

TEST_P(ClippedCr2Test, ClipIsNeutralAndReconstructionNeutralWithDetail) {
  if (!folder) GTEST_SKIP() << "shared tools/make_cr2.py not available";
  const Areas clip = Develop(kHighlightsClip);
  EXPECT_LT(clip.chroma, 0.002);
  EXPECT_NEAR(clip.green[0], 0.5, 0.002);
  EXPECT_NEAR(clip.green[1], 0.5, 0.002);

  const Areas rebuilt = Develop(kHighlightsReconstruct);
  EXPECT_LT(rebuilt.chroma, 0.01) << "magenta or another tint in a rebuilt highlight";
  // Brighter than the clip, and the two reds still tell the areas apart. LibRaw's blend
  // recovers less than ours (which gives the light of the largest channel, 0.65 and 0.85).
  EXPECT_GT(rebuilt.green[0], 0.55);
  EXPECT_GT(rebuilt.green[1], rebuilt.green[0] + 0.05);
  if (GetParam() == kDemosaicRcd) {
    EXPECT_NEAR(rebuilt.green[0], 0.65, 0.01);
    EXPECT_NEAR(rebuilt.green[1], 0.85, 0.01);
  }
}

// ---------------------------------------------------------------------------------------------
// White balance on the flat field (lit at 4500 K, the as-shot balance neutralising it): both
// paths agree in every mode, and a temperature at the as-shot estimate renders as shot.

struct BalanceCase {
  const char* name;
  std::function<void(TConvertOptions&)> set;
};

void PrintTo(const BalanceCase& c, std::ostream* os) {
  *os << c.name;
}

class WhiteBalanceTest : public ::testing::TestWithParam<BalanceCase> {};

INSTANTIATE_TEST_SUITE_P(Modes, WhiteBalanceTest,
                         ::testing::Values(BalanceCase{"Daylight",
                                                       [](TConvertOptions& o) {
                                                         o.WhiteBalance = kWhiteBalanceDaylight;
                                                       }},
                                           BalanceCase{"Multipliers",
                                                       [](TConvertOptions& o) {
                                                         o.WhiteBalance = kWhiteBalanceMultipliers;
                                                         o.WhiteBalanceMultipliers = {1.6, 1, 2.2};
                                                       }},
                                           BalanceCase{"Temperature",
                                                       [](TConvertOptions& o) {
                                                         o.WhiteBalance = kWhiteBalanceTemperature;
                                                         o.WhiteBalanceKelvin = 3000;
                                                         o.WhiteBalanceTint = 20;
                                                       }},
                                           BalanceCase{"ReconstructBelowTheClip",
                                                       [](TConvertOptions& o) {
                                                         o.Highlights = kHighlightsReconstruct;
                                                       }}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(WhiteBalanceTest, BothPathsAgree) {
  TempDir dir;
  TConvertOptions own = SmallFlat();
  own.ColorSpace = kColorSpaceLinear;
  GetParam().set(own);
  TConvertOptions libraw = own;
  libraw.Demosaic = kDemosaicAhd;
  ConvertRawToDpx(FlatRaw().string(), (dir / "own.dpx").string(), own);
  ConvertRawToDpx(FlatRaw().string(), (dir / "libraw.dpx").string(), libraw);
  const auto a = ReadDpx(dir / "own.dpx").Centre();
  const auto b = ReadDpx(dir / "libraw.dpx").Centre();
  for (std::size_t c = 0; c < 3; ++c) EXPECT_NEAR(a[c], b[c], 3) << "channel " << c;
}

TEST(WhiteBalanceTemperatureTest, AsShotEstimateRendersAsShotAndDaylightWarm) {
  TempDir dir;
  const TCameraColour camera = CameraColour(FlatRaw().string());
  ASSERT_TRUE(camera.hasMatrix);
  EXPECT_NEAR(camera.kelvin, 4500, 60) << "the generator lit the field at 4500 K";

  TConvertOptions asShot = SmallFlat();
  asShot.ColorSpace = kColorSpaceLinear;
  TConvertOptions temperature = asShot;
  temperature.WhiteBalance = kWhiteBalanceTemperature;
  temperature.WhiteBalanceKelvin = camera.kelvin;
  temperature.WhiteBalanceTint = camera.tint;
  TConvertOptions daylight = asShot;
  daylight.WhiteBalance = kWhiteBalanceDaylight;
  ConvertRawToDpx(FlatRaw().string(), (dir / "a.dpx").string(), asShot);
  ConvertRawToDpx(FlatRaw().string(), (dir / "t.dpx").string(), temperature);
  ConvertRawToDpx(FlatRaw().string(), (dir / "d.dpx").string(), daylight);
  const auto a = ReadDpx(dir / "a.dpx").Centre();
  const auto t = ReadDpx(dir / "t.dpx").Centre();
  const auto d = ReadDpx(dir / "d.dpx").Centre();
  for (std::size_t c = 0; c < 3; ++c) EXPECT_NEAR(t[c], a[c], a[c] * 0.002 + 2) << c;
  // 4500 K light under a daylight balance: warm.
  EXPECT_GT(d[0], d[2] * 1.1);
}

// OpenEXR files hold the linear space asked for and say so in their chromaticities; the
// non-linear renderings become their linear sibling.
TEST(ExrColourTest, ChromaticitiesAreThoseOfTheLinearSpace) {
  struct Row {
    std::uint8_t asked;
    std::uint8_t written;
    Imf::Chromaticities expected;
  };
  const Imath::V2f acesWhite(0.32168f, 0.33767f), d65(0.3127f, 0.3290f);
  const Imf::Chromaticities ap1({0.713f, 0.293f}, {0.165f, 0.830f}, {0.128f, 0.044f}, acesWhite);
  const Row rows[] = {
      {kColorSpaceRec709, kColorSpaceLinear, Imf::Chromaticities()},
      {kColorSpaceAcesCg, kColorSpaceAcesCg, ap1},
      {kColorSpaceAcesCct, kColorSpaceAcesCg, ap1},
      {kColorSpaceAces2065, kColorSpaceAces2065,
       Imf::Chromaticities({0.7347f, 0.2653f}, {0.0f, 1.0f}, {0.0001f, -0.077f}, acesWhite)},
      {kColorSpaceLinRec2020, kColorSpaceLinRec2020,
       Imf::Chromaticities({0.708f, 0.292f}, {0.170f, 0.797f}, {0.131f, 0.046f}, d65)},
  };
  TempDir dir;
  for (const Row& row : rows) {
    SCOPED_TRACE(int(row.asked));
    EXPECT_EQ(ExrColorSpace(row.asked), row.written);
    TConvertOptions options = SmallFlat();
    options.ColorSpace = row.asked;
    TOutputSettings output;
    output.format = OutputFormat::Exr;
    const fs::path out = dir / "a.exr";
    ConvertRawFile(FlatRaw().string(), out.string(), options, output, nullptr);
    Imf::InputFile file(out.c_str());
    ASSERT_TRUE(Imf::hasChromaticities(file.header()));
    const Imf::Chromaticities& c = Imf::chromaticities(file.header());
    for (const auto& [got, want] : {std::pair{c.red, row.expected.red},
                                    {c.green, row.expected.green},
                                    {c.blue, row.expected.blue},
                                    {c.white, row.expected.white}}) {
      EXPECT_NEAR(got.x, want.x, 1e-6);
      EXPECT_NEAR(got.y, want.y, 1e-6);
    }
  }
}

// A temperature beyond the range the locus is known in is refused, naming the file and the
// range, and nothing is written.
TEST(WhiteBalanceTemperatureTest, TemperatureOutOfRangeIsRefused) {
  TempDir dir;
  for (const auto& [kelvin, tint] : {std::pair{20000.0, 0.0}, {1500.0, 0.0}, {5000.0, 200.0}}) {
    TConvertOptions options = SmallFlat();
    options.WhiteBalance = kWhiteBalanceTemperature;
    options.WhiteBalanceKelvin = kelvin;
    options.WhiteBalanceTint = tint;
    try {
      ConvertRawToDpx(FlatRaw().string(), (dir / "a.dpx").string(), options);
      ADD_FAILURE() << kelvin << " K, tint " << tint << " accepted";
    } catch (const Exception& e) {
      EXPECT_NE(std::string(e.what()).find(FlatRaw().string()), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("2000 to 15000 K"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(fs::exists(dir / "a.dpx"));
  }
}

// The colour properties take only values the develop step can use.
TEST(ColourPropertyTest, OnlyUsableValuesAreTaken) {
  LibRawBackend backend;
  EdsStreamRef stream = nullptr;
  EdsImageRef image = nullptr;
  const std::string path = FlatRaw().string();
  ASSERT_EQ(backend.CreateFileStream(path.c_str(), kEdsFileCreateDisposition_OpenExisting,
                                     kEdsAccess_Read, &stream),
            EDS_ERR_OK);
  ASSERT_EQ(backend.CreateImageRef(stream, &image), EDS_ERR_OK);
  const auto word = [&](EdsPropertyID id, EdsUInt32 v) {
    return backend.SetPropertyData(image, id, 0, sizeof v, &v);
  };
  const auto number = [&](EdsPropertyID id, double v) {
    return backend.SetPropertyData(image, id, 0, sizeof v, &v);
  };
  const auto triple = [&](std::array<double, 3> v) {
    return backend.SetPropertyData(image, kEdsPropID_WhiteBalanceMultipliers, 0, sizeof v,
                                   v.data());
  };
  EXPECT_EQ(word(kEdsPropID_ColorSpace, kColorSpaceAcesCct), EDS_ERR_OK);
  EXPECT_EQ(word(kEdsPropID_ColorSpace, kColorSpaceCount), EDS_ERR_PROPERTIES_UNAVAILABLE);
  EXPECT_EQ(word(kEdsPropID_WhiteBalance, kEdsWhiteBalance_Multipliers), EDS_ERR_OK);
  EXPECT_EQ(word(kEdsPropID_WhiteBalance, 3), EDS_ERR_PROPERTIES_UNAVAILABLE);
  EXPECT_EQ(word(kEdsPropID_Highlights, 1), EDS_ERR_OK);
  EXPECT_EQ(word(kEdsPropID_Highlights, 2), EDS_ERR_PROPERTIES_UNAVAILABLE);
  EXPECT_EQ(number(kEdsPropID_ExposureStops, -8), EDS_ERR_OK);
  EXPECT_EQ(number(kEdsPropID_ExposureStops, 8.5), EDS_ERR_PROPERTIES_UNAVAILABLE);
  EXPECT_EQ(number(kEdsPropID_ExposureStops, std::nan("")), EDS_ERR_PROPERTIES_UNAVAILABLE);
  EXPECT_EQ(triple({2, 1, 1.5}), EDS_ERR_OK);
  EXPECT_EQ(triple({2, 0, 1.5}), EDS_ERR_PROPERTIES_UNAVAILABLE);
  EXPECT_EQ(triple({2, 1, std::nan("")}), EDS_ERR_PROPERTIES_UNAVAILABLE);
  // A wrong size is refused, as for every property.
  const EdsUInt32 v = 0;
  EXPECT_EQ(backend.SetPropertyData(image, kEdsPropID_ExposureStops, 0, sizeof v, &v),
            EDS_ERR_PROPERTIES_UNAVAILABLE);
  backend.Release(image);
  backend.Release(stream);
}

// ---------------------------------------------------------------------------------------------
// The two renderings of earlier versions, byte for byte as they were before the colour choices
// came: FNV-1a 64 of whole files written by the version before them (full size, and one
// reduced size for each develop path). A deliberate change of a rendering updates this table.

struct GoldenCase {
  const char* file;
  std::uint8_t colorSpace;
  std::uint8_t demosaic;
  bool small;  // 640 x 427
  std::uint64_t hash;
};

void PrintTo(const GoldenCase& c, std::ostream* os) {
  *os << c.file << " space " << int(c.colorSpace) << " demosaic " << int(c.demosaic)
      << (c.small ? " small" : "");
}

class GoldenOutputTest : public ::testing::TestWithParam<GoldenCase> {};

constexpr std::uint8_t kRcd = kDemosaicRcd, kAhd = kDemosaicAhd;
constexpr std::uint8_t kRec = kColorSpaceRec709, kLin = kColorSpaceLinear;

INSTANTIATE_TEST_SUITE_P(
    EarlierRenderings, GoldenOutputTest,
    ::testing::Values(GoldenCase{"eos-350d-small.cr2", kRec, kRcd, false, 0x8711c7924622c6edULL},
                      GoldenCase{"eos-350d-small.cr2", kLin, kRcd, false, 0x17e318177d37bc40ULL},
                      GoldenCase{"eos-350d-small.cr2", kRec, kAhd, false, 0x65d375183f810ed7ULL},
                      GoldenCase{"eos-350d-small.cr2", kLin, kAhd, false, 0x10e717fe8e986223ULL},
                      GoldenCase{"eos-350d-small.cr2", kRec, kRcd, true, 0x814adce95fca514eULL},
                      GoldenCase{"eos-350d-small.cr2", kRec, kAhd, true, 0xc06b93498fa707a4ULL},
                      GoldenCase{"eos-400d-flat.cr2", kRec, kRcd, false, 0x5f462f29ec9d4a6bULL},
                      GoldenCase{"eos-400d-flat.cr2", kLin, kRcd, false, 0xf219873a2fd96f87ULL},
                      GoldenCase{"eos-400d-flat.cr2", kRec, kAhd, false, 0xcf51bedbd6f32e4bULL},
                      GoldenCase{"eos-400d-flat.cr2", kLin, kAhd, false, 0x678c7c84ad061ab7ULL},
                      GoldenCase{"kodak-dc50.kdc", kRec, kRcd, false, 0x5a573ab8d93fd3a3ULL},
                      GoldenCase{"kodak-dc50.kdc", kLin, kRcd, false, 0xcc0698c6dc4b40feULL},
                      GoldenCase{"kodak-dc50.kdc", kRec, kAhd, false, 0x3f42f8a16ed39fc1ULL},
                      GoldenCase{"kodak-dc50.kdc", kLin, kAhd, false, 0x7c3186753987974dULL},
                      GoldenCase{"kodak-dc50.kdc", kRec, kRcd, true, 0x05df77435af5319aULL},
                      GoldenCase{"kodak-dc50.kdc", kRec, kAhd, true, 0x2d8ef0d56e794d41ULL},
                      GoldenCase{"linear-rgb-32x24.dng", kRec, kRcd, false, 0xcaad3655b944d55cULL},
                      GoldenCase{"linear-rgb-32x24.dng", kLin, kRcd, false,
                                 0x4784b3b61fc765c7ULL}));

TEST_P(GoldenOutputTest, BytesAreThoseOfEarlierVersions) {
  const GoldenCase& c = GetParam();
  TempDir dir;
  TConvertOptions options;
  options.ColorSpace = c.colorSpace;
  options.Demosaic = c.demosaic;
  if (c.small) {
    options.Resize = true;
    options.Width = 640;
    options.Height = 427;
  }
  ConvertRawToDpx((DataDir() / "raw" / c.file).string(), (dir / "out.dpx").string(), options);
  EXPECT_EQ(ContentHash(ReadFileBytes(dir / "out.dpx")), c.hash);
}

}  // namespace

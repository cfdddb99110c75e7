// The colour maths against independent reference values: OpenColorIO 2.1's builtin ACES
// transforms (recomputed by bench/colour_reference.py) and the matrices the ACES documents
// publish; colour temperature against the CIE's published values for its illuminants.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>

#include "ColourOptions.h"
#include "develop/ColourSpaces.h"

namespace {

struct MatrixCase {
  const char* name;
  std::function<Matrix3()> computed;
  Matrix3 reference;
  double tolerance;
};

void PrintTo(const MatrixCase& c, std::ostream* os) {
  *os << c.name;
}

class ColourMatrixTest : public ::testing::TestWithParam<MatrixCase> {};

Matrix3 Rec709ToXyz() {
  return RgbToXyz(Rec709Primaries());
}

INSTANTIATE_TEST_SUITE_P(
    References, ColourMatrixTest,
    ::testing::Values(
        // OpenColorIO 2.1 builtins (bench/colour_reference.py): Rec.709 to XYZ from
        // "DISPLAY - CIE-XYZ-D65_to_REC.1886-REC.709"; the ACES spaces through
        // "UTILITY - ACES-AP0/AP1_to_CIE-XYZ-D65_BFD" (Bradford); Rec.2020 from
        // "DISPLAY - CIE-XYZ-D65_to_REC.1886-REC.2020".
        MatrixCase{"Rec709ToXyz",
                   Rec709ToXyz,
                   {{{0.4123910, 0.3575848, 0.1804811},
                     {0.2126392, 0.7151691, 0.0721925},
                     {0.0193306, 0.1191944, 0.9505326}}},
                   1e-5},
        MatrixCase{"Rec709ToAcesCg",
                   [] { return Rec709ToOutput(kColorSpaceAcesCg); },
                   {{{0.6130977, 0.3395239, 0.0473798},
                     {0.0701940, 0.9163542, 0.0134525},
                     {0.0206154, 0.1095695, 0.8698150}}},
                   1e-5},
        MatrixCase{"Rec709ToAcesCct",
                   [] { return Rec709ToOutput(kColorSpaceAcesCct); },
                   {{{0.6130977, 0.3395239, 0.0473798},
                     {0.0701940, 0.9163542, 0.0134525},
                     {0.0206154, 0.1095695, 0.8698150}}},
                   1e-5},
        MatrixCase{"Rec709ToAces2065",
                   [] { return Rec709ToOutput(kColorSpaceAces2065); },
                   {{{0.4396332, 0.3829892, 0.1773786},
                     {0.0897766, 0.8134397, 0.0967843},
                     {0.0175410, 0.1115462, 0.8709127}}},
                   1e-5},
        MatrixCase{"Rec709ToRec2020",
                   [] { return Rec709ToOutput(kColorSpaceLinRec2020); },
                   {{{0.6274045, 0.3292839, 0.0433129},
                     {0.0690978, 0.9195414, 0.0113627},
                     {0.0163916, 0.0880135, 0.8955959}}},
                   1e-5},
        // Published in SMPTE ST 2065-1 (AP0) and Academy S-2014-004 (AP1), and OpenColorIO's
        // "ACEScg_to_ACES2065-1".
        MatrixCase{"Ap0ToXyz",
                   [] { return RgbToXyz(AcesAp0Primaries()); },
                   {{{0.9525523959, 0.0, 0.0000936786},
                     {0.3439664498, 0.7281660966, -0.0721325464},
                     {0.0, 0.0, 1.0088251844}}},
                   1e-8},
        MatrixCase{"Ap1ToXyz",
                   [] { return RgbToXyz(AcesAp1Primaries()); },
                   {{{0.6624541811, 0.1340042065, 0.1561876870},
                     {0.2722287168, 0.6740817658, 0.0536895174},
                     {-0.0055746495, 0.0040607335, 1.0103391003}}},
                   1e-8},
        MatrixCase{"Ap1ToAp0",
                   [] {
                     return Multiply(Inverse(RgbToXyz(AcesAp0Primaries())),
                                     RgbToXyz(AcesAp1Primaries()));
                   },
                   {{{0.6954522414, 0.1406786965, 0.1638690622},
                     {0.0447945634, 0.8596711185, 0.0955343182},
                     {-0.0055258826, 0.0040252103, 1.0015006723}}},
                   1e-8},
        // The two renderings of earlier versions keep LibRaw's Rec.709 primaries untouched.
        MatrixCase{"Rec709Unchanged", [] { return Rec709ToOutput(kColorSpaceRec709); }, Identity3(),
                   0},
        MatrixCase{"LinearUnchanged", [] { return Rec709ToOutput(kColorSpaceLinear); }, Identity3(),
                   0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(ColourMatrixTest, MatchesTheReference) {
  const Matrix3 m = GetParam().computed();
  for (std::size_t r = 0; r < 3; ++r) {
    for (std::size_t c = 0; c < 3; ++c) {
      EXPECT_NEAR(m[r][c], GetParam().reference[r][c], GetParam().tolerance)
          << "row " << r << " column " << c;
    }
  }
}

// ACEScct of linear values against OpenColorIO's "CURVE - ACEScct-LOG_to_LINEAR" (inverted),
// and the 16-bit table the develop step encodes with.
TEST(AcesCctTest, EncodingMatchesOpenColorIo) {
  const std::pair<double, double> rows[] = {{0.0, 0.0729056},       {0.001, 0.0834458},
                                            {0.0078125, 0.1552512}, {0.18, 0.4135885},
                                            {1.0, 0.5547945},       {16.0, 0.7831050}};
  for (const auto& [linear, cct] : rows) {
    SCOPED_TRACE(linear);
    EXPECT_NEAR(AcesCctEncode(linear), cct, 1e-6);
    if (linear <= 1.0) {
      // The table's entry for a linear value that is a whole code.
      const double code = std::round(linear * 65535);
      EXPECT_NEAR(AcesCctTable()[static_cast<std::size_t>(code)],
                  65535 * AcesCctEncode(code / 65535), 0.5);
    }
  }
  // Continuous where the straight segment meets the logarithm.
  EXPECT_NEAR(AcesCctEncode(0.0078125 - 1e-9), AcesCctEncode(0.0078125 + 1e-9), 1e-7);
  EXPECT_EQ(OutputCurve(kColorSpaceAcesCct), &AcesCctTable());
  EXPECT_EQ(OutputCurve(kColorSpaceRec709), &Rec709Table());
  for (std::uint8_t linear :
       {kColorSpaceLinear, kColorSpaceAcesCg, kColorSpaceAces2065, kColorSpaceLinRec2020}) {
    EXPECT_EQ(OutputCurve(linear), nullptr) << int(linear);
  }
}

// The CIE's illuminants: A (2856 K, on the locus) and D65 (6504 K, Duv +0.0032 above the
// locus, so tint -9.6 on our scale, where positive means a greener picture).
TEST(ColourTemperatureTest, CieIlluminantsHaveTheirPublishedTemperature) {
  struct Row {
    const char* name;
    Chromaticity white;
    double kelvin;
    double tint;
  };
  const Row rows[] = {{"A", {0.44757, 0.40745}, 2856, 0.0},
                      {"D65", {0.31271, 0.32902}, 6504, -9.6}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Temperature t = TemperatureOfWhite(row.white);
    EXPECT_NEAR(t.kelvin, row.kelvin, 15);
    EXPECT_NEAR(t.tint, row.tint, 1.0);
  }
}

TEST(ColourTemperatureTest, TemperatureAndTintRoundTrip) {
  for (const double kelvin : {2000.0, 3200.0, 5600.0, 9000.0, 14000.0}) {
    for (const double tint : {-40.0, 0.0, 25.0}) {
      SCOPED_TRACE(std::to_string(kelvin) + " K, tint " + std::to_string(tint));
      const Temperature t = TemperatureOfWhite(WhiteOfTemperature(kelvin, tint));
      EXPECT_NEAR(t.kelvin, kelvin, kelvin * 1e-3);
      EXPECT_NEAR(t.tint, tint, 0.1);
    }
  }
}

// A camera whose daylight multipliers are (2, 1, 1.5): balancing for D65 gives exactly those,
// a warmer light needs less red gain, and the multipliers lead back to their white.
TEST(ColourTemperatureTest, MultipliersFollowTheCameraMatrix) {
  CameraResponse camera;
  camera.cameraToRec709 = {{{1.7, -0.6, -0.1}, {-0.2, 1.5, -0.3}, {0.05, -0.45, 1.4}}};
  camera.daylight = {2.0, 1.0, 1.5};
  const Vector3 d65 = MultipliersForWhite(camera, Rec709Primaries().white);
  EXPECT_NEAR(d65[0], 2.0, 1e-9);
  EXPECT_NEAR(d65[1], 1.0, 1e-12);
  EXPECT_NEAR(d65[2], 1.5, 1e-9);

  const Vector3 tungsten = MultipliersForWhite(camera, WhiteOfTemperature(3200, 0));
  EXPECT_LT(tungsten[0], d65[0]);
  EXPECT_GT(tungsten[2], d65[2]);
  const Temperature back = TemperatureOfWhite(WhiteOfMultipliers(camera, tungsten));
  EXPECT_NEAR(back.kelvin, 3200, 3);
  EXPECT_NEAR(back.tint, 0, 0.1);

  // Positive tint: the picture comes out greener, so red and blue get less gain.
  const Vector3 greener = MultipliersForWhite(camera, WhiteOfTemperature(5000, 30));
  const Vector3 plain = MultipliersForWhite(camera, WhiteOfTemperature(5000, 0));
  EXPECT_LT(greener[0], plain[0]);
  EXPECT_LT(greener[2], plain[2]);
}

}  // namespace

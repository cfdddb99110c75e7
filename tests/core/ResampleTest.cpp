// The scaler and the transfer table: what a picture must keep when it changes size.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "Resample.h"
#include "TransferCurve.h"

namespace {

struct Picture {
  int width = 0;
  int height = 0;
  std::vector<std::uint16_t> samples;  // R,G,B per pixel, rows top-down

  Picture(int w, int h) : width(w), height(h), samples(static_cast<std::size_t>(w) * h * 3) {}
  std::uint16_t& at(int x, int y, int c) {
    return samples[(static_cast<std::size_t>(y) * width + x) * 3 + c];
  }
  Rgb16Source source() const { return {samples.data(), width, height, 3, 3 * width, {0, 1, 2}}; }
  Rgb16Target target() { return {samples.data(), width, height, 3, 3 * std::ptrdiff_t{width}}; }
};

Picture Resampled(const Picture& in, int width, int height, const TransferTable* curve = nullptr) {
  Picture out(width, height);
  std::fill(out.samples.begin(), out.samples.end(), 0xBEEF);
  ResampleRgb16(in.source(), out.target(), curve);
  return out;
}

struct SizeCase {
  int fromWidth, fromHeight, toWidth, toHeight;
};

void PrintTo(const SizeCase& c, std::ostream* os) {
  *os << c.fromWidth << "x" << c.fromHeight << " to " << c.toWidth << "x" << c.toHeight;
}

class ResampleSizeTest : public ::testing::TestWithParam<SizeCase> {};

INSTANTIATE_TEST_SUITE_P(Shapes, ResampleSizeTest,
                         ::testing::Values(SizeCase{64, 48, 64, 48},   // unchanged
                                           SizeCase{97, 61, 31, 17},   // odd shrink
                                           SizeCase{40, 30, 123, 77},  // odd enlarge
                                           SizeCase{300, 20, 7,
                                                    90},  // shrink one axis, enlarge the other
                                           SizeCase{5, 5, 1, 1},         // down to one pixel
                                           SizeCase{1, 1, 9, 4},         // up from one pixel
                                           SizeCase{1000, 3, 1920, 1}),  // far wider than tall
                         [](const auto& info) {
                           const SizeCase& c = info.param;
                           return std::to_string(c.fromWidth) + "x" + std::to_string(c.fromHeight) +
                                  "_to_" + std::to_string(c.toWidth) + "x" +
                                  std::to_string(c.toHeight);
                         });

// Every target sample is written, a flat picture stays exactly flat, and nothing lands outside
// the target.
TEST_P(ResampleSizeTest, FlatPictureStaysFlatAndFillsTheExactTarget) {
  const SizeCase& c = GetParam();
  Picture in(c.fromWidth, c.fromHeight);
  for (int y = 0; y < in.height; ++y) {
    for (int x = 0; x < in.width; ++x) {
      in.at(x, y, 0) = 12345;
      in.at(x, y, 1) = 0;
      in.at(x, y, 2) = 65535;
    }
  }
  // One guard pixel after the target must survive.
  std::vector<std::uint16_t> buffer(static_cast<std::size_t>(c.toWidth) * c.toHeight * 3 + 3,
                                    0xBEEF);
  ResampleRgb16(in.source(), {buffer.data(), c.toWidth, c.toHeight, 3, 3 * c.toWidth}, nullptr);
  for (std::size_t i = 0; i + 3 < buffer.size(); i += 3) {
    ASSERT_EQ(buffer[i], 12345) << i;
    ASSERT_EQ(buffer[i + 1], 0) << i;
    ASSERT_EQ(buffer[i + 2], 65535) << i;
  }
  EXPECT_EQ(buffer[buffer.size() - 1], 0xBEEF);
}

TEST(ResampleTest, HardEdgeRingsOnlyWithinTheSampleRange) {
  // Black beside full white: the filter's negative lobes undershoot below 0 and overshoot past
  // 65535; both must be clipped, not wrapped around to the other extreme.
  Picture in(64, 4);
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 64; ++x) {
      for (int c = 0; c < 3; ++c) in.at(x, y, c) = x < 32 ? 0 : 65535;
    }
  }
  for (const int width : {16, 40, 64, 150}) {
    SCOPED_TRACE(width);
    const Picture out = Resampled(in, width, 3);
    for (int y = 0; y < 3; ++y) {
      for (int x = 0; x < width; ++x) {
        const std::uint16_t v = out.samples[(static_cast<std::size_t>(y) * width + x) * 3];
        if (x < width / 2) {
          EXPECT_LT(v, 32768) << x;
        } else {
          EXPECT_GE(v, 32768) << x;
        }
      }
      // Both levels survive unchanged away from the edge.
      EXPECT_EQ(out.samples[static_cast<std::size_t>(y) * width * 3], 0);
      EXPECT_EQ(out.samples[(static_cast<std::size_t>(y) * width + width - 1) * 3], 65535);
    }
  }
}

TEST(ResampleTest, ShrinkingAveragesDetailInsteadOfAliasing) {
  // One-pixel stripes shrunk 4:1 become their mean grey, not a stripe pattern of their own.
  Picture in(400, 8);
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 400; ++x) {
      for (int c = 0; c < 3; ++c) in.at(x, y, c) = (x % 2) ? 60000 : 0;
    }
  }
  const Picture out = Resampled(in, 100, 2);
  for (int x = 4; x < 96; ++x) EXPECT_NEAR(out.samples[3 * x], 30000, 300) << x;
}

TEST(ResampleTest, SameSizeIsAnExactCopy) {
  Picture in(13, 7);
  for (std::size_t i = 0; i < in.samples.size(); ++i) {
    in.samples[i] = static_cast<std::uint16_t>(i * 977);
  }
  EXPECT_EQ(Resampled(in, 13, 7).samples, in.samples);
}

TEST(ResampleTest, CurveIsAppliedAfterFiltering) {
  Picture in(8, 8);
  std::fill(in.samples.begin(), in.samples.end(), 1000);
  const Picture out = Resampled(in, 3, 5, &Rec709Table());
  for (std::uint16_t v : out.samples) EXPECT_EQ(v, Rec709Table()[1000]);
}

// Flips and turns are just other steps: a 2x3 source lands where each orientation puts it.
TEST(CopyRgb16Test, StepsPlaceEveryPixel) {
  Picture in(2, 3);
  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < 2; ++x) in.at(x, y, 0) = static_cast<std::uint16_t>(10 * y + x);
  }
  struct Case {
    const char* name;
    int outWidth;
    std::ptrdiff_t start, pixelStep, rowStep;  // in pixels of the output
    std::vector<int> expected;                 // output red samples, rows top-down
  };
  const Case cases[] = {
      {"as is", 2, 0, 1, 2, {0, 1, 10, 11, 20, 21}},
      {"mirrored", 2, 1, -1, 2, {1, 0, 11, 10, 21, 20}},
      {"upside down", 2, 4, 1, -2, {20, 21, 10, 11, 0, 1}},
      {"turned right", 3, 2, 3, -1, {20, 10, 0, 21, 11, 1}},
  };
  for (const Case& c : cases) {
    std::vector<std::uint16_t> out(6 * 3, 0xBEEF);
    CopyRgb16(in.source(), {out.data() + 3 * c.start, 2, 3, 3 * c.pixelStep, 3 * c.rowStep},
              nullptr);
    for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(out[3 * i], c.expected[i]) << c.name << " " << i;
  }
}

// Every flip code stores the picture the way LibRaw's own writer does: output pixel (r, c)
// comes from the source pixel its flip_index names.
TEST(FlippedTargetTest, MatchesLibRawsPlacementForAllEightFlips) {
  constexpr int w = 5, h = 3;
  Picture in(w, h);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) in.at(x, y, 1) = static_cast<std::uint16_t>(100 * y + x);
  }
  for (int flip = 0; flip < 8; ++flip) {
    SCOPED_TRACE(flip);
    std::vector<std::uint16_t> out(w * h * 3, 0xBEEF);
    CopyRgb16(in.source(), FlippedTarget(out.data(), w, h, flip), nullptr);
    const int outWidth = (flip & 4) ? h : w;
    const int outHeight = (flip & 4) ? w : h;
    for (int r = 0; r < outHeight; ++r) {
      for (int c = 0; c < outWidth; ++c) {
        int row = r, col = c;
        if (flip & 4) std::swap(row, col);
        if (flip & 2) row = h - 1 - row;
        if (flip & 1) col = w - 1 - col;
        EXPECT_EQ(out[(r * outWidth + c) * 3 + 1], 100 * row + col) << r << "," << c;
      }
    }
  }
}

TEST(Rec709TableTest, FollowsTheTwoPiecesOfTheCurve) {
  const TransferTable& table = Rec709Table();
  EXPECT_EQ(table[0], 0);
  EXPECT_EQ(table[65535], 65535);
  // Linear toe: V = 4.5 L below L = 0.018.
  EXPECT_EQ(table[1000], std::lround(65535 * 4.5 * (1000 / 65535.0)));
  // Power segment: V = 1.099 L^0.45 - 0.099.
  EXPECT_EQ(table[32768], std::lround(65535 * (1.099 * std::pow(32768 / 65535.0, 0.45) - 0.099)));
  EXPECT_TRUE(std::is_sorted(table.begin(), table.end()));
  // The two pieces meet without a visible step at L = 0.018.
  const int knee = static_cast<int>(0.018 * 65535);
  EXPECT_LE(std::abs(table[knee + 1] - table[knee]), 25);
}

}  // namespace

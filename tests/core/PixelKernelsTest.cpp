// The rows on both sides of the demosaic at every vector width this processor runs: a whole row
// must give the bytes of the same pixels run one at a time (the scalar loop), for rows shorter
// than one step, rows ending inside a step, either photosite first, with and without the
// transfer curve, and for samples below black, past white and codes outside 0..65535.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <ostream>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "LaneWidthTest.h"
#include "TransferCurve.h"
#include "develop/PixelKernels.h"

namespace {

struct RowCase {
  const char* name;
  int count;
  int first;      // LevelRow: index of the row's first photosite
  int pixelStep;  // MatrixRow: 3 packed RGB, 4 with a gap it must leave alone
  bool curve;
};

void PrintTo(const RowCase& c, std::ostream* os) {
  *os << c.name;
}

class PixelRowWidthTest : public tarn::test::LaneWidthTest<RowCase> {};

TEST_P(PixelRowWidthTest, LevelRowGivesTheBytesOfOnePixelAtATime) {
  const auto& [width, c] = GetParam();
  std::mt19937 random(static_cast<unsigned>(c.count));
  std::uniform_int_distribution<int> sample(0, 16383);
  std::vector<std::uint16_t> raw(static_cast<std::size_t>(c.count));
  for (std::size_t i = 0; i < raw.size(); ++i) {
    // Every fifth sample at or just below black, every seventh past white.
    raw[i] = static_cast<std::uint16_t>(i % 5 == 0   ? 2047 + static_cast<int>(i % 2)
                                        : i % 7 == 0 ? 16000
                                                     : sample(random));
  }
  const float black[2] = {2048.0f, 2047.5f};
  const float scale[2] = {4.7f, 3.9f};
  const float clip[2] = {59000.0f, 61234.0f};
  std::vector<float> row(raw.size(), -1.0f), single(raw.size(), -1.0f);
  LevelRow(raw.data(), c.count, c.first, black, scale, clip, row.data(), width);
  for (int x = 0; x < c.count; ++x)
    LevelRow(&raw[static_cast<std::size_t>(x)], 1, c.first + x, black, scale, clip, &single[x],
             DemosaicWidth::kFour);
  EXPECT_EQ(0, std::memcmp(row.data(), single.data(), row.size() * sizeof(float)));
}

TEST_P(PixelRowWidthTest, MatrixRowGivesTheBytesOfOnePixelAtATime) {
  const auto& [width, c] = GetParam();
  const tarn::test::RandomPlanes planes(static_cast<std::size_t>(c.count),
                                        static_cast<unsigned>(c.count * 3 + c.pixelStep));
  const auto& [r, g, b] = planes;
  const auto& m = tarn::test::kCodeMatrix;
  const float lift = tarn::test::kCodeLift;
  const TransferTable* curve = c.curve ? &Rec709Table() : nullptr;
  const std::size_t size = r.size() * static_cast<std::size_t>(c.pixelStep);
  std::vector<std::uint16_t> row(size, 0xbeef), single(size, 0xbeef);
  MatrixRow(r.data(), g.data(), b.data(), m, lift, c.count, row.data(), c.pixelStep, curve, width);
  for (int x = 0; x < c.count; ++x) {
    MatrixRow(&r[x], &g[x], &b[x], m, lift, 1, &single[static_cast<std::size_t>(x * c.pixelStep)],
              c.pixelStep, curve, DemosaicWidth::kFour);
  }
  EXPECT_EQ(row, single);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PixelRowWidthTest,
    ::testing::Combine(tarn::test::EveryLaneWidth(),
                       ::testing::Values(RowCase{"ShorterThanFour", 3, 0, 3, false},
                                         RowCase{"OneEightStepOddFirst", 8, 1, 3, true},
                                         RowCase{"EndsInsideSixteenStep", 23, 0, 3, true},
                                         RowCase{"OneSixteenStepGapped", 16, 1, 4, false},
                                         RowCase{"LongOddTail", 251, 1, 3, false},
                                         RowCase{"LongOddTailCurve", 251, 0, 4, true},
                                         RowCase{"TileRow", 1000, 0, 3, true})),
    tarn::test::LaneWidthCaseName());

}  // namespace

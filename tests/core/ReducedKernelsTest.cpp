// The reduced develop's loops at every vector width this processor runs: each must give the
// bytes of the plain per-value computation it stands for (the codes MatrixRow writes, the sums of
// ResampleRgb16 in their order, Quantise), for blocks with fewer rows than lanes, rows ending
// inside a step, taps reaching the block's first and last columns, mirrored and gapped targets,
// and sums outside 0..65535.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "LaneWidthTest.h"
#include "Resample.h"
#include "TransferCurve.h"
#include "develop/PixelKernels.h"
#include "develop/ReducedKernels.h"

namespace {

struct KernelCase {
  const char* name;
  int rows;       // rows of the block (capped at its lanes)
  int count;      // source columns (matrix), target pixels (scaling)
  int pixelStep;  // ScaleDownRow: 3 packed, -3 mirrored, 4 with a gap it must leave alone
  bool curve;
};

void PrintTo(const KernelCase& c, std::ostream* os) {
  *os << c.name;
}

class ReducedKernelWidthTest : public tarn::test::LaneWidthTest<KernelCase> {};

TEST_P(ReducedKernelWidthTest, MatrixBlockHoldsTheCodesOfMatrixRow) {
  const auto& [width, c] = GetParam();
  const int lanes = RowLanes(width);
  const int rows = std::min(c.rows, lanes);
  const int stride = c.count + 7;  // planes wider than the columns read, as a tile's are
  const tarn::test::RandomPlanes planes(static_cast<std::size_t>(rows * stride),
                                        static_cast<unsigned>(c.count * 5 + rows));
  const auto& [r, g, b] = planes;
  const auto& m = tarn::test::kCodeMatrix;
  const float lift = tarn::test::kCodeLift;
  std::vector<float> block(static_cast<std::size_t>(c.count) * 3 * lanes, -1.0f);
  MatrixBlockToLanes(r.data(), g.data(), b.data(), stride, rows, m, lift, c.count, block.data(),
                     width);
  std::vector<std::uint16_t> codes(static_cast<std::size_t>(c.count) * 3);
  for (int l = 0; l < rows; ++l) {
    const std::size_t at = static_cast<std::size_t>(l * stride);
    MatrixRow(&r[at], &g[at], &b[at], m, lift, c.count, codes.data(), 3, nullptr,
              DemosaicWidth::kFour);
    for (int i = 0; i < 3 * c.count; ++i) {
      ASSERT_EQ(block[static_cast<std::size_t>(i * lanes + l)],
                static_cast<float>(codes[static_cast<std::size_t>(i)]))
          << "row " << l << " value " << i;
    }
  }
}

// A Lanczos filter of 3:1 with a source of 3 * count + 2 columns (its last target's taps cut
// short at the edge), applied from block column `column0` on.
TEST_P(ReducedKernelWidthTest, ScaleAcrossSumsEachRowsTapsInOrder) {
  const auto& [width, c] = GetParam();
  const int lanes = RowLanes(width);
  const int rows = std::min(c.rows, lanes);
  const int sourceWidth = 3 * c.count + 2;
  const AxisFilter filter = MakeAxisFilter(sourceWidth, c.count);
  const FilterTaps taps{filter.first.data(), filter.count.data(), filter.weights.data(),
                        filter.stride};
  std::mt19937 random(static_cast<unsigned>(c.count + rows));
  std::uniform_int_distribution<int> code(0, 65535);
  std::vector<std::vector<float>> source(static_cast<std::size_t>(rows),
                                         std::vector<float>(std::size_t{3} * sourceWidth));
  std::vector<float> block(std::size_t{3} * sourceWidth * lanes, 0.0f);
  for (int l = 0; l < rows; ++l) {
    for (int i = 0; i < 3 * sourceWidth; ++i) {
      const auto v = static_cast<float>(code(random));
      source[static_cast<std::size_t>(l)][static_cast<std::size_t>(i)] = v;
      block[static_cast<std::size_t>(i * lanes + l)] = v;
    }
  }
  // The block as kept once the first target's taps are past: it starts at that column.
  const int column0 = filter.first[1];
  const int xBegin = 1;
  std::vector<std::vector<float>> got(static_cast<std::size_t>(rows),
                                      std::vector<float>(std::size_t{3} * c.count, -1.0f));
  std::vector<float*> out;
  for (auto& row : got) out.push_back(row.data());
  ScaleAcrossLanes(block.data() + std::size_t{3} * column0 * lanes, column0, taps, xBegin, c.count,
                   rows, out.data(), width);
  for (int l = 0; l < rows; ++l) {
    for (int x = xBegin; x < c.count; ++x) {
      for (int ch = 0; ch < 3; ++ch) {
        float sum = 0.0f;
        for (int k = 0; k < filter.count[static_cast<std::size_t>(x)]; ++k) {
          const float v = source[static_cast<std::size_t>(l)][static_cast<std::size_t>(
              (filter.first[static_cast<std::size_t>(x)] + k) * 3 + ch)];
          sum = sum + filter.weightsOf(x)[k] * v;
        }
        ASSERT_EQ(got[static_cast<std::size_t>(l)][static_cast<std::size_t>(3 * x + ch)], sum)
            << "row " << l << " pixel " << x << " channel " << ch;
      }
    }
    EXPECT_EQ(got[static_cast<std::size_t>(l)][0], -1.0f) << "a pixel before xBegin was written";
  }
}

TEST_P(ReducedKernelWidthTest, ScaleDownRowQuantisesTheSumsOfItsRows) {
  const auto& [width, c] = GetParam();
  const int taps = c.rows + 2;
  std::mt19937 random(static_cast<unsigned>(c.count * 7 + taps));
  // Negative weights and values past white: sums below 0 and above 65535 both occur.
  std::uniform_real_distribution<float> value(-2000.0f, 70000.0f);
  std::uniform_real_distribution<float> weight(-0.2f, 0.6f);
  std::vector<std::vector<float>> rows(static_cast<std::size_t>(taps),
                                       std::vector<float>(std::size_t{3} * c.count));
  for (auto& row : rows) {
    for (float& v : row) v = value(random);
  }
  std::vector<float> weights(static_cast<std::size_t>(taps));
  for (float& w : weights) w = weight(random);
  std::vector<const float*> rowPointers;
  for (const auto& row : rows) rowPointers.push_back(row.data());
  const TransferTable* curve = c.curve ? &Rec709Table() : nullptr;

  const int step = c.pixelStep < 0 ? -c.pixelStep : c.pixelStep;
  std::vector<std::uint16_t> got(static_cast<std::size_t>(step) * c.count, 0xbeef);
  std::vector<std::uint16_t> expected(got);
  std::uint16_t* origin = c.pixelStep < 0 ? got.data() + (c.count - 1) * step : got.data();
  ScaleDownRow(rowPointers.data(), weights.data(), taps, c.count, origin, c.pixelStep, curve,
               width);
  std::uint16_t* want = c.pixelStep < 0 ? expected.data() + (c.count - 1) * step : expected.data();
  for (int i = 0; i < 3 * c.count; ++i) {
    float sum = 0.0f;
    for (int k = 0; k < taps; ++k)
      sum = sum + weights[static_cast<std::size_t>(k)] *
                      rows[static_cast<std::size_t>(k)][static_cast<std::size_t>(i)];
    want[(i / 3) * c.pixelStep + i % 3] = Quantise(sum, curve);
  }
  EXPECT_EQ(got, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Kernels, ReducedKernelWidthTest,
    ::testing::Combine(tarn::test::EveryLaneWidth(),
                       ::testing::Values(KernelCase{"OneRowShorterThanFour", 1, 3, 3, false},
                                         KernelCase{"ThreeRowsOneEightStep", 3, 8, -3, true},
                                         KernelCase{"FullBlockEndsInsideStep", 16, 23, 4, true},
                                         KernelCase{"NineRowsLongTail", 9, 251, 3, false},
                                         KernelCase{"FullBlockTileRow", 16, 236, -3, true})),
    tarn::test::LaneWidthCaseName());

}  // namespace

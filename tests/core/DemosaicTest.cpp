// The demosaic's kernels for each vector width: the eight- and sixteen-lane ones, picked on
// processors with AVX2 or AVX-512, must give the bytes of the four-lane one every x86-64 runs,
// for every colour pattern, for tiles whose rows end inside a vector step, and where estimates
// clip.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <ostream>
#include <random>
#include <string>

#include "develop/Demosaic.h"

namespace {

enum class Scene { kNoise, kSoftWaves, kHardEdges, kClippedAndBlack, kColumnStripes };

struct WidthCase {
  const char* name;
  int width, height;
  Scene scene;
};

void PrintTo(const WidthCase& c, std::ostream* os) {
  *os << c.name;
}

// Fills the mosaic of scratch with a scene; values above 1 are highlights past white.
void FillMosaic(DemosaicScratch& s, int width, int height, Scene scene) {
  std::mt19937 random(static_cast<unsigned>(width * 1000 + height));
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      float v = 0.0f;
      switch (scene) {
        case Scene::kNoise:
          v = unit(random);
          break;
        case Scene::kSoftWaves:
          v = 0.3f + 0.2f * std::sin(0.3f * x + 0.17f * y) + 0.01f * unit(random);
          break;
        case Scene::kHardEdges:
          v = ((x / 7 + y / 5) & 1) ? 0.9f : 0.05f;
          break;
        case Scene::kClippedAndBlack: {
          const float pick = unit(random);
          v = pick < 0.1f ? 1.4f * unit(random) : pick < 0.2f ? 0.0f : 0.5f * unit(random);
          break;
        }
        case Scene::kColumnStripes:
          v = (x & 1) ? 0.0f : 1.0f;
          break;
      }
      s.mosaic[static_cast<std::size_t>(y) * width + x] = v;
    }
  }
}

class DemosaicWidthTest : public ::testing::TestWithParam<WidthCase> {};

TEST_P(DemosaicWidthTest, WiderKernelsGiveTheBytesOfFour) {
  const WidthCase& c = GetParam();
  const std::array<std::array<int, 4>, 4> patterns = {
      {{0, 1, 1, 2}, {1, 0, 2, 1}, {1, 2, 0, 1}, {2, 1, 1, 0}}};
  int widthsRun = 0;
  for (const DemosaicWidth width : {DemosaicWidth::kEight, DemosaicWidth::kSixteen}) {
    if (!DemosaicWidthAvailable(width)) continue;
    ++widthsRun;
    for (const std::array<int, 4>& colour : patterns) {
      DemosaicScratch four, wide;
      four.Reserve(c.width, c.height);
      wide.Reserve(c.width, c.height);
      FillMosaic(four, c.width, c.height, c.scene);
      wide.mosaic = four.mosaic;
      DemosaicTile(four, c.width, c.height, colour, DemosaicWidth::kFour);
      DemosaicTile(wide, c.width, c.height, colour, width);
      int differing = 0;
      for (int plane = 0; plane < 3; ++plane) {
        for (int y = kDemosaicBorder; y < c.height - kDemosaicBorder; ++y) {
          for (int x = kDemosaicBorder; x < c.width - kDemosaicBorder; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * c.width + x;
            if (std::memcmp(&four.rgb[plane][i], &wide.rgb[plane][i], sizeof(float)) != 0) {
              ++differing;
            }
          }
        }
      }
      EXPECT_EQ(differing, 0) << (width == DemosaicWidth::kEight ? "eight" : "sixteen")
                              << " lanes, pattern " << colour[0] << colour[1] << colour[2]
                              << colour[3];
    }
  }
  if (widthsRun == 0) GTEST_SKIP() << "this processor has neither AVX2 nor AVX-512";
}

INSTANTIATE_TEST_SUITE_P(
    Tiles, DemosaicWidthTest,
    ::testing::Values(WidthCase{"FullTileNoise", 256, 256, Scene::kNoise},
                      WidthCase{"FullTileWaves", 256, 256, Scene::kSoftWaves},
                      WidthCase{"SmallestTile", 22, 22, Scene::kNoise},
                      WidthCase{"RowsShorterThanTwoSteps", 30, 24, Scene::kHardEdges},
                      WidthCase{"RowsEndingMidStep", 100, 62, Scene::kClippedAndBlack},
                      WidthCase{"TallNarrow", 38, 256, Scene::kColumnStripes},
                      WidthCase{"WideFlat", 256, 40, Scene::kClippedAndBlack}),
    [](const ::testing::TestParamInfo<WidthCase>& info) { return std::string(info.param.name); });

}  // namespace

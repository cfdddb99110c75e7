// Kernel tests run at every vector width: each case once per width, named after both, and
// skipped where this processor lacks the width's instructions; and the inputs the colour-matrix
// kernels' tests share.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "develop/Demosaic.h"

namespace tarn::test {

inline const char* LaneWidthName(DemosaicWidth width) {
  switch (width) {
    case DemosaicWidth::kFour:
      return "Four";
    case DemosaicWidth::kEight:
      return "Eight";
    case DemosaicWidth::kSixteen:
      return "Sixteen";
  }
  return "?";
}

template <typename Case>
class LaneWidthTest : public ::testing::TestWithParam<std::tuple<DemosaicWidth, Case>> {
 protected:
  void SetUp() override {
    const DemosaicWidth width = std::get<0>(this->GetParam());
    if (!DemosaicWidthAvailable(width)) {
      GTEST_SKIP() << LaneWidthName(width) << " lanes need AVX2 / AVX-512";
    }
  }
};

inline auto EveryLaneWidth() {
  return ::testing::Values(DemosaicWidth::kFour, DemosaicWidth::kEight, DemosaicWidth::kSixteen);
}

// The width, then the case's name.
struct LaneWidthCaseName {
  template <typename Case>
  std::string operator()(
      const ::testing::TestParamInfo<std::tuple<DemosaicWidth, Case>>& info) const {
    return std::string(LaneWidthName(std::get<0>(info.param))) + std::get<1>(info.param).name;
  }
};

// Inputs of the colour-matrix kernels: a camera-to-output matrix scaled to codes, with the
// negative terms that push codes below 0, and red, green and blue planes of values past 1 and
// below 0 (highlights and noise around black), so that the clamp is taken at both ends.
inline constexpr float kCodeMatrix[3][3] = {{1.83f * 65535, -0.71f * 65535, -0.12f * 65535},
                                            {-0.21f * 65535, 1.52f * 65535, -0.31f * 65535},
                                            {0.02f * 65535, -0.55f * 65535, 1.53f * 65535}};
inline constexpr float kCodeLift = 1.0f / 64;

struct RandomPlanes {
  RandomPlanes(std::size_t size, unsigned seed) : r(size), g(size), b(size) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> value(-0.05f, 1.3f);
    for (std::size_t i = 0; i < size; ++i) {
      r[i] = value(random);
      g[i] = value(random);
      b[i] = value(random);
    }
  }
  std::vector<float> r, g, b;
};

}  // namespace tarn::test

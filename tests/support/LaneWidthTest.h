// Kernel tests run at every vector width: each case once per width, named after both, and
// skipped where this processor lacks the width's instructions.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <tuple>

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

}  // namespace tarn::test

// Colour-space names as the command line and the window accept them.
#include <gtest/gtest.h>

#include "ColourOptions.h"

namespace {

struct NameCase {
  const char* name;
  std::optional<std::uint8_t> colorSpace;
};

class ColorSpaceNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(ColorSpaceNameTest, ResolvesShortInteropAndCaptionNamesInAnyCase) {
  EXPECT_EQ(ColorSpaceFromName(GetParam().name), GetParam().colorSpace) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Names, ColorSpaceNameTest,
    ::testing::Values(
        NameCase{"srgb", kColorSpaceRec709}, NameCase{"Rec709", kColorSpaceRec709},
        NameCase{"camera_rec709", kColorSpaceRec709}, NameCase{"sRGB/Rec.709", kColorSpaceRec709},
        NameCase{"LINEAR", kColorSpaceLinear}, NameCase{"lin_rec709_scene", kColorSpaceLinear},
        NameCase{"ACEScg", kColorSpaceAcesCg}, NameCase{"lin_ap1_scene", kColorSpaceAcesCg},
        NameCase{"aces2065-1", kColorSpaceAces2065}, NameCase{"lin_ap0_scene", kColorSpaceAces2065},
        NameCase{"lin_rec2020_scene", kColorSpaceLinRec2020},
        NameCase{"acescct_ap1", kColorSpaceAcesCct}, NameCase{"ACEScct", kColorSpaceAcesCct},
        NameCase{"", std::nullopt}, NameCase{"rec2020x", std::nullopt},
        NameCase{"lin_ap1", std::nullopt}));

TEST(ColorSpaceNamesTest, EverySpaceHasDistinctNamesAndOutOfRangeReadsAsTheFirst) {
  for (std::uint8_t id = 0; id < kColorSpaceCount; ++id) {
    const TColorSpaceNames& names = ColorSpaceNames(id);
    for (const char* name : {names.caption, names.interop, names.shortName})
      EXPECT_EQ(ColorSpaceFromName(name), id) << name;
  }
  EXPECT_STREQ(ColorSpaceNames(kColorSpaceCount).caption, "sRGB/Rec.709");
  EXPECT_FALSE(IsLinearColorSpace(kColorSpaceRec709));
  EXPECT_FALSE(IsLinearColorSpace(kColorSpaceAcesCct));
  EXPECT_TRUE(IsLinearColorSpace(kColorSpaceAces2065));
}

}  // namespace

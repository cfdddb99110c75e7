#include "ColourOptions.h"

#include <algorithm>
#include <cctype>

namespace {

constexpr TColorSpaceNames kNames[kColorSpaceCount] = {
    {"sRGB/Rec.709", "camera_rec709", "rec709"},
    {"Linear RGB", "lin_rec709_scene", "linear"},
    {"ACEScg", "lin_ap1_scene", "acescg"},
    {"ACES2065-1", "lin_ap0_scene", "aces"},
    {"Linear Rec.2020", "lin_rec2020_scene", "rec2020"},
    {"ACEScct", "acescct_ap1", "acescct"},
};

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

const TColorSpaceNames& ColorSpaceNames(std::uint8_t colorSpace) {
  return kNames[colorSpace < kColorSpaceCount ? colorSpace : kColorSpaceRec709];
}

std::optional<std::uint8_t> ColorSpaceFromName(std::string_view name) {
  // "srgb" has always meant the first rendering on the command line.
  if (SameIgnoringCase(name, "srgb")) return kColorSpaceRec709;
  for (std::uint8_t id = 0; id < kColorSpaceCount; ++id) {
    const TColorSpaceNames& names = kNames[id];
    if (SameIgnoringCase(name, names.caption) || SameIgnoringCase(name, names.interop) ||
        SameIgnoringCase(name, names.shortName)) {
      return id;
    }
  }
  return std::nullopt;
}

bool IsLinearColorSpace(std::uint8_t colorSpace) {
  return colorSpace != kColorSpaceRec709 && colorSpace != kColorSpaceAcesCct &&
         colorSpace < kColorSpaceCount;
}

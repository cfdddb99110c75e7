// The colour choices of a conversion: output colour space, white balance, exposure and
// highlight handling. Shared by the window, the command line and the develop step.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Output colour spaces, in the order the window lists them. The first two are the renderings
// every earlier version wrote; their pixels and header bytes never change.
constexpr std::uint8_t kColorSpaceRec709 = 0;      // Rec.709 primaries, BT.709 camera curve
constexpr std::uint8_t kColorSpaceLinear = 1;      // linear Rec.709
constexpr std::uint8_t kColorSpaceAcesCg = 2;      // linear AP1
constexpr std::uint8_t kColorSpaceAces2065 = 3;    // linear AP0
constexpr std::uint8_t kColorSpaceLinRec2020 = 4;  // linear Rec.2020
constexpr std::uint8_t kColorSpaceAcesCct = 5;     // ACEScct log encoding on AP1
constexpr std::uint8_t kColorSpaceCount = 6;

struct TColorSpaceNames {
  const char* caption;    // as the window lists it
  const char* interop;    // the Color Interop Forum / OpenColorIO name
  const char* shortName;  // the command line's own short name
};
// Any id out of range reads as kColorSpaceRec709.
const TColorSpaceNames& ColorSpaceNames(std::uint8_t colorSpace);
// Case-insensitive: the short names, the interop names and the captions.
std::optional<std::uint8_t> ColorSpaceFromName(std::string_view name);
// True for spaces that hold scene-linear light (everything but the two curves).
bool IsLinearColorSpace(std::uint8_t colorSpace);

// White balance.
constexpr std::uint8_t kWhiteBalanceAsShot = 0;       // the camera's setting for the frame
constexpr std::uint8_t kWhiteBalanceDaylight = 1;     // the camera's daylight balance
constexpr std::uint8_t kWhiteBalanceMultipliers = 2;  // fixed multipliers (a reference frame's)
constexpr std::uint8_t kWhiteBalanceTemperature = 3;  // colour temperature and tint

// Exposure offsets beyond this many stops (either way) are refused.
constexpr double kMaxExposureStops = 8;

// Highlights.
constexpr std::uint8_t kHighlightsClip = 0;         // all channels clipped to the sensor's white
constexpr std::uint8_t kHighlightsReconstruct = 1;  // detail from the unclipped channels

// White balance of one RAW file as the camera recorded it.
struct TWhiteBalance {
  std::array<double, 3> multipliers{1, 1, 1};  // red, green, blue; green is 1
};

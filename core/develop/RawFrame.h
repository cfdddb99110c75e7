// One Bayer frame as the develop path sees it: the mosaic as decoded (black still in it) and
// the metadata that turns it into scene-referred RGB. Nothing here knows where the numbers
// came from.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

struct RawFrame {
  // The whole sensor readout, masked borders included: sample (x, y) is mosaic[y * pitch + x].
  const std::uint16_t* mosaic = nullptr;
  int rawWidth = 0;
  int rawHeight = 0;
  std::ptrdiff_t pitch = 0;  // in samples

  // The picture proper inside the readout.
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;

  // Colour slot (0 red, 1 green, 2 blue, 3 the second green) of each photosite of the 2 x 2
  // cell at the picture's top-left corner: cfa[(y & 1) * 2 + (x & 1)].
  std::array<int, 4> cfa{0, 1, 3, 2};

  // Per colour slot: black level and white-balance multiplier, both as recorded; the white
  // level is one value, in raw units, black included.
  std::array<double, 4> black{};
  std::array<double, 4> multiplier{1, 1, 1, 1};
  double white = 65535;

  // Camera RGB (white-balanced, see ScaleFactors) to the output primaries; rows are output
  // channels.
  std::array<std::array<float, 3>, 3> cameraToOutput{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};

  // Exposure as a gain on linear light (2^stops), applied before the highlight clip.
  double exposure = 1;
  // false: every channel clips where the first one saturates, so clipped areas stay neutral.
  // true: each channel keeps its own range, and pixels where one saturates are rebuilt neutral
  // from the largest channel (detail from the unclipped ones, no magenta).
  bool reconstructHighlights = false;

  // Orientation in the dcraw convention: bit 4 transposes, bit 2 turns upside down, bit 1
  // mirrors.
  int flip = 0;

  // Size of the developed picture after the flip.
  int outputWidth() const { return (flip & 4) ? height : width; }
  int outputHeight() const { return (flip & 4) ? width : height; }
};

// Black level and scale factor of every photosite of the 2 x 2 cell: value = min(65535,
// trunc((raw - black) * scale)), and 0 at or below black. The multipliers are normalised to the
// smallest one, so the channel with the weakest response reaches 65535 exactly at the white
// level and the others clip there too (highlights come out neutral, never tinted); the range
// is measured from the lowest channel black.
// With an exposure gain the scale factors include it, and the clip is where the weakest
// channel now saturates (never above 65535). With reconstructHighlights each photosite clips at
// its own saturation, and all values are divided by gain so that the largest fits 65535; the
// develop multiplies gain back after the demosaic. saturation is each colour's clip in the
// loaded units (0..1).
struct CellLevels {
  std::array<float, 4> black{};
  std::array<float, 4> scale{};
  std::array<int, 4> colour{};  // 0 red, 1 green, 2 blue
  std::array<float, 4> clip{65535, 65535, 65535, 65535};
  float gain = 1;
  std::array<float, 3> saturation{1, 1, 1};
};
CellLevels ScaleFactors(const RawFrame& frame);

// Throws Exception when the record cannot describe a picture (empty, outside the readout,
// a colour slot out of range, a white level at or below black).
void CheckFrame(const RawFrame& frame);

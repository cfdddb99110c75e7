#include "RawFrame.h"

#include <algorithm>
#include <string>

#include "Exception.h"

void CheckFrame(const RawFrame& frame) {
  const auto fail = [](const std::string& what) { throw Exception("Bayer frame: " + what); };
  if (frame.mosaic == nullptr) fail("no mosaic");
  if (frame.width < 2 || frame.height < 2) fail("picture smaller than one 2 x 2 cell");
  if (frame.left < 0 || frame.top < 0 || frame.pitch < frame.rawWidth ||
      std::int64_t{frame.left} + frame.width > frame.rawWidth ||
      std::int64_t{frame.top} + frame.height > frame.rawHeight) {
    fail("picture area outside the sensor readout");
  }
  bool seen[3] = {};
  for (const int slot : frame.cfa) {
    if (slot < 0 || slot > 3) fail("colour slot out of range");
    seen[slot == 3 ? 1 : slot] = true;
  }
  if (!seen[0] || !seen[1] || !seen[2]) fail("the 2 x 2 cell lacks a colour");
  const double lowestBlack = *std::min_element(frame.black.begin(), frame.black.end());
  if (!(frame.white > lowestBlack)) fail("white level at or below black");
}

namespace {

void AdjustForExposureAndHighlights(const RawFrame& frame, CellLevels& levels) {
  const double exposure = frame.exposure > 0 ? frame.exposure : 1;
  // Each photosite's value at the white level, exposure included.
  std::array<double, 4> saturated{};
  double largest = 0;
  for (std::size_t p = 0; p < 4; ++p) {
    saturated[p] = (frame.white - levels.black[p]) * levels.scale[p] * exposure;
    largest = std::max(largest, saturated[p]);
  }
  if (!frame.reconstructHighlights) {
    const auto clip = static_cast<float>(65535.0 * std::min(1.0, exposure));
    for (std::size_t p = 0; p < 4; ++p) {
      levels.scale[p] = static_cast<float>(levels.scale[p] * exposure);
      levels.clip[p] = clip;
    }
    return;
  }
  const double gain = std::max(1.0, largest / 65535.0);
  levels.gain = static_cast<float>(gain);
  levels.saturation = {2, 2, 2};
  for (std::size_t p = 0; p < 4; ++p) {
    levels.scale[p] = static_cast<float>(levels.scale[p] * exposure / gain);
    levels.clip[p] = static_cast<float>(std::min(65535.0, saturated[p] / gain));
    float& colourSaturation = levels.saturation[static_cast<std::size_t>(levels.colour[p])];
    colourSaturation = std::min(colourSaturation, levels.clip[p] / 65535.0f);
  }
}

}  // namespace

CellLevels ScaleFactors(const RawFrame& frame) {
  // Multipliers given as 0 mean "as green" (second green) or "1" (green); the same defaults
  // the camera-independent rendering has always used.
  std::array<double, 4> mul = frame.multiplier;
  if (mul[1] == 0) mul[1] = 1;
  if (mul[3] == 0) mul[3] = mul[1];
  const double smallest = *std::min_element(mul.begin(), mul.end());
  const double lowestBlack = *std::min_element(frame.black.begin(), frame.black.end());
  const double range = frame.white - lowestBlack;

  std::array<float, 4> slotScale{1, 1, 1, 1};
  if (smallest > 0.00001 && range > 0) {
    for (int c = 0; c < 4; ++c) {
      // Rounded to float in two steps, as the reference rendering does, so that values sitting
      // exactly on a boundary truncate the same way.
      const float normalised = static_cast<float>(mul[c] / smallest);
      slotScale[static_cast<std::size_t>(c)] = static_cast<float>(normalised * 65535.0 / range);
    }
  }
  CellLevels levels;
  for (std::size_t p = 0; p < 4; ++p) {
    const auto slot = static_cast<std::size_t>(frame.cfa[p]);
    levels.black[p] = static_cast<float>(frame.black[slot]);
    levels.scale[p] = slotScale[slot];
    levels.colour[p] = slot == 3 ? 1 : static_cast<int>(slot);
  }
  if (frame.exposure != 1 || frame.reconstructHighlights)
    AdjustForExposureAndHighlights(frame, levels);
  return levels;
}

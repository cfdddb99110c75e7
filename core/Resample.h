// Copying and scaling of 16-bit RGB pictures addressed through steps, so that a flipped or
// transposed target, or a source with four samples per pixel, needs no extra copy.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "TransferCurve.h"

// Sample c of pixel (x, y) is origin[y * rowStep + x * pixelStep + channel[c]].
struct Rgb16Source {
  const std::uint16_t* origin = nullptr;
  int width = 0;
  int height = 0;
  std::ptrdiff_t pixelStep = 3;
  std::ptrdiff_t rowStep = 0;
  std::array<int, 3> channel{0, 1, 2};
};

// Sample c of pixel (x, y) is origin[y * rowStep + x * pixelStep + c]. Steps may be negative.
struct Rgb16Target {
  std::uint16_t* origin = nullptr;
  int width = 0;
  int height = 0;
  std::ptrdiff_t pixelStep = 3;
  std::ptrdiff_t rowStep = 0;
};

// Copies a source to a target of the same size, mapping every sample through curve when one is
// given.
void CopyRgb16(const Rgb16Source& source, const Rgb16Target& target, const TransferTable* curve);

// Scales the whole source to exactly the target's size, each axis on its own (the aspect ratio
// is not kept, nothing is cropped). Lanczos-3, widened by the reduction factor when shrinking so
// that detail finer than the target's pixels is filtered out instead of aliasing. The filter
// works on the values as given, so callers pass linear light; results are clamped to 0..65535
// and rounded before curve (when given) is applied.
void ResampleRgb16(const Rgb16Source& source, const Rgb16Target& target,
                   const TransferTable* curve);

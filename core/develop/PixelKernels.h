// The per-sample loops on both sides of the demosaic, four, eight or sixteen samples at a time
// (the widths of the demosaic kernel): each lane gets the scalar rendering's operations in its
// order, so results are equal bit for bit at every width.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "Demosaic.h"
#include "TransferCurve.h"

// out[x] for raw[x], x in [0, count): v = raw - black, 0 when v <= 0, else
// min(clip, trunc(v * scale)) / 65535, with black, scale and clip taken from index
// (first + x) & 1 (the two photosites a mosaic row repeats).
void LevelRow(const std::uint16_t* raw, int count, int first, const float black[2],
              const float scale[2], const float clip[2], float* out,
              DemosaicWidth lanes = WidestDemosaic());

// For x in [0, count): code c = trunc(clamp(m[c] . (r, g, b)[x] + lift, 0, 65535)), written as
// curve[code] (or code without a curve) to out[x * pixelStep + c].
// lanes must be available (DemosaicWidthAvailable).
void MatrixRow(const float* r, const float* g, const float* b, const float (&m)[3][3], float lift,
               int count, std::uint16_t* out, std::ptrdiff_t pixelStep, const TransferTable* curve,
               DemosaicWidth lanes = WidestDemosaic());

// The cheap per-pixel steps on both sides of the demosaic, each fused into one pass over a
// tile: black, white balance and normalisation on the way in; colour matrix, highlight clip,
// transfer curve and packing into 16-bit RGB on the way out.
#pragma once

#include <array>

#include "RawFrame.h"
#include "Resample.h"
#include "TransferCurve.h"

// Fills out (width x height, row by row) with the samples of the frame's picture area starting
// at (x0, y0), which must be even. Positions outside the picture are mirrored about its edge
// pixels, keeping each position's colour. Values: min(clip, trunc((raw - black) * scale)),
// 0 at or below black, divided by 65535.
void LoadMosaicTile(const RawFrame& frame, const CellLevels& levels, int x0, int y0, int width,
                    int height, float* out);

// Writes rows [y0, y0 + rows) x columns [x0, x0 + columns) of the picture to target, whose
// pixel (x, y) is the picture's (x, y). Sample (x, y) of the tile planes is picture pixel
// (x + tileX, y + tileY); planes hold white-balanced camera RGB normalised to 0..1. Each output
// value is 65535 * matrix row . rgb, truncated and clipped to 0..65535, then mapped through curve
// when one is given.
struct TilePlanes {
  const float* red;
  const float* green;
  const float* blue;
  int stride;
  int tileX;
  int tileY;
};
// With rebuild (highlight reconstruction), pixels near a channel's saturation are blended
// towards neutral at the level of their largest channel, and the values are multiplied by its
// gain before the matrix.
struct HighlightRebuild {
  float gain = 1;
  std::array<float, 3> saturation{1, 1, 1};  // each colour's clip in the plane's units
};
void WriteRgbTile(const TilePlanes& planes, const std::array<std::array<float, 3>, 3>& matrix,
                  int x0, int y0, int columns, int rows, const Rgb16Target& target,
                  const TransferTable* curve, const HighlightRebuild* rebuild = nullptr);

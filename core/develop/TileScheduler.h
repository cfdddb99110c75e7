// Runs the develop path over a frame in tiles small enough to stay in a core's cache, tiles
// taken in turn by a fixed number of threads. Every output pixel is computed from its tile's
// input alone, so the picture is the same whatever the thread count and the order.
#pragma once

#include <cstdint>
#include <functional>

#include "RawFrame.h"
#include "Resample.h"
#include "TransferCurve.h"

// Milliseconds spent in each stage of one frame (for TARN_PROFILE).
struct DevelopTimes {
  double tiles = 0;     // load, demosaic, colour, curve, packing (and the scaling of a
                        // reduced output, which is fused with them)
  double resample = 0;  // scaling of an enlarged output
};

// Side of the square tile (its overlap included) the scheduler uses: larger tiles spend less on
// the overlap, smaller ones keep their planes nearer the core; 256 measured fastest here.
constexpr int kTileSide = 256;

// Told, from the developing threads and one call at a time, that rows [0, rows) of the picture
// are final; rows only grow from call to call.
using RowsDone = std::function<void(int rows)>;

// Develops the frame's picture into target, which is addressed in the picture's own
// orientation (frame.width x frame.height; a flipped target turns it while writing). Tiles are
// taken row of tiles by row of tiles, so the picture is final from the top down as they finish;
// rowsDone (when set) hears of each step.
void DevelopTiles(const RawFrame& frame, const Rgb16Target& target, const TransferTable* curve,
                  int threads, int tileSide = kTileSide, const RowsDone& rowsDone = {});

// Develops the frame into out, packed RGB of width x height after the frame's flip. The full
// size is developed straight into out; a smaller output is developed in strips and scaled as
// they come (DevelopReduced); an enlarged one is developed at full size in linear light into a
// buffer handed from frame to frame, then scaled (Lanczos-3). Scaled outputs get
// the curve after scaling. curve == nullptr leaves the values linear. rowsDone (when set)
// hears which rows of out, from the top, are final while an unturned full-size picture
// develops; it is not called otherwise.
void DevelopBayer(const RawFrame& frame, std::uint16_t* out, int width, int height,
                  const TransferTable* curve, int threads, DevelopTimes* times = nullptr,
                  const RowsDone& rowsDone = {});

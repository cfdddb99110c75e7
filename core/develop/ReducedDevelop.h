// Develops a Bayer frame straight to a reduced size: each thread takes a band of output rows and
// develops the picture rows it needs in strips through the full path's tiles, scaling every row
// across as it comes and every output row down as soon as its rows are there. No picture of the
// full size is ever held (nor touched for the first time), and the output is the full develop
// scaled in linear light, byte for byte.
#pragma once

#include "RawFrame.h"
#include "Resample.h"
#include "TransferCurve.h"

// True when the reduced develop is meant for a picture of width x height (the frame's own
// orientation): smaller than the frame's in one axis at least and larger in neither.
bool ReducedDevelopFits(const RawFrame& frame, int width, int height);

// Develops the frame's picture into target (addressed in the picture's orientation, of any size;
// a flipped target turns it while writing): the bytes DevelopTiles into a linear buffer and then
// ResampleRgb16 with curve (when given) would give. Target rows are shared among `threads` threads
// in contiguous bands; every output row is computed from the same inputs in the same order whatever
// the banding, so the output does not depend on the thread count.
void DevelopReduced(const RawFrame& frame, const Rgb16Target& target, const TransferTable* curve,
                    int threads);

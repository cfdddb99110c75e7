// Develops a Bayer frame straight to a reduced size: a light demosaic at full resolution
// streamed a few rows at a time into the Lanczos-3 scaling of the full path, so that no picture
// of the full size is ever held. The demosaic errs only at fine detail, which the scaling
// removes; what is left matches the full develop scaled down.
#pragma once

#include "RawFrame.h"
#include "Resample.h"
#include "TransferCurve.h"

// True when the reduced develop is meant for a picture of width x height (the frame's own
// orientation): at most half of it in both axes.
bool ReducedDevelopFits(const RawFrame& frame, int width, int height);

// Develops the frame's picture into target (addressed in the picture's orientation, of any size;
// a flipped target turns it while writing), with the same levels, exposure, highlight handling
// and matrix as the full path, scaled in linear light with the filters ResampleRgb16 uses and the
// curve (when given) applied after scaling. Target rows are shared among `threads` threads in
// contiguous bands; every output row is computed from the same inputs in the same order whatever
// the banding, so the output does not depend on the thread count.
void DevelopReduced(const RawFrame& frame, const Rgb16Target& target, const TransferTable* curve,
                    int threads);

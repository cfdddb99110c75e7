// The per-value loops of the reduced develop at the widths of the demosaic kernel. The scaling
// across works on blocks of rows held one column at a time ("row lanes": lane l of a vector is
// row l of the block), so that one broadcast weight serves a whole vector and every lane sums
// its taps in the order the scalar filter does: every width gives the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Demosaic.h"
#include "TransferCurve.h"

// Lanes (rows) per block of the row-lane layout for that width: 4, 8 or 16. Value (row l,
// column x, channel c) of a block sits at block[(x * 3 + c) * lanes + l].
int RowLanes(DemosaicWidth width);

// The codes MatrixRow gives (linear, no curve) for `rows` rows (at most RowLanes(width)) of
// planes r, g, b (rows `stride` apart), columns [0, count), as floats into a row-lane block of
// RowLanes(width) lanes; lanes past `rows` get values of no meaning.
void MatrixBlockToLanes(const float* r, const float* g, const float* b, std::ptrdiff_t stride,
                        int rows, const float (&m)[3][3], float lift, int count, float* block,
                        DemosaicWidth width = WidestDemosaic());

// The filter along one axis, as AxisFilter holds it.
struct FilterTaps {
  const int* first;
  const int* count;
  const float* weights;  // count[x] weights of target x start at x * stride
  int stride;
};

// Target columns [xBegin, xEnd) of the block's `rows` rows (at most RowLanes(width)), scaled
// across: channel c of target x in row l is the sum over k of weight k times source column
// first[x] + k, summed in k's order from 0, written to out[l][x * 3 + c]. The block (RowLanes
// lanes) starts at source column column0.
void ScaleAcrossLanes(const float* block, int column0, const FilterTaps& taps, int xBegin, int xEnd,
                      int rows, float* const* out, DemosaicWidth width = WidestDemosaic());

// One target row scaled down and quantised: value i of the sum over k of weights[k] *
// rows[k][i] (in k's order, from 0), for i in [0, 3 * pixels), clamped to 0..65535, rounded and
// mapped through curve when one is given, written to out[(i / 3) * pixelStep + i % 3].
void ScaleDownRow(const float* const* rows, const float* weights, int count, int pixels,
                  std::uint16_t* out, std::ptrdiff_t pixelStep, const TransferTable* curve,
                  DemosaicWidth width = WidestDemosaic());

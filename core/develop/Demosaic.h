// Ratio-corrected demosaicing of one tile of a Bayer mosaic: green from directional estimates
// weighted by local gradients and corrected by the ratio of low-pass values, then red and blue
// from colour differences along the diagonals and the cardinal directions. Each tile is a pure
// function of its input, so tiles may run in any order on any thread.
#pragma once

#include <array>
#include <memory>
#include <span>

#include "HugePageBuffer.h"

// Pixels at the tile's edge that lack the neighbourhood the estimates need: only the interior
// [kDemosaicBorder, size - kDemosaicBorder) of each axis comes out complete, so tiles overlap
// by this much on every side.
constexpr int kDemosaicBorder = 10;

// Working planes of one tile; kept by the thread that runs tiles so that they stay warm in its
// cache and are allocated once. They share one block advised for huge pages: a handful of page
// faults instead of hundreds for a fresh set. Their contents are not cleared.
struct DemosaicScratch {
  std::span<float> mosaic;              // input: the normalised samples (0..1)
  std::array<std::span<float>, 3> rgb;  // output: red, green, blue
  std::span<float> highPassA, highPassB, lowPass, vhDirection, pqDirection;

  // Makes every plane hold at least width * height values, and a little more: the vector loads
  // of a row's last pixels may reach past a plane's last value (never using what they read
  // there).
  void Reserve(int width, int height);

 private:
  HugePageBuffer memory_;
};

// One thread's tile planes for the length of a develop: taken from those of threads that have
// finished (conversions run on new threads, and fresh planes cost their page faults again) and
// handed back when it goes.
class BorrowedDemosaicScratch {
 public:
  BorrowedDemosaicScratch();
  ~BorrowedDemosaicScratch();
  BorrowedDemosaicScratch(const BorrowedDemosaicScratch&) = delete;
  BorrowedDemosaicScratch& operator=(const BorrowedDemosaicScratch&) = delete;

  DemosaicScratch& operator*() { return *planes_; }

 private:
  std::unique_ptr<DemosaicScratch> planes_;
};

// Vector widths the tile kernel is built for: four lanes run on every x86-64, eight need AVX2,
// sixteen AVX-512. Every width gives the same bytes.
enum class DemosaicWidth { kFour, kEight, kSixteen };

// Whether this processor runs the kernel of that width.
bool DemosaicWidthAvailable(DemosaicWidth width);

// The widest width available here.
DemosaicWidth WidestDemosaic();

// Fills scratch.rgb from scratch.mosaic over a width x height tile (both even, at least
// 2 * kDemosaicBorder + 2). colour[(y & 1) * 2 + (x & 1)] is 0, 1 or 2 for the red, green or
// blue photosite at (x, y) of the tile. lanes must be available.
void DemosaicTile(DemosaicScratch& scratch, int width, int height, const std::array<int, 4>& colour,
                  DemosaicWidth lanes = WidestDemosaic());

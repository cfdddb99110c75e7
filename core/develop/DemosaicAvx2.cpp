// DemosaicTile over eight lanes. Built with -mavx2 (and without FMA contraction); it includes
// nothing but standard headers, its lane types and the kernel, and keeps everything of its own in
// an anonymous namespace, so no function compiled here for AVX2 can stand in for a baseline one.
#include <array>
#include <cstddef>
#include <cstring>
#include <type_traits>

#include "Demosaic.h"

#if defined(__AVX2__)

namespace {

constexpr int kWidth = 8;
#include "WideLanes.h"

// The kernel never moves values between lanes, so the lanes may hold their pixels in any order
// the loads and the stores agree on. Here lane order is p[0], p[2], p[8], p[10] | p[4], p[6],
// p[12], p[14]: one in-lane shuffle per load instead of a shuffle across the halves.
inline Lanes LoadEven(const float* p) {
  return __builtin_shufflevector(LoadWide(p), LoadWide(p + 8), 0, 2, 8, 10, 4, 6, 12, 14);
}
inline void StoreEven(float* p, Lanes v) {
  StoreWide(p, __builtin_shufflevector(v, LoadWide(p), 0, 9, 1, 11, 4, 13, 5, 15));
  StoreWide(p + 8, __builtin_shufflevector(v, LoadWide(p + 8), 2, 9, 3, 11, 6, 13, 7, 15));
}

#include "DemosaicKernel.h"

}  // namespace

void DemosaicTileAvx2(DemosaicScratch& s, int width, int height, const std::array<int, 4>& colour) {
  DemosaicTileKernel(s, width, height, colour);
}

#endif

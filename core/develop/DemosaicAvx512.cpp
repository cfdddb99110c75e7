// DemosaicTile over sixteen lanes. Built with -mavx512f (and without FMA contraction); it includes
// nothing but standard headers, its lane types and the kernel, and keeps everything of its own in
// an anonymous namespace, so no function compiled here for AVX-512 can stand in for a baseline
// one.
#include <array>
#include <cstddef>
#include <cstring>
#include <type_traits>

#include "Demosaic.h"

#if defined(__AVX512F__)

namespace {

constexpr int kWidth = 16;
#include "WideLanes.h"

// Lanes in the order of the eight-lane kernel's, per 128-bit quarter: p[0], p[2], p[16], p[18]
// | p[4], p[6], p[20], p[22] | ...: in-lane shuffles only (see DemosaicAvx2.cpp).
inline Lanes LoadEven(const float* p) {
  return __builtin_shufflevector(LoadWide(p), LoadWide(p + 16), 0, 2, 16, 18, 4, 6, 20, 22, 8, 10,
                                 24, 26, 12, 14, 28, 30);
}
inline void StoreEven(float* p, Lanes v) {
  StoreWide(p, __builtin_shufflevector(v, LoadWide(p), 0, 17, 1, 19, 4, 21, 5, 23, 8, 25, 9, 27, 12,
                                       29, 13, 31));
  StoreWide(p + 16, __builtin_shufflevector(v, LoadWide(p + 16), 2, 17, 3, 19, 6, 21, 7, 23, 10, 25,
                                            11, 27, 14, 29, 15, 31));
}

#include "DemosaicKernel.h"

}  // namespace

void DemosaicTileAvx512(DemosaicScratch& s, int width, int height,
                        const std::array<int, 4>& colour) {
  DemosaicTileKernel(s, width, height, colour);
}

#endif

// DemosaicTile over eight lanes. Built with -mavx2 (and without FMA contraction); it includes
// nothing but standard headers and the kernel, and keeps everything of its own in an anonymous
// namespace, so no function compiled here for AVX2 can stand in for a baseline one.
#include <array>
#include <cstddef>
#include <cstring>
#include <type_traits>

#include "Demosaic.h"

#if defined(__AVX2__)

namespace {

using Lanes = float __attribute__((vector_size(32)));
using IntLanesOf = int __attribute__((vector_size(32)));
constexpr int kWidth = 8;

inline Lanes LoadWide(const float* p) {
  Lanes v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void StoreWide(float* p, Lanes v) {
  std::memcpy(p, &v, sizeof v);
}
inline Lanes LoadEven(const float* p) {
  return __builtin_shufflevector(LoadWide(p), LoadWide(p + 8), 0, 2, 4, 6, 8, 10, 12, 14);
}
inline void StoreEven(float* p, Lanes v) {
  StoreWide(p, __builtin_shufflevector(v, LoadWide(p), 0, 9, 1, 11, 2, 13, 3, 15));
  StoreWide(p + 8, __builtin_shufflevector(v, LoadWide(p + 8), 4, 9, 5, 11, 6, 13, 7, 15));
}

#include "DemosaicKernel.h"

}  // namespace

void DemosaicTileAvx2(DemosaicScratch& s, int width, int height, const std::array<int, 4>& colour) {
  DemosaicTileKernel(s, width, height, colour);
}

#endif

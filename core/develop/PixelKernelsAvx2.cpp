// LevelRow and MatrixRow over eight lanes. Built with -mavx2 (and without FMA contraction); it
// includes nothing but standard headers, its lane types and the kernel, and keeps everything of
// its own in an anonymous namespace, so no function compiled here for a wider instruction set
// can stand in for a baseline one.
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__AVX2__)

namespace {

constexpr int kWidth = 8;
#include "WideLanes.h"
// The kernel, over the lanes above.
#include "PixelRowKernel.h"

}  // namespace

void LevelRowAvx2(const std::uint16_t* raw, int count, int first, const float black[2],
                  const float scale[2], const float clip[2], float* out) {
  LevelRowKernel(raw, count, first, black, scale, clip, out);
}

void MatrixRowAvx2(const float* r, const float* g, const float* b, const float (&m)[3][3],
                   float lift, int count, std::uint16_t* out, std::ptrdiff_t pixelStep,
                   const std::uint16_t* table) {
  MatrixRowKernel(r, g, b, m, lift, count, out, pixelStep, table);
}

#endif

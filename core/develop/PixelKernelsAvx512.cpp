// LevelRow and MatrixRow over sixteen lanes. Built with -mavx512f (and without FMA contraction);
// it includes nothing but standard headers, its lane types and the kernel, and keeps everything of
// its own in an anonymous namespace, so no function compiled here for a wider instruction set
// can stand in for a baseline one.
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__AVX512F__)

namespace {

constexpr int kWidth = 16;
#include "WideLanes.h"
// The kernel, over the lanes above.
#include "PixelRowKernel.h"

}  // namespace

void LevelRowAvx512(const std::uint16_t* raw, int count, int first, const float black[2],
                    const float scale[2], const float clip[2], float* out) {
  LevelRowKernel(raw, count, first, black, scale, clip, out);
}

void MatrixRowAvx512(const float* r, const float* g, const float* b, const float (&m)[3][3],
                     float lift, int count, std::uint16_t* out, std::ptrdiff_t pixelStep,
                     const std::uint16_t* table) {
  MatrixRowKernel(r, g, b, m, lift, count, out, pixelStep, table);
}

#endif

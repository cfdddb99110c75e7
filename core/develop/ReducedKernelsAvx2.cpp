// The reduced develop's kernels over eight lanes. Built with -mavx2 (and without FMA contraction);
// it includes nothing but standard headers, its lane types and the kernel, and keeps everything of
// its own in an anonymous namespace, so no function compiled here for a wider instruction set
// can stand in for a baseline one.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#if defined(__AVX2__)

namespace {

constexpr int kWidth = 8;
#include "WideLanes.h"
// The kernels, over the lanes above.
#include "ReducedKernel.h"

}  // namespace

void MatrixBlockToLanesAvx2(const float* r, const float* g, const float* b, std::ptrdiff_t stride,
                            int rows, const float (&m)[3][3], float lift, int count, float* out) {
  MatrixBlockToLanesKernel(r, g, b, stride, rows, m, lift, count, out);
}

void ScaleAcrossLanesAvx2(const float* block, int column0, const int* first, const int* count,
                          const float* weights, int stride, int xBegin, int xEnd, int rows,
                          float* const* out) {
  ScaleAcrossLanesKernel(block, column0, first, count, weights, stride, xBegin, xEnd, rows, out);
}

void ScaleDownRowAvx2(const float* const* rows, const float* weights, int count, int pixels,
                      std::uint16_t* out, std::ptrdiff_t pixelStep, const std::uint16_t* table) {
  ScaleDownRowKernel(rows, weights, count, pixels, out, pixelStep, table);
}

#endif

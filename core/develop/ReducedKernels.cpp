#include "ReducedKernels.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "FloatLanes.h"

namespace {

// Four lanes, the baseline every x86-64 has.
constexpr int kWidth = kLanes;
#include "WideLanes.h"
// The kernel, over the lanes above.
#include "ReducedKernel.h"

}  // namespace

#if defined(__x86_64__)
// The same loops over eight and sixteen lanes, in files of their own built for AVX2 and AVX-512.
void MatrixBlockToLanesAvx2(const float* r, const float* g, const float* b, std::ptrdiff_t stride,
                            int rows, const float (&m)[3][3], float lift, int count, float* out);
void MatrixBlockToLanesAvx512(const float* r, const float* g, const float* b, std::ptrdiff_t stride,
                              int rows, const float (&m)[3][3], float lift, int count, float* out);
void ScaleAcrossLanesAvx2(const float* block, int column0, const int* first, const int* count,
                          const float* weights, int stride, int xBegin, int xEnd, int rows,
                          float* const* out);
void ScaleAcrossLanesAvx512(const float* block, int column0, const int* first, const int* count,
                            const float* weights, int stride, int xBegin, int xEnd, int rows,
                            float* const* out);
void ScaleDownRowAvx2(const float* const* rows, const float* weights, int count, int pixels,
                      std::uint16_t* out, std::ptrdiff_t pixelStep, const std::uint16_t* table);
void ScaleDownRowAvx512(const float* const* rows, const float* weights, int count, int pixels,
                        std::uint16_t* out, std::ptrdiff_t pixelStep, const std::uint16_t* table);
#endif

int RowLanes(DemosaicWidth width) {
  switch (width) {
    case DemosaicWidth::kSixteen:
      return 16;
    case DemosaicWidth::kEight:
      return 8;
    case DemosaicWidth::kFour:
      break;
  }
  return kLanes;
}

void MatrixBlockToLanes(const float* r, const float* g, const float* b, std::ptrdiff_t stride,
                        int rows, const float (&m)[3][3], float lift, int count, float* block,
                        DemosaicWidth width) {
#if defined(__x86_64__)
  if (width == DemosaicWidth::kSixteen) {
    MatrixBlockToLanesAvx512(r, g, b, stride, rows, m, lift, count, block);
    return;
  }
  if (width == DemosaicWidth::kEight) {
    MatrixBlockToLanesAvx2(r, g, b, stride, rows, m, lift, count, block);
    return;
  }
#endif
  (void)width;
  MatrixBlockToLanesKernel(r, g, b, stride, rows, m, lift, count, block);
}

void ScaleAcrossLanes(const float* block, int column0, const FilterTaps& taps, int xBegin, int xEnd,
                      int rows, float* const* out, DemosaicWidth width) {
#if defined(__x86_64__)
  if (width == DemosaicWidth::kSixteen) {
    ScaleAcrossLanesAvx512(block, column0, taps.first, taps.count, taps.weights, taps.stride,
                           xBegin, xEnd, rows, out);
    return;
  }
  if (width == DemosaicWidth::kEight) {
    ScaleAcrossLanesAvx2(block, column0, taps.first, taps.count, taps.weights, taps.stride, xBegin,
                         xEnd, rows, out);
    return;
  }
#endif
  (void)width;
  ScaleAcrossLanesKernel(block, column0, taps.first, taps.count, taps.weights, taps.stride, xBegin,
                         xEnd, rows, out);
}

void ScaleDownRow(const float* const* rows, const float* weights, int count, int pixels,
                  std::uint16_t* out, std::ptrdiff_t pixelStep, const TransferTable* curve,
                  DemosaicWidth width) {
  const std::uint16_t* table = curve != nullptr ? curve->data() : nullptr;
#if defined(__x86_64__)
  if (width == DemosaicWidth::kSixteen) {
    ScaleDownRowAvx512(rows, weights, count, pixels, out, pixelStep, table);
    return;
  }
  if (width == DemosaicWidth::kEight) {
    ScaleDownRowAvx2(rows, weights, count, pixels, out, pixelStep, table);
    return;
  }
#endif
  (void)width;
  ScaleDownRowKernel(rows, weights, count, pixels, out, pixelStep, table);
}

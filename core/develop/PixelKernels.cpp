#include "PixelKernels.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "FloatLanes.h"

namespace {

// Four lanes, the baseline every x86-64 has.
constexpr int kWidth = kLanes;
#include "WideLanes.h"
// The kernel, over the lanes above.
#include "PixelRowKernel.h"

}  // namespace

#if defined(__x86_64__)
// The same rows over eight and sixteen lanes, in files of their own built for AVX2 and AVX-512.
void LevelRowAvx2(const std::uint16_t* raw, int count, int first, const float black[2],
                  const float scale[2], const float clip[2], float* out);
void LevelRowAvx512(const std::uint16_t* raw, int count, int first, const float black[2],
                    const float scale[2], const float clip[2], float* out);
void MatrixRowAvx2(const float* r, const float* g, const float* b, const float (&m)[3][3],
                   float lift, int count, std::uint16_t* out, std::ptrdiff_t pixelStep,
                   const std::uint16_t* table);
void MatrixRowAvx512(const float* r, const float* g, const float* b, const float (&m)[3][3],
                     float lift, int count, std::uint16_t* out, std::ptrdiff_t pixelStep,
                     const std::uint16_t* table);
#endif

void LevelRow(const std::uint16_t* raw, int count, int first, const float black[2],
              const float scale[2], const float clip[2], float* out, DemosaicWidth lanes) {
#if defined(__x86_64__)
  if (lanes == DemosaicWidth::kSixteen) {
    LevelRowAvx512(raw, count, first, black, scale, clip, out);
    return;
  }
  if (lanes == DemosaicWidth::kEight) {
    LevelRowAvx2(raw, count, first, black, scale, clip, out);
    return;
  }
#endif
  (void)lanes;
  LevelRowKernel(raw, count, first, black, scale, clip, out);
}

void MatrixRow(const float* r, const float* g, const float* b, const float (&m)[3][3], float lift,
               int count, std::uint16_t* out, std::ptrdiff_t pixelStep, const TransferTable* curve,
               DemosaicWidth lanes) {
  const std::uint16_t* table = curve != nullptr ? curve->data() : nullptr;
#if defined(__x86_64__)
  if (lanes == DemosaicWidth::kSixteen) {
    MatrixRowAvx512(r, g, b, m, lift, count, out, pixelStep, table);
    return;
  }
  if (lanes == DemosaicWidth::kEight) {
    MatrixRowAvx2(r, g, b, m, lift, count, out, pixelStep, table);
    return;
  }
#endif
  (void)lanes;
  MatrixRowKernel(r, g, b, m, lift, count, out, pixelStep, table);
}

#include "PixelKernels.h"

#include <algorithm>

#include "FloatLanes.h"

namespace {

inline FloatLanes ToFloat(IntLanes v) {
  return __builtin_convertvector(v, FloatLanes);
}

// Truncating toward zero, as a scalar float-to-int cast does.
inline IntLanes Truncate(FloatLanes v) {
  return __builtin_convertvector(v, IntLanes);
}

}  // namespace

void LevelRow(const std::uint16_t* raw, int count, int first, const float black[2],
              const float scale[2], const float clip[2], float* out) {
  constexpr float kToUnit = 1.0f / 65535.0f;
  const int a = first & 1, b = a ^ 1;
  const FloatLanes blacks{black[a], black[b], black[a], black[b]};
  const FloatLanes scales{scale[a], scale[b], scale[a], scale[b]};
  const FloatLanes clips{clip[a], clip[b], clip[a], clip[b]};
  int x = 0;
  for (; x + kLanes <= count; x += kLanes) {
    const IntLanes samples{raw[x], raw[x + 1], raw[x + 2], raw[x + 3]};
    const FloatLanes v = ToFloat(samples) - blacks;
    // Truncated like the reference rendering's integer scaling, clipped at white.
    const FloatLanes scaled = MinLanes(clips, ToFloat(Truncate(v * scales))) * kToUnit;
    StoreLanes(out + x, v <= 0.0f ? Splat(0.0f) : scaled);
  }
  for (; x < count; ++x) {
    const int p = (first + x) & 1;
    const float v = static_cast<float>(raw[x]) - black[p];
    out[x] = v <= 0
                 ? 0.0f
                 : std::min(clip[p], static_cast<float>(static_cast<int>(v * scale[p]))) * kToUnit;
  }
}

void MatrixRow(const float* r, const float* g, const float* b, const float (&m)[3][3], float lift,
               int count, std::uint16_t* out, std::ptrdiff_t pixelStep,
               const TransferTable* curve) {
  int x = 0;
  for (; x + kLanes <= count; x += kLanes) {
    const FloatLanes red = LoadLanes(r + x), green = LoadLanes(g + x), blue = LoadLanes(b + x);
    IntLanes codes[3];
    for (int c = 0; c < 3; ++c) {
      const FloatLanes v = m[c][0] * red + m[c][1] * green + m[c][2] * blue;
      // std::clamp(v + lift, 0, 65535), lane by lane.
      const FloatLanes lifted = v + lift;
      const FloatLanes clamped =
          lifted < 0.0f ? Splat(0.0f) : (65535.0f < lifted ? Splat(65535.0f) : lifted);
      codes[c] = Truncate(clamped);
    }
    std::uint16_t* o = out + x * pixelStep;
    for (int k = 0; k < kLanes; ++k, o += pixelStep) {
      for (int c = 0; c < 3; ++c) {
        const auto code = static_cast<std::uint16_t>(codes[c][k]);
        o[c] = curve != nullptr ? (*curve)[code] : code;
      }
    }
  }
  std::uint16_t* o = out + x * pixelStep;
  for (; x < count; ++x, o += pixelStep) {
    for (int c = 0; c < 3; ++c) {
      const float v = m[c][0] * r[x] + m[c][1] * g[x] + m[c][2] * b[x];
      const auto code = static_cast<std::uint16_t>(std::clamp(v + lift, 0.0f, 65535.0f));
      o[c] = curve != nullptr ? (*curve)[code] : code;
    }
  }
}

// The bodies of LevelRow and MatrixRow over one vector width. Each file that includes it, inside
// its own anonymous namespace and after the standard headers, first defines for that width
// (WideLanes.h):
//   Lanes, IntLanesOf     float and int vectors of kWidth lanes
//   LoadWide              kWidth consecutive floats
//   StoreWide             kWidth consecutive floats
//   FillLanes, ClampCode  one value in every lane; the clamp to 0..65535
// Every lane gets the operations of the scalar loop, in the same order, and the scalar loop
// serves the row's tail: all widths give the same bytes. Nothing here comes from <algorithm>
// or takes a library type, so that no shared inline function is compiled here for a wider
// instruction set.

using SampleLanes = std::uint16_t __attribute__((vector_size(sizeof(Lanes) / 2)));

// min(clip, trunc(v * scale)) / 65535 for v > 0, else 0, with each row's two photosite kinds
// alternating along it.
inline void LevelRowKernel(const std::uint16_t* raw, int count, int first, const float black[2],
                           const float scale[2], const float clip[2], float* out) {
  constexpr float kToUnit = 1.0f / 65535.0f;
  Lanes blacks, scales, clips;
  for (int i = 0; i < kWidth; ++i) {
    const int p = (first + i) & 1;
    blacks[i] = black[p];
    scales[i] = scale[p];
    clips[i] = clip[p];
  }
  int x = 0;
  for (; x + kWidth <= count; x += kWidth) {
    SampleLanes samples;
    __builtin_memcpy(&samples, raw + x, sizeof samples);
    const Lanes v = __builtin_convertvector(samples, Lanes) - blacks;
    // Truncated like the reference rendering's integer scaling, clipped at white.
    const Lanes truncated =
        __builtin_convertvector(__builtin_convertvector(v * scales, IntLanesOf), Lanes);
    const Lanes scaled = (truncated < clips ? truncated : clips) * kToUnit;
    StoreWide(out + x, v <= 0.0f ? FillLanes(0.0f) : scaled);
  }
  for (; x < count; ++x) {
    const int p = (first + x) & 1;
    const float v = static_cast<float>(raw[x]) - black[p];
    const float truncated = static_cast<float>(static_cast<int>(v * scale[p]));
    out[x] = v <= 0 ? 0.0f : (truncated < clip[p] ? truncated : clip[p]) * kToUnit;
  }
}

// Codes of each pixel's channels: trunc(clamp(m . rgb + lift, 0, 65535)). table is the transfer
// curve's 65536 entries, or null for the linear codes.
inline void MatrixRowKernel(const float* r, const float* g, const float* b, const float (&m)[3][3],
                            float lift, int count, std::uint16_t* out, std::ptrdiff_t pixelStep,
                            const std::uint16_t* table) {
  int x = 0;
  for (; x + kWidth <= count; x += kWidth) {
    const Lanes red = LoadWide(r + x), green = LoadWide(g + x), blue = LoadWide(b + x);
    IntLanesOf codes[3];
    for (int c = 0; c < 3; ++c) {
      const Lanes v = m[c][0] * red + m[c][1] * green + m[c][2] * blue;
      codes[c] = __builtin_convertvector(ClampCode(v + lift), IntLanesOf);
    }
    std::uint16_t* o = out + x * pixelStep;
    if (table != nullptr) {
      for (int k = 0; k < kWidth; ++k, o += pixelStep) {
        for (int c = 0; c < 3; ++c) o[c] = table[static_cast<std::uint16_t>(codes[c][k])];
      }
    } else {
      for (int k = 0; k < kWidth; ++k, o += pixelStep) {
        for (int c = 0; c < 3; ++c) o[c] = static_cast<std::uint16_t>(codes[c][k]);
      }
    }
  }
  std::uint16_t* o = out + x * pixelStep;
  for (; x < count; ++x, o += pixelStep) {
    for (int c = 0; c < 3; ++c) {
      const float v = m[c][0] * r[x] + m[c][1] * g[x] + m[c][2] * b[x];
      const auto code = static_cast<std::uint16_t>(ClampCode(v + lift));
      o[c] = table != nullptr ? table[code] : code;
    }
  }
}

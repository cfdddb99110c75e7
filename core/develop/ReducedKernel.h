// The bodies of the reduced develop's kernels over one vector width. Each file that includes it,
// inside its own anonymous namespace and after the standard headers, first defines kWidth and
// includes WideLanes.h. Every lane gets the scalar loop's operations in its order; nothing here
// comes from <algorithm> or takes a library type, so that no shared inline function is compiled
// here for a wider instruction set.

inline Lanes Broadcast(float v) {
  return Lanes{} + v;
}

// std::clamp(v, 0, 65535) lane by lane, in its order of comparisons.
inline Lanes ClampToCodes(Lanes v) {
  return v < 0.0f ? Broadcast(0.0f) : (65535.0f < v ? Broadcast(65535.0f) : v);
}
inline float ClampToCodes(float v) {
  return v < 0.0f ? 0.0f : (65535.0f < v ? 65535.0f : v);
}

inline void MatrixRowToLanesKernel(const float* r, const float* g, const float* b,
                                   const float (&m)[3][3], float lift, int count, float* out,
                                   int lanes) {
  const std::ptrdiff_t step = 3 * std::ptrdiff_t{lanes};
  int x = 0;
  for (; x + kWidth <= count; x += kWidth) {
    const Lanes red = LoadWide(r + x), green = LoadWide(g + x), blue = LoadWide(b + x);
    Lanes codes[3];
    for (int c = 0; c < 3; ++c) {
      const Lanes v = m[c][0] * red + m[c][1] * green + m[c][2] * blue;
      // Truncated to whole codes as the 16-bit linear picture holds them.
      codes[c] = __builtin_convertvector(
          __builtin_convertvector(ClampToCodes(v + lift), IntLanesOf), Lanes);
    }
    float* o = out + x * step;
    for (int k = 0; k < kWidth; ++k, o += step) {
      o[0] = codes[0][k];
      o[lanes] = codes[1][k];
      o[2 * lanes] = codes[2][k];
    }
  }
  float* o = out + x * step;
  for (; x < count; ++x, o += step) {
    for (int c = 0; c < 3; ++c) {
      const float v = m[c][0] * r[x] + m[c][1] * g[x] + m[c][2] * b[x];
      o[c * lanes] = static_cast<float>(static_cast<std::uint16_t>(ClampToCodes(v + lift)));
    }
  }
}

// Blocks of kWidth rows: each weight is broadcast over the block's rows.
inline void ScaleAcrossLanesKernel(const float* block, int column0, const int* first,
                                   const int* count, const float* weights, int stride, int xBegin,
                                   int xEnd, int rows, float* const* out) {
  constexpr std::ptrdiff_t kColumn = 3 * kWidth;
  for (int x = xBegin; x < xEnd; ++x) {
    const float* w = weights + static_cast<std::ptrdiff_t>(x) * stride;
    const float* p = block + (first[x] - column0) * kColumn;
    Lanes red = Broadcast(0.0f), green = Broadcast(0.0f), blue = Broadcast(0.0f);
    for (int k = 0; k < count[x]; ++k, p += kColumn) {
      const Lanes weight = Broadcast(w[k]);
      red = red + weight * LoadWide(p);
      green = green + weight * LoadWide(p + kWidth);
      blue = blue + weight * LoadWide(p + 2 * kWidth);
    }
    for (int l = 0; l < rows; ++l) {
      float* o = out[l] + 3 * static_cast<std::ptrdiff_t>(x);
      o[0] = red[l];
      o[1] = green[l];
      o[2] = blue[l];
    }
  }
}

// Codes of kWidth pixels (3 * kWidth values from i) written out.
inline void StoreCodes(const Lanes (&sums)[3], std::uint16_t* out, std::ptrdiff_t pixelStep,
                       const std::uint16_t* table) {
  IntLanesOf codes[3];
  for (int q = 0; q < 3; ++q)
    codes[q] = __builtin_convertvector(ClampToCodes(sums[q]) + 0.5f, IntLanesOf);
  for (int e = 0; e < 3 * kWidth; ++e) {
    const auto code = static_cast<std::uint16_t>(codes[e / kWidth][e % kWidth]);
    out[(e / 3) * pixelStep + e % 3] = table != nullptr ? table[code] : code;
  }
}

inline void ScaleDownRowKernel(const float* const* rows, const float* weights, int count,
                               int pixels, std::uint16_t* out, std::ptrdiff_t pixelStep,
                               const std::uint16_t* table) {
  const int values = 3 * pixels;
  int i = 0;
  // Two groups of kWidth pixels at a time: six independent sums keep the adder busy.
  for (; i + 6 * kWidth <= values; i += 6 * kWidth) {
    Lanes a[3] = {Broadcast(0.0f), Broadcast(0.0f), Broadcast(0.0f)};
    Lanes b[3] = {Broadcast(0.0f), Broadcast(0.0f), Broadcast(0.0f)};
    for (int k = 0; k < count; ++k) {
      const Lanes weight = Broadcast(weights[k]);
      const float* p = rows[k] + i;
      for (int q = 0; q < 3; ++q) {
        a[q] = a[q] + weight * LoadWide(p + q * kWidth);
        b[q] = b[q] + weight * LoadWide(p + (q + 3) * kWidth);
      }
    }
    std::uint16_t* o = out + (i / 3) * pixelStep;
    StoreCodes(a, o, pixelStep, table);
    StoreCodes(b, o + kWidth * pixelStep, pixelStep, table);
  }
  for (; i + 3 * kWidth <= values; i += 3 * kWidth) {
    Lanes a[3] = {Broadcast(0.0f), Broadcast(0.0f), Broadcast(0.0f)};
    for (int k = 0; k < count; ++k) {
      const Lanes weight = Broadcast(weights[k]);
      const float* p = rows[k] + i;
      for (int q = 0; q < 3; ++q) a[q] = a[q] + weight * LoadWide(p + q * kWidth);
    }
    StoreCodes(a, out + (i / 3) * pixelStep, pixelStep, table);
  }
  for (; i < values; ++i) {
    float sum = 0.0f;
    for (int k = 0; k < count; ++k) sum = sum + weights[k] * rows[k][i];
    const auto code = static_cast<std::uint16_t>(ClampToCodes(sum) + 0.5f);
    out[(i / 3) * pixelStep + i % 3] = table != nullptr ? table[code] : code;
  }
}

// The bodies of the reduced develop's kernels over one vector width. Each file that includes it,
// inside its own anonymous namespace and after the standard headers (<utility> among them),
// first defines kWidth and its lane types, loads, stores and lane helpers (WideLanes.h). Every lane
// gets the scalar loop's operations in its order; nothing here comes from <algorithm> or calls a
// library function (std::index_sequence only names indices), so that no shared inline function is
// compiled here for a wider instruction set.

// Swaps the B x B blocks off the diagonal of each pair of vectors B apart; over B = kWidth / 2
// down to 1 that transposes kWidth vectors of kWidth lanes.
template <int B, std::size_t... J>
inline void SwapBlocks(Lanes& a, Lanes& b, std::index_sequence<J...>) {
  const Lanes low = __builtin_shufflevector(a, b, ((J & B) ? kWidth + J - B : J)...);
  const Lanes high = __builtin_shufflevector(a, b, ((J & B) ? kWidth + J : J + B)...);
  a = low;
  b = high;
}
template <int B>
inline void Transpose(Lanes (&v)[kWidth]) {
  if constexpr (B >= 1) {
    for (int i = 0; i < kWidth; ++i) {
      if ((i & B) == 0) SwapBlocks<B>(v[i], v[i + B], std::make_index_sequence<kWidth>());
    }
    Transpose<B / 2>(v);
  }
}

// Codes as the 16-bit linear picture holds them: trunc(clamp(m . rgb + lift, 0, 65535)).
inline Lanes CodesOf(const float (&m)[3], Lanes red, Lanes green, Lanes blue, float lift) {
  const Lanes v = m[0] * red + m[1] * green + m[2] * blue;
  return __builtin_convertvector(__builtin_convertvector(ClampCode(v + lift), IntLanesOf), Lanes);
}

// kWidth rows at a time (rows beyond `rows` repeat the last), computed along the rows and
// turned into row lanes in registers.
inline void MatrixBlockToLanesKernel(const float* r, const float* g, const float* b,
                                     std::ptrdiff_t stride, int rows, const float (&m)[3][3],
                                     float lift, int count, float* out) {
  constexpr std::ptrdiff_t kColumn = 3 * kWidth;
  std::ptrdiff_t rowAt[kWidth];
  for (int l = 0; l < kWidth; ++l) rowAt[l] = (l < rows ? l : rows - 1) * stride;
  int x = 0;
  while (x < count && kWidth <= count) {
    // The last step overlaps the one before: its columns get the same values again.
    x = x + kWidth <= count ? x : count - kWidth;
    Lanes codes[3][kWidth];
    for (int l = 0; l < kWidth; ++l) {
      const std::ptrdiff_t at = rowAt[l] + x;
      const Lanes red = LoadWide(r + at), green = LoadWide(g + at), blue = LoadWide(b + at);
      for (int c = 0; c < 3; ++c) codes[c][l] = CodesOf(m[c], red, green, blue, lift);
    }
    for (int c = 0; c < 3; ++c) {
      Transpose<kWidth / 2>(codes[c]);
      float* o = out + x * kColumn + c * kWidth;
      for (int j = 0; j < kWidth; ++j) StoreWide(o + j * kColumn, codes[c][j]);
    }
    x += kWidth;
  }
  for (; x < count; ++x) {
    for (int l = 0; l < rows; ++l) {
      const std::ptrdiff_t at = rowAt[l] + x;
      for (int c = 0; c < 3; ++c) {
        const float v = m[c][0] * r[at] + m[c][1] * g[at] + m[c][2] * b[at];
        out[(x * 3 + c) * kWidth + l] =
            static_cast<float>(static_cast<std::uint16_t>(ClampCode(v + lift)));
      }
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
    Lanes red = FillLanes(0.0f), green = FillLanes(0.0f), blue = FillLanes(0.0f);
    for (int k = 0; k < count[x]; ++k, p += kColumn) {
      const Lanes weight = FillLanes(w[k]);
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

// Codes of kWidth pixels (their 3 * kWidth values in order) written out.
inline void StoreCodes(const Lanes (&sums)[3], std::uint16_t* out, std::ptrdiff_t pixelStep,
                       const std::uint16_t* table) {
  int codes[3 * kWidth];
  for (int q = 0; q < 3; ++q) {
    const IntLanesOf c = __builtin_convertvector(ClampCode(sums[q]) + 0.5f, IntLanesOf);
    std::memcpy(codes + q * kWidth, &c, sizeof c);
  }
  const int* c = codes;
  if (table != nullptr) {
    for (int p = 0; p < kWidth; ++p, c += 3, out += pixelStep) {
      out[0] = table[c[0]];
      out[1] = table[c[1]];
      out[2] = table[c[2]];
    }
  } else {
    for (int p = 0; p < kWidth; ++p, c += 3, out += pixelStep) {
      out[0] = static_cast<std::uint16_t>(c[0]);
      out[1] = static_cast<std::uint16_t>(c[1]);
      out[2] = static_cast<std::uint16_t>(c[2]);
    }
  }
}

inline void ScaleDownRowKernel(const float* const* rows, const float* weights, int count,
                               int pixels, std::uint16_t* out, std::ptrdiff_t pixelStep,
                               const std::uint16_t* table) {
  const int values = 3 * pixels;
  int i = 0;
  // Two groups of kWidth pixels at a time: six independent sums keep the adder busy.
  for (; i + 6 * kWidth <= values; i += 6 * kWidth) {
    Lanes a[3] = {FillLanes(0.0f), FillLanes(0.0f), FillLanes(0.0f)};
    Lanes b[3] = {FillLanes(0.0f), FillLanes(0.0f), FillLanes(0.0f)};
    for (int k = 0; k < count; ++k) {
      const Lanes weight = FillLanes(weights[k]);
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
    Lanes a[3] = {FillLanes(0.0f), FillLanes(0.0f), FillLanes(0.0f)};
    for (int k = 0; k < count; ++k) {
      const Lanes weight = FillLanes(weights[k]);
      const float* p = rows[k] + i;
      for (int q = 0; q < 3; ++q) a[q] = a[q] + weight * LoadWide(p + q * kWidth);
    }
    StoreCodes(a, out + (i / 3) * pixelStep, pixelStep, table);
  }
  for (; i < values; ++i) {
    float sum = 0.0f;
    for (int k = 0; k < count; ++k) sum = sum + weights[k] * rows[k][i];
    const auto code = static_cast<std::uint16_t>(ClampCode(sum) + 0.5f);
    out[(i / 3) * pixelStep + i % 3] = table != nullptr ? table[code] : code;
  }
}

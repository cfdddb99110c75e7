// The body of DemosaicTile over one vector width. Each file that includes it, inside its own
// anonymous namespace and after the standard headers, first defines for that width:
//   Lanes, IntLanesOf     float and int vectors of kWidth lanes
//   LoadWide, StoreWide   kWidth consecutive floats
//   LoadEven(p)           p[0], p[2], ... p[2 kWidth - 2], in a lane order of its choice
//   StoreEven(p, v)       v into p[0], p[2], ..., in that order, leaving p[1], p[3], ... as
//                         they were
// No operation here moves values between lanes, and every lane gets the operations the scalar
// code applies, in the same order: all widths give the same bytes.

constexpr float kEps = 1e-5f;
constexpr float kEpsSquared = 1e-10f;

// Scalar and vector forms of the operations the kernels use: one generic body serves the vector
// steps and the scalar loop of rows narrower than one step, with the same operations in the
// same order. Written out
// rather than taken from <algorithm>, so that no shared inline function is compiled here for
// a wider instruction set.
inline float Abs(float v) {
  return __builtin_fabsf(v);
}
inline Lanes Abs(Lanes v) {
  return reinterpret_cast<Lanes>(reinterpret_cast<IntLanesOf>(v) & 0x7fffffff);
}
template <typename T>
T Fill(float v) {
  if constexpr (std::is_same_v<T, float>) {
    return v;
  } else {
    return T{} + v;  // every lane v (only non-negative constants come here)
  }
}
// std::max(a, b) and std::min(a, b), NaN included, for one value and for lanes.
template <typename T>
T Max(T a, T b) {
  return a < b ? b : a;
}
template <typename T>
T Min(T a, T b) {
  return b < a ? b : a;
}

template <typename T>
T Clamp01(T v) {
  return Min(Fill<T>(1.0f), Max(Fill<T>(0.0f), v));
}

// Loads for the generic bodies: one sample, or the four of one parity starting there.
struct ScalarLoad {
  float operator()(const float* p) const { return *p; }
};
struct EvenLanesLoad {
  Lanes operator()(const float* p) const { return LoadEven(p); }
};

// Of the pixel's own direction weight and the mean of its four diagonal neighbours, the one
// further from indecision (0.5): a single noisy pixel cannot flip the direction of its area.
template <typename Load>
[[gnu::always_inline]] inline auto Discriminate(Load load, const float* dir, std::ptrdiff_t w) {
  const auto central = load(dir);
  const auto around =
      0.25f * (load(dir - w - 1) + load(dir - w + 1) + load(dir + w - 1) + load(dir + w + 1));
  return Abs(0.5f - central) < Abs(0.5f - around) ? around : central;
}

// Where the vector steps of EveryOther start over [first, end): kWidth outputs apart, and the
// last one moved back to end flush with the row's last output (it then recomputes some outputs
// of the step before, to the same bytes: no pass reads in the row it writes), so that no output
// of a row wider than one step is left to the slow scalar loop. Returns the count of steps, 0
// when the row is narrower than one step.
inline int VectorSteps(int first, int end, int& lastStep) {
  const int span = end - first;  // outputs at first, first + 2, ... < end
  if (span < 2 * kWidth - 1) return 0;
  const int outputs = (span + 1) / 2;
  lastStep = first + 2 * (outputs - kWidth);
  return (outputs + kWidth - 1) / kWidth;
}

// Runs body(load, x) over x = first, first + 2, ... below end, kWidth at a time, storing lane k
// at x + 2 k; rows narrower than one step one at a time. body returns the value for out[x]. The
// blended stores rewrite out[x + 2 kWidth - 1] too, so end must lie inside the row (every caller
// keeps a border).
template <typename Body>
void EveryOther(int first, int end, float* out, Body body) {
  int lastStep = 0;
  const int steps = VectorSteps(first, end, lastStep);
  for (int i = 0; i < steps; ++i) {
    const int x = i + 1 < steps ? first + 2 * kWidth * i : lastStep;
    StoreEven(out + x, body(EvenLanesLoad{}, x));
  }
  if (steps == 0) {
    for (int x = first; x < end; x += 2) out[x] = body(ScalarLoad{}, x);
  }
}

struct WideLoad {
  Lanes operator()(const float* p) const { return LoadWide(p); }
};
inline void Put(float* p, float v) {
  *p = v;
}
inline void Put(float* p, Lanes v) {
  StoreWide(p, v);
}

// Runs body(load, x) for every x in [first, end), kWidth consecutive ones at a time, the last
// step flush with end (recomputing a few of the step before to the same bytes); rows narrower
// than one step one at a time. body stores what it computes through Put.
template <typename Body>
void Across(int first, int end, Body body) {
  if (end - first < kWidth) {
    for (int x = first; x < end; ++x) body(ScalarLoad{}, x);
    return;
  }
  for (int x = first; x < end - kWidth; x += kWidth) body(WideLoad{}, x);
  body(WideLoad{}, end - kWidth);
}

template <typename T>
struct Pair {
  T a, b;
};

// EveryOther for a body that yields two values, for outA[x] and outB[x]: work the two share is
// done once.
template <typename Body>
void EveryOtherPair(int first, int end, float* outA, float* outB, Body body) {
  int lastStep = 0;
  const int steps = VectorSteps(first, end, lastStep);
  for (int i = 0; i < steps; ++i) {
    const int x = i + 1 < steps ? first + 2 * kWidth * i : lastStep;
    const Pair<Lanes> v = body(EvenLanesLoad{}, x);
    StoreEven(outA + x, v.a);
    StoreEven(outB + x, v.b);
  }
  if (steps == 0) {
    for (int x = first; x < end; x += 2) {
      const Pair<float> v = body(ScalarLoad{}, x);
      outA[x] = v.a;
      outB[x] = v.b;
    }
  }
}

void DemosaicTileKernel(DemosaicScratch& s, int width, int height,
                        const std::array<int, 4>& colour) {
  const std::ptrdiff_t w1 = width, w2 = 2 * w1, w3 = 3 * w1, w4 = 4 * w1;
  const float* cfa = s.mosaic.data();
  float* red = s.rgb[0].data();
  float* green = s.rgb[1].data();
  float* blue = s.rgb[2].data();
  float* planes[3] = {red, green, blue};
  float* hpV = s.highPassA.data();
  float* hpH = s.highPassB.data();
  float* lpf = s.lowPass.data();
  float* vh = s.vhDirection.data();
  float* pq = s.pqDirection.data();
  const auto colourAt = [&](int x, int y) {
    return colour[static_cast<std::size_t>((y & 1) * 2 + (x & 1))];
  };
  // First column of row y that is not green (each Bayer row has one green parity).
  const auto firstNonGreen = [&](int y) { return colourAt(0, y) == 1 ? 1 : 0; };
  // First column at or after margin with the parity of column `first`.
  const auto startAt = [](int margin, int first) { return margin + ((margin + first) & 1); };

  // Every sample goes to its own colour's plane as it is.
  for (int y = 0; y < height; ++y) {
    const std::ptrdiff_t row = y * w1;
    float* even = planes[colourAt(0, y)] + row;
    float* odd = planes[colourAt(1, y)] + row;
    for (int x = 0; x < width; x += 2) even[x] = cfa[row + x];
    for (int x = 1; x < width; x += 2) odd[x] = cfa[row + x];
  }

  // Squared vertical and horizontal high-pass responses: large where the picture changes along
  // that axis.
  const auto highPass = [](auto n3, auto n1, auto c, auto s1, auto s3, auto n2, auto s2) {
    const auto r = (n3 - n1 - s1 + s3) - 3.0f * (n2 + s2) + 6.0f * c;
    return r * r;
  };
  for (int y = 3; y < height - 3; ++y) {
    const float* c = cfa + y * w1;
    float* v = hpV + y * w1;
    float* h = hpH + y * w1;
    Across(3, width - 3, [&](auto at, int x) {
      const float* p = c + x;
      Put(v + x,
          highPass(at(p - w3), at(p - w1), at(p), at(p + w1), at(p + w3), at(p - w2), at(p + w2)));
      Put(h + x, highPass(at(p - 3), at(p - 1), at(p), at(p + 1), at(p + 3), at(p - 2), at(p + 2)));
    });
  }
  // 0: interpolate vertically, 1: horizontally.
  for (int y = 4; y < height - 4; ++y) {
    const std::ptrdiff_t row = y * w1;
    Across(4, width - 4, [&](auto at, int x) {
      using T = std::remove_const_t<decltype(at(hpV))>;
      const float* v = hpV + row + x;
      const float* h = hpH + row + x;
      const T vSum = Max(Fill<T>(kEpsSquared), at(v - w1) + at(v) + at(v + w1));
      const T hSum = Max(Fill<T>(kEpsSquared), at(h - 1) + at(h) + at(h + 1));
      Put(vh + row + x, vSum / (vSum + hSum));
    });
  }

  // Low-pass of the local neighbourhood, the reference the directional estimates are scaled by.
  // Only red and blue photosites need it; it is computed at every pixel, as runs of consecutive
  // pixels cost fewer shuffles than every other one.
  for (int y = 1; y < height - 1; ++y) {
    const std::ptrdiff_t row = y * w1;
    Across(1, width - 1, [&](auto at, int x) {
      const float* p = cfa + row + x;
      Put(lpf + row + x,
          at(p) + 0.5f * (at(p - w1) + at(p + w1) + at(p - 1) + at(p + 1)) +
              0.25f * (at(p - w1 - 1) + at(p - w1 + 1) + at(p + w1 - 1) + at(p + w1 + 1)));
    });
  }

  // Green at red and blue photosites.
  for (int y = 5; y < height - 5; ++y) {
    const std::ptrdiff_t row = y * w1;
    const float* c0 = cfa + row;
    const float* l0 = lpf + row;
    const float* d0 = vh + row;
    EveryOther(startAt(5, firstNonGreen(y)), width - 5, green + row, [&](auto at, int x) {
      const float* p = c0 + x;
      const float* l = l0 + x;
      const auto disc = Discriminate(at, d0 + x, w1);
      const auto c = at(p);
      const auto gradN = kEps + Abs(at(p - w1) - at(p + w1)) + Abs(c - at(p - w2)) +
                         Abs(at(p - w1) - at(p - w3)) + Abs(at(p - w2) - at(p - w4));
      const auto gradS = kEps + Abs(at(p + w1) - at(p - w1)) + Abs(c - at(p + w2)) +
                         Abs(at(p + w1) - at(p + w3)) + Abs(at(p + w2) - at(p + w4));
      const auto gradW = kEps + Abs(at(p - 1) - at(p + 1)) + Abs(c - at(p - 2)) +
                         Abs(at(p - 1) - at(p - 3)) + Abs(at(p - 2) - at(p - 4));
      const auto gradE = kEps + Abs(at(p + 1) - at(p - 1)) + Abs(c - at(p + 2)) +
                         Abs(at(p + 1) - at(p + 3)) + Abs(at(p + 2) - at(p + 4));
      const auto lc = at(l);
      const auto estN = at(p - w1) * 2.0f * lc / (kEps + lc + at(l - w2));
      const auto estS = at(p + w1) * 2.0f * lc / (kEps + lc + at(l + w2));
      const auto estW = at(p - 1) * 2.0f * lc / (kEps + lc + at(l - 2));
      const auto estE = at(p + 1) * 2.0f * lc / (kEps + lc + at(l + 2));
      const auto estV = (gradS * estN + gradN * estS) / (gradN + gradS);
      const auto estH = (gradW * estE + gradE * estW) / (gradE + gradW);
      return Clamp01(disc * estH + (1.0f - disc) * estV);
    });
  }

  // Diagonal high-pass responses (the vertical/horizontal planes are free again) and the
  // diagonal direction: 0 along north-west/south-east, 1 along north-east/south-west. Only red
  // and blue photosites need them, and their diagonal neighbours are red and blue too; they are
  // computed at every pixel all the same, as runs of consecutive pixels cost fewer shuffles than
  // every other one.
  float* hpP = hpV;
  float* hpQ = hpH;
  for (int y = 3; y < height - 3; ++y) {
    const std::ptrdiff_t row = y * w1;
    const float* c = cfa + row;
    Across(3, width - 3, [&](auto at, int x) {
      const float* p = c + x;
      Put(hpP + row + x, highPass(at(p - w3 - 3), at(p - w1 - 1), at(p), at(p + w1 + 1),
                                  at(p + w3 + 3), at(p - w2 - 2), at(p + w2 + 2)));
      Put(hpQ + row + x, highPass(at(p - w3 + 3), at(p - w1 + 1), at(p), at(p + w1 - 1),
                                  at(p + w3 - 3), at(p - w2 + 2), at(p + w2 - 2)));
    });
  }
  for (int y = 4; y < height - 4; ++y) {
    const std::ptrdiff_t row = y * w1;
    Across(4, width - 4, [&](auto at, int x) {
      using T = std::remove_const_t<decltype(at(cfa))>;
      const float* p = hpP + row + x;
      const float* q = hpQ + row + x;
      const T pSum = Max(Fill<T>(kEpsSquared), at(p - w1 - 1) + at(p) + at(p + w1 + 1));
      const T qSum = Max(Fill<T>(kEpsSquared), at(q - w1 + 1) + at(q) + at(q + w1 - 1));
      Put(pq + row + x, pSum / (pSum + qSum));
    });
  }

  // Red at blue photosites and blue at red ones, from the colour differences of the four
  // diagonal neighbours. A row's red or blue photosites all take the same plane, which is read
  // at the other colour's photosites only.
  for (int y = 7; y < height - 7; ++y) {
    const int first = startAt(7, firstNonGreen(y));
    const std::ptrdiff_t row = y * w1;
    float* other = planes[2 - colourAt(first, y)] + row;
    const float* g0 = green + row;
    const float* d0 = pq + row;
    EveryOther(first, width - 7, other, [&](auto at, int x) {
      const float* o = other + x;
      const float* gp = g0 + x;
      const auto disc = Discriminate(at, d0 + x, w1);
      const auto g = at(gp);
      const auto gradNW = kEps + Abs(at(o - w1 - 1) - at(o + w1 + 1)) +
                          Abs(at(o - w1 - 1) - at(o - w3 - 3)) + Abs(g - at(gp - w2 - 2));
      const auto gradNE = kEps + Abs(at(o - w1 + 1) - at(o + w1 - 1)) +
                          Abs(at(o - w1 + 1) - at(o - w3 + 3)) + Abs(g - at(gp - w2 + 2));
      const auto gradSW = kEps + Abs(at(o - w1 + 1) - at(o + w1 - 1)) +
                          Abs(at(o + w1 - 1) - at(o + w3 - 3)) + Abs(g - at(gp + w2 - 2));
      const auto gradSE = kEps + Abs(at(o - w1 - 1) - at(o + w1 + 1)) +
                          Abs(at(o + w1 + 1) - at(o + w3 + 3)) + Abs(g - at(gp + w2 + 2));
      const auto estNW = at(o - w1 - 1) - at(gp - w1 - 1);
      const auto estNE = at(o - w1 + 1) - at(gp - w1 + 1);
      const auto estSW = at(o + w1 - 1) - at(gp + w1 - 1);
      const auto estSE = at(o + w1 + 1) - at(gp + w1 + 1);
      const auto estP = (gradNW * estSE + gradSE * estNW) / (gradNW + gradSE);
      const auto estQ = (gradNE * estSW + gradSW * estNE) / (gradNE + gradSW);
      return Clamp01(g + (1.0f - disc) * estP + disc * estQ);
    });
  }

  // Red and blue at green photosites, from the colour differences of the four cardinal
  // neighbours, which now all have both (and are not written here). Both planes in one sweep:
  // they share the direction and the green terms.
  for (int y = kDemosaicBorder; y < height - kDemosaicBorder; ++y) {
    const int first = startAt(kDemosaicBorder, 1 - firstNonGreen(y));
    const std::ptrdiff_t row = y * w1;
    const float* g0 = green + row;
    const float* d0 = vh + row;
    float* r0 = red + row;
    float* b0 = blue + row;
    EveryOtherPair(first, width - kDemosaicBorder, r0, b0, [&](auto at, int x) {
      const float* gp = g0 + x;
      const auto disc = Discriminate(at, d0 + x, w1);
      const auto g = at(gp);
      const auto n1 = kEps + Abs(g - at(gp - w2));
      const auto s1 = kEps + Abs(g - at(gp + w2));
      const auto west1 = kEps + Abs(g - at(gp - 2));
      const auto e1 = kEps + Abs(g - at(gp + 2));
      const auto gN = at(gp - w1);
      const auto gS = at(gp + w1);
      const auto gW = at(gp - 1);
      const auto gE = at(gp + 1);
      const auto one = [&](const float* c) {
        const auto cN = at(c - w1);
        const auto cS = at(c + w1);
        const auto cW = at(c - 1);
        const auto cE = at(c + 1);
        const auto sn = Abs(cN - cS);
        const auto ew = Abs(cW - cE);
        const auto gradN = n1 + sn + Abs(cN - at(c - w3));
        const auto gradS = s1 + sn + Abs(cS - at(c + w3));
        const auto gradW = west1 + ew + Abs(cW - at(c - 3));
        const auto gradE = e1 + ew + Abs(cE - at(c + 3));
        const auto estN = cN - gN;
        const auto estS = cS - gS;
        const auto estW = cW - gW;
        const auto estE = cE - gE;
        const auto estV = (gradN * estS + gradS * estN) / (gradN + gradS);
        const auto estH = (gradE * estW + gradW * estE) / (gradE + gradW);
        return Clamp01(g + (1.0f - disc) * estV + disc * estH);
      };
      using T = std::remove_const_t<decltype(g)>;
      return Pair<T>{one(r0 + x), one(b0 + x)};
    });
  }
}

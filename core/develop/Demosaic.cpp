#include "Demosaic.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <type_traits>

#include "FloatLanes.h"

namespace {

constexpr float kEps = 1e-5f;
constexpr float kEpsSquared = 1e-10f;

// Scalar and four-lane forms of the operations the kernels use: one generic body serves a row's
// vector loop and its scalar tail, with the same operations in the same order.
inline float Abs(float v) {
  return std::fabs(v);
}
inline FloatLanes Abs(FloatLanes v) {
  return AbsLanes(v);
}
template <typename T>
T Fill(float v) {
  if constexpr (std::is_same_v<T, float>) {
    return v;
  } else {
    return Splat(v);
  }
}
inline float Max(float a, float b) {
  return std::max(a, b);
}
inline FloatLanes Max(FloatLanes a, FloatLanes b) {
  return MaxLanes(a, b);
}
inline float Min(float a, float b) {
  return std::min(a, b);
}
inline FloatLanes Min(FloatLanes a, FloatLanes b) {
  return MinLanes(a, b);
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
  FloatLanes operator()(const float* p) const { return LoadEvenLanes(p); }
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

// Runs body(load, x) over x = first, first + 2, ... below end: four at a time where four fit,
// storing lane k at x + 2 k, then one at a time. body returns the value for out[x]. The blended
// stores rewrite out[x + 7] too, so end must lie inside the row (every caller keeps a border).
template <typename Body>
void EveryOther(int first, int end, float* out, Body body) {
  int x = first;
  for (; x + 6 < end; x += 2 * kLanes) {
    const FloatLanes v = body(EvenLanesLoad{}, x);
    // Into the even lanes of out[x .. x + 7]; the odd ones are stored back as they were.
    StoreLanes(out + x, __builtin_shufflevector(v, LoadLanes(out + x), 0, 5, 1, 7));
    StoreLanes(out + x + 4, __builtin_shufflevector(v, LoadLanes(out + x + 4), 2, 5, 3, 7));
  }
  for (; x < end; x += 2) out[x] = body(ScalarLoad{}, x);
}

}  // namespace

void DemosaicScratch::Reserve(int width, int height) {
  const std::size_t n = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  if (mosaic.size() >= n) return;
  // Planes start on cache lines, so that no two share one.
  const std::size_t stride = (n + 15) / 16 * 16;
  std::span<float>* planes[] = {&mosaic,    &rgb[0],  &rgb[1],      &rgb[2],     &highPassA,
                                &highPassB, &lowPass, &vhDirection, &pqDirection};
  memory_.EnsureSize(std::size(planes) * stride * sizeof(float));
  auto* next = static_cast<float*>(memory_.data());
  for (std::span<float>* plane : planes) {
    *plane = {next, n};
    next += stride;
  }
}

void DemosaicTile(DemosaicScratch& s, int width, int height, const std::array<int, 4>& colour) {
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
    int x = 3;
    for (; x + kLanes <= width - 3; x += kLanes) {
      const float* p = c + x;
      StoreLanes(v + x,
                 highPass(LoadLanes(p - w3), LoadLanes(p - w1), LoadLanes(p), LoadLanes(p + w1),
                          LoadLanes(p + w3), LoadLanes(p - w2), LoadLanes(p + w2)));
      StoreLanes(h + x, highPass(LoadLanes(p - 3), LoadLanes(p - 1), LoadLanes(p), LoadLanes(p + 1),
                                 LoadLanes(p + 3), LoadLanes(p - 2), LoadLanes(p + 2)));
    }
    for (; x < width - 3; ++x) {
      const float* p = c + x;
      v[x] = highPass(p[-w3], p[-w1], p[0], p[w1], p[w3], p[-w2], p[w2]);
      h[x] = highPass(p[-3], p[-1], p[0], p[1], p[3], p[-2], p[2]);
    }
  }
  // 0: interpolate vertically, 1: horizontally.
  for (int y = 4; y < height - 4; ++y) {
    for (int x = 4; x < width - 4; ++x) {
      const std::ptrdiff_t i = y * w1 + x;
      const float v = std::max(kEpsSquared, hpV[i - w1] + hpV[i] + hpV[i + w1]);
      const float h = std::max(kEpsSquared, hpH[i - 1] + hpH[i] + hpH[i + 1]);
      vh[i] = v / (v + h);
    }
  }

  // Low-pass of the local neighbourhood, the reference the directional estimates are scaled by.
  for (int y = 1; y < height - 1; ++y) {
    const std::ptrdiff_t row = y * w1;
    EveryOther(startAt(1, firstNonGreen(y)), width - 1, lpf + row, [&](auto at, int x) {
      const float* p = cfa + row + x;
      return at(p) + 0.5f * (at(p - w1) + at(p + w1) + at(p - 1) + at(p + 1)) +
             0.25f * (at(p - w1 - 1) + at(p - w1 + 1) + at(p + w1 - 1) + at(p + w1 + 1));
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
  // and blue photosites need them, and their diagonal neighbours are red and blue too.
  float* hpP = hpV;
  float* hpQ = hpH;
  for (int y = 3; y < height - 3; ++y) {
    const int first = startAt(3, firstNonGreen(y));
    const std::ptrdiff_t row = y * w1;
    const float* c = cfa + row;
    EveryOther(first, width - 3, hpP + row, [&](auto at, int x) {
      const float* p = c + x;
      return highPass(at(p - w3 - 3), at(p - w1 - 1), at(p), at(p + w1 + 1), at(p + w3 + 3),
                      at(p - w2 - 2), at(p + w2 + 2));
    });
    EveryOther(first, width - 3, hpQ + row, [&](auto at, int x) {
      const float* p = c + x;
      return highPass(at(p - w3 + 3), at(p - w1 + 1), at(p), at(p + w1 - 1), at(p + w3 - 3),
                      at(p - w2 + 2), at(p + w2 - 2));
    });
  }
  for (int y = 4; y < height - 4; ++y) {
    const std::ptrdiff_t row = y * w1;
    EveryOther(startAt(4, firstNonGreen(y)), width - 4, pq + row, [&](auto at, int x) {
      using T = decltype(at(cfa));
      const float* p = hpP + row + x;
      const float* q = hpQ + row + x;
      const T pSum = Max(Fill<T>(kEpsSquared), at(p - w1 - 1) + at(p) + at(p + w1 + 1));
      const T qSum = Max(Fill<T>(kEpsSquared), at(q - w1 + 1) + at(q) + at(q + w1 - 1));
      return pSum / (pSum + qSum);
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
  // neighbours, which now all have both (and are not written here).
  for (int y = kDemosaicBorder; y < height - kDemosaicBorder; ++y) {
    const int first = startAt(kDemosaicBorder, 1 - firstNonGreen(y));
    const std::ptrdiff_t row = y * w1;
    const float* g0 = green + row;
    const float* d0 = vh + row;
    for (float* plane : {red, blue}) {
      float* c0 = plane + row;
      EveryOther(first, width - kDemosaicBorder, c0, [&](auto at, int x) {
        const float* gp = g0 + x;
        const float* c = c0 + x;
        const auto disc = Discriminate(at, d0 + x, w1);
        const auto g = at(gp);
        const auto n1 = kEps + Abs(g - at(gp - w2));
        const auto s1 = kEps + Abs(g - at(gp + w2));
        const auto west1 = kEps + Abs(g - at(gp - 2));
        const auto e1 = kEps + Abs(g - at(gp + 2));
        const auto sn = Abs(at(c - w1) - at(c + w1));
        const auto ew = Abs(at(c - 1) - at(c + 1));
        const auto gradN = n1 + sn + Abs(at(c - w1) - at(c - w3));
        const auto gradS = s1 + sn + Abs(at(c + w1) - at(c + w3));
        const auto gradW = west1 + ew + Abs(at(c - 1) - at(c - 3));
        const auto gradE = e1 + ew + Abs(at(c + 1) - at(c + 3));
        const auto estN = at(c - w1) - at(gp - w1);
        const auto estS = at(c + w1) - at(gp + w1);
        const auto estW = at(c - 1) - at(gp - 1);
        const auto estE = at(c + 1) - at(gp + 1);
        const auto estV = (gradN * estS + gradS * estN) / (gradN + gradS);
        const auto estH = (gradE * estW + gradW * estE) / (gradE + gradW);
        return Clamp01(g + (1.0f - disc) * estV + disc * estH);
      });
    }
  }
}

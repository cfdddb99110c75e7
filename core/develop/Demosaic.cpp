#include "Demosaic.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "FloatLanes.h"

namespace {

constexpr float kEps = 1e-5f;
constexpr float kEpsSquared = 1e-10f;

inline float Square(float v) {
  return v * v;
}

inline float Clamp01(float v) {
  return std::min(1.0f, std::max(0.0f, v));
}

// Of the pixel's own direction weight and the mean of its four diagonal neighbours, the one
// further from indecision (0.5): a single noisy pixel cannot flip the direction of its area.
inline float Discriminate(const float* dir, std::ptrdiff_t i, std::ptrdiff_t w) {
  const float central = dir[i];
  const float around = 0.25f * (dir[i - w - 1] + dir[i - w + 1] + dir[i + w - 1] + dir[i + w + 1]);
  return std::fabs(0.5f - central) < std::fabs(0.5f - around) ? around : central;
}

}  // namespace

void DemosaicScratch::Reserve(int width, int height) {
  const std::size_t n = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  for (std::vector<float>* plane : {&mosaic, &rgb[0], &rgb[1], &rgb[2], &highPassA, &highPassB,
                                    &lowPass, &vhDirection, &pqDirection}) {
    if (plane->size() < n) plane->resize(n);
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
    for (int x = startAt(1, firstNonGreen(y)); x < width - 1; x += 2) {
      const std::ptrdiff_t i = y * w1 + x;
      lpf[i] = cfa[i] + 0.5f * (cfa[i - w1] + cfa[i + w1] + cfa[i - 1] + cfa[i + 1]) +
               0.25f * (cfa[i - w1 - 1] + cfa[i - w1 + 1] + cfa[i + w1 - 1] + cfa[i + w1 + 1]);
    }
  }

  // Green at red and blue photosites.
  for (int y = 5; y < height - 5; ++y) {
    for (int x = startAt(5, firstNonGreen(y)); x < width - 5; x += 2) {
      const std::ptrdiff_t i = y * w1 + x;
      const float disc = Discriminate(vh, i, w1);
      const float c = cfa[i];
      const float gradN = kEps + std::fabs(cfa[i - w1] - cfa[i + w1]) + std::fabs(c - cfa[i - w2]) +
                          std::fabs(cfa[i - w1] - cfa[i - w3]) +
                          std::fabs(cfa[i - w2] - cfa[i - w4]);
      const float gradS = kEps + std::fabs(cfa[i + w1] - cfa[i - w1]) + std::fabs(c - cfa[i + w2]) +
                          std::fabs(cfa[i + w1] - cfa[i + w3]) +
                          std::fabs(cfa[i + w2] - cfa[i + w4]);
      const float gradW = kEps + std::fabs(cfa[i - 1] - cfa[i + 1]) + std::fabs(c - cfa[i - 2]) +
                          std::fabs(cfa[i - 1] - cfa[i - 3]) + std::fabs(cfa[i - 2] - cfa[i - 4]);
      const float gradE = kEps + std::fabs(cfa[i + 1] - cfa[i - 1]) + std::fabs(c - cfa[i + 2]) +
                          std::fabs(cfa[i + 1] - cfa[i + 3]) + std::fabs(cfa[i + 2] - cfa[i + 4]);
      const float l = lpf[i];
      const float estN = cfa[i - w1] * 2 * l / (kEps + l + lpf[i - w2]);
      const float estS = cfa[i + w1] * 2 * l / (kEps + l + lpf[i + w2]);
      const float estW = cfa[i - 1] * 2 * l / (kEps + l + lpf[i - 2]);
      const float estE = cfa[i + 1] * 2 * l / (kEps + l + lpf[i + 2]);
      const float estV = (gradS * estN + gradN * estS) / (gradN + gradS);
      const float estH = (gradW * estE + gradE * estW) / (gradE + gradW);
      green[i] = Clamp01(disc * estH + (1 - disc) * estV);
    }
  }

  // Diagonal high-pass responses (the vertical/horizontal planes are free again) and the
  // diagonal direction: 0 along north-west/south-east, 1 along north-east/south-west. Only red
  // and blue photosites need them, and their diagonal neighbours are red and blue too.
  float* hpP = hpV;
  float* hpQ = hpH;
  for (int y = 3; y < height - 3; ++y) {
    for (int x = startAt(3, firstNonGreen(y)); x < width - 3; x += 2) {
      const std::ptrdiff_t i = y * w1 + x;
      hpP[i] = Square((cfa[i - w3 - 3] - cfa[i - w1 - 1] - cfa[i + w1 + 1] + cfa[i + w3 + 3]) -
                      3 * (cfa[i - w2 - 2] + cfa[i + w2 + 2]) + 6 * cfa[i]);
      hpQ[i] = Square((cfa[i - w3 + 3] - cfa[i - w1 + 1] - cfa[i + w1 - 1] + cfa[i + w3 - 3]) -
                      3 * (cfa[i - w2 + 2] + cfa[i + w2 - 2]) + 6 * cfa[i]);
    }
  }
  for (int y = 4; y < height - 4; ++y) {
    for (int x = startAt(4, firstNonGreen(y)); x < width - 4; x += 2) {
      const std::ptrdiff_t i = y * w1 + x;
      const float p = std::max(kEpsSquared, hpP[i - w1 - 1] + hpP[i] + hpP[i + w1 + 1]);
      const float q = std::max(kEpsSquared, hpQ[i - w1 + 1] + hpQ[i] + hpQ[i + w1 - 1]);
      pq[i] = p / (p + q);
    }
  }

  // Red at blue photosites and blue at red ones, from the colour differences of the four
  // diagonal neighbours.
  for (int y = 7; y < height - 7; ++y) {
    for (int x = startAt(7, firstNonGreen(y)); x < width - 7; x += 2) {
      const std::ptrdiff_t i = y * w1 + x;
      float* other = planes[2 - colourAt(x, y)];
      const float disc = Discriminate(pq, i, w1);
      const float g = green[i];
      const float gradNW = kEps + std::fabs(other[i - w1 - 1] - other[i + w1 + 1]) +
                           std::fabs(other[i - w1 - 1] - other[i - w3 - 3]) +
                           std::fabs(g - green[i - w2 - 2]);
      const float gradNE = kEps + std::fabs(other[i - w1 + 1] - other[i + w1 - 1]) +
                           std::fabs(other[i - w1 + 1] - other[i - w3 + 3]) +
                           std::fabs(g - green[i - w2 + 2]);
      const float gradSW = kEps + std::fabs(other[i - w1 + 1] - other[i + w1 - 1]) +
                           std::fabs(other[i + w1 - 1] - other[i + w3 - 3]) +
                           std::fabs(g - green[i + w2 - 2]);
      const float gradSE = kEps + std::fabs(other[i - w1 - 1] - other[i + w1 + 1]) +
                           std::fabs(other[i + w1 + 1] - other[i + w3 + 3]) +
                           std::fabs(g - green[i + w2 + 2]);
      const float estNW = other[i - w1 - 1] - green[i - w1 - 1];
      const float estNE = other[i - w1 + 1] - green[i - w1 + 1];
      const float estSW = other[i + w1 - 1] - green[i + w1 - 1];
      const float estSE = other[i + w1 + 1] - green[i + w1 + 1];
      const float estP = (gradNW * estSE + gradSE * estNW) / (gradNW + gradSE);
      const float estQ = (gradNE * estSW + gradSW * estNE) / (gradNE + gradSW);
      other[i] = Clamp01(g + (1 - disc) * estP + disc * estQ);
    }
  }

  // Red and blue at green photosites, from the colour differences of the four cardinal
  // neighbours, which now all have both.
  for (int y = kDemosaicBorder; y < height - kDemosaicBorder; ++y) {
    for (int x = startAt(kDemosaicBorder, 1 - firstNonGreen(y)); x < width - kDemosaicBorder;
         x += 2) {
      const std::ptrdiff_t i = y * w1 + x;
      const float disc = Discriminate(vh, i, w1);
      const float g = green[i];
      const float n1 = kEps + std::fabs(g - green[i - w2]);
      const float s1 = kEps + std::fabs(g - green[i + w2]);
      const float west1 = kEps + std::fabs(g - green[i - 2]);
      const float e1 = kEps + std::fabs(g - green[i + 2]);
      for (float* c : {red, blue}) {
        const float sn = std::fabs(c[i - w1] - c[i + w1]);
        const float ew = std::fabs(c[i - 1] - c[i + 1]);
        const float gradN = n1 + sn + std::fabs(c[i - w1] - c[i - w3]);
        const float gradS = s1 + sn + std::fabs(c[i + w1] - c[i + w3]);
        const float gradW = west1 + ew + std::fabs(c[i - 1] - c[i - 3]);
        const float gradE = e1 + ew + std::fabs(c[i + 1] - c[i + 3]);
        const float estN = c[i - w1] - green[i - w1];
        const float estS = c[i + w1] - green[i + w1];
        const float estW = c[i - 1] - green[i - 1];
        const float estE = c[i + 1] - green[i + 1];
        const float estV = (gradN * estS + gradS * estN) / (gradN + gradS);
        const float estH = (gradE * estW + gradW * estE) / (gradE + gradW);
        c[i] = Clamp01(g + (1 - disc) * estV + disc * estH);
      }
    }
  }
}

#include "ColourCurve.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "PixelKernels.h"

namespace {

// Mirrors a coordinate about the edge pixels of [0, size), keeping its parity (and so its
// colour in the 2 x 2 pattern).
int Mirror(int v, int size) {
  for (int pass = 0; pass < 4 && (v < 0 || v >= size); ++pass) {
    if (v < 0) v = -v;
    if (v >= size) v = 2 * (size - 1) - v;
  }
  if (v < 0 || v >= size) {  // a picture narrower than the mirrored span: nearest same colour
    const int parity = v & 1;
    v = std::clamp(v, 0, size - 1);
    if ((v & 1) != parity) v += v > 0 ? -1 : 1;
  }
  return v;
}

}  // namespace

void LoadMosaicTile(const RawFrame& frame, const CellLevels& levels, int x0, int y0, int width,
                    int height, float* out) {
  constexpr float kToUnit = 1.0f / 65535.0f;
  // Columns map the same way on every row: look them up once.
  std::vector<int> columns(static_cast<std::size_t>(width));
  for (int x = 0; x < width; ++x)
    columns[static_cast<std::size_t>(x)] = Mirror(x0 + x, frame.width);
  const bool inside = x0 >= 0 && x0 + width <= frame.width;

  for (int y = 0; y < height; ++y) {
    const int py = Mirror(y0 + y, frame.height);
    const std::uint16_t* row = frame.mosaic + (frame.top + py) * frame.pitch + frame.left;
    const std::size_t cell = static_cast<std::size_t>((py & 1) * 2);
    // The pair of photosites a row repeats, for even and odd columns.
    const float black[2] = {levels.black[cell], levels.black[cell + 1]};
    const float scale[2] = {levels.scale[cell], levels.scale[cell + 1]};
    const float clip[2] = {levels.clip[cell], levels.clip[cell + 1]};
    float* o = out + static_cast<std::ptrdiff_t>(y) * width;
    const auto level = [&](int px) {
      const float v = static_cast<float>(row[px]) - black[px & 1];
      if (v <= 0) return 0.0f;
      // Truncated like the reference rendering's integer scaling, clipped at white.
      const float scaled =
          std::min(clip[px & 1], static_cast<float>(static_cast<int>(v * scale[px & 1])));
      return scaled * kToUnit;
    };
    if (inside) {
      LevelRow(row + x0, width, x0, black, scale, clip, o);
    } else {
      for (int x = 0; x < width; ++x) o[x] = level(columns[static_cast<std::size_t>(x)]);
    }
  }
}

namespace {

// Pixels whose nearest channel to its clip is past this share of it are blended towards
// neutral, fully so at the clip: no hard edge around a rebuilt highlight.
constexpr float kRebuildStart = 0.8f;

void RebuildHighlight(const HighlightRebuild& rebuild, float& r, float& g, float& b) {
  const float nearClip =
      std::max({r / rebuild.saturation[0], g / rebuild.saturation[1], b / rebuild.saturation[2]});
  if (nearClip <= kRebuildStart) return;
  const float w = std::min(1.0f, (nearClip - kRebuildStart) / (1.0f - kRebuildStart));
  // The largest channel is the best lower bound of the light: the unclipped ones still carry
  // it where the first has stopped.
  const float neutral = std::max({r, g, b});
  r += w * (neutral - r);
  g += w * (neutral - g);
  b += w * (neutral - b);
}

}  // namespace

void WriteRgbTile(const TilePlanes& planes, const std::array<std::array<float, 3>, 3>& matrix,
                  int x0, int y0, int columns, int rows, const Rgb16Target& target,
                  const TransferTable* curve, const HighlightRebuild* rebuild) {
  constexpr float kLift = 1.0f / 64;
  const float gain = rebuild != nullptr ? rebuild->gain : 1.0f;
  float m[3][3];
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c)
      m[r][c] = matrix[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)] * 65535.0f;
  }
  if (rebuild != nullptr) {
    for (auto& row : m) {
      for (float& v : row) v *= gain;
    }
  }
  for (int y = y0; y < y0 + rows; ++y) {
    const std::ptrdiff_t base =
        static_cast<std::ptrdiff_t>(y - planes.tileY) * planes.stride + (x0 - planes.tileX);
    const float* rp = planes.red + base;
    const float* gp = planes.green + base;
    const float* bp = planes.blue + base;
    std::uint16_t* o = target.origin + y * target.rowStep + x0 * target.pixelStep;
    if (rebuild == nullptr) {
      // The loop below without the highlight rebuild, four pixels at a time.
      MatrixRow(rp, gp, bp, m, kLift, columns, o, target.pixelStep, curve);
      continue;
    }
    for (int x = 0; x < columns; ++x, o += target.pixelStep) {
      float r = rp[x], g = gp[x], b = bp[x];
      RebuildHighlight(*rebuild, r, g, b);
      for (int c = 0; c < 3; ++c) {
        const float v = m[c][0] * r + m[c][1] * g + m[c][2] * b;
        // Truncated as the reference rendering truncates its integer samples; the small lift
        // keeps float noise in a value that is an integer there from falling one code short.
        const auto code = static_cast<std::uint16_t>(std::clamp(v + kLift, 0.0f, 65535.0f));
        o[c] = curve != nullptr ? (*curve)[code] : code;
      }
    }
  }
}

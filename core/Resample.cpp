#include "Resample.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "FloatLanes.h"

namespace {

constexpr double kLobes = 3.0;

double Lanczos3(double x) {
  x = std::abs(x);
  if (x < 1e-12) return 1.0;
  if (x >= kLobes) return 0.0;
  const double px = std::numbers::pi * x;
  return kLobes * std::sin(px) * std::sin(px / kLobes) / (px * px);
}

// Target rows [firstRow, endRow).
void ResampleRows(const Rgb16Source& source, const Rgb16Target& target, const TransferTable* curve,
                  const AxisFilter& across, const AxisFilter& down, int firstRow, int endRow) {
  const std::size_t rowFloats = static_cast<std::size_t>(target.width) * 3;
  // Plain variables, not a structured binding: the lambda below captures them.
  const int c0 = source.channel[0];
  const int c1 = source.channel[1];
  const int c2 = source.channel[2];

  // Source rows filtered across, kept in a ring as long as some target row still needs them.
  const int ringRows = down.maxCount();
  std::vector<float> ring(ringRows * rowFloats);
  std::vector<int> ringHolds(ringRows, -1);
  // One source row as R, G, B and a spare lane per pixel, so that a tap is one multiply-add
  // of all three channels; each channel's sum still runs tap by tap in the same order.
  std::vector<float> sourceRow(static_cast<std::size_t>(source.width) * kLanes);
  std::vector<float> sum(rowFloats);

  auto filterAcross = [&](int y, float* out) {
    const std::uint16_t* in = source.origin + y * source.rowStep;
    for (int x = 0; x < source.width; ++x, in += source.pixelStep) {
      float* pixel = &sourceRow[static_cast<std::size_t>(x) * kLanes];
      pixel[0] = in[c0];
      pixel[1] = in[c1];
      pixel[2] = in[c2];
      pixel[3] = 0;
    }
    for (int x = 0; x < target.width; ++x) {
      const float* w = &across.weights[static_cast<std::size_t>(x) * across.stride];
      const float* s = &sourceRow[static_cast<std::size_t>(across.first[x]) * kLanes];
      FloatLanes rgb = Splat(0);
      for (int k = 0; k < across.count[x]; ++k, s += kLanes) rgb += Splat(w[k]) * LoadLanes(s);
      out[3 * x] = rgb[0];
      out[3 * x + 1] = rgb[1];
      out[3 * x + 2] = rgb[2];
    }
  };
  for (int y = firstRow; y < endRow; ++y) {
    const int first = down.first[y];
    const int count = down.count[y];
    const float* w = &down.weights[static_cast<std::size_t>(y) * down.stride];
    std::fill(sum.begin(), sum.end(), 0.0f);
    for (int k = 0; k < count; ++k) {
      const int row = first + k;
      float* filtered = &ring[(row % ringRows) * rowFloats];
      if (ringHolds[row % ringRows] != row) {
        filterAcross(row, filtered);
        ringHolds[row % ringRows] = row;
      }
      const float weight = w[k];
      for (std::size_t i = 0; i < rowFloats; ++i) sum[i] += weight * filtered[i];
    }
    std::uint16_t* out = target.origin + y * target.rowStep;
    for (int x = 0; x < target.width; ++x, out += target.pixelStep) {
      out[0] = Quantise(sum[3 * x], curve);
      out[1] = Quantise(sum[3 * x + 1], curve);
      out[2] = Quantise(sum[3 * x + 2], curve);
    }
  }
}

}  // namespace

AxisFilter MakeAxisFilter(int sourceSize, int targetSize) {
  const double scale = static_cast<double>(sourceSize) / targetSize;
  const double widen = std::max(1.0, scale);
  const double support = kLobes * widen;

  AxisFilter filter;
  filter.stride = static_cast<int>(std::ceil(2 * support)) + 2;
  filter.first.resize(targetSize);
  filter.count.resize(targetSize);
  filter.weights.assign(static_cast<std::size_t>(targetSize) * filter.stride, 0.0f);

  std::vector<double> w(filter.stride);
  for (int i = 0; i < targetSize; ++i) {
    // Pixel centres sit at half-integers, so both edges of the picture line up exactly.
    const double centre = (i + 0.5) * scale;
    int lo = std::max(0, static_cast<int>(std::floor(centre - support - 0.5)));
    int hi = std::min(sourceSize - 1, static_cast<int>(std::ceil(centre + support - 0.5)));
    double sum = 0;
    for (int j = lo; j <= hi; ++j) {
      w[j - lo] = Lanczos3((j + 0.5 - centre) / widen);
      sum += w[j - lo];
    }
    // Drop the vanishing ends (an unscaled axis keeps exactly one tap).
    int begin = 0, end = hi - lo + 1;
    while (begin < end - 1 && std::abs(w[begin]) < 1e-7 * sum) ++begin;
    while (end - 1 > begin && std::abs(w[end - 1]) < 1e-7 * sum) --end;
    sum = 0;
    for (int k = begin; k < end; ++k) sum += w[k];
    filter.first[i] = lo + begin;
    filter.count[i] = end - begin;
    float* out = &filter.weights[static_cast<std::size_t>(i) * filter.stride];
    for (int k = begin; k < end; ++k) out[k - begin] = static_cast<float>(w[k] / sum);
  }
  return filter;
}

Rgb16Target FlippedTarget(std::uint16_t* buffer, int width, int height, int flip) {
  Rgb16Target target;
  target.width = width;
  target.height = height;
  const std::ptrdiff_t w = width;
  const std::ptrdiff_t h = height;
  std::ptrdiff_t start;
  if (flip & 4) {
    target.pixelStep = (flip & 1) ? -3 * h : 3 * h;
    target.rowStep = (flip & 2) ? -3 : 3;
    start = ((flip & 1) ? (w - 1) * h : 0) + ((flip & 2) ? h - 1 : 0);
  } else {
    target.pixelStep = (flip & 1) ? -3 : 3;
    target.rowStep = (flip & 2) ? -3 * w : 3 * w;
    start = ((flip & 2) ? (h - 1) * w : 0) + ((flip & 1) ? w - 1 : 0);
  }
  target.origin = buffer + 3 * start;
  return target;
}

void CopyRgb16(const Rgb16Source& source, const Rgb16Target& target, const TransferTable* curve) {
  // Tiles keep a turned target's scattered writes within the cache.
  const bool turned = target.pixelStep != 3 && target.pixelStep != -3;
  const int tileRows = turned ? 64 : 32;
  const int tileColumns = turned ? 64 : 256;
  const auto [c0, c1, c2] = source.channel;
  for (int y0 = 0; y0 < source.height; y0 += tileRows) {
    const int y1 = std::min(source.height, y0 + tileRows);
    for (int x0 = 0; x0 < source.width; x0 += tileColumns) {
      const int x1 = std::min(source.width, x0 + tileColumns);
      for (int y = y0; y < y1; ++y) {
        const std::uint16_t* in = source.origin + y * source.rowStep + x0 * source.pixelStep;
        std::uint16_t* out = target.origin + y * target.rowStep + x0 * target.pixelStep;
        if (curve) {
          const TransferTable& table = *curve;
          for (int x = x0; x < x1; ++x, in += source.pixelStep, out += target.pixelStep) {
            out[0] = table[in[c0]];
            out[1] = table[in[c1]];
            out[2] = table[in[c2]];
          }
        } else {
          for (int x = x0; x < x1; ++x, in += source.pixelStep, out += target.pixelStep) {
            out[0] = in[c0];
            out[1] = in[c1];
            out[2] = in[c2];
          }
        }
      }
    }
  }
}

void ResampleRgb16(const Rgb16Source& source, const Rgb16Target& target, const TransferTable* curve,
                   int threads) {
  const AxisFilter across = MakeAxisFilter(source.width, target.width);
  const AxisFilter down = MakeAxisFilter(source.height, target.height);
  SplitAcrossThreads(target.height, threads, [&](int firstRow, int endRow) {
    ResampleRows(source, target, curve, across, down, firstRow, endRow);
  });
}

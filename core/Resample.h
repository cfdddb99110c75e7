// Copying and scaling of 16-bit RGB pictures addressed through steps, so that a flipped or
// transposed target, or a source with four samples per pixel, needs no extra copy.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <thread>
#include <vector>

#include "TransferCurve.h"

// Sample c of pixel (x, y) is origin[y * rowStep + x * pixelStep + channel[c]].
struct Rgb16Source {
  const std::uint16_t* origin = nullptr;
  int width = 0;
  int height = 0;
  std::ptrdiff_t pixelStep = 3;
  std::ptrdiff_t rowStep = 0;
  std::array<int, 3> channel{0, 1, 2};
};

// Sample c of pixel (x, y) is origin[y * rowStep + x * pixelStep + c]. Steps may be negative.
struct Rgb16Target {
  std::uint16_t* origin = nullptr;
  int width = 0;
  int height = 0;
  std::ptrdiff_t pixelStep = 3;
  std::ptrdiff_t rowStep = 0;
};

// A packed RGB buffer (3 samples per pixel, rows top-down, nothing between rows) seen through a
// flip, so that writing the picture in its recorded layout stores it turned: flip bit 4
// transposes, bit 2 turns it upside down, bit 1 mirrors it (the dcraw/LibRaw convention; 3 is a
// half turn, 5 a quarter turn left, 6 a quarter turn right). width x height is the picture
// before the flip; the buffer holds it after.
Rgb16Target FlippedTarget(std::uint16_t* buffer, int width, int height, int flip);

// Copies a source to a target of the same size, mapping every sample through curve when one is
// given.
void CopyRgb16(const Rgb16Source& source, const Rgb16Target& target, const TransferTable* curve);

// Runs work(begin, end) over [0, count) split into at most `threads` contiguous parts, on that
// many threads (the caller's among them).
template <typename Work>
void SplitAcrossThreads(int count, int threads, Work&& work);

// The filter ResampleRgb16 applies along one axis: for every target position the first source
// index and the normalised weights of the source samples that contribute to it.
struct AxisFilter {
  std::vector<int> first;
  std::vector<int> count;
  std::vector<float> weights;  // count[i] weights of target i start at i * stride
  int stride = 0;

  const float* weightsOf(int i) const {
    return weights.data() + static_cast<std::ptrdiff_t>(i) * stride;
  }
  int maxCount() const { return *std::max_element(count.begin(), count.end()); }
};
AxisFilter MakeAxisFilter(int sourceSize, int targetSize);

// A filtered value as a 16-bit sample: clamped to 0..65535, rounded, then through curve when
// one is given.
inline std::uint16_t Quantise(float value, const TransferTable* curve) {
  const float clamped = std::clamp(value, 0.0f, 65535.0f);
  const auto sample = static_cast<std::uint16_t>(clamped + 0.5f);
  return curve ? (*curve)[sample] : sample;
}

// Scales the whole source to exactly the target's size, each axis on its own (the aspect ratio
// is not kept, nothing is cropped). Lanczos-3, widened by the reduction factor when shrinking so
// that detail finer than the target's pixels is filtered out instead of aliasing. The filter
// works on the values as given, so callers pass linear light; results are clamped to 0..65535
// and rounded before curve (when given) is applied. Target rows are shared among `threads`
// threads.
void ResampleRgb16(const Rgb16Source& source, const Rgb16Target& target, const TransferTable* curve,
                   int threads = 1);

template <typename Work>
void SplitAcrossThreads(int count, int threads, Work&& work) {
  threads = std::max(1, std::min(threads, count));
  std::vector<std::exception_ptr> failures(static_cast<std::size_t>(threads));
  {
    std::vector<std::jthread> helpers;
    helpers.reserve(static_cast<std::size_t>(threads) - 1);
    for (int t = 1; t < threads; ++t) {
      helpers.emplace_back([&work, &failures, count, threads, t] {
        try {
          work(static_cast<int>(std::int64_t{count} * t / threads),
               static_cast<int>(std::int64_t{count} * (t + 1) / threads));
        } catch (...) {
          failures[static_cast<std::size_t>(t)] = std::current_exception();
        }
      });
    }
    try {
      work(0, static_cast<int>(std::int64_t{count} / threads));
    } catch (...) {
      failures[0] = std::current_exception();
    }
  }
  for (const std::exception_ptr& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
}

#include "ReducedDevelop.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ColourCurve.h"
#include "Demosaic.h"
#include "FloatLanes.h"
#include "HugePageBuffer.h"

namespace {

// Tiles of a strip: as wide as the full path's, and shorter, so that a thread's strip of
// developed rows stays a few MB while the demosaic's overlap above and below stays a small
// share of the work.
constexpr int kStripTileWidth = 256;
constexpr int kStripTileHeight = 128;
constexpr int kStripRows = kStripTileHeight - 2 * kDemosaicBorder;  // even

struct Context {
  const RawFrame& frame;
  const CellLevels& levels;
  const HighlightRebuild* rebuild;
  const AxisFilter& across;
  const AxisFilter& down;
  const Rgb16Target& target;
  const TransferTable* curve;
};

// Rows a thread keeps for its next frame.
struct ReducedRows {
  std::vector<float> sourceRow;  // one developed row as R, G, B, 0 per pixel
  std::vector<float> filtered;   // developed rows scaled across, R, G, B, 0 per target pixel
  std::vector<float> sum;        // one target row before quantising
};

// A thread's working memory for one develop: its rows, and tile planes borrowed for the develop.
struct ReducedScratch {
  explicit ReducedScratch(ReducedRows& rows)
      : sourceRow(rows.sourceRow), filtered(rows.filtered), sum(rows.sum) {}

  BorrowedDemosaicScratch borrowed;
  DemosaicScratch& tile = *borrowed;
  std::vector<float>& sourceRow;
  std::vector<float>& filtered;
  std::vector<float>& sum;
};

void Grow(std::vector<float>& v, std::size_t n) {
  if (v.size() < n) v.resize(n);
}

// Develops the target rows of one band, streaming the picture rows they need: strips of rows
// through the full path's tiles (load, demosaic, highlight rebuild, matrix, truncation to 16-bit
// linear codes), each row scaled across as soon as it is there, each target row scaled down as
// soon as its rows are.
class Band {
 public:
  Band(const Context& c, ReducedScratch& s) : c_(c), s_(s) {
    const int width = c.frame.width;
    stripStep_ = 3 * static_cast<std::ptrdiff_t>(width);
    strip_ =
        TakeSpareBuffer(static_cast<std::size_t>(kStripRows) * width * 3 * sizeof(std::uint16_t));
    s.tile.Reserve(kStripTileWidth, kStripTileHeight);
    ringRows_ = c.down.maxCount();
    targetFloats_ = static_cast<std::size_t>(c.target.width) * kLanes;
    Grow(s.sourceRow, static_cast<std::size_t>(width) * kLanes);
    Grow(s.filtered, static_cast<std::size_t>(ringRows_) * targetFloats_);
    Grow(s.sum, targetFloats_);
    filteredHolds_.assign(static_cast<std::size_t>(ringRows_), -1);
  }
  ~Band() { KeepSpareBuffer(std::move(strip_)); }
  Band(const Band&) = delete;
  Band& operator=(const Band&) = delete;

  // Target rows [firstRow, endRow): the same sums in the same order as ResampleRgb16 over the
  // full path's linear picture, so the result is that picture scaled, byte for byte.
  void Develop(int firstRow, int endRow) {
    float* sum = s_.sum.data();
    for (int y = firstRow; y < endRow; ++y) {
      const int first = c_.down.first[static_cast<std::size_t>(y)];
      const int count = c_.down.count[static_cast<std::size_t>(y)];
      const float* w = c_.down.weightsOf(y);
      std::fill(sum, sum + targetFloats_, 0.0f);
      for (int k = 0; k < count; ++k) {
        const float* row = Filtered(first + k);
        const FloatLanes weight = Splat(w[k]);
        for (std::size_t i = 0; i < targetFloats_; i += kLanes)
          StoreLanes(sum + i, LoadLanes(sum + i) + weight * LoadLanes(row + i));
      }
      std::uint16_t* out = c_.target.origin + y * c_.target.rowStep;
      for (int x = 0; x < c_.target.width; ++x, out += c_.target.pixelStep) {
        const float* v = sum + static_cast<std::ptrdiff_t>(x) * kLanes;
        out[0] = Quantise(v[0], c_.curve);
        out[1] = Quantise(v[1], c_.curve);
        out[2] = Quantise(v[2], c_.curve);
      }
    }
  }

 private:
  // Picture row y developed and scaled across.
  const float* Filtered(int y) {
    const int slot = y % ringRows_;
    float* out = s_.filtered.data() + static_cast<std::size_t>(slot) * targetFloats_;
    if (filteredHolds_[static_cast<std::size_t>(slot)] == y) return out;
    filteredHolds_[static_cast<std::size_t>(slot)] = y;
    if (y < stripTop_ || y >= stripTop_ + stripRows_) DevelopStrip(y & ~1);

    const std::uint16_t* in = Strip() + (y - stripTop_) * stripStep_;
    float* pixel = s_.sourceRow.data();
    for (int x = 0; x < c_.frame.width; ++x, in += 3, pixel += kLanes) {
      pixel[0] = in[0];
      pixel[1] = in[1];
      pixel[2] = in[2];
      pixel[3] = 0;
    }
    // Four target pixels at a time, each summing its taps in order as ResampleRgb16 does: four
    // independent chains of additions instead of one keep the adder busy.
    const AxisFilter& across = c_.across;
    const float* source = s_.sourceRow.data();
    const auto taps = [&](int x) {
      return source +
             static_cast<std::ptrdiff_t>(across.first[static_cast<std::size_t>(x)]) * kLanes;
    };
    const auto count = [&](int x) { return across.count[static_cast<std::size_t>(x)]; };
    int x = 0;
    for (; x + 4 <= c_.target.width; x += 4) {
      const float* w[4] = {across.weightsOf(x), across.weightsOf(x + 1), across.weightsOf(x + 2),
                           across.weightsOf(x + 3)};
      const float* p[4] = {taps(x), taps(x + 1), taps(x + 2), taps(x + 3)};
      const int n[4] = {count(x), count(x + 1), count(x + 2), count(x + 3)};
      const int common = std::min({n[0], n[1], n[2], n[3]});
      FloatLanes rgb[4] = {Splat(0.0f), Splat(0.0f), Splat(0.0f), Splat(0.0f)};
      for (int k = 0; k < common; ++k) {
        const std::ptrdiff_t at = std::ptrdiff_t{k} * kLanes;
        rgb[0] += Splat(w[0][k]) * LoadLanes(p[0] + at);
        rgb[1] += Splat(w[1][k]) * LoadLanes(p[1] + at);
        rgb[2] += Splat(w[2][k]) * LoadLanes(p[2] + at);
        rgb[3] += Splat(w[3][k]) * LoadLanes(p[3] + at);
      }
      for (int j = 0; j < 4; ++j) {
        for (int k = common; k < n[j]; ++k)
          rgb[j] += Splat(w[j][k]) * LoadLanes(p[j] + std::ptrdiff_t{k} * kLanes);
        StoreLanes(out + static_cast<std::ptrdiff_t>(x + j) * kLanes, rgb[j]);
      }
    }
    for (; x < c_.target.width; ++x) {
      const float* w = across.weightsOf(x);
      const float* p = taps(x);
      FloatLanes rgb = Splat(0.0f);
      for (int k = 0; k < count(x); ++k, p += kLanes) rgb += Splat(w[k]) * LoadLanes(p);
      StoreLanes(out + static_cast<std::ptrdiff_t>(x) * kLanes, rgb);
    }
    return out;
  }

  std::uint16_t* Strip() const { return static_cast<std::uint16_t*>(strip_.data()); }

  // Picture rows [top, top + kStripRows) (fewer at the bottom) into the strip; top is even, as
  // the tiles' colour pattern needs.
  void DevelopStrip(int top) {
    const RawFrame& f = c_.frame;
    stripTop_ = top;
    stripRows_ = std::min(kStripRows, f.height - top);
    const int tileY = top - kDemosaicBorder;
    const int h = std::min(kStripTileHeight, (stripRows_ + 2 * kDemosaicBorder + 1) & ~1);
    const int inner = kStripTileWidth - 2 * kDemosaicBorder;
    // Strip row r is picture row top + r.
    const Rgb16Target strip{Strip(), f.width, stripRows_, 3, stripStep_};
    for (int x0 = 0; x0 < f.width; x0 += inner) {
      const int columns = std::min(inner, f.width - x0);
      const int w = std::min(kStripTileWidth, (columns + 2 * kDemosaicBorder + 1) & ~1);
      const int tileX = x0 - kDemosaicBorder;
      LoadMosaicTile(f, c_.levels, tileX, tileY, w, h, s_.tile.mosaic.data());
      DemosaicTile(s_.tile, w, h, c_.levels.colour);
      const TilePlanes planes{
          s_.tile.rgb[0].data(), s_.tile.rgb[1].data(), s_.tile.rgb[2].data(), w, tileX,
          -kDemosaicBorder};
      WriteRgbTile(planes, f.cameraToOutput, x0, 0, columns, stripRows_, strip, nullptr,
                   c_.rebuild);
    }
  }

  const Context& c_;
  ReducedScratch& s_;
  HugePageBuffer strip_;
  std::ptrdiff_t stripStep_ = 0;
  int stripTop_ = 0;
  int stripRows_ = 0;
  int ringRows_ = 0;
  std::size_t targetFloats_ = 0;
  std::vector<int> filteredHolds_;
};

}  // namespace

bool ReducedDevelopFits(const RawFrame& frame, int width, int height) {
  return width >= 1 && height >= 1 && 2 * std::int64_t{width} <= frame.width &&
         2 * std::int64_t{height} <= frame.height;
}

void DevelopReduced(const RawFrame& frame, const Rgb16Target& target, const TransferTable* curve,
                    int threads) {
  CheckFrame(frame);
  const CellLevels levels = ScaleFactors(frame);
  const HighlightRebuild rebuild{levels.gain, levels.saturation};
  const AxisFilter across = MakeAxisFilter(frame.width, target.width);
  const AxisFilter down = MakeAxisFilter(frame.height, target.height);
  const Context context{
      frame, levels, frame.reconstructHighlights ? &rebuild : nullptr, across, down, target, curve};
  SplitAcrossThreads(target.height, threads, [&](int firstRow, int endRow) {
    thread_local ReducedRows rows;
    ReducedScratch scratch(rows);
    Band(context, scratch).Develop(firstRow, endRow);
  });
}

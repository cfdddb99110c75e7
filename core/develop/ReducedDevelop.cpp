#include "ReducedDevelop.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "ColourCurve.h"
#include "Demosaic.h"
#include "Exception.h"
#include "HugePageBuffer.h"
#include "ReducedKernels.h"

namespace {

// Tiles of a strip: as wide as the full path's, and shorter, so that a thread's strip of
// developed rows stays small while the demosaic's overlap above and below stays a small share
// of the work.
constexpr int kStripTileWidth = 256;
constexpr int kStripTileHeight = 128;
constexpr int kStripRows = kStripTileHeight - 2 * kDemosaicBorder;  // even
constexpr int kStripColumns = kStripTileWidth - 2 * kDemosaicBorder;
// Target pixels scaled down at a time (a multiple of the widest kernel step).
constexpr int kDownColumns = 32;

// Floats of each tile plane: the tile and room for the vector loads that reach past a plane's
// end (on cache lines of their own).
constexpr std::size_t kPlaneFloats =
    (std::size_t{kStripTileWidth} * kStripTileHeight + 64 + 15) / 16 * 16;

// The planes of a tile's scratch, to be placed in memory the develop already has: fresh planes
// per conversion cost their page faults.
constexpr std::size_t kTilePlanes = 9;
static_assert(sizeof(DemosaicScratch) ==
                  kTilePlanes * sizeof(std::span<float>) + sizeof(HugePageBuffer),
              "every plane of the tile scratch is placed here");
std::array<std::span<float>*, kTilePlanes> TilePlanesOf(DemosaicScratch& s) {
  return {&s.mosaic,    &s.rgb[0],  &s.rgb[1],      &s.rgb[2],     &s.highPassA,
          &s.highPassB, &s.lowPass, &s.vhDirection, &s.pqDirection};
}

// The lift WriteRgbTile adds before truncating to codes.
constexpr float kLift = 1.0f / 64;

// How far back the taps of target positions still to come reach: firstFrom[i] is the least
// first tap of positions i and after, span the most source positions from there to a
// position's last tap.
struct Reach {
  std::vector<int> firstFrom;
  int span = 0;
};

Reach ReachOf(const AxisFilter& filter) {
  Reach reach;
  reach.firstFrom.resize(filter.first.size());
  int least = INT_MAX;
  for (std::size_t i = filter.first.size(); i-- > 0;) {
    least = std::min(least, filter.first[i]);
    reach.firstFrom[i] = least;
    reach.span = std::max(reach.span, filter.first[i] + filter.count[i] - least);
  }
  return reach;
}

struct Context {
  const RawFrame& frame;
  const CellLevels& levels;
  const HighlightRebuild* rebuild;
  const AxisFilter& across;
  const AxisFilter& down;
  const Reach& acrossReach;
  const Reach& downReach;
  const Rgb16Target& target;
  const TransferTable* curve;
  float matrix[3][3];  // the frame's matrix in codes, as WriteRgbTile applies it
  DemosaicWidth width;
};

// Develops the target rows of one band, streaming the picture rows they need in strips through
// the full path's tiles (load, demosaic, highlight rebuild, matrix, truncation to 16-bit linear
// codes). Each tile's codes go into blocks of rows held column by column, which are scaled
// across as soon as the columns a target pixel needs are there; each target row is scaled down
// as soon as its rows are.
class Band {
 public:
  // memory: Bytes(c) of this band's own, on a cache line.
  Band(const Context& c, void* memory) : c_(c) {
    lanes_ = RowLanes(c.width);
    blockFloats_ = BlockFloats(c);
    rowFloats_ = static_cast<std::size_t>(c.target.width) * 3;
    ringRows_ = RingRows(c);
    blocks_ = static_cast<float*>(memory);
    ring_ = blocks_ + Lines(static_cast<std::size_t>(Blocks(c)) * blockFloats_);
    float* planes = ring_ + Lines(static_cast<std::size_t>(ringRows_) * rowFloats_);
    for (std::span<float>* plane : TilePlanesOf(tile_)) {
      *plane = {planes, kPlaneFloats};
      planes += kPlaneFloats;
    }
    codes_ = reinterpret_cast<std::uint16_t*>(planes);
    // A no-op unless the kernel needs more room past a plane than given here: then it places
    // the planes in memory of its own.
    tile_.Reserve(kStripTileWidth, kStripTileHeight);
  }

  // Bytes a band works in: its blocks, its ring of rows and (for the highlight rebuild) one
  // tile's codes, rounded to whole pages.
  static std::size_t Bytes(const Context& c) {
    const std::size_t floats = Lines(static_cast<std::size_t>(Blocks(c)) * BlockFloats(c)) +
                               Lines(static_cast<std::size_t>(RingRows(c)) *
                                     static_cast<std::size_t>(c.target.width) * 3) +
                               kTilePlanes * kPlaneFloats;
    const std::size_t codes =
        c.rebuild != nullptr ? std::size_t{3} * kStripColumns * kStripRows : 0;
    const std::size_t bytes = floats * sizeof(float) + codes * sizeof(std::uint16_t);
    return (bytes + 4095) / 4096 * 4096;
  }

  Band(const Band&) = delete;
  Band& operator=(const Band&) = delete;

  // Target rows [firstRow, endRow): the same sums in the same order as ResampleRgb16 over the
  // full path's linear picture, so the result is that picture scaled, byte for byte.
  void Develop(int firstRow, int endRow) {
    if (firstRow >= endRow) return;
    const AxisFilter& down = c_.down;
    // The band's picture rows: from the first its target rows reach to the last.
    int last = 0;
    for (int y = firstRow; y < endRow; ++y) {
      const auto i = static_cast<std::size_t>(y);
      last = std::max(last, down.first[i] + down.count[i]);
    }
    std::vector<const float*> rows(static_cast<std::size_t>(down.maxCount()));
    int top = c_.downReach.firstFrom[static_cast<std::size_t>(firstRow)] & ~1;
    for (int y = firstRow; y < endRow;) {
      if (top >= last) throw Exception("Bayer frame: scaling taps past the picture");
      DevelopStrip(top, last);
      top += stripRows_;
      int ready = y;
      while (ready < endRow && down.first[static_cast<std::size_t>(ready)] +
                                       down.count[static_cast<std::size_t>(ready)] <=
                                   top)
        ++ready;
      // A few columns of every ready row at a time: the rows' shares of those columns stay in
      // the core's cache from one target row to the next, which takes most of the same rows.
      for (int x = 0; x < c_.target.width; x += kDownColumns) {
        const int pixels = std::min(kDownColumns, c_.target.width - x);
        for (int t = y; t < ready; ++t) {
          const auto i = static_cast<std::size_t>(t);
          for (int k = 0; k < down.count[i]; ++k)
            rows[static_cast<std::size_t>(k)] = RingRow(down.first[i] + k) + 3 * x;
          ScaleDownRow(rows.data(), down.weightsOf(t), down.count[i], pixels,
                       c_.target.origin + t * c_.target.rowStep + x * c_.target.pixelStep,
                       c_.target.pixelStep, c_.curve, c_.width);
        }
      }
      y = ready;
    }
  }

 private:
  // Floats rounded up to whole cache lines, so that every part starts on one.
  static std::size_t Lines(std::size_t floats) { return (floats + 15) / 16 * 16; }
  static int Blocks(const Context& c) {
    return (kStripRows + RowLanes(c.width) - 1) / RowLanes(c.width);
  }
  // One block of row lanes, as wide as a tile and the widest reach of columns before it.
  static std::size_t BlockFloats(const Context& c) {
    return static_cast<std::size_t>(kStripColumns + c.acrossReach.span) * 3 * RowLanes(c.width);
  }
  static int RingRows(const Context& c) { return kStripRows + c.downReach.span; }

  float* RingRow(int y) const {
    return ring_ + static_cast<std::size_t>(y % ringRows_) * rowFloats_;
  }
  float* Block(int b) const { return blocks_ + static_cast<std::size_t>(b) * blockFloats_; }

  // Picture rows [top, top + kStripRows) (fewer at the band's end, kept even up to the
  // picture's), scaled across, into the ring; top is even, as the tiles' colour pattern needs.
  void DevelopStrip(int top, int last) {
    const RawFrame& f = c_.frame;
    const AxisFilter& across = c_.across;
    stripRows_ = std::min({kStripRows, f.height - top, (last - top + 1) & ~1});
    const int blocks = (stripRows_ + lanes_ - 1) / lanes_;
    const int tileY = top - kDemosaicBorder;
    const int h = std::min(kStripTileHeight, (stripRows_ + 2 * kDemosaicBorder + 1) & ~1);
    const FilterTaps taps{across.first.data(), across.count.data(), across.weights.data(),
                          across.stride};
    const std::ptrdiff_t column = 3 * std::ptrdiff_t{lanes_};
    float* out[16];
    int column0 = 0;  // picture column of the blocks' first
    int nextX = 0;    // first target column not yet scaled
    for (int x0 = 0; x0 < f.width; x0 += kStripColumns) {
      const int columns = std::min(kStripColumns, f.width - x0);
      const int w = std::min(kStripTileWidth, (columns + 2 * kDemosaicBorder + 1) & ~1);
      LoadMosaicTile(f, c_.levels, x0 - kDemosaicBorder, tileY, w, h, tile_.mosaic.data());
      DemosaicTile(tile_, w, h, c_.levels.colour, c_.width);
      WriteCodes(w, x0 - column0, columns);

      const int available = x0 + columns;
      int endX = nextX;
      while (endX < c_.target.width && across.first[static_cast<std::size_t>(endX)] +
                                               across.count[static_cast<std::size_t>(endX)] <=
                                           available)
        ++endX;
      for (int b = 0; b < blocks; ++b) {
        const int rows = std::min(lanes_, stripRows_ - b * lanes_);
        for (int l = 0; l < rows; ++l) out[l] = RingRow(top + b * lanes_ + l);
        ScaleAcrossLanes(Block(b), column0, taps, nextX, endX, rows, out, c_.width);
      }
      nextX = endX;
      if (nextX >= c_.target.width) continue;
      // Keep the columns the target pixels still to come reach back to.
      const int keepFrom =
          std::min(available, c_.acrossReach.firstFrom[static_cast<std::size_t>(nextX)]);
      if (keepFrom > column0) {
        for (int b = 0; b < blocks; ++b) {
          std::memmove(Block(b), Block(b) + (keepFrom - column0) * column,
                       static_cast<std::size_t>(available - keepFrom) * column * sizeof(float));
        }
        column0 = keepFrom;
      }
    }
  }

  // The tile's developed codes of strip rows into the blocks, from block column `at` on.
  void WriteCodes(int w, int at, int columns) {
    const TilePlanes planes{tile_.rgb[0].data(), tile_.rgb[1].data(), tile_.rgb[2].data(), w,
                            -kDemosaicBorder,    -kDemosaicBorder};
    const std::ptrdiff_t column = 3 * std::ptrdiff_t{lanes_};
    const auto lane = [&](int r) { return Block(r / lanes_) + at * column + r % lanes_; };
    if (c_.rebuild == nullptr) {
      for (int r = 0; r < stripRows_; r += lanes_) {
        const std::ptrdiff_t base =
            static_cast<std::ptrdiff_t>(r + kDemosaicBorder) * w + kDemosaicBorder;
        MatrixBlockToLanes(planes.red + base, planes.green + base, planes.blue + base, w,
                           std::min(lanes_, stripRows_ - r), c_.matrix, kLift, columns, lane(r),
                           c_.width);
      }
      return;
    }
    // The rebuild blends each pixel on its own: the full path's own loop, then the codes moved.
    const Rgb16Target codes{codes_, columns, stripRows_, 3, 3 * std::ptrdiff_t{columns}};
    WriteRgbTile(planes, c_.frame.cameraToOutput, 0, 0, columns, stripRows_, codes, nullptr,
                 c_.rebuild);
    for (int r = 0; r < stripRows_; ++r) {
      const std::uint16_t* in = codes_ + static_cast<std::ptrdiff_t>(r) * 3 * columns;
      float* o = lane(r);
      for (int x = 0; x < columns; ++x, in += 3, o += column) {
        o[0] = in[0];
        o[lanes_] = in[1];
        o[2 * lanes_] = in[2];
      }
    }
  }

  const Context& c_;
  DemosaicScratch tile_;  // its planes in the band's memory
  int lanes_ = 4;
  std::size_t blockFloats_ = 0;  // one block of lanes_ rows, the widest reach of columns
  std::size_t rowFloats_ = 0;    // one row scaled across
  int ringRows_ = 0;
  float* blocks_ = nullptr;
  float* ring_ = nullptr;  // rows scaled across, row y in slot y % ringRows_
  std::uint16_t* codes_ = nullptr;
  int stripRows_ = 0;
};

}  // namespace

bool ReducedDevelopFits(const RawFrame& frame, int width, int height) {
  return width >= 1 && height >= 1 && width <= frame.width && height <= frame.height &&
         (width < frame.width || height < frame.height);
}

void DevelopReduced(const RawFrame& frame, const Rgb16Target& target, const TransferTable* curve,
                    int threads) {
  CheckFrame(frame);
  const CellLevels levels = ScaleFactors(frame);
  const HighlightRebuild rebuild{levels.gain, levels.saturation};
  const AxisFilter across = MakeAxisFilter(frame.width, target.width);
  const AxisFilter down = MakeAxisFilter(frame.height, target.height);
  const Reach acrossReach = ReachOf(across);
  const Reach downReach = ReachOf(down);
  Context context{frame,
                  levels,
                  frame.reconstructHighlights ? &rebuild : nullptr,
                  across,
                  down,
                  acrossReach,
                  downReach,
                  target,
                  curve,
                  {},
                  WidestDemosaic()};
  // As WriteRgbTile scales it (the rebuild path calls WriteRgbTile itself).
  for (int r = 0; r < 3; ++r) {
    for (int col = 0; col < 3; ++col) {
      context.matrix[r][col] =
          frame.cameraToOutput[static_cast<std::size_t>(r)][static_cast<std::size_t>(col)] *
          65535.0f;
    }
  }
  // One block for all bands, taken from the memory earlier work has touched already (the
  // file's bytes, spent by now, or an earlier frame's): no fresh pages to fault in.
  const int bands = std::max(1, std::min(threads, target.height));
  const std::size_t bandBytes = Band::Bytes(context);
  struct Spare {
    HugePageBuffer buffer;
    ~Spare() { KeepSpareBuffer(std::move(buffer)); }
  } memory{TakeSpareBuffer(bandBytes * static_cast<std::size_t>(bands))};
  std::atomic<int> nextBand{0};
  SplitAcrossThreads(target.height, bands, [&](int firstRow, int endRow) {
    auto* own = static_cast<std::byte*>(memory.buffer.data()) +
                static_cast<std::size_t>(nextBand++) * bandBytes;
    Band(context, own).Develop(firstRow, endRow);
  });
}

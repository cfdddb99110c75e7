#include "TileScheduler.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

#include "ColourCurve.h"
#include "Demosaic.h"
#include "Exception.h"
#include "HugePageBuffer.h"
#include "ReducedDevelop.h"

namespace {

double MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace

void DevelopTiles(const RawFrame& frame, const Rgb16Target& target, const TransferTable* curve,
                  int threads, int tileSide, const RowsDone& rowsDone) {
  CheckFrame(frame);
  if (target.width != frame.width || target.height != frame.height) {
    throw Exception("Bayer frame: target size differs from the picture");
  }
  const CellLevels levels = ScaleFactors(frame);
  // Colours of the 2 x 2 cell seen from a tile: tiles start at even positions, so it is the
  // frame's own.
  const std::array<int, 4> colour = levels.colour;
  const HighlightRebuild rebuild{levels.gain, levels.saturation};

  tileSide = std::max(tileSide & ~1, 2 * kDemosaicBorder + 2);
  const int inner = tileSide - 2 * kDemosaicBorder;  // even
  const int across = (frame.width + inner - 1) / inner;
  const int down = (frame.height + inner - 1) / inner;
  const int tiles = across * down;
  std::atomic<int> next{0};
  // Tiles finished in each row of tiles, and the rows of tiles complete from the top.
  std::vector<std::atomic<int>> finished(rowsDone ? static_cast<std::size_t>(down) : 0);
  std::vector<bool> complete(finished.size());
  std::mutex completeMutex;
  int completeRows = 0;
  const auto tileFinished = [&](int tileRow) {
    if (++finished[static_cast<std::size_t>(tileRow)] < across) return;
    std::lock_guard lock(completeMutex);
    complete[static_cast<std::size_t>(tileRow)] = true;
    const int before = completeRows;
    while (completeRows < down && complete[static_cast<std::size_t>(completeRows)]) ++completeRows;
    if (completeRows > before) rowsDone(std::min(frame.height, completeRows * inner));
  };

  SplitAcrossThreads(threads, threads, [&](int, int) {
    // One set of planes per thread, handed on to the next develop's threads.
    BorrowedDemosaicScratch borrowed;
    DemosaicScratch& scratch = *borrowed;
    scratch.Reserve(tileSide, tileSide);
    for (int t = next++; t < tiles; t = next++) {
      const int x0 = (t % across) * inner;
      const int y0 = (t / across) * inner;
      const int columns = std::min(inner, frame.width - x0);
      const int rows = std::min(inner, frame.height - y0);
      // The tile's planes, trimmed at the picture's right and bottom edges (kept even).
      const int w = std::min(tileSide, ((columns + 2 * kDemosaicBorder) + 1) & ~1);
      const int h = std::min(tileSide, ((rows + 2 * kDemosaicBorder) + 1) & ~1);
      const int tileX = x0 - kDemosaicBorder;
      const int tileY = y0 - kDemosaicBorder;
      LoadMosaicTile(frame, levels, tileX, tileY, w, h, scratch.mosaic.data());
      DemosaicTile(scratch, w, h, colour);
      const TilePlanes planes{
          scratch.rgb[0].data(), scratch.rgb[1].data(), scratch.rgb[2].data(), w, tileX, tileY};
      WriteRgbTile(planes, frame.cameraToOutput, x0, y0, columns, rows, target, curve,
                   frame.reconstructHighlights ? &rebuild : nullptr);
      if (rowsDone) tileFinished(t / across);
    }
  });
}

void DevelopBayer(const RawFrame& frame, std::uint16_t* out, int width, int height,
                  const TransferTable* curve, int threads, DevelopTimes* times,
                  const RowsDone& rowsDone) {
  CheckFrame(frame);
  const auto start = std::chrono::steady_clock::now();
  const int targetWidth = (frame.flip & 4) ? height : width;
  const int targetHeight = (frame.flip & 4) ? width : height;
  if (ReducedDevelopFits(frame, targetWidth, targetHeight)) {
    DevelopReduced(frame, FlippedTarget(out, targetWidth, targetHeight, frame.flip), curve,
                   threads);
    if (times != nullptr) times->tiles = MillisecondsSince(start);
    return;
  }
  if (width == frame.outputWidth() && height == frame.outputHeight()) {
    DevelopTiles(frame, FlippedTarget(out, frame.width, frame.height, frame.flip), curve, threads,
                 kTileSide, frame.flip == 0 ? rowsDone : RowsDone());
    if (times != nullptr) times->tiles = MillisecondsSince(start);
    return;
  }
  // Enlarged output: the whole picture first, then one clean resampling of linear light;
  // colours stay at their true positions.
  const std::size_t samples = std::size_t{3} * static_cast<std::size_t>(frame.width) *
                              static_cast<std::size_t>(frame.height);
  // Taken from the frames before and handed on to the next, whatever happens here.
  struct Spare {
    HugePageBuffer buffer;
    ~Spare() { KeepSpareBuffer(std::move(buffer)); }
  } linear{TakeSpareBuffer(samples * sizeof(std::uint16_t))};
  auto* full = static_cast<std::uint16_t*>(linear.buffer.data());
  DevelopTiles(frame, FlippedTarget(full, frame.width, frame.height, 0), nullptr, threads);
  const auto scaled = std::chrono::steady_clock::now();
  if (times != nullptr) times->tiles = MillisecondsSince(start);

  Rgb16Source source;
  source.origin = full;
  source.width = frame.width;
  source.height = frame.height;
  source.pixelStep = 3;
  source.rowStep = 3 * std::ptrdiff_t{frame.width};
  ResampleRgb16(source, FlippedTarget(out, targetWidth, targetHeight, frame.flip), curve, threads);
  if (times != nullptr) times->resample = MillisecondsSince(scaled);
}

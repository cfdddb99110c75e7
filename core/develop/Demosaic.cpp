#include "Demosaic.h"

#include <atomic>
#include <cstddef>
#include <mutex>
#include <type_traits>
#include <vector>

#include "FloatLanes.h"

namespace {

// Four lanes, the baseline every x86-64 has.
constexpr int kWidth = kLanes;
#include "WideLanes.h"
inline Lanes LoadEven(const float* p) {
  return LoadEvenLanes(p);
}
inline void StoreEven(float* p, Lanes v) {
  StoreLanes(p, __builtin_shufflevector(v, LoadLanes(p), 0, 5, 1, 7));
  StoreLanes(p + 4, __builtin_shufflevector(v, LoadLanes(p + 4), 2, 5, 3, 7));
}

#include "DemosaicKernel.h"

}  // namespace

#if defined(__x86_64__)
// The same kernel over eight and sixteen lanes, in files of their own built for AVX2 and
// AVX-512.
void DemosaicTileAvx2(DemosaicScratch& s, int width, int height, const std::array<int, 4>& colour);
void DemosaicTileAvx512(DemosaicScratch& s, int width, int height,
                        const std::array<int, 4>& colour);
#endif

namespace {

// Tile planes of threads that have finished, for the threads of the next develop: conversions
// run on new threads, and fresh planes cost their page faults again (at most one set per thread
// that ever ran at once is kept).
class ScratchPool {
 public:
  ScratchPool() { open = true; }
  ~ScratchPool() { open = false; }

  std::unique_ptr<DemosaicScratch> Take() {
    if (open) {
      std::lock_guard lock(mutex_);
      if (!spare_.empty()) {
        std::unique_ptr<DemosaicScratch> scratch = std::move(spare_.back());
        spare_.pop_back();
        return scratch;
      }
    }
    return std::make_unique<DemosaicScratch>();
  }
  void Keep(std::unique_ptr<DemosaicScratch> scratch) noexcept {
    if (!open) return;
    try {
      std::lock_guard lock(mutex_);
      spare_.push_back(std::move(scratch));
    } catch (...) {
      // No room to keep it: it goes back to the system.
    }
  }

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<DemosaicScratch>> spare_;

  // Develops may end while static objects are destroyed at exit (an SDK object released
  // late): after the pool is gone, planes go back to the system. Constant-initialised, so valid
  // at any time.
  static inline std::atomic<bool> open{false};
};

ScratchPool scratchPool;

}  // namespace

BorrowedDemosaicScratch::BorrowedDemosaicScratch() : planes_(scratchPool.Take()) {}

BorrowedDemosaicScratch::~BorrowedDemosaicScratch() {
  scratchPool.Keep(std::move(planes_));
}

void DemosaicScratch::Reserve(int width, int height) {
  // A load of even lanes reads 2 * kWidth floats for kWidth used ones: its last float lies one
  // past the last value it uses, which may be the plane's last; the widest kernel has 16 lanes.
  constexpr std::size_t kSlack = 32;
  const std::size_t n = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) + kSlack;
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

bool DemosaicWidthAvailable(DemosaicWidth width) {
  switch (width) {
    case DemosaicWidth::kFour:
      return true;
    case DemosaicWidth::kEight:
#if defined(__x86_64__)
      return __builtin_cpu_supports("avx2");
#else
      return false;
#endif
    case DemosaicWidth::kSixteen:
#if defined(__x86_64__)
      return __builtin_cpu_supports("avx512f");
#else
      return false;
#endif
  }
  return false;
}

DemosaicWidth WidestDemosaic() {
  static const DemosaicWidth widest = [] {
    for (DemosaicWidth w : {DemosaicWidth::kSixteen, DemosaicWidth::kEight}) {
      if (DemosaicWidthAvailable(w)) return w;
    }
    return DemosaicWidth::kFour;
  }();
  return widest;
}

void DemosaicTile(DemosaicScratch& s, int width, int height, const std::array<int, 4>& colour,
                  DemosaicWidth lanes) {
#if defined(__x86_64__)
  if (lanes == DemosaicWidth::kSixteen) {
    DemosaicTileAvx512(s, width, height, colour);
    return;
  }
  if (lanes == DemosaicWidth::kEight) {
    DemosaicTileAvx2(s, width, height, colour);
    return;
  }
#endif
  (void)lanes;
  DemosaicTileKernel(s, width, height, colour);
}

#include "HugePageBuffer.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <system_error>
#include <utility>
#include <vector>

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Spares of the whole process. Frames may end while static objects are being destroyed at exit
// (an SDK object released late): after the pool is gone, buffers simply go back to the system.
std::atomic<bool> poolOpen{false};  // constant-initialised, so valid at any time

struct SparePool {
  SparePool() { poolOpen = true; }
  ~SparePool() { poolOpen = false; }
  std::mutex mutex;
  std::vector<HugePageBuffer> buffers;
};
SparePool pool;

// Huge pages are the cheap way to map a frame's memory, except on virtual machines that give
// memory which has stayed free for a few seconds back to their host (free page reporting): the
// host maps such a huge page again one small page at a time when it is first touched, about 5 ms
// against 0.2 ms for a huge page freed recently and 1 ms for the same memory in small pages.
// Pages mapped here are timed, and once one has come that slowly, the process keeps to small
// pages.
std::atomic<bool> hugePagesSlow{false};
constexpr auto kSlowHugePage = std::chrono::microseconds(2000);

enum class Mapping { kRefused, kQuick, kSlow };

// Maps the whole pages of [begin, end), at most one huge page, now.
Mapping MapNow(std::uintptr_t begin, std::uintptr_t end) {
#ifdef MADV_POPULATE_WRITE
  const auto start = std::chrono::steady_clock::now();
  // Refused: a kernel without the advice (Linux 5.14), or no memory left; the owner's first
  // writes map the pages then.
  if (::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE) != 0) {
    return Mapping::kRefused;
  }
  return std::chrono::steady_clock::now() - start > kSlowHugePage ? Mapping::kSlow
                                                                  : Mapping::kQuick;
#else
  (void)begin;
  (void)end;
  return Mapping::kRefused;
#endif
}

// Small pages for what is not mapped yet of [begin, end) (page-aligned), and for every later
// buffer.
void KeepToSmallPages(std::uintptr_t begin, std::uintptr_t end) {
  hugePagesSlow = true;
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_NOHUGEPAGE);
}

}  // namespace

HugePageBuffer::HugePageBuffer(std::size_t bytes) {
  EnsureSize(bytes);
}

HugePageBuffer::~HugePageBuffer() {
  Release();
}

HugePageBuffer::HugePageBuffer(HugePageBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

HugePageBuffer& HugePageBuffer::operator=(HugePageBuffer&& other) noexcept {
  if (this != &other) {
    Release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

void HugePageBuffer::EnsureSize(std::size_t bytes) {
  if (bytes <= size_) return;
  Release();
  if (bytes == 0) return;
  const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  // Over-allocate by one huge page so the block can start on a huge-page boundary.
  const std::size_t mapped = rounded + kHugePage;
  void* block = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) throw std::bad_alloc();
  auto* start = static_cast<char*>(block);
  auto* aligned = reinterpret_cast<char*>(
      (reinterpret_cast<std::uintptr_t>(start) + kHugePage - 1) & ~(kHugePage - 1));
  // Give back the unaligned head and the tail beyond the rounded size.
  if (aligned > start) ::munmap(start, static_cast<std::size_t>(aligned - start));
  char* end = aligned + rounded;
  char* mappedEnd = start + mapped;
  if (mappedEnd > end) ::munmap(end, static_cast<std::size_t>(mappedEnd - end));
  data_ = aligned;
  size_ = rounded;
  if (hugePagesSlow) return;
  // Advice only: without transparent huge pages the buffer works the same, slower to touch.
  ::madvise(aligned, rounded, MADV_HUGEPAGE);
  // The first two huge pages are mapped now, to see how huge pages come (the owner's first
  // writes would map them anyway).
  const auto base = reinterpret_cast<std::uintptr_t>(aligned);
  const std::size_t probes = std::min<std::size_t>(2, rounded / kHugePage);
  for (std::size_t i = 0; i < probes; ++i) {
    const Mapping mapping = MapNow(base + i * kHugePage, base + (i + 1) * kHugePage);
    if (mapping == Mapping::kRefused) return;
    if (mapping == Mapping::kSlow) {
      KeepToSmallPages(base + (i + 1) * kHugePage, base + rounded);
      return;
    }
  }
}

void HugePageBuffer::Release() noexcept {
  if (data_ != nullptr) ::munmap(data_, size_);
  data_ = nullptr;
  size_ = 0;
}

HugePageBuffer TakeSpareBuffer(std::size_t bytes) {
  if (poolOpen) {
    std::lock_guard lock(pool.mutex);
    auto& spares = pool.buffers;
    auto best = spares.end();
    for (auto it = spares.begin(); it != spares.end(); ++it) {
      if (it->size() >= bytes && (best == spares.end() || it->size() < best->size())) best = it;
    }
    if (best != spares.end()) {
      HugePageBuffer buffer = std::move(*best);
      spares.erase(best);
      return buffer;
    }
  }
  return HugePageBuffer(bytes);
}

void KeepSpareBuffer(HugePageBuffer buffer) noexcept {
  if (buffer.data() == nullptr || !poolOpen) return;
  try {
    std::lock_guard lock(pool.mutex);
    pool.buffers.push_back(std::move(buffer));
  } catch (...) {
    // No room to keep it: the buffer goes back to the system as it leaves.
  }
}

void DropSpareBuffers() noexcept {
  if (!poolOpen) return;
  std::vector<HugePageBuffer> dropped;  // unmapped after the lock is released
  {
    std::lock_guard lock(pool.mutex);
    dropped.swap(pool.buffers);
  }
}

PageWarmer::PageWarmer(std::vector<std::span<std::byte>> regions) {
  try {
    thread_ = std::thread([this, regions = std::move(regions)] { Run(regions); });
  } catch (const std::system_error&) {
    // No thread to spare: the pages are mapped when they are first written, as without a warmer.
  }
}

void PageWarmer::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void PageWarmer::Run(const std::vector<std::span<std::byte>>& regions) {
  const auto page = static_cast<std::uintptr_t>(4096);
  const auto wholePages = [page](std::span<std::byte> region) {
    // Whole pages inside the region only; the pages at its edges are mapped when written.
    return std::pair(
        (reinterpret_cast<std::uintptr_t>(region.data()) + page - 1) & ~(page - 1),
        (reinterpret_cast<std::uintptr_t>(region.data()) + region.size()) & ~(page - 1));
  };
  for (std::size_t r = 0; r < regions.size(); ++r) {
    auto [begin, end] = wholePages(regions[r]);
    while (end > begin && !stop_) {
      // Steps end on huge-page boundaries, so each maps whole huge pages where it can.
      const std::uintptr_t step = std::max(begin, (end - 1) & ~(kHugePage - 1));
      const Mapping mapping = MapNow(step, end);
      if (mapping == Mapping::kRefused) return;
      if (mapping == Mapping::kSlow && !hugePagesSlow) {
        KeepToSmallPages(begin, step);
        for (std::size_t later = r + 1; later < regions.size(); ++later) {
          const auto [laterBegin, laterEnd] = wholePages(regions[later]);
          KeepToSmallPages(laterBegin, laterEnd);
        }
      }
      end = step;
    }
  }
}

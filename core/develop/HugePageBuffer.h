// A large buffer of anonymous memory advised for transparent huge pages: the first touch of a
// 2 MiB page costs about what one 4 KiB page does, and a frame touches tens of thousands. Where
// huge pages are seen to come slowly (some virtual machines, see the source), the process keeps
// to small pages instead.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <thread>
#include <vector>

class HugePageBuffer {
 public:
  HugePageBuffer() = default;
  explicit HugePageBuffer(std::size_t bytes);
  ~HugePageBuffer();
  HugePageBuffer(HugePageBuffer&& other) noexcept;
  HugePageBuffer& operator=(HugePageBuffer&& other) noexcept;
  HugePageBuffer(const HugePageBuffer&) = delete;
  HugePageBuffer& operator=(const HugePageBuffer&) = delete;

  // Keeps the memory when it is big enough already (its pages stay mapped, so a worker's next
  // frame touches no fresh page); otherwise maps a new block. Contents are not kept.
  void EnsureSize(std::size_t bytes);

  void* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  void Release() noexcept;

  void* data_ = nullptr;
  std::size_t size_ = 0;
};

// Buffers handed back by finished frames, for the next frame to take: their pages are mapped and
// touched already, so a batch pays the first touch once per worker instead of once per frame.
// TakeSpareBuffer hands out the smallest spare of at least `bytes`, else a new buffer of that
// size; KeepSpareBuffer takes one back; DropSpareBuffers gives every spare back to the system
// (at the end of a batch, so an idle program holds no frame memory).
HugePageBuffer TakeSpareBuffer(std::size_t bytes);
void KeepSpareBuffer(HugePageBuffer buffer) noexcept;
void DropSpareBuffers() noexcept;

// Maps the pages of memory regions on a helper thread before their first use, each region from
// its end backwards (its owner fills it from the front), so that the cost of fresh pages falls on
// an otherwise idle core instead of on the thread that fills them. The contents are not touched:
// owners may write the regions meanwhile. Stops within one huge page of work once Stop() is
// called or the warmer goes away. Without a helper thread or the kernel's populate advice
// (Linux 5.14) it does nothing.
class PageWarmer {
 public:
  explicit PageWarmer(std::vector<std::span<std::byte>> regions);
  ~PageWarmer() { Stop(); }
  PageWarmer(const PageWarmer&) = delete;
  PageWarmer& operator=(const PageWarmer&) = delete;

  void Stop();

 private:
  void Run(const std::vector<std::span<std::byte>>& regions);

  std::atomic<bool> stop_{false};
  std::thread thread_;
};

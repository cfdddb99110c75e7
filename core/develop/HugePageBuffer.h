// A large buffer of anonymous memory advised for transparent huge pages: the first touch of a
// 2 MiB page costs about what one 4 KiB page does, and a frame touches tens of thousands.
#pragma once

#include <cstddef>
#include <cstdint>

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

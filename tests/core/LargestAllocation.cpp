#include "LargestAllocation.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<bool> measuring{false};
std::atomic<std::size_t> largest{0};
}  // namespace

LargestAllocation::LargestAllocation() {
  largest = 0;
  measuring = true;
}
LargestAllocation::~LargestAllocation() {
  measuring = false;
}
std::size_t LargestAllocation::Bytes() const {
  return largest;
}

void* operator new(std::size_t size) {
  if (measuring) {
    std::size_t seen = largest;
    while (size > seen && !largest.compare_exchange_weak(seen, size)) {
    }
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

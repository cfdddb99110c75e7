// Replaces the global operator new of the test program it is linked into, to tell the largest
// single allocation made while a LargestAllocation is alive.
#pragma once

#include <cstddef>

class LargestAllocation {
 public:
  LargestAllocation();
  ~LargestAllocation();
  LargestAllocation(const LargestAllocation&) = delete;
  LargestAllocation& operator=(const LargestAllocation&) = delete;
  std::size_t Bytes() const;
};

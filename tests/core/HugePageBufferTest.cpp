// Frame buffers handed from one frame to the next: the pages a frame touched serve the next one,
// and a spare never comes back smaller than asked for.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "develop/HugePageBuffer.h"

namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

// Every case starts and ends with an empty pool.
class SpareBufferTest : public ::testing::Test {
 protected:
  void SetUp() override { DropSpareBuffers(); }
  void TearDown() override { DropSpareBuffers(); }
};

TEST_F(SpareBufferTest, NextFrameGetsTheMemoryThePreviousOneFilled) {
  HugePageBuffer first = TakeSpareBuffer(6 * kMiB);
  ASSERT_NE(first.data(), nullptr);
  std::memset(first.data(), 0x5a, 6 * kMiB);
  void* const pages = first.data();
  KeepSpareBuffer(std::move(first));

  const HugePageBuffer next = TakeSpareBuffer(3 * kMiB);
  EXPECT_EQ(next.data(), pages);
  EXPECT_GE(next.size(), 3 * kMiB);
}

TEST_F(SpareBufferTest, SmallerSpareIsNotHandedOutForABiggerFrame) {
  HugePageBuffer small = TakeSpareBuffer(2 * kMiB);
  void* const smallPages = small.data();
  KeepSpareBuffer(std::move(small));

  HugePageBuffer big = TakeSpareBuffer(9 * kMiB);
  EXPECT_NE(big.data(), smallPages);
  ASSERT_GE(big.size(), 9 * kMiB);
  // All of it is usable memory.
  std::memset(big.data(), 0xa5, 9 * kMiB);
  // The small spare is still there for a small frame.
  EXPECT_EQ(TakeSpareBuffer(kMiB).data(), smallPages);
}

TEST_F(SpareBufferTest, OfSeveralSparesTheSmallestThatFitsIsTaken) {
  HugePageBuffer a = TakeSpareBuffer(16 * kMiB);
  HugePageBuffer b = TakeSpareBuffer(4 * kMiB);
  HugePageBuffer c = TakeSpareBuffer(8 * kMiB);
  void* const eight = c.data();
  KeepSpareBuffer(std::move(a));
  KeepSpareBuffer(std::move(b));
  KeepSpareBuffer(std::move(c));
  EXPECT_EQ(TakeSpareBuffer(5 * kMiB).data(), eight);
}

// The warmer maps pages while their owner writes them: nothing the owner wrote, before or
// meanwhile, may be lost, in a region that starts and ends off page boundaries too.
TEST(PageWarmerTest, KeepsWhatTheOwnerWritesBeforeAndMeanwhile) {
  HugePageBuffer buffer(24 * kMiB);
  auto* bytes = static_cast<unsigned char*>(buffer.data());
  std::memset(bytes, 0x11, kMiB);  // written before the warmer starts
  const std::size_t begin = 100;
  const std::size_t end = 24 * kMiB - 100;
  {
    PageWarmer warmer({std::span(reinterpret_cast<std::byte*>(bytes) + begin, end - begin)});
    for (std::size_t i = kMiB; i < 24 * kMiB; ++i) bytes[i] = static_cast<unsigned char>(i % 251);
  }
  for (std::size_t i = 0; i < kMiB; ++i) ASSERT_EQ(bytes[i], 0x11) << i;
  for (std::size_t i = kMiB; i < 24 * kMiB; ++i) {
    ASSERT_EQ(bytes[i], static_cast<unsigned char>(i % 251)) << i;
  }
}

}  // namespace

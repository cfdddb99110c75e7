// Writes that bypass the page cache where the file system allows it: whatever the offsets,
// sizes and memory alignment, the file holds exactly the bytes given, in mixed runs of direct
// and ordinary writes.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "PendingFile.h"
#include "TestPaths.h"
#include "develop/HugePageBuffer.h"

namespace fs = std::filesystem;
using tarn::test::ReadFileBytes;
using tarn::test::TempDir;

namespace {

struct Piece {
  std::uint64_t offset;
  std::size_t size;
  std::size_t memoryOffset;  // of the data in a huge-page-aligned buffer
};

struct UncachedCase {
  const char* name;
  std::vector<Piece> pieces;
};

void PrintTo(const UncachedCase& c, std::ostream* os) {
  *os << c.name;
}

class UncachedWriteTest : public ::testing::TestWithParam<UncachedCase> {};

constexpr std::size_t kMiB = std::size_t{1} << 20;

INSTANTIATE_TEST_SUITE_P(
    Pieces, UncachedWriteTest,
    ::testing::Values(
        UncachedCase{"AlignedSteps", {{0, 4 * kMiB, 0}, {4 * kMiB, 4 * kMiB, 4 * kMiB}}},
        UncachedCase{"AfterAHeader", {{2048, 4 * kMiB - 2048, 0}, {4 * kMiB, 3 * kMiB + 7, 0}}},
        UncachedCase{"OddOffsetsAndSizes", {{1, 3 * kMiB + 5, 4095}, {3 * kMiB + 6, 511, 1}}},
        UncachedCase{"MemoryOffTheFileAlignment", {{4096, 2 * kMiB, 100}}},
        UncachedCase{"SmallerThanABlock", {{100, 300, 0}, {5000, 1, 3}}},
        UncachedCase{"RewriteOverWrittenBytes", {{0, 2 * kMiB, 0}, {512, kMiB + 3, 17}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(UncachedWriteTest, FileHoldsExactlyTheBytesWritten) {
  TempDir dir;
  HugePageBuffer source(16 * kMiB);
  auto* bytes = static_cast<char*>(source.data());
  for (std::size_t i = 0; i < 16 * kMiB; ++i) bytes[i] = static_cast<char>((i * 7 + i / 509) % 251);

  std::string expected;
  {
    PendingFile file((dir / "out.bin").string());
    std::uint64_t end = 0;
    for (const Piece& p : GetParam().pieces) end = std::max(end, p.offset + p.size);
    file.Reserve(end);
    expected.assign(end, '\0');
    std::uint64_t salt = 0;
    for (const Piece& p : GetParam().pieces) {
      // Each piece its own bytes, so a piece written at the wrong place shows.
      char* data = bytes + p.memoryOffset;
      for (std::size_t i = 0; i < p.size; ++i) data[i] = static_cast<char>(data[i] + salt);
      ++salt;
      file.WriteAtUncached(p.offset, data, p.size);
      expected.replace(p.offset, p.size, data, p.size);
    }
    file.Commit();
  }
  const std::string got = ReadFileBytes(dir / "out.bin");
  ASSERT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected);
}

}  // namespace

// On-disk layout of the DPX files this program writes, and of the fields its decoder reads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace dpx {

constexpr std::uint32_t kMagic = 0x53445058;  // "SDPX" read in the file's own byte order
constexpr std::size_t kHeaderSize = 2048;

// Header blocks in file order, with their sizes.
constexpr std::size_t kGenericHeaderSize = 768;
constexpr std::size_t kImageHeaderSize = 640;
constexpr std::size_t kOrientationHeaderSize = 256;
constexpr std::size_t kFilmHeaderSize = 256;
constexpr std::size_t kTelevisionHeaderSize = 128;
static_assert(kGenericHeaderSize + kImageHeaderSize + kOrientationHeaderSize + kFilmHeaderSize +
                  kTelevisionHeaderSize ==
              kHeaderSize);

// Field offsets.
constexpr std::size_t kOffMagic = 0;
constexpr std::size_t kOffImageDataOffset = 4;
constexpr std::size_t kOffVersion = 8;
constexpr std::size_t kOffFileSize = 16;
constexpr std::size_t kOffDittoKey = 20;
constexpr std::size_t kOffEncryptionKey = 660;
constexpr std::size_t kOffOrientation = 768;
constexpr std::size_t kOffElementCount = 770;
constexpr std::size_t kOffPixelsPerLine = 772;
constexpr std::size_t kOffLinesPerElement = 776;
constexpr std::size_t kOffDescriptor = 800;
constexpr std::size_t kOffTransfer = 801;
constexpr std::size_t kOffColorimetric = 802;
constexpr std::size_t kOffBitDepth = 803;
constexpr std::size_t kOffPacking = 804;
constexpr std::size_t kOffEncoding = 806;
constexpr std::size_t kOffElementDataOffset = 808;

constexpr std::uint8_t kDescriptorRGB = 50;
constexpr std::uint8_t kTransferLinear = 2;
constexpr std::uint8_t kTransferRec709 = 6;
constexpr std::uint8_t kColorimetricPrintingDensity = 1;

using Header = std::array<std::uint8_t, kHeaderSize>;

// The header for a width x height RGB 16-bit little-endian picture with pixelBytes of data.
Header MakeHeader(std::int32_t width, std::int32_t height, std::uint8_t transfer,
                  std::uint32_t pixelBytes);

}  // namespace dpx

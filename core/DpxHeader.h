// On-disk layout of the DPX files this program writes, and of the fields its decoder reads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "FrameInfo.h"

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
constexpr std::size_t kOffElementDescription = 820;  // 32 bytes

constexpr std::uint8_t kDescriptorRGB = 50;
constexpr std::uint8_t kTransferLinear = 2;
constexpr std::uint8_t kTransferRec709 = 6;
constexpr std::uint8_t kColorimetricPrintingDensity = 1;
// SMPTE 268M's code for what none of its codes describes (ACES primaries, ACEScct, BT.2020 in
// the revisions readers know).
constexpr std::uint8_t kUserDefined = 0;

// Transfer and colorimetric codes and the element description of an output colour space. The
// two first spaces keep the codes every earlier version wrote and no description.
struct ElementCodes {
  std::uint8_t transfer;
  std::uint8_t colorimetric;
  const char* description;  // nullptr: left empty
};
ElementCodes ElementCodesFor(std::uint8_t colorSpace);

// Fields written only when a sequence's metadata is asked for.
constexpr std::size_t kOffImageFileName = 36;     // 100 bytes
constexpr std::size_t kOffCreationTime = 136;     // 24 bytes, "YYYY:MM:DD:hh:mm:ssLTZ"
constexpr std::size_t kOffCreator = 160;          // 100 bytes
constexpr std::size_t kOffXOffset = 1408;         // first field of the orientation header
constexpr std::size_t kOffSourceFileName = 1432;  // 100 bytes
constexpr std::size_t kOffSourceTime = 1532;      // 24 bytes
constexpr std::size_t kOffInputDevice = 1556;     // 32 bytes
constexpr std::size_t kOffInputSerial = 1588;     // 32 bytes
constexpr std::size_t kOffBorderValidity = 1620;  // four U16
constexpr std::size_t kOffPixelAspect = 1628;     // two U32
constexpr std::size_t kOffFramePosition = 1712;   // film header
constexpr std::size_t kOffSequenceLength = 1716;
constexpr std::size_t kOffHeldCount = 1720;
constexpr std::size_t kOffFilmFrameRate = 1724;
constexpr std::size_t kOffShutterAngle = 1728;
constexpr std::size_t kOffTimecode = 1920;  // television header
constexpr std::size_t kOffUserBits = 1924;
constexpr std::size_t kOffInterlace = 1928;
constexpr std::size_t kOffFieldNumber = 1929;
constexpr std::size_t kOffVideoSignal = 1930;
constexpr std::size_t kOffHorizontalSampleRate = 1932;  // first of ten R32 fields
constexpr std::size_t kOffTvFrameRate = 1940;

using Header = std::array<std::uint8_t, kHeaderSize>;

// The header for a width x height RGB 16-bit little-endian picture with pixelBytes of data.
Header MakeHeader(std::int32_t width, std::int32_t height, std::uint8_t transfer,
                  std::uint32_t pixelBytes);

// Adds what frame says about the file, its source and its place in the sequence, to a header
// made by MakeHeader; creationTime is the file's own "YYYY:MM:DD:hh:mm:ssLTZ". The numeric
// fields of the orientation, film and television headers that stay unknown take the value
// that means "undefined", all bits set, so readers do not take them for zeros.
void AddFrameInfo(Header& header, const TFrameInfo& frame, const std::string& creationTime);

}  // namespace dpx

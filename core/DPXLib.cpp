#include "DPXLib.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <limits>
#include <new>
#include <stdexcept>

#include "DpxHeader.h"
#include "Exception.h"

void Bitmap::SetSize(std::int32_t width, std::int32_t height) {
  if (width < 0 || height < 0) {
    throw Exception("Invalid bitmap size " + std::to_string(width) + "x" + std::to_string(height));
  }
  // Both factors are below 2^31, so the pixel count fits in 64 bits; the byte count is checked
  // against what a vector can hold (this also covers 32-bit size_t).
  const std::uint64_t pixels = std::uint64_t(width) * std::uint64_t(height);
  std::vector<std::uint8_t> bytes;
  if (pixels > bytes.max_size() / 3) {
    throw Exception("Bitmap size " + std::to_string(width) + "x" + std::to_string(height) +
                    " is too large");
  }
  try {
    bytes.assign(static_cast<std::size_t>(pixels) * 3, 0);
  } catch (const std::bad_alloc&) {
    throw Exception("Out of memory for a bitmap of " + std::to_string(width) + "x" +
                    std::to_string(height) + " pixels");
  }
  bytes_ = std::move(bytes);
  width_ = width;
  height_ = height;
}

std::uint8_t* Bitmap::ScanLine(std::int32_t row) {
  return bytes_.data() + std::size_t(row) * std::size_t(width_) * 3;
}

const std::uint8_t* Bitmap::ScanLine(std::int32_t row) const {
  return bytes_.data() + std::size_t(row) * std::size_t(width_) * 3;
}

namespace {

// The two headers the decoder looks at: generic file information and image information.
constexpr std::size_t kDecodedHeaderSize = dpx::kGenericHeaderSize + dpx::kImageHeaderSize;

std::uint32_t LoadU32(const std::uint8_t* p, bool bigEndian) {
  if (bigEndian) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 |
           std::uint32_t(p[3]);
  }
  return std::uint32_t(p[3]) << 24 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[1]) << 8 |
         std::uint32_t(p[0]);
}

std::string SizeText(std::int32_t width, std::int32_t height) {
  return std::to_string(width) + "x" + std::to_string(height);
}

// Every byte of the stream from its first one, whatever position it stood at.
std::vector<std::uint8_t> ReadWholeStream(std::istream& stream) {
  stream.clear();
  stream.seekg(0, std::ios::end);
  const std::streamoff size = stream.tellg();
  stream.seekg(0, std::ios::beg);
  if (!stream || size < 0) {
    throw Exception("Cannot read the DPX image: the stream cannot return to its first byte");
  }
  std::vector<std::uint8_t> data;
  try {
    data.resize(static_cast<std::size_t>(size));
  } catch (const std::bad_alloc&) {
    throw Exception("Out of memory for a DPX file of " + std::to_string(size) + " bytes");
  } catch (const std::length_error&) {
    throw Exception("Out of memory for a DPX file of " + std::to_string(size) + " bytes");
  }
  stream.read(reinterpret_cast<char*>(data.data()), size);
  // A stream that shrank meanwhile yields fewer bytes; only those that arrived are used.
  data.resize(static_cast<std::size_t>(stream.gcount()));
  return data;
}

}  // namespace

// A DPX file that ends before its header or its pixel data is complete raises an Exception
// rather than yielding a picture padded with made-up pixels: a half-copied frame must not pass
// for a good one. The check runs before the bitmap is sized, so a header that declares far
// more pixels than the file holds never causes a large allocation. A width or height of 0 gives
// an empty bitmap and no pixel data is needed.
void TDPXImage::ReadDpxImage(std::istream& stream) {
  std::uint8_t header[kDecodedHeaderSize];
  stream.read(reinterpret_cast<char*>(header), sizeof header);
  const std::streamsize headerBytes = stream.gcount();
  if (headerBytes < static_cast<std::streamsize>(sizeof header)) {
    throw Exception("Not a complete DPX file: the header ends after " +
                    std::to_string(headerBytes) + " of " + std::to_string(sizeof header) +
                    " bytes");
  }

  ByteSwapped = LoadU32(header + dpx::kOffMagic, false) != dpx::kMagic;
  const auto width =
      static_cast<std::int32_t>(LoadU32(header + dpx::kOffPixelsPerLine, ByteSwapped));
  const auto height =
      static_cast<std::int32_t>(LoadU32(header + dpx::kOffLinesPerElement, ByteSwapped));
  const std::uint32_t dataOffset = LoadU32(header + dpx::kOffImageDataOffset, ByteSwapped);
  const bool sixteenBit = header[dpx::kOffBitDepth] == 16;
  if (width < 0 || height < 0) {
    throw Exception("Not a valid DPX file: negative image size " + SizeText(width, height));
  }

  const std::vector<std::uint8_t> data = ReadWholeStream(stream);
  const std::size_t bytesPerPixel = sixteenBit ? 6 : 4;
  const std::uint64_t pixelCount = std::uint64_t(width) * std::uint64_t(height);
  if (pixelCount > 0) {
    if (dataOffset > data.size()) {
      throw Exception("Not a complete DPX file: its image data offset " +
                      std::to_string(dataOffset) + " lies beyond its end at " +
                      std::to_string(data.size()) + " bytes");
    }
    const std::size_t available = data.size() - dataOffset;
    if (pixelCount > available / bytesPerPixel) {
      throw Exception("Not a complete DPX file: a " + SizeText(width, height) + " image needs " +
                      std::to_string(pixelCount) + " pixels of " + std::to_string(bytesPerPixel) +
                      " bytes from offset " + std::to_string(dataOffset) + ", the file holds " +
                      std::to_string(available) + " bytes there");
    }
  }

  // Decoded aside, so that a failure leaves the bitmap's previous content in place.
  Bitmap decoded;
  decoded.SetSize(width, height);
  // An empty picture reads nothing; skipping the rows also spares 2^31 passes over rows of
  // width 0.
  const std::int32_t rows = pixelCount > 0 ? height : 0;
  const std::uint8_t* in = data.data() + (pixelCount > 0 ? dataOffset : 0);
  for (std::int32_t y = 0; y < rows; ++y) {
    std::uint8_t* out = decoded.ScanLine(y);
    for (std::int32_t x = 0; x < width; ++x, out += 3, in += bytesPerPixel) {
      std::uint8_t red, green, blue;
      if (sixteenBit) {
        // The high byte of each sample: the second byte when stored low byte first.
        const int high = ByteSwapped ? 0 : 1;
        red = in[high];
        green = in[2 + high];
        blue = in[4 + high];
      } else {
        // Method A packing of three 10-bit components; the top 8 bits of each.
        const std::uint32_t word = LoadU32(in, ByteSwapped);
        red = static_cast<std::uint8_t>(word >> 24);
        green = static_cast<std::uint8_t>(word >> 14);
        blue = static_cast<std::uint8_t>(word >> 4);
      }
      out[0] = blue;
      out[1] = green;
      out[2] = red;
    }
  }
  static_cast<Bitmap&>(*this) = std::move(decoded);
}

void TDPXImage::LoadFromFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    throw Exception("Cannot open file \"" + path + "\". " + std::strerror(errno));
  }
  try {
    ReadDpxImage(file);
  } catch (const Exception& e) {
    throw Exception("Cannot read file \"" + path + "\". " + e.what());
  }
}

// The DPX decoder: a DPX stream (16-bit or 10-bit packed RGB, either byte order) into a
// 24-bit bitmap.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

// A plain 24-bit bitmap: rows top-down, three bytes per pixel in the order B, G, R, no padding.
class Bitmap {
 public:
  Bitmap() = default;
  Bitmap(const Bitmap&) = default;
  Bitmap(Bitmap&&) noexcept = default;
  Bitmap& operator=(const Bitmap&) = default;
  Bitmap& operator=(Bitmap&&) noexcept = default;
  virtual ~Bitmap() = default;

  std::int32_t Width() const { return width_; }
  std::int32_t Height() const { return height_; }
  // Resizes to width x height, zero-filled. Raises Exception for a negative size or one whose
  // bytes cannot be held in memory; the bitmap is then left as it was.
  void SetSize(std::int32_t width, std::int32_t height);
  std::uint8_t* ScanLine(std::int32_t row);
  const std::uint8_t* ScanLine(std::int32_t row) const;
  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

 private:
  std::int32_t width_ = 0;
  std::int32_t height_ = 0;
  std::vector<std::uint8_t> bytes_;
};

class TDPXImage : public Bitmap {
 public:
  // Replaces the content with the DPX picture in the stream. The headers are read from the
  // stream's current position; the pixel data offset counts from the stream's first byte, so
  // the stream must be able to seek back to it. Raises Exception for a file whose header or
  // pixel data is cut short; the bitmap then keeps its previous content.
  void ReadDpxImage(std::istream& stream);
  // Raises Exception("Cannot open file \"<path>\". <system text>") when the file cannot be
  // opened, and "Cannot read file \"<path>\". " followed by the decoding error otherwise.
  void LoadFromFile(const std::string& path);

  // True while reading a file that is not little-endian (its magic number does not read as
  // "XPDS"); anything that is not DPX at all counts as byte-swapped.
  bool ByteSwapped = false;
};

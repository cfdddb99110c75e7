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
  virtual ~Bitmap() = default;

  std::int32_t Width() const { return width_; }
  std::int32_t Height() const { return height_; }
  // Resizes to width x height (zero-filled). Raises Exception for sizes that cannot be held.
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
  // stream's current position; the pixel data offset counts from the stream's first byte.
  void ReadDpxImage(std::istream& stream);
  void LoadFromFile(const std::string& path);

  bool ByteSwapped = false;
};

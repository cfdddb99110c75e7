#include "DPXLib.h"

#include "Exception.h"

void Bitmap::SetSize(std::int32_t width, std::int32_t height) {
  width_ = width;
  height_ = height;
  bytes_.assign(static_cast<std::size_t>(width) * height * 3, 0);
}

std::uint8_t* Bitmap::ScanLine(std::int32_t row) { return bytes_.data() + std::size_t(row) * width_ * 3; }
const std::uint8_t* Bitmap::ScanLine(std::int32_t row) const {
  return bytes_.data() + std::size_t(row) * width_ * 3;
}

void TDPXImage::ReadDpxImage(std::istream&) { throw Exception("DPX decoding not implemented yet"); }
void TDPXImage::LoadFromFile(const std::string&) { throw Exception("DPX decoding not implemented yet"); }

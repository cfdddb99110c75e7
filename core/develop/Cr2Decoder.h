// Canon CR2 sensor data: the TIFF structure that locates it and the lossless JPEG (SOF3) that
// holds it, decoded to the raw mosaic exactly as LibRaw's raw_image has it (masked border
// included, one uint16 per photosite, rows of raw width).
//
// Files outside the layout covered here (not a CR2, sRAW/mRAW, other predictors, restart
// intervals...) are "not covered": the caller takes the general path. Damaged or truncated data
// throws Cr2DataError, an EosError with 0000002D; no partial picture is ever handed out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Exception.h"

// The damaged-file error of the decoder. what() is the SDK's "EOS Error: 0000002D"; detail()
// says what was wrong, for logs.
class Cr2DataError : public EosError {
 public:
  explicit Cr2DataError(std::string detail);
  const std::string& detail() const noexcept { return detail_; }

 private:
  std::string detail_;
};

struct FreeDeleter {
  void operator()(void* p) const noexcept;
};

// The raw mosaic, row after row, width * height samples.
struct RawPlane {
  int width = 0;
  int height = 0;
  int bits = 0;  // sample precision: every sample is below 1 << bits
  std::unique_ptr<std::uint16_t[], FreeDeleter> samples;

  std::uint16_t at(int row, int col) const {
    return samples[static_cast<std::size_t>(row) * width + col];
  }
};

// A parsed CR2: where its lossless JPEG lies and how it is laid out. Parsing reads no picture
// data, so a caller can learn the size and bring its own memory before decoding.
class Cr2Image {
 public:
  // nullopt when the file is not a layout this decoder covers; throws Cr2DataError when the
  // structure is damaged (offsets past the end, malformed segments or Huffman tables).
  static std::optional<Cr2Image> Parse(std::span<const std::uint8_t> file);

  int width() const { return rawWidth_; }
  int height() const { return rawHeight_; }
  int bits() const { return bits_; }
  int components() const { return components_; }
  std::size_t sampleCount() const { return std::size_t(rawWidth_) * std::size_t(rawHeight_); }

  // Decodes into out (at least sampleCount() samples, rows of width()). The file must be the
  // one given to Parse and still alive. On Cr2DataError, out holds garbage.
  void Decode(std::span<std::uint16_t> out) const;

  // The Huffman table as stored in the file: 16 code counts, then the symbols.
  struct HuffmanSpec {
    std::uint8_t counts[16] = {};
    std::vector<std::uint8_t> symbols;
    bool operator==(const HuffmanSpec&) const = default;
  };

 private:
  Cr2Image() = default;

  std::span<const std::uint8_t> entropy_;  // from after the scan header to the strip's end
  int rawWidth_ = 0;
  int rawHeight_ = 0;
  int bits_ = 0;
  int components_ = 0;
  int jpegWidth_ = 0;  // pixels of components_ samples per JPEG row
  int jpegHeight_ = 0;
  std::vector<int> sliceWidths_;     // vertical strips, left to right, summing to rawWidth_
  std::vector<HuffmanSpec> tables_;  // per component
};

// Parse + Decode into fresh memory. nullopt when not covered; throws Cr2DataError when damaged.
std::optional<RawPlane> DecodeCr2(std::span<const std::uint8_t> file);

// The same for a file on disk (mapped, not copied). Unreadable files throw EosError with the
// SDK's file codes.
std::optional<RawPlane> DecodeCr2File(const std::filesystem::path& path);

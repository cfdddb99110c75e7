// Small Canon CR2 files written from a given raw plane: the TIFF "CR" 2.0 header, IFD0 naming
// the camera, and the raw IFD with one lossless JPEG strip (SOF3, predictor 1) cut into
// vertical strips as tag 0xC640 says. Enough for LibRaw to take it as a Canon CR2, so a test
// can choose sizes, strip layouts and Huffman tables that the camera files never show.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarn::test {

struct Cr2Layout {
  int width = 0;   // raw width, masked border included
  int height = 0;  // raw height
  int components = 4;
  int bits = 14;
  // Strips as tag 0xC640 holds them: count of full strips, their width, the last one's width.
  // count 0 writes no tag (rows then follow each other whole).
  int stripCount = 1;
  int stripWidth = 0;
  int lastStripWidth = 0;
  // Each JPEG row carries two sensor rows (JPEG width = 2 * width, height = height / 2).
  bool twoRowsPerJpegRow = false;
  // Difference lengths (0..16) from the shortest code to the longest; the rest follow. The
  // default gives common small differences short codes.
  std::vector<int> codeOrder;
  // A second table for components 1..3, with this order; empty for one shared table.
  std::vector<int> secondTableOrder;
};

// The file's bytes; samples has width * height values below 1 << bits.
std::string WriteCr2(const Cr2Layout& layout, const std::vector<std::uint16_t>& samples);

// Where the parts of a CR2 written above (or by a camera) begin, for tests that damage them.
struct Cr2Offsets {
  std::size_t rawIfd = 0;
  std::size_t strips = 0;      // the three values of tag 0xC640
  std::size_t strip = 0;       // the JPEG's SOI
  std::size_t huffman = 0;     // the first DHT marker
  std::size_t frame = 0;       // the SOF3 marker
  std::size_t scan = 0;        // the SOS marker
  std::size_t entropy = 0;     // the first byte of compressed data
  std::size_t entropyEnd = 0;  // the EOI marker
};
Cr2Offsets FindCr2Offsets(const std::string& file);

}  // namespace tarn::test

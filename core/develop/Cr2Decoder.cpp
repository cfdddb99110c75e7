#include "develop/Cr2Decoder.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "edsdk/EDSDKErrors.h"

namespace {

[[noreturn]] void Damaged(const std::string& what) {
  throw Cr2DataError(what);
}

// ---------------------------------------------------------------------------------------------
// TIFF structure

class TiffView {
 public:
  TiffView(std::span<const std::uint8_t> data, bool little) : data_(data), little_(little) {}

  std::size_t size() const { return data_.size(); }
  bool Fits(std::uint64_t offset, std::uint64_t length) const {
    return offset <= data_.size() && length <= data_.size() - offset;
  }
  std::uint16_t U16(std::uint64_t offset) const {
    if (!Fits(offset, 2)) Damaged("TIFF structure points past the end of the file");
    const std::uint8_t* p = data_.data() + offset;
    return little_ ? std::uint16_t(p[0] | p[1] << 8) : std::uint16_t(p[0] << 8 | p[1]);
  }
  std::uint32_t U32(std::uint64_t offset) const {
    if (!Fits(offset, 4)) Damaged("TIFF structure points past the end of the file");
    const std::uint8_t* p = data_.data() + offset;
    return little_ ? std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
                         std::uint32_t(p[3]) << 24
                   : std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 |
                         std::uint32_t(p[2]) << 8 | std::uint32_t(p[3]);
  }

 private:
  std::span<const std::uint8_t> data_;
  bool little_;
};

constexpr std::uint16_t kTiffShort = 3;
constexpr std::uint16_t kTiffLong = 4;

struct IfdEntry {
  std::uint16_t type = 0;
  std::uint32_t count = 0;
  std::uint64_t valueOffset = 0;  // where the values are: in the entry itself or elsewhere

  bool present() const { return count != 0; }
  std::uint32_t Value(const TiffView& tiff, std::uint32_t index) const {
    if (type == kTiffShort) return tiff.U16(valueOffset + 2ull * index);
    return tiff.U32(valueOffset + 4ull * index);
  }
};

// ---------------------------------------------------------------------------------------------
// Huffman decoding

constexpr int kLookupBits = 12;
// A lookup entry: bits 0-7 the bits to consume, bit 8 "take the slow path", bits 16-31 the
// difference (fast entries) or the number of difference bits still to read (slow entries with a
// short code). An entry of kSlow alone marks a code longer than the lookup, or none at all.
constexpr std::int32_t kSlow = 0x100;

int Extend(std::uint32_t bits, int length) {
  if (length == 0) return 0;
  return bits < (1u << (length - 1)) ? int(bits) - (1 << length) + 1 : int(bits);
}

// Checks a table as it is defined in the file: symbols are difference lengths 0..16, and the
// counts must leave room for every code.
void ValidateHuffman(const Cr2Image::HuffmanSpec& spec) {
  if (spec.symbols.empty()) Damaged("empty Huffman table");
  if (spec.symbols.size() > 256) Damaged("Huffman table with more than 256 symbols");
  for (std::uint8_t symbol : spec.symbols) {
    if (symbol > 16) Damaged("Huffman table with a difference longer than 16 bits");
  }
  std::uint32_t code = 0;
  for (int length = 1; length <= 16; ++length) {
    code += spec.counts[length - 1];
    if (code > (1u << length)) Damaged("Huffman table with more codes than fit");
    code <<= 1;
  }
}

struct HuffmanTable {
  std::array<std::int32_t, 1 << kLookupBits> lookup;
  std::int32_t maxCode[17];     // the largest code of each length, -1 when there is none
  std::int32_t firstIndex[17];  // symbols[code + firstIndex[length]] for codes of that length
  std::array<std::uint8_t, 256> symbols{};

  explicit HuffmanTable(const Cr2Image::HuffmanSpec& spec) {
    lookup.fill(kSlow);
    std::copy(spec.symbols.begin(), spec.symbols.end(), symbols.begin());
    std::int32_t code = 0;
    int index = 0;
    for (int length = 1; length <= 16; ++length) {
      const int count = spec.counts[length - 1];
      firstIndex[length] = index - code;
      for (int i = 0; i < count; ++i, ++code, ++index) {
        if (length <= kLookupBits) Fill(code, length, spec.symbols[index]);
      }
      maxCode[length] = count != 0 ? code - 1 : -1;
      code <<= 1;
    }
  }

 private:
  void Fill(std::int32_t code, int length, int diffLength) {
    const int free = kLookupBits - length;
    const std::int32_t first = code << free;
    for (std::int32_t i = 0; i < (1 << free); ++i) {
      std::int32_t entry;
      if (diffLength == 16) {
        // Sixteen difference bits are implied, never stored.
        entry = length | std::int32_t(std::uint32_t(-32768) << 16);
      } else if (diffLength <= free) {
        const std::uint32_t bits = std::uint32_t(i) >> (free - diffLength);
        const int diff = Extend(bits & ((1u << diffLength) - 1), diffLength);
        entry = (length + diffLength) | std::int32_t(std::uint32_t(diff) << 16);
      } else {
        entry = length | kSlow | diffLength << 16;
      }
      lookup[first + i] = entry;
    }
  }
};

// Entropy-coded bits, most significant first. 0xFF 0x00 stands for 0xFF; any other byte after
// 0xFF is a marker and ends the data. Past the end the reader supplies zero bits and counts them,
// so a scan that needs more bits than the file holds shows as Overrun() instead of reading on.
class BitReader {
 public:
  explicit BitReader(std::span<const std::uint8_t> data)
      : p_(data.data()), end_(data.data() + data.size()) {}

  // At least 32 bits in the cache afterwards: enough for one code and its difference. Topped up
  // on every call, eight bytes at a time where none of them is 0xFF: no branch that depends on
  // how many bits the last codes took. The load may put bits past count_ into the cache; they
  // are the stream's next bits, so the next top-up ORs the same bits over them.
  void Fill() {
    if (end_ - p_ >= 8 && !ended_) [[likely]] {
      std::uint64_t word;
      std::memcpy(&word, p_, 8);
      const std::uint64_t inverted = ~word;
      if (((inverted - 0x0101010101010101u) & ~inverted & 0x8080808080808080u) == 0) [[likely]] {
        cache_ |= __builtin_bswap64(word) >> count_;
        p_ += (63 - count_) >> 3;
        count_ |= 56;
        return;
      }
    }
    if (count_ < 32) RefillBytes();
  }
  std::uint32_t Peek(int n) const { return std::uint32_t(cache_ >> (64 - n)); }
  void Skip(int n) {
    cache_ <<= n;
    count_ -= n;
  }
  bool Overrun() const { return count_ < padding_; }

 private:
  void RefillBytes() {
    while (count_ < 56) {
      std::uint64_t byte = 0;
      if (!ended_) {
        if (p_ == end_) {
          ended_ = true;
        } else if (*p_ != 0xFF) {
          byte = *p_++;
        } else if (end_ - p_ >= 2 && p_[1] == 0) {
          byte = 0xFF;
          p_ += 2;
        } else {
          ended_ = true;
        }
      }
      if (ended_) padding_ += 8;
      cache_ |= byte << (56 - count_);
      count_ += 8;
    }
  }

  const std::uint8_t* p_;
  const std::uint8_t* end_;
  std::uint64_t cache_ = 0;
  int count_ = 0;
  std::int64_t padding_ = 0;  // zero bits supplied after the data ended
  bool ended_ = false;
};

[[gnu::noinline]] int DecodeDiffSlow(BitReader& reader, const HuffmanTable& table,
                                     std::int32_t entry) {
  int length = entry & 0xFF;
  int diffLength = entry >> 16;
  if (length == 0) {
    const std::uint32_t window = reader.Peek(16);
    for (int l = kLookupBits + 1; l <= 16 && length == 0; ++l) {
      const std::int32_t code = std::int32_t(window >> (16 - l));
      if (code <= table.maxCode[l]) {
        length = l;
        diffLength = table.symbols[code + table.firstIndex[l]];
      }
    }
    if (length == 0) Damaged("invalid Huffman code");
  }
  reader.Skip(length);
  if (diffLength == 16) return -32768;
  if (diffLength == 0) return 0;
  const std::uint32_t bits = reader.Peek(diffLength);
  reader.Skip(diffLength);
  return Extend(bits, diffLength);
}

inline int DecodeDiff(BitReader& reader, const HuffmanTable& table) {
  reader.Fill();
  const std::int32_t entry = table.lookup[reader.Peek(kLookupBits)];
  if ((entry & kSlow) == 0) [[likely]] {
    reader.Skip(entry & 0xFF);
    return entry >> 16;
  }
  if ((entry & 0xFF) != 0) {
    // A short code with a long difference (1 to 15 bits): common enough to stay inline.
    reader.Skip(entry & 0xFF);
    const int diffLength = entry >> 16;
    const std::uint32_t bits = reader.Peek(diffLength);
    reader.Skip(diffLength);
    return Extend(bits, diffLength);
  }
  return DecodeDiffSlow(reader, table, entry);
}

// Where the samples of each JPEG row go in the raw plane: the sample stream fills the first
// vertical strip top to bottom, then the next. A JPEG row becomes a few runs of consecutive
// samples, found without a division per sample.
struct Run {
  std::uint16_t* out;
  int length;
};

class StripCursor {
 public:
  StripCursor(std::uint16_t* out, int rawWidth, int rawHeight, const std::vector<int>& widths)
      : out_(out), rawWidth_(rawWidth), rawHeight_(rawHeight), widths_(widths) {}

  // The runs of the next n samples; false when any of them is not a multiple of `multiple`
  // long (a pixel would straddle two runs).
  bool Next(int n, int multiple, std::vector<Run>& runs) {
    runs.clear();
    bool whole = true;
    while (n > 0) {
      const int width = widths_[strip_];
      const int take = std::min(n, width - col_);
      runs.push_back({out_ + pos_, take});
      whole = whole && take % multiple == 0;
      n -= take;
      col_ += take;
      pos_ += take;
      if (col_ == width) {
        col_ = 0;
        if (++row_ == rawHeight_) {
          row_ = 0;
          stripX_ += width;
          ++strip_;
          pos_ = stripX_;
        } else {
          pos_ += rawWidth_ - width;
        }
      }
    }
    return whole;
  }

 private:
  std::uint16_t* out_;
  std::size_t rawWidth_;
  int rawHeight_;
  const std::vector<int>& widths_;
  std::size_t strip_ = 0;
  int row_ = 0;
  int col_ = 0;
  std::size_t stripX_ = 0;
  std::size_t pos_ = 0;
};

// Pixels of C interleaved samples, each predicted from the one to its left.
template <int C>
inline void DecodePixels(BitReader& reader, const HuffmanTable* const (&tables)[C],
                         std::uint16_t* out, int pixels, std::uint32_t (&left)[C],
                         std::uint32_t& seen) {
  for (int x = 0; x < pixels; ++x, out += C) {
    for (int c = 0; c < C; ++c) {
      // Unsigned arithmetic: a damaged row wraps without undefined behaviour, and it leaves
      // the sample range long before it could wrap back into it.
      const std::uint32_t value = left[c] + std::uint32_t(DecodeDiff(reader, *tables[c]));
      left[c] = value;
      out[c] = std::uint16_t(value);
      // Any sample outside 0 .. 2^bits - 1 (negative ones included) leaves a high bit here.
      seen |= value;
    }
  }
}

// One scan of C interleaved components, predictor 1: the first pixel of a row is predicted from
// the first of the row above. Rows go straight into the raw plane when its strips cut them at
// pixel boundaries, else through a row buffer.
template <int C>
void DecodeScan(BitReader& reader, const HuffmanTable* const (&tables)[C], int wide, int high,
                int bits, std::uint16_t* buffer, StripCursor& cursor) {
  std::uint32_t above[C];
  for (int c = 0; c < C; ++c) above[c] = 1u << (bits - 1);
  std::vector<Run> runs;
  for (int y = 0; y < high; ++y) {
    std::uint32_t left[C];
    std::copy(above, above + C, left);
    std::uint32_t seen = 0;
    if (cursor.Next(wide * C, C, runs)) {
      DecodePixels<C>(reader, tables, runs[0].out, 1, left, seen);
      std::copy(left, left + C, above);
      DecodePixels<C>(reader, tables, runs[0].out + C, runs[0].length / C - 1, left, seen);
      for (std::size_t k = 1; k < runs.size(); ++k) {
        DecodePixels<C>(reader, tables, runs[k].out, runs[k].length / C, left, seen);
      }
    } else {
      DecodePixels<C>(reader, tables, buffer, 1, left, seen);
      std::copy(left, left + C, above);
      DecodePixels<C>(reader, tables, buffer + C, wide - 1, left, seen);
      const std::uint16_t* from = buffer;
      for (const Run& run : runs) {
        std::memcpy(run.out, from, std::size_t(run.length) * sizeof *from);
        from += run.length;
      }
    }
    if ((seen >> bits) != 0) Damaged("sample out of range in JPEG row " + std::to_string(y));
    if (reader.Overrun()) Damaged("compressed data ends in JPEG row " + std::to_string(y));
  }
}

// ---------------------------------------------------------------------------------------------
// Lossless JPEG header

struct JpegHeader {
  bool frame = false;
  int bits = 0;
  int high = 0;
  int wide = 0;
  int components = 0;
  std::array<std::optional<Cr2Image::HuffmanSpec>, 4> tables;
  std::vector<int> scanTables;  // the table the scan names for each component
  std::size_t entropyStart = 0;
};

std::uint16_t Be16(const std::uint8_t* p) {
  return std::uint16_t(p[0] << 8 | p[1]);
}

void ParseHuffmanSegment(std::span<const std::uint8_t> seg, JpegHeader& header) {
  std::size_t pos = 0;
  while (pos < seg.size()) {
    const int tableClass = seg[pos] >> 4;
    const int id = seg[pos] & 15;
    if (tableClass > 1 || id > 3) Damaged("Huffman table with an invalid class or number");
    if (seg.size() - pos < 17) Damaged("Huffman table cut short");
    Cr2Image::HuffmanSpec spec;
    std::size_t total = 0;
    for (int i = 0; i < 16; ++i) {
      spec.counts[i] = seg[pos + 1 + i];
      total += spec.counts[i];
    }
    pos += 17;
    if (seg.size() - pos < total) Damaged("Huffman table cut short");
    spec.symbols.assign(seg.begin() + pos, seg.begin() + pos + total);
    pos += total;
    if (tableClass == 0) {
      ValidateHuffman(spec);
      header.tables[id] = std::move(spec);
    }
  }
}

// Reads the markers up to the start of scan. nullopt when the stream is a kind of JPEG this
// decoder does not handle.
std::optional<JpegHeader> ParseJpegHeader(std::span<const std::uint8_t> strip) {
  if (strip.size() < 2 || strip[0] != 0xFF || strip[1] != 0xD8) return std::nullopt;
  JpegHeader header;
  std::size_t pos = 2;
  for (;;) {
    if (strip.size() - pos < 4) Damaged("lossless JPEG header cut short");
    const std::uint8_t* p = strip.data() + pos;
    if (p[0] != 0xFF) Damaged("lossless JPEG header has no marker where one belongs");
    const int marker = p[1];
    if ((marker >= 0xD0 && marker <= 0xD9) || marker == 0x01 || marker == 0xFF) {
      Damaged("lossless JPEG header has a misplaced marker");
    }
    const std::size_t length = Be16(p + 2);
    if (length < 2 || strip.size() - pos - 2 < length) Damaged("lossless JPEG segment cut short");
    const std::span<const std::uint8_t> seg = strip.subspan(pos + 4, length - 2);
    pos += 2 + length;
    switch (marker) {
      case 0xC3: {
        if (seg.size() < 6) Damaged("frame header cut short");
        header.frame = true;
        header.bits = seg[0];
        header.high = Be16(&seg[1]);
        header.wide = Be16(&seg[3]);
        header.components = seg[5];
        if (seg.size() < 6 + 3 * std::size_t(header.components)) Damaged("frame header cut short");
        if (header.components != 2 && header.components != 4) return std::nullopt;
        // Subsampled components are Canon's sRAW/mRAW.
        for (int c = 0; c < header.components; ++c) {
          if (seg[6 + 3 * c + 1] != 0x11) return std::nullopt;
        }
        break;
      }
      case 0xC0:
      case 0xC1:
      case 0xC2:
      case 0xC5:
      case 0xC6:
      case 0xC7:
      case 0xC9:
      case 0xCA:
      case 0xCB:
      case 0xCD:
      case 0xCE:
      case 0xCF:
        return std::nullopt;
      case 0xC4:
        ParseHuffmanSegment(seg, header);
        break;
      case 0xDD:
        if (seg.size() < 2) Damaged("restart interval cut short");
        if (Be16(seg.data()) != 0) return std::nullopt;
        break;
      case 0xDA: {
        if (!header.frame) Damaged("scan before the frame header");
        if (seg.empty()) Damaged("scan header cut short");
        const std::size_t count = seg[0];
        if (seg.size() < 1 + 2 * count + 3) Damaged("scan header cut short");
        if (count != std::size_t(header.components)) return std::nullopt;
        const int predictor = seg[1 + 2 * count];
        const int pointTransform = seg[3 + 2 * count] & 15;
        if (predictor != 1 || pointTransform != 0) return std::nullopt;
        for (std::size_t c = 0; c < count; ++c) header.scanTables.push_back(seg[2 + 2 * c] >> 4);
        header.entropyStart = pos;
        return header;
      }
      default:
        break;
    }
  }
}

}  // namespace

void FreeDeleter::operator()(void* p) const noexcept {
  std::free(p);
}

Cr2DataError::Cr2DataError(std::string detail)
    : EosError(EDS_ERR_FILE_DATA_CORRUPT), detail_(std::move(detail)) {}

std::optional<Cr2Image> Cr2Image::Parse(std::span<const std::uint8_t> file) {
  if (file.size() < 16) return std::nullopt;
  bool little;
  if (file[0] == 'I' && file[1] == 'I' && file[2] == 42 && file[3] == 0) {
    little = true;
  } else if (file[0] == 'M' && file[1] == 'M' && file[2] == 0 && file[3] == 42) {
    little = false;
  } else {
    return std::nullopt;
  }
  if (file[8] != 'C' || file[9] != 'R' || file[10] != 2) return std::nullopt;
  const TiffView tiff(file, little);

  // The CR2 header names the IFD of the sensor data.
  const std::uint64_t ifd = tiff.U32(12);
  const std::uint16_t entryCount = tiff.U16(ifd);
  if (!tiff.Fits(ifd + 2, 12ull * entryCount)) Damaged("raw IFD runs past the end of the file");
  IfdEntry stripOffsets, stripByteCounts, slices;
  for (std::uint16_t i = 0; i < entryCount; ++i) {
    const std::uint64_t at = ifd + 2 + 12ull * i;
    IfdEntry entry;
    entry.type = tiff.U16(at + 2);
    entry.count = tiff.U32(at + 4);
    if (entry.type != kTiffShort && entry.type != kTiffLong) continue;
    const std::uint64_t bytes = std::uint64_t(entry.count) * (entry.type == kTiffShort ? 2 : 4);
    entry.valueOffset = bytes <= 4 ? at + 8 : tiff.U32(at + 8);
    IfdEntry* wanted = nullptr;
    switch (tiff.U16(at)) {
      case 0x0111:
        wanted = &stripOffsets;
        break;
      case 0x0117:
        wanted = &stripByteCounts;
        break;
      case 0xC640:
        wanted = &slices;
        break;
      default:
        continue;
    }
    if (!tiff.Fits(entry.valueOffset, bytes)) Damaged("raw IFD value past the end of the file");
    *wanted = entry;
  }
  // One strip is what Canon writes; anything else is another layout.
  if (stripOffsets.count != 1) return std::nullopt;
  const std::uint64_t stripStart = stripOffsets.Value(tiff, 0);
  if (stripStart >= file.size()) Damaged("sensor data starts past the end of the file");
  std::uint64_t stripEnd = file.size();
  if (stripByteCounts.present()) {
    const std::uint64_t length = stripByteCounts.Value(tiff, 0);
    if (length != 0) stripEnd = std::min<std::uint64_t>(stripEnd, stripStart + length);
  }
  const std::span<const std::uint8_t> strip = file.subspan(stripStart, stripEnd - stripStart);

  const std::optional<JpegHeader> header = ParseJpegHeader(strip);
  if (!header) return std::nullopt;
  if (header->bits < 2 || header->bits > 16) Damaged("invalid sample precision");
  if (header->bits == 16) return std::nullopt;
  if (header->wide == 0 || header->high == 0) Damaged("lossless JPEG of no size");

  Cr2Image image;
  image.bits_ = header->bits;
  image.components_ = header->components;
  image.jpegWidth_ = header->wide;
  image.jpegHeight_ = header->high;
  // Component c uses table c, or the nearest defined one below it, as LibRaw and dcraw read
  // these files; a scan naming other tables with other contents is not a layout we know.
  if (!header->tables[0]) Damaged("no Huffman table 0");
  for (int c = 0; c < header->components; ++c) {
    int t = c;
    while (!header->tables[t]) --t;
    const int named = header->scanTables[c];
    if (named < 4 && header->tables[named] && *header->tables[named] != *header->tables[t]) {
      return std::nullopt;
    }
    image.tables_.push_back(*header->tables[t]);
  }

  // A very wide JPEG holds two sensor rows in each of its rows.
  const int jpegRowSamples = header->wide * header->components;
  image.rawWidth_ = jpegRowSamples;
  image.rawHeight_ = header->high;
  if (jpegRowSamples > 4 * header->high) {
    image.rawWidth_ /= 2;
    image.rawHeight_ *= 2;
  }
  // LibRaw shifts this one width by two columns; leave such files to it.
  if (image.rawWidth_ == 3984) return std::nullopt;

  if (slices.present() && slices.count >= 3 && slices.Value(tiff, 0) != 0) {
    // Unsigned and at most 32 bits each, so the sum cannot wrap around to the right width.
    const std::uint64_t n = slices.Value(tiff, 0);
    const std::uint64_t width = slices.Value(tiff, 1);
    const std::uint64_t last = slices.Value(tiff, 2);
    if (width == 0 || last == 0 || n * width + last != std::uint64_t(image.rawWidth_)) {
      return std::nullopt;
    }
    image.sliceWidths_.assign(std::size_t(n), int(width));
    image.sliceWidths_.push_back(int(last));
  } else {
    image.sliceWidths_.push_back(image.rawWidth_);
  }

  image.entropy_ = strip.subspan(header->entropyStart);
  // Every sample costs at least one bit: fewer bits than samples is a truncated file, caught
  // here before any memory is sized from the header.
  if (image.sampleCount() / 8 > image.entropy_.size()) Damaged("sensor data cut short");
  return image;
}

void Cr2Image::Decode(std::span<std::uint16_t> out) const {
  if (out.size() < sampleCount()) throw Exception("CR2 decode: output buffer too small");
  std::vector<std::unique_ptr<HuffmanTable>> built;
  const HuffmanTable* tables[4] = {};
  for (int c = 0; c < components_; ++c) {
    for (int k = 0; k < c && !tables[c]; ++k) {
      if (tables_[k] == tables_[c]) tables[c] = tables[k];
    }
    if (!tables[c]) {
      built.push_back(std::make_unique<HuffmanTable>(tables_[c]));
      tables[c] = built.back().get();
    }
  }
  std::vector<std::uint16_t> row(std::size_t(jpegWidth_) * components_);
  BitReader reader(entropy_);
  StripCursor cursor(out.data(), rawWidth_, rawHeight_, sliceWidths_);
  if (components_ == 2) {
    const HuffmanTable* const pair[2] = {tables[0], tables[1]};
    DecodeScan<2>(reader, pair, jpegWidth_, jpegHeight_, bits_, row.data(), cursor);
  } else {
    const HuffmanTable* const quad[4] = {tables[0], tables[1], tables[2], tables[3]};
    DecodeScan<4>(reader, quad, jpegWidth_, jpegHeight_, bits_, row.data(), cursor);
  }
}

namespace {

// Memory for a buffer that is written whole before it is read, so not cleared first. Faulting in
// tens of megabytes of fresh 4 KiB pages costs more than decoding into them; big buffers are
// advised for huge pages, which takes that to almost nothing. Released with FreeDeleter.
void* AllocateUncleared(std::size_t bytes) {
  constexpr std::size_t kHugePage = std::size_t{2} << 20;
  const bool huge = bytes >= 4 * kHugePage;
  const std::size_t rounded = huge ? (bytes + kHugePage - 1) / kHugePage * kHugePage : bytes;
  void* memory = huge ? std::aligned_alloc(kHugePage, rounded) : std::malloc(bytes);
  if (memory == nullptr && bytes != 0) throw std::bad_alloc();
  if (huge) ::madvise(memory, rounded, MADV_HUGEPAGE);
  return memory;
}

}  // namespace

std::optional<RawPlane> DecodeCr2(std::span<const std::uint8_t> file) {
  const std::optional<Cr2Image> image = Cr2Image::Parse(file);
  if (!image) return std::nullopt;
  RawPlane plane;
  plane.width = image->width();
  plane.height = image->height();
  plane.bits = image->bits();
  plane.samples.reset(
      static_cast<std::uint16_t*>(AllocateUncleared(image->sampleCount() * sizeof(std::uint16_t))));
  image->Decode({plane.samples.get(), image->sampleCount()});
  return plane;
}

namespace {

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

std::optional<RawPlane> DecodeCr2File(const std::filesystem::path& path) {
  const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) {
    throw EosError(errno == ENOENT || errno == ENOTDIR ? EDS_ERR_FILE_NOT_FOUND
                                                       : EDS_ERR_FILE_OPEN_ERROR);
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    throw EosError(EDS_ERR_FILE_OPEN_ERROR);
  }
  const std::size_t size = std::size_t(info.st_size);
  const std::unique_ptr<std::uint8_t[], FreeDeleter> bytes(
      static_cast<std::uint8_t*>(AllocateUncleared(size)));
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = ::pread(fd.get(), bytes.get() + done, size - done, off_t(done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw EosError(EDS_ERR_FILE_READ_ERROR);
    if (got == 0) break;  // shrunk meanwhile: what is there is judged as it is
    done += std::size_t(got);
  }
  return DecodeCr2({bytes.get(), done});
}

#include "Cr2Writer.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <stdexcept>

namespace tarn::test {
namespace {

void Put16(std::string& out, unsigned v) {
  out += char(v & 0xFF);
  out += char(v >> 8 & 0xFF);
}
void Put32(std::string& out, std::uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}
void PutBe16(std::string& out, unsigned v) {
  out += char(v >> 8 & 0xFF);
  out += char(v & 0xFF);
}
std::uint32_t Get32(const std::string& s, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | std::uint8_t(s.at(at + i));
  return v;
}
unsigned Get16(const std::string& s, std::size_t at) {
  return std::uint8_t(s.at(at)) | std::uint8_t(s.at(at + 1)) << 8;
}

// Code lengths handed out in order: short ones first, up to 16 bits, leaving code space free.
constexpr int kLengths[17] = {2, 2, 3, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

struct Table {
  std::vector<int> symbols;  // by increasing code length
  int length[17] = {};       // per difference length
  std::uint32_t code[17] = {};

  explicit Table(std::vector<int> order) {
    for (int s = 0; s <= 16; ++s) {
      if (std::find(order.begin(), order.end(), s) == order.end()) order.push_back(s);
    }
    symbols = order;
    std::uint32_t next = 0;
    int previous = 1;
    for (std::size_t i = 0; i < symbols.size(); ++i) {
      next <<= kLengths[i] - previous;
      previous = kLengths[i];
      length[symbols[i]] = kLengths[i];
      code[symbols[i]] = next++;
    }
  }

  void AppendDht(std::string& out, int id) const {
    out += char(id);
    for (int len = 1; len <= 16; ++len) out += char(std::count(kLengths, kLengths + 17, len));
    for (int s : symbols) out += char(s);
  }
};

class BitSink {
 public:
  void Put(std::uint32_t bits, int n) {
    for (int i = n - 1; i >= 0; --i) {
      byte_ = std::uint8_t(byte_ << 1 | (bits >> i & 1));
      if (++count_ == 8) Flush();
    }
  }
  std::string Finish() {
    while (count_ != 0) Put(1, 1);
    return out_;
  }

 private:
  void Flush() {
    out_ += char(byte_);
    if (byte_ == 0xFF) out_ += '\0';
    byte_ = 0;
    count_ = 0;
  }
  std::string out_;
  std::uint8_t byte_ = 0;
  int count_ = 0;
};

std::string EncodeLossless(const Cr2Layout& layout, const std::vector<std::uint16_t>& samples) {
  // The sample stream: each strip top to bottom, in turn.
  std::vector<int> widths;
  if (layout.stripCount == 0) {
    widths.push_back(layout.width);
  } else {
    widths.assign(layout.stripCount, layout.stripWidth);
    widths.push_back(layout.lastStripWidth);
  }
  std::vector<std::uint16_t> stream;
  stream.reserve(samples.size());
  int x0 = 0;
  for (int w : widths) {
    for (int y = 0; y < layout.height; ++y) {
      const auto row = samples.begin() + std::size_t(y) * layout.width + x0;
      stream.insert(stream.end(), row, row + w);
    }
    x0 += w;
  }
  if (stream.size() != samples.size()) throw std::logic_error("strips do not cover the width");

  const int c = layout.components;
  const int jpegRow = layout.twoRowsPerJpegRow ? 2 * layout.width : layout.width;
  const int jpegHeight = int(stream.size() / jpegRow);
  const Table first(layout.codeOrder);
  const Table second(layout.secondTableOrder.empty() ? layout.codeOrder : layout.secondTableOrder);
  const bool twoTables = !layout.secondTableOrder.empty();

  BitSink sink;
  std::vector<int> above(c, 1 << (layout.bits - 1));
  for (int y = 0; y < jpegHeight; ++y) {
    const std::uint16_t* row = stream.data() + std::size_t(y) * jpegRow;
    for (int x = 0; x < jpegRow; ++x) {
      const int k = x % c;
      const int predicted = x < c ? above[k] : row[x - c];
      if (x < c) above[k] = row[x];
      const int diff = row[x] - predicted;
      const int category = std::bit_width(unsigned(std::abs(diff)));
      const Table& table = (twoTables && k != 0) ? second : first;
      sink.Put(table.code[category], table.length[category]);
      if (category != 0) {
        sink.Put(unsigned(diff > 0 ? diff : diff + (1 << category) - 1) & ((1u << category) - 1),
                 category);
      }
    }
  }

  std::string jpeg("\xFF\xD8", 2);
  std::string dht;
  first.AppendDht(dht, 0);
  second.AppendDht(dht, 1);
  jpeg += "\xFF\xC4";
  PutBe16(jpeg, unsigned(dht.size() + 2));
  jpeg += dht;
  jpeg += "\xFF\xC3";
  PutBe16(jpeg, 8 + 3 * c);
  jpeg += char(layout.bits);
  PutBe16(jpeg, jpegHeight);
  PutBe16(jpeg, jpegRow / c);
  jpeg += char(c);
  for (int k = 0; k < c; ++k) {
    jpeg += char(k + 1);
    jpeg += '\x11';
    jpeg += '\0';
  }
  jpeg += "\xFF\xDA";
  PutBe16(jpeg, 6 + 2 * c);
  jpeg += char(c);
  for (int k = 0; k < c; ++k) {
    jpeg += char(k + 1);
    jpeg += char(k == 0 ? 0x00 : 0x10);
  }
  jpeg += std::string("\x01\x00\x00", 3);
  jpeg += sink.Finish();
  jpeg += "\xFF\xD9";
  return jpeg;
}

struct Entry {
  unsigned tag, type;
  std::uint32_t count, value;
};

void PutIfd(std::string& out, const std::vector<Entry>& entries, std::uint32_t next) {
  Put16(out, unsigned(entries.size()));
  for (const Entry& e : entries) {
    Put16(out, e.tag);
    Put16(out, e.type);
    Put32(out, e.count);
    Put32(out, e.value);
  }
  Put32(out, next);
}

}  // namespace

std::string WriteCr2(const Cr2Layout& layout, const std::vector<std::uint16_t>& samples) {
  const std::string jpeg = EncodeLossless(layout, samples);
  const std::string make("Canon\0", 6);
  const std::string model("Canon EOS 5D Mark III\0", 22);

  const std::uint32_t ifd0 = 16;
  const std::uint32_t ifd0Size = 2 + 2 * 12 + 4;
  const std::uint32_t rawIfd = ifd0 + ifd0Size;
  const bool sliced = layout.stripCount != 0;
  const std::uint32_t rawEntries = sliced ? 4 : 3;
  const std::uint32_t rawIfdSize = 2 + rawEntries * 12 + 4;
  const std::uint32_t makeAt = rawIfd + rawIfdSize;
  const std::uint32_t modelAt = makeAt + std::uint32_t(make.size());
  const std::uint32_t slicesAt = modelAt + std::uint32_t(model.size());
  const std::uint32_t stripAt = slicesAt + 6 + 2;  // the strip starts on an even offset

  std::string out("II", 2);
  Put16(out, 42);
  Put32(out, ifd0);
  out += "CR";
  out += '\x02';
  out += '\0';
  Put32(out, rawIfd);
  PutIfd(out,
         {{0x010F, 2, std::uint32_t(make.size()), makeAt},
          {0x0110, 2, std::uint32_t(model.size()), modelAt}},
         rawIfd);
  std::vector<Entry> raw = {
      {0x0103, 3, 1, 6}, {0x0111, 4, 1, stripAt}, {0x0117, 4, 1, std::uint32_t(jpeg.size())}};
  if (sliced) raw.push_back({0xC640, 3, 3, slicesAt});
  PutIfd(out, raw, 0);
  out += make;
  out += model;
  Put16(out, unsigned(layout.stripCount));
  Put16(out, unsigned(layout.stripWidth));
  Put16(out, unsigned(layout.lastStripWidth));
  out.resize(stripAt, '\0');
  out += jpeg;
  return out;
}

Cr2Offsets FindCr2Offsets(const std::string& file) {
  Cr2Offsets at;
  at.rawIfd = Get32(file, 12);
  const unsigned count = Get16(file, at.rawIfd);
  std::size_t length = 0;
  for (unsigned i = 0; i < count; ++i) {
    const std::size_t e = at.rawIfd + 2 + 12 * i;
    if (Get16(file, e) == 0x0111) at.strip = Get32(file, e + 8);
    if (Get16(file, e) == 0x0117) length = Get32(file, e + 8);
    if (Get16(file, e) == 0xC640) at.strips = Get32(file, e + 8);
  }
  std::size_t pos = at.strip + 2;
  for (;;) {
    const unsigned marker = std::uint8_t(file.at(pos + 1));
    const std::size_t segment =
        std::uint8_t(file.at(pos + 2)) << 8 | std::uint8_t(file.at(pos + 3));
    if (marker == 0xC4 && at.huffman == 0) at.huffman = pos;
    if (marker == 0xC3) at.frame = pos;
    if (marker == 0xDA) {
      at.scan = pos;
      at.entropy = pos + 2 + segment;
      break;
    }
    pos += 2 + segment;
  }
  at.entropyEnd = at.strip + length - 2;
  if (file.substr(at.entropyEnd, 2) != "\xFF\xD9")
    throw std::logic_error("no EOI at the strip end");
  return at;
}

}  // namespace tarn::test

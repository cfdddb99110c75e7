#include "DpxImagePlugin.h"

#include <QIODevice>
#include <QImage>
#include <atomic>
#include <cstring>
#include <istream>
#include <memory>
#include <streambuf>

#include "DPXLib.h"

#ifndef TARN_DPX_REGISTERED_ON_LOAD
#define TARN_DPX_REGISTERED_ON_LOAD 0
#endif

namespace {

std::atomic<bool> registered{TARN_DPX_REGISTERED_ON_LOAD != 0};

// "SDPX" as the first four bytes: big-endian files; "XPDS": little-endian files.
constexpr char kMagicBigEndian[] = "SDPX";
constexpr char kMagicLittleEndian[] = "XPDS";

// A read-only, seekable stream over bytes that stay alive elsewhere.
class ByteStreamBuf : public std::streambuf {
 public:
  explicit ByteStreamBuf(const QByteArray& bytes) {
    char* begin = const_cast<char*>(bytes.constData());
    setg(begin, begin, begin + bytes.size());
  }

 protected:
  pos_type seekoff(off_type offset, std::ios_base::seekdir direction,
                   std::ios_base::openmode which) override {
    if (!(which & std::ios_base::in)) return pos_type(off_type(-1));
    off_type base = 0;
    if (direction == std::ios_base::cur) base = gptr() - eback();
    if (direction == std::ios_base::end) base = egptr() - eback();
    return seekpos(pos_type(base + offset), which);
  }

  pos_type seekpos(pos_type position, std::ios_base::openmode which) override {
    const off_type target = off_type(position);
    if (!(which & std::ios_base::in) || target < 0 || target > egptr() - eback()) {
      return pos_type(off_type(-1));
    }
    setg(eback(), eback() + target, egptr());
    return position;
  }
};

}  // namespace

void RegisterDpxFormat() {
  registered = true;
}
void UnregisterDpxFormat() {
  registered = false;
}
bool IsDpxFormatRegistered() {
  return registered;
}

bool TDpxImageHandler::CanRead(QIODevice* device) {
  if (device == nullptr || !device->isReadable()) return false;
  const QByteArray magic = device->peek(4);
  return magic.size() == 4 && (std::memcmp(magic.constData(), kMagicBigEndian, 4) == 0 ||
                               std::memcmp(magic.constData(), kMagicLittleEndian, 4) == 0);
}

bool TDpxImageHandler::canRead() const {
  if (!CanRead(device())) return false;
  setFormat(kDpxFormatKey);
  return true;
}

bool TDpxImageHandler::read(QImage* image) {
  // Qt's image readers report failure by result, never by exception.
  try {
    const QByteArray bytes = device()->readAll();
    ByteStreamBuf buffer(bytes);
    std::istream stream(&buffer);
    TDPXImage dpx;
    dpx.ReadDpxImage(stream);

    // The bitmap's rows hold B, G, R bytes, which is Qt's BGR888 layout.
    QImage decoded(dpx.Width(), dpx.Height(), QImage::Format_BGR888);
    if (decoded.isNull()) return false;
    const std::size_t rowBytes = static_cast<std::size_t>(dpx.Width()) * 3;
    for (std::int32_t y = 0; y < dpx.Height(); ++y) {
      std::memcpy(decoded.scanLine(y), dpx.ScanLine(y), rowBytes);
    }
    *image = std::move(decoded);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

QImageIOPlugin::Capabilities TDpxImagePlugin::capabilities(QIODevice* device,
                                                           const QByteArray& format) const {
  if (!IsDpxFormatRegistered()) return {};
  if (format == kDpxFormatKey) return CanRead;
  if (!format.isEmpty()) return {};
  return device != nullptr && device->isOpen() && TDpxImageHandler::CanRead(device)
             ? CanRead
             : Capabilities();
}

QImageIOHandler* TDpxImagePlugin::create(QIODevice* device, const QByteArray& format) const {
  auto handler = std::make_unique<TDpxImageHandler>();
  handler->setDevice(device);
  handler->setFormat(format.isEmpty() ? QByteArray(kDpxFormatKey) : format);
  return handler.release();  // Qt's image reader owns the handler
}

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>
#include <utility>

#include "DpxHeader.h"
#include "PendingFile.h"
#include "RawToDpx.h"

namespace dpx {

namespace {

void PutU16(Header& h, std::size_t offset, std::uint16_t value) {
  h[offset] = static_cast<std::uint8_t>(value);
  h[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

void PutU32(Header& h, std::size_t offset, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) h[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void PutR32(Header& h, std::size_t offset, float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  PutU32(h, offset, bits);
}

// Fixed-length text, cut to leave at least one terminating zero byte for readers that expect
// one. A date with its time zone fills its 24 bytes exactly, which the format allows.
void PutText(Header& h, std::size_t offset, std::size_t size, const std::string& text,
             bool mayFill = false) {
  std::memset(&h[offset], 0, size);
  std::memcpy(&h[offset], text.data(), std::min(text.size(), mayFill ? size : size - 1));
}

std::string FileName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string DpxDateTime(const CaptureTime& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d:%02d:%02d:%02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return text;
}

}  // namespace

ElementCodes ElementCodesFor(std::uint8_t colorSpace) {
  switch (colorSpace) {
    case kColorSpaceLinear:
      return {kTransferLinear, kColorimetricPrintingDensity, nullptr};
    case kColorSpaceAcesCg:
    case kColorSpaceAces2065:
    case kColorSpaceLinRec2020:
      // Linear light is a transfer the standard names; none of its colorimetric codes is one
      // of these primaries.
      return {kTransferLinear, kUserDefined, ColorSpaceNames(colorSpace).interop};
    case kColorSpaceAcesCct:
      // Code 3 ("logarithmic") means printing-density log to readers, not ACEScct.
      return {kUserDefined, kUserDefined, ColorSpaceNames(colorSpace).interop};
    default:
      return {kTransferRec709, kColorimetricPrintingDensity, nullptr};
  }
}

Header MakeHeader(std::int32_t width, std::int32_t height, std::uint8_t transfer,
                  std::uint32_t pixelBytes) {
  Header h{};
  PutU32(h, kOffMagic, kMagic);
  PutU32(h, kOffImageDataOffset, kHeaderSize);
  std::memcpy(&h[kOffVersion], "V1.0", 4);
  PutU32(h, kOffFileSize, static_cast<std::uint32_t>(kHeaderSize) + pixelBytes);
  PutU32(h, kOffDittoKey, 1);
  PutU32(h, kOffEncryptionKey, 0xFFFFFFFF);
  PutU16(h, kOffOrientation, 0);
  PutU16(h, kOffElementCount, 1);
  PutU32(h, kOffPixelsPerLine, static_cast<std::uint32_t>(width));
  PutU32(h, kOffLinesPerElement, static_cast<std::uint32_t>(height));
  h[kOffDescriptor] = kDescriptorRGB;
  h[kOffTransfer] = transfer;
  h[kOffColorimetric] = kColorimetricPrintingDensity;
  h[kOffBitDepth] = 16;
  PutU16(h, kOffPacking, 1);
  PutU16(h, kOffEncoding, 0);
  PutU32(h, kOffElementDataOffset, kHeaderSize);
  return h;
}

void AddFrameInfo(Header& h, const TFrameInfo& frame, const std::string& creationTime) {
  constexpr std::uint32_t kUndefined = 0xFFFFFFFF;
  // Orientation header: offsets, centres, original size, then after the texts the border
  // validity and pixel aspect ratio.
  for (std::size_t offset = kOffXOffset; offset < kOffSourceFileName; offset += 4) {
    PutU32(h, offset, kUndefined);
  }
  for (std::size_t offset = kOffBorderValidity; offset < kOffPixelAspect + 8; offset += 4) {
    PutU32(h, offset, kUndefined);
  }
  // Film header numbers: frame position to shutter angle.
  for (std::size_t offset = kOffFramePosition; offset <= kOffShutterAngle; offset += 4) {
    PutU32(h, offset, kUndefined);
  }
  // Television header: time code, user bits, the three byte codes, ten R32 values.
  PutU32(h, kOffTimecode, kUndefined);
  PutU32(h, kOffUserBits, kUndefined);
  h[kOffInterlace] = h[kOffFieldNumber] = h[kOffVideoSignal] = 0xFF;
  for (std::size_t offset = kOffHorizontalSampleRate; offset < kOffHorizontalSampleRate + 40;
       offset += 4) {
    PutU32(h, offset, kUndefined);
  }

  PutText(h, kOffImageFileName, 100, frame.outputName);
  PutText(h, kOffCreationTime, 24, creationTime, true);
  PutText(h, kOffCreator, 100, kCreatorName);
  PutText(h, kOffSourceFileName, 100, FileName(frame.sourceFile));
  if (frame.camera.captureTime) {
    PutText(h, kOffSourceTime, 24, DpxDateTime(*frame.camera.captureTime));
  }
  PutText(h, kOffInputDevice, 32, frame.camera.InputDevice());
  PutText(h, kOffInputSerial, 32, frame.camera.serial);
  if (frame.frameNumber >= 0 && frame.frameNumber < kUndefined) {
    PutU32(h, kOffFramePosition, static_cast<std::uint32_t>(frame.frameNumber));
  }
  if (frame.sequenceLength > 0 && frame.sequenceLength < kUndefined) {
    PutU32(h, kOffSequenceLength, static_cast<std::uint32_t>(frame.sequenceLength));
  }
  if (frame.frameRate) {
    PutR32(h, kOffFilmFrameRate, static_cast<float>(frame.frameRate->value()));
    PutR32(h, kOffTvFrameRate, static_cast<float>(frame.frameRate->value()));
  }
  if (frame.timecode) PutU32(h, kOffTimecode, TimecodeBcd(*frame.timecode));
}

}  // namespace dpx

namespace {

// Pixels go to the file in steps that end on this file offset boundary: large enough that the
// disk works at its pace, aligned for direct I/O whatever block size the file system asks.
constexpr std::uint64_t kWriteStep = std::uint64_t{4} << 20;

}  // namespace

DpxFileWriter::DpxFileWriter(std::string outPath, std::int32_t width, std::int32_t height,
                             TConvertOptions options, const void* pixels, std::int32_t byteCount,
                             const TFrameInfo* frame)
    : outPath_(std::move(outPath)),
      width_(width),
      height_(height),
      options_(options),
      pixels_(static_cast<const char*>(pixels)),
      pixelBytes_(0),
      frame_(frame) {
  // A negative count is a caller's fault; a header-only file would pass for a written picture.
  if (byteCount < 0) ThrowFileError("Cannot write file", outPath_, EINVAL);
  pixelBytes_ = static_cast<std::uint64_t>(byteCount);
  try {
    thread_ = std::thread([this] { WriteInBackground(); });
  } catch (const std::system_error&) {
    // No thread to spare: Finish writes everything.
  }
}

DpxFileWriter::~DpxFileWriter() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void DpxFileWriter::PixelsReady(std::uint64_t bytes) {
  {
    std::lock_guard lock(mutex_);
    ready_ = std::min(std::max(ready_, bytes), pixelBytes_);
  }
  changed_.notify_all();
}

void DpxFileWriter::WriteInBackground() {
  std::unique_lock lock(mutex_);
  for (;;) {
    // The end of the whole steps that are ready, as a pixel offset.
    const auto stepEnd = [&] {
      const std::uint64_t fileEnd = (dpx::kHeaderSize + ready_) / kWriteStep * kWriteStep;
      return fileEnd > dpx::kHeaderSize ? fileEnd - dpx::kHeaderSize : 0;
    };
    changed_.wait(lock, [&] { return stopping_ || finishing_ || stepEnd() > written_; });
    if (stopping_ || error_) return;
    const std::uint64_t from = written_;
    const std::uint64_t to = finishing_ ? pixelBytes_ : stepEnd();
    if (from >= to) return;  // finishing with everything written
    lock.unlock();
    try {
      WritePixels(from, to);
    } catch (...) {
      lock.lock();
      error_ = std::current_exception();
      return;
    }
    lock.lock();
    written_ = to;
  }
}

void DpxFileWriter::WritePixels(std::uint64_t from, std::uint64_t to) {
  if (!file_) {
    file_ = std::make_unique<PendingFile>(outPath_);
    file_->Reserve(dpx::kHeaderSize + pixelBytes_);
  }
  if (to > from) {
    file_->WriteAtUncached(dpx::kHeaderSize + from, pixels_ + from,
                           static_cast<std::size_t>(to - from));
  }
}

void DpxFileWriter::Finish() {
  {
    std::lock_guard lock(mutex_);
    ready_ = pixelBytes_;
    finishing_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
  if (error_) std::rethrow_exception(error_);
  WritePixels(written_, pixelBytes_);
  written_ = pixelBytes_;

  const dpx::ElementCodes codes = dpx::ElementCodesFor(options_.ColorSpace);
  dpx::Header header =
      dpx::MakeHeader(width_, height_, codes.transfer, static_cast<std::uint32_t>(pixelBytes_));
  if (codes.description != nullptr) {
    header[dpx::kOffColorimetric] = codes.colorimetric;
    dpx::PutText(header, dpx::kOffElementDescription, 32, codes.description);
  }
  if (frame_ != nullptr) dpx::AddFrameInfo(header, *frame_, CurrentDateTimeText());
  file_->WriteAt(0, header.data(), header.size());
  file_->Commit();
}

void WriteDpxFile(const std::string& outPath, std::int32_t width, std::int32_t height,
                  TConvertOptions options, const void* pixels, std::int32_t byteCount,
                  const TFrameInfo* frame) {
  DpxFileWriter writer(outPath, width, height, options, pixels, byteCount, frame);
  writer.Finish();
}

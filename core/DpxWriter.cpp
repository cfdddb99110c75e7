#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "DpxHeader.h"
#include "RawToDpx.h"

namespace fs = std::filesystem;

namespace dpx {

namespace {

void PutU16(Header& h, std::size_t offset, std::uint16_t value) {
  h[offset] = static_cast<std::uint8_t>(value);
  h[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

void PutU32(Header& h, std::size_t offset, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) h[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace

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

}  // namespace

namespace {

// A temporary file beside the target; unlinked unless committed by renaming it over the target.
class PendingFile {
 public:
  explicit PendingFile(const std::string& target) : target_(target) {
    const fs::path targetPath(target);
    tempPath_ = (targetPath.parent_path() / ("." + targetPath.filename().string() + ".XXXXXX"))
                    .string();
    fd_ = ::mkstemp(tempPath_.data());
    if (fd_ < 0) {
      throw Exception("Cannot create file \"" + target + "\". " + std::strerror(errno));
    }
    // mkstemp makes the file private; give it the mode an ordinary new file gets.
    ::fchmod(fd_, 0666 & ~ProcessUmask());
  }
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  ~PendingFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_) ::unlink(tempPath_.c_str());
  }

  // Writes every byte of the pieces, in order, resuming after short writes.
  void WriteAll(iovec* pieces, int count) {
    while (count > 0) {
      const ssize_t written = ::writev(fd_, pieces, count);
      if (written < 0) {
        if (errno == EINTR) continue;
        Fail("Cannot write file");
      }
      std::size_t left = static_cast<std::size_t>(written);
      while (count > 0 && left >= pieces->iov_len) {
        left -= pieces->iov_len;
        ++pieces;
        --count;
      }
      if (count > 0) {
        pieces->iov_base = static_cast<char*>(pieces->iov_base) + left;
        pieces->iov_len -= left;
      }
    }
  }

  void Commit() {
    if (::fdatasync(fd_) != 0) Fail("Cannot write file");
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) Fail("Cannot write file");
    if (::rename(tempPath_.c_str(), target_.c_str()) != 0) Fail("Cannot create file");
    committed_ = true;
  }

 private:
  static mode_t ProcessUmask() {
    static const mode_t mask = [] {
      const mode_t current = ::umask(022);
      ::umask(current);
      return current;
    }();
    return mask;
  }

  [[noreturn]] void Fail(const char* what) {
    throw Exception(std::string(what) + " \"" + target_ + "\". " + std::strerror(errno));
  }

  std::string target_;
  std::string tempPath_;
  int fd_ = -1;
  bool committed_ = false;
};

}  // namespace

void WriteDpxFile(const std::string& outPath, std::int32_t width, std::int32_t height,
                  TConvertOptions options, const void* pixels, std::int32_t byteCount) {
  const std::uint8_t transfer =
      options.ColorSpace == kColorSpaceLinear ? dpx::kTransferLinear : dpx::kTransferRec709;
  const std::uint32_t pixelBytes = byteCount > 0 ? static_cast<std::uint32_t>(byteCount) : 0;
  dpx::Header header = dpx::MakeHeader(width, height, transfer, pixelBytes);

  PendingFile file(outPath);
  iovec pieces[2] = {{header.data(), header.size()},
                     {const_cast<void*>(pixels), pixelBytes}};
  file.WriteAll(pieces, pixelBytes > 0 ? 2 : 1);
  file.Commit();
}

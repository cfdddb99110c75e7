#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

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

}  // namespace dpx

namespace {

// The path as the error texts show it: the full path, whatever form the caller gave.
std::string FullPath(const std::string& path) {
  std::error_code ec;
  const fs::path full = fs::absolute(path, ec);
  return ec ? path : full.string();
}

[[noreturn]] void Fail(const char* what, const std::string& target, int error) {
  throw Exception(std::string(what) + " \"" + FullPath(target) + "\". " + std::strerror(error));
}

// Where a file written to path really goes: an output that is a symbolic link (a frame linked
// into a shot folder from elsewhere) is replaced at the link's target, and the link stays.
std::string FollowLinks(const std::string& path) {
  fs::path current = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info {};
    if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current.string();
    std::error_code ec;
    const fs::path next = fs::read_symlink(current, ec);
    if (ec) Fail("Cannot create file", path, ec.value());
    current = next.is_absolute() ? next : current.parent_path() / next;
  }
  Fail("Cannot create file", path, ELOOP);
}

// The file being written, beside its target. Where the file system allows it, it has no name
// until it is complete (O_TMPFILE), so not even a killed process leaves anything behind;
// elsewhere it is a hidden temporary file, unlinked unless committed. Either way it reaches the
// target's name in one step, replacing an existing file atomically.
class PendingFile {
 public:
  explicit PendingFile(const std::string& target)
      : target_(target), destination_(FollowLinks(target)) {
    const fs::path folder = fs::path(destination_).parent_path();
    if (ProcFdAvailable()) {
      // 0666 lets the umask give the file the mode any new file gets; close-on-exec keeps the
      // descriptor out of programs started meanwhile (e.g. a browser opened from the window).
      fd_ = ::open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
      if (fd_ >= 0) return;
      if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        Fail("Cannot create file", target_, errno);
      }
    }
    tempPath_ = CreateNamedTemp(&fd_);
    if (fd_ < 0) Fail("Cannot create file", target_, errno);
  }
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  ~PendingFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_ && !tempPath_.empty()) ::unlink(tempPath_.c_str());
  }

  // Gives the file its final size before writing. A file system that is full says so now; and
  // on ext4 an unnamed file that grows write by write is about ten times slower to fill.
  void Reserve(std::uint64_t bytes) {
    if (::fallocate(fd_, 0, 0, static_cast<off_t>(bytes)) == 0) return;
    if (errno != EOPNOTSUPP && errno != ENOSYS) Fail("Cannot write file", target_, errno);
    if (::ftruncate(fd_, static_cast<off_t>(bytes)) != 0) Fail("Cannot write file", target_, errno);
  }

  // Writes every byte of the pieces, in order, resuming after short writes.
  void WriteAll(iovec* pieces, int count) {
    while (count > 0) {
      const ssize_t written = ::writev(fd_, pieces, count);
      if (written < 0) {
        if (errno == EINTR) continue;
        Fail("Cannot write file", target_, errno);
      }
      // No progress on a regular file means there is no room left.
      if (written == 0) Fail("Cannot write file", target_, ENOSPC);
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

  // Makes the complete file appear under the target's name. Flushing first means that errors
  // a file system reports late (network shares, quotas) fail the write instead of vanishing.
  void Commit() {
    if (::fdatasync(fd_) != 0) Fail("Cannot write file", target_, errno);
    KeepAccessOfReplacedFile();
    if (tempPath_.empty()) {
      const std::string self = "/proc/self/fd/" + std::to_string(fd_);
      // No file of that name yet: the link alone publishes it.
      if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, destination_.c_str(), AT_SYMLINK_FOLLOW) ==
          0) {
        committed_ = true;
        CloseChecked();
        return;
      }
      if (errno != EEXIST) Fail("Cannot create file", target_, errno);
      // Replacing a file: give ours a temporary name, then rename it over the old one.
      for (int attempt = 0; attempt < 100; ++attempt) {
        tempPath_ = TempName();
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, tempPath_.c_str(), AT_SYMLINK_FOLLOW) == 0) {
          break;
        }
        const int error = errno;
        tempPath_.clear();
        if (error != EEXIST) Fail("Cannot create file", target_, error);
      }
      if (tempPath_.empty()) Fail("Cannot create file", target_, EEXIST);
    }
    CloseChecked();
    if (::rename(tempPath_.c_str(), destination_.c_str()) != 0) {
      Fail("Cannot create file", target_, errno);
    }
    committed_ = true;
  }

 private:
  // Linking an unnamed file into a folder goes through its /proc/self/fd entry.
  static bool ProcFdAvailable() {
    static const bool available = ::access("/proc/self/fd", X_OK) == 0;
    return available;
  }

  // A replaced file keeps who may read and write it. Best effort: only root may give a file
  // away, and a picture with the default access is better than no picture.
  void KeepAccessOfReplacedFile() {
    struct stat old {};
    if (::stat(destination_.c_str(), &old) != 0 || !S_ISREG(old.st_mode)) return;
    struct stat mine {};
    if (::fstat(fd_, &mine) == 0 && (mine.st_uid != old.st_uid || mine.st_gid != old.st_gid)) {
      (void)!::fchown(fd_, old.st_uid, old.st_gid);
    }
    (void)!::fchmod(fd_, old.st_mode & 07777);
  }

  void CloseChecked() {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) Fail("Cannot write file", target_, errno);
  }

  std::string TempName() {
    const fs::path targetPath(destination_);
    // Short enough that the temporary name fits wherever the target's name fits.
    const std::string stem = targetPath.filename().string().substr(0, 200);
    return (targetPath.parent_path() / ("." + stem + "." + RandomSuffix())).string();
  }

  std::string CreateNamedTemp(int* fd) {
    std::string path;
    for (int attempt = 0; attempt < 100; ++attempt) {
      path = TempName();
      *fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (*fd >= 0 || errno != EEXIST) break;
    }
    return *fd >= 0 ? path : std::string();
  }

  static std::string RandomSuffix() {
    thread_local std::mt19937_64 random(std::random_device{}());
    static constexpr char kLetters[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string suffix(8, ' ');
    for (char& c : suffix) c = kLetters[random() % (sizeof kLetters - 1)];
    return suffix;
  }

  std::string target_;       // as the caller named it, for messages
  std::string destination_;  // where it is written: target_ with its links followed
  std::string tempPath_;
  int fd_ = -1;
  bool committed_ = false;
};

}  // namespace

void WriteDpxFile(const std::string& outPath, std::int32_t width, std::int32_t height,
                  TConvertOptions options, const void* pixels, std::int32_t byteCount) {
  const std::uint8_t transfer =
      options.ColorSpace == kColorSpaceLinear ? dpx::kTransferLinear : dpx::kTransferRec709;
  // A negative count is a caller's fault; a header-only file would pass for a written picture.
  if (byteCount < 0) Fail("Cannot write file", outPath, EINVAL);
  const auto pixelBytes = static_cast<std::uint32_t>(byteCount);
  dpx::Header header = dpx::MakeHeader(width, height, transfer, pixelBytes);

  PendingFile file(outPath);
  file.Reserve(header.size() + std::uint64_t{pixelBytes});
  iovec pieces[2] = {{header.data(), header.size()}, {const_cast<void*>(pixels), pixelBytes}};
  file.WriteAll(pieces, pixelBytes > 0 ? 2 : 1);
  file.Commit();
}

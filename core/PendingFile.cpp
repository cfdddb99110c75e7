#include "PendingFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>

#include "Exception.h"

namespace fs = std::filesystem;

namespace {

// The path as the error texts show it: the full path, whatever form the caller gave.
std::string FullPath(const std::string& path) {
  std::error_code ec;
  const fs::path full = fs::absolute(path, ec);
  return ec ? path : full.string();
}

// Linking an unnamed file into a folder goes through its /proc/self/fd entry.
bool ProcFdAvailable() {
  static const bool available = ::access("/proc/self/fd", X_OK) == 0;
  return available;
}

std::string RandomSuffix() {
  thread_local std::mt19937_64 random(std::random_device{}());
  static constexpr char kLetters[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string suffix(8, ' ');
  for (char& c : suffix) c = kLetters[random() % (sizeof kLetters - 1)];
  return suffix;
}

}  // namespace

void ThrowFileError(const char* what, const std::string& target, int error) {
  throw Exception(std::string(what) + " \"" + FullPath(target) + "\". " + std::strerror(error));
}

namespace {

// Where a file written to path really goes: an output that is a symbolic link (a frame linked
// into a shot folder from elsewhere) is replaced at the link's target, and the link stays.
std::string FollowLinks(const std::string& path) {
  fs::path current = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info {};
    if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current.string();
    std::error_code ec;
    const fs::path next = fs::read_symlink(current, ec);
    if (ec) ThrowFileError("Cannot create file", path, ec.value());
    current = next.is_absolute() ? next : current.parent_path() / next;
  }
  ThrowFileError("Cannot create file", path, ELOOP);
}

}  // namespace

PendingFile::PendingFile(const std::string& target)
    : target_(target), destination_(FollowLinks(target)) {
  const fs::path folder = fs::path(destination_).parent_path();
  if (ProcFdAvailable()) {
    // 0666 lets the umask give the file the mode any new file gets; close-on-exec keeps the
    // descriptor out of programs started meanwhile (e.g. a browser opened from the window).
    fd_ = ::open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (fd_ >= 0) return;
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
      ThrowFileError("Cannot create file", target_, errno);
    }
  }
  tempPath_ = CreateNamedTemp(&fd_);
  if (fd_ < 0) ThrowFileError("Cannot create file", target_, errno);
}

PendingFile::~PendingFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!committed_ && !tempPath_.empty()) ::unlink(tempPath_.c_str());
}

void PendingFile::Reserve(std::uint64_t bytes) {
  if (::fallocate(fd_, 0, 0, static_cast<off_t>(bytes)) == 0) return;
  if (errno != EOPNOTSUPP && errno != ENOSYS) ThrowFileError("Cannot write file", target_, errno);
  if (::ftruncate(fd_, static_cast<off_t>(bytes)) != 0) {
    ThrowFileError("Cannot write file", target_, errno);
  }
}

void PendingFile::WriteAll(iovec* pieces, int count) {
  while (count > 0) {
    const ssize_t written = ::writev(fd_, pieces, count);
    if (written < 0) {
      if (errno == EINTR) continue;
      ThrowFileError("Cannot write file", target_, errno);
    }
    // No progress on a regular file means there is no room left.
    if (written == 0) ThrowFileError("Cannot write file", target_, ENOSPC);
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

void PendingFile::WriteAt(std::uint64_t offset, const void* data, std::size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::pwrite(fd_, bytes, size, static_cast<off_t>(offset));
    if (written < 0) {
      if (errno == EINTR) continue;
      ThrowFileError("Cannot write file", target_, errno);
    }
    if (written == 0) ThrowFileError("Cannot write file", target_, ENOSPC);
    bytes += written;
    size -= static_cast<std::size_t>(written);
    offset += static_cast<std::uint64_t>(written);
  }
}

void PendingFile::WriteAtUncached(std::uint64_t offset, const void* data, std::size_t size) {
  if (!directAsked_) {
    directAsked_ = true;
    struct statx info {};
    if (::statx(fd_, "", AT_EMPTY_PATH, STATX_DIOALIGN, &info) == 0 &&
        (info.stx_mask & STATX_DIOALIGN) != 0 && info.stx_dio_offset_align != 0 &&
        info.stx_dio_mem_align != 0) {
      directOffsetAlign_ = info.stx_dio_offset_align;
      directMemoryAlign_ = info.stx_dio_mem_align;
    }
  }
  const char* bytes = static_cast<const char*>(data);
  if (directOffsetAlign_ != 0) {
    const std::uint64_t align = directOffsetAlign_;
    const std::size_t head = static_cast<std::size_t>((align - offset % align) % align);
    const std::size_t middle =
        size > head ? static_cast<std::size_t>((size - head) / align * align) : 0;
    if (middle > 0 && reinterpret_cast<std::uintptr_t>(bytes + head) % directMemoryAlign_ == 0) {
      WriteAt(offset, bytes, head);
      if (WriteDirect(offset + head, bytes + head, middle)) {
        WriteAt(offset + head + middle, bytes + head + middle, size - head - middle);
        return;
      }
    }
  }
  WriteAt(offset, bytes, size);
}

bool PendingFile::WriteDirect(std::uint64_t offset, const char* data, std::size_t size) {
  const int flags = ::fcntl(fd_, F_GETFL);
  if (flags < 0 || ::fcntl(fd_, F_SETFL, flags | O_DIRECT) != 0) {
    directOffsetAlign_ = 0;
    return false;
  }
  std::size_t done = 0;
  int error = 0;
  while (done < size) {
    const ssize_t written =
        ::pwrite(fd_, data + done, size - done, static_cast<off_t>(offset + done));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      error = written < 0 ? errno : ENOSPC;
      break;
    }
    done += static_cast<std::size_t>(written);
    // A short direct write can end off the alignment; the rest then goes the ordinary way.
    if (done % directOffsetAlign_ != 0) break;
  }
  ::fcntl(fd_, F_SETFL, flags);
  if (error == EINVAL) {
    // Refused after all (alignment rules stricter than reported): nothing of it was written.
    directOffsetAlign_ = 0;
  } else if (error != 0) {
    ThrowFileError("Cannot write file", target_, error);
  }
  if (done < size) WriteAt(offset + done, data + done, size - done);
  return true;
}

void PendingFile::Commit() {
  if (::fdatasync(fd_) != 0) ThrowFileError("Cannot write file", target_, errno);
  KeepAccessOfReplacedFile();
  if (tempPath_.empty()) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd_);
    // No file of that name yet: the link alone publishes it.
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, destination_.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      committed_ = true;
      CloseChecked();
      return;
    }
    if (errno != EEXIST) ThrowFileError("Cannot create file", target_, errno);
    // Replacing a file: give ours a temporary name, then rename it over the old one.
    for (int attempt = 0; attempt < 100; ++attempt) {
      tempPath_ = TempName();
      if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, tempPath_.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        break;
      }
      const int error = errno;
      tempPath_.clear();
      if (error != EEXIST) ThrowFileError("Cannot create file", target_, error);
    }
    if (tempPath_.empty()) ThrowFileError("Cannot create file", target_, EEXIST);
  }
  CloseChecked();
  if (::rename(tempPath_.c_str(), destination_.c_str()) != 0) {
    ThrowFileError("Cannot create file", target_, errno);
  }
  committed_ = true;
}

void PendingFile::KeepAccessOfReplacedFile() {
  struct stat old {};
  if (::stat(destination_.c_str(), &old) != 0 || !S_ISREG(old.st_mode)) return;
  struct stat mine {};
  if (::fstat(fd_, &mine) == 0 && (mine.st_uid != old.st_uid || mine.st_gid != old.st_gid)) {
    (void)!::fchown(fd_, old.st_uid, old.st_gid);
  }
  (void)!::fchmod(fd_, old.st_mode & 07777);
}

void PendingFile::CloseChecked() {
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) ThrowFileError("Cannot write file", target_, errno);
}

std::string PendingFile::TempName() {
  const fs::path targetPath(destination_);
  // Short enough that the temporary name fits wherever the target's name fits.
  const std::string stem = targetPath.filename().string().substr(0, 200);
  return (targetPath.parent_path() / ("." + stem + "." + RandomSuffix())).string();
}

std::string PendingFile::CreateNamedTemp(int* fd) {
  std::string path;
  for (int attempt = 0; attempt < 100; ++attempt) {
    path = TempName();
    *fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (*fd >= 0 || errno != EEXIST) break;
  }
  return *fd >= 0 ? path : std::string();
}

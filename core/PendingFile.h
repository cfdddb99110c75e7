// An output file that appears under its name only when it is complete and flushed, shared by
// every writer of picture files.
#pragma once

#include <sys/uio.h>

#include <cstdint>
#include <string>

// Raises Exception("<what> \"<full path of target>\". <system text for error>").
[[noreturn]] void ThrowFileError(const char* what, const std::string& target, int error);

// The file being written, beside its target. Where the file system allows it, it has no name
// until it is complete (O_TMPFILE), so not even a killed process leaves anything behind;
// elsewhere it is a hidden temporary file, unlinked unless committed. Either way it reaches the
// target's name in one step, replacing an existing file atomically (at a link's target when the
// target is a symbolic link, keeping the replaced file's access).
class PendingFile {
 public:
  // Raises "Cannot create file" when the file cannot be made beside target.
  explicit PendingFile(const std::string& target);
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  ~PendingFile();

  // Gives the file its final size before writing. A file system that is full says so now; and
  // on ext4 an unnamed file that grows write by write is about ten times slower to fill.
  void Reserve(std::uint64_t bytes);

  // Writes every byte of the pieces, in order, at the current position, resuming after short
  // writes.
  void WriteAll(iovec* pieces, int count);

  // Writes every byte at offset, leaving the current position alone: for formats whose
  // writers go back to fill in tables.
  void WriteAt(std::uint64_t offset, const void* data, std::size_t size);

  // WriteAt for large pieces that nobody is going to read back soon: where the file system
  // allows it, the part that meets its direct-I/O alignment goes from data to the disk without
  // a copy in the page cache (no copying CPU time, and nothing to evict when the file is
  // replaced later); the rest, and everything elsewhere, is written as WriteAt writes.
  void WriteAtUncached(std::uint64_t offset, const void* data, std::size_t size);

  // Makes the complete file appear under the target's name. Flushing first means that errors
  // a file system reports late (network shares, quotas) fail the write instead of vanishing.
  void Commit();

  const std::string& target() const { return target_; }

 private:
  // A replaced file keeps who may read and write it. Best effort: only root may give a file
  // away, and a picture with the default access is better than no picture.
  void KeepAccessOfReplacedFile();
  void CloseChecked();
  // Writes with O_DIRECT (offset, data and size aligned); false when the file cannot take it,
  // with nothing written.
  bool WriteDirect(std::uint64_t offset, const char* data, std::size_t size);
  std::string TempName();
  std::string CreateNamedTemp(int* fd);

  std::string target_;       // as the caller named it, for messages
  std::string destination_;  // where it is written: target_ with its links followed
  std::string tempPath_;
  int fd_ = -1;
  bool committed_ = false;
  // Direct-I/O alignment of the file's offsets and memory; 0 when unknown or not offered.
  std::uint32_t directOffsetAlign_ = 0;
  std::uint32_t directMemoryAlign_ = 0;
  bool directAsked_ = false;
};

// Where test inputs live: tests/data in the repository, and the shared fixture folder, which
// may be absent (tests that need it skip with a message).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace tarn::test {

std::filesystem::path DataDir();
// <shared>/fixtures/raw/<name>, or nullopt when the shared folder is not there.
std::optional<std::filesystem::path> SharedFixture(const std::string& name);

// <shared>/tools/make_cr2.py, the generator of synthetic CR2 files, or nullopt when the shared
// folder is not there.
std::optional<std::filesystem::path> Cr2Generator();

// A hash of a file's whole content (64-bit FNV-1a), to pin outputs that must never change.
std::uint64_t ContentHash(const std::string& bytes);

// A fresh, empty folder removed again when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// The message of the exception that action raises, or "(no error)" when it raises none.
std::string MessageOf(const std::function<void()>& action);

// Whether the RAW developer can open path: tests that convert real files skip where it cannot.
bool RawDeveloperReads(const std::filesystem::path& path);

std::string ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes);

}  // namespace tarn::test

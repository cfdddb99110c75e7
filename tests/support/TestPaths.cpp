#include "TestPaths.h"

#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "RawToDpx.h"

namespace fs = std::filesystem;

namespace tarn::test {

fs::path DataDir() {
  return TARN_TEST_DATA_DIR;
}

std::optional<fs::path> SharedFixture(const std::string& name) {
  const fs::path path = fs::path(TARN_SHARED_DIR) / "fixtures" / "raw" / name;
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return std::nullopt;
  return path;
}

std::optional<fs::path> Cr2Generator() {
  const fs::path tool = fs::path(TARN_SHARED_DIR) / "tools" / "make_cr2.py";
  std::error_code ec;
  if (!fs::is_regular_file(tool, ec)) return std::nullopt;
  return tool;
}

std::uint64_t ContentHash(const std::string& bytes) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (const char c : bytes) {
    h ^= static_cast<unsigned char>(c);
    h *= 0x100000001b3ULL;
  }
  return h;
}

TempDir::TempDir() {
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path candidate =
        fs::temp_directory_path() / ("tarn-test-" + std::to_string(random()));
    std::error_code ec;
    if (fs::create_directory(candidate, ec)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests may leave read-only folders behind; make them writable so they can be removed.
  for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(path_, ec);
}

std::string MessageOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

std::string ReadFileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteFileBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool RawDeveloperReads(const std::filesystem::path& path) {
  try {
    GetRawImageSize(path.string());
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace tarn::test

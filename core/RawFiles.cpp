#include "RawFiles.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>
#include <string_view>

#include "Exception.h"

namespace fs = std::filesystem;

bool IsRawFileName(const std::string& path) {
  static constexpr std::array<std::string_view, 27> kExtensions = {
      "cr2", "cr3", "crw", "nef", "nrw", "arw", "srf", "sr2", "raf",
      "orf", "rw2", "rwl", "pef", "dng", "kdc", "dcr", "k25", "mrw",
      "erf", "3fr", "fff", "mef", "mos", "iiq", "x3f", "srw", "raw"};
  std::string extension = fs::path(path).extension().string();
  if (extension.size() < 2) return false;
  extension.erase(0, 1);
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return std::find(kExtensions.begin(), kExtensions.end(), extension) != kExtensions.end();
}

std::vector<std::string> RawFilesInFolder(const std::string& folder) {
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  if (ec) throw Exception("Cannot read folder \"" + folder + "\". " + ec.message());
  std::vector<std::string> files;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) throw Exception("Cannot read folder \"" + folder + "\". " + ec.message());
    // A RAW-named entry whose type cannot be told (a looping or dangling link, no permission)
    // stays in the list, so that its conversion reports it by name instead of it vanishing.
    std::error_code entryError;
    const bool folder = it->is_directory(entryError);
    if (!folder && IsRawFileName(it->path().string())) files.push_back(it->path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<std::string> RawFilesInTree(const std::string& folder) {
  std::error_code ec;
  fs::recursive_directory_iterator it(folder, ec);
  if (ec) throw Exception("Cannot read folder \"" + folder + "\". " + ec.message());
  std::vector<std::string> files;
  while (it != fs::recursive_directory_iterator()) {
    const fs::path current = it->path();
    std::error_code entryError;
    const bool isFolder = it->is_directory(entryError);
    if (!isFolder && IsRawFileName(current.string())) files.push_back(current.string());
    it.increment(ec);
    // A sub-folder that cannot be opened is named, not silently left out of the sequence.
    if (ec) throw Exception("Cannot read folder \"" + current.string() + "\". " + ec.message());
  }
  std::sort(files.begin(), files.end());
  return files;
}

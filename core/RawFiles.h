// Which files count as RAW pictures when a folder is given instead of files.
#pragma once

#include <string>
#include <vector>

// True for the file name extensions of camera RAW formats the developer reads (any case).
bool IsRawFileName(const std::string& path);

// The RAW files directly inside folder (not in sub-folders), sorted by name. Entries that cannot
// be examined (a dangling or looping link, no permission) are left out. Raises Exception when
// the folder itself cannot be read.
std::vector<std::string> RawFilesInFolder(const std::string& folder);

// Which files count as RAW pictures when a folder is given instead of files.
#pragma once

#include <string>
#include <vector>

// True for the file name extensions of camera RAW formats the developer reads (any case).
bool IsRawFileName(const std::string& path);

// The RAW files directly inside folder (not in sub-folders), sorted by name: every entry with a
// RAW file name that is not a folder, including links that lead nowhere (their conversion
// reports them). Raises Exception when the folder itself cannot be read.
std::vector<std::string> RawFilesInFolder(const std::string& folder);

// The RAW files inside folder and all its sub-folders (links to folders are not followed, so a
// loop cannot trap the walk), sorted by path: 100CANON/IMG_9999.CR2 before 101CANON/IMG_0001.CR2.
// Raises Exception naming the folder that cannot be read.
std::vector<std::string> RawFilesInTree(const std::string& folder);

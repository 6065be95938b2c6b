// Questions about the file system that several parts ask alike.
#pragma once

#include <string>

namespace pos {

// Something that is not a folder exists at `path`; false when its status
// cannot be read.
bool fileExists(const std::string& path);

// A regular file (or a link to one) exists at `path`: a pipe or a device
// would make a reader wait forever, so a workbook must be a regular file.
bool regularFileExists(const std::string& path);

}  // namespace pos

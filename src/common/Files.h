// Questions about the file system that several parts ask alike.
#pragma once

#include <string>

namespace pos {

// Something that is not a folder exists at `path`; false when its status
// cannot be read.
bool fileExists(const std::string& path);

}  // namespace pos

// Questions about the file system that several parts ask alike. The whole
// program asks "is there a file at this path" through these, so that the
// window, the command line and the workers answer it the same way.
#pragma once

#include <string>

namespace pos {

// Something that is not a folder exists at `path` (a file, a pipe, a device,
// or a link to one): what saving there would replace. False when nothing is
// there, when a folder is, and when the path's status cannot be read.
bool fileExists(const std::string& path);

// A regular file (or a link to one) exists at `path`: what can be read as a
// workbook or a field map. A pipe or a device would make a reader wait
// forever, so it does not count.
bool regularFileExists(const std::string& path);

// A folder (or a link to one) exists at `path`: no file can be saved there,
// whatever the user says about overwriting.
bool folderExists(const std::string& path);

}  // namespace pos

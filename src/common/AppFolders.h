// Where the program keeps its files. Run from a folder its user may write
// into (a build or an unpacked copy), everything stays beside the program.
// Installed into a folder the user may not write into, it follows the XDG
// base directories: the field maps in $XDG_CONFIG_HOME/pos-transfer/, the
// store in $XDG_DATA_HOME/pos-transfer/data/ and new workbooks in the user's
// documents folder. Each function takes the executable's folder (with its
// trailing '/'); none creates anything.
#pragma once

#include <string>

namespace pos {

// The folder of the running executable, with its trailing '/'.
std::string executableDir();

// True when the running user (by its real id) may write into the folder.
bool isWritableFolder(const std::string& dir);

// The folder of the field-map files, with its trailing '/'.
std::string fieldMapFolder(const std::string& executableDir);

// The embedded store's folder when neither --store nor POS_TRANSFER_STORE
// names one, without a trailing '/'.
std::string defaultStoreFolder(const std::string& executableDir);

// The folder of the default export workbook, with its trailing '/'.
std::string defaultExportFolder(const std::string& executableDir);

}  // namespace pos

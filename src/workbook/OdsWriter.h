// The OpenDocument spreadsheet (.ods) writer. It writes the file at `path`
// directly and throws WorkbookError when the sheet exceeds the format's
// limits (checked before anything is written) or the file cannot be
// written; the session makes the save atomic around it.
#pragma once

#include <string>

#include "workbook/CellSpool.h"

namespace pos::workbook {

void writeOds(const std::string& path, const SheetToWrite& sheet);

}  // namespace pos::workbook

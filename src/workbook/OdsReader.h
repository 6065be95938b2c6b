// The OpenDocument spreadsheet (.ods) reader: content.xml streamed cell by
// cell into the grid of the first worksheet. See SheetData.h for the row
// limit and the errors.
#pragma once

#include <string>

#include "workbook/SheetData.h"

namespace pos::workbook {

WorkbookData readOds(const std::string& path, int rowLimit = kEveryRow);

// Whether the zip package at `path` is an OpenDocument package (it holds a
// "mimetype" part, or content.xml beside a manifest) rather than an .xlsx;
// false when it cannot be opened as a zip package at all.
bool isOpenDocumentPackage(const std::string& path);

}  // namespace pos::workbook

// Reading a workbook by its content rather than its name: a compound file is
// .xls, a zip package .xlsx or .ods; a file of a format without a signature
// of its own (CSV) is read by its extension.
#pragma once

#include <string>

#include "workbook/SheetData.h"

namespace pos::workbook {

WorkbookData readWorkbookFile(const std::string& path, int rowLimit = kEveryRow);

}  // namespace pos::workbook

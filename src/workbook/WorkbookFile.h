// Reading a workbook by its content rather than its name: a zip package is
// .xlsx, a compound file is .xls; any other file named .csv is CSV.
#pragma once

#include <string>

#include "workbook/SheetData.h"

namespace pos::workbook {

WorkbookData readWorkbookFile(const std::string& path, int rowLimit = kEveryRow);

}  // namespace pos::workbook

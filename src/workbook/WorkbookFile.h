// Reading a workbook by its content rather than its name: a compound file is
// .xls, a zip package .xlsx or .ods.
#pragma once

#include <string>

#include "workbook/SheetData.h"

namespace pos::workbook {

WorkbookData readWorkbookFile(const std::string& path, int rowLimit = kEveryRow);

}  // namespace pos::workbook

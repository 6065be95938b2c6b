// The .xlsx reader. With a row limit it stops reading the sheet there when
// the sheet records its used range (<dimension>) and that record agrees with
// the cells read; otherwise it reads on, keeping no values, to learn it. See
// SheetData.h for the row limit and the errors.
#pragma once

#include <string>

#include "workbook/SheetData.h"

namespace pos::workbook {

WorkbookData readXlsx(const std::string& path, int rowLimit = kEveryRow);

}  // namespace pos::workbook

// Workbooks for import tests, written by the program's own spreadsheet
// session.
#pragma once

#include <string>
#include <vector>

namespace pos::testing {

// Writes `grid` from row `firstRow` (row 1 left empty by default) on the
// first sheet "Sheet1"; an empty text leaves its cell empty.
void writeWorkbook(const std::string& path, const std::vector<std::vector<std::string>>& grid,
                   int firstRow = 2);

}  // namespace pos::testing

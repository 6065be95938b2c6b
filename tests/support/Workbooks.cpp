#include "support/Workbooks.h"

#include "workbook/SpreadsheetSession.h"

namespace pos::testing {

void writeWorkbook(const std::string& path, const std::vector<std::vector<std::string>>& grid,
                   int firstRow) {
    workbook::SpreadsheetSession session;
    session.startExcel();
    session.addWorkbook();
    session.nameFirstSheet("Sheet1");
    session.sheetByName("Sheet1");
    for (std::size_t r = 0; r < grid.size(); ++r) {
        for (std::size_t c = 0; c < grid[r].size(); ++c) {
            if (!grid[r][c].empty()) {
                session.writeCell(firstRow + static_cast<int>(r), static_cast<int>(c) + 1,
                                  grid[r][c]);
            }
        }
    }
    session.saveSheetAs(path);
    session.quitExcel();
    session.releaseExcel();
}

}  // namespace pos::testing

// The import worker against workbooks that xlwt and openpyxl write, with
// what the program's own session does not write: booleans, dates, formulas
// stored without their result, a title above the headings, numbers stored
// as numbers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "import_fixture.h"
#include "support/Process.h"

namespace pos::transfer {
namespace {

using namespace importtest;

void runPython(const std::string& script, const std::vector<std::string>& args) {
    const testing::ProgramRun run = testing::runPython(script, args);
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
}

// Writes `rows` from row 2 with openpyxl (.xlsx) or xlwt (.xls), by the
// path's extension; a cell "=..." is a formula stored without its result,
// "@TRUE" a boolean cell and "@2024-03-04" a date cell.
void writeWithPython(const std::string& path, const Grid& rows) {
    std::string grid = "[";
    for (const auto& row : rows) {
        grid += "[";
        for (const std::string& cell : row) {
            grid += "'" + cell + "',";  // the cells hold no quote
        }
        grid += "],";
    }
    runPython(R"PY(
import sys, datetime
rows = )PY" + grid +
                  R"PY(]
def value(cell):
    if cell == "@TRUE":
        return True
    if cell.startswith("@"):
        return datetime.datetime.strptime(cell[1:], "%Y-%m-%d")
    return cell
path = sys.argv[1]
if path.endswith(".xlsx"):
    import openpyxl
    book = openpyxl.Workbook()
    sheet = book.active
    for r, row in enumerate(rows):
        for c, cell in enumerate(row):
            if cell:
                sheet.cell(row=r + 2, column=c + 1, value=value(cell))
    book.save(path)
else:
    import xlwt
    book = xlwt.Workbook(encoding="utf-8")
    sheet = book.add_sheet("Sheet1")
    for r, row in enumerate(rows):
        for c, cell in enumerate(row):
            if cell.startswith("="):
                sheet.write(r + 1, c, xlwt.Formula(cell[1:]))
            elif cell:
                sheet.write(r + 1, c, value(cell))
    book.save(path)
)PY",
              {path});
}

class ImportFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(ImportFaults, EveryRowArrivesAsWrittenOrIsNamed) {
    expectRowsArriveOrAreNamed(GetParam(), writeWithPython);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ImportFaults,
    ::testing::Values(
        FaultCase{
            "BooleanAndDateInTextColumns",
            "Menu",
            "shown.xlsx",
            {kMenuHeadings, dishWith(dishWith(dish("9106", "@TRUE"), 2, "@2024-03-04"), 6, "18")},
            nullptr,
            true,
            {},
            {{"select Name, FirstLetter from menu where ID = 9106", {{"TRUE", "2024-03-04"}}}}},
        FaultCase{"FormulaWithoutResultXlsx",
                  "Menu",
                  "formula.xlsx",
                  {kMenuHeadings, dishWith(dish("9107", "公式菜"), 6, "=12*2")},
                  nullptr,
                  false,
                  {"第3行“价格1”列", "保存"},
                  {}},
        FaultCase{"FormulaWithoutResultXls",
                  "Menu",
                  "formula.xls",
                  {kMenuHeadings, dishWith(dish("9108", "公式菜"), 6, "=12*2")},
                  nullptr,
                  false,
                  {"第3行“价格1”列", "保存"},
                  {}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(ImportLayout, UsedRangeFromRowOneReadsNoRowPastTheData) {
    TempDir dir;
    StoreFixture store(true);
    datasets::writeDefaultFieldMaps(dir.dir());
    const std::string path = dir.dir() + "titled.xls";
    // A title in row 1, numbers stored as numbers, the first sheet named
    // something else and a second sheet that is ignored.
    runPython(R"PY(
import sys, xlwt
book = xlwt.Workbook(encoding="utf-8")
sheet = book.add_sheet("厅桌")
sheet.write(0, 0, "厅桌清单")
for c, h in enumerate(["厅名", "桌号", "桌名"]):
    sheet.write(1, c, h)
sheet.write(2, 0, "新厅")
sheet.write(2, 1, 901)
sheet.write(2, 2, "新桌")
book.add_sheet("其他").write(0, 0, "ignored")
book.save(sys.argv[1])
)PY",
              {path});
    const int tables = store.count("tables");

    RecordingView view;
    const Import run = importWith(store, "HallTable", path, dir.dir(), view);

    ASSERT_EQ(view.messages().size(), 1u);
    EXPECT_TRUE(startsWith(view.messages()[0], kSuccess)) << view.messages()[0];
    EXPECT_EQ(run.state.dataRowCount, 2);  // the used range counts rows 1 to 3
    EXPECT_EQ(run.state.lastDataRow, 3);
    EXPECT_EQ(store.count("tables"), tables + 1);
    EXPECT_EQ(store.rows("select ID, Code, Name from tables where ID = 901"),
              (Grid{{"901", "901", "新桌"}}));
}

}  // namespace
}  // namespace pos::transfer

// One behaviour suite for both workbook formats: what the export writes
// through the session, the import reads back through the session, with the
// sheet name, the empty first row, the used range, every text intact, the
// limits of each format and a failed save that leaves the old file whole.
#include <gtest/gtest.h>

#include <filesystem>

#include "workbook/SheetData.h"
#include "workbook/SpreadsheetSession.h"
#include "workbook/WorkbookError.h"
#include "workbook/WorkbookFile.h"
#include "xlsx_support.h"

using namespace pos;
using namespace pos::workbook;
using xlsxtest::TempDir;

namespace {

struct Format {
    const char* extension;
    int maxRows;
    int maxColumns;
    const char* rowLimitText;  // how the refusal names the limit
};

void PrintTo(const Format& format, std::ostream* os) {
    *os << format.extension;
}

const Format kXls{".xls", kXlsMaxRows, kXlsMaxColumns, "65,536"};
const Format kXlsx{".xlsx", kXlsxMaxRows, kXlsxMaxColumns, "1,048,576"};

class WorkbookFormat : public ::testing::TestWithParam<Format> {
protected:
    std::string path(const std::string& stem) const {
        return m_dir.file(stem + GetParam().extension);
    }

    static void startNew(SpreadsheetSession& s, const std::string& key) {
        s.startExcel();
        s.addWorkbook();
        s.nameFirstSheet(key);
        s.sheetByName(key);
        s.wrapAllCells();
    }
    static void open(SpreadsheetSession& s, const std::string& file, const std::string& key) {
        s.startExcel();
        s.openWorkbook(file);
        s.nameFirstSheet(key);
        s.sheetByName(key);
    }

    TempDir m_dir;
};

std::string repeat(const std::string& unit, int count) {
    std::string out;
    for (int i = 0; i < count; ++i)
        out += unit;
    return out;
}

TEST_P(WorkbookFormat, TextsRoundTripThroughTheSession) {
    const std::vector<std::string> texts = {
        "A",
        "菜品信息",
        "a&b<c>\"d'e",
        "line1\r\nline2\nline3",
        "  padded  ",
        "=SUM(A1:A2)",
        "007",
        "_x000D_ literal",
        "literal at the end _x000D_",
        "control \x01\x1f chars",
        "😀 beyond the BMP",
        repeat("宫", 8224),
        repeat("ab", 16383) + "c",  // 32,767 characters, the most a cell holds
    };
    const int columns = 17;
    SpreadsheetSession out;
    startNew(out, "Menu");
    for (int c = 1; c <= columns; ++c)
        out.writeCell(2, c, "Heading " + std::to_string(c));
    for (std::size_t i = 0; i < texts.size(); ++i) {
        for (int c = 1; c <= columns; ++c) {
            out.writeCell(3 + static_cast<int>(i), c,
                          texts[(i + static_cast<std::size_t>(c)) % texts.size()]);
        }
    }
    const std::string file = path("texts");
    out.saveSheetAs(file);
    out.quitExcel();
    out.releaseExcel();

    WorkbookData data = readWorkbookFile(file);
    EXPECT_EQ(data.sheetNames, std::vector<std::string>{"Menu"});

    SpreadsheetSession in;
    open(in, file, "Menu");
    EXPECT_EQ(in.usedRowCount("Menu"), 1 + static_cast<int>(texts.size()));
    EXPECT_EQ(in.usedColumnCount("Menu"), columns);
    for (int c = 1; c <= columns; ++c)
        EXPECT_TRUE(in.readCell(1, c).isNull()) << "row 1 stays empty";
    EXPECT_EQ(in.readCell(2, 17), Value::text("Heading 17"));
    for (std::size_t i = 0; i < texts.size(); ++i) {
        for (int c = 1; c <= columns; ++c) {
            const std::string& expected = texts[(i + static_cast<std::size_t>(c)) % texts.size()];
            EXPECT_EQ(in.readCell(3 + static_cast<int>(i), c), Value::text(expected))
                << "row " << 3 + i << " column " << c;
        }
    }
}

TEST_P(WorkbookFormat, EmptyTextsAndTheUsedRange) {
    SpreadsheetSession out;
    startNew(out, "HallTable");
    out.writeCell(2, 1, "Hall");
    out.writeCell(2, 2, "Table");
    out.writeCell(3, 1, "");  // an empty text reads as an empty cell
    out.writeCell(3, 2, "T1");
    const std::string file = path("empty");
    out.saveSheetAs(file);

    SpreadsheetSession in;
    open(in, file, "HallTable");
    EXPECT_EQ(in.usedRowCount("HallTable"), 2);
    EXPECT_EQ(in.usedColumnCount("HallTable"), 2);
    EXPECT_EQ(in.readCell(3, 1).toText(), "");
    EXPECT_EQ(in.readCell(3, 2), Value::text("T1"));
}

TEST_P(WorkbookFormat, EveryRowTheFormatHoldsUpToItsLimit) {
    // 65,536 rows fit both formats: the last row of a .xls sheet.
    SpreadsheetSession out;
    startNew(out, "Menu");
    for (int r = 2; r <= kXlsMaxRows; ++r)
        out.writeCell(r, 1, std::to_string(r));
    const std::string file = path("rows");
    out.saveSheetAs(file);

    SpreadsheetSession in;
    open(in, file, "Menu");
    EXPECT_EQ(in.usedRowCount("Menu"), kXlsMaxRows - 1);
    EXPECT_EQ(in.readCell(kXlsMaxRows, 1), Value::text(std::to_string(kXlsMaxRows)));
    EXPECT_EQ(in.readCell(40000, 1), Value::text("40000"));
}

TEST_P(WorkbookFormat, BeyondTheLimitsTheSaveIsRefusedAndTheOldFileKept) {
    const std::string file = path("kept");
    {
        SpreadsheetSession s;
        startNew(s, "Menu");
        s.writeCell(2, 1, "old");
        s.saveSheetAs(file);
    }
    const std::string before = xlsxtest::readFile(file);

    struct Case {
        const char* name;
        int row, column;
        std::string text;
        std::string message;
    };
    const Case cases[] = {
        {"row past the limit", GetParam().maxRows + 1, 1, "x", GetParam().rowLimitText},
        {"column past the limit", 2, GetParam().maxColumns + 1, "x",
         GetParam().maxColumns == kXlsMaxColumns ? "256" : "16,384"},
        {"text past 32,767 characters", 3, 1, std::string(32768, 'x'), "32,767"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SpreadsheetSession s;
        startNew(s, "Menu");
        try {
            s.writeCell(2, 1, "new");
            s.writeCell(c.row, c.column, c.text);
            s.saveSheetAs(file);
            ADD_FAILURE() << "no error";
        } catch (const WorkbookError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
        EXPECT_EQ(xlsxtest::readFile(file), before);
    }
    // No temporary file is left beside the target.
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(m_dir.path())) {
        (void)entry;
        ++files;
    }
    EXPECT_EQ(files, 1);
}

INSTANTIATE_TEST_SUITE_P(Formats, WorkbookFormat, ::testing::Values(kXls, kXlsx),
                         [](const ::testing::TestParamInfo<Format>& format) {
                             return std::string(format.param.extension + 1);
                         });

}  // namespace

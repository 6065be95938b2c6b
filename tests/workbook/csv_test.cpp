// The CSV writer's fields, byte for byte, and the reader taking them back:
// what must be quoted is, numbers are plain decimals, and every text comes
// back as written.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/Value.h"
#include "support/TempDir.h"
#include "workbook/SpreadsheetSession.h"
#include "workbook/WorkbookFile.h"

using namespace pos;
using namespace pos::workbook;

namespace {

TEST(CsvWriter, FieldsAreQuotedWhereTheyMustBeAndReadBackAsWritten) {
    struct Case {
        const char* name;
        Value value;
        std::string field;     // as written
        std::string readBack;  // the text the reader gives
    };
    const Case cases[] = {
        {"plain text", Value::text("拍黄瓜"), "拍黄瓜", "拍黄瓜"},
        {"comma", Value::text("凉菜,热菜"), "\"凉菜,热菜\"", "凉菜,热菜"},
        {"quotes doubled", Value::text("A \"角\""), "\"A \"\"角\"\"\"", "A \"角\""},
        {"line breaks", Value::text("少盐\r\n少油\n"), "\"少盐\r\n少油\n\"", "少盐\r\n少油\n"},
        {"leading blank", Value::text(" 雅座"), "\" 雅座\"", " 雅座"},
        {"trailing tab", Value::text("雅座\t"), "\"雅座\t\"", "雅座\t"},
        {"a code with leading zeros stays text", Value::text("007"), "\"007\"", "007"},
        {"a date as text", Value::text("2024-03-01"), "\"2024-03-01\"", "2024-03-01"},
        {"a sign first", Value::text("-5元"), "\"-5元\"", "-5元"},
        {"semicolon needs nothing", Value::text("a;b"), "a;b", "a;b"},
        {"integer", Value::integer(1001), "1001", "1001"},
        {"decimal as its value", Value::decimal("12.5000"), "12.5", "12.5"},
        {"negative decimal", Value::decimal("-0.10"), "-0.1", "-0.1"},
        {"small float without exponent", Value::floating(1e-7), "0.0000001", "0.0000001"},
        {"large float without exponent", Value::floating(1e20), "100000000000000000000",
         "100000000000000000000"},
        {"negative zero", Value::floating(-0.0), "0", "0"},
        {"16 digits stay text", Value::decimal("1234567890123456"), "\"1234567890123456\"",
         "1234567890123456"},
        {"boolean as its text", Value::boolean(true), "True", "True"},
    };
    pos::testing::TempDir dir;
    const std::string path = dir.file("cells.csv");
    SpreadsheetSession session;
    session.startExcel();
    session.addWorkbook();
    session.nameFirstSheet("Menu");
    session.sheetByName("Menu");
    session.writeCell(2, 1, "值");
    session.writeCell(2, 3, "备注");
    // The first line empty, the headings on the second, a field for every
    // column in each row that has cells, CR LF after each row.
    std::string expected = "\xEF\xBB\xBF\r\n值,,备注\r\n";
    int row = 3;
    for (const Case& c : cases) {
        session.writeValue(row++, 1, c.value);
        expected += c.field + ",,\r\n";
    }
    session.writeCell(row, 2, "末");
    expected += ",末,\r\n";
    session.saveSheetAs(path);
    EXPECT_EQ(pos::testing::readFile(path), expected);

    const WorkbookData data = readWorkbookFile(path);
    ASSERT_EQ(data.sheetNames, std::vector<std::string>{"cells"});
    EXPECT_EQ(data.firstSheet.firstRow(), 1);
    EXPECT_EQ(data.firstSheet.lastRow(), row - 1);
    EXPECT_EQ(data.firstSheet.lastColumn(), 2);
    row = 2;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto cell = data.firstSheet.cell(row++, 0);
        ASSERT_TRUE(cell.has_value());
        EXPECT_EQ(cell->type(), ValueType::Text);
        EXPECT_EQ(cell->asText(), c.readBack);
        EXPECT_FALSE(data.firstSheet.cell(row - 1, 1).has_value());
    }
}

}  // namespace

// The .ods reader, through the reading by content that the import uses: the
// cells of every kind as the other readers give them, repeated rows that
// cost nothing unless they hold values, and the packages it refuses.
#include <gtest/gtest.h>

#include <functional>

#include "workbook/SheetData.h"
#include "workbook/WorkbookError.h"
#include "workbook/WorkbookFile.h"
#include "xlsx_support.h"

using namespace pos;
using namespace pos::workbook;
using namespace xlsxtest;

namespace {

const char* const kManifest =
    R"(<?xml version="1.0" encoding="UTF-8"?><manifest:manifest )"
    R"(xmlns:manifest="urn:oasis:names:tc:opendocument:xmlns:manifest:1.0">)"
    R"(<manifest:file-entry manifest:full-path="/" )"
    R"(manifest:media-type="application/vnd.oasis.opendocument.spreadsheet"/>)"
    R"(<manifest:file-entry manifest:full-path="content.xml" manifest:media-type="text/xml"/>)"
    "</manifest:manifest>";

// A package whose first table holds `rows`.
void makeOds(const std::string& path, const std::string& rows,
             const std::string& manifest = kManifest,
             const std::string& mimetype = "application/vnd.oasis.opendocument.spreadsheet") {
    makePackage(path, {{"mimetype", mimetype},
                       {"META-INF/manifest.xml", manifest},
                       {"content.xml",
                        R"(<?xml version="1.0" encoding="UTF-8"?><office:document-content )"
                        R"(xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" )"
                        R"(xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" )"
                        R"(xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0">)"
                        R"(<office:body><office:spreadsheet><table:table table:name="Sheet1">)" +
                            rows +
                            "</table:table></office:spreadsheet></office:body>"
                            "</office:document-content>"}});
}

std::string emptyRows(long long count) {
    return R"(<table:table-row table:number-rows-repeated=")" + std::to_string(count) +
           R"("><table:table-cell table:number-columns-repeated="16384"/></table:table-row>)";
}

const std::string kTextRow = R"(<table:table-row><table:table-cell office:value-type="string">)"
                             "<text:p>x</text:p></table:table-cell></table:table-row>";

}  // namespace

TEST(OdsReader, ReadsEveryKindOfCell) {
    // Written by hand with every kind of cell, covered cells, repeated rows
    // and cells, and 1,048,569 empty rows repeated at the end.
    const WorkbookData data =
        readWorkbookFile(std::string(POS_SOURCE_DIR) + "/fuzz/corpus/ods/handmade_every_cell.ods");
    EXPECT_EQ(data.sheetNames, (std::vector<std::string>{"菜品", "Second"}));
    const SheetData& s = data.firstSheet;
    EXPECT_EQ(s.firstRow(), 2);
    EXPECT_EQ(s.lastRow(), 6);
    EXPECT_EQ(s.lastColumn(), 7);
    struct Cell {
        int row;
        int column;
        std::optional<Value> value;
    };
    const Cell cells[] = {
        {2, 0, Value::floating(1001)},
        {2, 1, Value::text(" 宫保鸡丁  x\ty\nline")},  // the comment left out
        {2, 2, Value::floating(0.125)},                // a percentage
        {2, 3, Value::floating(28.5)},                 // a currency
        {2, 4, Value::dateTime(DateTime{2024, 2, 29, 13, 45, 10, 0})},
        {2, 5, Value::dateTime(DateTime{1899, 12, 30, 18, 30, 0, 0})},  // a time alone
        {2, 6, Value::boolean(true)},
        {2, 7, Value::error(0x07)},  // a formula's stored #DIV/0!
        {3, 0, Value::floating(2002)},
        {3, 1, std::nullopt},  // a formula without its result
        {3, 2, Value::text("merged")},
        {3, 3, std::nullopt},  // covered by the merged cell
        {3, 4, Value::text("rep")},
        {3, 6, Value::text("rep")},
        {3, 7, std::nullopt},
        {6, 0, Value::floating(7)},
    };
    for (const Cell& c : cells) {
        EXPECT_EQ(s.cell(c.row, c.column), c.value) << c.row << "," << c.column;
    }
    EXPECT_EQ(s.cellsWithoutResult(), (std::vector<std::pair<int, int>>{{3, 1}}));
}

TEST(OdsReader, RepeatedRowsCostNothingUnlessTheyHoldValues) {
    TempDir dir;
    struct Case {
        const char* name;
        std::string rows;
        int rowLimit;
        int lastRow;  // of the used range
        int keptRow;  // a row whose value is kept
    };
    const Case cases[] = {
        {"a full sheet of empty rows after the data", kTextRow + emptyRows(1048575), kEveryRow, 0,
         0},
        {"a value in the last row of the sheet", emptyRows(1048575) + kTextRow, kEveryRow, 1048575,
         1048575},
        {"a value repeated down the whole sheet, within a row limit",
         R"(<table:table-row table:number-rows-repeated="1048576"><table:table-cell )"
         R"(table:number-columns-repeated="16" office:value-type="float" office:value="1"/>)"
         "</table:table-row>",
         100, 1048575, 99},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file("rows.ods");
        makeOds(path, c.rows);
        const SheetData s = readWorkbookFile(path, c.rowLimit).firstSheet;
        EXPECT_EQ(s.lastRow(), c.lastRow);
        EXPECT_NE(s.cell(c.keptRow, 0), std::nullopt);
    }
}

TEST(OdsReader, RefusesBrokenAndHostilePackages) {
    TempDir dir;
    struct Case {
        const char* name;
        std::function<void(const std::string&)> make;
        const char* message;
        WorkbookFault fault;
    };
    const Case cases[] = {
        {"encrypted with a password",
         [](const std::string& p) {
             makeOds(p, kTextRow,
                     R"(<manifest:manifest xmlns:manifest="urn:oasis:names:tc:opendocument:)"
                     R"(xmlns:manifest:1.0"><manifest:file-entry manifest:full-path="content.xml")"
                     R"( manifest:media-type="text/xml"><manifest:encryption-data )"
                     R"(manifest:checksum-type="SHA1/1K"/></manifest:file-entry>)"
                     "</manifest:manifest>");
         },
         "这个OpenDocument电子表格设有打开密码（已加密），本程序无法读取。",
         WorkbookFault::Encrypted},
        {"a text document",
         [](const std::string& p) {
             makeOds(p, kTextRow, kManifest, "application/vnd.oasis.opendocument.text");
         },
         "它是OpenDocument文档，但不是电子表格", WorkbookFault::NotAWorkbook},
        {"entity expansion",
         [](const std::string& p) {
             makeOds(p, kTextRow,
                     "<?xml version=\"1.0\"?><!DOCTYPE m [<!ENTITY a \"aaaaaaaaaa\">"
                     "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">]><m>&b;</m>");
         },
         "文档类型声明", WorkbookFault::Damaged},
        {"values repeated past the last row",
         [](const std::string& p) { makeOds(p, emptyRows(1048576) + kTextRow); },
         "超出工作表最后一行", WorkbookFault::Damaged},
        {"values repeated past the last column",
         [](const std::string& p) {
             makeOds(p,
                     R"(<table:table-row><table:table-cell table:number-columns-repeated=)"
                     R"("16385" office:value-type="float" office:value="1"/></table:table-row>)");
         },
         "超出工作表最后一列", WorkbookFault::Damaged},
        {"blanks beyond a cell's length",
         [](const std::string& p) {
             makeOds(p, R"(<table:table-row><table:table-cell office:value-type="string">)"
                        R"(<text:p><text:s text:c="4000000000"/></text:p></table:table-cell>)"
                        "</table:table-row>");
         },
         "超出了一个单元格最多可容纳的32,767个字符", WorkbookFault::Damaged},
        {"values repeated beyond what memory holds",
         [](const std::string& p) {
             makeOds(p,
                     R"(<table:table-row table:number-rows-repeated="1048576"><table:table-cell )"
                     R"(table:number-columns-repeated="100" office:value-type="float" )"
                     R"(office:value="1"/></table:table-row>)");
         },
         "本程序的内存容纳不下", WorkbookFault::TooLarge},
        {"an unreadable number",
         [](const std::string& p) {
             makeOds(p, R"(<table:table-row><table:table-cell office:value-type="float" )"
                        R"(office:value="12abc"/></table:table-row>)");
         },
         "数字“12abc”无法识别", WorkbookFault::Damaged},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file("broken.ods");
        std::filesystem::remove(path);
        c.make(path);
        try {
            readWorkbookFile(path);
            ADD_FAILURE() << "read without error";
        } catch (const WorkbookError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
            EXPECT_EQ(e.fault(), c.fault);
        }
    }
}

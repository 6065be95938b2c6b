// Workbooks checked against other programs: .xls files made at test time by
// python3-xlwt and LibreOffice read by our reader and compared cell by cell
// with xlrd, an Excel 95 workbook compared with xlrd, and the files our
// writer makes read back by xlrd and LibreOffice.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>

#include "XlsTestSupport.h"
#include "support/Workbooks.h"
#include "workbook/SheetData.h"
#include "workbook/SpreadsheetSession.h"
#include "workbook/WorkbookError.h"
#include "workbook/WorkbookFile.h"
#include "workbook/XlsReader.h"

using namespace pos;
using namespace pos::workbook;
using xlstest::Biff;
using xlstest::cell;
using xlstest::repeat;
using xlstest::TempDir;
using xlstest::u16;
using xlstest::writeSheet;
using namespace std::string_literals;

namespace {

std::string dateText(const DateTime& d) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", d.year, d.month, d.day, d.hour,
                  d.minute, d.second);
    return buf;
}

// Our value in xlrd's terms: its type code and text.
std::pair<int, std::string> asXlrd(const Value& v) {
    switch (v.type()) {
        case ValueType::Text:
            return {1, v.asText()};
        case ValueType::Float: {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%.17g", v.asFloat());
            return {2, buf};
        }
        case ValueType::DateTime:
            return {3, dateText(v.asDateTime())};
        case ValueType::Boolean:
            return {4, v.asBoolean() ? "1" : "0"};
        case ValueType::Error:
            return {5, std::to_string(v.errorCode())};
        default:
            return {0, v.toText()};
    }
}

// Every cell that xlrd sees, ours sees with the same type and value; a
// formula without a stored result, which xlrd reads as an empty text, ours
// leaves empty and lists.
void expectSameAsXlrd(const std::string& path) {
    const auto theirs = xlstest::readWithXlrd(path);
    const WorkbookData ours = readWorkbookFile(path);
    EXPECT_EQ(ours.sheetNames, theirs.sheetNames);
    EXPECT_EQ(ours.firstSheet.name, theirs.name);
    ASSERT_FALSE(theirs.cells.empty());
    for (const auto& [at, cell] : theirs.cells) {
        const std::optional<Value> v = ours.firstSheet.cell(at.first, at.second);
        const auto& withoutResult = ours.firstSheet.cellsWithoutResult();
        if (std::find(withoutResult.begin(), withoutResult.end(), at) != withoutResult.end()) {
            EXPECT_EQ(v, std::nullopt);
            EXPECT_EQ(cell.type, 1);
            EXPECT_EQ(cell.value, "");
            continue;
        }
        if (cell.type == 6) {
            EXPECT_EQ(v, std::nullopt);
            continue;
        }
        ASSERT_NE(v, std::nullopt) << "row " << at.first << " column " << at.second;
        const auto [type, text] = asXlrd(*v);
        EXPECT_EQ(type, cell.type) << "row " << at.first << " column " << at.second;
        if (cell.type == 2) {
            EXPECT_DOUBLE_EQ(std::stod(text), std::stod(cell.value));
        } else {
            EXPECT_EQ(text, cell.value) << "row " << at.first << " column " << at.second;
        }
    }
    EXPECT_EQ(ours.firstSheet.lastRow() + 1, theirs.rows);
    EXPECT_EQ(ours.firstSheet.lastColumn() + 1, theirs.columns);
}

const char* kXlwtScript = R"PY(
import sys, datetime, xlwt
b = xlwt.Workbook(encoding='utf-8')
s = b.add_sheet('菜品')
b.add_sheet('Other')
date = xlwt.easyxf(num_format_str='yyyy-mm-dd hh:mm:ss')
day = xlwt.easyxf(num_format_str='YYYY/M/D')
s.write(1, 0, '编号'); s.write(1, 1, '名称'); s.write(1, 2, '价格')
s.write(2, 0, 1); s.write(2, 1, '宫保鸡丁'); s.write(2, 2, 28.5)
s.write(3, 0, -123456789); s.write(3, 1, 'Mixed 混合 text'); s.write(3, 2, 0.1)
s.write(4, 0, datetime.datetime(2023, 5, 17, 13, 45, 10), date)
s.write(4, 1, datetime.date(1900, 3, 1), day)
s.write(4, 2, True); s.write(4, 3, False)
s.write(5, 0, xlwt.Formula('A3*2')); s.write(5, 1, 1e15); s.write(5, 2, 12345.678)
s.write(6, 4, '', xlwt.easyxf('font: bold on'))
s.write(7, 0, 'x' * 9000)
b.save(sys.argv[1])
)PY";

}  // namespace

TEST(XlsReaderInterop, FilesWrittenByXlwt) {
    TempDir dir;
    const std::string script = dir.file("make.py");
    std::ofstream(script) << kXlwtScript;
    const std::string path = dir.file("xlwt.xls");
    xlstest::run("/usr/bin/python3 '" + script + "' '" + path + "'");
    expectSameAsXlrd(path);
    const WorkbookData ours = readWorkbookFile(path);
    // xlwt does not calculate: the formula's result is not in the file.
    EXPECT_EQ(ours.firstSheet.cellsWithoutResult(), (std::vector<std::pair<int, int>>{{5, 0}}));
    // The formatted blank cell at row 7, column 5 counts in the used range.
    EXPECT_EQ(ours.firstSheet.lastColumn(), 4);
    EXPECT_EQ(ours.firstSheet.firstRow(), 1);
}

TEST(XlsReaderInterop, FilesWrittenByLibreOffice) {
    TempDir dir;
    // A CSV converted by LibreOffice, then a file with formulas (written by
    // xlwt without results) that LibreOffice recalculates and saves again.
    std::ofstream(dir.file("plain.csv"))
        << "编号,名称,单价\n1,宫保鸡丁,28.5\n2,\"Fish, chips\",12\n";
    const std::string script = dir.file("formulas.py");
    std::ofstream(script) << R"PY(
import sys, xlwt
b = xlwt.Workbook(encoding='utf-8')
s = b.add_sheet('Formulas')
s.write(0, 0, 6); s.write(0, 1, 7)
s.write(1, 0, xlwt.Formula('A1*B1'))
s.write(1, 1, xlwt.Formula('"菜"&"品"&A1'))
s.write(1, 2, xlwt.Formula('A1>B1'))
s.write(1, 3, xlwt.Formula('A1/0'))
s.write(1, 4, xlwt.Formula('REPT("ab",5000)'))
b.save(sys.argv[1])
)PY";
    const std::string made = dir.path().string() + "/made";
    xlstest::fs::create_directory(made);
    xlstest::run("/usr/bin/python3 '" + script + "' '" + made + "/formulas.xls'");
    const std::string profile = "file://" + dir.path().string() + "/lo-profile";
    xlstest::run("cd '" + dir.path().string() + "' && soffice -env:UserInstallation=" + profile +
                 " --headless --convert-to xls:'MS Excel 97' --outdir '" + dir.path().string() +
                 "' plain.csv '" + made + "/formulas.xls' >/dev/null 2>&1");
    expectSameAsXlrd(dir.file("plain.xls"));
    expectSameAsXlrd(dir.file("formulas.xls"));
    const WorkbookData f = readWorkbookFile(dir.file("formulas.xls"));
    EXPECT_EQ(f.firstSheet.cell(1, 0)->asFloat(), 42);
    // LibreOffice recalculates numeric formulas here; text results are
    // covered by the hand-made STRING records below.
    EXPECT_EQ(f.firstSheet.cell(1, 3)->type(), ValueType::Error);
}

// Excel 5.0 and 95 workbooks in code page 936, read cell for cell as xlrd
// reads them; a FORMAT record cut short costs only its format.
TEST(XlsReaderInterop, Excel95WorkbooksInCodePage936) {
    const std::vector<std::vector<std::string>> grid{
        {"编号", "名称", "价格", "日期"},
        {"1", "宫保鸡丁", "28.5", "2023-05-17"},
        {"2", "Mixed 混合 text", "-0.1", "1900-03-01"},
    };
    Biff rstring;  // a LABEL with formatting runs: one run of 2 bytes
    rstring.rec(0x00D6, cell(4, 0, 15) + u16(3) + "abc" + "\x01" + u16(0));
    std::string cutFormat = u16(165) + "\x3C" + "yyyy";  // 60 bytes announced, 4 there
    const struct Case {
        const char* name;
        std::string extraGlobals;
        bool sameAsXlrd;
        ValueType dateCell;
    } cases[] = {
        {"as saved", "", true, ValueType::DateTime},
        {"date format cut short", Biff().rec(0x041E, cutFormat).bytes(), false, ValueType::Float},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file(std::string(c.name) + ".xls");
        pos::testing::writeExcel95Workbook(path, grid, 2, c.extraGlobals, rstring.bytes());
        if (c.sameAsXlrd) {
            expectSameAsXlrd(path);
        }
        const WorkbookData book = readWorkbookFile(path);
        EXPECT_EQ(book.sheetNames, std::vector<std::string>{"工作表1"});
        const SheetData& s = book.firstSheet;
        EXPECT_EQ(s.cell(1, 0)->asText(), "编号");
        EXPECT_EQ(s.cell(2, 0)->asFloat(), 1);
        EXPECT_EQ(s.cell(2, 1)->asText(), "宫保鸡丁");
        EXPECT_EQ(s.cell(2, 2)->asFloat(), 28.5);
        EXPECT_EQ(s.cell(3, 1)->asText(), "Mixed 混合 text");
        EXPECT_EQ(s.cell(4, 0)->asText(), "abc");
        ASSERT_EQ(s.cell(2, 3)->type(), c.dateCell);
        if (c.dateCell == ValueType::DateTime) {
            EXPECT_EQ(s.cell(2, 3)->asDateTime(), (DateTime{2023, 5, 17, 0, 0, 0, 0}));
        } else {
            EXPECT_EQ(s.cell(2, 3)->asFloat(), 45063);
        }
    }
}

// Characters outside the Basic Multilingual Plane (emoji, rare CJK) are two
// UTF-16 units each. Our string table never parts a pair between records,
// and a file whose writer parts them (xlwt does) reads back whole.
TEST(XlsWriter, CharactersOutsideTheBasicPlaneSurviveRecordBoundaries) {
    struct Case {
        const char* name;
        std::function<std::string(int)> text;
        int count;
    };
    const Case cases[] = {
        {"short texts", [](int n) { return "菜🍜" + std::to_string(n); }, 3000},
        {"rare characters among Latin-1 texts",
         [](int n) { return n % 3 ? "𩽾𩾌鱼" + std::to_string(n) : "x" + std::to_string(n); },
         3000},
        {"texts longer than a record", [](int n) { return "菜" + repeat("🍜", 3000 + n); }, 5},
    };
    TempDir dir;
    const std::string xlwtScript = dir.file("write_texts.py");
    std::ofstream(xlwtScript) << R"PY(
import sys, xlwt
b = xlwt.Workbook(encoding='utf-8')
s = b.add_sheet('Menu')
for r, line in enumerate(open(sys.argv[1], encoding='utf-8').read().split('\n')):
    s.write(r + 1, 0, line)
b.save(sys.argv[2])
)PY";
    for (const auto& c : cases) {
        std::vector<std::vector<std::string>> rows;
        std::string lines;
        for (int n = 0; n < c.count; ++n) {
            rows.push_back({c.text(n)});
            lines += (n > 0 ? "\n" : "") + rows.back()[0];
        }
        const std::string ours = dir.file(std::string(c.name) + ".xls");
        writeSheet(ours, rows, "Menu", 2);
        const std::string textsPath = dir.file("texts.txt");
        std::ofstream(textsPath, std::ios::binary) << lines;
        const std::string theirs = dir.file(std::string(c.name) + " xlwt.xls");
        xlstest::run("/usr/bin/python3 '" + xlwtScript + "' '" + textsPath + "' '" + theirs + "'");

        const auto byXlrd = xlstest::readWithXlrd(ours);
        const SheetData ourFile = readWorkbookFile(ours).firstSheet;
        const SheetData xlwtFile = readWorkbookFile(theirs).firstSheet;
        for (std::size_t r = 0; r < rows.size(); ++r) {
            const int row = static_cast<int>(r) + 1;
            const auto found = byXlrd.cells.find({row, 0});
            ASSERT_NE(found, byXlrd.cells.end()) << c.name << ", row " << row;
            EXPECT_EQ(found->second.value, rows[r][0]) << c.name << ", xlrd, row " << row;
            ASSERT_NE(ourFile.cell(row, 0), std::nullopt) << c.name << ", row " << row;
            EXPECT_EQ(ourFile.cell(row, 0)->asText(), rows[r][0]) << c.name << ", row " << row;
            ASSERT_NE(xlwtFile.cell(row, 0), std::nullopt) << c.name << ", xlwt, row " << row;
            EXPECT_EQ(xlwtFile.cell(row, 0)->asText(), rows[r][0])
                << c.name << ", xlwt, row " << row;
        }
    }
}

// Every cell's text, read back by xlrd and by our reader, is the text written.
TEST(XlsWriter, TextsSurviveXlrdAndOurReader) {
    TempDir dir;
    std::vector<std::vector<std::string>> rows = {
        {"编号", "名称", "单价", "Code"},
        {"1", "宫保鸡丁", "28.5", "GBJD"},
        {"2", "Fish & Chips \"large\"", "", "FC, L"},
        {"3", repeat("a", 255), repeat("菜", 255), "x"},
        {"4", repeat("b", 8224), repeat("麻婆豆腐Mixed", 700), "y"},
        {"5", repeat("c", 20000), repeat("中", 32767), repeat("z", 32767)},
        {"6", "émigré ñ ß", "😀 emoji", "tab\there"},
        {"7", "line\nbreak", " lead and trail ", "last"},
    };
    const std::string path = dir.file("texts.xls");
    writeSheet(path, rows, "Menu", 2);

    const auto sheet = xlstest::readWithXlrd(path);
    EXPECT_EQ(sheet.name, "Menu");
    EXPECT_EQ(sheet.rows, static_cast<int>(rows.size()) + 1);
    const WorkbookData ours = readWorkbookFile(path);
    ASSERT_EQ(ours.sheetNames, std::vector<std::string>{"Menu"});
    for (std::size_t r = 0; r < rows.size(); ++r) {
        for (std::size_t c = 0; c < rows[r].size(); ++c) {
            const int row = static_cast<int>(r) + 1, col = static_cast<int>(c);
            const auto found = sheet.cells.find({row, col});
            ASSERT_NE(found, sheet.cells.end()) << r << "," << c;
            EXPECT_EQ(found->second.value, rows[r][c]) << "xlrd, row " << r << " column " << c;
            EXPECT_TRUE(found->second.wrap);
            const std::optional<Value> v = ours.firstSheet.cell(row, col);
            if (rows[r][c].empty()) {
                EXPECT_EQ(v, std::nullopt);
                EXPECT_EQ(found->second.type, 6);  // a formatted blank
            } else {
                ASSERT_NE(v, std::nullopt);
                EXPECT_EQ(v->asText(), rows[r][c]) << "ours, row " << r << " column " << c;
            }
        }
    }
}

TEST(XlsWriter, SeventyThousandDistinctStrings) {
    TempDir dir;
    std::vector<std::vector<std::string>> rows;
    for (int i = 0; i < 35000; ++i) {
        rows.push_back({"菜品" + std::to_string(i), "dish-" + std::to_string(i * 7)});
    }
    const std::string path = dir.file("many.xls");
    writeSheet(path, rows, "Menu", 3);
    const auto sheet = xlstest::readWithXlrd(path);
    ASSERT_EQ(sheet.rows, 35002);
    const WorkbookData ours = readWorkbookFile(path);
    for (int i = 0; i < 35000; ++i) {
        const auto a = sheet.cells.find({i + 2, 0});
        const auto b = sheet.cells.find({i + 2, 1});
        ASSERT_TRUE(a != sheet.cells.end() && b != sheet.cells.end()) << i;
        ASSERT_EQ(a->second.value, rows[static_cast<std::size_t>(i)][0]);
        ASSERT_EQ(b->second.value, rows[static_cast<std::size_t>(i)][1]);
        ASSERT_EQ(ours.firstSheet.cell(i + 2, 1)->asText(), rows[static_cast<std::size_t>(i)][1]);
    }
}

TEST(XlsWriter, LibreOfficeReadsEveryText) {
    TempDir dir;
    std::vector<std::vector<std::string>> rows = {
        {"编号", "名称", "备注"},
        {"1", "宫保鸡丁", repeat("长注释", 3000)},
        {"2", "Crème brûlée", repeat("x", 9000)},
        {"3", "Quote \"and\", comma", "混合 mixed 文字"},
    };
    const std::string path = dir.file("office.xls");
    writeSheet(path, rows, "Menu", 2);
    const auto csv = xlstest::readWithLibreOffice(path, dir.path().string());
    ASSERT_EQ(csv.size(), rows.size() + 1);
    for (std::size_t r = 0; r < rows.size(); ++r) {
        ASSERT_GE(csv[r + 1].size(), rows[r].size());
        for (std::size_t c = 0; c < rows[r].size(); ++c) {
            EXPECT_EQ(csv[r + 1][c], rows[r][c]) << r << "," << c;
        }
    }
}

TEST(XlsWriter, SaveRefusesUnknownExtensionsAndMissingFolders) {
    TempDir dir;
    SpreadsheetSession s;
    s.startExcel();
    s.addWorkbook();
    s.sheetByName("Sheet1");
    s.writeCell(1, 1, "x");
    EXPECT_THROW(s.saveSheetAs(dir.file("book.txt")), WorkbookError);
    EXPECT_THROW(s.saveSheetAs(dir.file("missing/book.xls")), WorkbookError);
    EXPECT_NO_THROW(s.saveSheetAs(dir.file("BOOK.XLS")));
    EXPECT_EQ(xlstest::readWithXlrd(dir.file("BOOK.XLS")).cells.at({0, 0}).value, "x");
}

TEST(XlsWriter, OutOfOrderAndRepeatedWritesKeepTheLastText) {
    TempDir dir;
    SpreadsheetSession s;
    s.startExcel();
    s.addWorkbook();
    s.sheetByName("Sheet1");
    s.writeCell(5, 2, "late");
    s.writeCell(2, 1, "first");
    s.writeCell(5, 2, "later");
    s.writeCell(2, 3, "third");
    s.writeCell(2, 1, "again");
    EXPECT_EQ(s.readCell(5, 2).asText(), "later");
    EXPECT_EQ(s.usedRowCount("Sheet1"), 4);
    s.saveSheetAs(dir.file("order.xls"));
    const auto sheet = xlstest::readWithXlrd(dir.file("order.xls"));
    EXPECT_EQ(sheet.cells.size(), 3u);
    EXPECT_EQ(sheet.cells.at({1, 0}).value, "again");
    EXPECT_EQ(sheet.cells.at({1, 2}).value, "third");
    EXPECT_EQ(sheet.cells.at({4, 1}).value, "later");
}

// A formula whose result the file does not store (a script that does not
// calculate wrote it) reads as NULL and is listed, so that the import can
// refuse the workbook; once a spreadsheet program has saved the file, every
// result is there, an empty text included.
TEST(SessionFormulas, CellsWithoutAStoredResult) {
    xlsxtest::TempDir dir;
    const std::string fromOpenpyxl = dir.file("openpyxl.xlsx");
    ASSERT_EQ(xlsxtest::python(R"PY(
import sys, openpyxl
wb = openpyxl.Workbook()
ws = wb.active
ws["A1"] = 5; ws["B1"] = "=A1*2"; ws["C1"] = '=IF(A1>1,"","x")'; ws["D1"] = "菜"
ws["B3"] = '="a"&"b"'
wb.save(sys.argv[1])
)PY",
                               {fromOpenpyxl})
                  .first,
              0);
    const std::string fromXlwt = dir.file("xlwt.xls");
    ASSERT_EQ(xlsxtest::python(R"PY(
import sys, xlwt
b = xlwt.Workbook(encoding='utf-8')
s = b.add_sheet('Sheet')
s.write(0, 0, 5); s.write(0, 1, xlwt.Formula('A1*2')); s.write(0, 2, xlwt.Formula('IF(A1>1,"","x")'))
s.write(0, 3, '菜'); s.write(2, 1, xlwt.Formula('"a"&"b"'))
b.save(sys.argv[1])
)PY",
                               {fromXlwt})
                  .first,
              0);
    std::filesystem::create_directory(dir.file("lo"));
    const std::string xlsxByLibreOffice = xlsxtest::convertWithLibreOffice(
        fromOpenpyxl, dir.file("lo"), "xlsx:Calc MS Excel 2007 XML", "xlsx");
    const std::string xlsByLibreOffice =
        xlsxtest::convertWithLibreOffice(fromOpenpyxl, dir.file("lo"), "xls:MS Excel 97", "xls");

    const std::vector<std::pair<int, int>> uncalculated = {{1, 2}, {1, 3}, {3, 2}};
    struct Case {
        const char* name;
        std::string path;
        std::vector<std::pair<int, int>> withoutResult;
    };
    const Case cases[] = {
        {"openpyxl .xlsx", fromOpenpyxl, uncalculated},
        {"xlwt .xls", fromXlwt, uncalculated},
        {"saved by LibreOffice as .xlsx", xlsxByLibreOffice, {}},
        {"saved by LibreOffice as .xls", xlsByLibreOffice, {}},
    };
    for (const auto& c : cases) {
        SpreadsheetSession s;
        s.startExcel();
        s.openWorkbook(c.path);
        s.nameFirstSheet("Menu");
        s.sheetByName("Menu");
        EXPECT_EQ(s.cellsWithoutResult(), c.withoutResult) << c.name;
        EXPECT_EQ(s.readCell(1, 1), Value::floating(5)) << c.name;
        EXPECT_EQ(s.readCell(1, 4), Value::text("菜")) << c.name;
        EXPECT_EQ(s.usedRowCount("Menu"), 3) << c.name;
        if (c.withoutResult.empty()) {
            EXPECT_EQ(s.readCell(1, 2), Value::floating(10)) << c.name;
            EXPECT_EQ(s.readCell(1, 3), Value::text("")) << c.name;
            EXPECT_EQ(s.readCell(3, 2), Value::text("ab")) << c.name;
        } else {
            for (const auto& [row, column] : c.withoutResult) {
                EXPECT_TRUE(s.readCell(row, column).isNull()) << c.name;
            }
        }
    }
}

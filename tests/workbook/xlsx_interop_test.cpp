// .xlsx and .ods files checked against independent programs: what we write,
// read by openpyxl and LibreOffice; what openpyxl and LibreOffice write, read
// by us and compared cell by cell with openpyxl's reading (an .ods with the
// .xlsx that LibreOffice saves of the same sheet).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "workbook/CellSpool.h"
#include "workbook/OdsReader.h"
#include "workbook/OdsWriter.h"
#include "workbook/SheetData.h"
#include "workbook/WorkbookError.h"
#include "workbook/XlsxReader.h"
#include "workbook/XlsxWriter.h"
#include "xlsx_support.h"

using namespace pos;
using namespace pos::workbook;
using namespace xlsxtest;

namespace {

std::string repeat(const std::string& unit, int count) {
    std::string out;
    for (int i = 0; i < count; ++i)
        out += unit;
    return out;
}

// Texts that have tripped writers: markup characters, line breaks, leading
// and trailing spaces, text that looks like a formula, a number or an escape,
// characters beyond the BMP, and a cell at the 32,767-character limit.
const std::vector<std::string>& trickyTexts() {
    static const std::vector<std::string> texts = {
        "plain",
        "菜品信息",
        "a&b<c>\"d'e",
        "line1\nline2",
        "  padded  ",
        "=1+1",
        "0123",
        "_x000D_ stays literal",
        "tab\there",
        "😀 emoji",
        repeat("宫", 32767),
        repeat("x", 255),
    };
    return texts;
}

TEST(XlsxInterop, FilesWeWriteReadByOpenpyxlAndLibreOffice) {
    TempDir dir;
    CellSpool cells;
    const auto& texts = trickyTexts();
    // Row 1 stays empty; headings in row 2; the texts from row 3, three columns wide.
    for (int c = 0; c < 3; ++c)
        cells.add(1, c, "Heading " + std::to_string(c + 1));
    std::map<std::pair<int, int>, std::string> expected;
    for (int c = 0; c < 3; ++c)
        expected[{2, c + 1}] = "Heading " + std::to_string(c + 1);
    for (std::size_t i = 0; i < texts.size(); ++i) {
        int row = 2 + static_cast<int>(i);
        for (int c = 0; c < 3; ++c) {
            const std::string& t = texts[(i + static_cast<std::size_t>(c)) % texts.size()];
            cells.add(row, c, t);
            expected[{row + 1, c + 1}] = t;
        }
    }
    const std::string path = dir.file("written.xlsx");
    writeXlsx(path, SheetToWrite{"Menu", true, cells});

    OpenpyxlSheet sheet = readWithOpenpyxl(path);
    EXPECT_EQ(sheet.title, "Menu");
    ASSERT_EQ(sheet.cells.size(), expected.size());
    for (const auto& [at, text] : expected) {
        // openpyxl leaves the _xHHHH_ escapes of inline strings undecoded, so
        // it sees the escaped underscore that LibreOffice and we decode.
        std::string seen = text.find("_x000D_") == std::string::npos ? text : "_x005F" + text;
        EXPECT_EQ(sheet.cells[at], "s:" + seen) << "row " << at.first << " column " << at.second;
        EXPECT_TRUE(sheet.wrap[at]) << "row " << at.first << " column " << at.second;
    }

    std::string csv = convertWithLibreOffice(path, dir.path().string(),
                                             "csv:Text - txt - csv (StarCalc):44,34,76,1", "csv");
    auto rows = parseCsv(readFile(csv));
    ASSERT_EQ(rows.size(), 2 + texts.size());
    for (std::size_t c = 0; c < rows[0].size(); ++c)
        EXPECT_EQ(rows[0][c], "") << "row 1 is empty";
    for (const auto& [at, text] : expected) {
        const auto& row = rows[static_cast<std::size_t>(at.first - 1)];
        ASSERT_GE(row.size(), static_cast<std::size_t>(at.second));
        EXPECT_EQ(row[static_cast<std::size_t>(at.second - 1)], text)
            << "row " << at.first << " column " << at.second;
    }

    // And our own reader agrees.
    WorkbookData data = readXlsx(path);
    EXPECT_EQ(data.sheetNames, std::vector<std::string>{"Menu"});
    EXPECT_EQ(data.firstSheet.firstRow(), 1);
    EXPECT_EQ(data.firstSheet.lastRow(), 1 + static_cast<int>(texts.size()));
    for (const auto& [at, text] : expected) {
        const std::optional<Value> v = data.firstSheet.cell(at.first - 1, at.second - 1);
        ASSERT_NE(v, std::nullopt);
        EXPECT_EQ(*v, Value::text(text));
    }
}

// What we read, in the form the openpyxl dump prints.
std::string describe(const Value& v) {
    char buffer[64];
    switch (v.type()) {
        case ValueType::Text:
            return "s:" + v.asText();
        case ValueType::Float:
            std::snprintf(buffer, sizeof buffer, "%.17g", v.asFloat());
            return std::string("n:") + buffer;
        case ValueType::Boolean:
            return v.asBoolean() ? "b:1" : "b:0";
        case ValueType::Error:
            return "e:" + v.toText();
        case ValueType::DateTime: {
            const DateTime& d = v.asDateTime();
            std::snprintf(buffer, sizeof buffer, "d:%04d-%02d-%02d %02d:%02d:%02d", d.year, d.month,
                          d.day, d.hour, d.minute, d.second);
            return buffer;
        }
        default:
            return "?:" + v.toText();
    }
}

// Numbers compare by value (Python's repr and %.17g spell some differently).
void expectSameCell(const std::string& ours, const std::string& theirs, const std::string& where) {
    if (ours.rfind("n:", 0) == 0 && theirs.rfind("n:", 0) == 0) {
        EXPECT_DOUBLE_EQ(std::stod(ours.substr(2)), std::stod(theirs.substr(2))) << where;
    } else {
        EXPECT_EQ(ours, theirs) << where;
    }
}

void expectSameAsOpenpyxl(const std::string& path) {
    SCOPED_TRACE(path);
    OpenpyxlSheet theirs = readWithOpenpyxl(path);
    WorkbookData ours = readXlsx(path);
    EXPECT_EQ(ours.firstSheet.name, theirs.title);
    std::size_t count = 0;
    const SheetData& s = ours.firstSheet;
    for (int r = std::max(0, s.firstRow()); r <= s.lastRow(); ++r) {
        for (int c = std::max(0, s.firstColumn()); c <= s.lastColumn(); ++c) {
            const std::optional<Value> v = s.cell(r, c);
            if (!v)
                continue;
            ++count;
            auto it = theirs.cells.find({r + 1, c + 1});
            std::string where = "row " + std::to_string(r + 1) + " column " + std::to_string(c + 1);
            ASSERT_NE(it, theirs.cells.end()) << where << " only we read " << describe(*v);
            expectSameCell(describe(*v), it->second, where);
        }
    }
    EXPECT_EQ(count, theirs.cells.size());
}

const char* kOpenpyxlWrite = R"PY(
import sys, datetime, openpyxl
from openpyxl.styles import Alignment
wb = openpyxl.Workbook()
ws = wb.active
ws.title = "菜品"
ws["A2"] = "编号"; ws["B2"] = "名称"; ws["C2"] = "价格"; ws["D2"] = "上架"; ws["E2"] = "日期"
rows = [
    (1, "宫保鸡丁", 28.5, True, datetime.datetime(2024, 2, 29, 13, 45, 10)),
    (2, "Fish & Chips <large>", 0.1, False, datetime.date(1900, 3, 1)),
    (3, "  spaces  \nline", -12345678.125, True, datetime.datetime(1999, 12, 31, 23, 59, 59)),
    (4, "x" * 5000, 1e-7, False, datetime.time(18, 30)),
]
for i, r in enumerate(rows, start=3):
    for j, v in enumerate(r, start=1):
        ws.cell(row=i, column=j, value=v)
ws["F3"] = "=C3*2"
ws["F4"] = "=1/0"
ws["F5"] = '=B3&"!"'
ws["F6"] = "=C3>10"
ws["G3"] = 45351
ws["G3"].number_format = 'yyyy"年"m"月"d"日"'
ws["G4"] = 2.5
ws["G4"].number_format = '0.00" days"'
ws["H9"] = "far"
ws["H9"].alignment = Alignment(wrap_text=True)
wb.create_sheet("Second")
wb.save(sys.argv[1])
)PY";

TEST(XlsxInterop, FilesOpenpyxlAndLibreOfficeWriteReadByUs) {
    TempDir dir;
    const std::string fromOpenpyxl = dir.file("openpyxl.xlsx");
    ASSERT_EQ(python(kOpenpyxlWrite, {fromOpenpyxl}).first, 0);
    // openpyxl stores formulas without results: both readers see them empty.
    expectSameAsOpenpyxl(fromOpenpyxl);
    WorkbookData data = readXlsx(fromOpenpyxl);
    EXPECT_EQ(data.sheetNames, (std::vector<std::string>{"菜品", "Second"}));
    EXPECT_EQ(*data.firstSheet.cell(2, 6), Value::dateTime(DateTime{2024, 2, 29, 0, 0, 0, 0}));

    // LibreOffice recalculates on load and saves the formulas' results.
    std::filesystem::create_directory(dir.file("lo"));
    const std::string fromLibreOffice =
        convertWithLibreOffice(fromOpenpyxl, dir.file("lo"), "xlsx:Calc MS Excel 2007 XML", "xlsx");
    expectSameAsOpenpyxl(fromLibreOffice);
    const SheetData lo = readXlsx(fromLibreOffice).firstSheet;
    ASSERT_NE(lo.cell(2, 5), std::nullopt);
    EXPECT_EQ(*lo.cell(2, 5), Value::floating(57));
    EXPECT_EQ(*lo.cell(3, 5), Value::error(0x07));
    EXPECT_EQ(*lo.cell(4, 5), Value::text("宫保鸡丁!"));
    EXPECT_EQ(*lo.cell(5, 5), Value::boolean(true));
}

TEST(XlsxInterop, RichTextSavedByLibreOfficeReadsAsItsPlainText) {
    TempDir dir;
    const std::string html = dir.file("rich.html");
    writeFile(html,
              "<html><head><meta charset=\"utf-8\"></head><body><table>"
              "<tr><td>plain</td><td>mixed <b>bold</b> and <i>斜体</i> runs</td></tr>"
              "</table></body></html>");
    std::filesystem::create_directory(dir.file("out"));
    std::string profile = "-env:UserInstallation=file://" + dir.file("out") + "/lo-profile";
    auto [status, out] =
        run({"/usr/bin/soffice", profile, "--headless", "--infilter=HTML (StarCalc)",
             "--convert-to", "xlsx:Calc MS Excel 2007 XML", "--outdir", dir.file("out"), html});
    ASSERT_EQ(status, 0) << out;
    const std::string path = dir.file("out/rich.xlsx");
    // The runs are really there, so the reader's rich-text path is exercised.
    auto [zipStatus, strings] = python(
        "import zipfile,sys; "
        "print(zipfile.ZipFile(sys.argv[1]).read('xl/sharedStrings.xml').decode())",
        {path});
    ASSERT_EQ(zipStatus, 0);
    EXPECT_NE(strings.find("<r>"), std::string::npos) << strings;
    expectSameAsOpenpyxl(path);
    const SheetData s = readXlsx(path).firstSheet;
    const std::optional<Value> rich = s.cell(s.firstRow(), s.firstColumn() + 1);
    ASSERT_NE(rich, std::nullopt);
    EXPECT_EQ(*rich, Value::text("mixed bold and 斜体 runs"));
}

// Dish codes and prices as numbers, table numbers with leading zeros and
// every tricky text as texts: LibreOffice reads them so from our .ods.
TEST(OdsInterop, FilesWeWriteReadByLibreOffice) {
    TempDir dir;
    CellSpool cells;
    const auto& texts = trickyTexts();
    const std::vector<std::string> headings = {"菜品编码", "菜品名称", "价格1", "桌号"};
    const char* const prices[] = {"12.34", "0.1", "28.5", "-3"};
    std::vector<std::vector<std::string>> expected = {{"", "", "", ""}, headings};
    for (std::size_t c = 0; c < headings.size(); ++c)
        cells.add(1, static_cast<int>(c), headings[c]);
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const int row = 2 + static_cast<int>(i);
        const std::string code = std::to_string(1001 + i);
        const std::string table = "00" + std::to_string(i);
        const std::string price = prices[i % 4];
        cells.add(row, 0, code, CellKind::Number);
        cells.add(row, 1, texts[i]);
        cells.add(row, 2, price, CellKind::Number);
        cells.add(row, 3, table);
        expected.push_back({code, texts[i], price, table});
    }
    const std::string path = dir.file("written.ods");
    writeOds(path, SheetToWrite{"Menu", true, cells});

    const std::string csv = convertWithLibreOffice(
        path, dir.path().string(), "csv:Text - txt - csv (StarCalc):44,34,76,1", "csv");
    const auto rows = parseCsv(readFile(csv));
    ASSERT_EQ(rows.size(), expected.size());
    for (std::size_t r = 0; r < rows.size(); ++r) {
        // LibreOffice writes a tab in a cell as <text:tab/>, as we do, but
        // leaves it out when it reads an .ods (its own ones too).
        std::vector<std::string> shown = expected[r];
        std::erase(shown[1], '\t');
        EXPECT_EQ(rows[r], shown) << "row " << r + 1;
    }
    // The kinds, as LibreOffice saves them again in an .xlsx.
    std::filesystem::create_directory(dir.file("lo"));
    const std::string xlsx =
        convertWithLibreOffice(path, dir.file("lo"), "xlsx:Calc MS Excel 2007 XML", "xlsx");
    OpenpyxlSheet sheet = readWithOpenpyxl(xlsx);
    EXPECT_EQ(sheet.title, "Menu");
    for (std::size_t r = 2; r < expected.size(); ++r) {
        const int row = static_cast<int>(r) + 1;
        EXPECT_EQ(sheet.cells[std::make_pair(row, 1)].substr(0, 2), "n:") << "row " << row;
        EXPECT_EQ(sheet.cells[std::make_pair(row, 3)].substr(0, 2), "n:") << "row " << row;
        EXPECT_EQ(sheet.cells[std::make_pair(row, 4)], "s:" + expected[r][3]) << "row " << row;
        EXPECT_TRUE(sheet.wrap[std::make_pair(row, 2)]) << "row " << row;
    }
    // And our own reader agrees.
    const SheetData ours = readOds(path).firstSheet;
    EXPECT_EQ(ours.lastRow() + 1, static_cast<int>(expected.size()));
    for (std::size_t r = 2; r < expected.size(); ++r) {
        const int row = static_cast<int>(r);
        EXPECT_EQ(ours.cell(row, 1), Value::text(expected[r][1])) << "row " << row + 1;
        EXPECT_EQ(ours.cell(row, 2), Value::floating(cellNumber(expected[r][2])));
    }
}

// One sheet of every kind of cell, saved by LibreOffice as .ods and as
// .xlsx: the two read the same.
TEST(OdsInterop, FilesLibreOfficeSavesReadAsItsXlsx) {
    TempDir dir;
    const std::string source = dir.file("source.xlsx");
    ASSERT_EQ(python(kOpenpyxlWrite, {source}).first, 0);
    std::filesystem::create_directory(dir.file("lo"));
    const SheetData ods =
        readOds(convertWithLibreOffice(source, dir.file("lo"), "ods", "ods")).firstSheet;
    const WorkbookData xlsx = readXlsx(
        convertWithLibreOffice(source, dir.file("lo"), "xlsx:Calc MS Excel 2007 XML", "xlsx"));
    const SheetData& other = xlsx.firstSheet;
    EXPECT_EQ(ods.name, "菜品");
    EXPECT_EQ(ods.lastRow(), other.lastRow());
    EXPECT_EQ(ods.lastColumn(), other.lastColumn());
    int compared = 0;
    for (int r = 0; r <= other.lastRow(); ++r) {
        for (int c = 0; c <= other.lastColumn(); ++c) {
            const std::optional<Value> theirs = other.cell(r, c);
            const std::optional<Value> ours = ods.cell(r, c);
            const std::string where =
                "row " + std::to_string(r + 1) + " column " + std::to_string(c + 1);
            ASSERT_EQ(ours.has_value(), theirs.has_value()) << where;
            if (ours) {
                // LibreOffice keeps a boolean of an .xlsx as the formula
                // =TRUE() or =FALSE() in an .ods, whose stored result is
                // the number 1 or 0.
                const std::string seen = describe(*theirs);
                const bool boolean = seen.starts_with("b:");
                expectSameCell(describe(*ours), boolean ? "n:" + seen.substr(2) : seen, where);
                ++compared;
            }
        }
    }
    EXPECT_GT(compared, 25);
}

}  // namespace

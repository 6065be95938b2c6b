// The .xlsx reader on packages built byte by byte: each kind of cell, the
// date rules, the used range, and the broken and hostile packages it must
// refuse with a clear message.
#include <gtest/gtest.h>

#include "workbook/SheetData.h"
#include "workbook/WorkbookError.h"
#include "workbook/XlsxParts.h"
#include "workbook/XlsxReader.h"
#include "xlsx_support.h"

using namespace pos;
using namespace pos::workbook;
using xlsxtest::makePackage;
using xlsxtest::minimalParts;
using xlsxtest::TempDir;

namespace {

DateTime dt(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    return DateTime{y, mo, d, h, mi, s, ms};
}

const char* kStyles =
    "<numFmts count=\"3\"><numFmt numFmtId=\"164\" "
    "formatCode=\"yyyy&quot;年&quot;m&quot;月&quot;d&quot;日&quot;\"/>"
    "<numFmt numFmtId=\"165\" formatCode=\"0.00&quot;days&quot;\"/>"
    "<numFmt numFmtId=\"166\" formatCode=\"[h]:mm\"/></numFmts>"
    "<cellStyleXfs count=\"1\"><xf numFmtId=\"14\"/></cellStyleXfs>"
    "<cellXfs count=\"6\"><xf numFmtId=\"0\"/><xf numFmtId=\"14\"/><xf numFmtId=\"164\"/>"
    "<xf numFmtId=\"165\"/><xf numFmtId=\"166\"/><xf numFmtId=\"2\"/></cellXfs>";

TEST(XlsxReader, ReadsEveryKindOfCell) {
    TempDir dir;
    const std::string shared =
        "<si><t>plain</t></si>"
        "<si><r><rPr><b/></rPr><t>rich </t></r><r><t xml:space=\"preserve\"> runs </t></r>"
        "<rPh sb=\"0\" eb=\"1\"><t>PHONETIC</t></rPh></si>"
        "<si><t>菜品_x000D_信息</t></si>"
        "<si><t/></si>";
    const std::string sheet =
        "<row r=\"2\"><c r=\"A2\" t=\"s\"><v>0</v></c><c r=\"B2\" t=\"s\"><v>1</v></c>"
        "<c r=\"C2\" t=\"s\"><v>2</v></c><c r=\"D2\" t=\"s\"><v>3</v></c></row>"
        "<row r=\"3\"><c r=\"A3\"><v>12.5</v></c><c r=\"B3\" t=\"b\"><v>1</v></c>"
        "<c r=\"C3\" t=\"e\"><f>1/0</f><v>#DIV/0!</v></c>"
        "<c r=\"D3\" t=\"str\"><f>A2&amp;\"x\"</f><v>plainx</v></c>"
        "<c r=\"E3\" t=\"inlineStr\"><is><r><t>in</t></r><r><t>line</t></r></is></c>"
        "<c r=\"F3\" t=\"d\"><v>2024-02-29T13:45:10</v></c></row>"
        // Cells without a reference follow the previous one; a row without r follows row 3.
        "<row><c s=\"1\"><v>45351</v></c><c s=\"2\"><v>45351.5</v></c><c s=\"3\"><v>2</v></c>"
        "<c s=\"4\"><v>1.5</v></c><c s=\"5\"><v>60</v></c><c r=\"H4\" s=\"1\"><v>60</v></c></row>"
        "<row r=\"5\"><c r=\"A5\" t=\"b\"><v>0</v></c><c r=\"B5\" t=\"e\"><v>#N/A</v></c>"
        "<c r=\"C5\"><f>SUM(A1:A2)</f></c></row>"
        // Styled blanks count in the used range; a blank with style 0 does not.
        "<row r=\"9\"><c r=\"J9\" s=\"5\"/><c r=\"K9\"/></row>";
    makePackage(dir.file("cells.xlsx"), minimalParts(sheet, shared, kStyles));

    WorkbookData data = readXlsx(dir.file("cells.xlsx"));
    ASSERT_EQ(data.sheetNames, (std::vector<std::string>{"First", "Second"}));
    const SheetData& s = data.firstSheet;
    EXPECT_EQ(s.name, "First");

    struct Expect {
        int row, column;
        Value value;
    };
    const Expect expected[] = {
        {1, 0, Value::text("plain")},
        {1, 1, Value::text("rich  runs ")},  // phonetic guide left out, spaces kept
        {1, 2, Value::text("菜品\r信息")},
        {1, 3, Value::text("")},
        {2, 0, Value::floating(12.5)},
        {2, 1, Value::boolean(true)},
        {2, 2, Value::error(0x07)},
        {2, 3, Value::text("plainx")},
        {2, 4, Value::text("inline")},
        {2, 5, Value::dateTime(dt(2024, 2, 29, 13, 45, 10))},
        {3, 0, Value::dateTime(dt(2024, 2, 29))},
        {3, 1, Value::dateTime(dt(2024, 2, 29, 12))},  // custom date format with CJK text
        {3, 2, Value::floating(2)},                    // "days" in quotes is no date
        {3, 3, Value::dateTime(dt(1900, 1, 1, 12))},   // elapsed hours [h]:mm
        {3, 4, Value::floating(60)},                   // format 2 (0.00) is a number
        {3, 7, Value::dateTime(dt(1900, 2, 29))},      // the phantom leap day
        {4, 0, Value::boolean(false)},
        {4, 1, Value::error(0x2A)},
    };
    for (const Expect& e : expected) {
        const std::optional<Value> v = s.cell(e.row, e.column);
        ASSERT_NE(v, std::nullopt) << xlsx::cellRefText(e.row, e.column);
        EXPECT_EQ(*v, e.value) << xlsx::cellRefText(e.row, e.column) << " read " << v->toText();
    }
    EXPECT_EQ(s.cell(4, 2), std::nullopt);  // formula without a cached result
    EXPECT_EQ(s.cell(0, 0), std::nullopt);
    EXPECT_EQ(s.firstRow(), 1);
    EXPECT_EQ(s.lastRow(), 8);  // the styled blank J9
    EXPECT_EQ(s.firstColumn(), 0);
    EXPECT_EQ(s.lastColumn(), 9);  // J, not the unstyled K9
}

TEST(XlsxReader, PrefixedNamesAndRepeatedTexts) {
    // Some writers prefix every element; a namespace declaration on a cell is
    // no attribute of it (xmlns:r must not pass for the reference r).
    TempDir dir;
    auto parts = minimalParts("", "<si><t>热菜</t></si>");
    for (auto& [name, xml] : parts) {
        if (name == "xl/worksheets/sheet1.xml") {
            xml =
                "<?xml version=\"1.0\"?><x:worksheet "
                "xmlns:x=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
                "<x:sheetData><x:row r=\"2\">"
                "<x:c r=\"A2\" t=\"s\" xmlns:r=\"urn:other\"><x:v>0</x:v></x:c>"
                "<x:c r=\"B2\" t=\"s\"><x:v>0</x:v></x:c>"
                "<x:c r=\"C2\" t=\"inlineStr\"><x:is><x:t>例汤</x:t></x:is></x:c>"
                "<x:c r=\"D2\" t=\"inlineStr\"><x:is><x:t>例汤</x:t></x:is></x:c>"
                "<x:c r=\"E2\" t=\"inlineStr\"><x:is><x:t>a_x005F_x000D_b</x:t></x:is></x:c>"
                "</x:row></x:sheetData></x:worksheet>";
        }
    }
    makePackage(dir.file("prefixed.xlsx"), parts);
    const SheetData s = readXlsx(dir.file("prefixed.xlsx")).firstSheet;
    const char* const expected[] = {"热菜", "热菜", "例汤", "例汤", "a_x000D_b"};
    for (int column = 0; column < 5; ++column) {
        const std::optional<Value> v = s.cell(1, column);
        ASSERT_NE(v, std::nullopt) << column;
        EXPECT_EQ(*v, Value::text(expected[column])) << column;
    }
    EXPECT_EQ(s.firstRow(), 1);
    EXPECT_EQ(s.lastColumn(), 4);
}

TEST(XlsxReader, Dates1904AndPackagesWithoutOptionalParts) {
    TempDir dir;
    // No shared strings, no styles: numbers stay numbers.
    makePackage(dir.file("plain.xlsx"),
                minimalParts("<row r=\"1\"><c r=\"A1\"><v>1</v></c></row>"));
    EXPECT_EQ(*readXlsx(dir.file("plain.xlsx")).firstSheet.cell(0, 0), Value::floating(1));

    makePackage(dir.file("1904.xlsx"), minimalParts("<row r=\"1\"><c r=\"A1\" s=\"1\"><v>0</v></c>"
                                                    "<c r=\"B1\" s=\"1\"><v>43830.25</v></c></row>",
                                                    "", kStyles, "<workbookPr date1904=\"1\"/>"));
    const SheetData s = readXlsx(dir.file("1904.xlsx")).firstSheet;
    EXPECT_EQ(*s.cell(0, 0), Value::dateTime(dt(1904, 1, 1)));
    EXPECT_EQ(*s.cell(0, 1), Value::dateTime(dt(2024, 1, 1, 6)));
}

TEST(XlsxReader, DateRules) {
    struct Code {
        const char* code;
        bool date;
    };
    const Code codes[] = {
        {"yyyy-mm-dd", true}, {"hh:mm:ss", true},
        {"[h]:mm:ss", true},  {"[$-409]mmm d, yyyy", true},
        {"d\"日\"", true},    {"General", false},
        {"0.00E+00", false},  {"#,##0.00;[Red]-#,##0", false},
        {"0.0\\d", false},    {"\"yyyy\"0", false},
        {"[Red]0.00", false}, {"@", false},
        {"0_)", false},       {"e", true},
    };
    for (const Code& c : codes) {
        EXPECT_EQ(xlsx::isDateFormatCode(c.code), c.date) << c.code;
    }
    for (int id : {14, 22, 27, 36, 45, 47, 50, 58})
        EXPECT_TRUE(xlsx::isBuiltinDateFormat(id)) << id;
    for (int id : {0, 1, 13, 23, 37, 44, 48, 49, 59})
        EXPECT_FALSE(xlsx::isBuiltinDateFormat(id)) << id;

    EXPECT_EQ(xlsx::serialToDateTime(1, false), dt(1900, 1, 1));
    EXPECT_EQ(xlsx::serialToDateTime(59, false), dt(1900, 2, 28));
    EXPECT_EQ(xlsx::serialToDateTime(60, false), dt(1900, 2, 29));
    EXPECT_EQ(xlsx::serialToDateTime(61, false), dt(1900, 3, 1));
    EXPECT_EQ(xlsx::serialToDateTime(0.75, false), dt(1899, 12, 30, 18));
    EXPECT_EQ(xlsx::serialToDateTime(45658.999999999, false),
              dt(2025, 1, 2));  // rounds up to midnight
    EXPECT_EQ(xlsx::serialToDateTime(1, true), dt(1904, 1, 2));
    EXPECT_EQ(xlsx::serialToDateTime(-1, false), std::nullopt);
    EXPECT_EQ(xlsx::serialToDateTime(2958466, false), std::nullopt);  // past 9999-12-31
}

TEST(XlsxReader, CellReferences) {
    EXPECT_EQ(xlsx::parseCellRef("A1")->row, 0);
    EXPECT_EQ(xlsx::parseCellRef("XFD1048576")->column, 16383);
    EXPECT_EQ(xlsx::parseCellRef("XFD1048576")->row, 1048575);
    EXPECT_EQ(xlsx::parseCellRef("AB12")->column, 27);
    for (const char* bad : {"", "A", "1", "A0", "1A", "A1B", "A-1", "ABCDEFGH1"}) {
        EXPECT_FALSE(xlsx::parseCellRef(bad).has_value()) << bad;
    }
    EXPECT_THROW(xlsx::parseCellRef("XFE1"), WorkbookError);
    EXPECT_THROW(xlsx::parseCellRef("A1048577"), WorkbookError);
    EXPECT_EQ(xlsx::cellRefText(1048575, 16383), "XFD1048576");
    EXPECT_EQ(xlsx::decodeEscapes("a_x005F_x000D_b_x00e9__xZZZZ_"), "a_x000D_bé_xZZZZ_");
}

// A part that inflates far beyond its compressed size.
std::string bombBytes(std::size_t size) {
    return std::string(size, ' ');
}

struct Broken {
    const char* name;
    std::function<void(const std::string& path)> make;
    const char* message;  // a part of the message the user sees
    WorkbookFault fault;
};

TEST(XlsxReader, RefusesBrokenAndHostilePackages) {
    TempDir dir;
    const std::string good = dir.file("good.xlsx");
    makePackage(good, minimalParts("<row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c></row>",
                                   "<si><t>x</t></si>"));
    auto replacing = [](const std::string& part, const std::string& content) {
        return [part, content](const std::string& path) {
            auto parts = minimalParts("<row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c></row>",
                                      "<si><t>x</t></si>");
            for (auto& p : parts) {
                if (p.first == part)
                    p.second = content;
            }
            makePackage(path, parts);
        };
    };
    auto withSheet = [&](const std::string& sheetXml) {
        return replacing("xl/worksheets/sheet1.xml",
                         "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/"
                         "main\"><sheetData>" +
                             sheetXml + "</sheetData></worksheet>");
    };
    const Broken cases[] = {
        {"missing file", [](const std::string&) {}, "文件不存在", WorkbookFault::CannotRead},
        {"not a zip", [](const std::string& p) { xlsxtest::writeFile(p, "hello, not a zip"); },
         "不是有效的zip压缩包", WorkbookFault::Damaged},
        {"compound file",
         [](const std::string& p) {
             xlsxtest::writeFile(
                 p, std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) + std::string(504, '\0'));
         },
         "不是有效的zip压缩包", WorkbookFault::Damaged},
        {"truncated zip",
         [&](const std::string& p) {
             std::string bytes = xlsxtest::readFile(good);
             xlsxtest::writeFile(p, bytes.substr(0, bytes.size() / 2));
         },
         "损坏", WorkbookFault::Damaged},
        {"missing workbook part",
         [](const std::string& p) {
             auto parts = minimalParts("");
             parts.erase(parts.begin() + 2);  // xl/workbook.xml
             makePackage(p, parts);
         },
         "没有工作簿部件", WorkbookFault::NotAWorkbook},
        {"missing sheet part",
         [](const std::string& p) {
             auto parts = minimalParts("");
             parts.erase(parts.begin() + 4);  // xl/worksheets/sheet1.xml
             makePackage(p, parts);
         },
         "缺失", WorkbookFault::Damaged},
        {"malformed workbook XML", replacing("xl/workbook.xml", "<workbook><sheets></workbook>"),
         "不是格式正确的XML", WorkbookFault::Damaged},
        {"malformed sheet XML", withSheet("<row r=\"1\"><c r=\"A1\"><v>1</c></row>"),
         "不是格式正确的XML", WorkbookFault::Damaged},
        {"entity expansion",
         replacing(
             "xl/sharedStrings.xml",
             "<?xml version=\"1.0\"?><!DOCTYPE sst [<!ENTITY a \"aaaaaaaaaa\">"
             "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">]><sst><si><t>&b;</t></si></sst>"),
         "文档类型声明", WorkbookFault::Damaged},
        {"cell beyond XFD1048576", withSheet("<row r=\"1\"><c r=\"XFD1048577\"><v>1</v></c></row>"),
         "超出了工作表的最后一个单元格", WorkbookFault::Damaged},
        {"column beyond XFD", withSheet("<row r=\"1\"><c r=\"XFE1\"><v>1</v></c></row>"),
         "超出了工作表的最后一个单元格", WorkbookFault::Damaged},
        {"row beyond the limit", withSheet("<row r=\"1048577\"><c><v>1</v></c></row>"),
         "超出了工作表的1,048,576行", WorkbookFault::Damaged},
        {"garbage cell reference", withSheet("<row r=\"1\"><c r=\"1A\"><v>1</v></c></row>"),
         "名为“1A”的单元格", WorkbookFault::Damaged},
        {"shared string out of range",
         withSheet("<row r=\"1\"><c r=\"A1\" t=\"s\"><v>7</v></c></row>"), "不存在的共享字符串",
         WorkbookFault::Damaged},
        {"unreadable number", withSheet("<row r=\"1\"><c r=\"A1\"><v>12abc</v></c></row>"),
         "数字“12abc”无法识别", WorkbookFault::Damaged},
        {"zip bomb",
         [](const std::string& p) {
             auto parts = minimalParts("");
             parts[4].second =
                 "<worksheet><sheetData>" + bombBytes(64u << 20) + "</sheetData></worksheet>";
             makePackage(p, parts);
         },
         "zip炸弹", WorkbookFault::Damaged},
        {"binary workbook (.xlsb)",
         [](const std::string& p) {
             auto parts = minimalParts("");
             for (auto& part : parts) {
                 const std::size_t at = part.second.find("xl/workbook.xml");
                 if (part.first == "_rels/.rels" && at != std::string::npos)
                     part.second.replace(at, 15, "xl/workbook.bin");
             }
             parts[2] = {"xl/workbook.bin", std::string("\x83\x01\x00\x80\x01", 5)};
             makePackage(p, parts);
         },
         "这是Excel二进制工作簿（.xlsb），本程序不能读取，请在电子表格程序中另存为.xlsx或."
         "xls后再导入",
         WorkbookFault::Unsupported},
        {"repeated part name",
         [](const std::string& p) {
             // A second sheet1.xml after the first: named apart first, then
             // renamed in the zip's bytes (libzip refuses to write a repeated name).
             auto parts = minimalParts("<row r=\"1\"><c r=\"A1\"><v>1</v></c></row>");
             std::string other = parts[4].second;
             other.replace(other.find("<v>1</v>"), 8, "<v>2</v>");
             parts.push_back({"xl/worksheets/sheetZ.xml", other});
             makePackage(p, parts);
             std::string bytes = xlsxtest::readFile(p);
             for (std::size_t at = bytes.find("sheetZ.xml"); at != std::string::npos;
                  at = bytes.find("sheetZ.xml", at))
                 bytes[at + 5] = '1';
             xlsxtest::writeFile(p, bytes);
         },
         "文件已损坏，其中有两个名为“xl/worksheets/sheet1.xml”的部件", WorkbookFault::Damaged},
        {"grid too wide",
         [](const std::string& p) {
             std::string rows;
             for (int r = 1; r <= 4200; ++r) {
                 rows += "<row r=\"" + std::to_string(r) + "\"><c r=\"XFD" + std::to_string(r) +
                         "\" t=\"b\"><v>1</v></c></row>";
             }
             makePackage(p, minimalParts(rows));
         },
         "太多的单元格", WorkbookFault::TooLarge},
    };
    for (const Broken& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file(std::string(c.name) + ".xlsx");
        c.make(path);
        try {
            readXlsx(path);
            ADD_FAILURE() << "no error";
        } catch (const WorkbookError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
            EXPECT_EQ(e.fault(), c.fault) << e.what();
        }
    }
}

}  // namespace

// The .xls reader on hand-made streams, for what no generator here makes
// (charts, dates, formula results, encryption), and broken files, each
// refused with a clear message. Files of other programs: xls_interop_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

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
using xlstest::f64;
using xlstest::TempDir;
using xlstest::u16;
using xlstest::u32;
using namespace std::string_literals;

namespace {

// A minimal BIFF8 workbook: globals with the given extra records, then one
// worksheet holding `cells`.
std::string biff8Book(const std::string& extraGlobals, const std::string& cells,
                      const std::string& firstSheetType = std::string(1, '\0')) {
    auto globals = [&](std::uint32_t sheetAt, std::uint32_t chartAt) {
        Biff g;
        g.rec(0x0809, u16(0x0600) + u16(0x0005) + std::string(12, '\0'));
        g.bytes() += extraGlobals;
        // Cell XFs: 15 general, 16 a date format (14), 17 a custom date (164).
        for (int i = 0; i < 15; ++i)
            g.rec(0x00E0, u16(0) + u16(0) + std::string(16, '\0'));
        g.rec(0x041E, u16(164) + u16(10) + std::string(1, '\0') + "dd/mm/yyyy");
        g.rec(0x00E0, u16(0) + u16(0) + std::string(16, '\0'));
        g.rec(0x00E0, u16(0) + u16(14) + std::string(16, '\0'));
        g.rec(0x00E0, u16(0) + u16(164) + std::string(16, '\0'));
        // A chart sheet first, then the worksheet.
        g.rec(0x0085, u32(chartAt) + std::string(1, '\0') + std::string(1, '\x02') +
                          std::string(1, '\x05') + std::string(1, '\0') + "Chart");
        g.rec(0x0085, u32(sheetAt) + std::string(1, '\0') + firstSheetType +
                          std::string(1, '\x02') + std::string(1, '\x01') + u16(0x83DC) +
                          u16(0x54C1));
        g.rec(0x00FC, u32(2) + u32(2) + u16(2) + std::string(1, '\0') + "hi" + u16(1) +
                          std::string(1, '\x01') + u16(0x4E2D));
        g.rec(0x000A, "");
        return g.bytes();
    };
    std::string probe = globals(0, 0);
    Biff chart;
    chart.rec(0x0809, u16(0x0600) + u16(0x0020) + std::string(12, '\0'));
    chart.rec(0x0203, u16(0) + u16(0) + u16(15) + f64(99));
    chart.rec(0x000A, "");
    Biff sheet;
    sheet.rec(0x0809, u16(0x0600) + u16(0x0010) + std::string(12, '\0'));
    sheet.bytes() += cells;
    sheet.rec(0x000A, "");
    const auto chartAt = static_cast<std::uint32_t>(probe.size());
    const auto sheetAt = static_cast<std::uint32_t>(probe.size() + chart.size());
    return globals(sheetAt, chartAt) + chart.bytes() + sheet.bytes();
}

}  // namespace

TEST(XlsReaderRecords, EveryCellRecordGivesItsValue) {
    Biff c;
    c.rec(0x00FD, cell(1, 0, 15) + u32(1));                      // LABELSST "中"
    c.rec(0x0203, cell(1, 1, 15) + f64(28.5));                   // NUMBER
    c.rec(0x027E, cell(1, 2, 15) + u32((12345u << 2) | 2 | 1));  // RK integer / 100
    c.rec(0x00BD, u16(2) + u16(0) + u16(15) + u32((7u << 2) | 2) + u16(16) + u32((60u << 2) | 2) +
                      u16(17) + u32((45000u << 2) | 2) + u16(2));   // MULRK
    c.rec(0x0205, cell(3, 0, 15) + "\x01" + std::string(1, '\0'));  // BOOLERR true
    c.rec(0x0205, cell(3, 1, 15) + "\x07\x01");                     // BOOLERR #DIV/0!
    c.rec(0x0006, cell(3, 2, 15) + std::string(1, '\0') + std::string(5, '\0') + "\xFF\xFF" +
                      std::string(6, '\0'));               // FORMULA text result
    c.rec(0x0207, u16(3) + std::string(1, '\0') + "abc");  // STRING
    c.rec(0x0006, cell(3, 3, 15) + "\x01\x00\x01\x00\x00\x00\xFF\xFF"s + std::string(6, '\0'));
    c.rec(0x0006, cell(3, 4, 15) + "\x02\x00\x2A\x00\x00\x00\xFF\xFF"s + std::string(6, '\0'));
    c.rec(0x0006, cell(3, 5, 16) + f64(45000.5) + std::string(6, '\0'));
    c.rec(0x0204, cell(4, 0, 15) + u16(2) + "\x01" + u16(0x83DC) + u16(0x54C1));  // LABEL
    // A text result whose surrogate pair is parted by a CONTINUE record, then
    // an unpaired low surrogate.
    c.rec(0x0006, cell(5, 0, 15) + std::string(6, '\0') + "\xFF\xFF" + std::string(6, '\0'));
    c.rec(0x0207, u16(4) + "\x01" + u16(0x83DC) + u16(0xD83C));
    c.rec(0x003C, "\x01" + u16(0xDF5C) + u16(0xDC00));
    // FORMULA under the record numbers of older versions, as some converters write them.
    c.rec(0x0406, cell(5, 1, 15) + f64(42.5) + std::string(6, '\0'));
    c.rec(0x0206, cell(5, 2, 15) + std::string(6, '\0') + "\xFF\xFF" + std::string(6, '\0'));
    c.rec(0x0207, u16(2) + std::string(1, '\0') + "ok");
    c.rec(0x00BE, u16(6) + u16(2) + u16(15) + u16(15) + u16(15) + u16(4));  // MULBLANK C..E
    TempDir dir;
    const std::string path = dir.file("records.xls");
    xlstest::writeCompound(path, "Workbook", biff8Book("", c.bytes()));
    const WorkbookData book = readWorkbookFile(path);
    EXPECT_EQ(book.sheetNames, std::vector<std::string>{"菜品"});  // the chart sheet is not listed
    const SheetData& s = book.firstSheet;
    EXPECT_EQ(s.cell(0, 0), std::nullopt) << "the chart's cell must not leak into the sheet";
    EXPECT_EQ(s.cell(1, 0)->asText(), "中");
    EXPECT_EQ(s.cell(1, 1)->asFloat(), 28.5);
    EXPECT_EQ(s.cell(1, 2)->asFloat(), 123.45);
    EXPECT_EQ(s.cell(2, 0)->asFloat(), 7);
    EXPECT_EQ(s.cell(2, 1)->asDateTime(), (DateTime{1900, 2, 29, 0, 0, 0, 0}));
    EXPECT_EQ(s.cell(2, 2)->asDateTime(), (DateTime{2023, 3, 15, 0, 0, 0, 0}));
    EXPECT_EQ(s.cell(3, 0)->asBoolean(), true);
    EXPECT_EQ(s.cell(3, 1)->errorCode(), 0x07);
    EXPECT_EQ(s.cell(3, 2)->asText(), "abc");
    EXPECT_EQ(s.cell(3, 3)->asBoolean(), true);
    EXPECT_EQ(s.cell(3, 4)->errorCode(), 0x2A);
    EXPECT_EQ(s.cell(3, 5)->asDateTime(), (DateTime{2023, 3, 15, 12, 0, 0, 0}));
    EXPECT_EQ(s.cell(4, 0)->asText(), "菜品");
    EXPECT_EQ(s.cell(5, 0)->asText(), "菜🍜\uFFFD");
    EXPECT_EQ(s.cell(5, 1)->asFloat(), 42.5);
    EXPECT_EQ(s.cell(5, 2)->asText(), "ok");
    EXPECT_EQ(s.cell(6, 4), std::nullopt);
    EXPECT_EQ(s.firstRow(), 1);
    EXPECT_EQ(s.lastRow(), 6);  // the MULBLANK row counts
    EXPECT_EQ(s.lastColumn(), 5);
}

TEST(XlsReaderRecords, DateSystemOf1904) {
    Biff c;
    c.rec(0x0203, cell(0, 0, 16) + f64(0));
    c.rec(0x0203, cell(0, 1, 16) + f64(1462.25));
    TempDir dir;
    const std::string path = dir.file("1904.xls");
    xlstest::writeCompound(path, "Workbook",
                           biff8Book(Biff().rec(0x0022, u16(1)).bytes(), c.bytes()));
    const SheetData s = readWorkbookFile(path).firstSheet;
    EXPECT_EQ(s.cell(0, 0)->asDateTime(), (DateTime{1904, 1, 1, 0, 0, 0, 0}));
    EXPECT_EQ(s.cell(0, 1)->asDateTime(), (DateTime{1908, 1, 2, 6, 0, 0, 0}));
}

TEST(XlsReaderBroken, RefusedWithAClearMessage) {
    TempDir dir;
    // A good file to damage.
    SpreadsheetSession s;
    s.startExcel();
    s.addWorkbook();
    s.sheetByName("Sheet1");
    for (int r = 1; r <= 300; ++r)
        s.writeCell(r, 1, "text " + std::to_string(r));
    s.saveSheetAs(dir.file("good.xls"));
    std::ifstream in(dir.file("good.xls"), std::ios::binary);
    const std::string good((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    Biff cells;
    cells.rec(0x00FD, cell(0, 0, 15) + u32(5));  // beyond the string table
    Biff wide;
    wide.rec(0x0203, cell(0, 300, 15) + f64(1));  // beyond column 256
    Biff shortRecord;
    shortRecord.rec(0x0203, cell(0, 0, 15) + "\x01\x02");  // NUMBER without its 8 bytes
    std::string cutStream = biff8Book("", "");
    cutStream.resize(cutStream.size() - 3);
    std::string hugeLength = biff8Book("", Biff().rec(0x0203, cell(0, 0, 15) + f64(1)).bytes());
    hugeLength[hugeLength.size() - 4 - 18 + 2] = '\xFF';  // NUMBER's length beyond the stream
    hugeLength[hugeLength.size() - 4 - 18 + 3] = '\x7F';
    std::string badSheetOffset = biff8Book("", "");
    badSheetOffset.resize(badSheetOffset.size() - 20);  // the sheet is gone

    const char* const kOlderThanExcel5 =
        "这是Excel 5.0之前的版本（Excel 2.x–4.0）保存的工作簿，本程序不能读取，请在电子表格程序中"
        "另存为.xls或.xlsx后再导入。";
    struct Case {
        const char* name;
        std::string stream;  // a Workbook stream, or whole file bytes when `raw`
        bool raw;
        const char* message;
        WorkbookFault fault;
    };
    const Case cases[] = {
        {"truncated file", good.substr(0, good.size() / 2), true, "损坏", WorkbookFault::Damaged},
        {"empty file", "", true, "文件是空的", WorkbookFault::NotAWorkbook},
        {"text file", "name,price\n", true, "不是工作簿", WorkbookFault::NotAWorkbook},
        {"zip that is no workbook", "PK\x03\x04garbage", true, "", WorkbookFault::Damaged},
        {"encrypted", biff8Book(Biff().rec(0x002F, u16(1) + std::string(52, '\0')).bytes(), ""),
         false, "密码", WorkbookFault::Encrypted},
        {"string index beyond the table", biff8Book("", cells.bytes()), false, "共享字符串表",
         WorkbookFault::Damaged},
        {"column beyond 256", biff8Book("", wide.bytes()), false, "第256列",
         WorkbookFault::Damaged},
        {"record shorter than its contents", biff8Book("", shortRecord.bytes()), false, "损坏",
         WorkbookFault::Damaged},
        {"stream cut inside a record", cutStream, false, "损坏", WorkbookFault::Damaged},
        {"record length beyond the stream", hugeLength, false, "损坏", WorkbookFault::Damaged},
        {"sheet beyond the stream", badSheetOffset, false, "损坏", WorkbookFault::Damaged},
        {"BIFF4", Biff().rec(0x0409, u16(0) + u16(0x0100)).bytes(), false, kOlderThanExcel5,
         WorkbookFault::TooOld},
        {"bare BIFF4 workbook", Biff().rec(0x0409, u16(0) + u16(0x0100) + u16(0)).bytes(), true,
         kOlderThanExcel5, WorkbookFault::TooOld},
        {"bare BIFF2 sheet", Biff().rec(0x0009, u16(2) + u16(0x0010)).rec(0x000A, "").bytes(), true,
         kOlderThanExcel5, WorkbookFault::TooOld},
    };
    for (const auto& c : cases) {
        const std::string path = dir.file(std::string(c.name) + ".xls");
        if (c.raw) {
            std::ofstream(path, std::ios::binary) << c.stream;
        } else {
            xlstest::writeCompound(path, "Workbook", c.stream);
        }
        try {
            readWorkbookFile(path);
            ADD_FAILURE() << c.name << ": read without error";
        } catch (const WorkbookError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos)
                << c.name << ": " << e.what();
            EXPECT_EQ(e.fault(), c.fault) << c.name << ": " << e.what();
        }
    }
    // An encrypted package from the newer format also sits in a compound file.
    const std::string package = dir.file("package.xls");
    xlstest::writeCompound(package, "EncryptedPackage", "secret");
    try {
        readWorkbookFile(package);
        ADD_FAILURE() << "encrypted package: read without error";
    } catch (const WorkbookError& e) {
        EXPECT_EQ(e.fault(), WorkbookFault::Encrypted) << e.what();
    }
}

TEST(XlsReaderBroken, EveryPrefixOfAFileIsRefusedOrRead) {
    // Cutting a file at every 97th byte never crashes or hangs the reader.
    TempDir dir;
    SpreadsheetSession s;
    s.startExcel();
    s.addWorkbook();
    s.sheetByName("Sheet1");
    s.writeCell(2, 1, "heading");
    s.writeCell(3, 1, std::string(9000, 'y'));
    s.saveSheetAs(dir.file("whole.xls"));
    std::ifstream in(dir.file("whole.xls"), std::ios::binary);
    const std::string whole((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (std::size_t cut = 0; cut < whole.size(); cut += 97) {
        try {
            readXlsFromMemory(reinterpret_cast<const std::uint8_t*>(whole.data()), cut, "cut");
        } catch (const WorkbookError&) {
        }
    }
    EXPECT_EQ(readXlsFromMemory(reinterpret_cast<const std::uint8_t*>(whole.data()), whole.size(),
                                "whole")
                  .firstSheet.cell(2, 0)
                  ->asText()
                  .size(),
              9000u);
}

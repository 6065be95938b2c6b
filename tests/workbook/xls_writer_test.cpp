// The .xls writer: record encoders byte for byte, and whole files read back
// by independent readers (xlrd, LibreOffice) and by our own reader.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>

#include "XlsTestSupport.h"
#include "workbook/CellSpool.h"
#include "workbook/SheetData.h"
#include "workbook/SpreadsheetSession.h"
#include "workbook/WorkbookError.h"
#include "workbook/WorkbookFile.h"
#include "workbook/XlsRecords.h"

using namespace pos;
using namespace pos::workbook;
using xlstest::TempDir;

namespace {

std::string hex(const std::string& bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
        out += ' ';
    }
    if (!out.empty())
        out.pop_back();
    return out;
}

// Writes one sheet through the session, as the export does.
void writeSheet(const std::string& path, const std::vector<std::vector<std::string>>& rows,
                const std::string& name = "Menu", int firstRow = 1) {
    SpreadsheetSession s;
    s.startExcel();
    s.addWorkbook();
    s.nameFirstSheet(name);
    s.sheetByName(name);
    s.wrapAllCells();
    s.hideExcel();
    for (std::size_t r = 0; r < rows.size(); ++r) {
        for (std::size_t c = 0; c < rows[r].size(); ++c) {
            s.writeCell(firstRow + static_cast<int>(r), static_cast<int>(c) + 1, rows[r][c]);
        }
    }
    s.saveSheetAs(path);
    s.quitExcel();
    s.releaseExcel();
}

std::string repeat(const std::string& unit, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i)
        out += unit;
    return out;
}

}  // namespace

TEST(XlsEncoders, FixedRecordsMatchTheFormat) {
    struct Case {
        const char* what;
        std::string bytes;
        const char* expected;
    };
    std::string labelSst;
    biff::appendLabelSst(labelSst, 2, 1, 16, 0x01020304);
    std::string row;
    biff::appendRow(row, 5, 0, 16, biff::kDefaultCellXf);
    std::string blank;
    biff::appendBlank(blank, 1, 3, 16);
    const Case cases[] = {
        {"worksheet BOF", biff::encodeBof(0x0010),
         "09 08 10 00 00 06 10 00 BB 0D CC 07 00 00 00 00 06 00 00 00"},
        {"EOF", biff::encodeEof(), "0A 00 00 00"},
        {"DIMENSIONS rows 1-3 columns 0-16", biff::encodeDimensions(1, 3, 0, 16),
         "00 02 0E 00 01 00 00 00 04 00 00 00 00 00 11 00 00 00"},
        {"DIMENSIONS of an empty sheet", biff::encodeDimensions(-1, -1, -1, -1),
         "00 02 0E 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
        {"LABELSST", labelSst, "FD 00 0A 00 02 00 01 00 10 00 04 03 02 01"},
        {"ROW", row, "08 02 10 00 05 00 00 00 11 00 FF 00 00 00 00 00 00 01 0F 00"},
        {"BLANK", blank, "01 02 06 00 01 00 03 00 10 00"},
        {"wrapping cell XF", biff::encodeCellXf(true),
         "E0 00 14 00 00 00 00 00 01 00 28 00 00 10 00 00 00 00 00 00 00 00 C0 20"},
        {"BOUNDSHEET", biff::encodeBoundSheet(0x1234, "菜"),
         "85 00 0A 00 34 12 00 00 00 00 01 01 DC 83"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(hex(c.bytes), c.expected) << c.what;
    }
}

TEST(XlsEncoders, SharedStringsAreHeldOnceInTheirShortestForm) {
    biff::SharedStrings strings;
    EXPECT_EQ(strings.add("abc"), 0u);
    EXPECT_EQ(strings.add("宫保鸡丁"), 1u);
    EXPECT_EQ(strings.add("abc"), 0u);
    EXPECT_EQ(strings.add("café"), 2u);  // é fits in one byte
    EXPECT_EQ(strings.size(), 3u);
    EXPECT_EQ(strings.references(), 4u);
    EXPECT_FALSE(strings.isWide(0));
    EXPECT_TRUE(strings.isWide(1));
    EXPECT_FALSE(strings.isWide(2));
    EXPECT_EQ(hex(std::string(strings.characterBytes(2))), "63 61 66 E9");
    EXPECT_EQ(strings.add(std::string(32768, 'x')), biff::SharedStrings::kTooLong);
    EXPECT_NE(strings.add(std::string(32767, 'x')), biff::SharedStrings::kTooLong);

    std::vector<biff::ExtSstBucket> buckets;
    biff::SharedStrings small;
    small.add("a");
    small.add("中");
    EXPECT_EQ(hex(biff::encodeSst(small, 100, 8, buckets)),
              "FC 00 11 00 02 00 00 00 02 00 00 00 01 00 00 61 01 00 01 2D 4E");
    ASSERT_EQ(buckets.size(), 1u);
    EXPECT_EQ(buckets[0].streamOffset, 112u);
    EXPECT_EQ(buckets[0].recordOffset, 12u);
}

// Walks the SST records: every record within the limit, and a CONTINUE that
// splits a string's characters begins with the flag byte of its part.
TEST(XlsEncoders, StringTableSplitsOnlyBetweenCharacters) {
    for (const bool wide : {false, true}) {
        biff::SharedStrings strings;
        std::vector<std::string> texts;
        for (int i = 0; i < 600; ++i) {
            // Lengths that move the record boundaries across every position
            // of a string: header, first character, middle, last character.
            texts.push_back(repeat(wide ? "中" : "a", static_cast<std::size_t>(i % 47 + 1)) +
                            std::to_string(i));
            strings.add(texts.back());
        }
        strings.add(repeat(wide ? "鸡" : "b", 20000));
        std::vector<biff::ExtSstBucket> buckets;
        const std::string sst = biff::encodeSst(strings, 0, 8, buckets);
        std::size_t pos = 0;
        int records = 0;
        while (pos < sst.size()) {
            const auto len =
                static_cast<std::size_t>(static_cast<unsigned char>(sst[pos + 2]) |
                                         (static_cast<unsigned char>(sst[pos + 3]) << 8));
            EXPECT_LE(len, biff::kMaxRecordData);
            pos += 4 + len;
            ++records;
        }
        EXPECT_EQ(pos, sst.size());
        EXPECT_GT(records, 3) << "the table should need CONTINUE records";
        EXPECT_EQ(buckets.size(), (601u + 7) / 8);
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

TEST(XlsWriter, LimitsAreRefusedBeforeAnythingIsWritten) {
    struct Case {
        const char* what;
        int row;
        int column;
        std::size_t length;
        const char* message;
    };
    const Case cases[] = {
        {"row 65,537", 65537, 1, 1, "65,536行"},
        {"column 257", 1, 257, 1, "256列"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const std::string path = dir.file("limit.xls");
        std::ofstream(path) << "old contents";
        SpreadsheetSession s;
        s.startExcel();
        s.addWorkbook();
        s.sheetByName("Sheet1");
        s.writeCell(1, 1, "heading");
        s.writeCell(c.row, c.column, std::string(c.length, 'x'));
        try {
            s.saveSheetAs(path);
            ADD_FAILURE() << c.what << ": no error";
        } catch (const WorkbookError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
            EXPECT_EQ(e.fault(), WorkbookFault::TooLarge) << e.what();
        }
        // The old file is whole and no temporary file is left behind.
        std::ifstream in(path);
        std::string old((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(old, "old contents") << c.what;
        EXPECT_EQ(std::distance(xlstest::fs::directory_iterator(dir.path()),
                                xlstest::fs::directory_iterator()),
                  1)
            << c.what;
    }
    SpreadsheetSession s;
    s.startExcel();
    s.addWorkbook();
    s.sheetByName("Sheet1");
    EXPECT_NO_THROW(s.writeCell(1, 1, std::string(32767, 'x')));
    EXPECT_THROW(s.writeCell(1, 2, std::string(32768, 'x')), WorkbookError);
    EXPECT_THROW(s.writeCell(0, 1, "x"), WorkbookError);
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

TEST(CellSpoolTest, LargeSpoolsSpillAndReplayInOrder) {
    CellSpool spool;
    const std::string text(100, 'q');
    for (int r = 0; r < 60000; ++r) {
        spool.add(r, r % 3, text + std::to_string(r));
    }
    spool.add(10, 1, "rewritten");  // out of order: the sorted replay path
    int count = 0;
    int lastRow = -1;
    spool.forEach([&](int row, int column, std::string_view t, CellKind) {
        EXPECT_GE(row, lastRow);
        lastRow = row;
        EXPECT_EQ(column, row % 3);
        if (row == 10) {
            EXPECT_EQ(t, "rewritten");
        } else if (row % 9973 == 0) {
            EXPECT_EQ(t, text + std::to_string(row));
        }
        ++count;
    });
    EXPECT_EQ(count, 60000);
    EXPECT_EQ(spool.lastRow(), 59999);
    EXPECT_EQ(spool.lastColumn(), 2);
}

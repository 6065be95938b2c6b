// The .xls writer: record encoders byte for byte, the limits, and large
// spools. Files read back by xlrd and LibreOffice: xls_interop_test.cpp.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>

#include "XlsTestSupport.h"
#include "workbook/CellSpool.h"
#include "workbook/SheetData.h"
#include "workbook/SpreadsheetSession.h"
#include "workbook/WorkbookError.h"
#include "workbook/WorkbookFile.h"
#include "workbook/XlsRecords.h"

using namespace pos;
using namespace pos::workbook;
using xlstest::repeat;
using xlstest::TempDir;
using xlstest::writeSheet;

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

// Numbers of every kind the spool keeps (prices it packs, doubles it does
// not, -0, whole numbers to their limits) and texts about its short-length
// limit, over enough rows to spill several times, come back as written:
// replayed in order, and sorted from the spill file when written in reverse.
TEST(CellSpoolTest, SpilledNumbersAndTextsComeBackAsWritten) {
    const double doubles[] = {12.5,   0.0,     -0.0,        0.30000000000000004, -3.25, 1e300,
                              5e-324, 1e-4,    123456.7891, 8999999999999999.0,  -9e15, 0.1,
                              NAN,    INFINITY};
    const std::int64_t wholes[] = {0,
                                   1,
                                   -1,
                                   100000,
                                   -4503599627370496,
                                   std::numeric_limits<std::int64_t>::min(),
                                   std::numeric_limits<std::int64_t>::max()};
    const std::string texts[] = {"", "份", std::string(30, 'x'), std::string(31, 'y'),
                                 std::string(400, 'z')};
    const int columns = static_cast<int>(std::size(doubles) + std::size(wholes) + std::size(texts));
    constexpr int kRows = 30000;
    for (const bool reversed : {false, true}) {
        SCOPED_TRACE(reversed ? "written in reverse" : "written in order");
        CellSpool spool;
        for (int i = 0; i < kRows; ++i) {
            const int row = reversed ? kRows - 1 - i : i;
            int column = 0;
            for (const double d : doubles) {
                spool.addFloat(row, column++, d);
            }
            for (const std::int64_t w : wholes) {
                spool.addInteger(row, column++, w);
            }
            for (const std::string& t : texts) {
                spool.add(row, column++, t);
            }
        }
        int cells = 0;
        spool.forEachCell([&](const SpooledCell& cell) {
            ++cells;
            auto c = static_cast<std::size_t>(cell.column());
            if (c < std::size(doubles)) {
                const double back = cell.number();
                ASSERT_EQ(std::bit_cast<std::uint64_t>(back),
                          std::bit_cast<std::uint64_t>(doubles[c]))
                    << "row " << cell.row() << ": " << back << " for " << doubles[c];
                return;
            }
            c -= std::size(doubles);
            if (c < std::size(wholes)) {
                ASSERT_EQ(cell.text(), std::to_string(wholes[c])) << "row " << cell.row();
                return;
            }
            c -= std::size(wholes);
            ASSERT_EQ(cell.kind(), CellKind::Text);
            ASSERT_EQ(cell.text(), texts[c]) << "row " << cell.row();
        });
        EXPECT_EQ(cells, kRows * columns);
    }
}

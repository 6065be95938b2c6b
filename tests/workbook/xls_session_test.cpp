// The workbook session as its callers use it: states, the rename rules, the
// used range, and reading a workbook that the engine wrote.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>

#include "XlsTestSupport.h"
#include "workbook/SheetData.h"
#include "workbook/SpreadsheetSession.h"
#include "workbook/WorkbookError.h"
#include "workbook/WorkbookFile.h"
#include "xlsx_support.h"

using namespace pos;
using namespace pos::workbook;
using xlstest::Biff;
using xlstest::TempDir;
using xlstest::u16;
using xlstest::u32;

namespace {

// A workbook with sheets "Data", "menu" and "Other" written by the engine's
// writer for the first and by hand for the names of the others.
std::string threeSheetBook(const TempDir& dir) {
    auto globals = [&](std::uint32_t at) {
        Biff g;
        g.rec(0x0809, u16(0x0600) + u16(0x0005) + std::string(12, '\0'));
        for (const char* name : {"Data", "menu", "Other"}) {
            g.rec(0x0085, u32(at) + std::string(2, '\0') +
                              std::string(1, static_cast<char>(std::strlen(name))) +
                              std::string(1, '\0') + name);
        }
        g.rec(0x000A, "");
        return g.bytes();
    };
    Biff sheet;
    sheet.rec(0x0809, u16(0x0600) + u16(0x0010) + std::string(12, '\0'));
    sheet.rec(0x0203, u16(1) + u16(0) + u16(15) + xlstest::f64(5));
    sheet.rec(0x000A, "");
    const std::string path = dir.file("three.xls");
    xlstest::writeCompound(path, "Workbook",
                           globals(static_cast<std::uint32_t>(globals(0).size())) + sheet.bytes());
    return path;
}

// What `work` writes to file descriptor 2 (the terminal, for a user).
std::string stderrOf(const std::function<void()>& work, const std::string& file) {
    std::fflush(stderr);
    const int saved = ::dup(2);
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, 2);
    ::close(fd);
    work();
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    return xlsxtest::readFile(file);
}

// Saves a sheet of `rows` rows at `path`; the error message, or empty.
// `beforeSaving` runs once the cells are written.
std::string save(const std::string& path, int rows, const std::string& text = "new",
                 const std::function<void()>& beforeSaving = {}) {
    try {
        SpreadsheetSession s;
        s.startExcel();
        s.addWorkbook();
        s.sheetByName("Sheet1");
        for (int r = 1; r <= rows; ++r)
            s.writeCell(r, 1, text + std::to_string(r) + std::string(200, 'x'));
        if (beforeSaving)
            beforeSaving();
        s.saveSheetAs(path);
        return {};
    } catch (const WorkbookError& e) {
        return e.what();
    }
}

}  // namespace

TEST(SessionRename, RulesOfSheetNames) {
    TempDir dir;
    const std::string path = threeSheetBook(dir);
    struct Case {
        std::string name;
        bool accepted;
    };
    const Case cases[] = {
        {"Menu", false},  // "menu" is another sheet, compared without regard to case
        {"OTHER", false},
        {"data", true},  // the first sheet's own name in other case
        {"HallTable", true},
        {std::string(31, 'x'), true},
        {std::string(32, 'x'), false},
        {"菜品信息", true},
        {"a:b", false},
        {"a\\b", false},
        {"a/b", false},
        {"a?b", false},
        {"a*b", false},
        {"a[b", false},
        {"a]b", false},
        {"", false},
        {"'quoted'", false},
    };
    for (const auto& c : cases) {
        SpreadsheetSession s;
        s.startExcel();
        s.openWorkbook(path);
        if (c.accepted) {
            EXPECT_NO_THROW(s.nameFirstSheet(c.name)) << c.name;
            EXPECT_NO_THROW(s.sheetByName(c.name)) << c.name;
            EXPECT_EQ(s.readCell(2, 1).asFloat(), 5) << c.name;
        } else {
            EXPECT_THROW(s.nameFirstSheet(c.name), WorkbookError) << c.name;
        }
        s.quitExcel();
        s.releaseExcel();
    }
    // The rename happened in memory only.
    EXPECT_EQ(readWorkbookFile(path).sheetNames,
              (std::vector<std::string>{"Data", "menu", "Other"}));
}

TEST(SessionUsedRange, CountsAsSpreadsheetProgramsDo) {
    TempDir dir;
    struct Case {
        const char* what;
        std::vector<std::pair<int, int>> cells;  // 1-based, written as text
        int rows;
        int columns;
    };
    const Case cases[] = {
        {"headings in row 2, two data rows", {{2, 1}, {2, 2}, {3, 1}, {4, 2}}, 3, 2},
        {"data from column 3", {{2, 3}, {3, 5}}, 2, 3},
        {"an empty sheet is its first cell", {}, 1, 1},
    };
    for (const auto& c : cases) {
        const std::string path = dir.file("used.xls");
        {
            SpreadsheetSession s;
            s.startExcel();
            s.addWorkbook();
            s.nameFirstSheet("Menu");
            s.sheetByName("Menu");
            for (auto [r, col] : c.cells)
                s.writeCell(r, col, "v");
            EXPECT_EQ(s.usedRowCount("Menu"), c.rows) << c.what << " (written)";
            s.saveSheetAs(path);
        }
        SpreadsheetSession s;
        s.startExcel();
        s.openWorkbook(path);
        s.nameFirstSheet("Menu");
        s.sheetByName("Menu");
        EXPECT_EQ(s.usedRowCount("menu"), c.rows) << c.what;
        EXPECT_EQ(s.usedColumnCount("Menu"), c.columns) << c.what;
    }
    // A formatted blank cell beyond the data (an empty text leaves one).
    const std::string path = dir.file("blank.xls");
    {
        SpreadsheetSession s;
        s.startExcel();
        s.addWorkbook();
        s.sheetByName("Sheet1");
        s.writeCell(2, 1, "heading");
        s.writeCell(3, 1, "data");
        s.writeCell(9, 4, "");
        s.saveSheetAs(path);
    }
    SpreadsheetSession s;
    s.startExcel();
    s.openWorkbook(path);
    s.sheetByName("Sheet1");
    EXPECT_EQ(s.usedRowCount("Sheet1"), 8);
    EXPECT_EQ(s.usedColumnCount("Sheet1"), 4);
    EXPECT_TRUE(s.readCell(9, 4).isNull());
    EXPECT_EQ(s.readCell(3, 1).asText(), "data");
}

// The import's pre-check opens a workbook with a row limit to learn its size
// without holding its cells; it must count what the import will count,
// whatever the writer recorded of the sheet's size.
TEST(SessionUsedRange, TheFirstRowsAloneGiveTheWholeUsedRange) {
    TempDir dir;
    auto written = [&](const std::string& name) {
        const std::string path = dir.file(name);
        SpreadsheetSession s;
        s.startExcel();
        s.addWorkbook();
        s.sheetByName("Sheet1");
        for (int r = 2; r <= 51; ++r)
            s.writeCell(r, 1, "row " + std::to_string(r));
        s.writeCell(40, 6, "wide");
        s.saveSheetAs(path);
        return path;
    };
    // The same cells in a package of our own, with the <dimension> given.
    auto byHand = [&](const std::string& name, const std::string& dimension) {
        std::string rows;
        for (int r = 2; r <= 51; ++r) {
            rows += "<row r=\"" + std::to_string(r) + "\"><c r=\"A" + std::to_string(r) +
                    "\" t=\"inlineStr\"><is><t>row " + std::to_string(r) + "</t></is></c>" +
                    (r == 40 ? "<c r=\"F40\" t=\"inlineStr\"><is><t>wide</t></is></c>" : "") +
                    "</row>";
        }
        auto parts = xlsxtest::minimalParts("");
        parts[4].second =
            "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">" +
            dimension + "<sheetData>" + rows + "</sheetData></worksheet>";
        const std::string path = dir.file(name);
        xlsxtest::makePackage(path, parts);
        return path;
    };
    struct File {
        const char* what;
        std::string path;
        std::string sheet;
    };
    const File files[] = {
        {".xls", written("written.xls"), "Sheet1"},
        {".xlsx", written("written.xlsx"), "Sheet1"},
        {"no <dimension>", byHand("none.xlsx", ""), "First"},
        {"stale <dimension>", byHand("stale.xlsx", "<dimension ref=\"A1\"/>"), "First"},
    };
    for (const auto& [what, path, sheet] : files) {
        SCOPED_TRACE(what);
        SpreadsheetSession full;
        full.startExcel();
        full.openWorkbook(path);
        SpreadsheetSession top;
        top.startExcel();
        top.openWorkbook(path, 3);
        full.sheetByName(sheet);
        top.sheetByName(sheet);
        EXPECT_EQ(full.usedRowCount(sheet), 50);
        EXPECT_EQ(full.usedColumnCount(sheet), 6);
        EXPECT_EQ(top.usedRowCount(sheet), 50);
        EXPECT_EQ(top.usedColumnCount(sheet), 6);
        EXPECT_EQ(top.readCell(2, 1).asText(), "row 2");
        EXPECT_EQ(top.readCell(3, 1).asText(), "row 3");
        EXPECT_TRUE(top.readCell(40, 6).isNull());
    }
}

// Saving over what is already at the path, and failing to save or read: the
// user's files are kept as they were, and the user reads one message of ours
// that names the file the user chose, with nothing from the libraries on the
// terminal.
TEST(SessionSave, ExistingTargetsAndFailures) {
    TempDir dir;
    struct Case {
        const char* what;
        std::function<void(const std::string& log)> check;
    };
    const Case cases[] = {
        {"a read-only workbook is not replaced",
         [&](const std::string&) {
             const std::string path = dir.file("locked.xlsx");
             ASSERT_EQ(save(path, 2, "old"), "");
             ::chmod(path.c_str(), 0444);
             const std::string before = xlsxtest::readFile(path);
             const std::string message = save(path, 2);
             EXPECT_NE(message.find("是只读的，不能覆盖"), std::string::npos) << message;
             EXPECT_EQ(xlsxtest::readFile(path), before);
         }},
        {"a link stays a link to the saved workbook",
         [&](const std::string&) {
             std::filesystem::create_directories(dir.file("real"));
             ASSERT_EQ(save(dir.file("real/book.xls"), 2, "old"), "");
             std::filesystem::create_symlink("real/book.xls", dir.file("link.xls"));
             ASSERT_EQ(save(dir.file("link.xls"), 2), "");
             EXPECT_TRUE(std::filesystem::is_symlink(dir.file("link.xls")));
             const WorkbookData data = readWorkbookFile(dir.file("real/book.xls"));
             EXPECT_EQ(data.firstSheet.cell(0, 0)->asText(), "new1" + std::string(200, 'x'));
         }},
        {"a truncated .xls is refused in our words alone",
         [&](const std::string& log) {
             const std::string path = dir.file("cut.xls");
             ASSERT_EQ(save(path, 3000), "");
             const std::string bytes = xlsxtest::readFile(path);
             xlsxtest::writeFile(path, bytes.substr(0, bytes.size() / 3));
             std::string message;
             EXPECT_EQ(stderrOf(
                           [&] {
                               try {
                                   readWorkbookFile(path);
                               } catch (const WorkbookError& e) {
                                   message = e.what();
                               }
                           },
                           log),
                       "");
             EXPECT_NE(message.find("损坏"), std::string::npos) << message;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.check(dir.file("stderr.log"));
    }
    // A full disk, as a file size limit in a child process: the message
    // names the workbook, not the hidden temporary file.
    for (const char* name : {"full.xls", "full.xlsx"}) {
        SCOPED_TRACE(name);
        const std::string path = dir.file(name);
        const std::string log = dir.file("child.log");
        const std::string out = dir.file("child.out");
        const pid_t child = ::fork();
        if (child == 0) {
            ::signal(SIGXFSZ, SIG_IGN);
            std::string message;
            stderrOf(
                [&] {
                    message = save(path, 20000, "new", [] {
                        const rlimit limit{1 << 20, 1 << 20};
                        ::setrlimit(RLIMIT_FSIZE, &limit);
                    });
                },
                log);
            xlsxtest::writeFile(out, message);
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        const std::string message = xlsxtest::readFile(out);
        EXPECT_NE(message.find(inQuotes(path)), std::string::npos) << message;
        EXPECT_EQ(message.find(".pos-transfer"), std::string::npos) << message;
        EXPECT_EQ(xlsxtest::readFile(log), "");
        EXPECT_FALSE(std::filesystem::exists(path));
    }
}

TEST(SessionStates, FailuresThatCallersCatch) {
    TempDir dir;
    SpreadsheetSession s;
    EXPECT_THROW(s.addWorkbook(), WorkbookError);  // not started
    EXPECT_NO_THROW(s.quitExcel());
    s.startExcel();
    EXPECT_TRUE(s.started());
    EXPECT_THROW(s.sheetByName("Sheet1"), WorkbookError);  // no workbook
    EXPECT_THROW(s.openWorkbook(dir.file("missing.xls")), WorkbookError);
    s.addWorkbook();
    EXPECT_THROW(s.writeCell(1, 1, "x"), WorkbookError);  // no sheet attached
    EXPECT_THROW(s.sheetByName("Menu"), WorkbookError);
    s.sheetByName("sheet1");
    s.writeCell(1, 1, "x");
    EXPECT_EQ(s.usedRowCount("Sheet1"), 1);
    s.closeWorkbooks();
    EXPECT_THROW(s.usedRowCount("Sheet1"), WorkbookError);
    s.quitExcel();
    EXPECT_FALSE(s.started());
    EXPECT_NO_THROW(s.quitExcel());
    EXPECT_THROW(s.closeWorkbooks(), WorkbookError);
    s.releaseExcel();
    EXPECT_THROW(s.startExcel(), WorkbookError);  // a session is never reused

    // An opened workbook is for reading only.
    const std::string path = threeSheetBook(dir);
    SpreadsheetSession r;
    r.startExcel();
    r.openWorkbook(path);
    r.sheetByName("Data");
    EXPECT_THROW(r.writeCell(1, 1, "x"), WorkbookError);
    EXPECT_THROW(r.saveSheetAs(dir.file("copy.xls")), WorkbookError);
    EXPECT_THROW(r.sheetByName("Other"), WorkbookError);  // not the first sheet
}

// The export worker against real store databases: the gauge, each failure
// with its message, and the statements it sends.
#include "transfer/ExThread.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "datasets/FieldMap.h"
#include "export_fixture.h"
#include "support/StoreFixture.h"
#include "support/TransferOptions.h"
#include "workbook/SheetData.h"
#include "workbook/WorkbookFile.h"
#include "workbook/WorkbookFormats.h"

namespace fs = std::filesystem;
using namespace pos;
using namespace pos::exporttest;
using pos::testing::StoreFixture;
using transfer::ExportOutcome;
using transfer::ExportResult;
using transfer::MyExThread;
using transfer::TransferOptions;

// --- the gauge --------------------------------------------------------------------------

TEST(ExportProgress, IsHeldWithinTheGauge) {
    EXPECT_EQ(transfer::exportProgress(3, 8), 111);
    EXPECT_EQ(transfer::exportProgress(65536, 65534), 300);
    EXPECT_EQ(transfer::exportProgress(3, 0), 0);
    EXPECT_EQ(transfer::exportProgress(3, 100000), 0);
}

// --- failures ---------------------------------------------------------------------------

TEST(ExportFailure, MissingTablesGiveTheViewMessageAndNoWorkbook) {
    // Menu and STCA exist, Category does not: VSmenu0 is made, VSmenu reads a
    // missing table. Both views are gone afterwards.
    TempDir tmp;
    StoreFixture store(
        {"CREATE TABLE menu (ID INTEGER, Name TEXT, FirstLetter TEXT, CategoryID INTEGER,"
         " SCSN INTEGER, Unit1 TEXT, Price1 REAL, Cost1 REAL, VPrice1 REAL, Unit2 TEXT,"
         " Price2 REAL, Cost2 REAL, VPrice2 REAL, Unit3 TEXT, Price3 REAL, Cost3 REAL,"
         " VPrice3 REAL); CREATE TABLE STCA (SCSN INTEGER, SCNA TEXT);"},
        "partial", tmp.dir() + "store");
    datasets::writeDefaultFieldMaps(tmp.dir());
    const std::string path = tmp.dir() + "out.xls";
    RecordingView view;
    EXPECT_EQ(exportWith(store, "Menu", path, tmp.dir(), view).outcome, ExportOutcome::Refused);
    EXPECT_EQ(view.messages(), std::vector<std::string>{
                                   "数据库partial的菜品信息相关设置表记录不全，请检查数据库！"});
    EXPECT_FALSE(fs::exists(path));
    EXPECT_TRUE(store.views().empty());
    EXPECT_EQ(view.events().back(), "enable");
}

TEST(ExportFailure, MissingColumnGivesTheViewMessage) {
    TempDir tmp;
    StoreFixture store({"CREATE TABLE AnnotateType (ID INTEGER, Name TEXT);"
                        " CREATE TABLE Annotate (ID INTEGER, AnnotateTypeID INTEGER);"},
                       "nocol", tmp.dir() + "store");
    datasets::writeDefaultFieldMaps(tmp.dir());
    RecordingView view;
    exportWith(store, "MenuAnnotate", tmp.dir() + "out.xls", tmp.dir(), view);
    EXPECT_EQ(view.messages(),
              std::vector<std::string>{"数据库nocol的菜品注释相关设置表记录不全，请检查数据库！"});
}

TEST(ExportFailure, UnwritableTargetIsReportedAndLeavesNoFile) {
    TempDir tmp;
    StoreFixture store({schemaScript(), demoScript()}, "pos_demo", tmp.dir() + "store");
    datasets::writeDefaultFieldMaps(tmp.dir());
    const std::string path = tmp.dir() + "no-such-folder/out.xls";
    RecordingView view;
    EXPECT_EQ(exportWith(store, "HallTable", path, tmp.dir(), view).outcome, ExportOutcome::Failed);
    const std::vector<std::string> messages = view.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].rfind("数据导出失败：", 0), 0u) << messages[0];
    EXPECT_FALSE(fs::exists(tmp.path() / "no-such-folder"));
    const std::vector<std::string> events = view.events();
    EXPECT_EQ(std::find(events.begin(), events.end(), "clearPath"), events.end());
    EXPECT_TRUE(store.views().empty());
}

TEST(ExportFailure, FolderAtThePathIsRefusedAndKept) {
    // A target that is a folder cannot be replaced: refused before any work,
    // nothing beside it is left.
    TempDir tmp;
    StoreFixture store({schemaScript(), demoScript()}, "pos_demo", tmp.dir() + "store");
    datasets::writeDefaultFieldMaps(tmp.dir());
    fs::create_directory(tmp.path() / "taken.xls");
    writeText(tmp.path() / "taken.xls" / "inside", "kept");
    RecordingView view;
    EXPECT_EQ(exportWith(store, "HallTable", tmp.dir() + "taken.xls", tmp.dir(), view).outcome,
              ExportOutcome::Refused);
    EXPECT_EQ(view.messages(),
              std::vector<std::string>{transfer::folderAtPathMessage(tmp.dir() + "taken.xls")});
    EXPECT_EQ(readText(tmp.path() / "taken.xls" / "inside"), "kept");
    std::size_t entries = 0;
    for (const auto& e : fs::directory_iterator(tmp.path())) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 5u);  // store, taken.xls and the three field maps
}

TEST(ExportFailure, RecordsBeyondAnXlsSheetAreRefusedAndAnXlsxSheetTakesThem) {
    TempDir tmp;
    const std::string script =
        schemaScript() +
        "INSERT INTO AnnotateType (ID, Name) VALUES (1, '口味');"
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 65535)"
        " INSERT INTO Annotate (ID, Name, AnnotateTypeID) SELECT i, 'a' || i, 1 FROM n;";
    StoreFixture store({script}, "big", tmp.dir() + "store");
    datasets::writeDefaultFieldMaps(tmp.dir());
    RecordingView refused;
    EXPECT_EQ(exportWith(store, "MenuAnnotate", tmp.dir() + "out.xls", tmp.dir(), refused).outcome,
              ExportOutcome::Refused);
    EXPECT_EQ(refused.messages(),
              std::vector<std::string>{
                  "要导出的记录共有65535条，超过了.xls工作表最多能容纳的65534条记录（第1行留空，"
                  "第2行为标题），无法导出！请把保存路径的扩展名改为.xlsx后重新导出。"});
    EXPECT_FALSE(fs::exists(tmp.dir() + "out.xls"));
    EXPECT_EQ(refused.progress(), std::vector<int>{0});

    // The way out that the message names.
    RecordingView view;
    exportWith(store, "MenuAnnotate", tmp.dir() + "out.xlsx", tmp.dir(), view);
    EXPECT_EQ(view.messages(), std::vector<std::string>{kSuccess});
    // Read back by our own reader: a Python reader takes minutes over 65,537
    // rows, and the reader itself is checked against openpyxl elsewhere.
    const workbook::WorkbookData book = workbook::readWorkbookFile(tmp.dir() + "out.xlsx");
    const workbook::SheetData& sheet = book.firstSheet;
    ASSERT_EQ(sheet.lastRow(), 65536);
    const auto text = [&](int row, int column) {
        const std::optional<Value> v = sheet.cell(row, column);
        return v ? v->toText() : std::string();
    };
    EXPECT_EQ(text(0, 0), "");
    EXPECT_EQ(text(2, 0) + "|" + text(2, 1), "口味|a1");
    EXPECT_EQ(text(65536, 0) + "|" + text(65536, 1), "口味|a65535");
}

TEST(ExportFailure, PathOfAnotherFormatIsRefusedBeforeAnyWork) {
    TempDir tmp;
    StoreFixture store({schemaScript(), demoScript()}, "pos_demo", tmp.dir() + "store");
    for (const char* name : {"out.txt", "out", "out.xlsx.bak", "out.xls "}) {
        SCOPED_TRACE(name);
        const std::string path = tmp.dir() + name;
        RecordingView view;
        EXPECT_EQ(exportWith(store, "HallTable", path, tmp.dir(), view).outcome,
                  ExportOutcome::Refused);
        EXPECT_EQ(view.messages(),
                  std::vector<std::string>{
                      "数据导出失败：保存路径" + path + "的扩展名不是" + workbook::extensionList() +
                      "之一，无法确定工作簿的格式。\n请把保存路径的扩展名改为" +
                      workbook::extensionList() + "后重新导出。"});
        EXPECT_EQ(view.events().back(), "enable");
        EXPECT_FALSE(fs::exists(path));
    }
    // Nothing was done: no field map written, no view left.
    EXPECT_FALSE(fs::exists(tmp.path() / "HallTable.ini"));
    EXPECT_TRUE(store.views().empty());
}

TEST(ExportFailure, FieldMapThatCannotBeWrittenIsReported) {
    TempDir tmp;
    StoreFixture store({schemaScript(), demoScript()}, "pos_demo", tmp.dir() + "store");
    RecordingView view;
    EXPECT_EQ(
        exportWith(store, "HallTable", tmp.dir() + "out.xls", tmp.dir() + "missing-folder/", view)
            .outcome,
        ExportOutcome::Failed);
    ASSERT_EQ(view.messages().size(), 1u);
    EXPECT_EQ(view.messages()[0].rfind("写入字段对照文件失败：", 0), 0u) << view.messages()[0];
    EXPECT_FALSE(fs::exists(tmp.dir() + "out.xls"));
    EXPECT_TRUE(store.views().empty());
}

// --- the worker's own statements --------------------------------------------------------

TEST(ExportStatements, RecordLimitFollowsTheExtension) {
    EXPECT_EQ(transfer::recordLimitForPath("/a/b.xls"), 65534);
    EXPECT_EQ(transfer::recordLimitForPath("/a/b.XLSX "), 1048574);
    EXPECT_EQ(transfer::recordLimitForPath("/a/xlsx"), 65534);
}

TEST(ExportStatements, RecordCountAgainstTheSheetOfTheFormat) {
    const std::string xlsBeyond =
        "要导出的记录共有65535条，超过了.xls工作表最多能容纳的65534条记录（第1行留空，第2行为标"
        "题），无法导出！请把保存路径的扩展名改为.xlsx后重新导出。";
    const std::string xlsxBeyond =
        "要导出的记录共有1048575条，超过了.xlsx工作表最多能容纳的1048574条记录（第1行留空，第2行"
        "为标题），无法导出！";
    struct Case {
        int count;
        const char* path;
        std::string message;
    };
    const Case cases[] = {
        {0, "/a/b.xls", ""},      {65534, "/a/b.xls", ""},    {65535, "/a/b.xls", xlsBeyond},
        {65535, "/a/b.xlsx", ""}, {1048574, "/a/b.Xlsx", ""}, {1048575, "/a/b.xlsx", xlsxBeyond},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.count) + " " + c.path);
        EXPECT_EQ(transfer::tooManyRecordsMessage(c.count, c.path), c.message);
    }
}

TEST(ExportStatements, ReplacingAFinishedWorkerJoinsIt) {
    TempDir tmp;
    StoreFixture store({schemaScript(), demoScript()}, "pos_demo", tmp.dir() + "store");
    datasets::writeDefaultFieldMaps(tmp.dir());
    RecordingView view;
    TransferOptions options =
        pos::testing::transferOptions("MenuAnnotate", "pos_demo", tmp.dir() + "a.xls", tmp.dir());
    auto latest = std::make_unique<MyExThread>(store.queries(), options, view);
    latest->start();
    while (!latest->finished()) {
        std::this_thread::yield();
    }
    options.path = tmp.dir() + "b.xls";
    latest = std::make_unique<MyExThread>(store.queries(), options, view);  // no terminate
    latest->start();
    latest.reset();
    EXPECT_EQ(view.messages(), (std::vector<std::string>{kSuccess, kSuccess}));
    EXPECT_TRUE(fs::exists(tmp.dir() + "b.xls"));
}

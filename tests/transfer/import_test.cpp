// The import worker against real store databases and workbooks written by the
// session (those that other programs write are read in import_interop_test): round
// trips of the three datasets, the heading match, the staging pass and its
// refused rows, the same outcome in statements of many rows or of one, a
// merge that stops part-way, the gauge, and the staging tables gone after
// every outcome.
#include "transfer/ImThread.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "datasets/Datasets.h"
#include "datasets/FieldMap.h"
#include "db/SqlServerDialect.h"
#include "import_fixture.h"
#include "support/Process.h"
#include "support/RecordingView.h"
#include "support/StoreFixture.h"
#include "support/TransferOptions.h"
#include "support/Workbooks.h"
#include "transfer/ExThread.h"
#include "transfer/Staging.h"
#include "workbook/SpreadsheetSession.h"

namespace pos::transfer {
namespace {

using namespace importtest;
using testing::writeWorkbook;

const char* const kMismatch = "不可以进行数据导入，请检查对应字段是否一致！";
const char* const kTooManyColumns = "导入的数据字段多余数据库字段，请检查导入的Excel表字段";

// --- round trips of the demo database ------------------------------------------------

struct RoundTripCase {
    const char* key;
    const char* text;
};

class ImportRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(ImportRoundTrip, ExportedWorkbookComesBackWithoutChangingAnything) {
    const RoundTripCase& c = GetParam();
    TempDir dir;
    StoreFixture store(true, "pos_demo");
    datasets::writeDefaultFieldMaps(dir.dir());
    const std::string path = dir.dir() + c.text + ".xls";
    {
        const TransferOptions options =
            testing::transferOptions(c.key, store.database(), path, dir.dir());
        RecordingView exportView;
        MyExThread exporter(store.queries(), options, exportView);
        exporter.start();
        exporter.join();
        ASSERT_EQ(exportView.messages(), std::vector<std::string>{"数据导出成功！"});
    }
    const auto before = store.pointOfSaleTables();

    RecordingView view;
    const Import run = importWith(store, c.key, path, dir.dir(), view);

    ASSERT_EQ(view.messages().size(), 1u);
    EXPECT_TRUE(startsWith(view.messages()[0], std::string(kSuccess) + "\n")) << view.messages()[0];
    EXPECT_NE(view.messages()[0].find("已存在"), std::string::npos) << view.messages()[0];
    EXPECT_EQ(run.result.outcome, ImportOutcome::Succeeded);
    EXPECT_TRUE(run.result.everyRowInDatabase());
    // Every workbook row, and only those, is counted as already stored.
    EXPECT_EQ(run.result.merge.inserted, 0);
    EXPECT_EQ(run.result.merge.alreadyExisting, run.state.lastDataRow - 2);
    EXPECT_GT(run.result.merge.alreadyExisting, 0);
    // An exported row compares equal to its stored row: none is called changed.
    EXPECT_EQ(run.result.merge.differing, 0) << view.messages()[0];
    EXPECT_EQ(store.pointOfSaleTables(), before);
    EXPECT_TRUE(stagingTables(store).empty());
    EXPECT_EQ(view.pathClears(), 1);
    EXPECT_EQ(view.controlStates(), (std::vector<bool>{false, true}));
    ASSERT_FALSE(view.progress().empty());
    // The gauge reaches its end before the end of the import puts it back.
    EXPECT_EQ(run.state.progressBase, 300);
    const std::vector<int> progress = view.progress();
    EXPECT_EQ(*std::max_element(progress.begin(), progress.end()), 300);
    EXPECT_EQ(view.progress().back(), 0);
}

INSTANTIATE_TEST_SUITE_P(Datasets, ImportRoundTrip,
                         ::testing::Values(RoundTripCase{"Menu", "菜品信息"},
                                           RoundTripCase{"HallTable", "厅桌信息"},
                                           RoundTripCase{"MenuAnnotate", "菜品注释"}),
                         [](const auto& p) { return std::string(p.param.key); });

// --- new rows, staged and merged; the gauge of the two passes -----------------------------

TEST(Import, NewDishesAreStagedAndMergedAndExistingOnesLeftOut) {
    TempDir dir;
    StoreFixture store(true);
    datasets::writeDefaultFieldMaps(dir.dir());
    const std::string path = dir.dir() + "new.xls";
    writeWorkbook(path, {kMenuHeadings, dish("9001", "新菜一", "新类别"), dish("9002", "新菜二"),
                         dish("1001", "拍黄瓜", "凉菜", "12")});
    const int dishes = store.count("menu");

    RecordingView view;
    const Import run = importWith(store, "Menu", path, dir.dir(), view, 7);

    ASSERT_EQ(view.messages().size(), 1u);
    EXPECT_TRUE(startsWith(view.messages()[0], std::string(kSuccess) + "\n")) << view.messages()[0];
    EXPECT_EQ(run.result.merge.inserted, 2);
    EXPECT_EQ(run.result.merge.alreadyExisting, 1);
    // Dish 1001's first letter, cost and member price differ from the store:
    // without updates the user learns that they did not arrive.
    EXPECT_EQ(view.messages()[0],
              std::string(kSuccess) +
                  "\n已导入2行；1行已存在，未重复导入。\n已存在的1行中有1行与工作簿不同，没有更新"
                  "（菜品编码：1001）；如需更新，请选择“更新已有的行”后重新导入（命令行：--"
                  "update-existing）。");
    EXPECT_EQ(store.scalar("select Cost1 from menu where ID = 1001"), "4.8");
    EXPECT_EQ(store.count("menu"), dishes + 2);
    EXPECT_EQ(store.scalar("select StationID from menu where ID = 9001"), "7");
    EXPECT_EQ(store.scalar("select count(*) from Category where Name = '新类别'"), "1");
    EXPECT_EQ(run.state.lastDataRow, 5);
    EXPECT_EQ(run.state.progressBase, 300);

    // Rows 3..5 of the staging pass, which takes the gauge to 200: 66, 133,
    // 200; the merge follows from 200 and the end puts the gauge back to 0.
    const std::vector<int> progress = view.progress();
    const std::vector<int> pass(progress.begin(), progress.begin() + 3);
    EXPECT_EQ(pass, (std::vector<int>{66, 133, 200}));
    EXPECT_EQ(view.progress().back(), 0);
    EXPECT_TRUE(stagingTables(store).empty());
}

// --- the heading row ---------------------------------------------------------------------

struct HeadingCase {
    const char* name;
    std::function<void(std::vector<std::string>&, std::vector<std::string>&)> edit;
    bool withFieldMap;
    const char* message;  // nullptr: success; else the whole message, or its first line
    // The lines that name what is wrong, each found in the message after the
    // first line; none: the message is exactly `message`.
    std::vector<std::string> lines = {};
    int firstRow = 2;  // the worksheet row of the headings
};

class ImportHeadings : public ::testing::TestWithParam<HeadingCase> {};

TEST_P(ImportHeadings, MatchOrRefuse) {
    const HeadingCase& c = GetParam();
    TempDir dir;
    StoreFixture store(true);
    if (c.withFieldMap) {
        datasets::writeDefaultFieldMaps(dir.dir());
    }
    std::vector<std::string> headings = kMenuHeadings;
    std::vector<std::string> row = dish("9001", "新菜");
    c.edit(headings, row);
    const std::string path = dir.dir() + "headings.xls";
    writeWorkbook(path, {headings, row}, c.firstRow);
    const auto before = store.pointOfSaleTables();

    RecordingView view;
    importWith(store, "Menu", path, dir.dir(), view);

    ASSERT_EQ(view.messages().size(), 1u);
    const std::string text = view.messages()[0];
    if (c.message == nullptr) {
        EXPECT_TRUE(startsWith(text, kSuccess)) << text;
        EXPECT_EQ(store.scalar("select Name from menu where ID = 9001"), "新菜");
    } else {
        if (c.lines.empty()) {
            EXPECT_EQ(text, c.message);
        } else {
            EXPECT_TRUE(startsWith(text, std::string(c.message) + "\n")) << text;
        }
        for (const std::string& line : c.lines) {
            EXPECT_NE(text.find(line), std::string::npos) << line << " in " << text;
        }
        EXPECT_EQ(store.pointOfSaleTables(), before);
    }
    EXPECT_TRUE(stagingTables(store).empty());
}

const std::vector<std::string> kStagingColumns{
    "ID",      "Name",  "FirstLetter", "CategoryName", "SCNA",   "Unit1",
    "Price1",  "Cost1", "VPrice1",     "Unit2",        "Price2", "Cost2",
    "VPrice2", "Unit3", "Price3",      "Cost3",        "VPrice3"};

INSTANTIATE_TEST_SUITE_P(
    Cases, ImportHeadings,
    ::testing::Values(
        HeadingCase{"BlanksAroundMatch",
                    [](auto& h, auto&) {
                        h[1] = "  " + h[1] + " ";
                        h[16] = "\t" + h[16];
                    },
                    true, nullptr},
        HeadingCase{"OtherLetterCaseRefused",
                    [](auto& h, auto&) { h = kStagingColumns, h[0] = "id"; },
                    false,
                    kMismatch,
                    {"\n第2行第A列的标题“id”不是菜品信息的字段名\n",
                     "标题必须与字段名完全相同（区分大小写）：ID、Name、FirstLetter"}},
        HeadingCase{"UnknownHeadingRefused",
                    [](auto& h, auto&) { h[9] = "单位二"; },
                    true,
                    kMismatch,
                    {"\n第2行第J列的标题“单位二”在字段对应文件Menu.ini中没有对应的字段\n",
                     "\n字段对应文件Menu.ini中的标题有：菜品编码、菜品名称、首字母",
                     "\n工作表第2行中没有这些标题：单位2\n"}},
        HeadingCase{"HeadingsInRowOne",
                    [](auto&, auto&) {},
                    true,
                    kMismatch,
                    {"\n工作表的标题在第1行，但第1行必须留空，标题应在第2行"},
                    1},
        HeadingCase{"AnotherDatasetsWorkbook",
                    [](auto& h, auto& r) {
                        h = {"厅名", "桌号", "桌名"};
                        r = {"大厅", "901", "新桌"};
                    },
                    true,
                    "不可以进行数据导入，请检查对应字段是否一致！\n这个工作簿看起来是厅桌信息，"
                    "请在“导入的数据”中选择厅桌信息"},
        HeadingCase{"MoreColumnsThanStagingRefused",
                    [](auto& h, auto& r) {
                        h.push_back("");
                        r.push_back("x");
                    },
                    true,
                    kTooManyColumns,
                    {"\n工作表有18列（A列至R列），而菜品信息只有17个字段。\n第2行第R列没有标题\n"}},
        HeadingCase{"FewerColumnsAccepted",
                    [](auto& h, auto& r) {
                        h.resize(9);
                        r.resize(9);
                    },
                    true, nullptr},
        HeadingCase{"NoFieldMapTakesColumnNames", [](auto& h, auto&) { h = kStagingColumns; },
                    false, nullptr},
        HeadingCase{
            "NoFieldMapRefusesShowNames",
            [](auto&, auto&) {},
            false,
            kMismatch,
            {"\n第2行第A列的标题“菜品编码”不是菜品信息的字段名\n", "没有字段对应文件Menu.ini"}},
        HeadingCase{"SameHeadingTwiceRefused", [](auto& h, auto&) { h[2] = h[1]; }, true,
                    "不能导入数据：标题“菜品名称”与另一列对应到同一个字段，请检查工作表第2行的"
                    "标题和字段对应文件Menu.ini，改正后再导入。"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(ImportHeadings, FieldMapEntryNamingNoStagingColumnRefuses) {
    TempDir dir;
    StoreFixture store(true);
    datasets::FieldMap map = datasets::defaultFieldMap("Menu");
    map.entries[2].showField = "Initials";
    datasets::writeFieldMap(datasets::fieldMapPath(dir.dir(), "Menu"), map);
    const std::string path = dir.dir() + "map.xls";
    writeWorkbook(path, {kMenuHeadings, dish("9001", "新菜")});

    RecordingView view;
    importWith(store, "Menu", path, dir.dir(), view);
    ASSERT_EQ(view.messages().size(), 1u);
    EXPECT_TRUE(startsWith(view.messages()[0],
                           std::string(kMismatch) +
                               "\n字段对应文件Menu.ini中标题“首字母”对应的字段“Initials”不是"
                               "菜品信息的字段，可用的字段有：ID、Name、FirstLetter"))
        << view.messages()[0];
}

// --- the two passes -----------------------------------------------------------------------

TEST(ImportPasses, ValidationRefusesWrongTypesBeforeAnythingIsInserted) {
    TempDir dir;
    StoreFixture store(true);
    datasets::writeDefaultFieldMaps(dir.dir());
    std::vector<std::string> badPrice = dish("9002", "坏价格", "新类别", "12元");
    std::vector<std::string> badId = dish("九", "坏编码");
    std::vector<std::string> noName = dish("9004", "");
    const std::string path = dir.dir() + "bad.xls";
    writeWorkbook(path, {kMenuHeadings, dish("9001", "好菜", "新类别"), badPrice,
                         dish("9003", "好菜二", "新类别", "12.5"), badId, noName});
    const auto before = store.pointOfSaleTables();

    RecordingView view;
    const Import run = importWith(store, "Menu", path, dir.dir(), view);

    ASSERT_EQ(view.messages().size(), 1u);
    // The headline, then each row with the column at fault.
    const std::string text = view.messages()[0];
    EXPECT_TRUE(startsWith(text,
                           "第4,6,7行数据无法插入,有可能这几行数据有空值，或者数据类型不正确"
                           "，请检查后再导入！\n第4行“价格1”列应为数字，“12元”不是数字，"
                           "请只填写数字（"))
        << text;
    EXPECT_NE(text.find("\n第6行“菜品编码”列应为数字，“九”不是数字，请只填写数字（"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\n第7行“菜品名称”列为空，请填写后再导入"), std::string::npos) << text;
    EXPECT_EQ(run.result.outcome, ImportOutcome::ValidationFailed);
    EXPECT_FALSE(run.result.mergeRan);
    EXPECT_EQ(store.pointOfSaleTables(), before);  // no new category, no dish
    EXPECT_EQ(view.pathClears(), 0);
    EXPECT_TRUE(stagingTables(store).empty());
    EXPECT_EQ(view.progress(), (std::vector<int>{40, 80, 120, 160, 200, 0}));
}

// --- rows sent many to a statement, or one at a time ---------------------------------------

// Eleven new dishes in three new categories, each row changed by `edit`
// (its worksheet row, from 3, and its cells).
Grid elevenDishes(const std::function<void(int, std::vector<std::string>&)>& edit = {}) {
    Grid grid{kMenuHeadings};
    for (int row = 3; row <= 13; ++row) {
        grid.push_back(dish(std::to_string(9000 + row), "新菜" + std::to_string(row),
                            "新类别" + std::to_string(row % 3)));
        if (edit) {
            edit(row, grid.back());
        }
    }
    return grid;
}

struct BatchCase {
    const char* name;
    Grid grid;
    ImportOutcome outcome;  // of every way and of the real import (not the dry run)
};

// What a user and the database see of one import.
struct SeenImport {
    ImportOutcome outcome;
    std::string message;
    std::vector<std::string> rejected;  // row, key and reason of each
    std::string dump;                   // the store file, as sqlite3 .dump writes it

    bool operator==(const SeenImport&) const = default;
};

SeenImport importSeen(const Grid& grid, bool dryRun, int rowsPerStatement) {
    TempDir dir;
    StoreFixture store(true);
    datasets::writeDefaultFieldMaps(dir.dir());
    const std::string path = dir.dir() + "batch.xls";
    writeWorkbook(path, grid);
    ImportChoices choices;
    choices.dryRun = dryRun;
    choices.offerRejects = true;
    RecordingView view;
    const Import run =
        importWith(store, "Menu", path, dir.dir(), view, 1, choices, rowsPerStatement);
    SeenImport seen{run.result.outcome, run.result.message, {}, {}};
    for (const RejectedRow& r : run.result.rejectedRows) {
        seen.rejected.push_back(std::to_string(r.row) + "|" + r.key + "|" + r.reason);
    }
    const std::string dump = dir.dir() + "dump.sql";
    EXPECT_EQ(testing::runShell("sqlite3 " + testing::shellQuote(store.databasePath()) +
                                " .dump > " + testing::shellQuote(dump)),
              0);
    seen.dump = testing::readTextFile(dump);
    return seen;
}

// Rows sent four to a statement and as many as the store takes leave the
// same database and the same words as rows sent one at a time: a refused
// row is found in its statement and named as it always was.
TEST(StagingBatches, ManyRowsToAStatementImportAsOneRowAtATime) {
    const BatchCase cases[] = {
        {"new rows", elevenDishes(), ImportOutcome::Succeeded},
        {"refused rows in the first statement", elevenDishes([](int row, auto& cells) {
             if (row == 3) {
                 cells[6] = "12元";
             } else if (row == 5) {
                 cells[1] = "";
             }
         }),
         ImportOutcome::ValidationFailed},
        {"refused row in a middle statement",
         elevenDishes([](int row, auto& cells) { cells[0] = row == 8 ? "九" : cells[0]; }),
         ImportOutcome::ValidationFailed},
        {"repeated keys and a stored one", elevenDishes([](int row, auto& cells) {
             if (row == 6 || row == 11) {
                 cells[0] = std::to_string(9000 + row - 3);
             } else if (row == 9) {
                 cells[0] = "1001";
             }
         }),
         ImportOutcome::RowsFailed},
        {"a repeated key that is refused too", elevenDishes([](int row, auto& cells) {
             if (row == 10) {
                 cells[0] = "9004";
                 cells[7] = "六元";
             }
         }),
         ImportOutcome::ValidationFailed},
        {"a blank key",
         elevenDishes([](int row, auto& cells) { cells[0] = row == 7 ? " " : cells[0]; }),
         ImportOutcome::ValidationFailed},
    };
    for (const BatchCase& c : cases) {
        for (const bool dryRun : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (dryRun ? ", dry run" : ""));
            const SeenImport oneByOne = importSeen(c.grid, dryRun, 1);
            if (!dryRun) {
                EXPECT_EQ(oneByOne.outcome, c.outcome) << oneByOne.message;
            }
            EXPECT_EQ(importSeen(c.grid, dryRun, 4), oneByOne);
            EXPECT_EQ(importSeen(c.grid, dryRun, 0), oneByOne);
        }
    }
}

TEST(ImportPasses, MergeStoppingPartWayIsReportedAndCleanedUp) {
    TempDir dir;
    StoreFixture store(true);
    datasets::writeDefaultFieldMaps(dir.dir());
    store.exec(
        "create trigger units_locked before insert on Unit "
        "begin select raise(abort, 'units are locked'); end");
    std::vector<std::string> row = dish("9001", "新菜", "新类别");
    row[5] = "新单位";
    const std::string path = dir.dir() + "stop.xls";
    writeWorkbook(path, {kMenuHeadings, row, dish("9002", "新菜二")});

    RecordingView view;
    const Import run = importWith(store, "Menu", path, dir.dir(), view);

    ASSERT_EQ(view.messages().size(), 1u);
    EXPECT_EQ(run.result.outcome, ImportOutcome::MergeStopped);
    EXPECT_NE(view.messages()[0].find("units are locked"), std::string::npos) << view.messages()[0];
    EXPECT_FALSE(startsWith(view.messages()[0], kSuccess));
    // The category pass ran before the unit pass stopped: its row stays.
    EXPECT_EQ(store.scalar("select count(*) from Category where Name = '新类别'"), "1");
    EXPECT_EQ(store.scalar("select count(*) from menu where ID = 9001"), "0");
    EXPECT_EQ(view.pathClears(), 0);
    EXPECT_TRUE(stagingTables(store).empty());
    EXPECT_EQ(view.progress().back(), 0);
}

// --- what goes in comes out the same, or the user is told which row did not -------------

// --- what goes in comes out the same, or the user is told which row did not -------------

class ImportFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(ImportFaults, EveryRowArrivesAsWrittenOrIsNamed) {
    expectRowsArriveOrAreNamed(
        GetParam(), [](const std::string& path, const Grid& rows) { writeWorkbook(path, rows); });
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ImportFaults,
    ::testing::Values(
        FaultCase{"RepeatedDishCode",
                  "Menu",
                  "ours.xls",
                  {kMenuHeadings, dish("9100", "甲菜"), dish("9100.0", "乙菜")},
                  nullptr,
                  false,
                  {"数据导入已结束，但有1行未能导入",
                   "第4行：菜品编码“9100.0”在本文件中重复（与第3行相同）"},
                  {{"select Name from menu where ID = 9100", {{"甲菜"}}}},
                  {4}},
        // A table number is stored and found as the integer ID.
        FaultCase{
            "RepeatedTableNumber",
            "HallTable",
            "ours.xls",
            {kHallHeadings, {"大厅", "0901", "甲桌"}, {"大厅", "901", "乙桌"}},
            nullptr,
            false,
            {"数据导入已结束，但有1行未能导入", "第4行：桌号“901”在本文件中重复（与第3行相同）"},
            {{"select Code, Name from tables where ID = 901", {{"0901", "甲桌"}}}},
            {4}},
        FaultCase{"RepeatedAnnotation",
                  "MenuAnnotate",
                  "ours.xls",
                  {kAnnotateHeadings, {"口味", "加葱"}, {"口味", "加葱 "}},
                  nullptr,
                  false,
                  {"第4行：注释“加葱 ”（注释类别“口味”）在本文件中重复"},
                  {{"select count(*) from Annotate where Name like '加葱%'", {{"1"}}}},
                  {4}},
        // Staging tables that a killed import of other datasets left behind.
        FaultCase{"LeftoversOfEveryDatasetGo",
                  "Menu",
                  "ours.xls",
                  {kMenuHeadings, dish("9109", "新菜")},
                  "create table TEMPHallTable (HallName text); "
                  "create table TEMPMenuAnnotate (AnnotateTypeName text)",
                  true,
                  {},
                  {{"select Name from menu where ID = 9109", {{"新菜"}}}}},
        FaultCase{"PriceOfBlanks",
                  "Menu",
                  "ours.xls",
                  {kMenuHeadings, dishWith(dish("9101", "空价菜"), 6, "   ")},
                  nullptr,
                  true,
                  {},
                  {{"select Price1 from menu where ID = 9101", {{"0"}}}}},
        FaultCase{
            "LookAlikeCategoryUnitAndStatistics",
            "Menu",
            "ours.xls",
            {kMenuHeadings, dishWith(dishWith(dish("9102", "甲", "热菜 "), 5, "份 "), 4, "菜品 "),
             dish("9103", "乙", "cola")},
            "insert into Category (ID, Name) values (99, 'Cola')",
            true,
            {},
            {{"select ID, CategoryID, SCSN, Unit1 from menu where ID >= 9102 order by ID",
              {{"9102", "2", "1", "份 "}, {"9103", "99", "1", "份"}}},
             {"select (select count(*) from Category) || (select count(*) from Unit) || "
              "(select count(*) from STCA)",
              {{"9174"}}}}},
        FaultCase{"LookAlikeHall",
                  "HallTable",
                  "ours.xls",
                  {kHallHeadings, {"大厅 ", "902", "新桌"}},
                  nullptr,
                  true,
                  {},
                  {{"select Hallid from tables where ID = 902", {{"1"}}},
                   {"select count(*) from Hall", {{"3"}}}}},
        FaultCase{"LookAlikeAnnotationType",
                  "MenuAnnotate",
                  "ours.xls",
                  {kAnnotateHeadings, {"口味 ", "加醋"}},
                  nullptr,
                  true,
                  {},
                  {{"select AnnotateTypeID from Annotate where Name = '加醋'", {{"1"}}},
                   {"select count(*) from AnnotateType where Name like '口味%'", {{"1"}}}}},
        // A name of blanks is empty, as is the export of a name stored empty
        // by another program: the workbook is refused, naming each.
        FaultCase{
            "NamesOfBlanksAreRefused",
            "HallTable",
            "ours.xls",
            {kHallHeadings, {"大厅", "101", ""}, {"大厅", "903", "甲桌"}, {"大厅", "904", " \t "}},
            "update tables set Name = '' where ID = 101",
            false,
            {"\n第3行“桌名”列为空，请填写后再导入", "\n第5行“桌名”列为空，请填写后再导入"},
            {},
            {3, 4, 5}},
        // Rows with nothing to import, among the records and after them (a
        // row of blanks), are no records: skipped, named, never refused.
        FaultCase{"EmptyRowsAreSkipped",
                  "HallTable",
                  "ours.xls",
                  {kHallHeadings,
                   {"大厅", "905", "甲桌"},
                   {"", "", ""},
                   {"大厅", "906", "乙桌"},
                   {" ", "\t", "\xE3\x80\x80"}},
                  nullptr,
                  true,
                  {"已导入2行", "\n第4、6行为空行，已跳过。"},
                  {{"select ID, Name from tables where ID in (905, 906) order by ID",
                    {{"905", "甲桌"}, {"906", "乙桌"}}}}},
        // Rows of blanks alone hold no record, as a heading row alone.
        FaultCase{"OnlyEmptyRowsAreNoRecords",
                  "HallTable",
                  "ours.xls",
                  {kHallHeadings, {" ", "", ""}, {"", "", "\t"}},
                  nullptr,
                  false,
                  {"您选择的文件内数据记录不全，无法导入数据！\n第3、4行为空行"},
                  {}},
        FaultCase{"EmptyRowIsNoRejectOfARefusedWorkbook",
                  "HallTable",
                  "ours.xls",
                  {kHallHeadings, {"大厅", "907", ""}, {"", "", ""}, {"大厅", "908", "乙桌"}},
                  nullptr,
                  false,
                  {"\n第3行“桌名”列为空，请填写后再导入"},
                  {},
                  {3, 5}},
        FaultCase{"NewStatisticsCategoryAboveEveryScid",
                  "Menu",
                  "ours.xls",
                  {kMenuHeadings, dishWith(dish("9105", "新统计菜"), 4, "新统计")},
                  "update STCA set SCID = 5 where SCSN = 4",
                  true,
                  {},
                  {{"select SCID, SCSN from STCA where SCNA = '新统计'", {{"6", "6"}}},
                   {"select SCSN from menu where ID = 9105", {{"6"}}}}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(ImportLayout, UnreadableWorkbookIsNamedAsNoWorkbook) {
    TempDir dir;
    StoreFixture store(true);
    const std::string path = dir.dir() + "broken.xls";
    FILE* out = std::fopen(path.c_str(), "wb");
    std::fputs("not a workbook", out);
    std::fclose(out);

    RecordingView view;
    importWith(store, "Menu", path, dir.dir(), view);
    ASSERT_EQ(view.messages().size(), 1u);
    EXPECT_NE(view.messages()[0].find("不是工作簿（.xls、.xlsx"), std::string::npos)
        << view.messages()[0];
    EXPECT_EQ(view.controlStates(), (std::vector<bool>{false, true}));
    EXPECT_TRUE(stagingTables(store).empty());
}

// A database that another program holds is named as busy, not as a database
// whose tables are incomplete, and nothing is written.
TEST(ImportLayout, BusyDatabaseIsNamedAsBusy) {
    TempDir dir;
    StoreFixture store(true);
    datasets::writeDefaultFieldMaps(dir.dir());
    const std::string path = dir.dir() + "busy.xls";
    writeWorkbook(path, {kMenuHeadings, dish("9001", "新菜")});
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(store.databasePath().c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "begin exclusive", nullptr, nullptr, nullptr), SQLITE_OK);

    RecordingView view;
    const Import run = importWith(store, "Menu", path, dir.dir(), view);
    sqlite3_exec(other, "rollback", nullptr, nullptr, nullptr);
    sqlite3_close(other);

    ASSERT_EQ(view.messages().size(), 1u);
    EXPECT_EQ(run.result.outcome, ImportOutcome::Refused);
    EXPECT_NE(view.messages()[0].find("正被另一个程序使用"), std::string::npos)
        << view.messages()[0];
    EXPECT_EQ(view.messages()[0].find("记录不全"), std::string::npos) << view.messages()[0];
    EXPECT_EQ(store.scalar("select count(*) from menu where ID = 9001"), "0");
}

TEST(ImportLayout, MissingPointOfSaleTableRefusesStaging) {
    TempDir dir;
    StoreFixture store(true);
    datasets::writeDefaultFieldMaps(dir.dir());
    const std::string path = dir.dir() + "menu.xls";
    writeWorkbook(path, {kMenuHeadings, dish("9001", "新菜")});
    store.exec("drop table Category");

    RecordingView view;
    importWith(store, "Menu", path, dir.dir(), view);
    EXPECT_EQ(view.messages(),
              std::vector<std::string>{"数据库pos的菜品信息相关设置表记录不全，请检查数据库！"});
    EXPECT_TRUE(stagingTables(store).empty());  // TEMPmenu0 was built, and dropped
}

// --- the staging table -------------------------------------------------------------------

TEST(Staging, EmptyStrictTableWithTheSourceTypes) {
    StoreFixture store(true);
    const TransferOptions options = testing::transferOptions("Menu", store.database());
    TransferSession session = store.queries();
    db::Query& query = session.queries().sqlQuery;
    ASSERT_TRUE(buildStagingTable(query, options));
    EXPECT_EQ(readStagingColumns(query, options), kStagingColumns);
    EXPECT_EQ(findIdentityColumn(query, options), "");
    EXPECT_EQ(store.count("TEMPMenu"), 0);
    EXPECT_EQ(store.rows("select name, type, \"notnull\" from pragma_table_info('TEMPMenu') "
                         "where name in ('ID', 'Name', 'Price1', 'Unit2') order by cid"),
              (Grid{{"ID", "INTEGER", "1"},
                    {"Name", "TEXT", "1"},
                    {"Price1", "REAL", "0"},
                    {"Unit2", "TEXT", "0"}}));
    EXPECT_THROW(store.exec("insert into TEMPMenu (ID, Name, CategoryName, SCNA, Price1) values "
                            "(1, 'x', 'c', 's', 'abc')"),
                 std::runtime_error);
    store.exec(
        "insert into TEMPMenu (ID, Name, CategoryName, SCNA, Price1) values ('2', 'x', 'c', 's', "
        "'12.5')");
    dropStagingTables(query, options);
    EXPECT_TRUE(stagingTables(store).empty());
}

TEST(Staging, InsertStatementLeavesOutTheIdentityColumn) {
    EXPECT_EQ(
        buildStagingInsert(datasets::kHallTableDataset, {"HallName", "TableID", "TableName"}, "")
            .statement,
        " insert into TEMPHallTable (HallName,TableID,TableName)  values "
        "(:HallName,:TableID,:TableName) ");
    const StagingInsert withIdentity =
        buildStagingInsert(datasets::kMenuDataset, {"Name", "ID", "Price1"}, "ID");
    EXPECT_EQ(withIdentity.statement,
              " insert into TEMPMenu (Name,Price1)  values (:Name,:Price1) ");
    EXPECT_EQ(withIdentity.skippedColumn, 2);
}

TEST(Staging, ServerTextsAsWrittenWithoutSysproperties) {
    const db::SqlServerDialect server;
    const auto noRows = [](const std::string&) {
        ADD_FAILURE() << "the server needs no catalogue reads";
        return std::vector<std::vector<std::string>>{};
    };
    EXPECT_EQ(stagingTableStatements(server, datasets::kHallTableDataset, noRows),
              std::vector<std::string>{
                  " select Hall.Name as HallName,tables.Code as TableID,tables.Name as TableName "
                  "    into TEMPHallTable from tables,hall where tables.Hallid=hall.id "});
    EXPECT_EQ(stagingTableStatements(server, datasets::kMenuDataset, noRows).size(), 2u);
    EXPECT_EQ(server.tableColumnsLine("TEMPMenu"),
              "Select name from syscolumns Where ID=OBJECT_ID('TEMPMenu') ");
    const std::vector<std::string> identity = server.identityColumnLines("TEMPMenu");
    for (const std::string& line : identity) {
        EXPECT_EQ(line.find("sysproperties"), std::string::npos) << line;
    }
    EXPECT_EQ(identity.back(), " where d.name=N'TEMPMenu'");
    EXPECT_EQ(server.savepointLine("r"), "");  // a transaction per row there
}

// A field map that gives one heading twice, or two headings one column,
// would make every row fail as "empty values or wrong types": the heading is
// found so that the import can name it.
TEST(Staging, RepeatedHeadingIsFound) {
    const auto menuMapWith = [](std::size_t entry, const char* field, const char* name) {
        datasets::FieldMap map = datasets::defaultFieldMap("Menu");
        map.entries[entry].showField = field;
        map.entries[entry].showName = name;
        return map;
    };
    std::vector<std::string> twice = kMenuHeadings;
    twice[2] = "菜品名称";
    std::vector<std::string> withBlanks = kMenuHeadings;
    withBlanks[15] = withBlanks[16] = "";
    struct Case {
        const char* name;
        std::vector<std::string> headings;
        datasets::FieldMap map;
        std::string repeated;
    };
    const Case cases[] = {
        {"default map", kMenuHeadings, datasets::defaultFieldMap("Menu"), ""},
        {"show name given twice", kMenuHeadings, menuMapWith(2, "FirstLetter", "菜品名称"),
         "菜品名称"},
        {"show name twice, worksheet has it once",
         std::vector<std::string>(kMenuHeadings.begin(), kMenuHeadings.begin() + 2),
         menuMapWith(2, "FirstLetter", "菜品名称"), "菜品名称"},
        {"heading twice in the worksheet", twice, datasets::defaultFieldMap("Menu"), "菜品名称"},
        {"two headings for one column", kMenuHeadings, menuMapWith(2, "name", "首字母"), "首字母"},
        {"blank headings", withBlanks, datasets::defaultFieldMap("Menu"), ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(repeatedHeading(c.headings, c.map), c.repeated) << c.name;
    }
}

TEST(Staging, ProgressAndFailureTexts) {
    EXPECT_EQ(importProgress(3, 3, 0), 33);
    EXPECT_EQ(importProgress(5, 3, 100), 200);
    EXPECT_EQ(validationFailureText({}), "");
}

}  // namespace
}  // namespace pos::transfer

// The merge a batch of rows at a time against the merge a row at a time: each
// workbook is imported into two copies of the demo database, one merging two
// rows per batch (so that a few rows make a first, a middle and a last batch)
// and one a row at a time; sqlite3 dumps both databases alike and the two
// imports end with the same message.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "datasets/Datasets.h"
#include "datasets/FieldMap.h"
#include "support/Process.h"
#include "support/RecordingView.h"
#include "support/StoreFixture.h"
#include "support/TempDir.h"
#include "support/TransferOptions.h"
#include "support/Workbooks.h"
#include "transfer/ImThread.h"

namespace pos::transfer {
namespace {

using testing::StoreFixture;
using Grid = std::vector<std::vector<std::string>>;

std::vector<std::string> dish(const std::string& id, const std::string& name,
                              const std::string& category, const std::string& statistics,
                              const std::string& unit, const std::string& price1 = "18",
                              const std::string& vprice1 = "16", const std::string& price2 = "") {
    return {id, name,   "X", category, statistics, unit, price1, "6", vprice1,
            "", price2, "",  "",       "",         "",   "",     ""};
}

struct BatchCase {
    const char* what;
    const datasets::Dataset& dataset;
    Grid records;
    bool updateExisting;
    // Run on the database first: a trigger that refuses some rows, or a
    // reference row taken away.
    const char* setup;
    // A row of the dump that the import must have written, if any.
    const char* arrives = "";
};

// A trigger that refuses one new dish and one update, as a constraint of the
// user's database would.
constexpr const char* kRefusingTriggers =
    "CREATE TRIGGER refuse_insert BEFORE INSERT ON menu WHEN NEW.Name = '拒收菜' "
    "BEGIN SELECT RAISE(ABORT, 'no such dish here'); END;"
    "CREATE TRIGGER refuse_update BEFORE UPDATE ON menu WHEN NEW.Price1 = 77 "
    "BEGIN SELECT RAISE(ABORT, 'no such price here'); END;"
    // and takes a new statistics category away as soon as it is stored
    "CREATE TRIGGER take_away AFTER INSERT ON STCA WHEN NEW.SCNA = '无统计' "
    "BEGIN DELETE FROM STCA WHERE SCID = NEW.SCID; END;";

const BatchCase kCases[] = {
    {"new dishes with new names and names differing in trailing blanks, case or width",
     datasets::kMenuDataset,
     {dish("9001", "新菜一", "新类别", "新统计", "新单位"),
      dish("9002", "新菜二", "新类别 ", "菜品 ", "KG"),
      dish("9003", "新菜三", "凉菜 ", "新统计", "kg "),
      dish("9004", "新菜四", "Soup", "Stat", "份"),
      dish("9005", "新菜五", "soup  ", "STAT ", "Kg", "0", "0", "12"),
      // Negative prices, which the rules keep only as the first price.
      dish("9006", "新菜六", "热菜", "海鲜", "", "-3", "-1", "-2"),
      // Full-width twins, which the store tells apart and a server may not.
      dish("9008", "新菜八", "ＳＯＵＰ", "新统计　", "ＫＧ"),
      // Names that look like parameters, quotes and comments in a statement.
      dish("9007", "汤:ID_0 -- 'x'?", "类别:Name_0 /*", "统计 @a $b", "单位\"")},
     false,
     "",
     ",'类别:Name_0 /*',0,1,1,0,0,1,1,0,0,0);"},
    {"new dishes only, one refused in a middle batch, one without its statistics category",
     datasets::kMenuDataset,
     {dish("9001", "新菜一", "新类别", "菜品", "份"),
      dish("9002", "新菜二", "凉菜", "无统计", "份"), dish("9003", "拒收菜", "凉菜", "菜品", "份"),
      dish("9004", "新菜四", "新类别", "无统计", "份", "0", "0", "9"),
      dish("9005", "新菜五", "新类别", "菜品", "份")},
     false,
     kRefusingTriggers,
     "INSERT INTO menu VALUES(9004,'新菜四','X',9,NULL,'份',0,6,9,"},
    {"new dishes whose second price the database declares as text",
     datasets::kMenuDataset,
     {dish("9001", "新菜一", "凉菜", "菜品", "份", "18", "16", "12"),
      dish("9002", "新菜二", "凉菜", "菜品", "份", "18", "0", "-2"),
      dish("9003", "新菜三", "凉菜", "菜品", "份", "18", "0", "0"),
      dish("9004", "新菜四", "凉菜", "菜品", "份")},
     false,
     "ALTER TABLE menu RENAME COLUMN Price2 TO OldPrice2;"
     "ALTER TABLE menu ADD COLUMN Price2 NVARCHAR(20);",
     "INSERT INTO menu VALUES(9002,"},
    {"stored dishes left alone, counted when they differ",
     datasets::kMenuDataset,
     {dish("1001", "拍黄瓜", "凉菜", "菜品", "份", "12", "11"),
      dish("1002", "凉拌木耳", "凉菜", "菜品", "份", "17"),
      dish("9010", "新菜", "新类别", "菜品", "份"),
      dish("1003", "夫妻肺片", "Soup", "菜品", "份", "32", "29")},
     false,
     ""},
    {"stored dishes updated, names and member prices by the rules",
     datasets::kMenuDataset,
     {dish("1001", "拍黄瓜", "凉菜", "菜品", "份", "12", "11"),
      dish("1002", "凉拌木耳", "热菜 ", "菜品", "份", "17"),
      dish("9010", "新菜", "新类别", "菜品", "份"),
      dish("1003", "夫妻肺片", "Soup", "Stat", "KG", "32", "0", "40"),
      dish("1004", "口水鸡", "soup ", "stat", "份", "0", "0", "0"),
      dish("9011", "新菜二", "凉菜", "菜品", "份")},
     true,
     ""},
    {"a refused new dish and a refused update in a middle batch",
     datasets::kMenuDataset,
     {dish("9001", "新菜一", "新类别", "菜品", "份"), dish("9002", "新菜二", "凉菜", "菜品", "份"),
      dish("9003", "拒收菜", "凉菜", "菜品", "份"),
      dish("1001", "拍黄瓜", "凉菜", "菜品", "份", "77"),
      dish("1002", "凉拌木耳", "凉菜", "菜品", "份", "19"),
      dish("9004", "新菜四", "新类别", "菜品", "份")},
     true,
     kRefusingTriggers},
    {"halls differing in trailing blanks or case, table numbers the server compares",
     datasets::kHallTableDataset,
     {{"新厅", "9101", "新一"},
      {"新厅 ", "9102", "新二"},
      {"大厅 ", "9103", "新三"},
      {"VIP", "9104", "新四"},
      {"vip ", "9105", "新五"},
      {"大厅", "101", "A01"},
      {"露台", "0102", "A02改"},
      {"包间", "0", "零号"}},
     true,
     ""},
    {"annotation types, the general one numbered 0",
     datasets::kMenuAnnotateDataset,
     {{"新注释类", "少冰"},
      {"新注释类 ", "多冰"},
      {"总注 ", "新总注"},
      {"口味", "微麻"},
      {"口味", "微辣"},
      {"Ice", "more"}},
     false,
     "DELETE FROM Annotate WHERE AnnotateTypeID = 0; DELETE FROM AnnotateType WHERE ID = 0;"},
};

struct Imported {
    std::string message;
    std::string dump;
};

Imported importWith(const BatchCase& c, const std::string& path, const std::string& dir,
                    int batchRows) {
    StoreFixture store(true, "pos_demo");
    if (*c.setup != '\0') {
        store.exec(c.setup);
    }
    TransferOptions options = testing::transferOptions(c.dataset, store.database(), path, dir);
    options.stationNumber = 3;
    options.importChoices.updateExisting = c.updateExisting;
    options.mergeBatchRows = batchRows;
    testing::RecordingView view;
    MyImThread worker(store.queries(), options, view);
    worker.run();
    const testing::ProgramRun dump =
        testing::runProgram({"sqlite3", store.databasePath(), ".dump"});
    EXPECT_EQ(dump.exitCode, 0) << dump.err;
    return {worker.result().message, dump.out};
}

// The lines of one dump that the other lacks, each marked with the dump
// it stands in.
std::vector<std::string> differingLines(const std::string& batched, const std::string& alone) {
    const auto lines = [](const std::string& text) {
        std::multiset<std::string> set;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            set.insert(line);
        }
        return set;
    };
    const std::multiset<std::string> a = lines(batched);
    const std::multiset<std::string> b = lines(alone);
    std::vector<std::string> differing;
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(differing));
    for (std::string& line : differing) {
        line = "batched: " + line;
    }
    std::vector<std::string> onlyAlone;
    std::set_difference(b.begin(), b.end(), a.begin(), a.end(), std::back_inserter(onlyAlone));
    for (const std::string& line : onlyAlone) {
        differing.push_back("a row at a time: " + line);
    }
    if (differing.empty() && batched != alone) {
        differing.emplace_back("the same lines in another order");
    }
    return differing;
}

TEST(MergeBatches, SameDatabaseAndMessageAsARowAtATime) {
    testing::TempDir dir("pos-merge-batch");
    datasets::writeDefaultFieldMaps(dir.dir());
    for (const BatchCase& c : kCases) {
        Grid grid{{}};
        for (const datasets::DatasetColumn& column : c.dataset.columns) {
            grid.front().emplace_back(column.heading);
        }
        grid.insert(grid.end(), c.records.begin(), c.records.end());
        const std::string path = dir.dir() + c.dataset.key + ".xls";
        testing::writeWorkbook(path, grid);

        const Imported alone = importWith(c, path, dir.dir(), 1);
        const Imported batched = importWith(c, path, dir.dir(), 2);
        EXPECT_EQ(batched.message, alone.message) << c.what;
        EXPECT_EQ(differingLines(batched.dump, alone.dump), std::vector<std::string>{}) << c.what;
        // The case does what it says: the import ends, and its rows arrive.
        EXPECT_NE(alone.message.find("数据导入"), std::string::npos) << c.what << alone.message;
        EXPECT_GT(alone.dump.size(), 1000u) << c.what;
        EXPECT_NE(batched.dump.find(c.arrives), std::string::npos) << c.what;
    }
}

}  // namespace
}  // namespace pos::transfer

// The merge of staged rows into the point-of-sale tables of a real store
// database: new reference rows and their numbers, the dish rules, the fixed
// columns, rows that already exist, refusals, stops and the gauge.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/RecordingView.h"
#include "support/StoreFixture.h"
#include "support/TransferOptions.h"
#include "transfer/Merge.h"

namespace pos::transfer {
namespace {

using testing::RecordingView;
using testing::StoreFixture;
using Rows = std::vector<std::vector<std::string>>;

// A staged dish; every field is an SQL literal.
struct StagedDish {
    std::string id = "2001";
    std::string name = "'测试菜'";
    std::string category = "'热菜'";
    std::string scna = "'菜品'";
    std::string unit1 = "'份'";
    std::string price1 = "10";
    std::string cost1 = "NULL";
    std::string vprice1 = "NULL";
    std::string unit2 = "NULL";
    std::string price2 = "NULL";
    std::string cost2 = "NULL";
    std::string vprice2 = "NULL";
    std::string unit3 = "NULL";
    std::string price3 = "NULL";
    std::string cost3 = "NULL";
    std::string vprice3 = "NULL";
};

void stage(StoreFixture& fx, const StagedDish& d) {
    fx.exec("INSERT INTO TEMPMenu VALUES (" + d.id + "," + d.name + ",'CS'," + d.category + "," +
            d.scna + "," + d.unit1 + "," + d.price1 + "," + d.cost1 + "," + d.vprice1 + "," +
            d.unit2 + "," + d.price2 + "," + d.cost2 + "," + d.vprice2 + "," + d.unit3 + "," +
            d.price3 + "," + d.cost3 + "," + d.vprice3 + ")");
}

struct MergeRun {
    MergeReport report;
    RecordingView view;
    int progressBase = 200;
};

// With `updating`, the worksheet's columns, stored rows are updated.
MergeRun merge(StoreFixture& fx, const std::string& key, std::int32_t station = 1,
               const std::vector<ImportedColumn>* updating = nullptr) {
    MergeRun run;
    TransferOptions options = testing::transferOptions(key, fx.database());
    options.stationNumber = station;
    options.importChoices.updateExisting = updating != nullptr;
    TransferSession session = fx.queries();
    TransferQueries queries = session.queries();
    const std::vector<ImportedColumn> none;
    run.report = mergeStagedRows(queries, options, run.progressBase, run.view,
                                 updating != nullptr ? *updating : none);
    return run;
}

// The message of a merge that stops, with what it had inserted by then.
MergeStopped mergeExpectingStop(StoreFixture& fx, const std::string& key) {
    try {
        merge(fx, key);
    } catch (const MergeStopped& stopped) {
        return stopped;
    }
    ADD_FAILURE() << "the merge of " << key << " did not stop";
    return MergeStopped("", {});
}

TEST(TransferMerge, NewCategoriesAreNumberedInTheDistinctOrderFromOne) {
    StoreFixture fx;
    fx.createStagingTables();
    stage(fx, {.id = "1", .category = "'热菜'", .scna = "'菜品'"});
    stage(fx, {.id = "2", .category = "'凉菜'", .scna = "'酒水'"});
    stage(fx, {.id = "3", .category = "'热菜'", .scna = "'菜品'"});

    MergeRun run = merge(fx, "Menu");

    Rows order = fx.rows(" select distinct(CategoryName) from TEMPMenu   ");
    ASSERT_EQ(order.size(), 2u);
    EXPECT_EQ(fx.rows("SELECT ID, Name FROM Category ORDER BY ID"),
              (Rows{{"1", order[0][0]}, {"2", order[1][0]}}));
    EXPECT_EQ(fx.rows("SELECT SCID, SCSN, SCNA, TJLBType FROM STCA ORDER BY SCID"),
              (Rows{{"1", "1", "菜品", "0"}, {"2", "2", "酒水", "0"}}));
    EXPECT_EQ(fx.rows("SELECT m.ID FROM menu m JOIN Category c ON c.ID = m.CategoryID "
                      "JOIN STCA s ON s.SCSN = m.SCSN "
                      "WHERE c.Name = (SELECT CategoryName FROM TEMPMenu t WHERE t.ID = m.ID) "
                      "AND s.SCNA = (SELECT SCNA FROM TEMPMenu t WHERE t.ID = m.ID) ORDER BY m.ID"),
              (Rows{{"1"}, {"2"}, {"3"}}));
    EXPECT_EQ(run.report.inserted, 3);
    EXPECT_EQ(fx.rows("SELECT IsModify, CanDiscount, IsPreOut, IsGiveLQ, ODPTypeID, isPrice, "
                      "CanUseCard, NonCalOrderfee, NonCalIntegral, MaxCharge FROM Category "
                      "GROUP BY 1,2,3,4,5,6,7,8,9,10"),
              (Rows{{"0", "1", "1", "0", "0", "1", "1", "0", "0", "0"}}));
}

TEST(TransferMerge, NamesAreLookedUpAndStoredExactlyAsStaged) {
    struct Case {
        const char* what;
        std::string literal;     // staged CategoryName
        const char* categoryId;  // the dish's CategoryID
        const char* storedName;  // the Category row of that ID, "" for none
    };
    const Case cases[] = {
        {"existing name takes its ID", "'热菜'", "5", "热菜"},
        {"single quote", "'O''Brien'", "6", "O'Brien"},
        {"leading spaces kept", "'  凉菜'", "7", "  凉菜"},
        {"blank name creates nothing", "'   '", "NULL", ""},
        {"NULL name creates nothing", "NULL", "NULL", ""},
    };
    StoreFixture fx;
    fx.createStagingTables();
    fx.exec("INSERT INTO Category (ID, Name) VALUES (5, '热菜')");
    int id = 1;
    for (const Case& c : cases) {
        stage(fx, {.id = std::to_string(id++), .category = c.literal});
    }

    merge(fx, "Menu");

    EXPECT_EQ(fx.count("Category"), 3);
    id = 1;
    for (const Case& c : cases) {
        std::string dish = std::to_string(id++);
        EXPECT_EQ(fx.scalar("SELECT CategoryID FROM menu WHERE ID = " + dish), c.categoryId)
            << c.what;
        EXPECT_EQ(fx.scalar("SELECT Name FROM Category WHERE ID = (SELECT CategoryID FROM menu "
                            "WHERE ID = " +
                            dish + ")"),
                  c.storedName)
            << c.what;
    }
}

TEST(TransferMerge, ReferenceNumbersFollowTheLargestStoredOne) {
    StoreFixture fx;
    fx.createStagingTables();
    fx.exec("INSERT INTO STCA (SCID, SCSN, SCNA) VALUES (3, 7, '已有')");
    fx.exec("INSERT INTO Unit (ID, Name) VALUES (4, '斤')");
    stage(fx, {.id = "1", .scna = "'新类'", .unit1 = "'份'", .unit2 = "'份'", .unit3 = "'斤'"});
    stage(fx, {.id = "2", .scna = "'已有'", .unit1 = "'份'", .unit2 = "'  '", .unit3 = "'碗'"});

    merge(fx, "Menu");

    EXPECT_EQ(fx.rows("SELECT SCID, SCSN, SCNA FROM STCA ORDER BY SCID"),
              (Rows{{"3", "7", "已有"}, {"8", "8", "新类"}}));
    EXPECT_EQ(fx.rows("SELECT ID, Name FROM Unit ORDER BY ID"),
              (Rows{{"4", "斤"}, {"5", "份"}, {"6", "碗"}}));
    EXPECT_EQ(fx.rows("SELECT ID, SCSN, Unit1, Unit2, Unit3 FROM menu ORDER BY ID"),
              (Rows{{"1", "8", "份", "份", "斤"}, {"2", "7", "份", "  ", "碗"}}));
}

TEST(TransferMerge, DishPricesFollowTheDishRules) {
    struct Case {
        const char* what;
        StagedDish dish;
        Rows expected;  // Price1, Cost1, VPrice1, Price2, Cost2, VPrice2, Price3, Cost3, VPrice3
    };
    const Case cases[] = {
        {"negative Price1 stays, negative Price2 becomes 0",
         {.price1 = "-5", .price2 = "-5"},
         {{"-5", "0", "-5", "0", "0", "0", "0", "0", "0"}}},
        {"NULL cost becomes 0, positive values stay",
         {.price1 = "12.5", .cost1 = "NULL", .vprice1 = "11", .cost2 = "3"},
         {{"12.5", "0", "11", "0", "3", "0", "0", "0", "0"}}},
        {"member price falls back to the first non-zero price",
         {.price1 = "0",
          .vprice1 = "0",
          .price2 = "12",
          .vprice2 = "0",
          .price3 = "15",
          .vprice3 = "0"},
         {{"0", "0", "12", "12", "0", "0", "15", "0", "0"}}},
        {"without member prices the member price is Price1, not Price2",
         {.price1 = "10", .vprice1 = "0", .price2 = "20", .price3 = "30"},
         {{"10", "0", "10", "20", "0", "0", "30", "0", "0"}}},
        {"another member price keeps VPrice1 at 0",
         {.price1 = "20", .vprice1 = "0", .price2 = "30", .vprice2 = "3"},
         {{"20", "0", "0", "30", "0", "3", "0", "0", "0"}}},
        {"NULL Price1 and nothing else gives 0 everywhere",
         {.price1 = "NULL"},
         {{"0", "0", "0", "0", "0", "0", "0", "0", "0"}}},
        {"negative member price counts as 0 for the fallback",
         {.price1 = "8", .vprice1 = "-2", .vprice3 = "-1"},
         {{"8", "0", "8", "0", "0", "0", "0", "0", "0"}}},
    };
    for (const Case& c : cases) {
        StoreFixture fx;
        fx.createStagingTables();
        stage(fx, c.dish);
        merge(fx, "Menu");
        EXPECT_EQ(fx.rows("SELECT Price1, Cost1, VPrice1, Price2, Cost2, VPrice2, Price3, Cost3, "
                          "VPrice3 FROM menu"),
                  c.expected)
            << c.what;
    }
}

TEST(TransferMerge, DishRowsTakeTheirIdStationAndFixedColumns) {
    StoreFixture fx;
    fx.createStagingTables();
    stage(fx, {.id = "12.5"});
    stage(fx, {.id = "13.5"});
    stage(fx, {.id = "'27'"});

    MergeRun run = merge(fx, "Menu", 7);

    EXPECT_EQ(run.report.inserted, 3);
    EXPECT_EQ(
        fx.rows("SELECT ID, CanModifyAmount, Discount, IsDisCount, Status, StationID, "
                "Quantity, isSpecial, EProfit1, EProfit2, EProfit3, NotDishTj, isFee, flag, "
                "isRate FROM menu ORDER BY ID"),
        (Rows{{"12", "0", "1", "1", "1", "7", "-1", "0", "0", "0", "0", "0", "1", "0", "1"},
              {"14", "0", "1", "1", "1", "7", "-1", "0", "0", "0", "0", "0", "1", "0", "1"},
              {"27", "0", "1", "1", "1", "7", "-1", "0", "0", "0", "0", "0", "1", "0", "1"}}));
}

TEST(TransferMerge, HallsAndTablesWithTheTableNumberAsIdAndCode) {
    StoreFixture fx;
    fx.createStagingTables();
    fx.exec(
        "INSERT INTO TEMPHallTable VALUES ('大厅', '12', 'A12'), ('包间', '201', '牡丹厅'), "
        "('大厅', '13', 'A13')");

    MergeRun run = merge(fx, "HallTable");

    Rows halls = fx.rows(" select distinct(HallName) from TEMPHallTable   ");
    ASSERT_EQ(halls.size(), 2u);
    EXPECT_EQ(fx.rows("SELECT ID, Name, PrintId FROM Hall ORDER BY ID"),
              (Rows{{"1", halls[0][0], "0"}, {"2", halls[1][0], "0"}}));
    EXPECT_EQ(fx.rows("SELECT t.ID, t.Code, t.Name, h.Name, Status, TATYP, IsUse, IsPrn, minType, "
                      "minCharge, popNum, isServer, Oldcapacity, Unite, isUnite, isReserve, OKTime "
                      "FROM tables t JOIN Hall h ON h.ID = t.Hallid ORDER BY t.ID"),
              (Rows{{"12", "12", "A12", "大厅", "A", "1", "0", "0", "0", "0", "0", "1", "0", "0",
                     "0", "0", "0"},
                    {"13", "13", "A13", "大厅", "A", "1", "0", "0", "0", "0", "0", "1", "0", "0",
                     "0", "0", "0"},
                    {"201", "201", "牡丹厅", "包间", "A", "1", "0", "0", "0", "0", "0", "1", "0",
                     "0", "0", "0", "0"}}));
    EXPECT_EQ(run.report.inserted, 3);
    // Two halls: the hall pass moves the gauge in halves of 50, to 250; the
    // table pass goes on in thirds of 50 and ends the gauge at 300.
    EXPECT_EQ(run.view.progress(), (std::vector<int>{225, 250, 266, 283, 300}));
    EXPECT_EQ(run.progressBase, 300);
}

TEST(TransferMerge, AnnotationTypesAndNumbersWithinTheType) {
    StoreFixture fx;
    fx.createStagingTables();
    fx.exec("INSERT INTO AnnotateType (ID, Name) VALUES (1, '口味'), (2, '忌口')");
    fx.exec(
        "INSERT INTO Annotate (ID, Name, AnnotateTypeID) VALUES (1, '少辣', 1), (2, '微辣', 1), "
        "(3, '中辣', 1), (4, '特辣', 1), (5, '少盐', 1), (1, '打包', 2)");
    fx.exec(
        "CREATE TRIGGER refuse_annotation BEFORE INSERT ON Annotate WHEN NEW.Name = '坏注释' "
        "BEGIN SELECT RAISE(ABORT, 'annotation refused'); END");
    fx.exec(
        "INSERT INTO TEMPMenuAnnotate VALUES ('口味', '少辣'), ('新类', '打包'), "
        "('口味', '坏注释'), ('口味', '多麻'), ('总注', '加急'), ('口味', '少糖'), "
        "('新类', '打包')");

    MergeRun run = merge(fx, "MenuAnnotate");

    EXPECT_EQ(fx.rows("SELECT ID, Name FROM AnnotateType ORDER BY ID"),
              (Rows{{"0", "总注"}, {"1", "口味"}, {"2", "忌口"}, {"3", "新类"}}));
    EXPECT_EQ(fx.rows("SELECT AnnotateTypeID, ID, Name, atype, aValue, PrintID FROM Annotate "
                      "WHERE NOT (AnnotateTypeID = 1 AND ID <= 5) AND AnnotateTypeID <> 2 "
                      "ORDER BY AnnotateTypeID, ID"),
              (Rows{{"0", "1", "加急", "0", "0", "0"},
                    {"1", "6", "多麻", "0", "0", "0"},
                    {"1", "7", "少糖", "0", "0", "0"},
                    {"3", "1", "打包", "0", "0", "0"}}));
    EXPECT_EQ(run.report.inserted, 4);
    EXPECT_EQ(run.report.alreadyExisting, 2);  // 少辣 stored before, 打包 staged twice
    ASSERT_EQ(run.report.refused.size(), 1u);
    EXPECT_EQ(run.report.refused[0].keyName, "注释");
    EXPECT_EQ(run.report.refused[0].key, "坏注释");
    EXPECT_NE(run.report.refused[0].reason.find("annotation refused"), std::string::npos);
}

TEST(TransferMerge, ReMergingTheCurrentRowsCreatesNothing) {
    struct Case {
        const char* key;
        const char* stagingTable;
        std::vector<const char*> tables;
    };
    const Case cases[] = {
        {"Menu", "TEMPMenu", {"Category", "STCA", "Unit", "menu"}},
        {"HallTable", "TEMPHallTable", {"Hall", "tables"}},
        {"MenuAnnotate", "TEMPMenuAnnotate", {"AnnotateType", "Annotate"}},
    };
    for (const Case& c : cases) {
        StoreFixture fx(true);
        fx.createStagingTables();
        fx.stageCurrentRows();
        std::map<std::string, int> before;
        for (const char* table : c.tables) {
            before[table] = fx.count(table);
        }
        int staged = fx.count(c.stagingTable);
        ASSERT_GT(staged, 0) << c.key;

        MergeRun run = merge(fx, c.key);

        for (const char* table : c.tables) {
            EXPECT_EQ(fx.count(table), before[table]) << c.key << " " << table;
        }
        EXPECT_EQ(run.report.inserted, 0) << c.key;
        EXPECT_EQ(run.report.alreadyExisting, staged) << c.key;
        EXPECT_TRUE(run.report.refused.empty()) << c.key;
        EXPECT_EQ(formatMergeSummary(run.report),
                  "已导入0行；" + std::to_string(staged) + "行已存在，未重复导入。")
            << c.key;
    }
}

// A stored row staged again with updates: only the cells that differ from
// what an export shows are written, by the rules of a new row; the station
// number and the columns the worksheet lacks stay.
TEST(TransferMerge, StoredRowsAreUpdatedCellByCellByTheNewRowRules) {
    // Dish 1001 of the demo data as its export shows it; the staged first
    // letter differs, but the worksheet has no such column.
    const StagedDish shown{.id = "1001",
                           .name = "'拍黄瓜'",
                           .category = "'凉菜'",
                           .price1 = "12",
                           .cost1 = "4.8",
                           .vprice1 = "11",
                           .price2 = "0",
                           .cost2 = "0",
                           .vprice2 = "0",
                           .price3 = "0",
                           .cost3 = "0",
                           .vprice3 = "0"};
    std::vector<ImportedColumn> everyColumn{
        {"ID", "菜品编码"},    {"Name", "菜品名称"},   {"CategoryName", "菜品类别"},
        {"SCNA", "统计类别"},  {"Unit1", "单位1"},     {"Price1", "价格1"},
        {"Cost1", "成本1"},    {"VPrice1", "会员价1"}, {"Unit2", "单位2"},
        {"Price2", "价格2"},   {"Cost2", "成本2"},     {"VPrice2", "会员价2"},
        {"Unit3", "单位3"},    {"Price3", "价格3"},    {"Cost3", "成本3"},
        {"VPrice3", "会员价3"}};
    const std::vector<ImportedColumn> keyAndPrice{{"ID", "菜品编码"}, {"Price1", "价格1"}};
    struct Case {
        const char* what;
        StagedDish staged;
        const std::vector<ImportedColumn>* columns;
        const char* changes;  // formatCellChanges
        Rows stored;          // name, first letter, category, unit 1, price 1, member price 1
    };
    auto with = [&](auto change) {
        StagedDish d = shown;
        change(d);
        return d;
    };
    const Case cases[] = {
        {"the export as it is; a category name with trailing blanks",
         with([](StagedDish& d) { d.category = "'凉菜  '"; }),
         &everyColumn,
         "",
         {{"拍黄瓜", "PHG", "凉菜", "份", "12", "11", "1"}}},
        {"member price cleared while no member price is left: the first price",
         with([](StagedDish& d) { d.vprice1 = "NULL"; }),
         &everyColumn,
         "ID 1001 会员价1: 11 → 12",
         {{"拍黄瓜", "PHG", "凉菜", "份", "12", "12", "1"}}},
        {"member price cleared beside a second price: the first price, not the second",
         with([](StagedDish& d) {
             d.vprice1 = "NULL";
             d.price2 = "20";
         }),
         &everyColumn,
         "ID 1001 会员价1: 11 → 12\nID 1001 价格2: 0 → 20",
         {{"拍黄瓜", "PHG", "凉菜", "份", "12", "12", "1"}}},
        {"a new category is created; a new unit written as it stands",
         with([](StagedDish& d) {
             d.category = "'时令菜'";
             d.unit1 = "'碗'";
         }),
         &everyColumn,
         "ID 1001 菜品类别: 凉菜 → 时令菜\nID 1001 单位1: 份 → 碗",
         {{"拍黄瓜", "PHG", "时令菜", "碗", "12", "11", "1"}}},
        {"columns the worksheet lacks stay",
         with([](StagedDish& d) {
             d.name = "'别名'";
             d.price1 = "15";
         }),
         &keyAndPrice,
         "ID 1001 价格1: 12 → 15",
         {{"拍黄瓜", "PHG", "凉菜", "份", "15", "11", "1"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        StoreFixture fx(true);
        fx.createStagingTables();
        stage(fx, c.staged);
        MergeRun run = merge(fx, "Menu", 9, c.columns);
        EXPECT_EQ(formatCellChanges(run.report), c.changes);
        EXPECT_EQ(run.report.updated + run.report.unchanged, 1);
        EXPECT_EQ(fx.rows("select m.Name, m.FirstLetter, c.Name, m.Unit1, m.Price1, m.VPrice1, "
                          "m.StationID from menu m left join Category c on c.ID = m.CategoryID "
                          "where m.ID = 1001"),
                  c.stored);
    }

    // A dining table moves to a new hall; its number is not written.
    StoreFixture fx(true);
    fx.createStagingTables();
    fx.exec("INSERT INTO TEMPHallTable VALUES ('新厅', '101', 'A01')");
    const std::vector<ImportedColumn> tableColumns{
        {"HallName", "厅名"}, {"TableID", "桌号"}, {"TableName", "桌名"}};
    MergeRun run = merge(fx, "HallTable", 1, &tableColumns);
    EXPECT_EQ(formatCellChanges(run.report), "ID 101 厅名: 大厅 → 新厅");
    EXPECT_EQ(fx.rows("select t.Code, t.Name, h.Name from tables t join Hall h on h.ID = t.Hallid "
                      "where t.ID = 101"),
              (Rows{{"101", "A01", "新厅"}}));
}

TEST(TransferMerge, RefusedDishesAreReportedWithKeyAndReason) {
    StoreFixture fx;
    fx.createStagingTables();
    stage(fx, {.id = "1"});
    stage(fx, {.id = "2", .name = "NULL"});
    stage(fx, {.id = "3"});
    fx.exec("INSERT INTO menu (ID, Name) VALUES (3, '旧菜')");

    MergeRun run = merge(fx, "Menu");

    EXPECT_EQ(run.report.inserted, 1);
    EXPECT_EQ(run.report.alreadyExisting, 1);
    ASSERT_EQ(run.report.refused.size(), 1u);
    EXPECT_EQ(run.report.refused[0].key, "2");
    EXPECT_NE(run.report.refused[0].reason.find("menu.Name"), std::string::npos);
    EXPECT_EQ(fx.scalar("SELECT Name FROM menu WHERE ID = 3"), "旧菜");
    EXPECT_EQ(formatMergeSummary(run.report),
              "已导入1行；1行已存在，未重复导入；1行未能导入，请检查后手动添加：\n菜品编码“2”：" +
                  run.report.refused[0].reason);
}

TEST(TransferMerge, RefusedTableNumberIsReportedAndThePassGoesOn) {
    StoreFixture fx;
    fx.createStagingTables();
    fx.exec("INSERT INTO TEMPHallTable VALUES ('大厅', 'A01', '甲'), ('大厅', '2', '乙')");

    MergeRun run = merge(fx, "HallTable");

    EXPECT_EQ(fx.rows("SELECT ID, Code FROM tables"), (Rows{{"2", "2"}}));
    EXPECT_EQ(run.report.inserted, 1);
    ASSERT_EQ(run.report.refused.size(), 1u);
    EXPECT_EQ(run.report.refused[0].keyName, "桌号");
    EXPECT_EQ(run.report.refused[0].key, "A01");
    EXPECT_FALSE(run.report.refused[0].reason.empty());
}

TEST(TransferMerge, StopsWithWhereAndWhyAndKeepsTheRowsBefore) {
    struct Case {
        const char* what;
        const char* key;
        std::vector<std::string> setup;
        std::vector<std::string> messageParts;
        const char* table;  // the rows written before the stop
        int rowsKept;
    };
    const Case cases[] = {
        {"dish ID not a number",
         "Menu",
         {"INSERT INTO TEMPMenu (ID, Name, CategoryName, SCNA, Unit1) VALUES "
          "(1, '甲', '热菜', '菜品', '份'), ('abc', '乙', '热菜', '菜品', '份')"},
         {"菜品信息", "“菜品”", "菜品编码“abc”（菜品“乙”）", "菜品编码不是数字",
          "在此之前的数据已写入数据库"},
         "menu",
         1},
        {"price not a number in the middle of a batch",
         "Menu",
         {"INSERT INTO TEMPMenu (ID, Name, CategoryName, Unit1, Price2) VALUES "
          "(1, '甲', '热菜', '份', 5), (2, '乙', '热菜', '份', 'x'), (3, '丙', '热菜', '份', 6)"},
         {"菜品信息", "中止，菜品编码“2”（菜品“乙”）", "Price2的值“x”不是数字",
          "在此之前的数据已写入数据库"},
         "menu",
         1},
        {"dish ID NULL",
         "Menu",
         {"INSERT INTO TEMPMenu (ID, Name, CategoryName) VALUES (1, '甲', '热菜'), "
          "(NULL, '乙', '热菜')"},
         {"菜品信息", "中止，菜品“乙”：菜品编码为空"},
         "menu",
         1},
        {"refused unit",
         "Menu",
         {"CREATE TRIGGER refuse_unit BEFORE INSERT ON Unit WHEN NEW.Name = '坏' BEGIN "
          "SELECT RAISE(ABORT, 'unit refused'); END",
          "INSERT INTO TEMPMenu (ID, Name, Unit1, Unit2) VALUES (1, '甲', '份', '坏')"},
         {"菜品信息", "“单位”", "单位“坏”", "unit refused"},
         "Unit",
         1},
        {"annotation type not found",
         "MenuAnnotate",
         {"INSERT INTO TEMPMenuAnnotate VALUES ('口味', '少辣'), ('  ', '无类')"},
         {"菜品注释", "“注释”", "注释“无类”", "找不到注释类别“  ”"},
         "Annotate",
         1},
    };
    for (const Case& c : cases) {
        StoreFixture fx;
        fx.createStagingTables();
        for (const std::string& sql : c.setup) {
            fx.exec(sql);
        }
        MergeStopped stopped = mergeExpectingStop(fx, c.key);
        std::string message = stopped.what();
        for (const std::string& part : c.messageParts) {
            EXPECT_NE(message.find(part), std::string::npos) << c.what << ": " << message;
        }
        EXPECT_EQ(fx.count(c.table), c.rowsKept) << c.what;
    }
}

// On the store each pass writes in one transaction, with a savepoint around
// each dish insert. What a second connection sees afterwards must be what
// inserts committing one by one would have left: every row inserted before a
// refusal or a stop, none of the refused ones, and no lock left behind.
TEST(TransferMerge, RowsWrittenBeforeARefusalOrAStopAreCommittedAndVisibleElsewhere) {
    struct Case {
        const char* what;
        std::vector<std::string> setup;
        bool stops;
        Rows dishes;  // menu IDs a second connection sees afterwards
        Rows units;   // Unit names it sees
    };
    const std::string refuseUnit =
        "CREATE TRIGGER refuse_unit BEFORE INSERT ON Unit WHEN NEW.Name = '坏' BEGIN "
        "SELECT RAISE(ABORT, 'unit refused'); END";
    const Case cases[] = {
        {"a refused dish between others",
         {"INSERT INTO TEMPMenu (ID, Name, CategoryName, Unit1) VALUES (1, '甲', '热菜', '份'), "
          "(2, '乙', '热菜', '份'), (3, NULL, '热菜', '份'), (4, '丁', '热菜', '碗'), "
          "(5, '戊', '热菜', '份')"},
         false,
         {{"1"}, {"2"}, {"4"}, {"5"}},
         {{"份"}, {"碗"}}},
        {"a stop after a refused dish",
         {"INSERT INTO TEMPMenu (ID, Name, CategoryName, Unit1) VALUES (1, '甲', '热菜', '份'), "
          "(2, NULL, '热菜', '份'), (3, '丙', '热菜', '份'), ('abc', '丁', '热菜', '份'), "
          "(5, '戊', '热菜', '份')"},
         true,
         {{"1"}, {"3"}},
         {{"份"}}},
        {"a stop in a reference pass",
         {refuseUnit,
          "INSERT INTO TEMPMenu (ID, Name, CategoryName, Unit1, Unit2, Unit3) VALUES "
          "(1, '甲', '热菜', '份', '碗', NULL), (2, '乙', '热菜', '盘', '坏', '杯')"},
         true,
         {},
         {{"份"}, {"盘"}, {"碗"}}},
    };
    for (const Case& c : cases) {
        StoreFixture fx;
        fx.createStagingTables();
        for (const std::string& sql : c.setup) {
            fx.exec(sql);
        }
        if (c.stops) {
            mergeExpectingStop(fx, "Menu");
        } else {
            MergeRun run = merge(fx, "Menu");
            EXPECT_EQ(run.report.inserted, static_cast<int>(c.dishes.size())) << c.what;
            EXPECT_EQ(run.report.refused.size(), 1u) << c.what;
        }
        EXPECT_EQ(fx.rows("SELECT ID FROM menu ORDER BY ID"), c.dishes) << c.what;
        EXPECT_EQ(fx.rows("SELECT Name FROM Unit ORDER BY Name"), c.units) << c.what;
        EXPECT_EQ(fx.rows("SELECT Name FROM Category"), (Rows{{"热菜"}})) << c.what;
        // Nothing is left open: another connection writes at once, and the
        // program's own connection can start a transaction of its own.
        EXPECT_NO_THROW(fx.exec("INSERT INTO Hall (ID, Name) VALUES (99, '外场')")) << c.what;
        EXPECT_NO_THROW(fx.connection().beginTransaction()) << c.what;
        fx.connection().rollback();
    }
}

TEST(TransferMerge, GaugeMovesInQuartersOfTheMenuShare) {
    StoreFixture fx;
    fx.createStagingTables();
    const char* categories[] = {"'甲'", "'乙'", "'丙'", "'丁'"};
    int id = 1;
    for (const char* category : categories) {
        stage(fx, {.id = std::to_string(id++), .category = category});
    }

    MergeRun run = merge(fx, "Menu");

    // Four passes of four rows each: categories, statistics categories (one
    // distinct name), units, dishes.
    EXPECT_EQ(run.view.progress(),
              (std::vector<int>{206, 212, 218, 225, 250, 256, 262, 268, 275, 281, 287, 293, 300}));
    EXPECT_EQ(run.progressBase, 300);
}

TEST(TransferMerge, NothingStagedOrUnknownKeyWritesNothing) {
    // An unknown key no longer reaches the merge: the front ends refuse it.
    const char* keys[] = {"Menu", "HallTable", "MenuAnnotate"};
    for (const char* key : keys) {
        StoreFixture fx;
        fx.createStagingTables();
        MergeRun run = merge(fx, key);
        EXPECT_TRUE(run.view.progress().empty()) << key;
        EXPECT_EQ(run.progressBase, 200) << key;
        EXPECT_EQ(fx.count("Category") + fx.count("STCA") + fx.count("Unit") + fx.count("menu") +
                      fx.count("Hall") + fx.count("tables") + fx.count("AnnotateType") +
                      fx.count("Annotate"),
                  0)
            << key;
    }
}

TEST(TransferMerge, DatasetKeyIgnoresLetterCase) {
    StoreFixture fx;
    fx.createStagingTables();
    fx.exec("INSERT INTO TEMPHallTable VALUES ('大厅', '1', 'A1')");
    merge(fx, "halltable");
    EXPECT_EQ(fx.count("tables"), 1);
}

TEST(TransferMerge, QueryMaxIdOfEmptyFilteredAndFilledSources) {
    StoreFixture fx;
    fx.exec("INSERT INTO Annotate (ID, Name, AnnotateTypeID) VALUES (4, 'a', 1), (9, 'b', 2)");
    db::Query query(fx.connection());
    EXPECT_EQ(queryMaxId(query, fx.database(), "ID", "Hall"), 0);
    EXPECT_EQ(queryMaxId(query, fx.database(), "ID", "Annotate where AnnotateTypeID=1"), 4);
    EXPECT_EQ(queryMaxId(query, fx.database(), "ID", "Annotate where AnnotateTypeID=3"), 0);
    EXPECT_EQ(queryMaxId(query, fx.database(), "ID", "Annotate"), 9);
}

}  // namespace
}  // namespace pos::transfer

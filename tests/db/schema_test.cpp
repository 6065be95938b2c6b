// The point-of-sale schema and the demo data of sql/, loaded into a real
// SQLite file: the export views see every demo row, and the keys hold.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <unistd.h>

namespace {

std::string readSqlFile(const std::string& name) {
    std::ifstream in(std::string(POS_SOURCE_DIR) + "/sql/" + name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class DemoDatabase : public ::testing::Test {
protected:
    void SetUp() override {
        m_path = std::filesystem::temp_directory_path() /
                 ("pos_schema_test_" + std::to_string(::getpid()) + ".db");
        std::filesystem::remove(m_path);
        ASSERT_EQ(sqlite3_open(m_path.c_str(), &m_db), SQLITE_OK);
        exec(readSqlFile("schema_sqlite.sql"));
        exec(readSqlFile("demo_data.sql"));
        // The export's view statements, as the export sends them.
        exec(
            "create view VSmenu0 as  select menu.ID,menu.Name,Menu.FirstLetter,Menu.CategoryID,"
            "STCA.SCNA, Menu.Unit1,Menu.Price1,Menu.Cost1,Menu.VPrice1,Menu.Unit2,Menu.Price2,"
            " Menu.Cost2,Menu.VPrice2,Menu.Unit3,Menu.Price3,Menu.Cost3,Menu.VPrice3  from "
            "menu,STCA   where menu.SCSN = STCA.SCSN ");
        exec(
            "create view VSmenu as  select VSmenu0.ID,VSmenu0.Name,VSmenu0.FirstLetter,"
            "Category.Name as CategoryName, VSmenu0.SCNA,VSmenu0.Unit1,VSmenu0.Price1,"
            "VSmenu0.Cost1,VSmenu0.VPrice1, VSmenu0.Unit2,VSmenu0.Price2,VSmenu0.Cost2,"
            "VSmenu0.VPrice2,  VSmenu0.Unit3,VSmenu0.Price3,VSmenu0.Cost3,VSmenu0.VPrice3  "
            "from VSmenu0,Category   where VSmenu0.CategoryID =Category.ID  ");
        exec(
            "create view VSHallTable as  select Hall.Name as HallName,tables.Code as "
            "TableID,tables.Name as TableName  from tables,hall  where tables.Hallid=hall.id ");
        exec(
            "create view VSMenuAnnotate as   select AnnotateType.Name as "
            "AnnotateTypeName,Annotate.name as Annotatename from AnnotateType,Annotate  where "
            "AnnotateType.ID = Annotate.AnnotateTypeID ");
    }
    void TearDown() override {
        sqlite3_close(m_db);
        std::filesystem::remove(m_path);
    }

    void exec(const std::string& sql) {
        char* error = nullptr;
        int rc = sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, &error);
        std::string message = error ? error : "";
        sqlite3_free(error);
        ASSERT_EQ(rc, SQLITE_OK) << message;
    }
    bool refused(const std::string& sql) {
        return sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK;
    }
    std::string scalar(const std::string& sql) {
        sqlite3_stmt* stmt = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(m_db, sql.c_str(), -1, &stmt, nullptr), SQLITE_OK) << sql;
        std::string out;
        if (stmt && sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_text(stmt, 0)) {
            out = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        }
        sqlite3_finalize(stmt);
        return out;
    }

    std::filesystem::path m_path;
    sqlite3* m_db = nullptr;
};

TEST_F(DemoDatabase, ViewsSeeEveryDemoRow) {
    const struct {
        const char* query;
        const char* expected;
    } cases[] = {
        {"select count(*) from VSMenu", "125"},
        {"select count(*) from menu", "125"},
        {"select count(*) from VSHallTable", "30"},
        {"select count(*) from tables", "30"},
        {"select count(*) from VSMenuAnnotate", "30"},
        {"select count(*) from Annotate", "30"},
        {"select count(*) from Category", "8"},
        {"select count(*) from STCA", "4"},
        {"select count(*) from Hall", "3"},
        {"select count(*) from AnnotateType", "5"},
        {"select ID from AnnotateType where Name = '总注'", "0"},
        {"select count(*) from menu where Unit2 is not null", "29"},
        {"select count(*) from menu where Unit3 is not null", "3"},
        // Every unit a dish is sold in is a row of Unit.
        {"select count(*) from (select Unit1 u from menu union select Unit2 from menu union "
         "select Unit3 from menu) where u is not null and u not in (select Name from Unit)",
         "0"},
        // FirstLetter: one capital letter per character of the name.
        {"select count(*) from menu where length(FirstLetter) <> length(Name) or FirstLetter "
         "glob '*[^A-Z]*'",
         "0"},
        {"select FirstLetter from menu where Name = '宫保鸡丁'", "GBJD"},
        {"select Name from Category where ID = (select CategoryID from menu where Name = "
         "'扎啤')",
         "酒水"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(scalar(c.query), c.expected) << c.query;
    }
}

TEST_F(DemoDatabase, KeysRefuseDuplicates) {
    const char* duplicates[] = {
        "insert into menu (ID, Name) values (2001, 'x')",
        "insert into Category (ID, Name) values (1, 'x')",
        "insert into STCA (SCID, SCSN, SCNA) values (9, 1, 'x')",
        "insert into STCA (SCID, SCSN, SCNA) values (1, 9, 'x')",
        "insert into Unit (ID, Name) values (1, 'x')",
        "insert into Hall (ID, Name) values (1, 'x')",
        "insert into tables (ID, Code, Name) values (101, '999', 'x')",
        "insert into AnnotateType (ID, Name) values (0, 'x')",
        "insert into Annotate (ID, Name, AnnotateTypeID) values (1, 'x', 0)",
        // A row without its name or identifier makes no sense.
        "insert into menu (ID) values (9999)",
        "insert into tables (ID, Name) values (999, 'x')",
        "insert into Annotate (Name, AnnotateTypeID) values ('x', 1)",
    };
    for (const char* sql : duplicates) {
        EXPECT_TRUE(refused(sql)) << sql;
    }
    // Annotations are numbered within their type: the same ID in another type is fine.
    EXPECT_FALSE(refused("insert into Annotate (ID, Name, AnnotateTypeID) values (7, 'x', 3)"));
}

TEST_F(DemoDatabase, MergeInsertsRunAsWritten) {
    // The merge's inserts with their fixed values, against the schema.
    const char* inserts[] = {
        " insert into Category (ID, Name, IsModify, CanDiscount, IsPreOut, IsGiveLQ, ODPTypeID, "
        "isPrice, CanUseCard, NonCalOrderfee, NonCalIntegral, MaxCharge)  "
        "values(9,'新菜',0,1,1,0,0,1,1,0,0,0) ",
        " insert into STCA (SCID,SCSN, SCNA, TJLBType)  values(5,5,'新类',0) ",
        " insert into Unit (ID,Name)  values(99,'串') ",
        " insert into menu "
        "(ID,Name,FirstLetter,CategoryID,Unit1,Price1,Cost1,VPrice1,Unit2,Price2,Cost2,VPrice2,"
        "Unit3,Price3,Cost3,VPrice3,CanModifyAmount,Discount,IsDisCount,Status,StationID,SCSN,"
        "Quantity,isSpecial,EProfit1,EProfit2,EProfit3,NotDishTj,isFee,flag,isRate) "
        "values(9001,'羊肉串','YRC',9,'串',5,2,4,NULL,0,0,0,NULL,0,0,0,0,1,1,1,7,5,-1,0,0,0,0,0,"
        "1,0,1) ",
        " insert into Hall (ID, Name, PrintId) values(4,'二楼',0) ",
        " insert into tables "
        "(ID,Code,Name,HallId,Status,TATYP,IsUse,IsPrn,minType,minCharge,popNum,isServer,"
        "Oldcapacity,Unite,isUnite,isReserve,OKTime) "
        "values(401,'401','B01',4,'A',1,0,0,0,0,0,1,0,0,0,0,0) ",
        " insert into AnnotateType (ID, Name) values(5,'温度') ",
        " insert into Annotate (ID,Name,AnnotateTypeID,atype,aValue,PrintID) "
        "values(1,'加冰',5,0,0,0) ",
    };
    for (const char* sql : inserts) {
        exec(sql);
    }
    EXPECT_EQ(scalar("select CategoryName || '/' || SCNA from VSMenu where ID = 9001"),
              "新菜/新类");
    EXPECT_EQ(scalar("select count(*) from VSHallTable"), "31");
    EXPECT_EQ(scalar("select count(*) from VSMenuAnnotate"), "31");
}

}  // namespace

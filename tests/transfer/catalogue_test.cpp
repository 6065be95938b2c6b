// The connection text, the database list and the table-presence check, on
// real store files made from the program's own schema.
#include <gtest/gtest.h>

#include <string_view>

#include "datasets/Datasets.h"
#include "db/ConnectionText.h"
#include "db/DbError.h"
#include "db/EmbeddedSql.h"
#include "db/SqlServerDialect.h"
#include "support/TempDir.h"
#include "transfer/Catalogue.h"

namespace pos::transfer {
namespace {

using pos::testing::TempStore;

// The checks as a front end makes them: the dataset found by the name the
// user gives (any letter case), none for another name.
bool tablesOfNamedDataset(db::Query& connQuery, const std::string& name,
                          const std::string& database) {
    const datasets::Dataset* dataset = datasets::datasetForKey(name);
    return dataset != nullptr && checkDatasetTables(connQuery, *dataset, database);
}

std::string presenceLineOfNamedDataset(const db::Dialect& dialect, const std::string& name) {
    const datasets::Dataset* dataset = datasets::datasetForKey(name);
    return dataset != nullptr ? tablePresenceLine(dialect, *dataset) : std::string();
}

struct TextCase {
    const char* name;
    ConnectionArguments args;
    const char* text;
};

TEST(ConnectionText, BuiltPieceByPiece) {
    const TextCase cases[] = {
        {"start-up call", startupConnectionArguments(),
         "Provider=SQLOLEDB.1;Integrated Security=SSPI;Persist Security Info=false;"
         "Initial Catalog=master;Data Source=."},
        {"SQL login",
         {"s3cret", "", "false", "sa", "pos", "srv,1433"},
         "Provider=SQLOLEDB.1;Password=s3cret;Persist Security Info=false;User ID=sa;"
         "Initial Catalog=pos;Data Source=srv,1433"},
        {"integrated security hides user and password",
         {"s3cret", "SSPI", "true", "sa", "pos", "srv"},
         "Provider=SQLOLEDB.1;Integrated Security=SSPI;Persist Security Info=true;"
         "Initial Catalog=pos;Data Source=srv"},
        {"blank password and user left out",
         {" ", "", "false", "\t", "pos", "srv"},
         "Provider=SQLOLEDB.1;Persist Security Info=false;Initial Catalog=pos;Data Source=srv"},
        {"blank catalogue and data source",
         {"", "SSPI", "false", "", "", ""},
         "Provider=SQLOLEDB.1;Integrated Security=SSPI;Persist Security Info=false;"
         "Initial Catalog=master;Data Source=."},
        {"blank means blanks and control characters",
         {"", " \t\r\n\x01", "false", "u", " \x1f ", "\n"},
         "Provider=SQLOLEDB.1;Persist Security Info=false;User ID=u;Initial Catalog=master;"
         "Data Source=."},
        {"values that are not blank go in untrimmed, quoted",
         {"", " SSPI ", "false", "", " pos ", " srv"},
         "Provider=SQLOLEDB.1;Integrated Security=\" SSPI \";Persist Security Info=false;"
         "Initial Catalog=\" pos \";Data Source=\" srv\""},
        {"a value that could end its pair or add one is quoted",
         {"pw;Data Source=.", "", "false", "a\"b", "it's", "127.0.0.1,1"},
         "Provider=SQLOLEDB.1;Password=\"pw;Data Source=.\";Persist Security Info=false;"
         "User ID='a\"b';Initial Catalog=\"it's\";Data Source=127.0.0.1,1"},
    };
    for (const TextCase& c : cases) {
        EXPECT_EQ(buildConnectionText(c.args), c.text) << c.name;
    }
}

// Whatever a user or password holds arrives whole, and no value adds a pair:
// a password that looks like another data source leaves the server chosen.
TEST(ConnectionText, EveryValueArrivesWhole) {
    const char* const values[] = {
        "Ab;12", "pw;Data Source=.", "a=b",        "\"quoted\"", "it's", "both '\" kinds",
        " lead", "trail ",           "x\"\"y;'z'", "plain"};
    for (const char* value : values) {
        ConnectionArguments args;
        args.user = value;
        args.password = value;
        args.persistSecurityInfo = "false";
        args.dataSource = "127.0.0.1,1";
        const db::ConnectionText parsed = db::ConnectionText::parse(buildConnectionText(args));
        EXPECT_EQ(parsed.get("User ID"), value) << value;
        EXPECT_EQ(parsed.get("Password"), value) << value;
        EXPECT_EQ(parsed.get("Data Source"), "127.0.0.1,1") << value;
        EXPECT_FALSE(parsed.isEmbeddedStore()) << value;
        EXPECT_EQ(parsed.pairs().size(), 6u) << value;
    }
}

class CatalogueTest : public ::testing::Test {
protected:
    CatalogueTest() : conn(settings()), connQuery(conn) {}
    db::ConnectionSettings settings() {
        db::ConnectionSettings s;
        s.storeDir = store.dir();
        return s;
    }
    void createPosDatabase(const std::string& name, const std::string& extra = "") {
        store.createDatabase(name, std::string(db::embeddedSql("schema_sqlite.sql")) + extra);
    }
    std::vector<std::string> list() {
        return connectAndListDatabases(conn, connQuery, startupConnectionArguments());
    }

    TempStore store;
    db::Connection conn;
    db::Query connQuery;
};

TEST_F(CatalogueTest, SystemNamesAreHiddenExactly) {
    for (const char* name : {"master", "tempdb", "model", "msdb", "resource", "Master", "MSDB",
                             "master2", "pos_demo"}) {
        store.createDatabase(name);
    }
    EXPECT_EQ(list(), (std::vector<std::string>{"MSDB", "Master", "master2", "pos_demo"}));
    EXPECT_EQ(conn.connectionText(),
              "Provider=SQLOLEDB.1;Integrated Security=SSPI;Persist Security Info=false;"
              "Initial Catalog=master;Data Source=.");
}

TEST_F(CatalogueTest, PresenceCheckForEachDatasetInAnyLetterCase) {
    createPosDatabase("pos");
    list();
    for (const char* key : {"Menu", "menu", "MENU", "HallTable", "halltable", "HALLTABLE",
                            "MenuAnnotate", "menuannotate", "MENUANNOTATE"}) {
        EXPECT_TRUE(tablesOfNamedDataset(connQuery, key, "pos")) << key;
    }
}

struct FailCase {
    const char* name;
    const char* extraSql;
    const char* key;
};

TEST_F(CatalogueTest, PresenceCheckFails) {
    const FailCase cases[] = {
        {"missing table", "drop table STCA;", "Menu"},
        {"missing hall", "drop table tables;", "HallTable"},
        {"second object named STCA",
         "create trigger stca after insert on STCA begin select 1; end;", "Menu"},
        {"second object named Annotate",
         "create trigger ANNOTATE after insert on Annotate begin select 1; end;", "MenuAnnotate"},
        {"unknown key", "", "Menus"},
        {"empty key", "", ""},
    };
    int n = 0;
    for (const FailCase& c : cases) {
        std::string name = "db" + std::to_string(n++);
        createPosDatabase(name, c.extraSql);
        list();
        EXPECT_FALSE(tablesOfNamedDataset(connQuery, c.key, name)) << c.name;
    }
}

TEST_F(CatalogueTest, UnknownKeySendsNoQuery) {
    createPosDatabase("pos");
    list();  // connQuery holds the database list
    EXPECT_FALSE(tablesOfNamedDataset(connQuery, "nothing", "no such database"));
    connQuery.first();  // still the database list, not a table query
    EXPECT_EQ(connQuery.fieldAsText("DATABASE_NAME"), "pos");
}

TEST_F(CatalogueTest, DatabaseNameWithAQuote) {
    createPosDatabase("a\"b");
    createPosDatabase("a", "drop table menu;");
    list();
    EXPECT_FALSE(tablesOfNamedDataset(connQuery, "Menu", "a"));
    EXPECT_TRUE(tablesOfNamedDataset(connQuery, "Menu", "a\"b"));
    // An attempt to break out of the quotes fails as a whole; nothing of it runs.
    EXPECT_THROW(tablesOfNamedDataset(connQuery, "Menu", "a\"\r\ndrop table menu --"), db::DbError);
    EXPECT_THROW(tablesOfNamedDataset(connQuery, "Menu", "a\" drop table menu --"), db::DbError);
    EXPECT_TRUE(tablesOfNamedDataset(connQuery, "Menu", "a\"b"));
}

TEST_F(CatalogueTest, MissingDatabaseIsAnError) {
    list();
    try {
        tablesOfNamedDataset(connQuery, "Menu", "nope");
        FAIL() << "no error";
    } catch (const db::DbError& e) {
        EXPECT_NE(std::string(e.what()).find("“nope”"), std::string::npos) << e.what();
    }
}

TEST(SqlServerDialect, SendsTheTextsAsWritten) {
    db::SqlServerDialect d;
    EXPECT_EQ(d.listDatabasesLine(), "sp_databases");
    EXPECT_EQ(presenceLineOfNamedDataset(d, "MENU"),
              " select name from sysobjects where  name = 'menu' or name = 'Category'  or name = "
              "'STCA'");
    EXPECT_EQ(presenceLineOfNamedDataset(d, "hallTable"),
              " select name from sysobjects where  name = 'tables' or name = 'hall'");
    EXPECT_EQ(presenceLineOfNamedDataset(d, "MenuAnnotate"),
              " select name from sysobjects where  name = 'AnnotateType' or name = 'Annotate'");
    EXPECT_EQ(presenceLineOfNamedDataset(d, "Hall"), "");
    EXPECT_EQ(d.preambleLines("pos\"x"),
              (std::vector<std::string>{" set Nocount on ", " use \"pos\"\"x\""}));
}

}  // namespace
}  // namespace pos::transfer

// The ODBC back end run for real, through Connection and Query, against the
// SQLite ODBC driver ("SQLite3" in unixODBC, installed by scripts/install-deps)
// and a database file of the test's own: what the SQL Server path relies on,
// without a SQL Server. Where the SQLite driver behaves unlike FreeTDS, the
// case says so and is left out rather than bending the back end.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "db/Connection.h"
#include "db/DbError.h"
#include "support/TempDir.h"

namespace pos::db {
namespace {

using pos::testing::TempStore;

ConnectionSettings odbcSettings(const std::string& odbcString) {
    ConnectionSettings settings;
    settings.loginTimeoutSeconds = 5;
    settings.odbcConnectionString = odbcString;
    return settings;
}

// "connected" when the connection is made and a first query runs, else the error.
std::string connectError(const std::string& odbcString) {
    Connection connection(odbcSettings(odbcString));
    // The text would choose the embedded store; the raw string wins.
    connection.setConnectionText("Data Source=.");
    try {
        connection.connect();
        Query q(connection);
        q.addLine("select count(*) as N from sqlite_master");
        q.open();
    } catch (const DbError& e) {
        return e.what();
    }
    return "connected";
}

void run(Query& q, const std::vector<std::string>& lines, bool open) {
    q.close();
    q.clearLines();
    for (const std::string& line : lines) {
        q.addLine(line);
    }
    if (open) {
        q.open();
    } else {
        q.execute();
    }
}

TEST(odbcSqliteDriver, ConnectFailuresSayWhyInChinese) {
    TempStore store;
    const std::string notADatabase = store.dir() + "/garbage.db";
    std::ofstream(notADatabase) << std::string(4096, 'x');

    struct Case {
        const char* name;
        std::string odbcString;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"a readable database connects",
         "Driver=SQLite3;Database=" + store.path("ok"),
         {"connected"}},
        {"unknown driver name",
         "Driver=NoSuchDriver;Database=" + store.path("ok") + ";PWD=secret",
         {"没有在unixODBC中登记", "odbcinst -q -d", "[01000]"}},
        {"database in a folder that does not exist",
         "Driver=SQLite3;Database=" + store.dir() + "/missing/x.db;PWD=secret",
         {"无法通过ODBC连接串连接到数据库", "[HY000]"}},
        // The SQLite driver opens any file and fails at the first statement;
        // FreeTDS fails at the login instead.
        {"a file that is not a database",
         "Driver=SQLite3;Database=" + notADatabase + ";PWD=secret",
         {"语句执行失败", "[HY000]", "not a database"}},
    };
    for (const Case& c : cases) {
        const std::string message = connectError(c.odbcString);
        for (const std::string& part : c.expected) {
            EXPECT_NE(message.find(part), std::string::npos) << c.name << ": " << message;
        }
        // The connection string may hold a password: never repeated.
        EXPECT_EQ(message.find("secret"), std::string::npos) << c.name << ": " << message;
    }
}

TEST(odbcSqliteDriver, StatementsParametersAndTransactions) {
    TempStore store;
    Connection connection(odbcSettings("Driver=SQLite3;Database=" + store.path("pos")));
    connection.connect();
    Query q(connection);
    run(q,
        {"create table Dish (Id integer primary key, Name nvarchar(50),",
         "  Qty int, Big bigint, Price decimal(18,4), Sold datetime, Paid bit)"},
        false);

    // Every kind of value a sheet sends, written through a named parameter
    // and read back by name; the parameter appears three times in the query
    // (in two letter cases), so each occurrence needs its own binding.
    struct ValueCase {
        const char* name;
        const char* column;
        Value value;
    };
    std::string longText;
    for (int i = 0; i < 1500; ++i) {
        longText += "🍜鱼a";
    }
    const ValueCase cases[] = {
        {"Chinese text", "Name", Value::text("宫保鸡丁")},
        {"text outside the BMP", "Name", Value::text("𩽾𩾌鱼 🍜")},
        {"empty text", "Name", Value::text("")},
        {"NULL", "Name", Value::null()},
        {"32-bit integer", "Big", Value::integer(-2147483647 - 1)},
        {"64-bit integer", "Big", Value::integer(9007199254740993LL)},
        {"decimal with 4 places", "Price", Value::decimal("12.3456")},
        {"decimal below one", "Price", Value::decimal("-0.0001")},
        {"date and time to the millisecond", "Sold",
         Value::dateTime({2024, 2, 29, 23, 59, 58, 125})},
        {"yes/no", "Paid", Value::boolean(true)},
        // Longer than one read of the column and than nvarchar(4000).
        {"long text", "Name", Value::text(longText)},
    };
    const int rows = static_cast<int>(std::size(cases)) + 2;
    std::int64_t id = 0;
    for (const ValueCase& c : cases) {
        ++id;
        const std::string column = c.column;
        q.close();
        q.clearLines();
        q.addLine("insert into Dish (Id, " + column + ") values (:Id, :V)");
        q.setParameter("Id", Value::integer(id));
        q.setParameter("V", c.value);
        q.execute();

        q.close();
        q.clearLines();
        q.addLine("select " + column + " as Value from Dish");
        q.addLine("where Id = :id and (" + column + " = :v or :V is null)");
        q.setParameter("ID", Value::integer(id));
        q.setParameter("v", c.value);
        q.open();
        ASSERT_FALSE(q.eof()) << c.name;
        const Value got = q.fieldValue("VALUE");
        if (column == "Price") {
            // The SQLite driver describes a decimal column as text, where
            // FreeTDS says SQL_DECIMAL: only the exact digits are compared.
            EXPECT_EQ(got.toText(), c.value.toText()) << c.name;
        } else {
            EXPECT_TRUE(got == c.value) << c.name << ": " << got.toText();
        }
    }

    // Batches of several statements (and one whose first statement returns
    // no rows) are left out: the SQLite driver refuses more than one
    // statement per execution ("only one SQL statement allowed"), where
    // FreeTDS sends the batch whole and returns its results one by one.
    //
    // Non-ASCII text goes as a parameter here: the Debian build of the SQLite
    // driver has no UTF-16 entry points, so the driver manager narrows the
    // statement text itself and loses such literals; FreeTDS takes the
    // UTF-16 text as it is.
    q.clearLines();
    q.addLine("insert into Dish (Id, Name) values (100, :Name)");
    q.setParameter("Name", Value::text("鱼香肉丝"));
    q.execute();
    run(q, {"insert into Dish (Id, Name) values (101, 'Mapo tofu')"}, false);
    run(q, {"select Name from Dish where Id in (100, 101) order by Id"}, true);
    ASSERT_EQ(q.recordCount(), 2);
    EXPECT_EQ(q.fieldAsText("name"), "鱼香肉丝");

    // Two queries holding results on one connection.
    Query other(connection);
    run(q, {"select Id, Name from Dish order by Id"}, true);
    run(other, {"select count(*) as Total from Dish"}, true);
    ASSERT_EQ(q.fieldCount(), 2);
    EXPECT_EQ(q.fieldName(0), "Id");
    EXPECT_EQ(q.fieldName(1), "Name");
    EXPECT_EQ(q.recordCount(), rows);
    q.next();
    EXPECT_EQ(q.fieldAsInteger("ID"), 2);
    EXPECT_EQ(other.fieldAsInteger("total"), rows);
    EXPECT_THROW(q.fieldAsText("NoSuchField"), DbError);

    // Rollback forgets, commit keeps.
    struct TransactionCase {
        const char* name;
        bool commit;
        int remaining;
    };
    const TransactionCase transactions[] = {{"rollback", false, rows}, {"commit", true, rows - 1}};
    for (const TransactionCase& t : transactions) {
        connection.beginTransaction();
        EXPECT_TRUE(connection.inTransaction()) << t.name;
        run(q, {"delete from Dish where Id = 100"}, false);
        if (t.commit) {
            connection.commit();
        } else {
            connection.rollback();
        }
        EXPECT_FALSE(connection.inTransaction()) << t.name;
        run(q, {"select count(*) as N from Dish"}, true);
        EXPECT_EQ(q.fieldAsInteger("N"), t.remaining) << t.name;
    }

    // A failing statement: the driver's record in the error, in Chinese.
    // The same prepared statement then runs again with another value.
    struct InsertCase {
        std::int64_t id;
        const char* error;  // nullptr: succeeds
    };
    const InsertCase inserts[] = {{1, "UNIQUE"}, {500, nullptr}};
    for (const InsertCase& c : inserts) {
        q.close();
        q.clearLines();
        q.addLine("insert into Dish (Id) values (:Id)");
        q.setParameter("Id", Value::integer(c.id));
        std::string message = "succeeded";
        try {
            q.execute();
        } catch (const DbError& e) {
            message = e.what();
        }
        if (c.error) {
            EXPECT_NE(message.find("语句执行失败"), std::string::npos) << message;
            EXPECT_NE(message.find(c.error), std::string::npos) << message;
        } else {
            EXPECT_EQ(message, "succeeded");
        }
    }
    run(q, {"select count(*) as N from Dish"}, true);
    EXPECT_EQ(q.fieldAsInteger("N"), rows);
}

}  // namespace
}  // namespace pos::db

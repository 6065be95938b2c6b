// The ODBC back end run for real, through Connection and Query, against
// real drivers: the SQLite ODBC driver ("SQLite3" in unixODBC) with a
// database file of the test's own, and the PostgreSQL ODBC driver
// ("PostgreSQL Unicode") with a server the test starts on a free loopback
// port; scripts/install-deps installs both. They run the cases that the SQL
// Server path relies on, without a SQL Server. Where a driver behaves unlike
// FreeTDS, the case says so and is left out for it rather than bending the
// back end.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "db/Connection.h"
#include "db/DbError.h"
#include "db/SqlServerDialect.h"
#include "support/Process.h"
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

// What the shared cases need to know of a driver.
struct Driver {
    std::string odbcString;
    // The table Dish (Id, Name, Qty, Big, Price, Sold, Paid) in the driver's types.
    std::string createDish;
    // The column names as the driver reports "Id" and "Name" of a select.
    std::vector<std::string> reportedNames;
    // Part of the driver's message for a repeated primary key.
    const char* duplicateKeyText;
    // Whether one execution may hold several statements (FreeTDS: yes).
    bool batches;
};

// A statement of many rows gives its values by their place, whatever the
// markers' names, as the import's multi-row inserts do.
void insertValuesByPlace(Query& q) {
    q.close();
    q.clearLines();
    q.addLine("insert into Dish (Id, Name) values (:Id_0, :Name_0), (:Id_1, :Name_1)");
    q.setParameters(Parameters{{"", Value::integer(600)},
                               {"", Value::text("宫保鸡丁")},
                               {"", Value::integer(601)},
                               {"", Value::text("回锅肉")}});
    q.execute();
    run(q, {"select Id, Name from Dish where Id >= 600 order by Id"}, true);
    ASSERT_EQ(q.recordCount(), 2);
    for (const auto& [dishId, name] : {std::pair{600, "宫保鸡丁"}, std::pair{601, "回锅肉"}}) {
        EXPECT_EQ(q.fieldAsInteger("Id"), dishId);
        EXPECT_EQ(q.fieldAsText("Name"), name);
        q.next();
    }
}

void runStatementCases(const Driver& driver) {
    Connection connection(odbcSettings(driver.odbcString));
    connection.connect();
    Query q(connection);
    run(q, {driver.createDish}, false);

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
            // FreeTDS (and PostgreSQL's) says SQL_DECIMAL: only the exact
            // digits are compared.
            EXPECT_EQ(got.toText(), c.value.toText()) << c.name;
        } else {
            EXPECT_TRUE(got == c.value) << c.name << ": " << got.toText();
        }
    }

    // Batches of several statements, one whose first statement returns no
    // rows among them: the rows are those of the first result, and every
    // other result is drained so that the next statement finds the
    // connection free. The SQLite driver refuses more than one statement per
    // execution ("only one SQL statement allowed"); FreeTDS and the
    // PostgreSQL driver send the batch whole and return its results one by
    // one.
    if (driver.batches) {
        run(q,
            {"update Dish set Qty = 1 where Id = -1;", "select Id from Dish where Id = 1;",
             "select Id from Dish where Id = 2;"},
            true);
        ASSERT_EQ(q.recordCount(), 1);
        EXPECT_EQ(q.fieldAsInteger("id"), 1);
        run(q, {"select count(*) as N from Dish;", "delete from Dish where Id = -1"}, true);
        EXPECT_EQ(q.fieldAsInteger("N"), static_cast<std::int64_t>(std::size(cases)));
    }

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
    EXPECT_EQ(q.fieldName(0), driver.reportedNames.at(0));
    EXPECT_EQ(q.fieldName(1), driver.reportedNames.at(1));
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
    const InsertCase inserts[] = {{1, driver.duplicateKeyText}, {500, nullptr}};
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

    insertValuesByPlace(q);
}

TEST(odbcSqliteDriver, StatementsParametersAndTransactions) {
    TempStore store;
    runStatementCases({"Driver=SQLite3;Database=" + store.path("pos"),
                       "create table Dish (Id integer primary key, Name nvarchar(50), Qty int, "
                       "Big bigint, Price decimal(18,4), Sold datetime, Paid bit)",
                       {"Id", "Name"},
                       "UNIQUE",
                       false});
}

// A PostgreSQL server of the test's own: a data folder in a temporary
// folder, a loopback port found free at start, trust logins for the user
// postgres. initdb refuses to run as root, so as root the server runs as
// the user postgres.
class PostgresServer {
public:
    // The folder of initdb and pg_ctl; empty when the server is not installed.
    static std::string binaries() {
        std::string best;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
            const std::string bin = entry.path().string() + "/bin";
            if (std::filesystem::exists(bin + "/initdb") &&
                std::filesystem::exists(bin + "/pg_ctl") && bin > best) {
                best = bin;
            }
        }
        return best;
    }

    explicit PostgresServer(const std::string& bin) : m_bin(bin), m_port(freePort()) {
        m_data = m_folder.dir() + "/data";
        if (::getuid() == 0) {
            m_asUser = "runuser -u postgres -- ";
            if (testing::runShell("chown postgres " + m_folder.dir()) != 0) {
                throw std::runtime_error("cannot give the test folder to postgres");
            }
        }
        must(m_bin + "/initdb -D " + m_data +
                 " -A trust -U postgres -E UTF8 --no-locale --no-sync >" + m_folder.dir() +
                 "/initdb.log 2>&1",
             "initdb");
        // At most 60 seconds to start; pg_ctl -w waits until it accepts logins.
        must(m_bin + "/pg_ctl -D " + m_data + " -l " + m_data + "/server.log -w -t 60 -o \"-p " +
                 std::to_string(m_port) + " -k " + m_data +
                 " -c listen_addresses=127.0.0.1 -c fsync=off\" start >/dev/null",
             "pg_ctl start");
        m_started = true;
    }
    ~PostgresServer() {
        if (m_started) {
            shell(m_bin + "/pg_ctl -D " + m_data + " -m immediate -w -t 30 stop >/dev/null 2>&1");
        }
    }
    PostgresServer(const PostgresServer&) = delete;
    PostgresServer& operator=(const PostgresServer&) = delete;

    std::string odbcString() const {
        // BoolsAsChar=0: a boolean column reads as SQL_BIT, as bit does
        // through FreeTDS, not as the text "1". UseServerSidePrepare=0: the
        // driver puts the values into the text itself, as typed literals;
        // prepared on the server, "$3 is null" has no type to infer, where
        // FreeTDS declares each parameter's type for SQL Server.
        return "Driver=PostgreSQL Unicode;Server=127.0.0.1;Port=" + std::to_string(m_port) +
               ";Database=postgres;Uid=postgres;BoolsAsChar=0;UseServerSidePrepare=0";
    }

private:
    static int freePort() {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("no free loopback port");
        }
        ::close(fd);
        return ntohs(address.sin_port);
    }
    int shell(const std::string& command) const { return testing::runShell(m_asUser + command); }
    void must(const std::string& command, const char* what) const {
        if (shell(command) != 0) {
            throw std::runtime_error(std::string(what) + " failed: " + command);
        }
    }

    TempStore m_folder;
    std::string m_bin;
    std::string m_asUser;
    std::string m_data;
    int m_port;
    bool m_started = false;
};

TEST(odbcPostgresDriver, StatementsParametersAndTransactions) {
    const std::string bin = PostgresServer::binaries();
    if (bin.empty()) {
        GTEST_SKIP() << "The PostgreSQL server (initdb, pg_ctl) is not installed; "
                        "scripts/install-deps installs it with the package postgresql.";
    }
    PostgresServer server(bin);
    // PostgreSQL folds unquoted names to lower case, where SQL Server keeps
    // the letter case of the select; fields are found by name in any case.
    runStatementCases({server.odbcString(),
                       "create table Dish (Id integer primary key, Name text, Qty int, "
                       "Big bigint, Price numeric(18,4), Sold timestamp(3), Paid boolean)",
                       {"id", "name"},
                       "duplicate key",
                       true});

    // A statement that outlives the query time-out is cancelled rather than
    // waited for. FreeTDS reports the time-out as HYT00, which the back end
    // turns into its own message; the PostgreSQL driver reports the
    // server's 57014 ("canceling statement due to statement timeout").
    ConnectionSettings settings = odbcSettings(server.odbcString());
    settings.queryTimeoutSeconds = 1;
    Connection connection(settings);
    connection.connect();
    Query q(connection);
    q.addLine("select pg_sleep(5)");
    std::string message = "not cancelled";
    const auto start = std::chrono::steady_clock::now();
    try {
        q.open();
    } catch (const DbError& e) {
        message = e.what();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    EXPECT_NE(message.find("[57014]"), std::string::npos) << message;
}

// SQL Server's texts but for the few that the cases below send and that
// PostgreSQL words otherwise: the standard savepoints of a dry run, and the
// question after a failed statement. There is no @@TRANCOUNT: a transaction
// the driver began before this statement is still open when it started
// before it (the driver sends BEGIN in the statement's own message when it
// opens a new one); an aborted transaction refuses the question itself.
class PostgresDialect : public SqlServerDialect {
public:
    std::string nestedBeginLine() const override { return "savepoint nested_transaction"; }
    std::string nestedCommitLine() const override { return "release nested_transaction"; }
    std::string nestedRollbackLine() const override {
        return "rollback to nested_transaction; release nested_transaction";
    }
    std::string transactionStateLine() const override {
        return "select case when transaction_timestamp() < statement_timestamp() then 1 else 0 "
               "end as open_transactions, 1 as transaction_state";
    }
};

// A statement that fails inside a transaction, under each of the three
// answers a server gives (the PostgreSQL driver's "Protocol" option chooses
// one): the statement alone is undone (SQL Server's usual answer); the
// whole transaction is ended (a deadlock victim on SQL Server); the
// transaction is left aborted, to be rolled back and nothing else (a doomed
// transaction on SQL Server). The back end asks the server, and after the
// last two the connection is out of its transaction, as the store is after
// a full disk: the next statement stands on its own, and a dry run refuses
// to go on, naming the lost transaction.
TEST(odbcPostgresDriver, TransactionEndedByTheServerIsNoticed) {
    const std::string bin = PostgresServer::binaries();
    if (bin.empty()) {
        GTEST_SKIP() << "The PostgreSQL server (initdb, pg_ctl) is not installed; "
                        "scripts/install-deps installs it with the package postgresql.";
    }
    PostgresServer server(bin);
    struct Case {
        const char* name;
        const char* protocol;
        bool transactionStands;
    };
    const Case cases[] = {
        {"the failed statement undone alone", "7.4-2", true},
        {"the transaction ended by the server", "7.4-1", false},
        {"the transaction left aborted", "7.4-0", false},
    };
    Connection observer(odbcSettings(server.odbcString()));
    observer.connect();
    Query seen(observer);
    const auto stored = [&seen] {
        run(seen, {"select string_agg(Id::text, ',' order by Id) as Ids from Dish"}, true);
        return seen.fieldAsText("Ids");
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ConnectionSettings settings = odbcSettings(server.odbcString() + ";Protocol=" + c.protocol);
        settings.odbcDialect = std::make_shared<PostgresDialect>();
        Connection connection(settings);
        connection.connect();
        Query q(connection);
        run(q, {"drop table if exists Dish;", "create table Dish (Id integer primary key)"}, false);
        const auto failingInsert = [&q] {
            EXPECT_THROW(run(q, {"insert into Dish (Id) values (null)"}, false), DbError);
        };

        connection.beginTransaction();
        run(q, {"insert into Dish (Id) values (1)"}, false);
        failingInsert();
        EXPECT_EQ(connection.inTransaction(), c.transactionStands);
        run(q, {"insert into Dish (Id) values (2)"}, false);
        if (c.transactionStands) {
            EXPECT_EQ(stored(), "");
            connection.commit();
            EXPECT_EQ(stored(), "1,2");
        } else {
            // Dish 1 went with the transaction; dish 2 was kept at once.
            EXPECT_EQ(stored(), "2");
        }

        connection.beginOuterTransaction();
        connection.beginTransaction();
        run(q, {"insert into Dish (Id) values (3)"}, false);
        failingInsert();
        connection.rollback();
        DbFault fault = DbFault::Other;
        try {
            run(q, {"insert into Dish (Id) values (4)"}, false);
        } catch (const DbError& e) {
            fault = e.fault();
            EXPECT_NE(std::string(e.what()).find(faultReason(DbFault::TransactionLost, {})),
                      std::string::npos)
                << e.what();
        }
        EXPECT_EQ(fault, c.transactionStands ? DbFault::Other : DbFault::TransactionLost);
        connection.rollbackOuterTransaction();
        EXPECT_EQ(stored(), c.transactionStands ? "1,2" : "2");
    }
}

}  // namespace
}  // namespace pos::db

// The embedded store through the connection and query objects: the server
// commands it answers, results, parameters, transactions and its failures.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "db/Connection.h"
#include "db/DbError.h"
#include "db/SqliteBackend.h"
#include "db/StoreCommands.h"
#include "support/TempDir.h"

namespace pos::db {
namespace {

using pos::testing::TempStore;

class StoreTest : public ::testing::Test {
protected:
    void connect(const std::string& catalog = "master") {
        ConnectionSettings settings;
        settings.storeDir = store.dir();
        settings.busyTimeoutSeconds = 1;
        conn = std::make_unique<Connection>(settings);
        conn->setConnectionText(
            "Provider=SQLOLEDB.1;Integrated Security=SSPI;Persist Security "
            "Info=false;Initial Catalog=" +
            catalog + ";Data Source=.");
        conn->connect();
    }
    // Opens (or executes) the lines as one batch on `q`.
    static void run(Query& q, std::initializer_list<std::string> lines, bool open = true) {
        q.close();
        q.clearLines();
        for (const std::string& l : lines) {
            q.addLine(l);
        }
        open ? q.open() : q.execute();
    }
    static std::vector<std::string> column(Query& q, const std::string& name) {
        std::vector<std::string> out;
        for (; !q.eof(); q.next()) {
            out.push_back(q.fieldAsText(name));
        }
        return out;
    }
    static std::string errorOf(const std::function<void()>& f) {
        try {
            f();
        } catch (const DbError& e) {
            return e.what();
        }
        return "(no error)";
    }

    TempStore store;
    std::unique_ptr<Connection> conn;
};

TEST_F(StoreTest, ListsDatabaseFilesSortedByName) {
    store.createDatabase("pos_b");
    store.createDatabase("Master");
    store.createDatabase("master");
    store.createDatabase("pos_a");
    store.writeFile("notes.txt", "x");
    store.writeFile(".db", "");
    std::filesystem::create_directory(store.dir() + "/folder.db");
    connect();
    Query q(*conn);
    run(q, {"sp_databases"});
    EXPECT_EQ(column(q, "database_name"),
              (std::vector<std::string>{"Master", "master", "pos_a", "pos_b"}));
}

TEST_F(StoreTest, MissingStoreFolderIsCreatedEmpty) {
    ConnectionSettings settings;
    settings.storeDir = store.dir() + "/new/store";
    Connection c(settings);
    c.setConnectionText("Provider=SQLOLEDB.1;Initial Catalog=master;Data Source=.");
    c.connect();
    Query q(c);
    q.addLine("sp_databases");
    q.open();
    EXPECT_TRUE(q.eof());
    EXPECT_TRUE(std::filesystem::is_directory(settings.storeDir));
}

TEST_F(StoreTest, UseSwitchesTheConnectionsDatabase) {
    store.createDatabase("one", "create table t(v); insert into t values ('first');");
    store.createDatabase("two", "create table t(v); insert into t values ('second');");
    connect();
    Query a(*conn);
    Query b(*conn);
    run(a, {" set Nocount on ", " use \"one\"", " select v from t"});
    EXPECT_EQ(a.fieldAsText("v"), "first");
    // A later batch without a use line stays on the last database used.
    run(b, {"select v from t"});
    EXPECT_EQ(b.fieldAsText("V"), "first");
    run(b, {" use \"two\"", "select v from t"});
    EXPECT_EQ(b.fieldAsText("v"), "second");
    // The first result was read before the switch and is still walkable.
    EXPECT_EQ(a.fieldAsText("v"), "first");
}

TEST_F(StoreTest, OpenResultSurvivesUseOfTheSameDatabase) {
    store.createDatabase("one",
                         "create table t(v integer);"
                         "with recursive n(i) as (select 1 union all select i+1 from n "
                         "where i < 50) insert into t select i from n;");
    connect("one");
    Query a(*conn);
    Query b(*conn);
    run(a, {"select v from t order by v"});
    a.next();
    run(b, {" set Nocount on ", " use \"one\"", "select count(*) as n from t"});
    EXPECT_EQ(b.fieldAsInteger("n"), 50);
    EXPECT_EQ(a.fieldAsInteger("v"), 2);
    EXPECT_EQ(a.recordCount(), 50);
}

TEST_F(StoreTest, ServerCommandFailuresNameTheDatabase) {
    store.writeFile("junk.db", std::string(4096, 'x'));
    store.createDatabase("good");
    struct Case {
        const char* name;
        std::vector<std::string> lines;
        const char* expected;
    };
    const Case cases[] = {
        {"missing database", {" use \"nope\"", "select 1"}, "数据库“nope”不存在"},
        {"not a database", {" use \"junk\"", "select 1"}, "已损坏或不是数据库"},
        {"unclosed quote", {" use \"good", "select 1"}, "无法读出"},
        {"text after the name", {" use \"good\" x", "select 1"}, "无法读出"},
        {"path in the name", {" use \"../good\"", "select 1"}, "不是有效的数据库名"},
        {"SQL error", {" use \"good\"", "select * from missing_table"}, "no such table"},
    };
    connect();
    for (const Case& c : cases) {
        Query q(*conn);
        std::string msg = errorOf([&] {
            for (const std::string& l : c.lines) {
                q.addLine(l);
            }
            q.open();
        });
        EXPECT_NE(msg.find(c.expected), std::string::npos) << c.name << ": " << msg;
    }
    EXPECT_NE(errorOf([&] { connect("nope"); }).find("数据库“nope”不存在"), std::string::npos);
}

// An import compares names with the dialect's collation so that "热菜 " finds
// "热菜" and "Cola" finds "cola", as on the server, and makes no look-alike row.
TEST_F(StoreTest, NamesCompareAsOnTheServer) {
    const char* names =
        "create table t(x text); insert into t values ('热菜'), ('热菜 '), (' 热菜'), ('Cola'), "
        "('cola  '), ('É'), ('é');";
    store.createDatabase("one", names);
    store.createDatabase("two", names);
    connect();
    const std::string by = conn->dialect().nameCollation();
    struct Case {
        const char* what;
        std::string sql;
        std::int64_t expected;
    };
    const Case cases[] = {
        {"trailing blank ignored", "select '热菜 ' = '热菜'" + by + " as r", 1},
        {"letter case ignored", "select 'Cola' = 'cola '" + by + " as r", 1},
        {"letters ordered without case", "select 'a' < 'B'" + by + " and 'b' > 'A'" + by + " as r",
         1},
        {"letters outside ASCII keep their case", "select 'É' = 'é'" + by + " as r", 0},
        {"leading blank counts", "select ' 热菜' = '热菜'" + by + " as r", 0},
        {"inner blank counts", "select '热 菜' = '热菜'" + by + " as r", 0},
        {"distinct names", "select count(*) as r from (select distinct(x" + by + ") from t)", 5},
    };
    Query q(*conn);
    for (const char* database : {"one", "two"}) {
        for (const Case& c : cases) {
            run(q, {" use \"" + std::string(database) + "\"", c.sql});
            EXPECT_EQ(q.fieldAsInteger("r"), c.expected) << database << ": " << c.what;
        }
    }
}

TEST_F(StoreTest, NameWithDoubleQuoteIsUsedSafely) {
    store.createDatabase("we\"ird", "create table t(v); insert into t values ('inside');");
    store.createDatabase("we", "create table t(v); insert into t values ('wrong');");
    connect();
    Query q(*conn);
    q.addLine(conn->dialect().preambleLines("we\"ird")[0]);
    q.addLine(conn->dialect().preambleLines("we\"ird")[1]);
    q.addLine("select v from t");
    q.open();
    EXPECT_EQ(q.fieldAsText("v"), "inside");
    EXPECT_EQ(conn->dialect().preambleLines("we\"ird")[1], " use \"we\"\"ird\"");
}

TEST_F(StoreTest, ParametersBindByNameInAnyCase) {
    store.createDatabase("p", "create table t(id integer, name text);");
    connect("p");
    Query q(*conn);
    q.addLine("insert into t values (:ID, :Name)");
    q.setParameter("id", Value::integer(7));
    q.setParameter("NAME", Value::text("宫保鸡丁"));
    q.execute();
    q.setParameter(":Id", Value::integer(8));  // replaces the earlier value
    q.setParameter("name", Value());
    q.execute();

    Query r(*conn);
    r.addLine("select id, name from t where id >= :low order by id");
    r.setParameter("LOW", Value::integer(0));
    r.open();
    EXPECT_EQ(r.recordCount(), 2);
    EXPECT_EQ(r.fieldAsText("name"), "宫保鸡丁");
    r.next();
    EXPECT_EQ(r.fieldAsInteger("id"), 8);
    EXPECT_TRUE(r.fieldValue("name").isNull());
}

TEST_F(StoreTest, MissingParameterValueIsAnError) {
    store.createDatabase("p", "create table t(id integer);");
    connect("p");
    Query q(*conn);
    q.addLine("select * from t where id = :Wanted");
    EXPECT_NE(errorOf([&] { q.open(); }).find(":Wanted"), std::string::npos);
}

TEST_F(StoreTest, ValuesReadWithTheirDeclaredTypes) {
    store.createDatabase("v",
                         "create table t(id integer, name text, price decimal(19,4), "
                         "amount text, flag boolean, at datetime, ratio real);");
    connect("v");
    Query w(*conn);
    w.addLine("insert into t values (:id, :name, :price, :amount, :flag, :at, :ratio)");
    w.setParameter("id", Value::integer(7));
    w.setParameter("name", Value::text("宫保鸡丁"));
    w.setParameter("price", Value::decimal("12.50"));
    w.setParameter("amount", Value::decimal("0.10"));
    w.setParameter("flag", Value::boolean(true));
    w.setParameter("at", Value::dateTime({2024, 3, 1, 12, 30, 0, 0}));
    w.setParameter("ratio", Value::floating(0.25));
    w.execute();

    Query q(*conn);
    run(q, {"select * from t"});
    EXPECT_EQ(q.fieldValue("ID"), Value::integer(7));
    EXPECT_EQ(q.fieldValue("Name"), Value::text("宫保鸡丁"));
    EXPECT_EQ(q.fieldValue("price"), Value::decimal("12.5"));  // numeric column: a number
    EXPECT_EQ(q.fieldValue("amount"), Value::text("0.10"));    // text column: digits kept
    EXPECT_EQ(q.fieldValue("flag"), Value::boolean(true));
    EXPECT_EQ(q.fieldValue("at"), Value::dateTime({2024, 3, 1, 12, 30, 0, 0}));
    EXPECT_EQ(q.fieldValue("ratio"), Value::floating(0.25));
    EXPECT_EQ(q.fieldCount(), 7);
    EXPECT_EQ(q.fieldName(5), "at");
}

TEST_F(StoreTest, NullReadsAsEmptyTextZeroOrNull) {
    store.createDatabase("n",
                         "create table t(a integer, b text); insert into t values (null, null);");
    connect("n");
    Query q(*conn);
    run(q, {"select a, B from t"});
    EXPECT_EQ(q.fieldAsText("A"), "");
    EXPECT_EQ(q.fieldAsInteger("b"), 0);
    EXPECT_TRUE(q.fieldValue("a").isNull());
    EXPECT_NE(errorOf([&] { q.fieldAsText("c"); }).find("没有名为c的字段"), std::string::npos);
    q.next();
    EXPECT_TRUE(q.eof());
    EXPECT_NE(errorOf([&] { q.fieldAsText("a"); }).find("没有当前行"), std::string::npos);
}

TEST_F(StoreTest, RecordCountFetchesTheRestAndTheWalkGoesOn) {
    store.createDatabase("c",
                         "create table t(v integer);"
                         "with recursive n(i) as (select 1 union all select i+1 from n "
                         "where i < 1000) insert into t select i from n;");
    connect("c");
    Query q(*conn);
    run(q, {" set Nocount on ", " use \"c\"", "select v from t order by v"});
    q.next();
    q.next();
    EXPECT_EQ(q.recordCount(), 1000);
    EXPECT_EQ(q.fieldAsInteger("v"), 3);
    int walked = 0;
    std::int64_t sum = 0;
    for (q.first(); !q.eof(); q.next()) {
        ++walked;
        sum += q.fieldAsInteger("v");
    }
    EXPECT_EQ(walked, 1000);
    EXPECT_EQ(sum, 500500);

    run(q, {"select v from t where v < 0"});
    EXPECT_TRUE(q.eof());
    EXPECT_EQ(q.recordCount(), 0);
}

TEST_F(StoreTest, TwoOpenResultsWhileAnotherQueryWrites) {
    store.createDatabase("w",
                         "create table t(v integer); create table log(v integer);"
                         "with recursive n(i) as (select 1 union all select i+1 from n "
                         "where i < 100) insert into t select i from n;");
    connect("w");
    Query reader(*conn);
    Query same(*conn);  // the same text at once: the cached statement is busy
    Query writer(*conn);
    run(reader, {"select v from t order by v"});
    run(same, {"select v from t order by v"});
    std::int64_t sum = 0;
    for (; !reader.eof(); reader.next()) {
        std::int64_t v = reader.fieldAsInteger("v");
        sum += v;
        writer.close();
        writer.clearLines();
        writer.addLine("insert into t values (:v)");  // grows the table being read
        writer.setParameter("v", Value::integer(v + 1000));
        writer.execute();
    }
    EXPECT_EQ(sum, 5050);
    EXPECT_EQ(same.recordCount(), 100);
    run(writer, {"select count(*) as n from t"});
    EXPECT_EQ(writer.fieldAsInteger("n"), 200);
}

// A walk over one table while the same connection runs a batch for each row,
// in one transaction, as the import's merge does: the walk gives the rows the
// table held when it began, whatever the batches write or undo.
TEST_F(StoreTest, WalkKeepsItsRowsWhileTheConnectionWrites) {
    struct Case {
        const char* what;
        const char* walk;
        std::vector<std::string> eachRow;  // :v is the walked row's value
        int rowsOfA;
        int rowsOfB;
    };
    const std::vector<Case> cases = {
        {"another table",
         "select v from a",
         {"savepoint r;", "insert into b values (:v);", "release r;"},
         50,
         50},
        {"another table, undone",
         "select v from a",
         {"savepoint r;", "insert into b values (:v);", "rollback to r;", "release r;"},
         50,
         0},
        {"the table walked", "select v from a", {"insert into a values (:v + 1000)"}, 100, 0},
        {"the table walked, undone",
         "select v from a",
         {"savepoint r;", "update a set v = -v;", "rollback to r;", "release r;"},
         50,
         0},
        {"the table walked, by a trigger",
         "select v from a",
         {"insert into c values (:v)"},
         100,
         0},
        {"the table under a view",
         "select v from va",
         {"insert into a values (:v + 1000)"},
         100,
         0},
        {"the schema, undone",
         "select v from a",
         {"savepoint r;", "create table d(x);", "rollback to r;", "release r;"},
         50,
         0},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.what);
        const std::string name = "walk" + std::to_string(i);
        store.createDatabase(name,
                             "create table a(v integer); create table b(v integer);"
                             "create table c(v integer); create view va as select v from a;"
                             "create trigger tc after insert on c begin"
                             " insert into a values (new.v + 1000); end;"
                             "with recursive n(i) as (select 1 union all select i+1 from n "
                             "where i < 50) insert into a select i from n;");
        connect(name);
        Query walk(*conn);
        Query writer(*conn);
        run(walk, {c.walk});
        conn->beginTransaction();
        std::vector<std::string> seen;
        // A walk that sees the rows it writes would never end.
        for (; !walk.eof() && seen.size() <= 50; walk.next()) {
            seen.push_back(walk.fieldAsText("v"));
            writer.close();
            writer.clearLines();
            for (const std::string& line : c.eachRow) {
                writer.addLine(line);
            }
            writer.setParameter("v", Value::integer(walk.fieldAsInteger("v")));
            writer.execute();
        }
        conn->commit();
        std::vector<std::string> expected;
        for (int v = 1; v <= 50; ++v) {
            expected.push_back(std::to_string(v));
        }
        EXPECT_EQ(seen, expected);
        run(writer, {"select (select count(*) from a) as a, (select count(*) from b) as b"});
        EXPECT_EQ(writer.fieldAsInteger("a"), c.rowsOfA);
        EXPECT_EQ(writer.fieldAsInteger("b"), c.rowsOfB);
    }
}

TEST_F(StoreTest, CommitKeepsAndRollbackUndoes) {
    store.createDatabase("tx", "create table t(v integer); insert into t values (1), (2), (3);");
    connect("tx");
    Query reader(*conn);
    Query q(*conn);
    run(reader, {"select v from t order by v"});

    conn->beginTransaction();
    run(q, {"insert into t values (10)"}, false);
    conn->rollback();
    conn->beginTransaction();
    run(q, {"insert into t values (20)"}, false);
    conn->commit();

    run(q, {"select v from t order by v"});
    EXPECT_EQ(column(q, "v"), (std::vector<std::string>{"1", "2", "3", "20"}));
    // The rollback did not cut short the result open before it.
    EXPECT_EQ(column(reader, "v"), (std::vector<std::string>{"1", "2", "3"}));
}

TEST_F(StoreTest, BatchRunsStatementsInOrderAndReturnsTheSelect) {
    store.createDatabase("b");
    connect();
    Query q(*conn);
    run(q, {" set Nocount on ", " use \"b\"", "create table x(v integer);",
            "insert into x values (1);", "insert into x values (2);", "select sum(v) as s from x;",
            "-- a comment at the end"});
    EXPECT_EQ(q.fieldAsInteger("s"), 3);
    // A select that is not the batch's last statement is read into memory.
    run(q, {"select v from x order by v;", "insert into x values (3);"});
    EXPECT_EQ(column(q, "v"), (std::vector<std::string>{"1", "2"}));
    // The same texts again come from the statement cache.
    for (int i = 0; i < 3; ++i) {
        run(q, {"select count(*) as n from x"});
        EXPECT_EQ(q.fieldAsInteger("n"), 3 + i);
        run(q, {"select v from x order by v;", "insert into x values (3);"});
    }
}

TEST_F(StoreTest, DatabaseHeldByAnotherProgram) {
    store.createDatabase("busy", "create table t(v integer);");
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(store.path("busy").c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other,
                           "PRAGMA journal_mode=WAL; BEGIN IMMEDIATE; insert into t "
                           "values (1);",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    connect("busy");
    Query q(*conn);
    std::string msg = errorOf([&] { run(q, {"insert into t values (2)"}, false); });
    EXPECT_NE(msg.find("数据库“busy”：数据库正被另一个程序使用"), std::string::npos) << msg;
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    run(q, {"insert into t values (2)"}, false);
}

// A refused write says in Chinese what was wrong and what to do, with the
// store's own words after it.
TEST_F(StoreTest, RefusedWritesSayWhyInChinese) {
    store.createDatabase("w",
                         "create table t(id integer primary key, name text not null, n integer) "
                         "strict; insert into t values (1, 'a', 0);");
    connect("w");
    struct Case {
        const char* what;
        std::vector<std::string> lines;
        const char* expected;
    };
    const Case cases[] = {
        {"duplicate key",
         {"insert into t values (1, 'b', 0)"},
         "数据库“w”：主键或唯一值重复（UNIQUE constraint failed: t.id）"},
        {"missing value",
         {"insert into t values (2, null, 0)"},
         "数据库“w”：缺少必填的值（NOT NULL constraint failed: t.name）"},
        {"wrong type",
         {"insert into t values (3, 'c', 'three')"},
         "数据库“w”：数据类型不正确（cannot store TEXT value in INTEGER column t.n）"},
        // Root may write any file, so the connection itself is made read-only.
        {"read-only",
         {"pragma query_only = 1;", "insert into t values (4, 'd', 0)"},
         "数据库“w”：数据库为只读，请检查是否有写入数据库文件及其文件夹的权限（attempt to "
         "write a readonly database）"},
    };
    Query q(*conn);
    for (const Case& c : cases) {
        q.clearLines();
        for (const std::string& l : c.lines) {
            q.addLine(l);
        }
        EXPECT_EQ(errorOf([&] { q.execute(); }), c.expected) << c.what;
    }
}

TEST(StoreCreate, BuildsTheDatabaseOrLeavesNothing) {
    TempStore store;
    createStoreDatabase(store.dir(), "ok", {"create table t(v);", "insert into t values (1);"});
    EXPECT_EQ(listStoreDatabases(store.dir()), std::vector<std::string>{"ok"});

    EXPECT_THROW(createStoreDatabase(store.dir(), "ok", {"create table u(v);"}), DbError);
    EXPECT_THROW(createStoreDatabase(store.dir(), "bad", {"create table t(v);", "not sql"}),
                 DbError);
    EXPECT_THROW(createStoreDatabase(store.dir(), "a/b", {}), DbError);
    // Neither the failed database nor a temporary file is left behind.
    std::vector<std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(store.dir())) {
        files.push_back(e.path().filename().string());
    }
    EXPECT_EQ(files, std::vector<std::string>{"ok.db"});

    // A creation killed part-way leaves its temporary files; the next
    // connection to the store removes them, but not those of a creation
    // still running.
    const pid_t gone = ::fork();
    if (gone == 0) {
        ::_exit(0);
    }
    ::waitpid(gone, nullptr, 0);
    const std::string dead = ".pos-new-" + std::to_string(gone) + "-0.tmp";
    const std::string running = ".pos-new-" + std::to_string(::getpid()) + "-9.tmp";
    for (const std::string& name : {dead, dead + "-journal", running}) {
        store.writeFile(name, "x");
    }
    ConnectionSettings settings;
    settings.storeDir = store.dir();
    Connection connection(settings);
    connection.setConnectionText("Data Source=.");
    connection.connect();
    EXPECT_FALSE(std::filesystem::exists(store.dir() + "/" + dead));
    EXPECT_FALSE(std::filesystem::exists(store.dir() + "/" + dead + "-journal"));
    EXPECT_TRUE(std::filesystem::exists(store.dir() + "/" + running));
}

// The lines the store answers itself, and how a batch falls into parts: a
// command is recognised only as a line of its own, whatever its letter case.
TEST(StoreCommands, SplitsABatchIntoCommandsAndSql) {
    struct Case {
        std::string batch;
        std::vector<std::pair<LineKind, std::string>> parts;
    };
    const std::vector<Case> cases = {
        {" set Nocount on \n use \"a\"\"b\"\nselect 1",
         {{LineKind::NoCount, " set Nocount on \n"},
          {LineKind::Use, " use \"a\"\"b\"\n"},
          {LineKind::Sql, "select 1"}}},
        {"EXEC sp_databases", {{LineKind::ListDatabases, "EXEC sp_databases"}}},
        {"select 1\n-- nothing\nselect 2\n", {{LineKind::Sql, "select 1\n-- nothing\nselect 2\n"}}},
        {"set nocount on; select 1", {{LineKind::Sql, "set nocount on; select 1"}}},
        {"user_table_select\n", {{LineKind::Sql, "user_table_select\n"}}},
        {" ; /* only a comment */\n", {}},
    };
    for (const Case& c : cases) {
        std::vector<std::pair<LineKind, std::string>> parts;
        for (const BatchPart& part : splitBatch(c.batch)) {
            parts.emplace_back(part.kind, part.text);
        }
        EXPECT_EQ(parts, c.parts) << c.batch;
    }

    const std::vector<std::pair<std::string, std::string>> names = {
        {" use \"a\"\"b\" ", "a\"b"}, {"use [x]]y]", "x]y"}, {"USE plain", "plain"}};
    for (const auto& [line, name] : names) {
        EXPECT_EQ(parseUseName(line), name) << line;
    }
    for (const std::string line : {"use", "use \"open", "use \"a\" extra", "use two words"}) {
        EXPECT_THROW(parseUseName(line), DbError) << line;
    }
}

}  // namespace
}  // namespace pos::db

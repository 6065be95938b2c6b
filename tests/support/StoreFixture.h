// Test fixtures shared by the transfer tests: a store folder with one
// database built from the point-of-sale schema (and, when asked, the demo
// data) or from given scripts, the window's connection with a query of its
// own and a transfer session on demand, the staging tables an import builds, and a reader that
// checks the file through SQLite itself.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "db/Connection.h"
#include "support/TempDir.h"
#include "transfer/TransferContext.h"

namespace pos::testing {

std::string readTextFile(const std::string& path);

// The first value of the first row that `sql` gives on the database file
// `path`, through SQLite itself; "" when there is no row, the value is NULL,
// or the file or the statement fails.
std::string scalarOf(const std::string& path, const std::string& sql);

class StoreFixture {
public:
    // Builds `database` in a fresh temporary store folder from
    // sql/schema_sqlite.sql, plus sql/demo_data.sql when `withDemoData`, and
    // connects to it, through `wrapBackend` when given (faults on demand).
    explicit StoreFixture(bool withDemoData = false, std::string database = "pos",
                          decltype(db::ConnectionSettings::wrapBackend) wrapBackend = {});
    // Builds `database` from `scripts`, run in order, in `storeDir` (a fresh
    // temporary store folder when empty), and connects to the server's
    // master, as the window connects: the worker's preamble then chooses the
    // database. The scripts come first: a name first would let a literal
    // name and one script pick the constructor above (a pointer as a bool).
    explicit StoreFixture(const std::vector<std::string>& scripts, std::string database,
                          std::string storeDir = {});
    ~StoreFixture();
    StoreFixture(const StoreFixture&) = delete;
    StoreFixture& operator=(const StoreFixture&) = delete;

    // Connects anew with `settings`, its store folder set to the fixture's:
    // for a test that sets a hook of the connection (the lock file call).
    void reconnect(db::ConnectionSettings settings);

    const std::string& storeDir() const { return m_storeDir; }
    const std::string& database() const { return m_database; }
    std::string databasePath() const { return storeDir() + "/" + m_database + ".db"; }

    db::Connection& connection() { return *m_connection; }
    // A new session on the connection for one transfer, as a front end
    // makes one for each worker.
    transfer::TransferSession queries() { return transfer::TransferSession(*m_connection); }
    // A query object of its own on the connection, for the checks of a test.
    db::Query& connQuery() { return *m_connQuery; }
    // The names of the views in the database, in order, as the connection
    // sees them.
    std::vector<std::string> views();

    // Creates the staging tables TEMPMenu, TEMPHallTable and TEMPMenuAnnotate
    // with the columns the import gives them, declared with the types of the
    // point-of-sale columns they come from, all nullable and without
    // constraints, so that a test can stage any value.
    void createStagingTables();
    // Copies the current point-of-sale rows into the staging tables, as the
    // import does when it builds them.
    void stageCurrentRows();

    // Direct access to the database file through SQLite, independent of the
    // program's database layer.
    void exec(const std::string& sql) const;
    // Every row of a select, each value in SQLite's text form, NULL as "NULL".
    std::vector<std::vector<std::string>> rows(const std::string& sql) const;
    // The first value of the first row; "" when there is no row.
    std::string scalar(const std::string& sql) const;
    int count(const std::string& table) const;
    // Every point-of-sale table in full, each in the order of its first two
    // columns: to see that a transfer changed nothing.
    std::map<std::string, std::vector<std::vector<std::string>>> pointOfSaleTables() const;

private:
    void connect(const std::string& catalog, db::ConnectionSettings settings);

    std::optional<TempDir> m_folder;  // when the fixture made the store folder
    std::string m_storeDir;
    std::string m_database;
    std::string m_catalog;  // the database the connection starts in
    std::unique_ptr<db::Connection> m_connection;
    std::unique_ptr<db::Query> m_connQuery;
};

}  // namespace pos::testing

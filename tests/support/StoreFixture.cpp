// A temporary embedded store for the transfer tests, checked through SQLite.
#include "support/StoreFixture.h"

#include <sqlite3.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "db/SqliteBackend.h"

namespace pos::testing {

namespace {

// Staging columns with the declared types of the point-of-sale columns they
// are copied from.
const char* const kStagingTables = R"sql(
CREATE TABLE TEMPMenu (
    ID INTEGER, Name NVARCHAR(50), FirstLetter NVARCHAR(20), CategoryName NVARCHAR(50),
    SCNA NVARCHAR(50),
    Unit1 NVARCHAR(20), Price1 DECIMAL(19,4), Cost1 DECIMAL(19,4), VPrice1 DECIMAL(19,4),
    Unit2 NVARCHAR(20), Price2 DECIMAL(19,4), Cost2 DECIMAL(19,4), VPrice2 DECIMAL(19,4),
    Unit3 NVARCHAR(20), Price3 DECIMAL(19,4), Cost3 DECIMAL(19,4), VPrice3 DECIMAL(19,4));
CREATE TABLE TEMPHallTable (HallName NVARCHAR(50), TableID NVARCHAR(10), TableName NVARCHAR(50));
CREATE TABLE TEMPMenuAnnotate (AnnotateTypeName NVARCHAR(50), Annotatename NVARCHAR(50));
)sql";

const char* const kCurrentRows = R"sql(
INSERT INTO TEMPMenu
SELECT menu.ID, menu.Name, menu.FirstLetter, Category.Name, STCA.SCNA,
       menu.Unit1, menu.Price1, menu.Cost1, menu.VPrice1,
       menu.Unit2, menu.Price2, menu.Cost2, menu.VPrice2,
       menu.Unit3, menu.Price3, menu.Cost3, menu.VPrice3
  FROM menu, STCA, Category
 WHERE menu.SCSN = STCA.SCSN AND menu.CategoryID = Category.ID
 ORDER BY menu.ID;
INSERT INTO TEMPHallTable
SELECT Hall.Name, tables.Code, tables.Name FROM tables, Hall
 WHERE tables.Hallid = Hall.ID ORDER BY tables.ID;
INSERT INTO TEMPMenuAnnotate
SELECT AnnotateType.Name, Annotate.Name FROM AnnotateType, Annotate
 WHERE AnnotateType.ID = Annotate.AnnotateTypeID ORDER BY Annotate.AnnotateTypeID, Annotate.ID;
)sql";

class SqliteFile {
public:
    explicit SqliteFile(const std::string& path) {
        if (sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
            std::string message = sqlite3_errmsg(m_db);
            sqlite3_close(m_db);
            throw std::runtime_error("cannot open " + path + ": " + message);
        }
        sqlite3_busy_timeout(m_db, 5000);
    }
    ~SqliteFile() { sqlite3_close(m_db); }
    SqliteFile(const SqliteFile&) = delete;
    SqliteFile& operator=(const SqliteFile&) = delete;
    sqlite3* get() const { return m_db; }

private:
    sqlite3* m_db = nullptr;
};

}  // namespace

std::string readTextFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

StoreFixture::StoreFixture(bool withDemoData, std::string database,
                           decltype(db::ConnectionSettings::wrapBackend) wrapBackend)
    : m_folder(std::in_place, "pos-store"),
      m_storeDir(m_folder->path().string()),
      m_database(std::move(database)) {
    std::vector<std::string> scripts{readTextFile(POS_SOURCE_DIR "/sql/schema_sqlite.sql")};
    if (withDemoData) {
        scripts.push_back(readTextFile(POS_SOURCE_DIR "/sql/demo_data.sql"));
    }
    db::createStoreDatabase(m_storeDir, m_database, scripts);
    db::ConnectionSettings settings;
    settings.wrapBackend = std::move(wrapBackend);
    connect(m_database, std::move(settings));
}

StoreFixture::StoreFixture(const std::vector<std::string>& scripts, std::string database,
                           std::string storeDir)
    : m_storeDir(std::move(storeDir)), m_database(std::move(database)) {
    if (m_storeDir.empty()) {
        m_folder.emplace("pos-store");
        m_storeDir = m_folder->path().string();
    }
    db::createStoreDatabase(m_storeDir, m_database, scripts);
    connect("master", db::ConnectionSettings{});
}

void StoreFixture::reconnect(db::ConnectionSettings settings) {
    connect(std::string(m_catalog), std::move(settings));
}

void StoreFixture::connect(const std::string& catalog, db::ConnectionSettings settings) {
    settings.storeDir = m_storeDir;
    m_catalog = catalog;
    m_connQuery.reset();
    m_connection = std::make_unique<db::Connection>(settings);
    m_connection->setConnectionText(
        "Provider=SQLOLEDB.1;Integrated Security=SSPI;Persist Security Info=False;"
        "Initial Catalog=" +
        catalog + ";Data Source=.");
    m_connection->connect();
    m_connQuery = std::make_unique<db::Query>(*m_connection);
}

StoreFixture::~StoreFixture() {
    m_connQuery.reset();
    m_connection.reset();
}

std::vector<std::string> StoreFixture::views() {
    transfer::executePreamble(*m_connQuery, m_database);
    transfer::openStatement(*m_connQuery,
                            "select name from sqlite_master where type = 'view' order by name");
    std::vector<std::string> names;
    for (; !m_connQuery->eof(); m_connQuery->next()) {
        names.push_back(m_connQuery->fieldAsText("name"));
    }
    m_connQuery->close();
    return names;
}

void StoreFixture::createStagingTables() {
    exec(kStagingTables);
}

void StoreFixture::stageCurrentRows() {
    exec(kCurrentRows);
}

void StoreFixture::exec(const std::string& sql) const {
    SqliteFile file(databasePath());
    char* error = nullptr;
    if (sqlite3_exec(file.get(), sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        std::string message = error ? error : "unknown error";
        sqlite3_free(error);
        throw std::runtime_error(message + " in: " + sql);
    }
}

std::vector<std::vector<std::string>> StoreFixture::rows(const std::string& sql) const {
    SqliteFile file(databasePath());
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(file.get(), sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
        throw std::runtime_error(std::string(sqlite3_errmsg(file.get())) + " in: " + sql);
    }
    std::vector<std::vector<std::string>> result;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        std::vector<std::string> row;
        for (int i = 0; i < sqlite3_column_count(statement); ++i) {
            const unsigned char* text = sqlite3_column_text(statement, i);
            row.emplace_back(text ? reinterpret_cast<const char*>(text) : "NULL");
        }
        result.push_back(std::move(row));
    }
    std::string message = sqlite3_errmsg(file.get());
    sqlite3_finalize(statement);
    if (rc != SQLITE_DONE) {
        throw std::runtime_error(message + " in: " + sql);
    }
    return result;
}

std::string StoreFixture::scalar(const std::string& sql) const {
    auto result = rows(sql);
    return result.empty() || result[0].empty() ? std::string() : result[0][0];
}

int StoreFixture::count(const std::string& table) const {
    return std::stoi(scalar("SELECT count(*) FROM " + table));
}

std::map<std::string, std::vector<std::vector<std::string>>> StoreFixture::pointOfSaleTables()
    const {
    std::map<std::string, std::vector<std::vector<std::string>>> tables;
    for (const char* t :
         {"Category", "STCA", "Unit", "menu", "Hall", "tables", "AnnotateType", "Annotate"}) {
        tables[t] = rows(std::string("select * from ") + t + " order by 1, 2");
    }
    return tables;
}

std::string scalarOf(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_busy_timeout(db, 5000);
    sqlite3_stmt* st = nullptr;
    std::string value;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW && sqlite3_column_text(st, 0)) {
        value = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return value;
}

}  // namespace pos::testing

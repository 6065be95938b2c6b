// One open file of the store and the results read lazily from it: the
// connection with its name collation and authorizer, the statement cache,
// and what keeps a lazy result valid while other statements run. Shared by
// the back end and every lazy result, so a result survives a switch to
// another database.
#pragma once

#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "db/Backend.h"
#include "db/DbError.h"
#include "db/SqliteStatements.h"
#include "db/SqliteValues.h"

namespace pos::db::store {

// The kind of a store error, from the extended result code of the call that
// failed and, for a CHECK, the name of the constraint (`text`). A file that
// cannot be opened counts as read-only when it, or its folder, may not be
// written.
DbFault storeFault(int code, const char* text, bool writable);

// Whether the file at `path` (when there is one) and its folder may be written.
bool writable(const std::string& path);

// The reason for the error that the last call on `db` returned (`rc` when
// there is no connection), the library's own text in parentheses.
std::string storeReason(sqlite3* db, int rc, const std::string& path = {});

// How a message names a database of the store: 数据库“NAME”, or 本地数据库
// before any database is chosen.
std::string storeSubject(const std::string& name);

// Makes the name collation known to a connection; it lives only there, never
// in a schema.
int registerNameCollation(sqlite3* db);

// Reads the open file's journal mode into `wal` (whether it is WAL); asking
// writes nothing, and a file that is no database fails here.
int readWalMode(sqlite3* db, bool& wal);

class LazyCursor;

// One open database file of the store, or the in-memory stand-in for "no
// database selected yet". Shared by the back end and by every lazy result
// read from it, so a result survives a switch to another database.
class SqliteFile {
public:
    SqliteFile(std::string name, const std::string& path, int busyTimeoutSeconds)
        : m_name(std::move(name)) {
        // No memory statistics: they cost a global lock on every allocation
        // of the library; refused (and harmless) once the library has
        // started. A savepoint's journal keeps the library's own limit for
        // memory (64 KiB, then a temporary file): with 1 or 8 MiB a dry run
        // of 60,000 dishes, all inside one transaction, failed as "database
        // or disk is full" on a disk with room to spare.
        static std::once_flag once;
        std::call_once(once, [] { sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0); });
        // No mutex of the library's own on the connection (a tenth of an
        // export's instructions): one thread at a time uses a connection
        // (the window's between transfers, its worker's during one, the
        // worker started and joined around it), as the statement cache and
        // the list of open results here, which nothing guards, require anyway.
        int rc = sqlite3_open_v2(
            path.c_str(), &m_db,
            SQLITE_OPEN_READWRITE | SQLITE_OPEN_EXRESCODE | SQLITE_OPEN_NOMUTEX, nullptr);
        if (rc == SQLITE_OK) {
            sqlite3_busy_timeout(m_db, busyTimeoutSeconds * 1000);
            rc = registerNameCollation(m_db);
        }
        // The journal mode belongs to the file and is set when the store
        // creates a database: setting it here would write to a file that a
        // command only reads, and make an empty file a database. Syncing
        // less often is safe in WAL mode only.
        if (rc == SQLITE_OK) {
            // A page cache of up to 32 MiB (the library's 2 MiB holds a tenth
            // of an import of 60,000 dishes, whose pages it then writes out
            // and reads back several times within one transaction), and
            // statement journals in memory: a statement that inserts
            // thousands of rows journals each index page it changes, and
            // the library writes more than 64 KiB of them to a temporary
            // file.
            rc = sqlite3_exec(m_db,
                              "PRAGMA foreign_keys=ON; PRAGMA cache_size=-32768; "
                              "PRAGMA temp_store=MEMORY",
                              nullptr, nullptr, nullptr);
        }
        bool wal = false;
        if (rc == SQLITE_OK) {
            rc = readWalMode(m_db, wal);
        }
        if (rc == SQLITE_OK && wal) {
            rc = sqlite3_exec(m_db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
        }
        if (rc != SQLITE_OK) {
            std::string reason = storeReason(m_db, rc, path);
            sqlite3_close(m_db);
            m_db = nullptr;
            throw DbError(storeSubject(m_name) + "无法打开，文件" + path + "：" + reason);
        }
        sqlite3_set_authorizer(m_db, authorize, this);
    }

    ~SqliteFile() {
        m_cache.clear();
        m_schemaVersionStmt.reset();
        sqlite3_close_v2(m_db);
    }

    SqliteFile(const SqliteFile&) = delete;
    SqliteFile& operator=(const SqliteFile&) = delete;

    sqlite3* db() const { return m_db; }
    const std::string& name() const { return m_name; }

    // A message for the error that the last call on this file returned.
    [[noreturn]] void fail(int rc) const {
        throw DbError(storeSubject(m_name) + "：" + storeReason(m_db, rc),
                      storeFault(m_db ? sqlite3_extended_errcode(m_db) : rc,
                                 m_db ? sqlite3_errmsg(m_db) : sqlite3_errstr(rc), writable({})));
    }

    void execSimple(const char* sql) {
        char* err = nullptr;
        int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, &err);
        sqlite3_free(err);
        if (rc != SQLITE_OK) {
            fail(rc);
        }
    }

    // Lets statements call `function` as `name` (Backend::defineFunction);
    // false when the library refuses.
    bool defineFunction(const std::string& name, int arity,
                        std::shared_ptr<const ScalarFunction> function);

    // The statement cache (SqliteStatements.h).
    std::unique_ptr<PreparedChunk> acquire(const std::string& text) {
        return m_cache.acquire(text);
    }
    void release(std::unique_ptr<PreparedChunk> chunk) { m_cache.release(std::move(chunk)); }

    // Prepares the first statement of `sql` and learns what it reads and
    // writes into `tables`.
    int prepare(const char* sql, int length, sqlite3_stmt** stmt, const char** tail,
                StatementTables& tables) {
        tables = StatementTables{};
        tables.generation = m_generation;
        m_collecting = &tables;
        int rc = sqlite3_prepare_v3(m_db, sql, length, SQLITE_PREPARE_PERSISTENT, stmt, tail);
        m_collecting = nullptr;
        return rc;
    }

    // Learns again what a statement prepared under an older schema touches:
    // the library prepares it again by itself, and a trigger or view made
    // since may have changed its tables.
    void relearn(sqlite3_stmt* stmt, StatementTables& tables) {
        sqlite3_stmt* fresh = nullptr;
        const char* sql = sqlite3_sql(stmt);
        const int rc = prepare(sql ? sql : "", -1, &fresh, nullptr, tables);
        const StatementHandle freshHandle(fresh);
        if (rc != SQLITE_OK || !fresh) {
            tables.unknownWrites = true;
            tables.unknownReads = true;
        }
    }

    // Lazy results must not be read on while a statement of this connection
    // changes their tables (they could see the change half done), nor when a
    // rollback aborts them. Before `stmt` runs, the results it could affect
    // are read to the end into memory; the others stay lazy. A rollback
    // leaves pending reads valid unless the schema changed in the
    // transaction, but it changes back the tables written in it; any write
    // may end in a rollback of the whole transaction (a full disk), so a
    // write counts the tables written earlier in the transaction too.
    void beforeStatement(sqlite3_stmt* stmt, StatementTables& tables) {
        if (tables.generation != m_generation) {
            relearn(stmt, tables);
        }
        if (sqlite3_get_autocommit(m_db)) {
            transactionEnded();
        }
        if (tables.rollback) {
            materialiseReadersOf(m_writtenInTransaction, m_transactionUnknown);
            return;
        }
        if (sqlite3_stmt_readonly(stmt)) {
            return;
        }
        if (tables.unknownWrites || tables.writes.empty()) {
            m_transactionUnknown = true;
        }
        for (const TableRef& t : tables.writes) {
            if (!touches(m_writtenInTransaction, t)) {
                m_writtenInTransaction.push_back(t);
            }
        }
        if (tables.schema) {
            ++m_generation;
        }
        materialiseReadersOf(m_writtenInTransaction, m_transactionUnknown);
    }
    // Before a rollback that the back end itself sends.
    void beforeRollback() { materialiseReadersOf(m_writtenInTransaction, m_transactionUnknown); }
    void transactionEnded() {
        m_writtenInTransaction.clear();
        m_transactionUnknown = false;
    }

    // Called when `first` has read its first row and no other lazy result
    // is open: the read that began then may see a schema that another
    // program changed since the cached statements were prepared, and they
    // are learned again before they next run. While a lazy result is open
    // its read holds the schema still, except for this connection's own
    // changes, which are counted as they run.
    void checkSchema(sqlite3_stmt* first, StatementTables& tables);

    void addCursor(LazyCursor* c) { m_cursors.push_back(c); }
    void removeCursor(LazyCursor* c) {
        m_cursors.erase(std::remove(m_cursors.begin(), m_cursors.end(), c), m_cursors.end());
    }
    // Whether a lazy result other than `c` is still being read.
    bool otherCursorOpen(const LazyCursor* c) const;

private:
    static int authorize(void* self, int action, const char* arg1, const char*,
                         const char* database, const char*) {
        auto* file = static_cast<SqliteFile*>(self);
        if (file->m_collecting) {
            file->m_collecting->record(action, arg1, database);
        }
        return SQLITE_OK;
    }

    // Reads to the end the lazy results that read one of `tables`, or all
    // of them with `all`.
    void materialiseReadersOf(const std::vector<TableRef>& tables, bool all);

    std::string m_name;
    sqlite3* m_db = nullptr;
    StatementCache m_cache;
    std::vector<LazyCursor*> m_cursors;
    StatementTables* m_collecting = nullptr;
    std::uint64_t m_generation = 0;
    std::vector<TableRef> m_writtenInTransaction;
    bool m_transactionUnknown = false;  // a write whose tables are not known
    StatementHandle m_schemaVersionStmt;
    std::int64_t m_schemaVersion = -1;
};

// A result read row by row from its statement as the caller walks it. The
// statement goes back to the cache when the last row has been read.
class LazyCursor : public Cursor {
public:
    LazyCursor(std::shared_ptr<SqliteFile> file, std::unique_ptr<PreparedChunk> chunk,
               sqlite3_stmt* stmt, StatementTables* tables)
        : m_file(std::move(file)),
          m_chunk(std::move(chunk)),
          m_stmt(stmt),
          m_tables(tables),
          m_writes(!sqlite3_stmt_readonly(stmt)),
          m_columns(columnNamesOf(stmt)) {
        m_file->addCursor(this);
    }
    ~LazyCursor() override {
        m_file->removeCursor(this);
        finish();
    }
    LazyCursor(const LazyCursor&) = delete;
    LazyCursor& operator=(const LazyCursor&) = delete;

    // Reads the first row at once, so that the result's read begins with
    // the schema its tables were learned under.
    void start() {
        std::vector<Value> row;
        if (step(row)) {
            m_buffer.push_back(std::move(row));
            if (!m_file->otherCursorOpen(this)) {
                m_file->checkSchema(m_stmt, *m_tables);
            }
        }
    }

    const std::vector<std::string>& columnNames() const override { return m_columns; }

    bool fetch(std::vector<Value>& row) override {
        if (!m_buffer.empty()) {
            row = std::move(m_buffer.front());
            m_buffer.pop_front();
            return true;
        }
        return m_stmt && step(row);
    }

    void readDecimalsAsStored() override {
        if (!m_stmt) {
            return;  // every row is read already: they keep their digits
        }
        if (m_kinds.empty()) {
            m_kinds = columnKinds(m_stmt);
        }
        for (ColumnKind& kind : m_kinds) {
            kind.decimal = false;
        }
        // The row that start() read is still the statement's current one.
        if (m_buffer.size() == 1) {
            readRow(m_stmt, m_kinds, m_buffer.front());
        }
    }

    // Whether the statement is still being read.
    bool open() const { return m_stmt != nullptr; }

    // Whether the statement still being read reads one of `tables`. One
    // that writes (INSERT ... RETURNING) counts as reading every table: a
    // rollback aborts it in any case.
    bool reads(const std::vector<TableRef>& tables) const {
        return m_stmt && (m_writes || m_tables->unknownReads ||
                          std::any_of(m_tables->reads.begin(), m_tables->reads.end(),
                                      [&](const TableRef& t) { return touches(tables, t); }));
    }

    // Reads every remaining row into memory and lets the statement go.
    void materialise() {
        std::vector<Value> row;
        while (m_stmt && step(row)) {
            m_buffer.push_back(std::move(row));
        }
    }

private:
    bool step(std::vector<Value>& row) {
        int rc = sqlite3_step(m_stmt);
        if (rc == SQLITE_ROW) {
            readRow(m_stmt, m_kinds, row);
            return true;
        }
        if (rc == SQLITE_DONE) {
            finish();
            return false;
        }
        std::shared_ptr<SqliteFile> file = m_file;
        finish();
        file->fail(rc);
    }
    void finish() {
        m_stmt = nullptr;
        m_tables = nullptr;
        if (m_chunk) {
            m_file->release(std::move(m_chunk));
        }
    }

    std::shared_ptr<SqliteFile> m_file;
    std::unique_ptr<PreparedChunk> m_chunk;
    sqlite3_stmt* m_stmt;
    StatementTables* m_tables;  // in m_chunk, while the statement is read
    bool m_writes;
    std::vector<std::string> m_columns;
    std::vector<ColumnKind> m_kinds;
    std::deque<std::vector<Value>> m_buffer;
};

}  // namespace pos::db::store

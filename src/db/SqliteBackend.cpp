// The embedded store back end: the server commands the program sends, the
// statement cache, lazy results, and the files of the store folder.
#include "db/SqliteBackend.h"

#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdio.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "common/AppFolders.h"
#include "common/AtomicFile.h"
#include "common/Files.h"
#include "common/IsoDate.h"
#include "common/Text.h"
#include "db/DbError.h"
#include "db/MemoryCursor.h"
#include "db/SqliteDialect.h"

namespace fs = std::filesystem;

namespace pos::db {

namespace {

// A table as the library names it to the authorizer: the database ("main",
// "temp", an attached name; empty when it says none) and the table, both in
// lower case, as names compare without regard to ASCII letter case.
struct TableRef {
    std::string database;
    std::string table;
};

bool sameTable(const TableRef& a, const TableRef& b) {
    return a.table == b.table &&
           (a.database.empty() || b.database.empty() || a.database == b.database);
}

bool touches(const std::vector<TableRef>& tables, const TableRef& t) {
    return std::any_of(tables.begin(), tables.end(),
                       [&](const TableRef& u) { return sameTable(u, t); });
}

void addTable(std::vector<TableRef>& tables, const char* database, const char* table) {
    TableRef t{database ? asciiLower(database) : std::string(), asciiLower(table)};
    if (std::none_of(tables.begin(), tables.end(), [&](const TableRef& u) {
            return u.table == t.table && u.database == t.database;
        })) {
        tables.push_back(std::move(t));
    }
}

// What one prepared statement reads and writes, learned from the authorizer
// while the library prepares it; trigger bodies and foreign key actions are
// reported too.
struct StatementTables {
    std::vector<TableRef> reads;
    std::vector<TableRef> writes;
    bool unknownReads = false;     // what it reads could not be learned
    bool unknownWrites = false;    // an action that names no table it changes
    bool schema = false;           // creates, drops or alters something
    bool rollback = false;         // ROLLBACK, or ROLLBACK TO a savepoint
    std::uint64_t generation = 0;  // of the schema it was learned under

    void record(int action, const char* arg1, const char* database) {
        switch (action) {
            case SQLITE_READ:
                if (arg1) {
                    addTable(reads, database, arg1);
                }
                break;
            case SQLITE_INSERT:
            case SQLITE_UPDATE:
            case SQLITE_DELETE:
                if (arg1) {
                    addTable(writes, database, arg1);
                } else {
                    unknownWrites = true;
                }
                break;
            case SQLITE_TRANSACTION:
            case SQLITE_SAVEPOINT:
                if (arg1 && equalsIgnoreCase(arg1, "ROLLBACK")) {
                    rollback = true;
                }
                break;
            case SQLITE_SELECT:
            case SQLITE_FUNCTION:
            case SQLITE_RECURSIVE:
            case SQLITE_PRAGMA:
                // A pragma that writes leaves the statement not read-only
                // with no table named, which counts as unknown.
                break;
            default:
                // Tables, indexes, views and triggers made or dropped,
                // ALTER, ATTACH, ANALYZE, ...
                schema = true;
                unknownWrites = true;
                break;
        }
    }
};

// The statement texts of one batch part, prepared one by one as they run (a
// later statement may name a table that an earlier one creates) and kept for
// the next time the same text comes.
struct PreparedChunk {
    std::string text;
    std::vector<sqlite3_stmt*> statements;
    std::vector<StatementTables> tables;  // one for each statement
    std::size_t nextOffset = 0;           // where the text not yet prepared begins
    bool complete = false;

    ~PreparedChunk() {
        for (sqlite3_stmt* s : statements) {
            sqlite3_finalize(s);
        }
    }
    void reset() {
        for (sqlite3_stmt* s : statements) {
            sqlite3_reset(s);
            sqlite3_clear_bindings(s);
        }
    }
};

class LazyCursor;

// The kind of a store error, from the extended result code of the call that
// failed and, for a CHECK, the name of the constraint (`text`). A file that
// cannot be opened counts as read-only when it, or its folder, may not be
// written.
DbFault storeFault(int code, const char* text, bool writable) {
    switch (code) {
        case SQLITE_CONSTRAINT_CHECK:
            return text && failedLengthCheck(text) ? DbFault::TextTooLong : DbFault::Refused;
        case SQLITE_CONSTRAINT_DATATYPE:
            return DbFault::TypeMismatch;
        case SQLITE_CONSTRAINT_NOTNULL:
            return DbFault::MissingValue;
        case SQLITE_CONSTRAINT_UNIQUE:
        case SQLITE_CONSTRAINT_PRIMARYKEY:
        case SQLITE_CONSTRAINT_ROWID:
            return DbFault::DuplicateKey;
        default:
            break;
    }
    switch (code & 0xff) {
        case SQLITE_MISMATCH:
            return DbFault::TypeMismatch;
        case SQLITE_CONSTRAINT:
            return DbFault::Refused;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return DbFault::Busy;
        case SQLITE_FULL:
            return DbFault::DiskFull;
        case SQLITE_IOERR:
            return DbFault::DiskIo;
        case SQLITE_READONLY:
            return DbFault::ReadOnly;
        case SQLITE_CANTOPEN:
            return writable ? DbFault::CannotOpen : DbFault::ReadOnly;
        case SQLITE_NOTADB:
        case SQLITE_CORRUPT:
            return DbFault::Damaged;
        default:
            return DbFault::Other;
    }
}

// Whether the file at `path` (when there is one) and its folder may be written.
bool writable(const std::string& path) {
    if (path.empty() || path == ":memory:") {
        return true;
    }
    const std::string folder = fs::path(path).parent_path().string();
    return ::access(folder.empty() ? "." : folder.c_str(), W_OK) == 0 &&
           (::access(path.c_str(), F_OK) != 0 || ::access(path.c_str(), W_OK) == 0);
}

// The reason for the error that the last call on `db` returned (`rc` when
// there is no connection), the library's own text in parentheses.
std::string storeReason(sqlite3* db, int rc, const std::string& path = {}) {
    const int code = db ? sqlite3_extended_errcode(db) : rc;
    const char* text = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    const DbFault fault = storeFault(code, text, writable(path));
    if (fault == DbFault::TextTooLong) {
        const std::optional<LengthCheck> check = failedLengthCheck(text);
        return faultReason(
            fault, text,
            "列" + check->column + "最多" + std::to_string(check->maxLength) + "个字符");
    }
    return faultReason(fault, text ? text : "");
}

// What a database name of the store may be, for the messages that refuse one.
const char* const kNameRule = "名称不能为空，不能是“.”或“..”，也不能含有“/”或控制字符。";

// How a message names a database of the store: 数据库“NAME”, or 本地数据库
// before any database is chosen.
std::string storeSubject(const std::string& name) {
    return name.empty() ? std::string("本地数据库") : "数据库“" + name + "”";
}

// The order of kNameCollation: the texts without their trailing spaces,
// compared byte by byte with the ASCII letters in lower case, a text that is
// the start of the other first. Tabs, leading and inner blanks and letters
// outside ASCII compare as they are.
int compareNames(void*, int lengthA, const void* a, int lengthB, const void* b) {
    const auto* textA = static_cast<const unsigned char*>(a);
    const auto* textB = static_cast<const unsigned char*>(b);
    while (lengthA > 0 && textA[lengthA - 1] == ' ') {
        --lengthA;
    }
    while (lengthB > 0 && textB[lengthB - 1] == ' ') {
        --lengthB;
    }
    auto folded = [](unsigned char c) -> unsigned char {
        return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c;
    };
    const int common = std::min(lengthA, lengthB);
    for (int i = 0; i < common; ++i) {
        const unsigned char x = folded(textA[i]);
        const unsigned char y = folded(textB[i]);
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return lengthA < lengthB ? -1 : lengthA > lengthB ? 1 : 0;
}

// Makes kNameCollation known to a connection; it lives only there, never in
// a schema.
int registerNameCollation(sqlite3* db) {
    return sqlite3_create_collation(db, kNameCollation, SQLITE_UTF8, nullptr, compareNames);
}

// Reads the open file's journal mode into `wal` (whether it is WAL); asking
// writes nothing, and a file that is no database fails here.
int readWalMode(sqlite3* db, bool& wal) {
    wal = false;
    return sqlite3_exec(
        db, "PRAGMA journal_mode",
        [](void* out, int columns, char** values, char**) {
            *static_cast<bool*>(out) =
                columns > 0 && values[0] && equalsIgnoreCase(values[0], "wal");
            return 0;
        },
        &wal, nullptr);
}

// One open database file of the store, or the in-memory stand-in for "no
// database selected yet". Shared by the back end and by every lazy result
// read from it, so a result survives a switch to another database.
class SqliteFile {
public:
    SqliteFile(std::string name, const std::string& path, int busyTimeoutSeconds)
        : m_name(std::move(name)) {
        // No memory statistics: they cost a global lock on every allocation
        // of the library. Refused (and harmless) once the library has started.
        static std::once_flag once;
        std::call_once(once, [] { sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0); });
        int rc = sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_EXRESCODE,
                                 nullptr);
        if (rc == SQLITE_OK) {
            sqlite3_busy_timeout(m_db, busyTimeoutSeconds * 1000);
            rc = registerNameCollation(m_db);
        }
        // The journal mode belongs to the file and is set when the store
        // creates a database: setting it here would write to a file that a
        // command only reads, and make an empty file a database. Syncing
        // less often is safe in WAL mode only.
        if (rc == SQLITE_OK) {
            rc = sqlite3_exec(m_db, "PRAGMA foreign_keys=ON", nullptr, nullptr, nullptr);
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
        sqlite3_finalize(m_schemaVersionStmt);
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

    // Takes a prepared chunk for the text out of the cache, or makes one. A
    // chunk out on loan leaves an empty slot under its text.
    std::unique_ptr<PreparedChunk> acquire(const std::string& text) {
        auto it = m_cache.find(text);
        if (it != m_cache.end() && it->second) {
            return std::move(it->second);
        }
        auto chunk = std::make_unique<PreparedChunk>();
        chunk->text = text;
        return chunk;
    }

    // Gives a chunk back for reuse; the cache keeps one chunk per text and a
    // bounded number of texts.
    void release(std::unique_ptr<PreparedChunk> chunk) {
        if (!chunk) {
            return;
        }
        chunk->reset();
        auto it = m_cache.find(chunk->text);
        if (it != m_cache.end()) {
            if (!it->second) {
                it->second = std::move(chunk);
            }
            return;
        }
        if (m_cache.size() >= kCacheLimit) {
            m_cache.clear();
        }
        std::string key = chunk->text;
        m_cache.emplace(std::move(key), std::move(chunk));
    }

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
        if (prepare(sql ? sql : "", -1, &fresh, nullptr, tables) != SQLITE_OK || !fresh) {
            tables.unknownWrites = true;
            tables.unknownReads = true;
        }
        sqlite3_finalize(fresh);
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

    static constexpr std::size_t kCacheLimit = 256;
    std::string m_name;
    sqlite3* m_db = nullptr;
    std::unordered_map<std::string, std::unique_ptr<PreparedChunk>> m_cache;
    std::vector<LazyCursor*> m_cursors;
    StatementTables* m_collecting = nullptr;
    std::uint64_t m_generation = 0;
    std::vector<TableRef> m_writtenInTransaction;
    bool m_transactionUnknown = false;  // a write whose tables are not known
    sqlite3_stmt* m_schemaVersionStmt = nullptr;
    std::int64_t m_schemaVersion = -1;
};

// Whether the declared type holds one of the (lower-case) words, letter case
// aside.
bool declaredAs(std::string_view lowerDeclType, std::initializer_list<std::string_view> words) {
    return std::any_of(words.begin(), words.end(), [&](std::string_view w) {
        return lowerDeclType.find(w) != std::string_view::npos;
    });
}

// How a column's values are handed back, from the words of its declared type.
struct ColumnKind {
    bool boolean = false;   // "bit", "bool"
    bool decimal = false;   // "dec", "numeric", "money"
    bool dateTime = false;  // "date", "time"
};

ColumnKind columnKind(const char* declType) {
    ColumnKind kind;
    if (!declType) {
        return kind;
    }
    const std::string lower = asciiLower(declType);
    kind.boolean = declaredAs(lower, {"bit", "bool"});
    kind.decimal = declaredAs(lower, {"dec", "numeric", "money"});
    kind.dateTime = declaredAs(lower, {"date", "time"});
    return kind;
}

std::vector<ColumnKind> columnKinds(sqlite3_stmt* s) {
    std::vector<ColumnKind> kinds;
    const int n = sqlite3_column_count(s);
    kinds.reserve(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        kinds.push_back(columnKind(sqlite3_column_decltype(s, i)));
    }
    return kinds;
}

// A column of the current row, read with the column's declared type in mind
// so that the store hands back what SQL Server would: DATE/TIME columns give
// dates, BIT/BOOL columns booleans, DECIMAL/NUMERIC/MONEY columns exact
// decimals. Anything else keeps its storage class.
Value columnValue(sqlite3_stmt* s, int i, ColumnKind kind) {
    switch (sqlite3_column_type(s, i)) {
        case SQLITE_NULL:
            return Value::null();
        case SQLITE_INTEGER: {
            std::int64_t v = sqlite3_column_int64(s, i);
            if (kind.boolean && (v == 0 || v == 1)) {
                return Value::boolean(v == 1);
            }
            if (kind.decimal) {
                return Value::decimal(std::to_string(v));
            }
            return Value::integer(v);
        }
        case SQLITE_FLOAT: {
            double v = sqlite3_column_double(s, i);
            if (kind.decimal) {
                return Value::decimal(formatFloat(v));
            }
            return Value::floating(v);
        }
        default: {
            const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s, i));
            std::string text(p ? p : "", static_cast<std::size_t>(sqlite3_column_bytes(s, i)));
            if (kind.dateTime) {
                if (std::optional<DateTime> dt = parseIsoDateTime(text, IsoTail::None)) {
                    return Value::dateTime(*dt);
                }
            }
            return Value::text(std::move(text));
        }
    }
}

// Binds the batch's values to the statement's ":Name" markers, names matched
// without regard to letter case. A decimal binds as text: a numeric column's
// affinity turns it into a number, and a text column keeps the digits exactly,
// where binding a double would round the amount before any column saw it.
void bindParameters(const SqliteFile& file, sqlite3_stmt* s, const Parameters& params) {
    int count = sqlite3_bind_parameter_count(s);
    // Names are unique without regard to letter case, so where the search
    // starts does not change what it finds; the values usually come in the
    // markers' order, so it starts after the last one found.
    std::size_t hint = 0;
    for (int i = 1; i <= count; ++i) {
        const char* marker = sqlite3_bind_parameter_name(s, i);
        if (!marker || marker[0] != ':') {
            throw DbError(std::string("语句中的参数") + (marker ? marker : "?") +
                          "不是命名参数，只支持:Name形式的参数。");
        }
        const std::string_view name(marker + 1);
        const Value* found = nullptr;
        for (std::size_t k = 0; k < params.size() && !found; ++k) {
            const std::size_t at = (hint + k) % params.size();
            if (params[at].first.size() == name.size() &&
                equalsIgnoreCase(params[at].first, name)) {
                found = &params[at].second;
                hint = at + 1;
            }
        }
        if (!found) {
            throw DbError("没有给参数:" + std::string(name) + "提供值。");
        }
        const Value& v = *found;
        int rc = SQLITE_OK;
        switch (v.type()) {
            case ValueType::Null:
                rc = sqlite3_bind_null(s, i);
                break;
            case ValueType::Integer:
                rc = sqlite3_bind_int64(s, i, v.asInteger());
                break;
            case ValueType::Float:
                rc = sqlite3_bind_double(s, i, v.asFloat());
                break;
            case ValueType::Boolean:
                rc = sqlite3_bind_int(s, i, v.asBoolean() ? 1 : 0);
                break;
            case ValueType::DateTime:
                rc = sqlite3_bind_text(s, i,
                                       formatIsoDateTime(v.asDateTime(), IsoForm::DateTime).c_str(),
                                       -1, SQLITE_TRANSIENT);
                break;
            case ValueType::Text: {
                const std::string& t = v.asText();
                rc =
                    sqlite3_bind_text(s, i, t.data(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
                break;
            }
            case ValueType::Decimal:
            case ValueType::Error: {
                std::string t = v.toText();
                rc =
                    sqlite3_bind_text(s, i, t.data(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
                break;
            }
        }
        if (rc != SQLITE_OK) {
            file.fail(rc);
        }
    }
}

std::vector<std::string> columnNamesOf(sqlite3_stmt* s) {
    std::vector<std::string> names;
    int n = sqlite3_column_count(s);
    for (int i = 0; i < n; ++i) {
        const char* c = sqlite3_column_name(s, i);
        names.emplace_back(c ? c : "");
    }
    return names;
}

// The current row; `kinds` is filled from the statement on the first row, as
// the declared types are those of the statement as it ran.
void readRow(sqlite3_stmt* s, std::vector<ColumnKind>& kinds, std::vector<Value>& row) {
    if (kinds.empty()) {
        kinds = columnKinds(s);
    }
    const int n = static_cast<int>(kinds.size());
    row.clear();
    row.reserve(kinds.size());
    for (int i = 0; i < n; ++i) {
        row.push_back(columnValue(s, i, kinds[static_cast<std::size_t>(i)]));
    }
}

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

void SqliteFile::materialiseReadersOf(const std::vector<TableRef>& tables, bool all) {
    for (LazyCursor* c : m_cursors) {
        if (all ? c->open() : c->reads(tables)) {
            c->materialise();
        }
    }
}

bool SqliteFile::otherCursorOpen(const LazyCursor* c) const {
    return std::any_of(m_cursors.begin(), m_cursors.end(),
                       [&](const LazyCursor* other) { return other != c && other->open(); });
}

void SqliteFile::checkSchema(sqlite3_stmt* first, StatementTables& tables) {
    if (!m_schemaVersionStmt &&
        sqlite3_prepare_v3(m_db, "PRAGMA schema_version", -1, SQLITE_PREPARE_PERSISTENT,
                           &m_schemaVersionStmt, nullptr) != SQLITE_OK) {
        ++m_generation;  // not known: every statement is learned again
    } else if (sqlite3_step(m_schemaVersionStmt) == SQLITE_ROW) {
        const std::int64_t version = sqlite3_column_int64(m_schemaVersionStmt, 0);
        if (version != m_schemaVersion) {
            m_schemaVersion = version;
            ++m_generation;
        }
    } else {
        ++m_generation;
    }
    if (m_schemaVersionStmt) {
        sqlite3_reset(m_schemaVersionStmt);
    }
    if (tables.generation != m_generation) {
        relearn(first, tables);
    }
}

// Whether SQL text holds nothing but blanks, semicolons and comments.
bool isEmptySql(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        char c = s[i];
        if (static_cast<unsigned char>(c) <= ' ' || c == ';') {
            ++i;
        } else if (s.substr(i, 2) == "--") {
            std::size_t e = s.find('\n', i);
            i = e == std::string_view::npos ? s.size() : e + 1;
        } else if (s.substr(i, 2) == "/*") {
            std::size_t e = s.find("*/", i + 2);
            i = e == std::string_view::npos ? s.size() : e + 2;
        } else {
            return false;
        }
    }
    return true;
}

std::vector<std::string> splitWords(const std::string& line) {
    std::vector<std::string> words;
    std::string cur;
    for (char c : line) {
        if (static_cast<unsigned char>(c) <= ' ') {
            if (!cur.empty()) {
                words.push_back(std::move(cur));
                cur.clear();
            }
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) {
        words.push_back(std::move(cur));
    }
    return words;
}

// The database name of a " use NAME" line: "NAME" with doubled inner quotes,
// [NAME] with doubled closing brackets, or a bare word.
std::string parseUseName(const std::string& line) {
    std::string rest = trimmed(trimmed(line).substr(3));
    auto bad = [&]() -> DbError {
        return DbError("无法读出“" + trimmed(line) +
                       "”中的数据库名，请写成use \"NAME\"，名称中的双引号要写两遍。");
    };
    if (rest.empty()) {
        throw bad();
    }
    char open = rest[0];
    char close = open == '"' ? '"' : open == '[' ? ']' : '\0';
    if (!close) {
        if (rest.find_first_of(" \t\"[]") != std::string::npos) {
            throw bad();
        }
        return rest;
    }
    std::string name;
    std::size_t i = 1;
    for (; i < rest.size(); ++i) {
        if (rest[i] == close) {
            if (i + 1 < rest.size() && rest[i + 1] == close) {
                name += close;
                ++i;
            } else {
                break;
            }
        } else {
            name += rest[i];
        }
    }
    if (i != rest.size() - 1) {
        throw bad();  // no closing mark, or something after it
    }
    return name;
}

enum class LineKind { Sql, NoCount, Use, ListDatabases };

LineKind classify(const std::string& line) {
    // Only a line that starts with s, u or e can be one of the commands.
    const auto first = std::find_if(line.begin(), line.end(),
                                    [](char c) { return static_cast<unsigned char>(c) > ' '; });
    if (first == line.end() || std::string_view("sSuUeE").find(*first) == std::string_view::npos) {
        return LineKind::Sql;
    }
    std::vector<std::string> words = splitWords(line);
    if (words.size() == 3 && equalsIgnoreCase(words[0], "set") &&
        equalsIgnoreCase(words[1], "nocount") &&
        (equalsIgnoreCase(words[2], "on") || equalsIgnoreCase(words[2], "off"))) {
        return LineKind::NoCount;
    }
    if (!words.empty() && words[0].size() >= 3 && equalsIgnoreCase(words[0].substr(0, 3), "use") &&
        (words[0].size() == 3 || words[0][3] == '"' || words[0][3] == '[')) {
        return LineKind::Use;
    }
    if ((words.size() == 1 && equalsIgnoreCase(words[0], "sp_databases")) ||
        (words.size() == 2 &&
         (equalsIgnoreCase(words[0], "exec") || equalsIgnoreCase(words[0], "execute")) &&
         equalsIgnoreCase(words[1], "sp_databases"))) {
        return LineKind::ListDatabases;
    }
    return LineKind::Sql;
}

struct Segment {
    LineKind kind;
    std::string text;  // the SQL, or the use line
};

std::vector<Segment> splitBatch(const std::string& batch) {
    std::vector<Segment> segments;
    std::size_t start = 0;
    while (start < batch.size()) {
        std::size_t end = batch.find('\n', start);
        std::size_t next = end == std::string::npos ? batch.size() : end + 1;
        std::string line = batch.substr(start, next - start);
        start = next;
        LineKind kind = classify(line);
        if (kind == LineKind::Sql) {
            if (segments.empty() || segments.back().kind != LineKind::Sql) {
                segments.push_back({LineKind::Sql, std::string()});
            }
            segments.back().text += line;
        } else {
            segments.push_back({kind, line});
        }
    }
    // SQL made only of blanks and comments runs nothing.
    segments.erase(std::remove_if(segments.begin(), segments.end(),
                                  [](const Segment& s) {
                                      return s.kind == LineKind::Sql && isEmptySql(s.text);
                                  }),
                   segments.end());
    return segments;
}

class SqliteBackend : public Backend {
public:
    SqliteBackend(std::string storeDir, int busySeconds)
        : m_storeDir(std::move(storeDir)), m_busySeconds(busySeconds) {
        m_file = std::make_shared<SqliteFile>("", ":memory:", m_busySeconds);
    }

    void useDatabase(const std::string& name) {
        if (m_file && !m_file->name().empty() && m_file->name() == name) {
            return;  // same database: results open on it stay valid
        }
        if (m_inTransaction) {
            throw DbError("事务尚未结束，不能切换到数据库“" + name + "”，请先提交或回滚事务。");
        }
        if (!isValidStoreDatabaseName(name)) {
            throw DbError("“" + name + "”不是有效的数据库名：" + kNameRule);
        }
        std::string path = m_storeDir + "/" + name + ".db";
        if (!regularFileExists(path)) {
            if (name == "master") {
                // The server's master always exists; the store's is the
                // state of no database chosen yet.
                if (!m_file->name().empty()) {
                    m_file = std::make_shared<SqliteFile>("", ":memory:", m_busySeconds);
                }
                return;
            }
            throw DbError("数据库“" + name + "”不存在：数据库文件夹" + m_storeDir + "中没有文件" +
                          name + ".db。请选择其他数据库或先创建它。");
        }
        m_file = std::make_shared<SqliteFile>(name, path, m_busySeconds);
    }

    std::unique_ptr<Cursor> run(const std::string& batch, const Parameters& params,
                                bool wantRows) override {
        const std::vector<Segment>& segments = segmentsOf(batch);
        std::unique_ptr<Cursor> result;
        for (std::size_t i = 0; i < segments.size(); ++i) {
            const Segment& seg = segments[i];
            bool last = i + 1 == segments.size();
            switch (seg.kind) {
                case LineKind::NoCount:
                    break;
                case LineKind::Use:
                    useDatabase(parseUseName(seg.text));
                    break;
                case LineKind::ListDatabases:
                    if (wantRows && !result) {
                        result = databaseList();
                    }
                    break;
                case LineKind::Sql:
                    runSql(seg.text, params, wantRows && !result, last, result);
                    break;
            }
        }
        if (wantRows && !result) {
            result = std::make_unique<MemoryCursor>(std::vector<std::string>{},
                                                    std::deque<std::vector<Value>>{});
        }
        return result;
    }

    // BEGIN and COMMIT leave the results being read valid; a rollback
    // aborts them only when the schema changed in the transaction.
    void beginTransaction() override {
        if (sqlite3_get_autocommit(m_file->db())) {
            m_file->transactionEnded();
        }
        m_file->execSimple("BEGIN");
        m_inTransaction = true;
    }
    void commit() override {
        m_file->execSimple("COMMIT");
        m_file->transactionEnded();
        m_inTransaction = false;
    }
    void rollback() override {
        m_file->beforeRollback();
        m_inTransaction = false;
        m_file->execSimple("ROLLBACK");
        m_file->transactionEnded();
    }
    bool inTransaction() override {
        m_inTransaction = m_file && sqlite3_get_autocommit(m_file->db()) == 0;
        return m_inTransaction;
    }
    const Dialect& dialect() const override { return m_dialect; }

    // An exclusive advisory lock on the file NAME.import-lock beside the
    // database file. The lock goes with the descriptor, so a killed import
    // leaves nothing held; the file itself stays for the next import.
    std::unique_ptr<ImportLock> lockForImport(const std::string& database,
                                              int waitSeconds) override {
        const std::string name =
            m_file && !m_file->name().empty() ? m_file->name() : trimmed(database);
        const std::string path = m_storeDir + "/" + name + ".import-lock";
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0 && (errno == EACCES || errno == EROFS)) {
            fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        }
        if (fd < 0) {
            throw DbError("无法打开导入锁文件" + path + "（" + std::strerror(errno) +
                          "），请检查数据库文件夹能否写入。");
        }
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::seconds(std::max(waitSeconds, 0));
        while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if ((errno != EWOULDBLOCK && errno != EINTR) ||
                std::chrono::steady_clock::now() >= deadline) {
                ::close(fd);
                return nullptr;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return std::make_unique<FileLock>(fd);
    }

private:
    class FileLock : public ImportLock {
    public:
        explicit FileLock(int fd) : m_fd(fd) {}
        ~FileLock() override { ::close(m_fd); }
        FileLock(const FileLock&) = delete;
        FileLock& operator=(const FileLock&) = delete;

    private:
        int m_fd;
    };

    // The parts of a batch, split once per text: the per-row batches of the
    // import come again and again.
    const std::vector<Segment>& segmentsOf(const std::string& batch) {
        auto it = m_batches.find(batch);
        if (it != m_batches.end()) {
            return it->second;
        }
        if (m_batches.size() >= kBatchCacheLimit) {
            m_batches.clear();
        }
        return m_batches.emplace(batch, splitBatch(batch)).first->second;
    }

    std::unique_ptr<Cursor> databaseList() {
        std::deque<std::vector<Value>> rows;
        for (const std::string& name : listStoreDatabases(m_storeDir)) {
            std::error_code ec;
            auto size = fs::file_size(m_storeDir + "/" + name + ".db", ec);
            rows.push_back(
                {Value::text(name),
                 ec ? Value::null() : Value::integer(static_cast<std::int64_t>(size / 1024)),
                 Value::null()});
        }
        return std::make_unique<MemoryCursor>(
            std::vector<std::string>{"DATABASE_NAME", "DATABASE_SIZE", "REMARKS"}, std::move(rows));
    }

    // Runs the statements of one SQL part in order. With `takeRows`, the first
    // statement that returns columns becomes the result: read lazily when it
    // is the batch's last statement, into memory otherwise.
    void runSql(const std::string& text, const Parameters& params, bool takeRows, bool lastSegment,
                std::unique_ptr<Cursor>& result) {
        std::shared_ptr<SqliteFile> file = m_file;
        std::unique_ptr<PreparedChunk> chunk = file->acquire(text);
        try {
            for (std::size_t k = 0;; ++k) {
                if (k == chunk->statements.size()) {
                    if (chunk->complete) {
                        break;
                    }
                    const char* begin = chunk->text.c_str() + chunk->nextOffset;
                    const char* tail = nullptr;
                    sqlite3_stmt* stmt = nullptr;
                    StatementTables tables;
                    int rc = file->prepare(begin,
                                           static_cast<int>(chunk->text.size() - chunk->nextOffset),
                                           &stmt, &tail, tables);
                    if (rc != SQLITE_OK) {
                        file->fail(rc);
                    }
                    chunk->nextOffset = static_cast<std::size_t>(tail - chunk->text.c_str());
                    if (!stmt) {
                        chunk->complete = true;
                        break;
                    }
                    chunk->statements.push_back(stmt);
                    chunk->tables.push_back(std::move(tables));
                    if (isEmptySql(std::string_view(chunk->text).substr(chunk->nextOffset))) {
                        chunk->complete = true;
                    }
                }
                sqlite3_stmt* stmt = chunk->statements[k];
                bindParameters(*file, stmt, params);
                StatementTables* tables = &chunk->tables[k];
                file->beforeStatement(stmt, *tables);
                bool lastStatement = chunk->complete && k + 1 == chunk->statements.size();
                if (takeRows && !result && sqlite3_column_count(stmt) > 0) {
                    if (lastSegment && lastStatement) {
                        auto cursor =
                            std::make_unique<LazyCursor>(file, std::move(chunk), stmt, tables);
                        cursor->start();
                        result = std::move(cursor);
                        return;
                    }
                    std::deque<std::vector<Value>> rows;
                    std::vector<Value> row;
                    std::vector<ColumnKind> kinds;
                    int rc;
                    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
                        readRow(stmt, kinds, row);
                        rows.push_back(std::move(row));
                    }
                    if (rc != SQLITE_DONE) {
                        file->fail(rc);
                    }
                    result = std::make_unique<MemoryCursor>(columnNamesOf(stmt), std::move(rows));
                } else {
                    int rc;
                    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
                    }
                    if (rc != SQLITE_DONE) {
                        file->fail(rc);
                    }
                }
                sqlite3_reset(stmt);
            }
        } catch (...) {
            file->release(std::move(chunk));
            throw;
        }
        file->release(std::move(chunk));
    }

    static constexpr std::size_t kBatchCacheLimit = 256;
    std::string m_storeDir;
    int m_busySeconds;
    std::unordered_map<std::string, std::vector<Segment>> m_batches;
    std::shared_ptr<SqliteFile> m_file;
    SqliteDialect m_dialect;
    bool m_inTransaction = false;
};

}  // namespace

std::string storeDirectory(const ConnectionSettings& settings) {
    if (!settings.storeDir.empty()) {
        return settings.storeDir;
    }
    return defaultStoreFolder(executableDir());
}

bool isValidStoreDatabaseName(const std::string& name) {
    if (name.empty() || name == "." || name == "..") {
        return false;
    }
    // No folder separator, and no control character that would split the
    // line a name travels in.
    return std::none_of(name.begin(), name.end(), [](char c) {
        return c == '/' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
    });
}

std::vector<std::string> listStoreDatabases(const std::string& storeDir) {
    std::vector<std::string> names;
    std::error_code ec;
    fs::directory_iterator it(storeDir, ec);
    if (ec) {
        throw DbError("数据库文件夹" + storeDir +
                      "无法读取，请检查它是否存在以及是否有读取的权限（" + ec.message() + "）。");
    }
    for (const fs::directory_entry& entry : it) {
        std::string file = entry.path().filename().string();
        if (file.size() > 3 && file.compare(file.size() - 3, 3, ".db") == 0 &&
            entry.is_regular_file(ec)) {
            names.push_back(file.substr(0, file.size() - 3));
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

// The database files that a `demo` killed part-way left behind: temporary
// files ".pos-new-PID-N.tmp" (and their journals) of a process that no
// longer runs. No listing shows them, but they take room.
void removeAbandonedNewDatabases(const std::string& storeDir) {
    std::error_code ec;
    fs::directory_iterator it(storeDir, ec);
    if (ec) {
        return;
    }
    const std::string prefix(kTemporaryFilePrefix);
    std::vector<fs::path> abandoned;
    for (const fs::directory_entry& entry : it) {
        const std::string file = entry.path().filename().string();
        if (file.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        const long pid = std::strtol(file.c_str() + prefix.size(), nullptr, 10);
        if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
            abandoned.push_back(entry.path());
        }
    }
    for (const fs::path& path : abandoned) {
        fs::remove(path, ec);
    }
}

}  // namespace

std::unique_ptr<Backend> connectSqliteStore(const ConnectionText& text,
                                            const ConnectionSettings& settings) {
    std::string dir = storeDirectory(settings);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec || !folderExists(dir)) {
        throw DbError("数据库文件夹" + dir +
                      "无法创建，请用--store或POS_TRANSFER_STORE指定其他文件夹" +
                      (ec ? "（" + ec.message() + "）" : std::string()) + "。");
    }
    removeAbandonedNewDatabases(dir);
    auto backend = std::make_unique<SqliteBackend>(dir, settings.busyTimeoutSeconds);
    std::optional<std::string> catalog = text.get("Initial Catalog");
    if (catalog && !isBlank(*catalog)) {
        backend->useDatabase(*catalog);
    }
    return backend;
}

void createStoreDatabase(const std::string& storeDir, const std::string& name,
                         const std::vector<std::string>& scripts) {
    if (!isValidStoreDatabaseName(name)) {
        throw DbError("“" + name + "”不能作为数据库名：" + kNameRule);
    }
    std::error_code ec;
    fs::create_directories(storeDir, ec);
    // NAME.db-wal, the longest name among the database's files, must fit the
    // folder's limit on a file name.
    const long nameMax = ::pathconf(storeDir.c_str(), _PC_NAME_MAX);
    const std::size_t longest =
        static_cast<std::size_t>(nameMax > 0 ? nameMax : 255) - std::string_view(".db-wal").size();
    if (name.size() > longest) {
        throw DbError("“" + name + "”不能作为数据库名：名称太长，最多" + std::to_string(longest) +
                      "个字节（一个汉字占3个字节），请换一个短一些的名称。");
    }
    std::string target = storeDir + "/" + name + ".db";
    if (fileExists(target) || folderExists(target)) {
        throw DbError("数据库“" + name + "”已存在于数据库文件夹" + storeDir +
                      "中，请换一个名称或先删除" + target + "。");
    }
    // Built under a short hidden name that no listing shows (one made from
    // the database's name would not fit where NAME.db still does), and moved
    // into place without replacing: a database that appeared meanwhile is
    // never overwritten.
    std::string building;
    const auto build = [&](const std::string& tmp) {
        building = tmp;
        sqlite3* db = nullptr;
        int rc = sqlite3_open_v2(tmp.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
        auto failWith = [&](const std::string& step) {
            std::string reason = storeReason(db, rc, tmp);
            sqlite3_close(db);
            throw DbError("创建数据库“" + name + "”时" + step + "出错：" + reason);
        };
        if (rc != SQLITE_OK || (rc = registerNameCollation(db)) != SQLITE_OK) {
            failWith("打开文件");
        }
        char* err = nullptr;
        rc = sqlite3_exec(db, "PRAGMA foreign_keys=ON; BEGIN", nullptr, nullptr, &err);
        sqlite3_free(err);
        if (rc != SQLITE_OK) {
            failWith("开始事务");
        }
        for (const std::string& script : scripts) {
            rc = sqlite3_exec(db, script.c_str(), nullptr, nullptr, &err);
            sqlite3_free(err);
            if (rc != SQLITE_OK) {
                failWith("运行建库脚本");
            }
        }
        rc = sqlite3_exec(db, "COMMIT; PRAGMA journal_mode=WAL", nullptr, nullptr, &err);
        sqlite3_free(err);
        if (rc != SQLITE_OK) {
            failWith("提交事务");
        }
        if (sqlite3_close(db) != SQLITE_OK) {
            throw DbError("数据库“" + name + "”创建后无法关闭，请重新创建。");
        }
    };
    const auto removeJournals = [&]() {
        for (const char* suffix : {"-journal", "-wal", "-shm"}) {
            std::error_code ignored;
            fs::remove(building + suffix, ignored);
        }
    };
    try {
        writeFileAtomically(target, build, {.keepExisting = true, .writerNeedsName = true});
    } catch (const AtomicFileError& e) {
        removeJournals();
        if (e.step() == AtomicFileError::Step::Create) {
            throw DbError("无法在数据库文件夹" + storeDir + "中创建文件，请检查是否有写入的权限（" +
                          e.what() + "）。");
        }
        throw DbError("数据库“" + name + "”无法移到" + target +
                      "，请检查数据库文件夹是否可以写入（" + e.what() + "）。");
    } catch (...) {
        removeJournals();
        throw;
    }
}

}  // namespace pos::db

// One open file of the store and its lazy results.
#include "db/SqliteFile.h"

#include <unistd.h>

#include <filesystem>

#include "common/Text.h"
#include "db/SqliteDialect.h"

namespace fs = std::filesystem;

namespace pos::db::store {

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
std::string storeReason(sqlite3* db, int rc, const std::string& path) {
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

// How a message names a database of the store: 数据库“NAME”, or 本地数据库
// before any database is chosen.
std::string storeSubject(const std::string& name) {
    return name.empty() ? std::string("本地数据库") : "数据库“" + name + "”";
}

namespace {

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
    const int common = std::min(lengthA, lengthB);
    for (int i = 0; i < common; ++i) {
        const unsigned char x = foldedNameByte(textA[i]);
        const unsigned char y = foldedNameByte(textB[i]);
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return lengthA < lengthB ? -1 : lengthA > lengthB ? 1 : 0;
}

}  // namespace

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

namespace {

// A function of the program as one connection calls it: its arguments are
// read into values it keeps for the next call.
struct CalledFunction {
    std::shared_ptr<const ScalarFunction> function;
    std::vector<Value> arguments;
};

void callFunction(sqlite3_context* context, int count, sqlite3_value** values) {
    auto* called = static_cast<CalledFunction*>(sqlite3_user_data(context));
    try {
        called->arguments.resize(static_cast<std::size_t>(count));
        for (int i = 0; i < count; ++i) {
            readArgument(values[i], called->arguments[static_cast<std::size_t>(i)]);
        }
        setResult(context, (*called->function)(called->arguments));
    } catch (const std::exception& e) {
        sqlite3_result_error(context, e.what(), -1);
    } catch (...) {
        // Nothing may pass through the library's own frames.
        sqlite3_result_error(context, "程序的函数出错", -1);
    }
}

}  // namespace

bool SqliteFile::defineFunction(const std::string& name, int arity,
                                std::shared_ptr<const ScalarFunction> function) {
    auto* called = new CalledFunction{std::move(function), {}};
    // The library lets go of `called` itself when it refuses (a statement
    // still running while a function is replaced).
    return sqlite3_create_function_v2(
               m_db, name.c_str(), arity, SQLITE_UTF8, called, callFunction, nullptr, nullptr,
               [](void* p) { delete static_cast<CalledFunction*>(p); }) == SQLITE_OK;
}

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
    if (!m_schemaVersionStmt) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v3(m_db, "PRAGMA schema_version", -1, SQLITE_PREPARE_PERSISTENT, &stmt,
                               nullptr) == SQLITE_OK) {
            m_schemaVersionStmt.reset(stmt);
        }
    }
    if (!m_schemaVersionStmt) {
        ++m_generation;  // not known: every statement is learned again
    } else if (sqlite3_step(m_schemaVersionStmt.get()) == SQLITE_ROW) {
        const std::int64_t version = sqlite3_column_int64(m_schemaVersionStmt.get(), 0);
        if (version != m_schemaVersion) {
            m_schemaVersion = version;
            ++m_generation;
        }
    } else {
        ++m_generation;
    }
    if (m_schemaVersionStmt) {
        sqlite3_reset(m_schemaVersionStmt.get());
    }
    if (tables.generation != m_generation) {
        relearn(first, tables);
    }
}

}  // namespace pos::db::store

// The statement cache of an open store file.
#include "db/SqliteStatements.h"

#include <algorithm>

#include "common/Text.h"
#include "db/SqliteValues.h"

namespace pos::db::store {

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

void StatementTables::record(int action, const char* arg1, const char* database) {
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

void PreparedChunk::reset() {
    for (const StatementHandle& s : statements) {
        sqlite3_reset(s.get());
        sqlite3_clear_bindings(s.get());
    }
}

std::unique_ptr<PreparedChunk> StatementCache::acquire(const std::string& text) {
    auto it = m_chunks.find(text);
    if (it != m_chunks.end() && it->second) {
        return std::move(it->second);
    }
    auto chunk = std::make_unique<PreparedChunk>();
    chunk->text = text;
    chunk->numbered = numberMarkers(text, chunk->sql, chunk->markerNames, chunk->markerOffsets);
    if (!chunk->numbered) {
        chunk->sql = text;
    }
    return chunk;
}

void StatementCache::release(std::unique_ptr<PreparedChunk> chunk) {
    if (!chunk) {
        return;
    }
    chunk->reset();
    auto it = m_chunks.find(chunk->text);
    if (it != m_chunks.end()) {
        if (!it->second) {
            it->second = std::move(chunk);
        }
        return;
    }
    if (m_chunks.size() >= kLimit) {
        m_chunks.clear();
    }
    std::string key = chunk->text;
    m_chunks.emplace(std::move(key), std::move(chunk));
}

}  // namespace pos::db::store

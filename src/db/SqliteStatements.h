// The statement cache of an open store file: each statement text is prepared
// once, kept with what it reads and writes (learned from the authorizer),
// and lent out while its result is read. Statements are held by handles that
// finalize them, so no path leaks one.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace pos::db::store {

struct FinalizeStatement {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using StatementHandle = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

// A table as the library names it to the authorizer: the database ("main",
// "temp", an attached name; empty when it says none) and the table, both in
// lower case, as names compare without regard to ASCII letter case.
struct TableRef {
    std::string database;
    std::string table;
};

// Whether two references name the same table (a reference without a
// database names the table in any).
bool sameTable(const TableRef& a, const TableRef& b);
bool touches(const std::vector<TableRef>& tables, const TableRef& t);
// Adds the table (names folded to lower case) unless it is there already.
void addTable(std::vector<TableRef>& tables, const char* database, const char* table);

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

    // One action the authorizer reports.
    void record(int action, const char* arg1, const char* database);
};

// The statement texts of one batch part, prepared one by one as they run (a
// later statement may name a table that an earlier one creates) and kept for
// the next time the same text comes.
struct PreparedChunk {
    std::string text;
    // The text as prepared: its named markers made plain (numberMarkers),
    // their names and places in `markerNames` and `markerOffsets`; else
    // `text` itself.
    std::string sql;
    bool numbered = false;
    std::vector<std::string> markerNames;
    std::vector<std::size_t> markerOffsets;
    std::size_t nextMarker = 0;  // the first marker not yet prepared
    std::vector<StatementHandle> statements;
    std::vector<StatementTables> tables;  // one for each statement
    // Each statement's marker names (markerNames), learned once.
    std::vector<std::vector<std::string>> markers;
    std::size_t nextOffset = 0;  // where the text not yet prepared begins
    bool complete = false;

    void reset();
};

// The prepared chunks of one open file, by their text. A chunk out on loan
// (its statement being read) leaves an empty slot under its text, and a
// text asked for again meanwhile gets a chunk of its own.
class StatementCache {
public:
    // Takes the chunk for the text out of the cache, or makes one.
    std::unique_ptr<PreparedChunk> acquire(const std::string& text);
    // Gives a chunk back for reuse; the cache keeps one chunk per text and a
    // bounded number of texts.
    void release(std::unique_ptr<PreparedChunk> chunk);
    void clear() { m_chunks.clear(); }

private:
    static constexpr std::size_t kLimit = 256;
    std::unordered_map<std::string, std::unique_ptr<PreparedChunk>> m_chunks;
};

}  // namespace pos::db::store

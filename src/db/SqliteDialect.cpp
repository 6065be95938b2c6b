// The store's equivalents of the catalogue texts.
#include "db/SqliteDialect.h"

#include <sqlite3.h>

#include <algorithm>
#include <limits>

namespace pos::db {

std::string SqliteDialect::listDatabasesLine() const {
    return "sp_databases";
}

std::string SqliteDialect::tablePresenceLine(const std::vector<std::string>& tables) const {
    if (tables.empty()) {
        return {};
    }
    return " select name from sqlite_master where  " +
           tableNameConditions(tables, " collate nocase");
}

std::string SqliteDialect::viewCheckLine(const std::string& viewName) const {
    return " select * from " + quoteIdentifier(viewName) + " where 0 = 1";
}

std::optional<std::string> SqliteDialect::nameKey(std::string_view name) const {
    while (!name.empty() && name.back() == ' ') {
        name.remove_suffix(1);
    }
    std::string key(name);
    for (char& c : key) {
        c = static_cast<char>(foldedNameByte(static_cast<unsigned char>(c)));
    }
    return key;
}

int SqliteDialect::statementParameterLimit() const {
    // 4,000 keep an import's statements few (about 0.05 a row); longer ones
    // cost more than they save, even with the positional markers the store
    // gives the library (32,000: 4% more instructions for an import of
    // 60,000 dishes). The library's own limit, asked of a database in
    // memory, holds where it is lower.
    static const int limit = [] {
        constexpr int kFlatCost = 4000;
        sqlite3* db = nullptr;
        int variables = 999;
        if (sqlite3_open(":memory:", &db) == SQLITE_OK) {
            variables = sqlite3_limit(db, SQLITE_LIMIT_VARIABLE_NUMBER, -1);
        }
        sqlite3_close(db);
        return std::min(variables, kFlatCost);
    }();
    return limit;
}

int SqliteDialect::insertRowLimit() const {
    // A multi-row VALUES list is no compound select: no limit of its own.
    return std::numeric_limits<int>::max();
}

}  // namespace pos::db

// The store's equivalents of the catalogue texts.
#include "db/SqliteDialect.h"

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

}  // namespace pos::db

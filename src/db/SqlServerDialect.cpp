// The SQL Server texts of the catalogue, with their leading and doubled blanks
// kept exactly as the server has always been sent them.
#include "db/SqlServerDialect.h"

namespace pos::db {

std::string SqlServerDialect::listDatabasesLine() const {
    return "sp_databases";
}

std::string SqlServerDialect::tablePresenceLine(const std::vector<std::string>& tables) const {
    if (tables.empty()) {
        return {};
    }
    return " select name from sysobjects where  " + tableNameConditions(tables, "");
}

std::string SqlServerDialect::stringLiteral(const std::string& text) const {
    return "N" + Dialect::stringLiteral(text);
}

}  // namespace pos::db

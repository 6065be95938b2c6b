// The SQL Server texts of the catalogue, with their leading and doubled blanks
// kept exactly as the server has always been sent them.
#include "db/SqlServerDialect.h"

#include "common/Text.h"

namespace pos::db {

std::string SqlServerDialect::listDatabasesLine() const {
    return "sp_databases";
}

std::string SqlServerDialect::tablePresenceLine(const std::string& datasetKey) const {
    if (equalsIgnoreCase(datasetKey, "menu")) {
        return " select name from sysobjects where  name = 'menu' or name = 'Category'  or name = "
               "'STCA'";
    }
    if (equalsIgnoreCase(datasetKey, "HallTable")) {
        return " select name from sysobjects where  name = 'tables' or name = 'hall'";
    }
    if (equalsIgnoreCase(datasetKey, "MenuAnnotate")) {
        return " select name from sysobjects where  name = 'AnnotateType' or name = 'Annotate'";
    }
    return {};
}

std::string SqlServerDialect::stringLiteral(const std::string& text) const {
    return "N" + Dialect::stringLiteral(text);
}

}  // namespace pos::db

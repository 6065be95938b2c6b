// The store's equivalents of the catalogue texts.
#include "db/SqliteDialect.h"

#include "common/Text.h"

namespace pos::db {

std::string SqliteDialect::listDatabasesLine() const {
    return "sp_databases";
}

std::string SqliteDialect::tablePresenceLine(const std::string& datasetKey) const {
    if (equalsIgnoreCase(datasetKey, "menu")) {
        return " select name from sqlite_master where  name = 'menu' collate nocase"
               " or name = 'Category' collate nocase  or name = 'STCA' collate nocase";
    }
    if (equalsIgnoreCase(datasetKey, "HallTable")) {
        return " select name from sqlite_master where  name = 'tables' collate nocase"
               " or name = 'hall' collate nocase";
    }
    if (equalsIgnoreCase(datasetKey, "MenuAnnotate")) {
        return " select name from sqlite_master where  name = 'AnnotateType' collate nocase"
               " or name = 'Annotate' collate nocase";
    }
    return {};
}

std::string SqliteDialect::viewCheckLine(const std::string& viewName) const {
    return " select * from " + quoteIdentifier(viewName) + " where 0 = 1";
}

}  // namespace pos::db

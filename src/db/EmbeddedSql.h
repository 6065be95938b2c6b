// The SQL files of the sql/ folder (schema and demo data), built into the
// program so that it needs no source tree at run time.
#pragma once

#include <string_view>
#include <vector>

namespace pos::db {

struct EmbeddedSqlFile {
    std::string_view name;  // "schema_sqlite.sql"
    std::string_view text;
};

const std::vector<EmbeddedSqlFile>& embeddedSqlFiles();

// The text of the file with that name; throws DbError when the program was
// built without it.
std::string_view embeddedSql(std::string_view fileName);

}  // namespace pos::db

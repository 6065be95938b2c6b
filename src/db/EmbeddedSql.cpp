// Looking up the SQL files built into the program.
#include "db/EmbeddedSql.h"

#include <string>

#include "db/DbError.h"

namespace pos::db {

std::string_view embeddedSql(std::string_view fileName) {
    for (const EmbeddedSqlFile& f : embeddedSqlFiles()) {
        if (f.name == fileName) {
            return f.text;
        }
    }
    throw DbError("The program was built without the SQL file " + std::string(fileName) +
                  "; rebuild it from a source tree whose sql/ folder holds it.");
}

}  // namespace pos::db

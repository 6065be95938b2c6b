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
    throw DbError("程序构建时缺少SQL文件" + std::string(fileName) +
                  "，请用sql文件夹中有该文件的源代码重新构建程序。");
}

}  // namespace pos::db

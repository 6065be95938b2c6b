// Removal of a database of the store, for the scratch databases of the
// self-test.
#include <filesystem>
#include <system_error>

#include "db/DbError.h"
#include "db/SqliteBackend.h"

namespace pos::db {

void dropStoreDatabase(const std::string& storeDir, const std::string& name) {
    if (!isValidStoreDatabaseName(name)) {
        throw DbError("“" + name + "”不是数据库文件夹中的数据库名，无法删除。");
    }
    namespace fs = std::filesystem;
    const std::string base = storeDir + "/" + name;
    // The database file last: while it stands, the database is still listed
    // and can be removed again.
    for (const char* suffix : {".db-wal", ".db-shm", ".db-journal", ".import-lock", ".db"}) {
        std::error_code ec;
        fs::remove(base + suffix, ec);
        if (ec) {
            throw DbError("无法删除数据库文件" + base + suffix + "，请检查数据库文件夹" + storeDir +
                          "是否可以写入，再手工删除它（" + ec.message() + "）。");
        }
    }
}

}  // namespace pos::db

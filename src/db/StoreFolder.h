// The store's folder: one SQLite file NAME.db per database, the rules a
// database name follows, and making a new database whole or not at all.
#pragma once

#include <string>
#include <vector>

#include "db/Connection.h"

namespace pos::db {

// What a database name of the store may be, for the messages that refuse one.
inline constexpr const char* kStoreNameRule =
    "名称不能为空，不能是“.”或“..”，也不能含有“/”或控制字符。";

// The folder the store lives in: `settings.storeDir`, or the default store
// folder (common/AppFolders.h) when that is empty.
std::string storeDirectory(const ConnectionSettings& settings);

// The database names of a store folder (NAME of each NAME.db), sorted by name.
std::vector<std::string> listStoreDatabases(const std::string& storeDir);

// Whether a name can be a database of the store: not empty, not "." or "..",
// without '/' and without control characters.
bool isValidStoreDatabaseName(const std::string& name);

// Creates NAME.db in the store from SQL scripts run in one transaction. The
// file is built under a temporary name and moved into place only when every
// script has run, so a failure leaves nothing behind. Refuses (DbError) when
// the database exists.
void createStoreDatabase(const std::string& storeDir, const std::string& name,
                         const std::vector<std::string>& scripts);

// Creates NAME.db with the point-of-sale tables and the demo data, as
// createStoreDatabase does.
void createStoreDemoDatabase(const std::string& storeDir, const std::string& name);

// The import lock file of database NAME: .NAME.import-lock, hidden beside
// NAME.db. It stays after an import: removing a file that another process
// may have opened to lock would let two imports hold two different files.
std::string storeImportLockPath(const std::string& storeDir, const std::string& name);

// Removes database NAME of the store: NAME.db with its journal files and its
// import lock file (and the visible NAME.import-lock of earlier versions). No connection may still
// use it. Throws DbError when a file stays; a database that is not there is no error.
void dropStoreDatabase(const std::string& storeDir, const std::string& name);

// Removes the temporary files of new databases that a process killed
// part-way left in the folder.
void removeAbandonedNewDatabases(const std::string& storeDir);

}  // namespace pos::db

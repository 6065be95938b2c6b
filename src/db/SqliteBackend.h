// The embedded store: a folder of SQLite files, one NAME.db per database.
// The back end answers the few server commands that the program sends itself
// (" set Nocount on ", " use "NAME"", "sp_databases") and hands everything
// else to SQLite.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "db/Backend.h"
#include "db/Connection.h"
#include "db/ConnectionText.h"

namespace pos::db {

// Connects to the store folder of `settings` (created empty when missing).
// The connection text's Initial Catalog names the starting database; "master"
// without a master.db selects no file (only server commands and file-less
// statements then work). Throws DbError.
std::unique_ptr<Backend> connectSqliteStore(const ConnectionText& text,
                                            const ConnectionSettings& settings);

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

// Removes database NAME of the store: NAME.db with its journal files and its
// import lock file. No connection may still use it. Throws DbError when a
// file stays; a database that is not there is no error.
void dropStoreDatabase(const std::string& storeDir, const std::string& name);

}  // namespace pos::db

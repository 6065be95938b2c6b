// The embedded store: a folder of SQLite files, one NAME.db per database
// (StoreFolder.h). The back end answers the few server commands that the program sends itself
// (" set Nocount on ", " use "NAME"", "sp_databases") and hands everything
// else to SQLite.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "db/Backend.h"
#include "db/Connection.h"
#include "db/ConnectionText.h"
#include "db/StoreFolder.h"

namespace pos::db {

// Connects to the store folder of `settings` (created empty when missing).
// The connection text's Initial Catalog names the starting database; "master"
// without a master.db selects no file (only server commands and file-less
// statements then work). Throws DbError.
std::unique_ptr<Backend> connectSqliteStore(const ConnectionText& text,
                                            const ConnectionSettings& settings);

}  // namespace pos::db

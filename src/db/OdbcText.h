// The texts that the SQL Server back end derives from the program's own: the
// ODBC connection string for a connection text, and statements with ":Name"
// parameters turned into ODBC's positional markers.
#pragma once

#include <string>
#include <vector>

#include "db/Connection.h"
#include "db/ConnectionText.h"

namespace pos::db {

// The ODBC connection string for a connection text: Data Source -> SERVER
// (host,port and host\instance kept) or, for "DSN=NAME", DSN, Initial Catalog
// -> DATABASE, Integrated Security -> Trusted_Connection=Yes, User ID /
// Password -> UID / PWD, then the encryption in the driver's own keywords
// and, for FreeTDS, the TDS version and client character set. The driver and
// the encryption come from `settings`. Throws DbError when the settings ask
// for what the driver cannot do (odbcSettingsProblem).
std::string odbcConnectionString(const ConnectionText& text,
                                 const ConnectionSettings& settings = {});

// Why the driver and encryption of `settings` cannot be used, in a sentence
// for the user; empty when they can.
std::string odbcSettingsProblem(const ConnectionSettings& settings);

// Rewrites ":Name" parameters to "?" outside quotes, brackets and comments;
// `order` receives the names in the order of their markers (one per occurrence).
std::string rewriteNamedParameters(const std::string& sql, std::vector<std::string>& order);

}  // namespace pos::db

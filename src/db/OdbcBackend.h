// SQL Server over unixODBC and an ODBC driver (FreeTDS unless chosen).
#pragma once

#include <memory>
#include <string>

#include "db/Backend.h"
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

// Connects with settings.odbcConnectionString when it is set, else with the
// string translated from `text`; throws DbError carrying every diagnostic
// record of the driver.
std::unique_ptr<Backend> connectOdbc(const ConnectionText& text,
                                     const ConnectionSettings& settings);

}  // namespace pos::db

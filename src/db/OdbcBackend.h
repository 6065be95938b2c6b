// SQL Server over unixODBC and the FreeTDS driver.
#pragma once

#include <memory>
#include <string>

#include "db/Backend.h"
#include "db/Connection.h"
#include "db/ConnectionText.h"

namespace pos::db {

// The ODBC connection string for a connection text: Data Source -> SERVER
// (host,port and host\instance kept), Initial Catalog -> DATABASE, Integrated
// Security -> Trusted_Connection=Yes, User ID / Password -> UID / PWD, and the
// driver, TDS version and client character set.
std::string odbcConnectionString(const ConnectionText& text);

// Rewrites ":Name" parameters to "?" outside quotes, brackets and comments;
// `order` receives the names in the order of their markers (one per occurrence).
std::string rewriteNamedParameters(const std::string& sql, std::vector<std::string>& order);

// Connects with settings.odbcConnectionString when it is set, else with the
// string translated from `text`; throws DbError carrying every diagnostic
// record of the driver.
std::unique_ptr<Backend> connectOdbc(const ConnectionText& text,
                                     const ConnectionSettings& settings);

}  // namespace pos::db

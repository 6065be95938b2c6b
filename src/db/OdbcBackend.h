// SQL Server over unixODBC and an ODBC driver (FreeTDS unless chosen).
#pragma once

#include <memory>
#include <string>

#include "db/Backend.h"
#include "db/Connection.h"
#include "db/ConnectionText.h"
#include "db/OdbcText.h"

namespace pos::db {

// Connects with settings.odbcConnectionString when it is set, else with the
// string translated from `text`; throws DbError carrying every diagnostic
// record of the driver.
std::unique_ptr<Backend> connectOdbc(const ConnectionText& text,
                                     const ConnectionSettings& settings);

}  // namespace pos::db

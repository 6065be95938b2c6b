// The statements for SQL Server: the program's own texts, sent as written.
#pragma once

#include "db/Dialect.h"

namespace pos::db {

class SqlServerDialect : public Dialect {
public:
    std::string name() const override { return "sqlserver"; }
    std::string listDatabasesLine() const override;
    std::string tablePresenceLine(const std::string& datasetKey) const override;
};

}  // namespace pos::db

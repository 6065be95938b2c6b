// The statements for the embedded store (SQLite), with the same results as
// the SQL Server texts.
#pragma once

#include "db/Dialect.h"

namespace pos::db {

// The collation that compares names as the server's default collation does;
// the back end registers it on every database file it opens. No table
// declares it, so other SQLite tools still read the files.
inline constexpr const char* kNameCollation = "pos_name";

class SqliteDialect : public Dialect {
public:
    std::string name() const override { return "sqlite"; }
    // The store's back end answers "sp_databases" itself, from the folder.
    std::string listDatabasesLine() const override;
    std::string nameCollation() const override { return std::string(" collate ") + kNameCollation; }
    // Counts every schema entry (table, view, index, trigger) whose name
    // matches without regard to letter case, as the server counts every
    // object in sysobjects: a trigger or index that shares a required
    // table's name makes the check fail, as a second object of that name
    // does on the server.
    std::string tablePresenceLine(const std::string& datasetKey) const override;
    // Reads no row of the view, but resolves every table and column in it.
    std::string viewCheckLine(const std::string& viewName) const override;
    // The import's staging statements (SqliteStaging.cpp).
    std::vector<std::string> stagingTableStatements(const std::string& datasetKey,
                                                    const RowReader& readRows) const override;
    std::string tableColumnsLine(const std::string& table) const override;
    std::vector<std::string> identityColumnLines(const std::string& table) const override;
    std::string savepointLine(const std::string& name) const override;
    std::string rollbackToSavepointLine(const std::string& name) const override;
    std::string releaseSavepointLine(const std::string& name) const override;
};

}  // namespace pos::db

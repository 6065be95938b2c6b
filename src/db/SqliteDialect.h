// The statements for the embedded store (SQLite), with the same results as
// the SQL Server texts.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "db/Dialect.h"

namespace pos::db {

// The collation that compares names as the server's default collation does;
// the back end registers it on every database file it opens. No table
// declares it, so other SQLite tools still read the files.
inline constexpr const char* kNameCollation = "pos_name";

// A byte of a name as that collation compares it: ASCII letters in lower
// case, every other byte as it is. It also drops trailing spaces.
inline unsigned char foldedNameByte(unsigned char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

// A staging text column whose source declares a length (NVARCHAR(50)) has a
// CHECK that refuses a longer text, as the server refuses it. The CHECK is
// named "length(TABLE.COLUMN)<=N", so the store's error names the column as
// the server's does, and the back end reads the column and the length back.
std::string lengthCheckName(const std::string& table, const std::string& column, int maxLength);

struct LengthCheck {
    std::string column;
    int maxLength = 0;
};

// The column and length of a store error's "CHECK constraint failed: NAME"
// when NAME is a length check's; nothing otherwise.
std::optional<LengthCheck> failedLengthCheck(std::string_view errorText);

class SqliteDialect : public Dialect {
public:
    ServerKind kind() const override { return ServerKind::EmbeddedStore; }
    // The store's back end answers "sp_databases" itself, from the folder.
    std::string listDatabasesLine() const override;
    std::string nameCollation() const override { return std::string(" collate ") + kNameCollation; }
    std::optional<std::string> nameKey(std::string_view name) const override;
    // Counts every schema entry (table, view, index, trigger) whose name
    // matches without regard to letter case, as the server counts every
    // object in sysobjects: a trigger or index that shares a required
    // table's name makes the check fail, as a second object of that name
    // does on the server.
    std::string tablePresenceLine(const std::vector<std::string>& tables) const override;
    // Reads no row of the view, but resolves every table and column in it.
    std::string viewCheckLine(const std::string& viewName) const override;
    // The import's staging statements (SqliteStaging.cpp).
    std::vector<std::string> stagingTableStatements(const std::vector<StagingTable>& tables,
                                                    const RowReader& readRows) const override;
    std::string tableColumnsLine(const std::string& table) const override;
    std::vector<std::string> identityColumnLines(const std::string& table) const override;
    std::string savepointLine(const std::string& name) const override;
    std::string rollbackToSavepointLine(const std::string& name) const override;
    std::string releaseSavepointLine(const std::string& name) const override;
    // 4,000 parameters, within the variable limit of the linked library (999
    // before SQLite 3.32, 32,766 since, or what it was built with); a VALUES
    // list of any length.
    int statementParameterLimit() const override;
    int insertRowLimit() const override;
};

}  // namespace pos::db

// The statements that differ between SQL Server and the embedded store. The
// SQL Server dialect returns the program's texts as written; the store's
// dialect returns statements with the same effect that SQLite accepts.
// Statements that both accept (the selects, lookups and inserts of the merge)
// are written once by their callers and do not appear here.
#pragma once

#include <string>
#include <vector>

namespace pos::db {

class Dialect {
public:
    virtual ~Dialect() = default;
    virtual std::string name() const = 0;  // "sqlserver" or "sqlite"

    // The database preamble: " set Nocount on " and " use "NAME"", with any
    // double quote inside NAME doubled so that no name can break the batch.
    virtual std::vector<std::string> preambleLines(const std::string& database) const;

    // A name as a string literal for the lookups that compare names: the text
    // in single quotes, inner single quotes doubled. SQL Server makes it a
    // Unicode literal (N'...') so that Chinese names survive any collation.
    virtual std::string stringLiteral(const std::string& text) const;

    // The one-line batch that lists the databases; its rows carry DATABASE_NAME.
    virtual std::string listDatabasesLine() const = 0;

    // The query line that the table-presence check sends for a dataset key
    // (compared without regard to letter case), or empty for an unknown key,
    // and the number of rows that must come back.
    virtual std::string tablePresenceLine(const std::string& datasetKey) const = 0;
    static int requiredTableCount(const std::string& datasetKey);
};

// `use "NAME"` with inner double quotes doubled.
std::string quoteIdentifier(const std::string& name);

}  // namespace pos::db

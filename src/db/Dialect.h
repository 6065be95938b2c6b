// The statements that differ between SQL Server and the embedded store. The
// SQL Server dialect returns the program's texts as written; the store's
// dialect returns statements with the same effect that SQLite accepts.
// Statements that both accept (the selects, lookups and inserts of the merge)
// are written once by their callers and do not appear here.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pos::db {

// A column of a staging table and the column whose declared type it takes:
// named `name`, or as the source column is named when `name` is empty.
struct StagingColumn {
    std::string name;
    std::string sourceTable;
    std::string sourceColumn;
};

// A staging table, filled with the rows of a select that is held in two
// parts, split before the word "from" (where SELECT ... INTO names the table
// it makes); joined, they are the select itself.
struct StagingTable {
    std::string table;
    std::vector<StagingColumn> columns;  // in the order of the select's columns
    std::string selectList;              // " select ...", up to "from"
    std::string fromClause;              // "from ..." to the end
};

// The kind of server a dialect speaks to. Code that must act differently on
// the store asks for the kind, never for a name.
enum class ServerKind {
    SqlServer,
    EmbeddedStore,  // the folder of SQLite files
};

class Dialect {
public:
    virtual ~Dialect() = default;
    virtual ServerKind kind() const = 0;

    // The database preamble: " set Nocount on " and " use "NAME"", with any
    // double quote inside NAME doubled so that no name can break the batch.
    virtual std::vector<std::string> preambleLines(const std::string& database) const;

    // A name as a string literal for the lookups that compare names: the text
    // in single quotes, inner single quotes doubled. SQL Server makes it a
    // Unicode literal (N'...') so that Chinese names survive any collation.
    virtual std::string stringLiteral(const std::string& text) const;

    // The update of one stored row: " update TABLE set C1 = :C1, C2 = :C2
    // where KEY = :KeyID ", every value a bound parameter named as its
    // column and the key's named KeyID. Both servers take this text.
    virtual std::string updateRowStatement(const std::string& table,
                                           const std::vector<std::string>& columns,
                                           const std::string& keyColumn) const;

    // The clause that makes a comparison or a DISTINCT of names follow the
    // server's default rules (trailing blanks and ASCII letter case ignored),
    // appended after the column or the literal: " collate pos_name" on the
    // store, empty on SQL Server, whose database collation already does so.
    virtual std::string nameCollation() const = 0;
    // The form that two names share exactly when that comparison takes them
    // for one, where the program knows the rule (the store's); nothing where
    // the server's collation decides.
    virtual std::optional<std::string> nameKey(std::string_view) const { return std::nullopt; }

    // The one-line batch that lists the databases; its rows carry DATABASE_NAME.
    virtual std::string listDatabasesLine() const = 0;

    // The query line that lists the objects named as one of `tables`, one row
    // for each, for the check that a database holds them; empty for no table.
    virtual std::string tablePresenceLine(const std::vector<std::string>& tables) const = 0;

    // A select that fails when a view just created cannot be read, or empty.
    // SQL Server checks a view's tables and columns when it creates it; SQLite
    // accepts a view over missing tables and fails only when it is used, so
    // its dialect reads the view at once to report the fault where the server
    // does.
    virtual std::string viewCheckLine(const std::string& viewName) const {
        (void)viewName;
        return {};
    }

    // The statements that build each of `tables` in turn, with the column
    // types of its source columns and every row of its select, each a batch
    // of its own after one preamble. `readRows` runs a one-line select on the
    // chosen database and returns its rows as text, for a dialect that must
    // read the source columns first.
    using RowReader = std::function<std::vector<std::vector<std::string>>(const std::string&)>;
    virtual std::vector<std::string> stagingTableStatements(const std::vector<StagingTable>& tables,
                                                            const RowReader& readRows) const = 0;
    // A query whose rows name the columns of `table` in catalogue order ("name").
    virtual std::string tableColumnsLine(const std::string& table) const = 0;
    // The lines of a query with one row per column of `table`: its name in
    // "字段名" and, in "标识", a non-blank text for the identity column.
    virtual std::vector<std::string> identityColumnLines(const std::string& table) const = 0;
    // Savepoint lines that let a row pass run in one transaction and still
    // undo one row alone: set, undo to, and forget a savepoint. Empty where
    // a failed statement can doom the whole transaction (SQL Server), so that
    // the pass keeps a transaction per row there. Each line ends with ";", as
    // it shares a batch with the row's statement.
    virtual std::string savepointLine(const std::string& name) const {
        (void)name;
        return {};
    }
    virtual std::string rollbackToSavepointLine(const std::string& name) const {
        (void)name;
        return {};
    }
    virtual std::string releaseSavepointLine(const std::string& name) const {
        (void)name;
        return {};
    }

    // A transaction begun inside a dry run's outer transaction is a savepoint
    // of it: the line that sets it, the line that keeps its work in the outer
    // transaction (empty when there is nothing to send), and the line that
    // undoes its work alone. Unlike the lines above these are offered by SQL
    // Server too: whatever a failed statement dooms there, the outer
    // transaction is rolled back at the end in any case.
    virtual std::string nestedBeginLine() const { return "savepoint nested_transaction"; }
    virtual std::string nestedCommitLine() const { return "release nested_transaction"; }
    virtual std::string nestedRollbackLine() const {
        return "rollback to nested_transaction; release nested_transaction";
    }

    // The most parameters one statement may carry, and the most rows one
    // INSERT ... VALUES may list: the import's staging insert sends its rows
    // in statements within both. The defaults are the least any server
    // takes.
    virtual int statementParameterLimit() const { return 999; }
    virtual int insertRowLimit() const { return 1000; }

    // The question a back end asks the server after a statement failed
    // inside a transaction: a select of one row whose first column counts
    // the transactions the session has open (0 when the server ended it by
    // itself) and whose second is negative when the transaction is doomed
    // (it can only be rolled back). Empty where the back end knows without
    // asking (the store) or the server cannot be asked.
    virtual std::string transactionStateLine() const { return {}; }

protected:
    // "name = 'TABLE'" and `suffix` for each of `tables`, joined by " or ",
    // two to a line and the lines joined by a blank, as the presence check
    // has always been sent.
    std::string tableNameConditions(const std::vector<std::string>& tables,
                                    const std::string& suffix) const;
};

// `use "NAME"` with inner double quotes doubled.
std::string quoteIdentifier(const std::string& name);

// A text as a standard SQL string literal, inner single quotes doubled: the
// store's literals, and the base of the server's N'...'.
std::string sqlStringLiteral(const std::string& text);

}  // namespace pos::db

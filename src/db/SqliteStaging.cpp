// The embedded store's staging statements. SQLite has no SELECT ... INTO, so
// a staging table is created first, with the declared type and NOT NULL of
// each column it is copied from, and then filled by INSERT ... SELECT. It is
// a STRICT table so that a worksheet value of the wrong type is refused, as
// the server refuses it, instead of being stored as text in a number column.
// A text column whose source declares a length gets a CHECK of that length:
// the server refuses a longer text ("String or binary data would be
// truncated"), and a text the store took would fail every later export.
#include <charconv>
#include <string>
#include <vector>

#include "common/Text.h"
#include "db/DbError.h"
#include "db/SqliteDialect.h"

namespace pos::db {

namespace {

bool contains(const std::string& haystack, const char* needle) {
    return haystack.find(needle) != std::string::npos;
}

struct SourceColumn {
    std::string name;
    std::string declaredType;
    bool notNull = false;
};

SourceColumn findSourceColumn(const Dialect::RowReader& readRows, const std::string& table,
                              const std::string& column) {
    const auto rows = readRows("select name, type, \"notnull\" from pragma_table_info(" +
                               sqlStringLiteral(table) + ") order by cid");
    for (const auto& row : rows) {
        if (row.size() >= 3 && equalsIgnoreCase(row[0], column)) {
            return {row[0], row[1], row[2] == "1"};
        }
    }
    throw DbError("表" + table + "中没有列" + column + "，请检查数据库的表结构。");
}

// The length a character type declares: 50 for NVARCHAR(50) or CHAR (50);
// nothing for a type without one, for MAX, and for a type that is no
// character type.
std::optional<int> declaredLength(const std::string& declaredType) {
    const std::string t = asciiLower(declaredType);
    const std::size_t open = t.find('(');
    if (open == std::string::npos || !contains(t.substr(0, open), "char")) {
        return std::nullopt;
    }
    const std::string inside = trimmed(t.substr(open + 1, t.find(')', open) - open - 1));
    int length = 0;
    const auto [end, error] = std::from_chars(inside.data(), inside.data() + inside.size(), length);
    if (error != std::errc() || end != inside.data() + inside.size() || length <= 0) {
        return std::nullopt;
    }
    return length;
}

std::string sqliteStrictType(const std::string& declaredType) {
    std::string t = declaredType;
    for (char& c : t) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    if (contains(t, "INT") || contains(t, "BOOL") || contains(t, "BIT")) {
        return "INTEGER";
    }
    if (contains(t, "CHAR") || contains(t, "CLOB") || contains(t, "TEXT")) {
        return "TEXT";
    }
    // Exact decimals (money, prices) are held as REAL in the staging copy: a
    // STRICT table has no decimal type, and REAL takes "12.5" and 12 alike
    // while it refuses a text that is not a number.
    if (contains(t, "REAL") || contains(t, "FLOA") || contains(t, "DOUB") || contains(t, "DEC") ||
        contains(t, "NUM") || contains(t, "MONEY")) {
        return "REAL";
    }
    if (contains(t, "BLOB") || contains(t, "BINARY") || contains(t, "IMAGE")) {
        return "BLOB";
    }
    return "ANY";
}

}  // namespace

std::string lengthCheckName(const std::string& table, const std::string& column, int maxLength) {
    return "length(" + table + "." + column + ")<=" + std::to_string(maxLength);
}

std::optional<LengthCheck> failedLengthCheck(std::string_view errorText) {
    constexpr std::string_view kFailed = "CHECK constraint failed: ";
    constexpr std::string_view kOpen = "length(";
    constexpr std::string_view kClose = ")<=";
    const std::size_t at = errorText.find(kFailed);
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view name = errorText.substr(at + kFailed.size());
    const std::size_t close = name.rfind(kClose);
    if (name.substr(0, kOpen.size()) != kOpen || close == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view qualified = name.substr(kOpen.size(), close - kOpen.size());
    const std::size_t dot = qualified.find('.');
    const std::string_view digits = name.substr(close + kClose.size());
    LengthCheck check;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), check.maxLength);
    if (dot == std::string_view::npos || error != std::errc() ||
        end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    check.column = std::string(qualified.substr(dot + 1));
    return check;
}

std::vector<std::string> SqliteDialect::stagingTableStatements(
    const std::vector<StagingTable>& tables, const RowReader& readRows) const {
    std::vector<std::string> statements;
    for (const StagingTable& step : tables) {
        std::string create = "create table " + quoteIdentifier(step.table) + " (";
        std::string names;
        for (std::size_t i = 0; i < step.columns.size(); ++i) {
            const StagingColumn& c = step.columns[i];
            const SourceColumn source = findSourceColumn(readRows, c.sourceTable, c.sourceColumn);
            const std::string& columnName = c.name.empty() ? source.name : c.name;
            const std::string name = quoteIdentifier(columnName);
            const char* separator = i == 0 ? "" : ", ";
            create += separator + name + " " + sqliteStrictType(source.declaredType);
            if (source.notNull) {
                create += " NOT NULL";
            }
            if (const std::optional<int> length = declaredLength(source.declaredType)) {
                create += " constraint " +
                          quoteIdentifier(lengthCheckName(step.table, columnName, *length)) +
                          " check (length(" + name + ") <= " + std::to_string(*length) + ")";
            }
            names += separator + name;
        }
        create += ") strict";
        statements.push_back(create);
        // The copy proves the tables whole and is emptied again; a stored text
        // longer than its column (kept before the store checked lengths) is
        // left out of it rather than making every import fail.
        statements.push_back("insert or ignore into " + quoteIdentifier(step.table) + " (" + names +
                             ")" + step.selectList + step.fromClause);
    }
    return statements;
}

std::string SqliteDialect::tableColumnsLine(const std::string& table) const {
    return "select name from pragma_table_info(" + sqlStringLiteral(table) + ") order by cid";
}

std::vector<std::string> SqliteDialect::identityColumnLines(const std::string& table) const {
    // An INTEGER PRIMARY KEY of its own is the store's identity column: SQLite
    // numbers it when a row comes without one.
    const std::string source = "pragma_table_info(" + sqlStringLiteral(table) + ")";
    return {" select name as \"字段名\",",
            " case when pk = 1 and upper(type) = 'INTEGER'"
            " and (select count(*) from " +
                source + " where pk > 0) = 1 then '是' else '' end as \"标识\"",
            " from " + source};
}

// A failed statement undoes only itself in SQLite, so a savepoint per row
// inside one transaction costs no commit per row.
std::string SqliteDialect::savepointLine(const std::string& name) const {
    return "savepoint " + quoteIdentifier(name) + ";";
}

std::string SqliteDialect::rollbackToSavepointLine(const std::string& name) const {
    return "rollback to " + quoteIdentifier(name) + ";";
}

std::string SqliteDialect::releaseSavepointLine(const std::string& name) const {
    return "release " + quoteIdentifier(name) + ";";
}

}  // namespace pos::db

// The statements shared by both dialects.
#include "db/Dialect.h"

namespace pos::db {

std::string quoteIdentifier(const std::string& name) {
    std::string out = "\"";
    for (char c : name) {
        out += c;
        if (c == '"') {
            out += '"';
        }
    }
    out += '"';
    return out;
}

std::vector<std::string> Dialect::preambleLines(const std::string& database) const {
    return {" set Nocount on ", " use " + quoteIdentifier(database)};
}

std::string Dialect::stringLiteral(const std::string& text) const {
    return sqlStringLiteral(text);
}

std::string Dialect::updateRowStatement(const std::string& table,
                                        const std::vector<std::string>& columns,
                                        const std::string& keyColumn) const {
    std::string statement = " update " + table + " set ";
    for (std::size_t i = 0; i < columns.size(); ++i) {
        statement += (i == 0 ? "" : ", ") + columns[i] + " = :" + columns[i];
    }
    return statement + " where " + keyColumn + " = :KeyID ";
}

std::string sqlStringLiteral(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        out += c;
        if (c == '\'') {
            out += '\'';
        }
    }
    out += '\'';
    return out;
}

std::string Dialect::tableNameConditions(const std::vector<std::string>& tables,
                                         const std::string& suffix) const {
    std::string out;
    for (std::size_t i = 0; i < tables.size(); ++i) {
        if (i > 0) {
            out += i % 2 == 0 ? "  or " : " or ";
        }
        out += "name = " + Dialect::stringLiteral(tables[i]) + suffix;
    }
    return out;
}

}  // namespace pos::db

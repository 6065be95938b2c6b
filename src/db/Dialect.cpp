// The statements shared by both dialects.
#include "db/Dialect.h"

#include "common/Text.h"

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

int Dialect::requiredTableCount(const std::string& datasetKey) {
    if (equalsIgnoreCase(datasetKey, "menu")) {
        return 3;
    }
    if (equalsIgnoreCase(datasetKey, "HallTable") || equalsIgnoreCase(datasetKey, "MenuAnnotate")) {
        return 2;
    }
    return -1;
}

}  // namespace pos::db

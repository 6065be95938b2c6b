// The texts that the SQL Server back end derives from the program's own: the
// ODBC connection string for a connection text, and statements with ":Name"
// parameters turned into ODBC's positional markers.
#include <string>
#include <vector>

#include "common/Text.h"
#include "db/OdbcBackend.h"

namespace pos::db {

namespace {

// A value that the connection-string parser could take for the end of the
// pair or of a braced value goes in braces, with "}" doubled, so that a
// password such as "x;UID=sa" cannot add keys of its own. Surrounding blanks
// are braced too, since a parser would trim them.
std::string connectionValue(const std::string& value) {
    bool brace = !value.empty() && (value.find_first_of(";{}=") != std::string::npos ||
                                    value.front() == ' ' || value.back() == ' ');
    if (!brace) {
        return value;
    }
    std::string out = "{";
    for (char c : value) {
        out += c;
        if (c == '}') {
            out += '}';
        }
    }
    out += '}';
    return out;
}

void appendPair(std::string& out, const char* key, const std::string& value) {
    out += ';';
    out += key;
    out += '=';
    out += connectionValue(value);
}

bool isNameStart(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c >= 0x80;
}

bool isNameChar(unsigned char c) {
    return isNameStart(c) || (c >= '0' && c <= '9');
}

}  // namespace

std::string odbcConnectionString(const ConnectionText& text) {
    std::string out = "DRIVER={FreeTDS}";

    std::string source = trimmed(text.get("Data Source").value_or(""));
    std::size_t comma = source.find(',');
    if (comma != std::string::npos) {
        appendPair(out, "SERVER", trimmed(source.substr(0, comma)));
        appendPair(out, "PORT", trimmed(source.substr(comma + 1)));
    } else {
        // "host\instance" stays whole: the driver asks the server's browser
        // service for the instance's port.
        appendPair(out, "SERVER", source);
    }

    std::optional<std::string> catalog = text.get("Initial Catalog");
    if (catalog && !isBlank(*catalog)) {
        appendPair(out, "DATABASE", trimmed(*catalog));
    }

    std::optional<std::string> integrated = text.get("Integrated Security");
    if (integrated && !isBlank(*integrated)) {
        // Kerberos with the caller's ticket; a user and password would be ignored.
        out += ";Trusted_Connection=Yes";
    } else {
        if (std::optional<std::string> user = text.get("User ID")) {
            appendPair(out, "UID", *user);
        }
        if (std::optional<std::string> password = text.get("Password")) {
            appendPair(out, "PWD", *password);
        }
    }

    out += ";TDS_Version=7.4;ClientCharset=UTF-8";
    return out;
}

std::string rewriteNamedParameters(const std::string& sql, std::vector<std::string>& order) {
    order.clear();
    std::string out;
    out.reserve(sql.size());
    const std::size_t n = sql.size();
    std::size_t i = 0;

    // Copies from i up to and including the first `close` (a doubled `close`
    // stays inside), or to the end of the text when it is never closed.
    auto copyQuoted = [&](char close) {
        out += sql[i++];
        while (i < n) {
            char c = sql[i++];
            out += c;
            if (c == close) {
                if (i < n && sql[i] == close) {
                    out += sql[i++];
                } else {
                    return;
                }
            }
        }
    };

    while (i < n) {
        char c = sql[i];
        if (c == '\'' || c == '"') {
            copyQuoted(c);
        } else if (c == '[') {
            copyQuoted(']');
        } else if (c == '-' && i + 1 < n && sql[i + 1] == '-') {
            std::size_t end = sql.find('\n', i);
            end = end == std::string::npos ? n : end;
            out.append(sql, i, end - i);
            i = end;
        } else if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
            // Block comments nest on SQL Server.
            int depth = 0;
            while (i < n) {
                if (sql[i] == '/' && i + 1 < n && sql[i + 1] == '*') {
                    ++depth;
                    out += "/*";
                    i += 2;
                } else if (sql[i] == '*' && i + 1 < n && sql[i + 1] == '/') {
                    --depth;
                    out += "*/";
                    i += 2;
                    if (depth == 0) {
                        break;
                    }
                } else {
                    out += sql[i++];
                }
            }
        } else if (c == ':' && i + 1 < n && sql[i + 1] == ':') {
            // "::" is the server's scope qualifier (ON SCHEMA::name), not a parameter.
            out += "::";
            i += 2;
        } else if (c == ':' && i + 1 < n && isNameStart(static_cast<unsigned char>(sql[i + 1]))) {
            std::size_t start = ++i;
            while (i < n && isNameChar(static_cast<unsigned char>(sql[i]))) {
                ++i;
            }
            order.push_back(sql.substr(start, i - start));
            out += '?';
        } else {
            out += c;
            ++i;
        }
    }
    return out;
}

}  // namespace pos::db

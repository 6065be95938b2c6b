// The texts that the SQL Server back end derives from the program's own: the
// ODBC connection string for a connection text, and statements with ":Name"
// parameters turned into ODBC's positional markers.
#include <string>
#include <vector>

#include "common/Text.h"
#include "db/DbError.h"
#include "db/OdbcText.h"

namespace pos::db {

namespace {

// A value in braces, with "}" doubled. The driver's name always goes so.
std::string bracedValue(const std::string& value) {
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

// A value that the connection-string parser could take for the end of the
// pair or of a braced value goes in braces, with "}" doubled, so that a
// password such as "x;UID=sa" cannot add keys of its own. Surrounding blanks
// are braced too, since a parser would trim them.
std::string connectionValue(const std::string& value) {
    bool brace = !value.empty() && (value.find_first_of(";{}=") != std::string::npos ||
                                    value.front() == ' ' || value.back() == ' ');
    return brace ? bracedValue(value) : value;
}

// The default driver, or one whose name says it is FreeTDS.
bool isFreeTds(const ConnectionSettings& settings) {
    return settings.odbcDriver.empty() ||
           asciiLower(settings.odbcDriver).find("freetds") != std::string::npos;
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

std::string odbcSettingsProblem(const ConnectionSettings& settings) {
    if (isFreeTds(settings) && settings.encryption == OdbcEncryption::Strict) {
        // FreeTDS documents only off, request and require for Encryption;
        // quietly asking for less than strict would hide the difference.
        return "FreeTDS驱动没有strict加密方式，请改用--encrypt yes（要求加密），或用--odbc-driver"
               "选择支持strict的驱动，例如“ODBC Driver 18 for SQL Server”。";
    }
    return {};
}

std::string odbcConnectionString(const ConnectionText& text, const ConnectionSettings& settings) {
    if (std::string problem = odbcSettingsProblem(settings); !problem.empty()) {
        throw DbError(problem);
    }
    const bool freeTds = isFreeTds(settings);
    std::string out;

    std::string source = trimmed(text.get("Data Source").value_or(""));
    if (source.size() >= 4 && asciiLower(source.substr(0, 4)) == "dsn=") {
        // A data source of odbc.ini: it names the driver and the server.
        out = "DSN=" + connectionValue(trimmed(source.substr(4)));
    } else {
        out =
            "DRIVER=" + bracedValue(settings.odbcDriver.empty() ? "FreeTDS" : settings.odbcDriver);
        std::size_t comma = source.find(',');
        if (comma != std::string::npos) {
            appendPair(out, "SERVER", trimmed(source.substr(0, comma)));
            appendPair(out, "PORT", trimmed(source.substr(comma + 1)));
        } else {
            // "host\instance" stays whole: the driver asks the server's browser
            // service for the instance's port.
            appendPair(out, "SERVER", source);
        }
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

    if (freeTds) {
        // FreeTDS's Encryption takes off, request or require (strict is
        // refused above). It has no keyword for trusting the certificate: it
        // checks one only when a CA file is set in freetds.conf, so without
        // one the certificate is already taken as it is.
        if (settings.encryption == OdbcEncryption::No) {
            out += ";Encryption=off";
        } else if (settings.encryption == OdbcEncryption::Yes) {
            out += ";Encryption=require";
        }
        out += ";TDS_Version=7.4;ClientCharset=UTF-8";
    } else {
        if (settings.encryption == OdbcEncryption::No) {
            out += ";Encrypt=no";
        } else if (settings.encryption == OdbcEncryption::Yes) {
            out += ";Encrypt=yes";
        } else if (settings.encryption == OdbcEncryption::Strict) {
            out += ";Encrypt=strict";
        }
        if (settings.trustServerCertificate) {
            out += ";TrustServerCertificate=yes";
        }
    }
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

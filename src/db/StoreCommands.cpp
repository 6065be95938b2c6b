// The server commands that the store answers itself.
#include "db/StoreCommands.h"

#include <algorithm>

#include "common/Text.h"
#include "db/DbError.h"

namespace pos::db {

// Whether SQL text holds nothing but blanks, semicolons and comments.
bool isEmptySql(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        char c = s[i];
        if (static_cast<unsigned char>(c) <= ' ' || c == ';') {
            ++i;
        } else if (s.substr(i, 2) == "--") {
            std::size_t e = s.find('\n', i);
            i = e == std::string_view::npos ? s.size() : e + 1;
        } else if (s.substr(i, 2) == "/*") {
            std::size_t e = s.find("*/", i + 2);
            i = e == std::string_view::npos ? s.size() : e + 2;
        } else {
            return false;
        }
    }
    return true;
}

namespace {

std::vector<std::string> splitWords(const std::string& line) {
    std::vector<std::string> words;
    std::string cur;
    for (char c : line) {
        if (static_cast<unsigned char>(c) <= ' ') {
            if (!cur.empty()) {
                words.push_back(std::move(cur));
                cur.clear();
            }
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) {
        words.push_back(std::move(cur));
    }
    return words;
}

}  // namespace

// The database name of a " use NAME" line: "NAME" with doubled inner quotes,
// [NAME] with doubled closing brackets, or a bare word.
std::string parseUseName(const std::string& line) {
    std::string rest = trimmed(trimmed(line).substr(3));
    auto bad = [&]() -> DbError {
        return DbError("无法读出“" + trimmed(line) +
                       "”中的数据库名，请写成use \"NAME\"，名称中的双引号要写两遍。");
    };
    if (rest.empty()) {
        throw bad();
    }
    char open = rest[0];
    char close = open == '"' ? '"' : open == '[' ? ']' : '\0';
    if (!close) {
        if (rest.find_first_of(" \t\"[]") != std::string::npos) {
            throw bad();
        }
        return rest;
    }
    std::string name;
    std::size_t i = 1;
    for (; i < rest.size(); ++i) {
        if (rest[i] == close) {
            if (i + 1 < rest.size() && rest[i + 1] == close) {
                name += close;
                ++i;
            } else {
                break;
            }
        } else {
            name += rest[i];
        }
    }
    if (i != rest.size() - 1) {
        throw bad();  // no closing mark, or something after it
    }
    return name;
}

LineKind classifyLine(const std::string& line) {
    // Only a line that starts with s, u or e can be one of the commands.
    const auto first = std::find_if(line.begin(), line.end(),
                                    [](char c) { return static_cast<unsigned char>(c) > ' '; });
    if (first == line.end() || std::string_view("sSuUeE").find(*first) == std::string_view::npos) {
        return LineKind::Sql;
    }
    std::vector<std::string> words = splitWords(line);
    if (words.size() == 3 && equalsIgnoreCase(words[0], "set") &&
        equalsIgnoreCase(words[1], "nocount") &&
        (equalsIgnoreCase(words[2], "on") || equalsIgnoreCase(words[2], "off"))) {
        return LineKind::NoCount;
    }
    if (!words.empty() && words[0].size() >= 3 && equalsIgnoreCase(words[0].substr(0, 3), "use") &&
        (words[0].size() == 3 || words[0][3] == '"' || words[0][3] == '[')) {
        return LineKind::Use;
    }
    if ((words.size() == 1 && equalsIgnoreCase(words[0], "sp_databases")) ||
        (words.size() == 2 &&
         (equalsIgnoreCase(words[0], "exec") || equalsIgnoreCase(words[0], "execute")) &&
         equalsIgnoreCase(words[1], "sp_databases"))) {
        return LineKind::ListDatabases;
    }
    return LineKind::Sql;
}

std::vector<BatchPart> splitBatch(const std::string& batch) {
    std::vector<BatchPart> segments;
    std::size_t start = 0;
    while (start < batch.size()) {
        std::size_t end = batch.find('\n', start);
        std::size_t next = end == std::string::npos ? batch.size() : end + 1;
        std::string line = batch.substr(start, next - start);
        start = next;
        LineKind kind = classifyLine(line);
        if (kind == LineKind::Sql) {
            if (segments.empty() || segments.back().kind != LineKind::Sql) {
                segments.push_back({LineKind::Sql, std::string()});
            }
            segments.back().text += line;
        } else {
            segments.push_back({kind, line});
        }
    }
    // SQL made only of blanks and comments runs nothing.
    segments.erase(std::remove_if(segments.begin(), segments.end(),
                                  [](const BatchPart& s) {
                                      return s.kind == LineKind::Sql && isEmptySql(s.text);
                                  }),
                   segments.end());
    return segments;
}

}  // namespace pos::db

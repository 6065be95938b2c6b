// Parsing of the connection text.
#include "db/ConnectionText.h"

#include "common/Text.h"

namespace pos::db {

ConnectionText ConnectionText::parse(const std::string& text) {
    ConnectionText out;
    std::size_t at = 0;
    while (at <= text.size()) {
        std::size_t end = text.find_first_of(";=", at);
        if (end == std::string::npos || text[end] == ';') {
            // A piece without "=": a name alone, or nothing.
            end = end == std::string::npos ? text.size() : end;
            const std::string piece = text.substr(at, end - at);
            if (!isBlank(piece)) {
                out.m_pairs.emplace_back(trimmed(piece), std::string());
            }
            at = end + 1;
            continue;
        }
        const std::string name = trimmed(text.substr(at, end - at));
        std::size_t valueStart = end + 1;
        std::size_t first = valueStart;
        while (first < text.size() && (text[first] == ' ' || text[first] == '\t')) {
            ++first;
        }
        std::string value;
        if (first < text.size() && (text[first] == '"' || text[first] == '\'')) {
            // A quoted value: up to the closing quote, a doubled quote
            // standing for one; anything up to the next ";" after it is
            // ignored.
            const char quote = text[first];
            std::size_t i = first + 1;
            while (i < text.size()) {
                if (text[i] == quote) {
                    if (i + 1 < text.size() && text[i + 1] == quote) {
                        value += quote;
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                value += text[i++];
            }
            end = text.find(';', i);
        } else {
            end = text.find(';', valueStart);
            value = text.substr(valueStart,
                                (end == std::string::npos ? text.size() : end) - valueStart);
        }
        out.m_pairs.emplace_back(name, std::move(value));
        if (end == std::string::npos) {
            break;
        }
        at = end + 1;
    }
    return out;
}

std::string ConnectionText::quoteValue(const std::string& value) {
    const bool plain = value.find_first_of(";=\"'") == std::string::npos &&
                       (value.empty() || (static_cast<unsigned char>(value.front()) > ' ' &&
                                          static_cast<unsigned char>(value.back()) > ' '));
    if (plain) {
        return value;
    }
    const bool doubleQuoted = value.find('"') != std::string::npos;
    const char quote = doubleQuoted && value.find('\'') == std::string::npos ? '\'' : '"';
    std::string out(1, quote);
    for (char c : value) {
        out += c;
        if (c == quote) {
            out += quote;
        }
    }
    return out + quote;
}

std::optional<std::string> ConnectionText::get(const std::string& name) const {
    for (const auto& [key, value] : m_pairs) {
        if (equalsIgnoreCase(key, name)) {
            return value;
        }
    }
    return std::nullopt;
}

bool ConnectionText::isEmbeddedStore() const {
    std::optional<std::string> source = get("Data Source");
    return !source || trimmed(*source) == ".";
}

}  // namespace pos::db

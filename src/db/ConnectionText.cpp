// Parsing of the connection text.
#include "db/ConnectionText.h"

#include "common/Text.h"

namespace pos::db {

ConnectionText ConnectionText::parse(const std::string& text) {
    ConnectionText out;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(';', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string piece = text.substr(start, end - start);
        std::size_t eq = piece.find('=');
        if (eq != std::string::npos) {
            out.m_pairs.emplace_back(trimmed(piece.substr(0, eq)), piece.substr(eq + 1));
        } else if (!isBlank(piece)) {
            out.m_pairs.emplace_back(trimmed(piece), std::string());
        }
        start = end + 1;
    }
    return out;
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

// The connection text: "Name=value" pairs separated by semicolons, as the
// catalogue builds it. Names are matched without regard to letter case. A
// value that holds a semicolon, an equals sign, a quote or blanks at either
// end is enclosed in double quotes (an inner double quote doubled), or in
// single quotes when it holds a double quote and no single one, so that it
// arrives whole and can add no pair of its own.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pos::db {

class ConnectionText {
public:
    static ConnectionText parse(const std::string& text);

    // `value` as it goes into a text: unchanged when plain, else quoted.
    static std::string quoteValue(const std::string& value);

    // The value of the first pair with that name, if any.
    std::optional<std::string> get(const std::string& name) const;
    const std::vector<std::pair<std::string, std::string>>& pairs() const { return m_pairs; }

    // The data source "." (or none) is the embedded store.
    bool isEmbeddedStore() const;

private:
    std::vector<std::pair<std::string, std::string>> m_pairs;
};

}  // namespace pos::db

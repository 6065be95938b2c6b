// The connection text: "Name=value" pairs separated by semicolons, as the
// catalogue builds it. Names are matched without regard to letter case.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pos::db {

class ConnectionText {
public:
    static ConnectionText parse(const std::string& text);

    // The value of the first pair with that name, if any.
    std::optional<std::string> get(const std::string& name) const;
    const std::vector<std::pair<std::string, std::string>>& pairs() const { return m_pairs; }

    // The data source "." (or none) is the embedded store.
    bool isEmbeddedStore() const;

private:
    std::vector<std::pair<std::string, std::string>> m_pairs;
};

}  // namespace pos::db

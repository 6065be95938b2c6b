// A result held whole in memory: what the SQL Server back end fetches at open,
// and the store's database list and drained intermediate results.
#pragma once

#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "common/Value.h"
#include "db/Backend.h"

namespace pos::db {

class MemoryCursor : public Cursor {
public:
    MemoryCursor(std::vector<std::string> columns, std::deque<std::vector<Value>> rows)
        : m_columns(std::move(columns)), m_rows(std::move(rows)) {}
    const std::vector<std::string>& columnNames() const override { return m_columns; }
    bool fetch(std::vector<Value>& row) override {
        if (m_rows.empty()) {
            return false;
        }
        row = std::move(m_rows.front());
        m_rows.pop_front();
        return true;
    }

private:
    std::vector<std::string> m_columns;
    std::deque<std::vector<Value>> m_rows;
};

}  // namespace pos::db

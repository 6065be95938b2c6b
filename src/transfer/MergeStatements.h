// The statements of the merge that carry many rows at once, built from the
// dataset's definition: the lookup of a list of names, the multi-row insert
// of new rows, the select of stored keys and rows, and the update of many
// stored rows in one statement. Both servers take the same texts, apart from
// the name collation the dialect gives.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "datasets/Datasets.h"
#include "db/Dialect.h"

namespace pos::transfer {

// The names one lookup carries (the store takes 500 terms of a compound
// select).
inline constexpr std::size_t kNamesPerLookup = 400;

// How many rows of `parametersPerRow` parameters one statement may carry, 0
// when not even one: SQL Server takes at most 2,100 parameters and 1,000 rows
// of values in a statement, the store 32,766 parameters.
std::size_t rowsPerStatementLimit(db::ServerKind kind, std::size_t parametersPerRow);

// ":K_0,:K_1,…" for `count` parameters.
std::string parameterList(const std::string& prefix, std::size_t count);

// The staged columns of every row of `table`, in the table's order.
std::string stagedColumnsSelect(std::span<const char* const> columns, const std::string& table);

// For each of `literals` (names as literals of the dialect), numbered k from
// 0, the reference rows the server finds for it, as the pass's lookup finds
// them: rows of k, the pass's identifier and name columns.
std::string namesLookup(const datasets::ReferencePass& pass,
                        const std::vector<std::string>& literals, const std::string& collation);

// A single-row insert "… values(:A,:B,0)" made an insert of many rows, each
// with its parameters suffixed by "_" and its ordinal: ":A_0,:B_0,0".
class ParameterisedInsert {
public:
    explicit ParameterisedInsert(const std::string& insert);
    std::string rows(std::size_t count) const;

private:
    std::string m_head;   // up to and with "values"
    std::string m_tuple;  // "(…)"
};

// The keys among :K_0…:K_{count-1} that `table` holds in `keyColumn`, in a
// column named as the key column.
std::string storedKeysSelect(const std::string& table, const std::string& keyColumn,
                             std::size_t count);

// The column list of a new row's insert, `columns` and then the columns of
// `fixed` that have a literal value, and those literals, each after a comma
// (an entry of `fixed` whose value is nullptr is one of `columns`).
struct NewRowList {
    std::string names;
    std::string literals;
};
NewRowList newRowList(const std::vector<std::string>& columns,
                      std::span<const std::pair<const char*, const char*>> fixed);

// The insert of `count` new rows into `table`: for each row the parameters
// named after `columns` with "_" and the row's ordinal, then the literal
// values of `fixed` (an entry whose value is nullptr is one of `columns`).
std::string newRowsInsert(const std::string& table, const std::vector<std::string>& columns,
                          std::span<const std::pair<const char*, const char*>> fixed,
                          std::size_t count);

// A stored row's update within an update of many rows: the parameter of its
// key, and for each column written the parameter of its value.
struct RowUpdate {
    std::string keyParameter;
    std::vector<std::pair<std::string, std::string>> columns;
};

// One update of many stored rows: each column written by any of them takes,
// in the row of each key that writes it, that row's value, and keeps its
// value in the others.
std::string storedRowsUpdate(const std::string& table, const std::string& keyColumn,
                             const std::vector<RowUpdate>& rows);

}  // namespace pos::transfer

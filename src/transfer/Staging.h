// The staging table of an import ("TEMP" + dataset key): building it from the
// point-of-sale tables, reading its columns and its identity column, the
// INSERT that appends a worksheet row, and dropping it again.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "datasets/Datasets.h"
#include "datasets/FieldMap.h"
#include "db/Connection.h"
#include "db/Dialect.h"
#include "transfer/TransferContext.h"

namespace pos::transfer {

// "TEMP" + the dataset's key.
std::string stagingTableName(const datasets::Dataset& dataset);

// The staging tables that the import of a dataset builds, in the order they
// are dropped.
std::vector<std::string> stagingTableNames(const datasets::Dataset& dataset);

// Drops the dataset's staging tables in `database`, each after the database
// preamble. A table that is absent is the usual case, so every error is
// ignored.
void dropStagingTables(db::Query& query, const std::string& database,
                       const datasets::Dataset& dataset) noexcept;
// The same for the dataset and database of `options`.
void dropStagingTables(db::Query& query, const TransferOptions& options) noexcept;

// The statements that build the staging tables of a dataset in `dialect`.
std::vector<std::string> stagingTableStatements(const db::Dialect& dialect,
                                                const datasets::Dataset& dataset,
                                                const db::Dialect::RowReader& readRows);

// Drops any staging table left over and builds the dataset's anew from the
// point-of-sale tables, with their column types, then empties it, so that
// it receives the workbook's rows alone. False when building failed (a
// required table or column is missing, or a stored value does not fit).
// `reason` and `fault`, when given, receive the database's reason for a
// failure and its kind.
bool buildStagingTable(db::Query& query, const TransferOptions& options,
                       std::string* reason = nullptr, db::DbFault* fault = nullptr);

// The staging table's column names in catalogue order.
std::vector<std::string> readStagingColumns(db::Query& query, const TransferOptions& options);

// The staging table's identity column, trimmed, or empty when it has none.
std::string findIdentityColumn(db::Query& query, const TransferOptions& options);

// The INSERT that appends one worksheet row, with a ":" parameter per matched
// column; the identity column is left out and its 1-based worksheet column
// remembered (0 when none was left out).
struct StagingInsert {
    std::string statement;
    int skippedColumn = 0;
};
StagingInsert buildStagingInsert(const datasets::Dataset& dataset,
                                 const std::vector<std::string>& matchedColumns,
                                 const std::string& identityColumn);

// The INSERT that appends `rows` worksheet rows in one statement, for the
// same columns as buildStagingInsert: " insert into TEMPX (C1,C2) values
// (:r0c1,:r0c2),(:r1c1,:r1c2) ", the parameter of row r (from 0) and
// 1-based worksheet column c named by stagingParameter(r, c).
std::string buildStagingBatchInsert(const datasets::Dataset& dataset,
                                    const std::vector<std::string>& matchedColumns,
                                    int skippedColumn, std::size_t rows);
std::string stagingParameter(std::size_t row, int column);

// How many worksheet rows of `columns` parameters one staging statement
// carries: `wanted` (0: as many as they allow) within the dialect's limits
// of parameters and rows; at least 1.
int stagingRowsPerStatement(const db::Dialect& dialect, std::size_t columns, int wanted);

// The heading that a field map would read in two ways or put into one column
// twice: a worksheet heading (already trimmed, not empty) that stands twice in
// the worksheet, or whose ShowName stands in two entries of the map, or whose
// entry's ShowField (letter case aside) an earlier heading's entry names too,
// the later heading then. Empty when there is none. Every row of such a
// worksheet would fail, so the import refuses it naming this heading.
std::string repeatedHeading(const std::vector<std::string>& headerNames,
                            const datasets::FieldMap& map);

// The staging column that receives each worksheet column, in column order, or
// nothing when a heading finds no match. With a field map a heading (already
// trimmed) is compared exactly with each entry's ShowName in entry order, the
// first equal entry's ShowField wins, and every ShowField found must be a
// staging column; without one a heading must equal a staging column itself.
std::optional<std::vector<std::string>> matchHeaderNames(
    const std::vector<std::string>& headerNames, const std::vector<std::string>& stagingColumns,
    const datasets::FieldMap* fieldMap);

}  // namespace pos::transfer

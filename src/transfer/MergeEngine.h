// The pass engine of the merge: it runs a dataset's reference passes, each of
// which makes sure that every name of a staged column exists in a reference
// table, then the last pass over the staged rows, whose handling of one row
// the dataset gives (MenuMerge.cpp, HallTableMerge.cpp, MenuAnnotateMerge.cpp).
// The engine moves the gauge, honours a stop request, keeps each pass in its
// transaction, records refused rows and builds the report. SQLQuery drives
// each pass, TempQuery looks names up, TempQuery2 computes maxima and inserts;
// all three share one connection, so the database chosen by the last preamble
// holds for every statement.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/Value.h"
#include "datasets/Datasets.h"
#include "db/Connection.h"
#include "transfer/Merge.h"
#include "transfer/RowTransaction.h"
#include "transfer/TransferContext.h"
#include "transfer/TransferView.h"

namespace pos::transfer {

// A staged value that the merge cannot use (a dish ID that is not a number).
class ConversionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// "“text”": a value as a message quotes it.
std::string inQuotes(std::string_view text);

// A staged value as a 32-bit integer; `what` names it in the error.
std::int32_t toInt32(const Value& value, const std::string& what);

// The numeric value of a staged number for the comparisons of the value
// rules. NULL and blank text count as 0; `column` names it in the error.
double numericValue(const Value& value, std::string_view column);

class MergeEngine;

// The user asked the merge to stop.
class StopRequested : public std::exception {};

// A column's value in the row as it will be: the workbook's, by the column's
// rule, when the workbook holds the column, else the stored one.
using ValueInRow = std::function<Value(const char* column)>;

// The value stored for a number cell of `column` by its value rule, for a
// new row and an update alike (the dish price rules, MenuMerge.cpp).
Value ruleValue(datasets::ValueRule rule, const Value& cell, std::string_view column);

// The same rule as an expression of the database over `value`, which
// leaves to `otherwise` (a call of ruleValue) what it does not decide;
// `numbersOnly`: the column holds nothing but numbers and NULL.
std::string ruleExpression(datasets::ValueRule rule, const std::string& value,
                           const std::string& otherwise, bool numbersOnly);

// A dish's first member price, given the value its rule makes and the row as
// it will be: a dish without any member price is sold to members at its
// first non-zero price (MenuMerge.cpp).
Value memberPrice(Value vprice1, const ValueInRow& valueInRow);

// The update of a stored row, for a dataset whose rows can be updated: the
// columns written are the dataset's columns that name a written column, and
// the stored row is read as an export shows it (statements built from the
// dataset's columns, MergeStatements.cpp).
struct StoredRowUpdate {
    const char* table;  // the table updated, by "where ID = :KeyID"; nullptr: none
};

// The columns of the staged rows of a pass: each found by its name (any
// letter case) without building a text, and each of the dataset's columns
// by its place in the dataset, found once for the pass.
class StagedColumns {
public:
    // The cursor's column names.
    StagedColumns(const db::Query& cursor, const datasets::Dataset& dataset);

    std::size_t size() const { return m_names.size(); }
    // The place of `column` among the columns; size() when there is none.
    std::size_t find(std::string_view column) const;
    // The place of the dataset's column `index`; size() when there is none.
    std::size_t ofDatasetColumn(std::size_t index) const { return m_ofDataset[index]; }
    const datasets::Dataset& dataset() const { return m_dataset; }

private:
    std::vector<std::string> m_names;
    // Open addressing by the name's hash: one above the place, 0 empty.
    std::vector<std::size_t> m_slots;
    std::vector<std::size_t> m_ofDataset;
    const datasets::Dataset& m_dataset;
};

// A staged row as the last pass reads it from the staging table: its values
// by column name (any letter case), or by the dataset's column.
class StagedRow {
public:
    StagedRow() = default;
    // The cursor's current row, whose columns are `columns`.
    StagedRow(std::shared_ptr<const StagedColumns> columns, const db::Query& cursor);

    // The value, valid while the row lives.
    const Value& fieldValue(std::string_view column) const;
    std::string fieldAsText(std::string_view column) const { return fieldValue(column).toText(); }
    // The value of one of the dataset's columns.
    const Value& value(const datasets::DatasetColumn& column) const;

private:
    std::shared_ptr<const StagedColumns> m_columns;
    std::vector<Value> m_values;
};

// A reference name looked up: the identifier and the name as stored, or
// nothing found (a NULL identifier).
struct FoundName {
    Value id;
    std::string stored;
};

// The identifiers behind the reference names of a batch of rows, by staged
// column and name exactly as staged.
class NameIds {
public:
    void add(const char* staged, const std::string& name, FoundName found);
    // The name's identifier; NULL when no row holds the name.
    const FoundName& find(const char* staged, const std::string& name) const;

private:
    // By staged column (a few, any letter case), then by name.
    std::vector<std::pair<std::string, std::unordered_map<std::string, FoundName>>> m_found;
    FoundName m_none;
};

// What a dataset gives for its new rows to be inserted by one statement per
// batch where the database computes their values (the store, which runs the
// rules of the merge as functions of the program): the staged columns the
// member-price rule reads, that rule on their values, and the same rule as
// SQL over their expressions where each column holds numbers only.
struct NewRowsAtOnce {
    std::span<const char* const> memberPriceColumns = {};
    Value (*memberPrice)(std::span<const Value> staged) = nullptr;
    std::string (*memberPriceSql)(std::span<const std::string> staged) = nullptr;
};

// What a dataset gives the batched last pass (nullptr members: its rows are
// merged one at a time).
struct BatchedRows {
    // The staged row's key as stored; sets the subject; throws
    // ConversionError for a key the merge cannot use. Nothing for a key
    // that only the database can compare: the row is merged by itself.
    std::optional<std::int64_t> (*keyOf)(MergeEngine& engine, const StagedRow& row) = nullptr;
    // The values of a new row, for the columns of `newRowColumns`, in order,
    // and the reference columns a new row is stored without.
    void (*newRow)(MergeEngine& engine, const StagedRow& row, const NameIds& names,
                   std::vector<Value>& values, std::vector<const char*>& without) = nullptr;
    // Given when every column of a new row is the staged value, a reference
    // name's identifier or a rule's value, and the per-row columns beyond
    // the dataset's take the station.
    const NewRowsAtOnce* atOnce = nullptr;
};

// A dataset's merge: its definition's reference passes, then the last pass,
// which hands each staged row to `mergeRow`, or a batch of rows to the
// engine's batched pass when the dataset gives `batched`.
struct DatasetMerge {
    const datasets::Dataset& dataset;
    const char* lastStep;  // the last pass as a stop names it: "菜品"
    void (*mergeRow)(MergeEngine& engine);
    StoredRowUpdate update;
    BatchedRows batched = {};
    // A new row's columns beyond the dataset's: each with a value (a literal
    // of both servers), or with nullptr, a value given per row after the
    // dataset's columns.
    std::span<const std::pair<const char*, const char*>> newRowFixed = {};
};

extern const DatasetMerge kMenuMerge;
extern const DatasetMerge kHallTableMerge;
extern const DatasetMerge kMenuAnnotateMerge;

// The merge of a dataset of kDatasets (Merge.cpp keeps the list), or nullptr.
const DatasetMerge* datasetMerge(const datasets::Dataset& dataset);

// The gauge of the merge: each step sets it to the pass's base plus the
// share of the pass done, and the end of a pass makes that the next base.
class Progress {
public:
    Progress(int& base, TransferView& view) : m_base(base), m_view(view), m_position(base) {}

    void step(int ordinal, int rowCount, int span);
    void endPass() { m_base = m_position; }

private:
    int& m_base;
    TransferView& m_view;
    int m_position;
};

class MergeEngine {
public:
    MergeEngine(const DatasetMerge& merge, TransferQueries& queries, const TransferOptions& options,
                int& progressBase, TransferView& view, const std::vector<ImportedColumn>& columns,
                StagedKeys staged = {});

    // Runs the dataset's passes; any failure outside the protected inserts
    // becomes MergeStopped, naming where it happened.
    void run();

    const MergeReport& report() const { return m_report; }

    // For the last pass of a dataset: the staged row in hand, the options, the
    // report to add to, and the steps of handling one row.
    const StagedRow& row() const { return m_row; }
    const TransferOptions& options() const { return m_options; }
    const db::Dialect& dialect() const { return m_q.connection.dialect(); }
    MergeReport& report() { return m_report; }
    // What a stop names as the row in hand: "桌号“A01”".
    void setSubject(std::string subject) {
        m_subject = std::move(subject);
        m_describe = nullptr;
    }
    // The same, written from `row` by `describe` only when a message needs
    // it; `row` must stay while it is the subject.
    void setSubjectOf(const StagedRow& row, std::string (*describe)(const StagedRow&)) {
        m_subject.clear();
        m_subjectRow = &row;
        m_describe = describe;
    }

    // The first column value of a lookup, NULL when it finds no row.
    Value lookupValue(const std::string& statement, const std::string& column);

    // Whether a row with the staged row's key is already stored. A key the
    // server cannot even compare (a table number "A01" against an integer ID
    // on SQL Server) counts as not stored: the insert that follows is then
    // refused and recorded with the database's reason, instead of stopping
    // the merge. Any other failure of the lookup stops the merge: it does not
    // tell whether the row is stored, and inserting it anyway could store it
    // twice (annotations have no unique key).
    bool exists(const std::string& statement, const db::Parameters& params);

    // One above the largest `column` of `source` (a table, optionally with a
    // where-clause).
    Value nextId(const std::string& column, const std::string& source);

    // A name as a literal of a lookup, compared as the server compares
    // names: trailing blanks and ASCII letter case ignored.
    std::string quoted(const std::string& name) const;

    // Inserts the staged row; false when the database refused it, which is
    // recorded under `key`.
    bool insertRow(const std::string& statement, const db::Parameters& params,
                   const std::string& key);

    // Notes `key` as a row stored without a name in the reference column
    // `staged`, for the report's warning.
    void noteWithoutReference(const char* staged, const std::string& key);

    // Updates the stored row with the staged row's key: each column the
    // workbook holds, as the rules of a new row make it, is compared with the
    // stored row as an export shows it, and only the columns that differ are
    // written. A row without a difference is left untouched. Without updates
    // the row is only counted as existing, and as differing when an update
    // would write a column.
    void updateStoredRow(const Value& keyValue, const std::string& key);

    // The columns of a new row's insert: the dataset's, each as stored (the
    // key's source column, the written column of the others), then the
    // dataset merge's fixed columns.
    std::vector<std::string> newRowColumns() const;
    // The insert of one new row, and its parameters for the values of
    // `newRowColumns()`, in order.
    std::string newRowInsert() const;
    db::Parameters newRowParameters(const std::vector<Value>& values) const;

private:
    // A stored row as an export shows it: for each updatable column its
    // value, and the identifier behind a reference name.
    struct StoredValues {
        std::vector<Value> shown;
        std::vector<Value> ids;
    };
    // A cell an update rewrites: the updatable column's index, its heading,
    // the value written and the cell as an export will show it.
    struct CellWrite {
        std::size_t index;
        const std::string* heading;
        Value value;
        std::string after;
    };
    using FindName = std::function<FoundName(const char* staged, const std::string& name)>;
    struct PlannedRow;

    void passes();
    int batchRows() const;
    std::vector<CellWrite> plannedWrites(const StagedRow& row, const StoredValues& stored,
                                         const FindName& findName) const;
    void countUpdated(const std::vector<CellWrite>& writes, const StoredValues& stored,
                      const std::string& key);
    std::string storedRowSelect(const std::string& where) const;
    // Batches (MergeBatch.cpp).
    void batchedReferencePass(const datasets::ReferencePass& pass);
    std::int64_t largestNumber(const char* column, const char* table);
    void insertReferences(const datasets::ReferencePass& pass,
                          const std::vector<CreatedReference>& rows);
    std::vector<FoundName> lookUpNames(const datasets::ReferencePass& pass,
                                       const std::vector<std::string>& names);
    void batchedLastPass();
    bool stagedPassNames(const datasets::ReferencePass& pass, std::vector<std::string>* read,
                         int& rows, std::vector<std::string>& names) const;
    // The store's last pass when every staged row is new (MergeAtOnce.cpp).
    bool allStagedRowsNew(const std::string& table);
    void lastPassAtOnce(const std::string& table);
    std::string newRowsAtOnceInsert(const std::string& table);
    std::set<std::string> numberOnlyColumns(const std::string& table);
    bool defineAtOnceFunctions();
    void mergeRowsAlone(const std::string& table, std::int64_t first, std::int64_t last);
    void mergeBatch(const std::vector<StagedRow>& rows);
    void planBatch(const std::vector<StagedRow>& rows, std::vector<PlannedRow>& plan);
    void writeBatch(std::vector<PlannedRow>& plan);
    void insertNewRows(std::vector<PlannedRow>& plan);
    void updateRows(std::vector<PlannedRow>& plan);
    bool sendBatch(const std::string& statement, db::Parameters params);
    void finishBatch(const std::vector<StagedRow>& rows, std::vector<PlannedRow>& plan);
    std::unordered_set<std::int64_t> storedKeys(const std::vector<std::int64_t>& keys);
    std::map<std::int64_t, StoredValues> storedRows(const std::vector<std::int64_t>& keys);
    NameIds namesOf(const std::vector<StagedRow>& rows, std::size_t count);
    std::size_t rowsPerStatement(std::size_t parametersPerRow) const;
    void referencePass(const datasets::ReferencePass& pass);
    void commitPass();
    Value newReferenceId(const datasets::ReferencePass& pass, const std::string& name);
    const datasets::ReferencePass& referencePassOver(const char* column) const;
    void walkPass(const char* step, const std::string& statement, int span, int firstOrdinal,
                  const std::function<void()>& handleRow, const std::string& countStatement = {});
    void ensureReference(const std::string& name, const std::string& lookup,
                         const std::function<void()>& insert);
    void insertReference(const std::string& statement, const db::Parameters& params);
    bool writeRow(const std::string& statement, const db::Parameters& params,
                  const std::string& key);
    void countStoredRowLeft(bool differs, const std::string& key);
    void countWrite(const datasets::DatasetColumn& column, const std::string& heading,
                    const std::string& key, const Value& before, const Value& value,
                    const std::string& after);
    const std::string* headingOf(const char* column) const;
    std::string distinctPass(const std::string& column, const std::string& table) const;
    std::string stopMessage(const std::string& reason, const std::string& lost) const;
    std::string subjectText() const {
        return m_describe != nullptr ? m_describe(*m_subjectRow) : m_subject;
    }
    void clearSubject() { setSubject({}); }

    const DatasetMerge& m_merge;
    TransferQueries& m_q;
    const TransferOptions& m_options;
    const std::vector<ImportedColumn>& m_columns;
    // The dataset's columns that an update may write, in the dataset's order.
    std::vector<const datasets::DatasetColumn*> m_updatable;
    StagedKeys m_stagedKeys;
    TransferView& m_view;
    Progress m_progress;
    RowTransaction m_transaction;
    MergeReport m_report;
    MergeReport m_reportAtPassStart;
    std::string m_lostPass;  // why the last pass's rows could not be kept
    std::string m_dataset;
    std::string m_step;
    std::string m_subject;
    const StagedRow* m_subjectRow = nullptr;
    std::string (*m_describe)(const StagedRow&) = nullptr;  // writes the subject when set
    StagedRow m_row;                                        // the row of the last pass in hand
    // The keys the batched last pass has met so far: a key met again is
    // merged by itself, after the rows before it are written.
    std::unordered_set<std::int64_t> m_passKeys;
    // The names that each reference pass reading one column found, one for
    // each name the database's comparison tells apart, by staged column.
    std::map<std::string, std::vector<std::string>, std::less<>> m_distinctNames;
    struct AtOncePass;
    std::shared_ptr<AtOncePass> m_atOnce;
    // The multi-row inserts of new rows built so far, by their row count.
    std::map<std::size_t, std::string> m_newRowsInserts;
};

}  // namespace pos::transfer

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
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
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
double numericValue(const Value& value, const std::string& column);

class MergeEngine;

// A column's value in the row as it will be: the workbook's, by the column's
// rule, when the workbook holds the column, else the stored one.
using ValueInRow = std::function<Value(const char* column)>;

// The value stored for a number cell of `column` by its value rule, for a
// new row and an update alike (the dish price rules, MenuMerge.cpp).
Value ruleValue(datasets::ValueRule rule, const Value& cell, const std::string& column);

// A dish's first member price, given the value its rule makes and the row as
// it will be: a dish without any member price is sold to members at its
// first non-zero price (MenuMerge.cpp).
Value memberPrice(Value vprice1, const ValueInRow& valueInRow);

// The update of a stored row, for a dataset whose rows can be updated: the
// columns written are the dataset's columns that name a written column.
struct StoredRowUpdate {
    const char* table;  // the table updated, by "where ID = :KeyID"
    // The stored row as an export shows it: every column the workbook may
    // hold under the staging column's name, and the identifiers behind the
    // reference names, for the key :KeyID; nullptr when the dataset's rows
    // hold nothing beyond their key.
    const char* storedRow;
};

// A dataset's merge: its definition's reference passes, then the last pass,
// which hands each staged row to `mergeRow`.
struct DatasetMerge {
    const datasets::Dataset& dataset;
    const char* lastStep;  // the last pass as a stop names it: "菜品"
    void (*mergeRow)(MergeEngine& engine);
    StoredRowUpdate update;
};

extern const DatasetMerge kMenuMerge;
extern const DatasetMerge kHallTableMerge;
extern const DatasetMerge kMenuAnnotateMerge;

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
                int& progressBase, TransferView& view, const std::vector<ImportedColumn>& columns);

    // Runs the dataset's passes; any failure outside the protected inserts
    // becomes MergeStopped, naming where it happened.
    void run();

    const MergeReport& report() const { return m_report; }

    // For the last pass of a dataset: the staged row in hand, the options, the
    // report to add to, and the steps of handling one row.
    const db::Query& row() const { return m_q.sqlQuery; }
    const TransferOptions& options() const { return m_options; }
    const db::Dialect& dialect() const { return m_q.connection.dialect(); }
    MergeReport& report() { return m_report; }
    // What a stop names as the row in hand: "桌号“A01”".
    void setSubject(std::string subject) { m_subject = std::move(subject); }

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

private:
    void passes();
    void referencePass(const datasets::ReferencePass& pass);
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

    const DatasetMerge& m_merge;
    TransferQueries& m_q;
    const TransferOptions& m_options;
    const std::vector<ImportedColumn>& m_columns;
    // The dataset's columns that an update may write, in the dataset's order.
    std::vector<const datasets::DatasetColumn*> m_updatable;
    TransferView& m_view;
    Progress m_progress;
    RowTransaction m_transaction;
    MergeReport m_report;
    MergeReport m_reportAtPassStart;
    std::string m_lostPass;  // why the last pass's rows could not be kept
    std::string m_dataset;
    std::string m_step;
    std::string m_subject;
};

}  // namespace pos::transfer

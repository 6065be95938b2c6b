// What a transfer works with: a session of its own on the front end's
// connection, owning the queries of that one transfer, and its inputs, read
// once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "datasets/Datasets.h"
#include "db/Connection.h"

namespace pos::workbook {
class SpreadsheetSession;
}

namespace pos::transfer {

// A workbook as the import's checks read it, whole, handed to the import's
// worker, which takes it once instead of reading the file again.
class CheckedWorkbook {
public:
    explicit CheckedWorkbook(std::unique_ptr<workbook::SpreadsheetSession> session);
    ~CheckedWorkbook();
    CheckedWorkbook(const CheckedWorkbook&) = delete;
    CheckedWorkbook& operator=(const CheckedWorkbook&) = delete;
    // The session; nothing after the first call.
    std::unique_ptr<workbook::SpreadsheetSession> take();

private:
    std::unique_ptr<workbook::SpreadsheetSession> m_session;
};

// The queries of one transfer as its steps and the merge use them, borrowed
// from the transfer's session for as long as the worker that owns it runs.
struct TransferQueries {
    db::Connection& connection;  // SQLConn
    db::Query& sqlQuery;         // SQLQuery: the workers' statements, the merge's driving cursor
    db::Query& tempQuery;        // TempQuery: the merge's lookups
    db::Query& tempQuery2;       // TempQuery2: the merge's maxima and inserts
};

// One transfer's hold on the database: a front end creates one for each
// transfer from its connection and hands it to the worker, which owns it for
// its run. The queries are the session's own, so that none outlives its
// transfer and no statement, parameter or result of one transfer reaches the
// next. The connection stays the front end's (the window keeps one across
// transfers) and must outlive the session.
class TransferSession {
public:
    explicit TransferSession(db::Connection& connection);
    // Closes the queries; a failure is logged, never thrown.
    ~TransferSession();
    TransferSession(TransferSession&& other) noexcept = default;
    TransferSession& operator=(TransferSession&&) = delete;
    TransferSession(const TransferSession&) = delete;
    TransferSession& operator=(const TransferSession&) = delete;

    // The connection and the queries, valid as long as the session (a moved
    // session's queries move with it).
    TransferQueries queries();
    // Drops every query's result, when the transfer has ended: no statement
    // of it stays open on the connection. The queries may be used again.
    void close() noexcept;

private:
    db::Connection* m_connection;
    std::unique_ptr<db::Query> m_sqlQuery;
    std::unique_ptr<db::Query> m_tempQuery;
    std::unique_ptr<db::Query> m_tempQuery2;
};

// What an import may be asked beyond the window's inputs: the command line's
// options, and the window's checkable menu entries (every choice at its
// default imports as the window always did).
struct ImportChoices {
    bool dryRun = false;          // run every step, then roll all of it back
    bool updateExisting = false;  // a row whose key is stored updates that row
    std::string rejectsPath;      // the workbook for rows not imported; empty: none
    // The view may offer to save the rows not imported once the import has
    // ended (the window's result box does).
    bool offerRejects = false;
    // How a message tells the user to choose another dataset: empty for the
    // window's drop-down, else the command line's option ("--dataset").
    std::string datasetOption = {};
};

// The merge's rows per batch unless a caller asks for another number.
inline constexpr int kMergeBatchRows = 1000;

// A transfer's inputs. The dataset is found once, where the user names it
// (the window's drop-down, the command line's --dataset); everything after
// works with the definition itself.
struct TransferOptions {
    const datasets::Dataset& dataset;
    std::string database = {};     // the text of ExIMDataBase, untrimmed
    std::string path = {};         // the text of PathEdit, untrimmed
    std::string fieldMapDir = {};  // folder of the field-map files, with its trailing '/'
    std::int32_t stationNumber = 0;
    ImportChoices importChoices = {};
    // How many staged rows the merge handles together: their names looked up
    // in one statement, their inserts and updates sent as a few multi-row
    // statements. 1 handles one row at a time, a statement or more for each.
    int mergeBatchRows = kMergeBatchRows;
    // Worksheet rows the import's staging insert sends in one statement: 0
    // as many as the server's limits allow, 1 one row at a time.
    int stagingRowsPerStatement = 0;
    // The workbook as the import's checks read it; empty: the worker reads
    // the file itself.
    std::shared_ptr<CheckedWorkbook> checkedWorkbook = {};
};

// The context batch: close, clear, " set Nocount on " and the " use " line of
// the database, execute; the query is left closed and cleared.
void executePreamble(db::Query& query, const std::string& database);

// The statement batch: close, clear, the statement as one line, then execute
// (or open, for a select).
void executeStatement(db::Query& query, const std::string& statement);
void openStatement(db::Query& query, const std::string& statement);

}  // namespace pos::transfer

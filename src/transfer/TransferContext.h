// What a transfer works with: the window's connection and query objects,
// borrowed for the length of one transfer, and its inputs, read once.
#pragma once

#include <cstdint>
#include <string>

#include "datasets/Datasets.h"
#include "db/Connection.h"

namespace pos::transfer {

struct TransferQueries {
    db::Connection& connection;  // SQLConn
    db::Query& sqlQuery;         // SQLQuery: the workers' statements, the merge's driving cursor
    db::Query& tempQuery;        // TempQuery: the merge's lookups
    db::Query& tempQuery2;       // TempQuery2: the merge's maxima and inserts
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
};

// The context batch: close, clear, " set Nocount on " and the " use " line of
// the database, execute; the query is left closed and cleared.
void executePreamble(db::Query& query, const std::string& database);

// The statement batch: close, clear, the statement as one line, then execute
// (or open, for a select).
void executeStatement(db::Query& query, const std::string& statement);
void openStatement(db::Query& query, const std::string& statement);

}  // namespace pos::transfer

// The transaction of a pass over rows (the import's staging passes, the
// merge's passes): a row the database refuses is undone alone, and the rows
// it accepted are kept or undone together at the end of the pass.
#pragma once

#include <stdexcept>
#include <string>

#include "db/Backend.h"
#include "db/Connection.h"

namespace pos::transfer {

// A refused row could not be undone alone, or the database ended the pass's
// transaction by itself (then RowTransaction::lost() says why): the pass's
// transaction is gone or in an unknown state, and the pass stops.
class RowNotUndone : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What becomes of a row that the database accepted.
enum class RowEnd {
    Kept,    // it stays, and goes with the pass
    Undone,  // it is undone at once: the pass only asks for the database's judgement
};

// Where the dialect offers savepoints (the store) the pass's rows share one
// transaction, which spares a commit per row, and each row runs between a
// savepoint and its release in one batch, so that a refused row is undone
// alone. Where a failed statement can doom the whole transaction (SQL
// Server) the dialect offers none, and every row commits by itself. A dry
// run needs nothing here: db::Connection nests every transaction inside its
// outer one.
class RowTransaction {
public:
    // `savepoint` names the savepoint of each row.
    RowTransaction(db::Connection& connection, const std::string& savepoint);
    // Undoes a shared transaction still open (the pass ended by an error);
    // a failure to do so is logged.
    ~RowTransaction();
    RowTransaction(const RowTransaction&) = delete;
    RowTransaction& operator=(const RowTransaction&) = delete;

    // The shared transaction is open.
    bool open() const { return m_open; }
    // Why the database ended the pass's transaction by itself, undoing its
    // rows; empty when it did not.
    const std::string& lost() const { return m_lost; }

    // A pass starts: its first row opens the shared transaction, so that the
    // transaction takes the write lock with its first statement and no read
    // of an older state comes before its writes.
    void begin();
    // A pass starts, and the shared transaction opens at once.
    void beginAtOnce();

    // Undoes the pass's rows (the user stopped the pass). False when they
    // were committed one by one and stay. A rollback the database refuses
    // does not throw: its reason goes to `failure`, the rows' fate unknown.
    bool rollBack(std::string& failure);
    // Undoes the pass's rows; a failure throws, and the destructor tries
    // again.
    void undoAll();
    // Makes the pass's rows permanent. A commit the database refuses undoes
    // them all and throws.
    void commit();

    // Runs an insert on `query`, a kept row of the shared transaction or
    // committed by itself. With `fenced`, inside the shared transaction, the
    // insert runs between a savepoint and its release, and a failure undoes
    // it alone before the error goes on. An insert that is not fenced stops
    // the pass when it fails, and the database undoes a failed statement by
    // itself.
    void runInsert(db::Query& query, const std::string& statement, db::Parameters params,
                   bool fenced);

    // Runs one row's statement on `query`, inside the shared transaction
    // between a savepoint and its release, or else in a transaction of its
    // own, and keeps or undoes it as `end` says. A refused row is undone
    // alone and the error goes on. A fault of the database or its
    // surroundings (busy, full, read-only) goes on as it is, the row not
    // undone alone: the pass stops, and undoes all of its rows.
    void runRow(db::Query& query, const std::string& statement, db::Parameters params, RowEnd end);

private:
    enum class Guard { None, Savepoint, OwnTransaction };
    void run(db::Query& query, const std::string& statement, db::Parameters params, Guard guard,
             RowEnd end, bool undoOnFault);
    void undoRow(db::Query& query);

    db::Connection& m_connection;
    std::string m_setSavepoint;
    std::string m_undoRow;
    std::string m_forgetSavepoint;
    bool m_wanted = false;  // the pass runs in a shared transaction
    bool m_open = false;
    std::string m_lost;
};

}  // namespace pos::transfer

// The transaction of one pass of the merge: the pass's inserts share it where
// the database can undo a single statement inside a transaction, and each
// protected insert is undone alone when the database refuses it.
#pragma once

#include <stdexcept>
#include <string>

#include "db/Connection.h"

namespace pos::transfer {

// A refused row could not be undone alone: the pass's transaction is in an
// unknown state, and the merge stops.
class RowNotUndone : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The transaction of one pass on a database that can undo a single statement
// inside a transaction (the store): the pass's inserts share it, which spares
// a commit per row, and each protected insert runs between a savepoint and
// its release so that a refused row is undone alone. The transaction starts
// with the pass's first insert, so that it takes the write lock with its
// first statement and no read of an older state comes before its writes.
// Where a failed statement can doom the whole transaction (SQL Server) the
// dialect offers no savepoint and every insert commits by itself, as it
// always did.
class PassTransaction {
public:
    explicit PassTransaction(db::Connection& connection);
    ~PassTransaction();
    PassTransaction(const PassTransaction&) = delete;
    PassTransaction& operator=(const PassTransaction&) = delete;

    bool open() const { return m_open; }
    // Why the database ended the pass's transaction by itself, undoing its
    // rows; empty when it did not.
    const std::string& lost() const { return m_lost; }

    // A pass starts: its first insert opens the transaction.
    void begin() {
        m_wanted = !m_setSavepoint.empty();
        m_lost.clear();
    }

    // Undoes the pass's rows (the user stopped the merge); false when they
    // were committed one by one and stay.
    bool rollBack();

    // Makes the pass's rows permanent. A commit the database refuses undoes
    // them all and throws.
    void commit();

    // Runs an insert on `query`. With `fenced`, inside the shared transaction,
    // the insert runs between a savepoint and its release in one batch, and a
    // failure undoes it alone before the error goes on. An insert that is not
    // fenced stops the merge when it fails, and the database undoes a failed
    // statement by itself.
    void runInsert(db::Query& query, const std::string& statement, const db::Parameters& params,
                   bool fenced);

private:
    static constexpr const char* kSavepoint = "merged_row";
    db::Connection& m_connection;
    std::string m_setSavepoint;
    std::string m_undoRow;
    std::string m_forgetSavepoint;
    bool m_wanted = false;  // the pass runs in a shared transaction
    bool m_open = false;
    std::string m_lost;
};

}  // namespace pos::transfer

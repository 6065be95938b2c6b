#include "transfer/RowTransaction.h"

#include <exception>
#include <utility>

#include "common/Cleanup.h"
#include "db/DbError.h"
#include "db/Dialect.h"

namespace pos::transfer {

namespace {

bool isEnvironmentFault(const std::exception& e) {
    const auto* dbError = dynamic_cast<const db::DbError*>(&e);
    return dbError != nullptr && db::isEnvironmentFault(dbError->fault());
}

}  // namespace

RowTransaction::RowTransaction(db::Connection& connection, const std::string& savepoint)
    : m_connection(connection) {
    const db::Dialect& dialect = connection.dialect();
    m_setSavepoint = dialect.savepointLine(savepoint);
    m_undoRow = dialect.rollbackToSavepointLine(savepoint);
    m_forgetSavepoint = dialect.releaseSavepointLine(savepoint);
}

RowTransaction::~RowTransaction() {
    if (m_open) {
        runCleanup("回滚事务", [this] {
            if (m_connection.inTransaction()) {
                m_connection.rollback();
            }
        });
    }
}

void RowTransaction::begin() {
    m_wanted = !m_setSavepoint.empty();
    m_lost.clear();
}

void RowTransaction::beginAtOnce() {
    begin();
    if (m_wanted) {
        m_connection.beginTransaction();
        m_open = true;
    }
}

bool RowTransaction::rollBack(std::string& failure) {
    m_wanted = false;
    if (!m_open) {
        return false;
    }
    m_open = false;
    failure = cleanupFailure([this] { m_connection.rollback(); });
    return true;
}

void RowTransaction::undoAll() {
    m_wanted = false;
    if (m_open) {
        m_connection.rollback();
        m_open = false;
    }
}

void RowTransaction::commit() {
    m_wanted = false;
    if (!m_open) {
        return;
    }
    m_open = false;
    try {
        m_connection.commit();
    } catch (...) {
        runCleanup("回滚未能提交的事务", [this] {
            if (m_connection.inTransaction()) {
                m_connection.rollback();
            }
        });
        throw;
    }
}

void RowTransaction::runInsert(db::Query& query, const std::string& statement,
                               db::Parameters params, bool fenced) {
    run(query, statement, std::move(params), fenced ? Guard::Savepoint : Guard::None, RowEnd::Kept,
        true);
}

void RowTransaction::runRow(db::Query& query, const std::string& statement, db::Parameters params,
                            RowEnd end) {
    const bool shared = m_open || m_wanted;
    run(query, statement, std::move(params), shared ? Guard::Savepoint : Guard::OwnTransaction, end,
        false);
}

void RowTransaction::run(db::Query& query, const std::string& statement, db::Parameters params,
                         Guard guard, RowEnd end, bool undoOnFault) {
    query.close();
    query.clearLines();
    if (m_wanted && !m_open) {
        m_connection.beginTransaction();
        m_open = true;
    }
    if (guard == Guard::Savepoint && !m_open) {
        guard = Guard::None;
    }
    if (guard == Guard::Savepoint) {
        // Several statements in one batch, each ended by ";".
        query.addLine(m_setSavepoint);
        query.addLine(statement + ";");
        if (end == RowEnd::Undone) {
            query.addLine(m_undoRow);
        }
        query.addLine(m_forgetSavepoint);
    } else {
        query.addLine(statement);
    }
    query.setParameters(std::move(params));
    try {
        if (guard == Guard::OwnTransaction) {
            m_connection.beginTransaction();
        }
        query.execute();
        if (guard == Guard::OwnTransaction) {
            if (end == RowEnd::Kept) {
                m_connection.commit();
            } else {
                m_connection.rollback();
            }
        }
    } catch (const std::exception& e) {
        if (m_open && !m_connection.inTransaction()) {
            // The database ended the pass's transaction by itself (a full
            // disk): the pass's rows are gone, and the pass stops.
            m_open = false;
            m_lost = e.what();
            throw RowNotUndone(e.what());
        }
        if (guard == Guard::OwnTransaction) {
            runCleanup("回滚一行的事务", [this] { m_connection.rollback(); });
        } else if (guard == Guard::Savepoint && (undoOnFault || !isEnvironmentFault(e))) {
            undoRow(query);
        }
        throw;
    }
}

void RowTransaction::undoRow(db::Query& query) {
    // Undoing the row leaves the transaction as it was before it; a failure
    // here leaves it unknown and ends the pass.
    try {
        query.close();
        query.clearLines();
        query.addLine(m_undoRow);
        query.addLine(m_forgetSavepoint);
        query.execute();
    } catch (const std::exception& undoError) {
        throw RowNotUndone(undoError.what());
    }
}

}  // namespace pos::transfer

// The transaction of one pass of the merge.
#include "transfer/PassTransaction.h"

namespace pos::transfer {

PassTransaction::PassTransaction(db::Connection& connection) : m_connection(connection) {
    const db::Dialect& dialect = connection.dialect();
    m_setSavepoint = dialect.savepointLine(kSavepoint);
    m_undoRow = dialect.rollbackToSavepointLine(kSavepoint);
    m_forgetSavepoint = dialect.releaseSavepointLine(kSavepoint);
}

PassTransaction::~PassTransaction() {
    if (m_open) {
        try {
            m_connection.rollback();
        } catch (...) {
        }
    }
}

bool PassTransaction::rollBack() {
    m_wanted = false;
    if (!m_open) {
        return false;
    }
    m_open = false;
    try {
        m_connection.rollback();
    } catch (...) {
    }
    return true;
}

void PassTransaction::commit() {
    m_wanted = false;
    if (!m_open) {
        return;
    }
    m_open = false;
    try {
        m_connection.commit();
    } catch (...) {
        try {
            m_connection.rollback();
        } catch (...) {
        }
        throw;
    }
}

void PassTransaction::runInsert(db::Query& query, const std::string& statement,
                                const db::Parameters& params, bool fenced) {
    query.close();
    query.clearLines();
    if (m_wanted && !m_open) {
        m_connection.beginTransaction();
        m_open = true;
    }
    fenced = fenced && m_open;
    if (fenced) {
        query.addLine(m_setSavepoint);
        query.addLine(statement + ";");
        query.addLine(m_forgetSavepoint);
    } else {
        query.addLine(statement);
    }
    for (const auto& [name, value] : params) {
        query.setParameter(name, value);
    }
    try {
        query.execute();
    } catch (const std::exception& e) {
        if (m_open && !m_connection.inTransaction()) {
            // The database ended the pass's transaction by itself (a full
            // disk): the pass's rows are gone, and the merge stops.
            m_open = false;
            m_lost = e.what();
            throw RowNotUndone(e.what());
        }
        if (fenced) {
            // Undoing the row leaves the transaction as it was before it;
            // a failure here leaves it unknown and ends the merge.
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
        throw;
    }
}

}  // namespace pos::transfer

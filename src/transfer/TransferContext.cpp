// A transfer's session on the connection, and the two batch forms that
// every worker sends.
#include "transfer/TransferContext.h"

#include "common/Cleanup.h"

namespace pos::transfer {

TransferSession::TransferSession(db::Connection& connection)
    : m_connection(&connection),
      m_sqlQuery(std::make_unique<db::Query>(connection)),
      m_tempQuery(std::make_unique<db::Query>(connection)),
      m_tempQuery2(std::make_unique<db::Query>(connection)) {}

TransferSession::~TransferSession() {
    close();
}

TransferQueries TransferSession::queries() {
    return {*m_connection, *m_sqlQuery, *m_tempQuery, *m_tempQuery2};
}

void TransferSession::close() noexcept {
    for (const std::unique_ptr<db::Query>* query : {&m_sqlQuery, &m_tempQuery, &m_tempQuery2}) {
        // A moved session has no queries left to close.
        if (*query) {
            runCleanup("关闭查询", [query] { (*query)->close(); });
        }
    }
}

void executePreamble(db::Query& query, const std::string& database) {
    query.close();
    query.clearLines();
    for (const std::string& line : query.connection().dialect().preambleLines(database)) {
        query.addLine(line);
    }
    query.execute();
    query.close();
    query.clearLines();
}

void executeStatement(db::Query& query, const std::string& statement) {
    query.close();
    query.clearLines();
    query.addLine(statement);
    query.execute();
}

void openStatement(db::Query& query, const std::string& statement) {
    query.close();
    query.clearLines();
    query.addLine(statement);
    query.open();
}

}  // namespace pos::transfer

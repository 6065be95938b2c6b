// The two batch forms that every worker sends.
#include "transfer/TransferContext.h"

namespace pos::transfer {

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

// The statements for SQL Server: the program's own texts, sent as written.
#pragma once

#include "db/Dialect.h"

namespace pos::db {

class SqlServerDialect : public Dialect {
public:
    ServerKind kind() const override { return ServerKind::SqlServer; }
    std::string listDatabasesLine() const override;
    std::string nameCollation() const override { return {}; }
    std::string tablePresenceLine(const std::vector<std::string>& tables) const override;
    // N'...': a Unicode literal, so a Chinese name is compared as written
    // whatever the database's collation.
    std::string stringLiteral(const std::string& text) const override;
    // The import's staging statements (SqlServerStaging.cpp).
    std::vector<std::string> stagingTableStatements(const std::vector<StagingTable>& tables,
                                                    const RowReader& readRows) const override;
    std::string tableColumnsLine(const std::string& table) const override;
    std::vector<std::string> identityColumnLines(const std::string& table) const override;
    std::string nestedBeginLine() const override { return "save transaction nested_transaction"; }
    std::string nestedCommitLine() const override { return {}; }
    std::string nestedRollbackLine() const override {
        return "rollback transaction nested_transaction";
    }
    // A request carries at most 2,100 parameters, one of which the driver
    // may spend on preparing the statement; a VALUES list at most 1,000 rows.
    int statementParameterLimit() const override { return 2099; }
    int insertRowLimit() const override { return 1000; }
    // A deadlock victim's transaction is gone (@@TRANCOUNT 0); an error
    // that dooms it leaves XACT_STATE() at -1. Neither select starts an
    // implicit transaction, as it reads no table.
    std::string transactionStateLine() const override {
        return "select @@TRANCOUNT as open_transactions, XACT_STATE() as transaction_state";
    }
};

}  // namespace pos::db

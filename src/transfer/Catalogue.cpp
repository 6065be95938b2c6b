// The connection text, the list of user databases and the table-presence
// check of a dataset.
#include "transfer/Catalogue.h"

#include <array>

#include "common/Text.h"
#include "datasets/Datasets.h"
#include "db/ConnectionText.h"

namespace pos::transfer {

namespace {
// Never listed; compared exactly, so a database named Master is listed.
constexpr std::array<const char*, 5> kSystemDatabases{"master", "tempdb", "model", "msdb",
                                                      "resource"};
}  // namespace

bool isSystemDatabase(const std::string& name) {
    for (const char* system : kSystemDatabases) {
        if (name == system) {
            return true;
        }
    }
    return false;
}

ConnectionArguments startupConnectionArguments() {
    ConnectionArguments args;
    args.integratedSecurity = "SSPI";
    args.persistSecurityInfo = "false";
    args.initialCatalog = "master";
    args.dataSource = ".";
    return args;
}

ConnectionArguments chosenConnectionArguments(const std::string& dataSource,
                                              const std::string& catalog, const std::string& user,
                                              const std::string& password) {
    ConnectionArguments args = startupConnectionArguments();
    if (!isBlank(dataSource)) {
        args.dataSource = dataSource;
    }
    if (!isBlank(catalog)) {
        args.initialCatalog = catalog;
    }
    if (!isBlank(user)) {
        args.integratedSecurity.clear();
        args.user = user;
        args.password = password;
    }
    return args;
}

std::string buildConnectionText(const ConnectionArguments& args) {
    // Every value quoted where it needs it, so that none can end its pair
    // early or add a pair of its own; plain values stand as they are.
    const auto q = db::ConnectionText::quoteValue;
    std::string text = "Provider=SQLOLEDB.1";
    if (!isBlank(args.integratedSecurity)) {
        text += ";Integrated Security=" + q(args.integratedSecurity) +
                ";Persist Security Info=" + q(args.persistSecurityInfo);
    } else {
        if (!isBlank(args.password)) {
            text += ";Password=" + q(args.password);
        }
        text += ";Persist Security Info=" + q(args.persistSecurityInfo);
        if (!isBlank(args.user)) {
            text += ";User ID=" + q(args.user);
        }
    }
    text += isBlank(args.initialCatalog) ? std::string(";Initial Catalog=master")
                                         : ";Initial Catalog=" + q(args.initialCatalog);
    text += isBlank(args.dataSource) ? std::string(";Data Source=.")
                                     : ";Data Source=" + q(args.dataSource);
    return text;
}

std::vector<std::string> connectAndListDatabases(db::Connection& connection, db::Query& connQuery,
                                                 const ConnectionArguments& args) {
    std::string text = buildConnectionText(args);
    connection.disconnect();
    connection.setConnectionText(text);
    connection.connect();

    connQuery.close();
    connQuery.clearLines();
    connQuery.addLine(connection.dialect().listDatabasesLine());
    connQuery.open();

    std::vector<std::string> databases;
    while (!connQuery.eof()) {
        std::string name = connQuery.fieldAsText("DATABASE_NAME");
        if (!isSystemDatabase(name)) {
            databases.push_back(std::move(name));
        }
        connQuery.next();
    }
    return databases;
}

std::string tablePresenceLine(const db::Dialect& dialect, const datasets::Dataset& dataset) {
    return dialect.tablePresenceLine({dataset.tables.begin(), dataset.tables.end()});
}

bool checkDatasetTables(db::Query& connQuery, const datasets::Dataset& dataset,
                        const std::string& database) {
    const db::Dialect& dialect = connQuery.connection().dialect();
    std::string line = tablePresenceLine(dialect, dataset);
    if (line.empty()) {
        return false;
    }
    connQuery.close();
    connQuery.clearLines();
    for (const std::string& preamble : dialect.preambleLines(database)) {
        connQuery.addLine(preamble);
    }
    connQuery.addLine(line);
    connQuery.open();
    return connQuery.recordCount() == static_cast<int>(dataset.tables.size());
}

}  // namespace pos::transfer

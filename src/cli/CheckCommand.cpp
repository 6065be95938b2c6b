// "check": whether a database holds the tables that a dataset needs.
#include <CLI/CLI.hpp>
#include <iostream>

#include "cli/Command.h"
#include "cli/CommandSupport.h"
#include "common/Translations.h"
#include "datasets/Datasets.h"

namespace pos::cli {

namespace {

class CheckCommand : public Command {
public:
    CLI::App* addTo(CLI::App& app) override {
        CLI::App* sub = app.add_subcommand(
            "check",
            translated("Exit 0 when the database holds the tables that the dataset needs"));
        addDatabaseAndDatasetOptions(*sub, m_database, translated("The database to check"),
                                     m_dataset);
        return sub;
    }

    int run(const GlobalOptions& global) override {
        const datasets::Dataset& dataset = requireDataset(m_dataset);
        db::Connection connection(global.connectionSettings());
        db::Query connQuery(connection);
        transfer::connectAndListDatabases(connection, connQuery, global.connectionArguments());
        if (!transfer::checkDatasetTables(connQuery, dataset, m_database)) {
            std::cerr << "您选择的'" << m_database << "'数据库的'" << dataset.displayText
                      << "'相关表不全，请检查数据库！\n";
            return kExitFailed;
        }
        std::cout << "数据库" << m_database << "中" << dataset.displayText << "的表齐全。\n";
        return kExitSuccess;
    }

private:
    std::string m_database;
    std::string m_dataset;
};

}  // namespace

std::unique_ptr<Command> makeCheckCommand() {
    return std::make_unique<CheckCommand>();
}

}  // namespace pos::cli

// "check": whether a database holds the tables that a dataset needs.
#include <CLI/CLI.hpp>
#include <iostream>

#include "cli/Command.h"
#include "datasets/Datasets.h"

namespace pos::cli {

namespace {

class CheckCommand : public Command {
public:
    CLI::App* addTo(CLI::App& app) override {
        CLI::App* sub = app.add_subcommand(
            "check", "Exit 0 when the database holds the tables that the dataset needs");
        sub->add_option("--database", m_database, "The database to check")->required();
        sub->add_option("--dataset", m_dataset,
                        "Menu, HallTable or MenuAnnotate (any letter case), or the dataset's "
                        "display text")
            ->required();
        return sub;
    }

    int run(const GlobalOptions& global) override {
        const datasets::Dataset* dataset = datasets::findDataset(m_dataset);
        if (!dataset) {
            throw UsageError("Unknown dataset \"" + m_dataset +
                             "\": give Menu, HallTable, MenuAnnotate, 菜品信息, 厅桌信息 or "
                             "菜品注释.");
        }
        db::Connection connection(global.connectionSettings());
        db::Query connQuery(connection);
        transfer::connectAndListDatabases(connection, connQuery, global.connectionArguments());
        if (!transfer::checkDatasetTables(connQuery, dataset->key, m_database)) {
            std::cerr << "您选择的'" << m_database << "'数据库的'" << dataset->displayText
                      << "'相关表不全，请检查数据库！\n";
            return kExitFailed;
        }
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

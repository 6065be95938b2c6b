// "databases": the user databases of the server or store, one per line, in
// the order the server gives them.
#include <CLI/CLI.hpp>
#include <iostream>

#include "cli/Command.h"
#include "common/Translations.h"

namespace pos::cli {

namespace {

class DatabasesCommand : public Command {
public:
    CLI::App* addTo(CLI::App& app) override {
        return app.add_subcommand("databases", translated("List the user databases, one per line"));
    }

    int run(const GlobalOptions& global) override {
        db::Connection connection(global.connectionSettings());
        db::Query connQuery(connection);
        for (const std::string& name : transfer::connectAndListDatabases(
                 connection, connQuery, global.connectionArguments())) {
            std::cout << name << '\n';
        }
        return kExitSuccess;
    }
};

}  // namespace

std::unique_ptr<Command> makeDatabasesCommand() {
    return std::make_unique<DatabasesCommand>();
}

}  // namespace pos::cli

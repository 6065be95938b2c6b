// "databases": the user databases of the server or store, one per line, in
// the order the server gives them.
#include <CLI/CLI.hpp>
#include <iostream>
#include <string>
#include <vector>

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
        const std::vector<std::string> names =
            transfer::connectAndListDatabases(connection, connQuery, global.connectionArguments());
        for (const std::string& name : names) {
            std::cout << name << '\n';
        }
        // Nothing on stdout still lists nothing; the words go to stderr, so
        // that a script reading the names meets no line that is no name.
        if (names.empty()) {
            std::cerr << emptyListText(global) << '\n';
        }
        return kExitSuccess;
    }

private:
    static std::string emptyListText(const GlobalOptions& global) {
        if (!global.usesStore()) {
            return "服务器上没有用户数据库，请检查连接的服务器是否正确。";
        }
        const std::string store = global.store.empty() ? std::string() : " --store " + global.store;
        return "数据库文件夹" + global.storeDir() +
               "中还没有数据库。要建立演示数据库，请运行：pos-transfer-cli" + store +
               " demo pos_demo";
    }
};

}  // namespace

std::unique_ptr<Command> makeDatabasesCommand() {
    return std::make_unique<DatabasesCommand>();
}

}  // namespace pos::cli

// Entry of the command-line front end: the shared options, one subcommand
// per verb, and the exit codes (0 success, 1 refused or failed, 2 bad usage).
#include <CLI/CLI.hpp>
#include <exception>
#include <iostream>

#include "cli/Command.h"

int main(int argc, char** argv) {
    using namespace pos::cli;
    CLI::App app{"Moves the point-of-sale datasets between a database and Excel workbooks.",
                 "pos-transfer-cli"};
    app.require_subcommand(1);
    app.fallthrough();  // shared options may also follow the command
    GlobalOptions global;
    global.addTo(app);

    std::vector<std::unique_ptr<Command>> commands = allCommands();
    std::vector<CLI::App*> subcommands;
    for (const auto& command : commands) {
        subcommands.push_back(command->addTo(app));
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? kExitSuccess : kExitUsage;
    }

    for (std::size_t i = 0; i < commands.size(); ++i) {
        if (!subcommands[i]->parsed()) {
            continue;
        }
        try {
            return commands[i]->run(global);
        } catch (const UsageError& e) {
            std::cerr << e.what() << '\n';
            return kExitUsage;
        } catch (const std::exception& e) {
            std::cerr << e.what() << '\n';
            return kExitFailed;
        }
    }
    return kExitUsage;
}

// Entry of the command-line front end: the shared options, one subcommand
// per verb, and the exit codes (0 success, 1 refused or failed, 2 bad usage;
// 130 or 143 when Ctrl-C or SIGTERM stopped a transfer).
#include <CLI/CLI.hpp>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "cli/Command.h"
#include "cli/CommandLine.h"
#include "common/AppFolders.h"
#include "common/Translations.h"

int main(int argc, char** argv) {
    using namespace pos::cli;
    // The help speaks the user's language; usage errors stay as CLI11 words them.
    pos::loadTranslations(pos::executableDir());
    CLI::App app{
        pos::translated("Moves the point-of-sale datasets between a database and Excel workbooks."),
        "pos-transfer-cli"};
    app.set_help_flag("-h,--help", pos::translated("Print this help message and exit"));
    app.require_subcommand(1);
    app.fallthrough();  // shared options may also follow the command
    GlobalOptions global;
    global.addTo(app);

    std::vector<std::unique_ptr<Command>> commands = allCommands();
    std::vector<CLI::App*> subcommands;
    for (const auto& command : commands) {
        subcommands.push_back(command->addTo(app));
    }
    completeHelp(app);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() != 0) {
            // A word the parser did not take explains the failure better than
            // what it missed because of it (a mistyped required option).
            const std::vector<std::string> lines =
                unrecognisedWords(app, std::vector<std::string>(argv + 1, argv + argc));
            if (!lines.empty()) {
                for (const std::string& line : lines) {
                    std::cerr << line << '\n';
                }
                std::cerr << "Run with --help for more information.\n";
                return kExitUsage;
            }
        }
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

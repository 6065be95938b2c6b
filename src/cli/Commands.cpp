// The list of commands: register a new verb here.
#include "cli/Command.h"

namespace pos::cli {

std::vector<std::unique_ptr<Command>> allCommands() {
    std::vector<std::unique_ptr<Command>> commands;
    commands.push_back(makeDatabasesCommand());
    commands.push_back(makeCheckCommand());
    commands.push_back(makeDemoCommand());
    commands.push_back(makeExportCommand());
    commands.push_back(makeImportCommand());
    commands.push_back(makeSelftestCommand());
    return commands;
}

}  // namespace pos::cli

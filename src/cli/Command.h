// One command of the command-line program. Each verb is a class in its own
// file; Commands.cpp lists them in one place.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli/GlobalOptions.h"

namespace CLI {
class App;
}

namespace pos::cli {

enum ExitCode { kExitSuccess = 0, kExitFailed = 1, kExitUsage = 2 };

// Thrown by a command for input that the parser could not judge (an unknown
// dataset name); the program prints it and exits with kExitUsage.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Command {
public:
    virtual ~Command() = default;
    // Adds the command's subcommand with its options to the program.
    virtual CLI::App* addTo(CLI::App& app) = 0;
    // Runs it; messages for the user go to stderr, results to stdout.
    virtual int run(const GlobalOptions& global) = 0;
};

std::unique_ptr<Command> makeDatabasesCommand();
std::unique_ptr<Command> makeCheckCommand();
std::unique_ptr<Command> makeDemoCommand();
std::unique_ptr<Command> makeExportCommand();
std::unique_ptr<Command> makeImportCommand();
std::unique_ptr<Command> makeSelftestCommand();

// Every command, in the order the help lists them.
std::vector<std::unique_ptr<Command>> allCommands();

}  // namespace pos::cli

// What the program says about its own command line: the version, the parts
// of every command's help that the commands share, and the words that the
// parser did not take, with the closest word it knows.
#pragma once

#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace pos::cli {

// "pos-transfer-cli" and the version, as --version prints them.
std::string versionText();

// Adds --version to the program and, once every command is added, the shared
// part of the help: under each command the global options, the dataset
// names (for the commands that take --dataset) and the exit codes; under
// the program the dataset names and the exit codes.
void completeHelp(CLI::App& app);

// One line for each word of `args` (the command line without the program's
// name) that the parser of `app` left over, in the order given: an unknown
// command or option with the closest known one when one is close, then the
// arguments that nothing expected. Empty when the parser took every word.
std::vector<std::string> unrecognisedWords(const CLI::App& app,
                                           const std::vector<std::string>& args);

}  // namespace pos::cli

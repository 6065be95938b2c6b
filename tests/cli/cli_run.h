// Running the built command-line program as a user runs it, for the tests of
// this folder: a shell command line in a folder of the test's own, with the
// exit code and both output streams kept.
#pragma once

#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/Process.h"
#include "support/TempDir.h"

namespace pos::clitest {

using testing::runShell;
using testing::shellQuote;

struct CliRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

inline std::string slurp(const std::string& path) {
    return testing::readFile(path);
}

inline const std::string kCliProgram = std::string(POS_BIN_DIR) + "/pos-transfer-cli";

// The shell command that runs `program` (the built pos-transfer-cli unless
// told) in `cwd` with `env` ("NAME=value" pairs) added, POS_TRANSFER_STORE
// removed and no input; its output streams go to the files `tag`.out and
// `tag`.err in `cwd`.
inline std::string cliCommandLine(const std::vector<std::string>& args, const std::string& cwd,
                                  const std::vector<std::string>& env = {},
                                  const std::string& tag = "cli",
                                  const std::string& program = kCliProgram) {
    std::string cmd = "cd " + shellQuote(cwd) + " && env -u POS_TRANSFER_STORE";
    for (const std::string& e : env) {
        cmd += " " + shellQuote(e);
    }
    cmd += " " + shellQuote(program);
    for (const std::string& a : args) {
        cmd += " " + shellQuote(a);
    }
    return cmd + " >" + shellQuote(cwd + "/" + tag + ".out") + " 2>" +
           shellQuote(cwd + "/" + tag + ".err") + " </dev/null";
}

// The shell command that runs `program` as cliCommandLine does, but with
// its standard error left on the terminal that runs the command, and as the
// shell's own process (exec), so that a signal sent to the shell reaches it.
inline std::string cliTerminalCommandLine(const std::vector<std::string>& args,
                                          const std::string& cwd, const std::string& tag = "cli",
                                          const std::string& program = kCliProgram) {
    std::string cmd =
        "cd " + shellQuote(cwd) + " && exec env -u POS_TRANSFER_STORE " + shellQuote(program);
    for (const std::string& a : args) {
        cmd += " " + shellQuote(a);
    }
    return cmd + " >" + shellQuote(cwd + "/" + tag + ".out") + " </dev/null";
}

// The percentage that the progress bar on a terminal shows last in `shown`,
// or -1 before it shows one.
inline int shownPercent(const std::string& shown) {
    const std::size_t sign = shown.rfind('%');
    const std::size_t start = shown.find_last_not_of("0123456789 ", sign - 1);
    if (sign == std::string::npos || sign == 0 || start == std::string::npos) {
        return -1;
    }
    const std::string digits = shown.substr(start + 1, sign - start - 1);
    return digits.find_first_of("0123456789") == std::string::npos ? -1 : std::stoi(digits);
}

// Whether another process holds the import lock of the store file `database`
// (DIR/NAME.db): an exclusive flock on the hidden DIR/.NAME.import-lock beside
// it, as /proc/locks lists it, which asking does not disturb.
inline bool importLockHeld(const std::string& database) {
    struct stat file {};
    const std::size_t slash = database.rfind('/') + 1;
    const std::string lock = database.substr(0, slash) + "." +
                             database.substr(slash, database.size() - 3 - slash) + ".import-lock";
    if (::stat(lock.c_str(), &file) != 0) {
        return false;
    }
    std::ifstream locks("/proc/locks");
    const std::string inode = ":" + std::to_string(file.st_ino) + " ";
    for (std::string line; std::getline(locks, line);) {
        if (line.find("FLOCK") != std::string::npos && line.find("WRITE") != std::string::npos &&
            line.find(inode) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// Runs the program as cliCommandLine says, the exit code and both output
// streams kept.
inline CliRun runCli(const std::vector<std::string>& args, const std::string& cwd,
                     const std::vector<std::string>& env = {},
                     const std::string& program = kCliProgram) {
    CliRun r;
    r.exitCode = runShell(cliCommandLine(args, cwd, env, "cli", program));
    r.out = slurp(cwd + "/cli.out");
    r.err = slurp(cwd + "/cli.err");
    return r;
}

}  // namespace pos::clitest

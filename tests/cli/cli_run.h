// Running the built command-line program as a user runs it, for the tests of
// this folder: a shell command line in a folder of the test's own, with the
// exit code and both output streams kept.
#pragma once

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

// Running the built command-line program as a user runs it, for the tests of
// this folder: a shell command line in a folder of the test's own, with the
// exit code and both output streams kept.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace pos::clitest {

struct CliRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

inline std::string shellQuote(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return q + "'";
}

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Runs `command` with the shell; its exit code, or -1 when it did not exit.
inline int runShell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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

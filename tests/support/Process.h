// Running another program from a test: the built command-line program,
// Python with xlrd, xlwt and openpyxl, LibreOffice, sqlite3, the shell.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pos::testing {

struct ProgramRun {
    int exitCode = -1;  // -1 when the program did not exit by itself
    std::string out;
    std::string err;
};

struct RunOptions {
    std::string cwd;                    // the test's own folder unless given
    std::vector<std::string> env;       // "NAME=value" added to the environment
    std::vector<std::string> unsetEnv;  // names removed from the environment
    bool errorsToOut = false;           // standard error goes into `out`
    bool capture = true;                // false: both streams go to the test's own
    // Signals the program starts with ignored, as nohup or a service manager
    // starts it, and signals it starts with their default action even when
    // the test was started with them ignored (a background job of a shell).
    std::vector<int> ignoredSignals;
    std::vector<int> defaultSignals;
};

// A program started by startProgram, running until wait() collects its end.
class StartedProgram {
public:
    StartedProgram(StartedProgram&&) noexcept;
    // Waits for the program when wait() has not.
    ~StartedProgram();

    pid_t pid() const;
    // Whether it has ended (it is not collected yet).
    bool ended() const;
    // Sends it `signal`.
    void signal(int signal) const;
    // Waits for it; its exit code and output.
    ProgramRun wait();

private:
    struct State;
    friend StartedProgram startProgram(const std::vector<std::string>&, const RunOptions&);
    explicit StartedProgram(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};

// Starts `argv` (argv[0] a path, or a name looked up in PATH) without a shell,
// with no input, and returns while it runs.
StartedProgram startProgram(const std::vector<std::string>& argv, const RunOptions& options = {});

// Runs `argv` as startProgram does and waits for it.
ProgramRun runProgram(const std::vector<std::string>& argv, const RunOptions& options = {});

// Runs a command line with /bin/sh; its exit code, or -1 when it did not
// exit by itself. Its output goes where the test's own goes.
int runShell(const std::string& command);

// Runs a command line with /bin/sh on a pseudo-terminal of its own, as at a
// user's terminal (a program there draws its progress), and hands `watch`
// everything it has written to the terminal so far, each time more comes.
// When `watch` returns a signal number, the signal goes to the shell's
// process at once (to the program itself when the line ends in "exec
// PROGRAM ..."), and `watch` is not asked again. The exit code, or -1 when
// the program did not exit by itself; `out` holds what the terminal showed.
ProgramRun runAtTerminal(const std::string& command,
                         const std::function<int(const std::string& shown)>& watch);

// `text` as one word of a shell command line.
std::string shellQuote(const std::string& text);

// Runs a Python script (/usr/bin/python3) with the given arguments.
ProgramRun runPython(const std::string& script, const std::vector<std::string>& args = {},
                     const RunOptions& options = {});

}  // namespace pos::testing

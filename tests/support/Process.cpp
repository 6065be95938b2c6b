#include "support/Process.h"

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

namespace pos::testing {

namespace {

// An unnamed temporary file that collects one output stream of the child.
class Capture {
public:
    Capture() : m_file(std::tmpfile()) {
        if (m_file == nullptr) {
            throw std::runtime_error("cannot create a temporary file");
        }
    }
    ~Capture() { std::fclose(m_file); }
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;
    int fd() const { return ::fileno(m_file); }
    std::string text() const {
        std::string out;
        char buffer[65536];
        ssize_t n = 0;
        off_t offset = 0;
        while ((n = ::pread(fd(), buffer, sizeof buffer, offset)) > 0) {
            out.append(buffer, static_cast<std::size_t>(n));
            offset += n;
        }
        return out;
    }

private:
    std::FILE* m_file;
};

}  // namespace

struct StartedProgram::State {
    pid_t pid = -1;
    bool collected = false;
    Capture out;
    Capture err;
};

StartedProgram::StartedProgram(std::unique_ptr<State> state) : m_state(std::move(state)) {}
StartedProgram::StartedProgram(StartedProgram&&) noexcept = default;

StartedProgram::~StartedProgram() {
    if (m_state && !m_state->collected) {
        wait();
    }
}

pid_t StartedProgram::pid() const {
    return m_state->pid;
}

bool StartedProgram::ended() const {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(m_state->pid), &info, WEXITED | WNOHANG | WNOWAIT) ==
               0 &&
           info.si_pid == m_state->pid;
}

void StartedProgram::signal(int signal) const {
    ::kill(m_state->pid, signal);
}

ProgramRun StartedProgram::wait() {
    int status = 0;
    while (::waitpid(m_state->pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_state->collected = true;
    ProgramRun run;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = m_state->out.text();
    run.err = m_state->err.text();
    return run;
}

StartedProgram startProgram(const std::vector<std::string>& argv, const RunOptions& options) {
    if (argv.empty()) {
        throw std::invalid_argument("startProgram needs a program");
    }
    auto state = std::make_unique<StartedProgram::State>();
    const Capture& out = state->out;
    const Capture& err = state->err;
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    // The child's environment, built before the fork: a child of a process
    // with threads may only make async-signal-safe calls.
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        bool dropped = false;
        for (const std::string& n : options.unsetEnv) {
            dropped = dropped || n == name;
        }
        for (const std::string& added : options.env) {
            dropped = dropped || added.substr(0, added.find('=')) == name;
        }
        if (!dropped) {
            environment.push_back(entry);
        }
    }
    environment.insert(environment.end(), options.env.begin(), options.env.end());
    std::vector<char*> envp;
    for (std::string& e : environment) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    struct sigaction byDefault = ignore;
    byDefault.sa_handler = SIG_DFL;
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        const int input = ::open("/dev/null", O_RDONLY);
        if (input < 0 || ::dup2(input, 0) < 0) {
            ::_exit(126);
        }
        if (options.capture) {
            ::dup2(out.fd(), 1);
            ::dup2(options.errorsToOut ? out.fd() : err.fd(), 2);
        }
        if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) {
            ::_exit(126);
        }
        // An ignored signal stays ignored across exec.
        for (int signal : options.ignoredSignals) {
            ::sigaction(signal, &ignore, nullptr);
        }
        for (int signal : options.defaultSignals) {
            ::sigaction(signal, &byDefault, nullptr);
        }
        ::execvpe(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    state->pid = pid;
    return StartedProgram(std::move(state));
}

ProgramRun runProgram(const std::vector<std::string>& argv, const RunOptions& options) {
    return startProgram(argv, options).wait();
}

int runShell(const std::string& command) {
    RunOptions options;
    options.capture = false;
    return runProgram({"/bin/sh", "-c", command}, options).exitCode;
}

ProgramRun runAtTerminal(const std::string& command,
                         const std::function<int(const std::string& shown)>& watch) {
    std::fflush(nullptr);
    int terminal = -1;
    const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    if (pid < 0) {
        throw std::runtime_error("forkpty failed");
    }
    if (pid == 0) {
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ProgramRun run;
    bool signalled = false;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(terminal, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;  // EIO: the program and every child of it closed the terminal
        }
        run.out.append(buffer, static_cast<std::size_t>(n));
        if (!signalled) {
            if (const int signal = watch(run.out); signal != 0) {
                ::kill(pid, signal);
                signalled = true;
            }
        }
    }
    ::close(terminal);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

ProgramRun runPython(const std::string& script, const std::vector<std::string>& args,
                     const RunOptions& options) {
    std::vector<std::string> argv{"/usr/bin/python3", "-c", script};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(argv, options);
}

}  // namespace pos::testing

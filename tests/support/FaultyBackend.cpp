#include "support/FaultyBackend.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

namespace pos::testing {

FaultyBackend::FaultyBackend(std::unique_ptr<db::Backend> inner, std::shared_ptr<FaultPlan> plan)
    : m_inner(std::move(inner)), m_plan(std::move(plan)) {}

void FaultyBackend::count(const std::string& what) {
    ++m_plan->statements;
    if (m_plan->statements == m_plan->failAt) {
        m_plan->raised = true;
        if (m_plan->endsTransaction && m_inner->inTransaction()) {
            m_inner->rollback();
            m_plan->endedTransaction = true;
        }
        throw db::DbError("injected fault at statement " + std::to_string(m_plan->failAt) + " (" +
                              what.substr(0, 80) + ")",
                          m_plan->fault);
    }
}

std::unique_ptr<db::Cursor> FaultyBackend::run(const std::string& batch,
                                               const db::Parameters& params, bool wantRows) {
    count(batch);
    return m_inner->run(batch, params, wantRows);
}

void FaultyBackend::beginTransaction() {
    count("begin");
    m_inner->beginTransaction();
}

void FaultyBackend::commit() {
    count("commit");
    m_inner->commit();
}

std::function<std::unique_ptr<db::Backend>(std::unique_ptr<db::Backend>)> failingWith(
    std::shared_ptr<FaultPlan> plan) {
    return [plan](std::unique_ptr<db::Backend> inner) -> std::unique_ptr<db::Backend> {
        return std::make_unique<FaultyBackend>(std::move(inner), plan);
    };
}

int runInChild(const std::function<int()>& work) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        int code = 2;
        try {
            code = work();
        } catch (...) {
            // The exit code tells the parent.
        }
        std::fflush(nullptr);
        ::_exit(code);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void limitFileSize(long maxBytes) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{static_cast<rlim_t>(maxBytes), static_cast<rlim_t>(maxBytes)};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
        throw std::runtime_error("setrlimit failed");
    }
}

}  // namespace pos::testing

#include "support/FaultyBackend.h"

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iterator>
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

void failFileSyncs() {
    // Any other architecture runs every system call as it is.
    constexpr std::uint32_t kArchitecture =
#if defined(__x86_64__)
        AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
        AUDIT_ARCH_AARCH64;
#else
        0;
#endif
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArchitecture, 0, 5),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_fsync, 2, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_fdatasync, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EIO & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        throw std::runtime_error("seccomp filter refused");
    }
}

}  // namespace pos::testing

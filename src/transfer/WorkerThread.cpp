#include "transfer/WorkerThread.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <utility>

#include "common/Cleanup.h"

namespace pos::transfer {

// The lowest nice value that RLIMIT_NICE allows, under normal scheduling.
// Never a real-time policy: a row loop at real-time priority would starve the
// window and the rest of the machine. Privileges are never used.
void raiseOwnPriority() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NICE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        const int lowestNice = 20 - static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 40));
        const id_t self = static_cast<id_t>(gettid());
        errno = 0;
        const int current = getpriority(PRIO_PROCESS, self);
        if (errno == 0 && lowestNice < current) {
            setpriority(PRIO_PROCESS, self, lowestNice);
        }
    }
}

WorkerThread::WorkerThread(Step body, FailureReport reportFailure, Step finish)
    : m_body(std::move(body)),
      m_reportFailure(std::move(reportFailure)),
      m_finish(std::move(finish)) {}

WorkerThread::~WorkerThread() {
    join();
}

void WorkerThread::start() {
    m_thread = std::thread([this] {
        raiseOwnPriority();
        run();
    });
}

void WorkerThread::join() {
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void WorkerThread::run() {
    // Every failure a user can meet is reported where it happens; this is
    // the last resort for one that nobody foresaw, so it is not silent, even
    // when the report itself fails.
    const auto report = [this](const std::string& reason) {
        runCleanup("报告错误“" + reason + "”", [&] { m_reportFailure(reason); });
    };
    try {
        m_body();
    } catch (const std::exception& e) {
        report(e.what());
    } catch (...) {
        report("未知错误");
    }
    runCleanup("结束工作", m_finish);
    m_finished.store(true);
}

}  // namespace pos::transfer

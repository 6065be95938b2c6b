#include "transfer/WorkerThread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <utility>

#include "common/Cleanup.h"

namespace pos::transfer {

// A real-time round-robin priority when RLIMIT_RTPRIO allows one, otherwise
// the lowest nice value RLIMIT_NICE allows. Privileges are never used (a
// worker of a desktop program must not starve the machine).
void raiseOwnPriority() {
    rlimit limit{};
    if (getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur > 0 &&
        limit.rlim_cur != RLIM_INFINITY) {
        sched_param param{};
        param.sched_priority =
            std::min(static_cast<int>(limit.rlim_cur), sched_get_priority_max(SCHED_RR));
        if (pthread_setschedparam(pthread_self(), SCHED_RR, &param) == 0) {
            return;
        }
    }
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

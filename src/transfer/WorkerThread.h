// The thread a transfer worker runs on: started at the best nice value the
// process may take without privileges (normal scheduling), it runs the
// worker's body and then its termination step however the body ended.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace pos::transfer {

// Asks for the lowest nice value that the process's resource limits grant
// without privileges, for the calling thread, keeping normal scheduling; a
// refusal is ignored.
void raiseOwnPriority();

class WorkerThread {
public:
    using Step = std::function<void()>;
    // Hears why the body failed: the exception's text, or "未知错误" for an
    // exception of no known kind.
    using FailureReport = std::function<void(const std::string& reason)>;

    WorkerThread(Step body, FailureReport reportFailure, Step finish);
    // Waits for the thread.
    ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Starts the thread: the priority, then run().
    void start();
    void join();
    // The body, the failure report when the body threw, then the termination
    // step, on the calling thread. Nothing escapes.
    void run();
    // True once the termination step has run.
    bool finished() const { return m_finished.load(); }

private:
    Step m_body;
    FailureReport m_reportFailure;
    Step m_finish;
    std::thread m_thread;
    std::atomic<bool> m_finished{false};
};

}  // namespace pos::transfer

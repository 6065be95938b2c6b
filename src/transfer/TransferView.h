// The small interface through which a worker reaches its view: the window
// (which marshals each call to its own thread) or the terminal; and the stop
// token through which the view's front end asks the worker to stop.
#pragma once

#include <atomic>
#include <functional>
#include <string>

namespace pos::transfer {

// The user's request that a running transfer stop, set by a front end and
// read by the worker before every row. A signal handler may set it: it is
// one lock-free atomic, the only kind of object a handler may touch that
// another thread reads.
class StopToken {
public:
    // The cause of a stop that is no signal: the window was closed.
    static constexpr int kWindowClosed = -1;

    // `cause`: the number of the signal that asked, or kWindowClosed.
    // Safe in a signal handler.
    void request(int cause) noexcept { m_cause.store(cause); }
    void reset() noexcept { m_cause.store(0); }
    bool requested() const noexcept { return m_cause.load() != 0; }
    // The cause given to request(); 0 when none came.
    int cause() const noexcept { return m_cause.load(); }

private:
    static_assert(std::atomic<int>::is_always_lock_free,
                  "a signal handler writes the stop token, so it must be lock-free");
    std::atomic<int> m_cause{0};
};

class TransferView {
public:
    // A view whose transfer nobody stops.
    TransferView() = default;
    // A view whose transfer stops when `stop` asks (none when null); the
    // token must outlive the view.
    explicit TransferView(const StopToken* stop) : m_stop(stop) {}
    virtual ~TransferView() = default;
    TransferView(const TransferView&) = delete;
    TransferView& operator=(const TransferView&) = delete;

    // Enables or disables the six choice controls, in the order ExData, IMData,
    // ExIMDataBase, ExIMTable, btn1, ExImButton.
    virtual void setChoiceControlsEnabled(bool enabled) = 0;
    // The gauge position, 0 to 300; the view holds it within that range.
    virtual void setProgress(int position) = 0;
    virtual void clearPath() = 0;
    // A modal message with an OK button; returns when the user has closed it.
    virtual void showMessage(const std::string& text) = 0;
    // Writes the rows of the import that did not reach the database into a
    // new workbook at `path`; returns what it did, as a sentence for the user.
    using RejectsWriter = std::function<std::string(const std::string& path)>;
    // The closing message of an import. `writeRejects` is set when rows were
    // not imported and the import asked for the offer; it may be called until
    // this returns. By default the message alone.
    virtual void showImportResult(const std::string& text, const RejectsWriter& writeRejects) {
        static_cast<void>(writeRejects);
        showMessage(text);
    }

    // Whether the user asked the transfer to stop (Ctrl-C on a terminal, the
    // window closed). Asked before every row: the worker then undoes the pass
    // in progress, cleans up and says what was kept.
    bool stopRequested() const { return m_stop != nullptr && m_stop->requested(); }
    // Why the transfer stopped, as its closing message says it.
    std::string stopReason() const;

private:
    const StopToken* m_stop = nullptr;
};

// The reasons of a transfer stopped at the user's request.
inline constexpr const char* kStoppedByUser = "用户中断了操作（Ctrl-C或终止信号）";
inline constexpr const char* kStoppedByClosing = "用户关闭了窗口";

inline std::string TransferView::stopReason() const {
    return m_stop != nullptr && m_stop->cause() == StopToken::kWindowClosed ? kStoppedByClosing
                                                                            : kStoppedByUser;
}

}  // namespace pos::transfer

// The small interface through which a worker reaches its view: the window
// (which marshals each call to its own thread) or the terminal.
#pragma once

#include <string>

namespace pos::transfer {

class TransferView {
public:
    virtual ~TransferView() = default;
    // Enables or disables the six choice controls, in the order ExData, IMData,
    // ExIMDataBase, ExIMTable, btn1, ExImButton.
    virtual void setChoiceControlsEnabled(bool enabled) = 0;
    // The gauge position, 0 to 300; the view holds it within that range.
    virtual void setProgress(int position) = 0;
    virtual void clearPath() = 0;
    // A modal message with an OK button; returns when the user has closed it.
    virtual void showMessage(const std::string& text) = 0;
    // Whether the user asked the transfer to stop (Ctrl-C on a terminal).
    // Asked before every row: the worker then undoes the pass in progress,
    // cleans up and says what was kept.
    virtual bool stopRequested() const { return false; }
};

// The text of a transfer stopped at the user's request.
inline constexpr const char* kStoppedByUser = "用户中断了操作（Ctrl-C或终止信号）";

}  // namespace pos::transfer

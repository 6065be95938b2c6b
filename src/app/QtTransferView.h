// The window's side of the interface through which a worker reaches it. Every
// call runs on the window's thread; a call from a worker waits until the
// window has carried it out, so a message box holds the worker until the user
// closes it. Progress alone is posted without waiting, and only when the
// position changes, so that a long export does not pay a round trip per row.
#pragma once

#include <atomic>
#include <string>

#include "transfer/TransferView.h"

namespace pos::app {

class TTransferForm;

class QtTransferView : public transfer::TransferView {
public:
    explicit QtTransferView(TTransferForm& form) : m_form(form) {}

    void setChoiceControlsEnabled(bool enabled) override;
    void setProgress(int position) override;
    void clearPath() override;
    void showMessage(const std::string& text) override;

private:
    template <typename F>
    void runOnWindowThread(F&& f);

    TTransferForm& m_form;
    std::atomic<int> m_lastProgress{-1};
};

}  // namespace pos::app

// The window's side of the interface through which a worker reaches it. Every
// call runs on the window's thread; a call from a worker waits until the
// window has carried it out, so a message box holds the worker until the user
// closes it. Progress alone is posted without waiting, and only when the
// position changes, so that a long export does not pay a round trip per row.
// Once the user has closed the window the worker's closing message goes to
// stderr instead of a box: nobody waits for it.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "transfer/TransferView.h"

namespace pos::app {

class TTransferForm;

class QtTransferView : public transfer::TransferView {
public:
    // The worker stops when `stop` asks; the form closes it.
    QtTransferView(TTransferForm& form, const transfer::StopToken& stop)
        : transfer::TransferView(&stop), m_form(form) {}

    void setChoiceControlsEnabled(bool enabled) override;
    void setProgress(int position) override;
    void clearPath() override;
    void showMessage(const std::string& text) override;
    // The result box, with the window's import choices named and, when rows
    // were not imported, the offer to save them.
    void showImportResult(const std::string& text, const RejectsWriter& writeRejects) override;

    // For tests: hears every position a worker sets, on the worker's thread,
    // before the window shows it, so that a test can act at a given moment
    // of a transfer. Set it while no transfer runs.
    void setProgressHook(std::function<void(int)> hook) { m_progressHook = std::move(hook); }

private:
    template <typename F>
    void runOnWindowThread(F&& f);

    TTransferForm& m_form;
    std::atomic<int> m_lastProgress{-1};
    std::function<void(int)> m_progressHook;
};

}  // namespace pos::app

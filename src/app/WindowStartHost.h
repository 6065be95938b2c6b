// The window's side of the start button's flow: answers the flow's questions
// from the window's controls and message boxes, and keeps the latest worker
// of each kind for as long as the window lives.
#pragma once

#include <memory>
#include <string>

#include "transfer/StartTransfer.h"

namespace pos::app {

class TTransferForm;

class WindowStartHost : public transfer::StartTransferHost {
public:
    explicit WindowStartHost(TTransferForm& form) : m_form(form) {}
    // Waits for the latest workers; a running worker would otherwise reach a
    // window that is gone. The program itself ends (_exit) when the window
    // closes, once a running transfer has stopped and cleaned up, so this
    // wait happens in tests only.
    ~WindowStartHost() override;

    bool askYesNo(const std::string& text) override;
    void showMessage(const std::string& text) override;
    void chooseWorkbookPath() override;
    std::string pathText() const override;
    void setPathText(const std::string& text) override;
    std::string databaseText() const override;
    std::string datasetText() const override;
    std::string stationText() const override;
    transfer::ImportChoices importChoices() const override;
    const datasets::Dataset* currentDataset() const override;
    bool exportMode() const override;
    std::string executableDir() const override;
    std::string fieldMapDir() const override;
    db::Query& connQuery() override;
    transfer::TransferSession transferSession() override;
    transfer::TransferView& workerView() override;
    void keepExportWorker(std::unique_ptr<transfer::MyExThread> worker) override;
    void keepImportWorker(std::unique_ptr<transfer::MyImThread> worker) override;

    transfer::MyExThread* latestExportWorker() const { return m_latestExport.get(); }
    transfer::MyImThread* latestImportWorker() const { return m_latestImport.get(); }

private:
    TTransferForm& m_form;
    std::unique_ptr<transfer::MyExThread> m_latestExport;
    std::unique_ptr<transfer::MyImThread> m_latestImport;
};

}  // namespace pos::app

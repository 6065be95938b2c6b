// The start button's flow as the window answers it.
#include "WindowStartHost.h"

#include <QString>

#include "TransferForm.h"

namespace pos::app {

WindowStartHost::~WindowStartHost() = default;

bool WindowStartHost::askYesNo(const std::string& text) {
    return m_form.messageBoxes().yesNo(QString::fromStdString(text));
}

void WindowStartHost::showMessage(const std::string& text) {
    m_form.messageBoxes().ok(QString::fromStdString(text));
}

void WindowStartHost::chooseWorkbookPath() {
    m_form.chooseWorkbookPath();
}

std::string WindowStartHost::pathText() const {
    return m_form.pathText();
}

void WindowStartHost::setPathText(const std::string& text) {
    m_form.setPathText(text);
}

std::string WindowStartHost::databaseText() const {
    return m_form.databaseText();
}

std::string WindowStartHost::datasetText() const {
    return m_form.datasetText();
}

std::string WindowStartHost::stationText() const {
    return m_form.stationText();
}

transfer::ImportChoices WindowStartHost::importChoices() const {
    return m_form.importChoices();
}

const datasets::Dataset* WindowStartHost::currentDataset() const {
    return m_form.currentDataset();
}

bool WindowStartHost::exportMode() const {
    return m_form.exportMode();
}

std::string WindowStartHost::executableDir() const {
    return m_form.executableDir();
}

std::string WindowStartHost::fieldMapDir() const {
    return m_form.fieldMapDir();
}

db::Query& WindowStartHost::connQuery() {
    return m_form.connQuery();
}

transfer::TransferSession WindowStartHost::transferSession() {
    return transfer::TransferSession(m_form.sqlConn());
}

transfer::TransferView& WindowStartHost::workerView() {
    return m_form.transferView();
}

// The controls are held here, on the window's thread, before the worker
// starts: a second press already waiting among the window's events (a
// double click) must find the start button disabled. Were it to start a
// second worker, replacing the first would wait for a thread that itself
// waits for the window, and both workers would share the connection.
void WindowStartHost::keepExportWorker(std::unique_ptr<transfer::MyExThread> worker) {
    m_form.transferView().setChoiceControlsEnabled(false);
    // The previous worker's thread has ended (or is returning from its last
    // call into the view), so replacing it joins at once.
    m_latestExport = std::move(worker);
}

void WindowStartHost::keepImportWorker(std::unique_ptr<transfer::MyImThread> worker) {
    m_form.transferView().setChoiceControlsEnabled(false);
    m_latestImport = std::move(worker);
}

}  // namespace pos::app

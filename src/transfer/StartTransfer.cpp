// The start button's flow: step 1 (the path) is common to both directions;
// step 2 starts an export, step 3 an import.
#include "transfer/StartTransfer.h"

#include "common/AppFolders.h"
#include "common/Files.h"
#include "common/Text.h"
#include "transfer/Catalogue.h"
#include "transfer/ImportPrecheck.h"

namespace pos::transfer {

namespace {

TransferOptions workerOptions(const StartTransferHost& host, const datasets::Dataset& dataset) {
    return {.dataset = dataset,
            .database = host.databaseText(),
            .path = host.pathText(),
            .fieldMapDir = host.fieldMapDir()};
}

// Starts the worker that the host has just kept (and held the controls
// for): should its thread not start, the controls are given back before the
// failure goes on to be reported.
template <typename Worker>
void startKeptWorker(StartTransferHost& host, Worker& worker) {
    try {
        worker.start();
    } catch (...) {
        host.workerView().setChoiceControlsEnabled(true);
        throw;
    }
}

// Step 2: export mode. Returns when the worker runs or the handler stops.
void startExport(StartTransferHost& host) {
    if (fileExists(host.pathText()) && !host.askYesNo("文件已经存在，是否覆盖？")) {
        host.chooseWorkbookPath();
        return;
    }
    const datasets::Dataset* dataset = host.currentDataset();
    if (dataset == nullptr ||
        !checkDatasetTables(host.connQuery(), *dataset, host.databaseText())) {
        // A Yes/No box whose answer changes nothing.
        host.askYesNo(exportTablesMissingMessage(host.databaseText(), host.datasetText()));
        return;
    }
    auto worker = std::make_unique<MyExThread>(host.transferSession(),
                                               workerOptions(host, *dataset), host.workerView());
    MyExThread& started = *worker;
    host.keepExportWorker(std::move(worker));
    startKeptWorker(host, started);
}

// Step 3: import mode. The pre-checks read the workbook in a session of
// their own, which the worker takes on its thread.
void startImport(StartTransferHost& host) {
    const datasets::Dataset* dataset = host.currentDataset();
    if (dataset == nullptr) {
        // The drop-down always names one; without it there are no tables.
        host.showMessage(importTablesMissingMessage(host.databaseText(), host.datasetText()));
        return;
    }
    TransferOptions options = workerOptions(host, *dataset);
    const ImportPrecheck check = precheckImport(host.connQuery(), options, host.stationText());
    if (check.status == ImportPrecheckStatus::FileMissing) {
        host.showMessage(check.message);
        host.chooseWorkbookPath();
        return;
    }
    if (check.status != ImportPrecheckStatus::Ready) {
        host.showMessage(check.message);
        return;
    }
    options.stationNumber = check.stationNumber;
    options.checkedWorkbook = check.workbook;
    options.importChoices = host.importChoices();
    auto worker = std::make_unique<MyImThread>(host.transferSession(), options, host.workerView());
    MyImThread& started = *worker;
    host.keepImportWorker(std::move(worker));
    startKeptWorker(host, started);
}

}  // namespace

std::string defaultWorkbookPath(const std::string& executableDir, const std::string& datasetText) {
    return defaultExportFolder(executableDir) + trimmed(datasetText) + ".xls";
}

std::string exportTablesMissingMessage(const std::string& database,
                                       const std::string& datasetText) {
    return "您选择的'" + database + "'数据库的'" + datasetText +
           "'相关表不全，请重新选择数据库或设置项！";
}

void exImButtonClick(StartTransferHost& host) {
    // Without a database nothing can start; say so before asking about the
    // path, which would only lead to a message about a database without a
    // name.
    if (isBlank(host.databaseText())) {
        host.showMessage(kNoDatabaseChosenMessage);
        return;
    }

    // Step 1: a blank path takes the default one, or the user chooses a file
    // and presses the start button again.
    if (isBlank(host.pathText())) {
        if (!host.askYesNo("是否采用默认路径？")) {
            host.chooseWorkbookPath();
            return;
        }
        host.setPathText(defaultWorkbookPath(host.executableDir(), host.datasetText()));
    }

    if (host.exportMode()) {
        startExport(host);
        return;
    }

    startImport(host);
}

}  // namespace pos::transfer

// The start button's flow: settle the workbook path, ask the questions and
// make the checks of the chosen direction, then start one worker. The window
// implements StartTransferHost; the flow itself knows nothing of widgets.
#pragma once

#include <memory>
#include <string>

#include "datasets/Datasets.h"
#include "db/Connection.h"
#include "transfer/ExThread.h"
#include "transfer/ImThread.h"
#include "transfer/TransferContext.h"
#include "transfer/TransferView.h"

namespace pos::transfer {

class StartTransferHost {
public:
    virtual ~StartTransferHost() = default;

    // Modal message boxes owned by the window, caption "提示", no icon.
    // askYesNo returns true for Yes.
    virtual bool askYesNo(const std::string& text) = 0;
    virtual void showMessage(const std::string& text) = 0;

    // The save dialog in export mode, the open dialog in import mode.
    virtual void chooseWorkbookPath() = 0;

    virtual std::string pathText() const = 0;  // PathEdit
    virtual void setPathText(const std::string& text) = 0;
    virtual std::string databaseText() const = 0;  // ExIMDataBase
    virtual std::string datasetText() const = 0;   // ExIMTable
    virtual std::string stationText() const = 0;   // StationEdit
    // What the import is asked beyond the controls; by default nothing.
    virtual ImportChoices importChoices() const { return {}; }
    // The dataset the drop-down names, or nullptr when it names none.
    virtual const datasets::Dataset* currentDataset() const = 0;
    virtual bool exportMode() const = 0;            // ExData checked
    virtual std::string executableDir() const = 0;  // with its trailing '/'
    virtual std::string fieldMapDir() const = 0;    // with its trailing '/'

    // ConnQuery, for the table-presence check.
    virtual db::Query& connQuery() = 0;
    // A new session on SQLConn for one transfer, which its worker owns, and
    // the view through which the worker reaches the window.
    virtual TransferSession transferSession() = 0;
    virtual TransferView& workerView() = 0;

    // Records `worker` as the latest export worker, replacing (and so joining)
    // the previous one, whose thread has ended since the start button could
    // be pressed.
    virtual void keepExportWorker(std::unique_ptr<MyExThread> worker) = 0;
    // Records `worker` as the latest import worker, likewise.
    virtual void keepImportWorker(std::unique_ptr<MyImThread> worker) = 0;
};

// The default workbook path: the export folder of the program in that
// executable folder (common/AppFolders.h), the trimmed display text of the
// dataset, ".xls".
std::string defaultWorkbookPath(const std::string& executableDir, const std::string& datasetText);

// The message shown in a Yes/No box when the database lacks the tables of the
// dataset in export mode.
std::string exportTablesMissingMessage(const std::string& database, const std::string& datasetText);

// Shown when the start button is pressed with no database chosen (the list
// is empty when the store or the server holds none).
inline constexpr const char* kNoDatabaseChosenMessage =
    "请先选择数据库！数据库列表为空时，请先建立数据库，然后重新启动本程序。";

// ExImButtonClick: run on the window's thread each time the start button is
// pressed. Errors of the table-presence query pass through to the caller (the
// window's general error report); no worker is started then.
void exImButtonClick(StartTransferHost& host);

}  // namespace pos::transfer

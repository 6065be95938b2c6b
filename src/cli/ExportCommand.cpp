// "export": the export worker run from a terminal, with the window's checks
// (existing file, the dataset's tables) and its messages. The exit code
// follows the worker's outcome, never the wording of its message.
#include <CLI/CLI.hpp>
#include <iostream>
#include <vector>

#include "cli/TransferCommand.h"
#include "common/AppFolders.h"
#include "common/Files.h"
#include "common/Text.h"
#include "common/Translations.h"
#include "datasets/Datasets.h"
#include "transfer/ExThread.h"
#include "transfer/StartTransfer.h"

namespace pos::cli {

namespace {

class ExportCommand : public TransferCommand {
public:
    CLI::App* addTo(CLI::App& app) override {
        CLI::App* sub = app.add_subcommand(
            "export", translated("Write a dataset of a database into a new workbook"));
        addDatabaseAndDataset(*sub, translated("The database to export from"));
        sub->add_option("--output", m_output,
                        translated("The workbook to write (default: the program's folder, the "
                                   "dataset's display text, .xls; %1 by its extension; a .csv file "
                                   "is UTF-8 with a byte-order mark, comma-separated)",
                                   {formatList()}))
            ->type_name("FILE");
        sub->add_flag("--overwrite", m_overwrite,
                      translated("Replace the workbook when it exists"));
        return sub;
    }

private:
    std::optional<std::string> workbookPath(const datasets::Dataset& dataset) override {
        const std::string path =
            isBlank(m_output) ? transfer::defaultWorkbookPath(executableDir(), dataset.displayText)
                              : m_output;
        if (folderExists(path)) {
            std::cerr << transfer::folderAtPathMessage(path) << std::endl;
            return std::nullopt;
        }
        if (fileExists(path) && !m_overwrite) {
            std::cerr << "文件已经存在：" << path << "\n如需覆盖，请加上 --overwrite 选项重新导出。"
                      << std::endl;
            return std::nullopt;
        }
        return path;
    }

    bool checkDatabase(db::Query& connQuery, transfer::TransferOptions& options) override {
        if (!transfer::checkDatasetTables(connQuery, options.dataset, database())) {
            std::cerr << transfer::exportTablesMissingMessage(database(),
                                                              options.dataset.displayText)
                      << std::endl;
            return false;
        }
        return true;
    }

    bool runWorker(transfer::TransferSession session, const transfer::TransferOptions& options,
                   TerminalView& view) override {
        transfer::MyExThread worker(std::move(session), options, view);
        worker.start();
        worker.join();
        return worker.result().succeeded();
    }

    std::string m_output;
    bool m_overwrite = false;
};

}  // namespace

std::unique_ptr<Command> makeExportCommand() {
    return std::make_unique<ExportCommand>();
}

}  // namespace pos::cli

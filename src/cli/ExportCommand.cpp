// "export": the export worker run from a terminal, with the window's checks
// (existing file, the dataset's tables) and its messages.
#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>

#include "cli/Command.h"
#include "cli/CommandSupport.h"
#include "common/Text.h"
#include "datasets/Datasets.h"
#include "transfer/ExThread.h"
#include "transfer/StartTransfer.h"

namespace pos::cli {

namespace {

const char* const kExportSucceeded = "数据导出成功！";

// The worker's view on a terminal: the success message (with any warning in
// the lines after its first) on stdout, every other message on stderr, and a
// progress bar on stderr when stderr is a terminal.
class TerminalView : public transfer::TransferView {
public:
    void setChoiceControlsEnabled(bool) override {}

    void setProgress(int position) override { m_bar.show(position); }

    void clearPath() override {}

    void showMessage(const std::string& text) override {
        endBar();
        if (text.rfind(kExportSucceeded, 0) == 0) {
            m_succeeded = true;
            std::cout << text << std::endl;
        } else {
            std::cerr << text << std::endl;
        }
    }

    bool stopRequested() const override { return StopSignals::requested(); }

    void endBar() { m_bar.end(); }

    bool succeeded() const { return m_succeeded; }

private:
    ProgressBar m_bar{false};
    bool m_succeeded = false;
};

class ExportCommand : public Command {
public:
    CLI::App* addTo(CLI::App& app) override {
        CLI::App* sub =
            app.add_subcommand("export", "Write a dataset of a database into a new workbook");
        addDatabaseAndDatasetOptions(*sub, m_database, "The database to export from", m_dataset);
        sub->add_option("--output", m_output,
                        "The workbook to write (default: the program's folder, the dataset's "
                        "display text, .xls; .xlsx by its extension)");
        sub->add_flag("--overwrite", m_overwrite, "Replace the workbook when it exists");
        return sub;
    }

    int run(const GlobalOptions& global) override {
        // From the start: reading a large workbook takes a while too.
        StopSignals stop;
        const datasets::Dataset& dataset = requireDataset(m_dataset);
        global.prepareFieldMaps();

        const std::string path =
            isBlank(m_output) ? transfer::defaultWorkbookPath(executableDir(), dataset.displayText)
                              : m_output;
        std::error_code error;
        if (std::filesystem::exists(path, error) && !m_overwrite) {
            std::cerr << "文件已经存在：" << path << "\n如需覆盖，请加上 --overwrite 选项重新导出。"
                      << std::endl;
            return kExitFailed;
        }

        WorkerConnection link(global);
        if (!transfer::checkDatasetTables(link.connQuery, dataset.key, m_database)) {
            std::cerr << transfer::exportTablesMissingMessage(m_database, dataset.displayText)
                      << std::endl;
            return kExitFailed;
        }

        TerminalView view;
        transfer::MyExThread worker(link.queries(),
                                    transferOptions(global, m_database, dataset, path), view);
        worker.start();
        worker.join();
        view.endBar();
        return StopSignals::exitCode(view.succeeded() ? kExitSuccess : kExitFailed);
    }

private:
    std::string m_database;
    std::string m_dataset;
    std::string m_output;
    bool m_overwrite = false;
};

}  // namespace

std::unique_ptr<Command> makeExportCommand() {
    return std::make_unique<ExportCommand>();
}

}  // namespace pos::cli

// "export": the export worker run from a terminal, with the window's checks
// (existing file, the dataset's tables) and its messages.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>

#include "cli/Command.h"
#include "common/Text.h"
#include "datasets/Datasets.h"
#include "transfer/ExThread.h"
#include "transfer/StartTransfer.h"

namespace pos::cli {

namespace {

const char* const kExportSucceeded = "数据导出成功！";

// The worker's view on a terminal: the success message on stdout, every other
// message on stderr, and a progress bar on stderr when stderr is a terminal.
class TerminalView : public transfer::TransferView {
public:
    TerminalView() : m_bar(::isatty(STDERR_FILENO) == 1) {}

    void setChoiceControlsEnabled(bool) override {}

    void setProgress(int position) override {
        const int percent = std::clamp(position, 0, 300) / 3;
        if (!m_bar || percent == m_percent) {
            return;
        }
        m_percent = percent;
        const int filled = percent * kWidth / 100;
        std::fprintf(stderr, "\r[%s%s] %3d%%", std::string(filled, '#').c_str(),
                     std::string(kWidth - filled, '.').c_str(), percent);
        std::fflush(stderr);
        m_lineOpen = true;
    }

    void clearPath() override {}

    void showMessage(const std::string& text) override {
        endBar();
        if (text == kExportSucceeded) {
            m_succeeded = true;
            std::cout << text << std::endl;
        } else {
            std::cerr << text << std::endl;
        }
    }

    void endBar() {
        if (m_lineOpen) {
            std::fputc('\n', stderr);
            m_lineOpen = false;
        }
    }

    bool succeeded() const { return m_succeeded; }

private:
    static constexpr int kWidth = 40;
    bool m_bar;
    bool m_lineOpen = false;
    int m_percent = -1;
    bool m_succeeded = false;
};

class ExportCommand : public Command {
public:
    CLI::App* addTo(CLI::App& app) override {
        CLI::App* sub =
            app.add_subcommand("export", "Write a dataset of a database into a new workbook");
        sub->add_option("--database", m_database, "The database to export from")->required();
        sub->add_option("--dataset", m_dataset,
                        "Menu, HallTable or MenuAnnotate (any letter case), or the dataset's "
                        "display text")
            ->required();
        sub->add_option("--output", m_output,
                        "The workbook to write (default: the program's folder, the dataset's "
                        "display text, .xls; .xlsx by its extension)");
        sub->add_flag("--overwrite", m_overwrite, "Replace the workbook when it exists");
        return sub;
    }

    int run(const GlobalOptions& global) override {
        const datasets::Dataset* dataset = datasets::findDataset(m_dataset);
        if (!dataset) {
            throw UsageError("Unknown dataset \"" + m_dataset +
                             "\": give Menu, HallTable, MenuAnnotate, 菜品信息, 厅桌信息 or "
                             "菜品注释.");
        }
        global.prepareFieldMaps();

        const std::string path =
            isBlank(m_output) ? transfer::defaultWorkbookPath(executableDir(), dataset->displayText)
                              : m_output;
        std::error_code error;
        if (std::filesystem::exists(path, error) && !m_overwrite) {
            std::cerr << "文件已经存在：" << path << "\n如需覆盖，请加上 --overwrite 选项重新导出。"
                      << std::endl;
            return kExitFailed;
        }

        db::Connection connection(global.connectionSettings());
        db::Query connQuery(connection);
        db::Query sqlQuery(connection);
        db::Query tempQuery(connection);
        db::Query tempQuery2(connection);
        transfer::connectAndListDatabases(connection, connQuery, global.connectionArguments());
        if (!transfer::checkDatasetTables(connQuery, dataset->key, m_database)) {
            std::cerr << transfer::exportTablesMissingMessage(m_database, dataset->displayText)
                      << std::endl;
            return kExitFailed;
        }

        transfer::TransferOptions options;
        options.database = m_database;
        options.datasetKey = dataset->key;
        options.datasetText = dataset->displayText;
        options.path = path;
        options.fieldMapDir = global.fieldMapDir();
        TerminalView view;
        transfer::MyExThread worker({connection, sqlQuery, tempQuery, tempQuery2}, options, view);
        worker.start();
        worker.join();
        view.endBar();
        return view.succeeded() ? kExitSuccess : kExitFailed;
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

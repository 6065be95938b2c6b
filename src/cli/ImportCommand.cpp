// "import": the import worker run from a terminal, after the window's
// pre-checks (the file, the workbook, the station number, the dataset's
// tables) with their messages. Exit 0 only when every workbook row is in the
// database: inserted, or left out because a row with its key already exists.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <iostream>

#include "cli/Command.h"
#include "common/Text.h"
#include "datasets/Datasets.h"
#include "transfer/Catalogue.h"
#include "transfer/ImThread.h"
#include "transfer/ImportPrecheck.h"

namespace pos::cli {

namespace {

// The worker's view on a terminal: a progress bar on stderr when stderr is a
// terminal; the closing message is kept and printed once the outcome is
// known (stdout when every row arrived, stderr otherwise).
class ImportTerminalView : public transfer::TransferView {
public:
    ImportTerminalView() : m_bar(::isatty(STDERR_FILENO) == 1) {}

    void setChoiceControlsEnabled(bool) override {}

    void setProgress(int position) override {
        const int percent = std::clamp(position, 0, 300) / 3;
        if (!m_bar || percent == m_percent || (position == 0 && m_percent > 0)) {
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

    void showMessage(const std::string& text) override { m_messages.push_back(text); }

    void endBar() {
        if (m_lineOpen) {
            std::fputc('\n', stderr);
            m_lineOpen = false;
        }
    }

    const std::vector<std::string>& messages() const { return m_messages; }

private:
    static constexpr int kWidth = 40;
    bool m_bar;
    bool m_lineOpen = false;
    int m_percent = -1;
    std::vector<std::string> m_messages;
};

class ImportCommand : public Command {
public:
    CLI::App* addTo(CLI::App& app) override {
        CLI::App* sub = app.add_subcommand(
            "import", "Read a workbook into a dataset of a database (staged, then merged)");
        sub->add_option("--database", m_database, "The database to import into")->required();
        sub->add_option("--dataset", m_dataset,
                        "Menu, HallTable or MenuAnnotate (any letter case), or the dataset's "
                        "display text")
            ->required();
        sub->add_option("--station", m_station, "The station number written into new dishes")
            ->required();
        sub->add_option("--input", m_input, "The workbook to read (.xls or .xlsx)")->required();
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

        db::Connection connection(global.connectionSettings());
        db::Query connQuery(connection);
        db::Query sqlQuery(connection);
        db::Query tempQuery(connection);
        db::Query tempQuery2(connection);
        transfer::connectAndListDatabases(connection, connQuery, global.connectionArguments());

        transfer::TransferOptions options;
        options.database = m_database;
        options.datasetKey = dataset->key;
        options.datasetText = dataset->displayText;
        options.path = m_input;
        options.fieldMapDir = global.fieldMapDir();
        const transfer::ImportPrecheck check =
            transfer::precheckImport(connQuery, options, m_station);
        if (check.status != transfer::ImportPrecheckStatus::Ready) {
            std::cerr << check.message << std::endl;
            return kExitFailed;
        }
        options.stationNumber = check.stationNumber;

        ImportTerminalView view;
        transfer::MyImThread worker({connection, sqlQuery, tempQuery, tempQuery2}, options, view);
        worker.start();
        worker.join();
        view.endBar();

        const bool complete = worker.result().everyRowInDatabase();
        for (const std::string& message : view.messages()) {
            (complete ? std::cout : std::cerr) << message << std::endl;
        }
        return complete ? kExitSuccess : kExitFailed;
    }

private:
    std::string m_database;
    std::string m_dataset;
    std::string m_station;
    std::string m_input;
};

}  // namespace

std::unique_ptr<Command> makeImportCommand() {
    return std::make_unique<ImportCommand>();
}

}  // namespace pos::cli

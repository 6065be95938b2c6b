#include "cli/CommandSupport.h"

#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <iostream>

#include "cli/Command.h"
#include "common/Translations.h"
#include "workbook/WorkbookFormats.h"

namespace pos::cli {

void addDatabaseAndDatasetOptions(CLI::App& sub, std::string& database,
                                  const std::string& databaseHelp, std::string& dataset) {
    sub.add_option("--database", database, databaseHelp)->type_name("DB")->required();
    sub.add_option("--dataset", dataset,
                   translated("%1 (any letter case), or the dataset's display text",
                              {datasets::datasetKeys(translated(", "), translated(" or "))}))
        ->type_name("DATASET")
        ->required();
}

std::string formatList() {
    return workbook::extensionList(translated(", ").c_str(), translated(" or ").c_str());
}

const datasets::Dataset& requireDataset(const std::string& name) {
    const datasets::Dataset* dataset = datasets::findDataset(name);
    if (!dataset) {
        std::string texts;
        for (std::size_t i = 0; i < datasets::kDatasets.size(); ++i) {
            texts += (i == 0                                ? ""
                      : i + 1 == datasets::kDatasets.size() ? "或"
                                                            : "、") +
                     std::string(datasets::kDatasets[i].get().displayText);
        }
        throw UsageError("没有名为“" + name + "”的数据集：--dataset应是" +
                         datasets::datasetKeys("、", "或") + "（不分大小写），或" + texts + "。");
    }
    return *dataset;
}

WorkerConnection::WorkerConnection(const GlobalOptions& global)
    : connection(global.connectionSettings()), connQuery(connection) {
    transfer::connectAndListDatabases(connection, connQuery, global.connectionArguments());
}

transfer::TransferOptions transferOptions(const GlobalOptions& global, const std::string& database,
                                          const datasets::Dataset& dataset,
                                          const std::string& path) {
    return {.dataset = dataset,
            .database = database,
            .path = path,
            .fieldMapDir = global.fieldMapDir()};
}

ProgressBar::ProgressBar(bool keepAtReset)
    : m_enabled(::isatty(STDERR_FILENO) == 1), m_keepAtReset(keepAtReset) {}

void ProgressBar::show(int position) {
    const int percent = std::clamp(position, 0, 300) / 3;
    if (!m_enabled || percent == m_percent || (m_keepAtReset && position == 0 && m_percent > 0)) {
        return;
    }
    m_percent = percent;
    const int filled = percent * kWidth / 100;
    std::fprintf(stderr, "\r[%s%s] %3d%%", std::string(filled, '#').c_str(),
                 std::string(kWidth - filled, '.').c_str(), percent);
    std::fflush(stderr);
    m_lineOpen = true;
}

void ProgressBar::end() {
    if (m_lineOpen) {
        std::fputc('\n', stderr);
        m_lineOpen = false;
    }
}

namespace {

transfer::StopToken g_stopToken;

extern "C" void recordStopSignal(int signal) {
    g_stopToken.request(signal);
}

// Sets `handler` for `signal` and keeps the action found in `previous`; a
// signal found ignored stays so.
void catchSignal(int signal, const struct sigaction& handler, struct sigaction& previous) {
    if (sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) {
        return;
    }
    sigaction(signal, &handler, &previous);
}

}  // namespace

StopSignals::StopSignals() {
    g_stopToken.reset();
    struct sigaction action {};
    action.sa_handler = recordStopSignal;
    sigemptyset(&action.sa_mask);
    // The second signal finds the default handler again and ends the program.
    action.sa_flags = SA_RESETHAND;
    catchSignal(SIGINT, action, m_previousInt);
    catchSignal(SIGTERM, action, m_previousTerm);
}

StopSignals::~StopSignals() {
    sigaction(SIGINT, &m_previousInt, nullptr);
    sigaction(SIGTERM, &m_previousTerm, nullptr);
}

const transfer::StopToken& StopSignals::token() {
    return g_stopToken;
}

int StopSignals::exitCode(int otherwise) {
    const int signal = g_stopToken.cause();
    return signal > 0 ? 128 + signal : otherwise;
}

int TerminalView::finish(bool succeeded) {
    m_bar.end();
    for (const std::string& message : m_messages) {
        (succeeded ? std::cout : std::cerr) << message << std::endl;
    }
    return StopSignals::exitCode(succeeded ? kExitSuccess : kExitFailed);
}

}  // namespace pos::cli

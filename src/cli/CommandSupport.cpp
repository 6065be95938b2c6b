#include "cli/CommandSupport.h"

#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <iostream>

#include "cli/Command.h"

namespace pos::cli {

void addDatabaseAndDatasetOptions(CLI::App& sub, std::string& database,
                                  const std::string& databaseHelp, std::string& dataset) {
    sub.add_option("--database", database, databaseHelp)->type_name("DB")->required();
    sub.add_option("--dataset", dataset,
                   "Menu, HallTable or MenuAnnotate (any letter case), or the dataset's "
                   "display text")
        ->type_name("DATASET")
        ->required();
}

const datasets::Dataset& requireDataset(const std::string& name) {
    const datasets::Dataset* dataset = datasets::findDataset(name);
    if (!dataset) {
        throw UsageError("Unknown dataset \"" + name +
                         "\": give Menu, HallTable, MenuAnnotate, 菜品信息, 厅桌信息 or "
                         "菜品注释.");
    }
    return *dataset;
}

WorkerConnection::WorkerConnection(const GlobalOptions& global)
    : connection(global.connectionSettings()),
      connQuery(connection),
      sqlQuery(connection),
      tempQuery(connection),
      tempQuery2(connection) {
    transfer::connectAndListDatabases(connection, connQuery, global.connectionArguments());
}

transfer::TransferOptions transferOptions(const GlobalOptions& global, const std::string& database,
                                          const datasets::Dataset& dataset,
                                          const std::string& path) {
    transfer::TransferOptions options;
    options.database = database;
    options.datasetKey = dataset.key;
    options.datasetText = dataset.displayText;
    options.path = path;
    options.fieldMapDir = global.fieldMapDir();
    return options;
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

volatile std::sig_atomic_t g_stopSignal = 0;

extern "C" void recordStopSignal(int signal) {
    g_stopSignal = signal;
}

}  // namespace

StopSignals::StopSignals() {
    g_stopSignal = 0;
    struct sigaction action {};
    action.sa_handler = recordStopSignal;
    sigemptyset(&action.sa_mask);
    // The second signal finds the default handler again and ends the program.
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

StopSignals::~StopSignals() {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

bool StopSignals::requested() {
    return g_stopSignal != 0;
}

int StopSignals::exitCode(int otherwise) {
    return g_stopSignal != 0 ? 128 + g_stopSignal : otherwise;
}

int TerminalView::finish(bool succeeded) {
    m_bar.end();
    for (const std::string& message : m_messages) {
        (succeeded ? std::cout : std::cerr) << message << std::endl;
    }
    return StopSignals::exitCode(succeeded ? kExitSuccess : kExitFailed);
}

}  // namespace pos::cli

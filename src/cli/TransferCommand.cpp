// The run that export and import share.
#include "cli/TransferCommand.h"

#include <CLI/CLI.hpp>

namespace pos::cli {

void TransferCommand::addDatabaseAndDataset(CLI::App& sub, const std::string& databaseHelp) {
    addDatabaseAndDatasetOptions(sub, m_database, databaseHelp, m_dataset);
}

int TransferCommand::run(const GlobalOptions& global) {
    StopSignals stop;
    const datasets::Dataset& dataset = requireDataset(m_dataset);
    const std::optional<std::string> path = workbookPath(dataset);
    if (!path) {
        return kExitFailed;
    }
    global.prepareFieldMaps();

    WorkerConnection link(global);
    transfer::TransferOptions options = transferOptions(global, m_database, dataset, *path);
    if (!checkDatabase(link.connQuery, options)) {
        return kExitFailed;
    }

    TerminalView view;
    const bool succeeded = runWorker(link.queries(), options, view);
    return view.finish(succeeded);
}

}  // namespace pos::cli

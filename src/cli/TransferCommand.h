// What export and import share: the --database and --dataset options, and
// the run around the worker (the stop signals, the dataset, the field maps,
// the connection, the terminal view, the thread started and waited for).
// Each command gives only its own checks and its worker.
#pragma once

#include <optional>
#include <string>

#include "cli/Command.h"
#include "cli/CommandSupport.h"
#include "datasets/Datasets.h"
#include "transfer/TransferContext.h"

namespace pos::cli {

class TransferCommand : public Command {
public:
    // The stop signals from the start (reading a large workbook takes a
    // while too), the dataset named, the command's checks that need no
    // database, the field maps, the connection, the command's checks in the
    // database, then the worker on its thread with a terminal view; the exit
    // code follows the worker's outcome.
    int run(const GlobalOptions& global) final;

protected:
    // Adds the required --database (described by `databaseHelp`) and
    // --dataset options.
    void addDatabaseAndDataset(CLI::App& sub, const std::string& databaseHelp);
    const std::string& database() const { return m_database; }

    // The workbook's path, once the choices that need no database are
    // checked; nothing when they are refused (the refusal printed on
    // stderr). Throws UsageError for a choice the parser could not judge.
    virtual std::optional<std::string> workbookPath(const datasets::Dataset& dataset) = 0;
    // The checks in the database, completing the worker's options; false
    // when they refuse (the refusal printed on stderr).
    virtual bool checkDatabase(db::Query& connQuery, transfer::TransferOptions& options) = 0;
    // Runs the worker on its own thread and waits for it; whether the
    // command succeeded.
    virtual bool runWorker(transfer::TransferSession session,
                           const transfer::TransferOptions& options, TerminalView& view) = 0;

private:
    std::string m_database;
    std::string m_dataset;
};

}  // namespace pos::cli

// What the commands share: the --database and --dataset options, the dataset
// lookup, the connection on which each worker gets a session of its own, the
// workers' options and a progress bar on a terminal.
#pragma once

#include <signal.h>

#include <string>
#include <vector>

#include "cli/GlobalOptions.h"
#include "datasets/Datasets.h"
#include "db/Connection.h"
#include "transfer/TransferContext.h"
#include "transfer/TransferView.h"

namespace CLI {
class App;
}

namespace pos::cli {

// Adds the required --database option, described by `databaseHelp`, and the
// required --dataset option.
void addDatabaseAndDatasetOptions(CLI::App& sub, std::string& database,
                                  const std::string& databaseHelp, std::string& dataset);

// The dataset that `name` names (its key in any letter case, or its display
// text); throws UsageError listing the names there are otherwise.
const datasets::Dataset& requireDataset(const std::string& name);

// The workbook formats' extensions as the help lists them, in the help's
// language (".xls, .xlsx or .ods").
std::string formatList();

// A connection opened as the window opens it (the database list read through
// connQuery), on which a transfer worker gets a session of its own.
struct WorkerConnection {
    explicit WorkerConnection(const GlobalOptions& global);

    // A new session for one transfer, which its worker owns.
    transfer::TransferSession queries() { return transfer::TransferSession(connection); }

    db::Connection connection;
    db::Query connQuery;
};

// The worker's options for `dataset` of `database` with the workbook at
// `path` and the field maps of `global`.
transfer::TransferOptions transferOptions(const GlobalOptions& global, const std::string& database,
                                          const datasets::Dataset& dataset,
                                          const std::string& path);

// Ctrl-C (SIGINT) and SIGTERM ask a running transfer to stop, while an object
// of this class lives: the signal sets the stop token, and the worker stops
// at its next row, undoes the pass in progress and cleans up. A second signal
// ends the program at once. A signal the program was started with ignored
// (nohup, a service manager) stays ignored, and the actions found are put
// back when the object goes.
class StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // The token that the signals set, for the workers' views.
    static const transfer::StopToken& token();
    // 128 + the signal's number (130 for Ctrl-C, 143 for SIGTERM) after a
    // stop, else `otherwise`.
    static int exitCode(int otherwise);

private:
    struct sigaction m_previousInt {};
    struct sigaction m_previousTerm {};
};

// The gauge (0 to 300) as a bar on stderr, drawn only when stderr is a
// terminal and only when its percentage changes.
class ProgressBar {
public:
    // With `keepAtReset`, a return to 0 after some progress leaves the bar as
    // it stands.
    explicit ProgressBar(bool keepAtReset);

    void show(int position);
    // Ends the bar's line, when one is open.
    void end();

private:
    static constexpr int kWidth = 40;
    bool m_enabled;
    bool m_keepAtReset;
    bool m_lineOpen = false;
    int m_percent = -1;
};

// A worker's view on a terminal: a progress bar on stderr when stderr is a
// terminal, left on its last line when the worker resets the gauge at the
// end; the closing messages are kept and printed once the outcome is known,
// on stdout when the transfer succeeded and on stderr otherwise.
class TerminalView : public transfer::TransferView {
public:
    TerminalView() : transfer::TransferView(&StopSignals::token()) {}
    void setChoiceControlsEnabled(bool) override {}
    void setProgress(int position) override { m_bar.show(position); }
    void clearPath() override {}
    void showMessage(const std::string& text) override { m_messages.push_back(text); }

    // Ends the bar, prints the messages and gives the exit code of the
    // outcome (a stop signal's code when one came).
    int finish(bool succeeded);

private:
    ProgressBar m_bar{true};
    std::vector<std::string> m_messages;
};

}  // namespace pos::cli

// The export worker: builds the dataset's view in the chosen database, takes
// the headings from the field map and writes under each heading the view's
// column that its entry names into a new workbook, on a thread of its own,
// reporting through a TransferView; the closing message says how many stored
// rows the views left out.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "transfer/TransferContext.h"
#include "transfer/TransferView.h"
#include "transfer/WorkerThread.h"
#include "workbook/SheetLimits.h"

namespace pos::transfer {

// The most records an export can write below the empty row 1 and the
// heading row 2 of an .xls and of an .xlsx worksheet.
inline constexpr int kXlsMaxRecords = workbook::kXlsMaxRows - 2;
inline constexpr int kXlsxMaxRecords = workbook::kXlsxMaxRows - 2;

// The gauge after the record in worksheet row `row` has been passed, with
// `recordCount` records in all: 3 x trunc(row / count x 100), held within
// 0 to 300. The row number, not the count written, is the numerator, so the
// gauge is full two records before the end.
int exportProgress(std::int32_t row, std::int32_t recordCount);

// The statements that create the views of a dataset, in the order they are
// sent.
std::vector<std::string> createViewStatements(const datasets::Dataset& dataset);

// The count of the stored rows of a dataset that its export views leave out,
// in one row and column: the rows of its exported table without a partner in
// a table the views join it with. Empty when the views join nothing.
std::string leftOutCountStatement(const datasets::Dataset& dataset);

// The line after the success message that says how many stored rows the
// workbook does not hold and why, or empty when none was left out.
std::string leftOutNote(const datasets::Dataset& dataset, std::int64_t count);

// Drops the views that the export of the dataset creates, as its
// definition names them, in `database`, each after the preamble. A view that
// is not there is the usual case, so a failed drop is not reported: it is
// returned, the view's name with the reason, for a caller that created the
// views to see whether the view stays.
std::vector<std::pair<std::string, std::string>> dropExportViews(db::Query& query,
                                                                 const std::string& database,
                                                                 const datasets::Dataset& dataset);

// The record limit of the workbook format that `path` is saved in, by its
// extension (any letter case); that of .xls for a path of no known format.
int recordLimitForPath(const std::string& path);
// The refusal of `recordCount` records for a workbook saved at `path` when its
// sheet cannot hold them all (naming .xlsx as the way out of .xls's limit), or
// empty when they fit.
std::string tooManyRecordsMessage(int recordCount, const std::string& path);

// The refusal of a save path at which a folder stands: a workbook cannot
// replace it, whatever the user answers about overwriting.
std::string folderAtPathMessage(const std::string& path);

enum class ExportOutcome {
    NotRun,
    // Stopped before the workbook was saved, for a reason in the choices or
    // the data (the path, the dataset's tables, the field map, the number of
    // records, a text too long for a cell); no file written.
    Refused,
    Stopped,  // the user asked the export to stop; no file written
    // The workbook engine could not start, the save failed or an unforeseen
    // error ended the export; no file written.
    Failed,
    Succeeded,  // the workbook is saved (the message may add a warning)
};

// How an export ended. Front ends act on the outcome, never on the text.
struct ExportResult {
    ExportOutcome outcome = ExportOutcome::NotRun;
    std::string message;  // the closing message, as shown
    bool succeeded() const { return outcome == ExportOutcome::Succeeded; }
};

// The export worker, named as designed.
class MyExThread {
public:
    // Owns the transfer's session, whose queries it closes as the export
    // ends; the session's connection and the view must outlive the worker.
    MyExThread(TransferSession session, TransferOptions options, TransferView& view);
    // Waits for the thread; by the time a window replaces its latest worker the
    // thread has ended or is about to, since the start button is enabled again
    // only as the worker's very last call into the view.
    ~MyExThread();
    MyExThread(const MyExThread&) = delete;
    MyExThread& operator=(const MyExThread&) = delete;

    // Starts the thread: the best nice value this process may take without
    // privileges, then RunExport, then FinishExport however RunExport ended.
    void start();
    void join();
    // True once FinishExport has run and the thread is about to return.
    bool finished() const { return m_worker.finished(); }

    // The thread body and the termination step, public so that a caller may
    // run them on its own thread (the CLI runs the thread; tests use both).
    void runExport();
    void finishExport();

    // The heading texts, one per heading column; emptied after the export.
    const std::vector<std::string>& showNames() const { return m_showNames; }
    // How the export ended; read it once the thread has been joined.
    const ExportResult& result() const { return m_result; }

private:
    void exportToExcel();
    // Writes the export query's records under the headings and saves the
    // workbook; every other end is thrown as ExportHalted. The workbook
    // session is released on the way out, before the closing message shows.
    void writeWorkbook(int recordCount);
    bool createViews();
    // The headings and the select list from the field map (written from the
    // view's columns when missing); false when the export cannot go on.
    bool prepareColumns();
    bool openExportQuery(int& recordCount, std::int64_t& leftOut);
    std::string successMessage(std::int64_t leftOut) const;
    // Drops the views; the note that names those that stay, or empty.
    std::string dropViews();
    std::string key() const;
    // Records the outcome with its closing message and shows the message.
    void finishWith(ExportOutcome outcome, std::string message);

    TransferSession m_transferSession;
    TransferQueries m_queries;  // m_transferSession's
    TransferOptions m_options;
    TransferView& m_view;
    // The text after " select " in the export query: empty, then the view's
    // columns that the field map's entries name, in the map's order, each
    // quoted (every column of the view when the map has no entry).
    std::string m_selectColumns;
    std::vector<std::string> m_showNames;
    ExportResult m_result;
    // Last, so that the thread has ended before the members its steps use go.
    WorkerThread m_worker;
};

}  // namespace pos::transfer

// The import worker: reads the workbook's first worksheet, stages its rows in
// the dataset's staging table (one pass that keeps them only when the
// database accepts every one), hands over to the merge and reports the
// outcome, on a thread of its own, through a TransferView.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/Value.h"
#include "datasets/Datasets.h"
#include "db/DbError.h"
#include "transfer/Merge.h"
#include "transfer/TransferContext.h"
#include "transfer/TransferView.h"
#include "transfer/WorkerThread.h"

namespace pos::workbook {
class SpreadsheetSession;
}

namespace pos::transfer {

// What one import works with; rebuilt by every import.
struct ImportState {
    // The gauge position at which the current pass starts; 0 at the start.
    int progressBase = 0;
    // Entry c-1: the heading in row 2, column c, as text, trimmed.
    std::vector<std::string> headerNames;
    // The staging table's columns in catalogue order, untrimmed.
    std::vector<std::string> stagingColumns;
    // Entry c-1: the staging column that receives worksheet column c.
    std::vector<std::string> matchedColumns;
    // A heading that would fill one staging column twice; empty when none.
    std::string repeatedHeading;
    std::int32_t columnCount = 0;   // columns of the used range
    std::int32_t dataRowCount = 0;  // rows of the used range minus 1
    // The last worksheet row read by the passes: the last used row with a
    // cell that holds anything, blanks too (rows 3 up to it hold the records
    // and the empty rows among and after them).
    std::int32_t lastDataRow = 2;
    // The worksheet column the staging insert leaves out (the identity
    // column), 0 when none.
    int skippedColumn = 0;
    // What the staging pass knows of the keys of the rows it kept.
    StagedKeys stagedKeys;
};

enum class ImportOutcome {
    NotRun,
    Refused,           // stopped before any row was staged, with a message
    ValidationFailed,  // the database refused rows: nothing kept, no merge
    RowsFailed,        // some rows were refused by the merge or repeat a key; the others merged
    MergeStopped,      // the merge stopped part-way
    Failed,            // an unforeseen error ended the import
    Succeeded,
};

// A worksheet row that a staging pass refused: the heading of the column at
// fault when it can be told, and the reason.
struct RowProblem {
    int row = 0;
    std::string heading;  // empty when no single column is at fault
    std::string reason;
    // The column needs a value and the row's cell is empty (or blanks only).
    bool emptyCell = false;
    // The reason reads on from the column's name ("“价格1”列应为数字，…"),
    // without the colon that sets off a database's own words.
    bool readsOn = false;

    // "“价格1”列：reason", "“价格1”列应为数字…", "“桌名”列为空…", or the
    // reason alone when no column is at fault.
    std::string text() const;
};

// Why the database refused a staged row: its message and the kind of fault.
struct Refusal {
    std::string reason;
    db::DbFault fault = db::DbFault::Other;
};

// A worksheet row left out because an earlier row of the same workbook has
// the same key.
struct RepeatedRow {
    int row = 0;
    int firstRow = 0;  // the earlier row that was staged
    std::string key;
};

// A worksheet row that did not reach the database, as a dry run lists it and
// the rejects workbook holds it. Row 0: a row refused by the merge that no
// worksheet row could be matched with.
struct RejectedRow {
    int row = 0;
    std::string key;     // as the messages name it (菜品编码“5001”); empty when none
    std::string reason;  // in Chinese
};

// The heading of the column that the rejects workbook adds; the import
// ignores a last column headed so, and the fixed file imports again.
inline constexpr const char* kRejectReasonHeading = "未导入原因";

struct ImportResult {
    ImportOutcome outcome = ImportOutcome::NotRun;
    std::string message;                  // the closing message, as shown
    std::vector<int> failedRows;          // worksheet rows the staging pass refused
    std::vector<RowProblem> rowProblems;  // the same rows, with their reasons
    std::vector<RepeatedRow> repeatedRows;
    // Worksheet rows whose imported cells are all empty or blanks: no record,
    // skipped by both passes.
    std::vector<int> emptyRows;
    bool mergeRan = false;
    MergeReport merge;
    // With a dry run or a rejects workbook: every workbook row not imported,
    // in worksheet order.
    std::vector<RejectedRow> rejectedRows;
    // Every workbook row is now in the database: inserted, or left out
    // because the same key is already stored.
    bool everyRowInDatabase() const;
};

// The gauge before worksheet row `row` of a pass over `dataRowCount` rows
// that starts at `progressBase` and moves the gauge by `span`:
// trunc((row - 2) / count x span) + base.
int importProgress(std::int32_t row, std::int32_t dataRowCount, int progressBase, int span = 100);

// The failure text of the staging pass for the failed worksheet rows in
// ascending order; empty when no row failed.
std::string validationFailureText(const std::vector<int>& rows);
// "第5、9行为空行，已跳过。", the first rows then how many in all; empty when
// no row was skipped.
std::string emptyRowsText(const std::vector<int>& rows);

// The import worker, named as designed.
class MyImThread {
public:
    // Owns the transfer's session, whose queries it closes as the import
    // ends; the session's connection and the view must outlive the worker.
    MyImThread(TransferSession session, TransferOptions options, TransferView& view);
    // Waits for the thread.
    ~MyImThread();
    MyImThread(const MyImThread&) = delete;
    MyImThread& operator=(const MyImThread&) = delete;

    // Starts the thread: RunImport, then FinishImport however it ended.
    void start();
    void join();
    bool finished() const { return m_worker.finished(); }
    // RunImport then FinishImport on the calling thread, as the thread does.
    void run();

    // The thread body and the termination step.
    void runImport();
    void finishImport();

    const ImportState& state() const { return m_state; }
    const ImportResult& result() const { return m_result; }

private:
    bool readWorksheet();
    bool checkFormulaResults();
    bool lockDatabase();
    bool buildStagingTable(std::string& reason);
    bool matchHeaders();
    // The staging pass; the failure text of the rows it refused, empty when
    // none.
    std::string stageRows();
    std::string closingSummary() const;
    // Drops the staging tables, then shows the closing message with a note
    // of any table left; true when the import ends as a success. For a
    // success `message` is the summary alone: the head that says whether the
    // clean-up finished too goes before it.
    bool closeWith(ImportOutcome outcome, std::string message);
    std::string dropStagingTablesNow();

    // What the staging passes know of the worksheet's columns: which take
    // text, which name a record, and how to tell the user of a row.
    struct RowShape {
        const std::vector<std::string>* matchedColumns = nullptr;
        const std::vector<std::string>* headerNames = nullptr;
        int skippedColumn = 0;
        std::vector<bool> textColumn;             // entry c-1 for worksheet column c
        std::vector<std::size_t> keyColumns;      // empty when the key is not in the worksheet
        std::vector<datasets::KeyKind> keyKinds;  // how each of keyColumns compares
        std::vector<const char*> keyHeadings;     // the default heading of each
        const char* keyName = "";

        // The row's key as the database compares keys; empty when a part is
        // empty or the worksheet holds no key.
        std::string recordKey(const std::vector<Value>& cells) const;
        std::string describeKey(const std::vector<Value>& cells) const;
        RowProblem describeFailure(int row, const std::vector<Value>& cells,
                                   const Refusal& refusal) const;
    };
    RowShape rowShape(int skippedColumn) const;
    void setProgress(int position);
    // What a dry run or a rejects workbook adds to the closing message.
    std::string withImportChoices(ImportOutcome outcome, const std::string& message);
    std::vector<RejectedRow> rejectedRows(ImportOutcome outcome) const;
    std::string dryRunReport(ImportOutcome outcome, const std::string& message) const;
    std::string writeRejects(ImportOutcome outcome, const std::string& path) const;
    void finishWith(ImportOutcome outcome, const std::string& message);
    std::string key() const;

    TransferSession m_transferSession;
    TransferQueries m_queries;  // m_transferSession's
    TransferOptions m_options;
    TransferView& m_view;
    ImportState m_state;
    ImportResult m_result;
    std::unique_ptr<workbook::SpreadsheetSession> m_session;
    // Held from the staging step to the end of the clean-up: the staging
    // tables of a database are shared by every import into it.
    std::unique_ptr<db::ImportLock> m_importLock;
    // Until the closing message's clean-up has dropped them, the staging
    // tables may stand; FinishImport drops them then.
    bool m_stagingTablesLeft = true;
    int m_gauge = 0;
    // Last, so that the thread has ended before the members its steps use go.
    WorkerThread m_worker;
};

}  // namespace pos::transfer

// The import worker's flow: the thread, the steps of an import in turn, the
// lock, the staging tables built and dropped, the closing message. Every
// statement of the worker goes through the SQLQuery of its transfer session,
// each after the database preamble; the workbook session lives from the
// thread body to the termination step; the view hears of every outcome. The
// worksheet, the row passes and the report live beside it (ImportSheet.cpp,
// ImportPasses.cpp, ImportReport.cpp).
#include "transfer/ImThread.h"

#include <algorithm>
#include <exception>

#include "common/Cleanup.h"
#include "common/Text.h"
#include "datasets/Datasets.h"
#include "db/DbError.h"
#include "transfer/ImportDetail.h"
#include "transfer/ImportPrecheck.h"
#include "transfer/Staging.h"
#include "workbook/SpreadsheetSession.h"

namespace pos::transfer {

using detail::detailLines;
using detail::headingLines;
using detail::PassStopped;
using detail::repeatedRowLines;

namespace {

const char* const kTooManyColumnsMessage = "导入的数据字段多余数据库字段，请检查导入的Excel表字段";
const char* const kHeadersMismatchMessage = "不可以进行数据导入，请检查对应字段是否一致！";
const char* const kSuccessMessage = "数据导入成功！";
// How long an import waits for another import of the same database to end.
constexpr int kLockWaitSeconds = 5;

std::string stagingFailedMessage(const TransferOptions& options) {
    return "数据库" + options.database + "的" + options.dataset.displayText +
           "相关设置表记录不全，请检查数据库！";
}

}  // namespace

MyImThread::MyImThread(TransferSession session, TransferOptions options, TransferView& view)
    : m_transferSession(std::move(session)),
      m_queries(m_transferSession.queries()),
      m_options(std::move(options)),
      m_view(view),
      m_worker([this] { runImport(); },
               // The last resort for a failure nobody foresaw (the connection
               // lost mid-run, say), so that the import never ends without a
               // word.
               [this](const std::string& reason) {
                   finishWith(ImportOutcome::Failed, "导入数据时出错，导入已中止：" + reason);
               },
               [this] { finishImport(); }) {}

MyImThread::~MyImThread() {
    join();
}

void MyImThread::start() {
    m_worker.start();
}

void MyImThread::join() {
    m_worker.join();
}

void MyImThread::run() {
    m_worker.run();
}

std::string MyImThread::key() const {
    return m_options.dataset.key;
}

void MyImThread::setProgress(int position) {
    m_gauge = position;
    m_view.setProgress(position);
}

void MyImThread::finishWith(ImportOutcome outcome, const std::string& message) {
    std::string text = message;
    const ImportChoices& choices = m_options.importChoices;
    if (choices.dryRun || !choices.rejectsPath.empty() || choices.offerRejects) {
        text = withImportChoices(outcome, message);
    }
    db::Connection& connection = m_queries.connection;
    if (connection.inOuterTransaction()) {
        m_stagingTablesLeft = false;
        try {
            connection.rollbackOuterTransaction();
        } catch (const std::exception& e) {
            outcome = ImportOutcome::Failed;
            text += std::string("\n试运行结束时无法撤销它所做的改变（") + e.what() +
                    "）；程序结束、与数据库的连接断开时，数据库会自行撤销它们。";
        }
    }
    m_result.outcome = outcome;
    m_result.message = text;
    const bool rowsToSave = std::any_of(m_result.rejectedRows.begin(), m_result.rejectedRows.end(),
                                        [](const RejectedRow& r) { return r.row > 0; });
    if (choices.offerRejects && rowsToSave) {
        m_view.showImportResult(
            text, [this, outcome](const std::string& path) { return writeRejects(outcome, path); });
    } else {
        m_view.showImportResult(text, {});
    }
}

void MyImThread::runImport() {
    m_state = ImportState{};
    m_stagingTablesLeft = true;
    m_result = ImportResult{};
    m_gauge = 0;
    m_view.setChoiceControlsEnabled(false);

    if (!readWorksheet() || !checkFormulaResults()) {
        return;
    }
    if (m_view.stopRequested()) {
        finishWith(ImportOutcome::Failed,
                   "数据导入已停止：" + m_view.stopReason() + "。\n数据库中的数据没有改变。");
        return;
    }
    if (!lockDatabase()) {
        return;
    }
    std::string stagingReason;
    if (!buildStagingTable(stagingReason)) {
        finishWith(ImportOutcome::Refused, stagingReason);
        return;
    }
    m_state.stagingColumns = readStagingColumns(m_queries.sqlQuery, m_options);
    if (m_state.headerNames.size() > m_state.stagingColumns.size()) {
        closeWith(ImportOutcome::Refused,
                  kTooManyColumnsMessage + headingLines(*m_session, m_state, m_options, true));
        return;
    }
    if (!matchHeaders()) {
        closeWith(ImportOutcome::Refused,
                  kHeadersMismatchMessage + headingLines(*m_session, m_state, m_options, false));
        return;
    }
    if (!m_state.repeatedHeading.empty()) {
        // Two worksheet columns would fill one column: every row would fail.
        closeWith(ImportOutcome::Refused,
                  "不能导入数据：标题“" + m_state.repeatedHeading +
                      "”与另一列对应到同一个字段，请检查工作表第2行的标题和字段对应文件" + key() +
                      ".ini，改正后再导入。");
        return;
    }

    std::string validation;
    try {
        validation = stageRows();
    } catch (const PassStopped& stopped) {
        const std::string where = stopped.row() > 0 ? "在第" + std::to_string(stopped.row()) + "行"
                                                    : std::string("在保存暂存数据时");
        closeWith(ImportOutcome::Failed,
                  "数据导入" + where + "中止：" + stopped.what() +
                      (stopped.cause() == PassStopped::Cause::User
                           ? "\n数据库中的数据没有改变。"
                           : "\n数据库中的数据没有改变，请排除问题后重新导入。"));
        return;
    }
    // Rows below the headings that are all empty leave no record: refused as
    // the pre-check refuses a workbook without one, naming the rows.
    if (!m_result.emptyRows.empty() &&
        m_result.emptyRows.size() == static_cast<std::size_t>(m_state.lastDataRow - 2)) {
        closeWith(ImportOutcome::Refused,
                  std::string(kTooFewRecordsMessage) + "\n" + emptyRowsText(m_result.emptyRows));
        return;
    }
    if (!isBlank(validation)) {
        closeWith(ImportOutcome::ValidationFailed, validation + detailLines(m_result.rowProblems));
        return;
    }
    m_result.mergeRan = true;
    try {
        std::vector<ImportedColumn> columns;
        for (std::size_t i = 0; i < m_state.matchedColumns.size(); ++i) {
            columns.push_back({m_state.matchedColumns[i], m_state.headerNames[i]});
        }
        m_result.merge = mergeStagedRows(m_queries, m_options, m_state.progressBase, m_view,
                                         columns, m_state.stagedKeys);
    } catch (const MergeStopped& stopped) {
        // The merge's text says where it stopped, why, and what was written;
        // the rows it refused and the repeated rows follow.
        m_result.merge = stopped.report();
        std::string text = stopped.what();
        if (!m_result.merge.refused.empty()) {
            text += "\n" + formatRefusedRows(m_result.merge);
        }
        closeWith(ImportOutcome::MergeStopped, text + repeatedRowLines(m_result.repeatedRows));
        return;
    }

    const std::string summary = closingSummary();
    const std::size_t left = m_result.merge.refused.size() + m_result.repeatedRows.size();
    if (left > 0) {
        closeWith(ImportOutcome::RowsFailed, "数据导入已结束，但有" + std::to_string(left) +
                                                 "行未能导入，请查看以下说明：\n" + summary);
        return;
    }
    if (closeWith(ImportOutcome::Succeeded, summary)) {
        m_view.clearPath();
    }
}

bool MyImThread::closeWith(ImportOutcome outcome, std::string message) {
    // The staging tables go before the closing message, so that it can say
    // when one of them could not be dropped; FinishImport tries again then.
    // A dry run's rollback takes them away with everything else.
    const std::string left =
        m_options.importChoices.dryRun ? std::string() : dropStagingTablesNow();
    m_stagingTablesLeft = !left.empty();
    if (outcome == ImportOutcome::Succeeded) {
        // The head says whether the clean-up finished too.
        message = std::string(left.empty() ? kSuccessMessage : "数据已导入，但清理没有完成。") +
                  "\n" + message;
        if (!left.empty()) {
            outcome = ImportOutcome::RowsFailed;
        }
    }
    if (!left.empty()) {
        message += "\n" + left;
    }
    finishWith(outcome, message);
    return outcome == ImportOutcome::Succeeded;
}

std::string MyImThread::dropStagingTablesNow() {
    db::Query& query = m_queries.sqlQuery;
    std::string left;
    std::string reason;
    for (const std::string& name : stagingTableNames(m_options.dataset)) {
        // A table that is absent is the usual case: the drop's failure counts
        // only when the table is still there afterwards.
        std::string failure;
        try {
            executePreamble(query, m_options.database);
            executeStatement(query, "drop table " + name);
        } catch (const std::exception& e) {
            failure = e.what();
        }
        try {
            executePreamble(query, m_options.database);
            openStatement(query, query.connection().dialect().tableColumnsLine(name));
            const bool stays = !query.eof();
            query.close();
            if (stays) {
                left += (left.empty() ? "" : "、") + name;
                reason = failure;
            }
        } catch (const std::exception& e) {
            return "无法确认暂存表" + name + "已经删除（" + e.what() +
                   "）；下次导入这个数据库时会自动删除它。";
        }
    }
    if (left.empty()) {
        return {};
    }
    return "暂存表" + left + "未能删除" + (reason.empty() ? "" : "（" + reason + "）") +
           "，留在了数据库" + m_options.database + "中；下次导入这个数据库时会自动删除。";
}

void MyImThread::finishImport() {
    // Clean up first, then give the window back: enabling the start button is
    // the last call this worker makes into the view, so no new transfer can
    // use SQLQuery while the staging tables are still being dropped.
    // The staging tables are this import's only while it holds the lock;
    // without it they may be another import's, and stay.
    if (m_importLock) {
        // After a dry run the staging tables are as they were before it: any
        // left by an earlier import stay, as every other table does.
        if (m_stagingTablesLeft && !m_options.importChoices.dryRun) {
            dropStagingTables(m_queries.sqlQuery, m_options);
        }
        m_importLock.reset();
    }
    m_transferSession.close();
    runCleanup("把数据写入数据库文件", [this] { m_queries.connection.settleFile(); });
    m_session.reset();  // the workbook, released by the session's destructor
    setProgress(0);
    m_view.setChoiceControlsEnabled(true);
}

// One import at a time per database: another one would drop and refill the
// staging tables under this one's feet.
bool MyImThread::lockDatabase() {
    executePreamble(m_queries.sqlQuery, m_options.database);
    try {
        m_importLock = m_queries.connection.lockForImport(m_options.database, kLockWaitSeconds);
    } catch (const db::DbError& e) {
        // The lock could not be taken at all (the file system refused it):
        // no other import is to blame, and the error says what to do.
        finishWith(ImportOutcome::Refused, std::string("不能导入数据：") + e.what());
        return false;
    }
    if (m_importLock) {
        // A dry run does everything from here on in one transaction, which
        // its end rolls back.
        if (m_options.importChoices.dryRun) {
            m_queries.connection.beginOuterTransaction();
        }
        // With the lock no other import runs here: what an earlier import
        // of any dataset left behind (the program was closed or killed) goes.
        // This dataset's tables go when its staging table is built.
        for (const datasets::Dataset& dataset : datasets::kDatasets) {
            if (&dataset != &m_options.dataset) {
                dropStagingTables(m_queries.sqlQuery, m_options.database, dataset);
            }
        }
        return true;
    }
    finishWith(ImportOutcome::Refused,
               "数据库" + m_options.database + "正在被另一个导入使用，请等那个导入结束后再导入。");
    return false;
}

// A staging table that cannot be built because a table or column is missing
// gives the usual "incomplete" message; a busy, read-only or full database
// says so.
bool MyImThread::buildStagingTable(std::string& reason) {
    std::string failure;
    db::DbFault fault = db::DbFault::Other;
    if (transfer::buildStagingTable(m_queries.sqlQuery, m_options, &failure, &fault)) {
        return true;
    }
    reason = db::isEnvironmentFault(fault)
                 ? "不能导入数据：无法在数据库" + m_options.database + "中建立暂存表。" + failure
                 : stagingFailedMessage(m_options);
    return false;
}

}  // namespace pos::transfer

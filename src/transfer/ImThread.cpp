// The import worker. Every statement of the worker goes through the borrowed
// SQLQuery, each after the database preamble; the workbook session lives from
// the thread body to the termination step; the view hears of every outcome.
#include "transfer/ImThread.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <filesystem>

#include "common/Text.h"
#include "datasets/FieldMap.h"
#include "transfer/Staging.h"
#include "workbook/SpreadsheetSession.h"

namespace pos::transfer {

namespace {

const char* const kEngineFailedMessage = "不能导入数据，EXCEL可能未正确安装！";
const char* const kTooManyColumnsMessage = "导入的数据字段多余数据库字段，请检查导入的Excel表字段";
const char* const kHeadersMismatchMessage = "不可以进行数据导入，请检查对应字段是否一致！";
const char* const kSuccessMessage = "数据导入成功！";

std::string stagingFailedMessage(const TransferOptions& options) {
    return "数据库" + options.database + "的" + options.datasetText +
           "相关设置表记录不全，请检查数据库！";
}

std::string rowList(const std::vector<int>& rows) {
    std::string list;
    for (int row : rows) {
        if (!list.empty()) {
            list += ",";
        }
        list += std::to_string(row);
    }
    return list;
}

bool isEmptyCell(const Value& value) {
    return value.isNull() || (value.type() == ValueType::Text && value.asText().empty());
}

// A cell as the statement receives it. A spreadsheet keeps every number as a
// double; a whole number goes on as an integer, so that a table number typed
// as 12 reaches a text column as "12" (the server's conversion), not "12.0".
// Every other value is handed over as the workbook holds it.
Value cellParameter(Value value) {
    if (value.type() == ValueType::Float) {
        const double d = value.asFloat();
        if (std::isfinite(d) && d == std::trunc(d) && std::fabs(d) < 9.0e15) {
            return Value::integer(static_cast<std::int64_t>(d));
        }
    }
    return value;
}

}  // namespace

bool ImportResult::everyRowInDatabase() const {
    return outcome == ImportOutcome::Succeeded && merge.refused.empty();
}

int importProgress(std::int32_t row, std::int32_t dataRowCount, int progressBase) {
    if (dataRowCount <= 0) {
        return progressBase;
    }
    const double percent = static_cast<double>(row - 2) / static_cast<double>(dataRowCount) * 100.0;
    return static_cast<int>(std::trunc(percent)) + progressBase;
}

std::string validationFailureText(const std::vector<int>& rows) {
    if (rows.empty()) {
        return {};
    }
    return "第" + rowList(rows) +
           "行数据无法插入,有可能这几行数据有空值，或者数据类型不正确，请检查后再导入！";
}

std::string insertionFailureText(const std::vector<int>& rows) {
    if (rows.empty()) {
        return {};
    }
    return "第" + rowList(rows) +
           "行数据插入失败,有可能主键信息重复，或者这几行数据有空值，或者数据类型不正确，"
           "请手动添加这几行数据！";
}

MyImThread::MyImThread(TransferQueries queries, TransferOptions options, TransferView& view)
    : m_queries(queries),
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
    return trimmed(m_options.datasetKey);
}

void MyImThread::setProgress(int position) {
    m_gauge = position;
    m_view.setProgress(position);
}

void MyImThread::finishWith(ImportOutcome outcome, const std::string& message) {
    m_result.outcome = outcome;
    m_result.message = message;
    m_view.showMessage(message);
}

void MyImThread::runImport() {
    m_state = ImportState{};
    m_result = ImportResult{};
    m_gauge = 0;
    m_view.setChoiceControlsEnabled(false);

    if (!readWorksheet()) {
        return;
    }
    if (!buildStagingTable()) {
        finishWith(ImportOutcome::Refused, stagingFailedMessage(m_options));
        return;
    }
    m_state.stagingColumns = readStagingColumns(m_queries.sqlQuery, m_options);
    if (m_state.headerNames.size() > m_state.stagingColumns.size()) {
        finishWith(ImportOutcome::Refused, kTooManyColumnsMessage);
        return;
    }
    if (!matchHeaders()) {
        finishWith(ImportOutcome::Refused, kHeadersMismatchMessage);
        return;
    }

    const std::string validation = validateRows();
    if (!isBlank(validation)) {
        finishWith(ImportOutcome::ValidationFailed, validation);
        return;
    }
    const std::string insertion = insertRows();

    m_result.mergeRan = true;
    try {
        m_result.merge = mergeStagedRows(m_queries, m_options, m_state.progressBase, m_view);
    } catch (const MergeStopped& stopped) {
        // The merge's text says where it stopped, why, and that the rows before
        // the stop were written; the staging tables still go in FinishImport.
        m_result.merge = stopped.report();
        finishWith(ImportOutcome::MergeStopped, stopped.what());
        return;
    }

    const std::string summary = formatMergeSummary(m_result.merge);
    if (!isBlank(insertion)) {
        finishWith(ImportOutcome::RowsFailed, insertion + "\n" + summary);
        return;
    }
    finishWith(ImportOutcome::Succeeded, std::string(kSuccessMessage) + "\n" + summary);
    m_view.clearPath();
}

void MyImThread::finishImport() {
    // Clean up first, then give the window back: enabling the start button is
    // the last call this worker makes into the view, so no new transfer can
    // use SQLQuery while the staging tables are still being dropped.
    dropStagingTables(m_queries.sqlQuery, m_options);
    if (m_session) {
        try {
            m_session->closeWorkbooks();
            m_session->quitExcel();
        } catch (...) {
        }
        m_session->releaseExcel();
    }
    setProgress(0);
    m_view.setChoiceControlsEnabled(true);
}

bool MyImThread::readWorksheet() {
    const std::string k = key();
    m_session = std::make_unique<workbook::SpreadsheetSession>();
    workbook::SpreadsheetSession& session = *m_session;
    try {
        session.startExcel();
        session.openWorkbook(trimmed(m_options.path));
        session.nameFirstSheet(k);
        session.sheetByName(k);
        session.wrapAllCells();
        session.hideExcel();
        m_state.dataRowCount = session.usedRowCount(k) - 1;
        m_state.columnCount = session.usedColumnCount(k);
        m_state.headerNames.assign(static_cast<std::size_t>(std::max(m_state.columnCount, 0)), {});
        m_state.matchedColumns.assign(m_state.headerNames.size(), {});
        for (int c = 1; c <= m_state.columnCount; ++c) {
            m_state.headerNames[static_cast<std::size_t>(c - 1)] =
                trimmed(session.readCell(2, c).toText());
        }
        // Rows 3 up to the last row that holds a value. Counting from the used
        // range's size alone reads one row past the data when the used range
        // begins in row 1; a trailing row without any value (only formatted)
        // is no record either.
        std::int32_t last = std::max(m_state.dataRowCount + 2, 2);
        const auto rowIsEmpty = [&](std::int32_t row) {
            for (int c = 1; c <= m_state.columnCount; ++c) {
                if (!isEmptyCell(session.readCell(row, c))) {
                    return false;
                }
            }
            return true;
        };
        while (last >= 3 && rowIsEmpty(last)) {
            --last;
        }
        m_state.lastDataRow = last;
    } catch (const std::exception& e) {
        session.quitExcel();
        session.releaseExcel();
        finishWith(ImportOutcome::Refused, std::string(kEngineFailedMessage) + "\n" + e.what());
        return false;
    }
    return true;
}

bool MyImThread::buildStagingTable() {
    return transfer::buildStagingTable(m_queries.sqlQuery, m_options);
}

bool MyImThread::matchHeaders() {
    const std::string path = datasets::fieldMapPath(m_options.fieldMapDir, key());
    std::optional<std::vector<std::string>> matched;
    std::error_code ec;
    if (std::filesystem::exists(path, ec)) {
        const datasets::FieldMap map = datasets::readFieldMap(path);
        matched = matchHeaderNames(m_state.headerNames, m_state.stagingColumns, &map);
    } else {
        matched = matchHeaderNames(m_state.headerNames, m_state.stagingColumns, nullptr);
    }
    if (!matched) {
        return false;
    }
    m_state.matchedColumns = std::move(*matched);
    return true;
}

std::string MyImThread::validateRows() {
    m_result.failedRows = passRows(false);
    return validationFailureText(m_result.failedRows);
}

std::string MyImThread::insertRows() {
    m_result.failedRows = passRows(true);
    return insertionFailureText(m_result.failedRows);
}

std::vector<int> MyImThread::passRows(bool insert) {
    db::Query& query = m_queries.sqlQuery;
    db::Connection& connection = m_queries.connection;
    const db::Dialect& dialect = connection.dialect();
    const workbook::SpreadsheetSession& session = *m_session;

    const std::string identity = findIdentityColumn(query, m_options);
    const StagingInsert statement = buildStagingInsert(key(), m_state.matchedColumns, identity);

    // Each row is undone alone when it fails, and in the validation pass
    // always: the row is really inserted, so that the database judges its
    // types and required values, and then rolled back. Where the database
    // allows it the rows share one transaction with a savepoint each, which
    // spares a commit per row; elsewhere every row has its own transaction.
    const std::string savepoint = "staged_row";
    const std::string setSavepoint = dialect.savepointLine(savepoint);
    const bool sharedTransaction = !setSavepoint.empty();
    const std::string undoRow = dialect.rollbackToSavepointLine(savepoint);
    const std::string forgetSavepoint = dialect.releaseSavepointLine(savepoint);

    std::vector<int> failed;
    std::vector<int> staged;
    const std::int32_t rowCount = m_state.lastDataRow - 2;
    if (sharedTransaction) {
        connection.beginTransaction();
    }
    try {
        for (std::int32_t row = 3; row <= m_state.lastDataRow; ++row) {
            setProgress(importProgress(row, rowCount, m_state.progressBase));
            executePreamble(query, m_options.database);
            if (sharedTransaction) {
                // Several statements in one batch, each ended by ";".
                query.addLine(setSavepoint);
                query.addLine(statement.statement + ";");
                query.addLine(insert ? forgetSavepoint : undoRow);
                if (!insert) {
                    query.addLine(forgetSavepoint);
                }
            } else {
                query.addLine(statement.statement);
            }
            try {
                if (!sharedTransaction) {
                    connection.beginTransaction();
                }
                for (int c = 1; c <= m_state.columnCount; ++c) {
                    if (c == statement.skippedColumn) {
                        continue;
                    }
                    query.setParameter(m_state.matchedColumns[static_cast<std::size_t>(c - 1)],
                                       cellParameter(session.readCell(row, c)));
                }
                query.execute();
                if (!sharedTransaction) {
                    if (insert) {
                        connection.commit();
                    } else {
                        connection.rollback();
                    }
                }
                staged.push_back(row);
            } catch (const std::exception&) {
                if (sharedTransaction) {
                    // A failure here leaves the transaction in an unknown
                    // state: it ends the pass through the handler below.
                    query.close();
                    query.clearLines();
                    query.addLine(undoRow);
                    query.addLine(forgetSavepoint);
                    query.execute();
                } else {
                    try {
                        connection.rollback();
                    } catch (...) {
                    }
                }
                failed.push_back(row);
            }
        }
        if (sharedTransaction) {
            if (insert) {
                try {
                    connection.commit();
                } catch (const std::exception&) {
                    // Nothing of the pass was kept: every row failed.
                    try {
                        connection.rollback();
                    } catch (...) {
                    }
                    failed.insert(failed.end(), staged.begin(), staged.end());
                    std::sort(failed.begin(), failed.end());
                }
            } else {
                connection.rollback();
            }
        }
    } catch (...) {
        if (sharedTransaction) {
            try {
                connection.rollback();
            } catch (...) {
            }
        }
        throw;
    }
    m_state.progressBase = m_gauge;
    return failed;
}

}  // namespace pos::transfer

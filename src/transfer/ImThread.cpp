// The import worker. Every statement of the worker goes through the borrowed
// SQLQuery, each after the database preamble; the workbook session lives from
// the thread body to the termination step; the view hears of every outcome.
#include "transfer/ImThread.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "common/Cleanup.h"
#include "common/Files.h"
#include "common/Text.h"
#include "datasets/Datasets.h"
#include "datasets/FieldMap.h"
#include "db/DbError.h"
#include "transfer/HeadingCheck.h"
#include "transfer/ImportPrecheck.h"
#include "transfer/RowTransaction.h"
#include "transfer/Staging.h"
#include "workbook/SpreadsheetSession.h"
#include "workbook/WorkbookError.h"

namespace pos::transfer {

namespace {

const char* const kEngineFailedMessage = "不能导入数据，EXCEL可能未正确安装！";
const char* const kTooManyColumnsMessage = "导入的数据字段多余数据库字段，请检查导入的Excel表字段";
const char* const kHeadersMismatchMessage = "不可以进行数据导入，请检查对应字段是否一致！";
const char* const kSuccessMessage = "数据导入成功！";
// How long an import waits for another import of the same database to end.
constexpr int kLockWaitSeconds = 5;

std::string stagingFailedMessage(const TransferOptions& options) {
    return "数据库" + options.database + "的" + options.datasetText +
           "相关设置表记录不全，请检查数据库！";
}

// The first rows of a list, then how many there are in all.
std::string rowList(const std::vector<int>& rows) {
    std::string list;
    for (std::size_t i = 0; i < rows.size() && i < kListedRows; ++i) {
        if (!list.empty()) {
            list += ",";
        }
        list += std::to_string(rows[i]);
    }
    if (rows.size() > kListedRows) {
        list += "等，共" + std::to_string(rows.size());
    }
    return list;
}

// A text of nothing but blanks: spaces, tabs, line breaks and the ideographic
// space that Chinese input methods type.
bool isBlankText(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        if (static_cast<unsigned char>(text[i]) <= ' ') {
            ++i;
        } else if (text.compare(i, 3, "\xE3\x80\x80") == 0) {
            i += 3;
        } else {
            return false;
        }
    }
    return true;
}

bool isEmptyCell(const Value& value) {
    return value.isNull() || (value.type() == ValueType::Text && isBlankText(value.asText()));
}

// A cell as the statement receives it. A spreadsheet keeps every number as a
// double; a whole number goes on as an integer, so that a table number typed
// as 12 reaches a text column as "12" (the server's conversion), not "12.0".
// A cell of blanks is empty, in every column: no value, so that a column
// that needs one refuses it as it refuses an empty cell (an empty price is 0,
// an empty name is refused), and no name of blanks is stored, which the next
// export would show as an empty cell that its import refuses. A text column
// takes a boolean or a date as the spreadsheet shows it. Every other value is
// handed over as the workbook holds it.
Value cellParameter(Value value, bool textColumn) {
    switch (value.type()) {
        case ValueType::Float: {
            const double d = value.asFloat();
            if (std::isfinite(d) && d == std::trunc(d) && std::fabs(d) < 9.0e15) {
                return Value::integer(static_cast<std::int64_t>(d));
            }
            break;
        }
        case ValueType::Text:
            if (isBlankText(value.asText())) {
                return Value();
            }
            break;
        case ValueType::Boolean:
            if (textColumn) {
                return Value::text(value.asBoolean() ? "TRUE" : "FALSE");
            }
            break;
        case ValueType::DateTime:
            if (textColumn) {
                return Value::text(value.toText());
            }
            break;
        default:
            break;
    }
    return value;
}

// A number key by its value: "012", " 12", "12.0" and 12 are one key, and
// 12.5 is not 12. Nothing when the cell holds no plain decimal number (a
// table number "A01"), which the key column cannot hold.
std::optional<std::string> numberKey(const Value& value) {
    if (value.type() == ValueType::Integer) {
        return std::to_string(value.asInteger());
    }
    double number = 0;
    if (value.type() == ValueType::Float) {
        number = value.asFloat();
    } else if (value.type() == ValueType::Text || value.type() == ValueType::Decimal) {
        const std::string text =
            trimmed(value.type() == ValueType::Text ? value.asText() : value.asDecimalDigits());
        if (text.empty() || text.find_first_not_of("0123456789+-.eE") != std::string::npos) {
            return std::nullopt;
        }
        char* end = nullptr;
        errno = 0;
        const long long whole = std::strtoll(text.c_str(), &end, 10);
        if (errno == 0 && *end == '\0') {
            return std::to_string(whole);
        }
        number = std::strtod(text.c_str(), &end);
        if (*end != '\0') {
            return std::nullopt;
        }
    } else {
        return std::nullopt;
    }
    if (!std::isfinite(number)) {
        return std::nullopt;
    }
    if (number == std::trunc(number) && std::fabs(number) < 9.0e15) {
        return std::to_string(static_cast<std::int64_t>(number));
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", number);
    return std::string(text);
}

// How two keys compare, as the key column compares them: a number column by
// value, a text column with trailing blanks and ASCII letter case ignored, as
// the server's default collation and the store's name collation do. Empty
// when the cell is empty.
std::string keyPart(const Value& value, datasets::KeyKind kind) {
    if (isEmptyCell(value)) {
        return {};
    }
    if (kind == datasets::KeyKind::Number) {
        if (std::optional<std::string> number = numberKey(value)) {
            return *number;
        }
    }
    std::string text = value.toText();
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return asciiLower(text);
}

// Whether a database message names the staging column: "TEMPMenu.Price1",
// 'Price1' or "Price1".
bool mentionsColumn(const std::string& reason, const std::string& column) {
    const std::string text = asciiLower(reason);
    const std::string name = asciiLower(column);
    const auto isNameChar = [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
    };
    for (std::size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + 1)) {
        const std::size_t end = at + name.size();
        if (at == 0 || (end < text.size() && isNameChar(text[end]))) {
            continue;
        }
        const char before = text[at - 1];
        if (before == '.' || before == '\'' || before == '"') {
            return true;
        }
    }
    return false;
}

// A text cell that a number column cannot take: neither a whole number nor a
// decimal.
bool isNoNumber(const Value& value) {
    if (value.type() != ValueType::Text) {
        return false;
    }
    try {
        value.toInteger();
        return false;
    } catch (const std::exception&) {
    }
    const std::string text = trimmed(value.asText());
    char* end = nullptr;
    std::strtod(text.c_str(), &end);
    return end == nullptr || *end != '\0';
}

std::string repeatedRowLines(const std::vector<RepeatedRow>& rows) {
    if (rows.empty()) {
        return {};
    }
    std::string text = "\n" + std::to_string(rows.size()) + "行与本文件中前面的行重复，未导入：";
    for (std::size_t i = 0; i < rows.size() && i < kListedRows; ++i) {
        const RepeatedRow& r = rows[i];
        text += "\n第" + std::to_string(r.row) + "行：" + r.key + "在本文件中重复（与第" +
                std::to_string(r.firstRow) + "行相同）";
    }
    return text + moreRowsNote(rows.size());
}

std::string detailLines(const std::vector<RowProblem>& problems) {
    std::string text;
    for (std::size_t i = 0; i < problems.size() && i < kListedRows; ++i) {
        const RowProblem& p = problems[i];
        text += "\n第" + std::to_string(p.row) + "行" + (p.heading.empty() ? "：" : "") + p.text();
    }
    return text + moreRowsNote(problems.size());
}

// A staging pass that cannot go on: the user asked it to stop, the database
// failed in a way that every further row would meet (busy, full, read-only),
// or it ended the pass's transaction by itself. Row 0: the pass's closing
// commit.
class PassStopped : public std::runtime_error {
public:
    enum class Cause { User, Database };
    PassStopped(int row, Cause cause, const std::string& reason)
        : std::runtime_error(reason), m_row(row), m_cause(cause) {}
    int row() const { return m_row; }
    Cause cause() const { return m_cause; }

private:
    int m_row;
    Cause m_cause;
};

// Stages one worksheet row: nothing when the database accepts it, its
// refusal when it refuses the row, which is then undone alone. A fault that
// every further row would meet, or the end of the pass's transaction, stops
// the pass.
std::optional<Refusal> stageRow(RowTransaction& transaction, db::Query& query,
                                const std::string& statement, const db::Parameters& params,
                                RowEnd end, int row) {
    try {
        transaction.runRow(query, statement, params, end);
        return std::nullopt;
    } catch (const RowNotUndone& e) {
        if (transaction.lost().empty()) {
            // The row could not be undone: the transaction is in an unknown
            // state, and the import ends.
            throw;
        }
        throw PassStopped(row, PassStopped::Cause::Database, e.what());
    } catch (const db::DbError& e) {
        // A busy, full or read-only database fails every row alike: the
        // pass stops, and no row is blamed for it.
        if (db::isEnvironmentFault(e.fault())) {
            throw PassStopped(row, PassStopped::Cause::Database, e.what());
        }
        return Refusal{e.what(), e.fault()};
    } catch (const std::exception& e) {
        return Refusal{e.what(), db::DbFault::Other};
    }
}

// Whether the passes read the worksheet's rows, so that it is known which of
// them reached the database.
bool rowsWereRead(ImportOutcome outcome) {
    return outcome == ImportOutcome::ValidationFailed || outcome == ImportOutcome::RowsFailed ||
           outcome == ImportOutcome::Succeeded;
}

// The lines that name what is wrong with the headings, after the refusal's
// first line; none when the field map cannot be read (the first line stands
// alone then, as it always did).
std::string headingLines(const workbook::SpreadsheetSession& session, const ImportState& state,
                         const TransferOptions& options, bool tooManyColumns) {
    try {
        HeadingFacts facts;
        facts.datasetKey = trimmed(options.datasetKey);
        facts.headings = state.headerNames;
        for (std::size_t c = 1; c <= facts.headings.size(); ++c) {
            facts.firstRow.push_back(trimmed(session.readCell(1, static_cast<int>(c)).toText()));
        }
        facts.stagingColumns = state.stagingColumns;
        facts.fieldMapDir = options.fieldMapDir;
        facts.datasetOption = options.importChoices.datasetOption;
        datasets::FieldMap map;
        const std::string path = datasets::fieldMapPath(options.fieldMapDir, facts.datasetKey);
        if (regularFileExists(path)) {
            map = datasets::readFieldMap(path);
            facts.fieldMap = &map;
        }
        return tooManyColumns ? tooManyColumnsLines(facts) : headingMismatchLines(facts);
    } catch (const std::exception&) {
        return {};
    }
}

// A cell as a spreadsheet program shows it, for the rejects workbook.
std::string shownText(const Value& value) {
    if (value.type() == ValueType::Boolean) {
        return value.asBoolean() ? "TRUE" : "FALSE";
    }
    return value.toText();
}

}  // namespace

std::string RowProblem::text() const {
    if (heading.empty()) {
        return reason;
    }
    if (emptyCell) {
        return "“" + heading + "”列为空，请填写后再导入";
    }
    return "“" + heading + "”列" + (readsOn ? "" : "：") + reason;
}

bool ImportResult::everyRowInDatabase() const {
    return outcome == ImportOutcome::Succeeded && merge.refused.empty() && repeatedRows.empty();
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

std::string emptyRowsText(const std::vector<int>& rows) {
    if (rows.empty()) {
        return {};
    }
    std::string list;
    for (std::size_t i = 0; i < rows.size() && i < kListedRows; ++i) {
        list += (list.empty() ? "" : "、") + std::to_string(rows[i]);
    }
    if (rows.size() > kListedRows) {
        list += "等，共" + std::to_string(rows.size());
    }
    return "第" + list + "行为空行，已跳过。";
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
    std::string insertion;
    try {
        validation = validateRows();
        if (isBlank(validation)) {
            insertion = insertRows();
        }
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
    if (!isBlank(insertion)) {
        insertion += detailLines(m_result.rowProblems);
    }

    m_result.mergeRan = true;
    try {
        std::vector<ImportedColumn> columns;
        for (std::size_t i = 0; i < m_state.matchedColumns.size(); ++i) {
            columns.push_back({m_state.matchedColumns[i], m_state.headerNames[i]});
        }
        m_result.merge =
            mergeStagedRows(m_queries, m_options, m_state.progressBase, m_view, columns);
    } catch (const MergeStopped& stopped) {
        // The merge's text says where it stopped, why, and what was written;
        // the rows that never reached the merge follow.
        m_result.merge = stopped.report();
        std::string text = stopped.what();
        if (!isBlank(insertion)) {
            text += "\n" + insertion;
        }
        if (!m_result.merge.refused.empty()) {
            text += "\n" + formatRefusedRows(m_result.merge);
        }
        closeWith(ImportOutcome::MergeStopped, text + repeatedRowLines(m_result.repeatedRows));
        return;
    }

    const std::string summary = closingSummary();
    if (!isBlank(insertion)) {
        closeWith(ImportOutcome::RowsFailed, insertion + "\n" + summary);
        return;
    }
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
    for (const std::string& name : stagingTableNames(m_options.datasetKey)) {
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

std::string MyImThread::closingSummary() const {
    std::string text = formatMergeSummary(m_result.merge) + repeatedRowLines(m_result.repeatedRows);
    if (!m_result.emptyRows.empty()) {
        text += "\n" + emptyRowsText(m_result.emptyRows);
    }
    const std::string warnings = formatMergeWarnings(m_result.merge);
    if (!warnings.empty()) {
        text += "\n" + warnings;
    }
    return text;
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
    runCleanup("把数据写入数据库文件", [this] { m_queries.connection.settleFile(); });
    if (m_session) {
        runCleanup("关闭工作簿", [this] {
            m_session->closeWorkbooks();
            m_session->quitExcel();
        });
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
        // The reasons a rejects workbook gives are no column of the dataset:
        // a fixed rejects workbook imports as it stands.
        if (m_state.columnCount > 0 && m_state.headerNames.back() == kRejectReasonHeading) {
            --m_state.columnCount;
            m_state.headerNames.pop_back();
            m_state.matchedColumns.pop_back();
        }
        // Rows 3 up to the last row that holds a value. Counting from the used
        // range's size alone reads one row past the data when the used range
        // begins in row 1; a trailing row without any value (only formatted)
        // is no record either, and no row the user would call skipped. A
        // trailing row of blanks is read, so that the passes name it as an
        // empty row.
        std::int32_t last = std::max(m_state.dataRowCount + 2, 2);
        const auto rowIsEmpty = [&](std::int32_t row) {
            for (int c = 1; c <= m_state.columnCount; ++c) {
                if (!session.readCell(row, c).isNull()) {
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
        // A file that is no workbook, or a damaged one, is named by the
        // engine's reason; the usual text stays for any other failure.
        finishWith(ImportOutcome::Refused,
                   dynamic_cast<const workbook::WorkbookError*>(&e) != nullptr
                       ? std::string(e.what())
                       : std::string(kEngineFailedMessage) + "\n" + e.what());
        return false;
    }
    return true;
}

// A formula whose result the file does not hold has no value to import, and
// guessing one (0, or empty) would store a wrong price. The workbook is
// refused before anything is stored, naming each such cell.
bool MyImThread::checkFormulaResults() {
    std::vector<std::string> cells;
    for (const auto& [row, column] : m_session->cellsWithoutResult()) {
        if (row < 2 || column > m_state.columnCount) {
            continue;
        }
        const std::string& heading = m_state.headerNames[static_cast<std::size_t>(column - 1)];
        if (row == 2 || heading.empty()) {
            cells.push_back("第" + std::to_string(row) + "行第" + columnLetters(column) + "列");
        } else {
            cells.push_back("第" + std::to_string(row) + "行“" + heading + "”列");
        }
    }
    if (cells.empty()) {
        return true;
    }
    std::string list;
    for (std::size_t i = 0; i < cells.size() && i < kListedRows; ++i) {
        list += (list.empty() ? "" : "、") + cells[i];
    }
    if (cells.size() > kListedRows) {
        list += "等";
    }
    finishWith(
        ImportOutcome::Refused,
        "不能导入数据：工作簿中有" + std::to_string(cells.size()) +
            "个公式单元格没有保存计算结果，无法得知它们的值：" + list +
            "。\n请用电子表格程序打开这个文件并保存一次，使公式的结果存入文件，然后重新导入。");
    return false;
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
            if (equalsIgnoreCase(dataset.key, key())) {
                continue;
            }
            TransferOptions other = m_options;
            other.datasetKey = dataset.key;
            dropStagingTables(m_queries.sqlQuery, other);
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

bool MyImThread::matchHeaders() {
    const std::string path = datasets::fieldMapPath(m_options.fieldMapDir, key());
    std::optional<std::vector<std::string>> matched;
    if (regularFileExists(path)) {
        const datasets::FieldMap map = datasets::readFieldMap(path);
        matched = matchHeaderNames(m_state.headerNames, m_state.stagingColumns, &map);
        m_state.repeatedHeading = repeatedHeading(m_state.headerNames, map);
    } else {
        matched = matchHeaderNames(m_state.headerNames, m_state.stagingColumns, nullptr);
        m_state.repeatedHeading = repeatedHeading(m_state.headerNames, datasets::FieldMap{});
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
    const workbook::SpreadsheetSession& session = *m_session;

    const std::string identity = findIdentityColumn(query, m_options);
    const StagingInsert statement = buildStagingInsert(key(), m_state.matchedColumns, identity);
    const RowShape shape = rowShape(statement.skippedColumn);
    m_state.skippedColumn = statement.skippedColumn;

    // Each row is undone alone when it fails, and in the validation pass
    // always: the row is really inserted, so that the database judges its
    // types and required values, and then undone.
    RowTransaction transaction(m_queries.connection, "staged_row");
    const RowEnd end = insert ? RowEnd::Kept : RowEnd::Undone;

    std::vector<int> failed;
    std::vector<RowProblem> problems;
    std::vector<RepeatedRow> repeated;
    std::vector<int> empty;
    // The key of each staged record, and the row that staged it: a later row
    // with the same key would be taken for a record already in the database.
    // Held as a hash per row, the key read again from the earlier row on a
    // match, so that a million rows cost little memory.
    std::vector<Value> cells(static_cast<std::size_t>(m_state.columnCount));
    std::unordered_multimap<std::size_t, int> stagedKeys;
    const auto stagedRowWithKey = [&](const std::string& recordKey) {
        const auto [from, to] = stagedKeys.equal_range(std::hash<std::string>{}(recordKey));
        for (auto it = from; it != to; ++it) {
            std::vector<Value> earlier(cells.size());
            for (std::size_t i : shape.keyColumns) {
                earlier[i] = cellParameter(session.readCell(it->second, static_cast<int>(i) + 1),
                                           shape.textColumn[i]);
            }
            if (shape.recordKey(earlier) == recordKey) {
                return it->second;
            }
        }
        return 0;
    };
    const std::int32_t rowCount = m_state.lastDataRow - 2;
    transaction.beginAtOnce();
    for (std::int32_t row = 3; row <= m_state.lastDataRow; ++row) {
        if (m_view.stopRequested()) {
            throw PassStopped(row, PassStopped::Cause::User, m_view.stopReason());
        }
        setProgress(importProgress(row, rowCount, m_state.progressBase));
        db::Parameters params;
        bool rowIsEmpty = true;
        for (int c = 1; c <= m_state.columnCount; ++c) {
            if (c != statement.skippedColumn) {
                const auto i = static_cast<std::size_t>(c - 1);
                cells[i] = cellParameter(session.readCell(row, c), shape.textColumn[i]);
                params.emplace_back(m_state.matchedColumns[i], cells[i]);
                rowIsEmpty = rowIsEmpty && cells[i].isNull();
            }
        }
        // A row with nothing to import is no record: staging it would only
        // be refused for its first required column.
        if (rowIsEmpty) {
            empty.push_back(row);
            continue;
        }
        const std::string recordKey = insert ? shape.recordKey(cells) : std::string();
        const int earlier = recordKey.empty() ? 0 : stagedRowWithKey(recordKey);
        if (earlier > 0) {
            repeated.push_back({row, earlier, shape.describeKey(cells)});
            continue;
        }
        executePreamble(query, m_options.database);
        const std::optional<Refusal> refusal =
            stageRow(transaction, query, statement.statement, params, end, row);
        if (refusal) {
            failed.push_back(row);
            problems.push_back(shape.describeFailure(row, cells, *refusal));
        } else if (!recordKey.empty()) {
            stagedKeys.emplace(std::hash<std::string>{}(recordKey), row);
        }
    }
    if (insert) {
        try {
            transaction.commit();
        } catch (const std::exception& e) {
            // Nothing of the pass was kept.
            throw PassStopped(0, PassStopped::Cause::Database, e.what());
        }
    } else {
        transaction.undoAll();
    }
    m_state.progressBase = m_gauge;
    m_result.rowProblems = std::move(problems);
    m_result.repeatedRows = std::move(repeated);
    m_result.emptyRows = std::move(empty);
    return failed;
}

MyImThread::RowShape MyImThread::rowShape(int skippedColumn) const {
    RowShape shape;
    const datasets::Dataset* dataset = datasets::findDataset(key());
    const std::vector<std::string>& matched = m_state.matchedColumns;
    shape.matchedColumns = &matched;
    shape.headerNames = &m_state.headerNames;
    shape.skippedColumn = skippedColumn;
    shape.textColumn.resize(matched.size());
    for (std::size_t i = 0; i < matched.size(); ++i) {
        shape.textColumn[i] = dataset != nullptr && datasets::isTextColumn(*dataset, matched[i]);
    }
    if (dataset == nullptr) {
        return shape;
    }
    shape.keyName = dataset->keyName;
    for (const datasets::KeyColumn& key : datasets::keyColumns(*dataset)) {
        const auto at = std::find_if(matched.begin(), matched.end(), [&](const std::string& m) {
            return equalsIgnoreCase(m, key.column);
        });
        const int c = static_cast<int>(at - matched.begin()) + 1;
        if (at == matched.end() || c == skippedColumn) {
            // A key not wholly in the worksheet cannot repeat in it.
            shape.keyColumns.clear();
            shape.keyKinds.clear();
            shape.keyHeadings.clear();
            break;
        }
        shape.keyColumns.push_back(static_cast<std::size_t>(c - 1));
        shape.keyKinds.push_back(key.kind);
        shape.keyHeadings.push_back(key.heading);
    }
    return shape;
}

std::string MyImThread::RowShape::recordKey(const std::vector<Value>& cells) const {
    std::string key;
    for (std::size_t k = 0; k < keyColumns.size(); ++k) {
        const std::string part = keyPart(cells[keyColumns[k]], keyKinds[k]);
        if (part.empty()) {
            return {};
        }
        key += part;
        key += '\0';
    }
    return key;
}

std::string MyImThread::RowShape::describeKey(const std::vector<Value>& cells) const {
    // The last key column names the row; the others, each under its default
    // heading, name what it lies within (an annotation within its type).
    std::string text = std::string(keyName) + "“" + cells[keyColumns.back()].toText() + "”";
    for (std::size_t k = 0; k + 1 < keyColumns.size(); ++k) {
        text += std::string("（") + keyHeadings[k] + "“" + cells[keyColumns[k]].toText() + "”）";
    }
    return text;
}

// The column at fault is the one the database names, which is empty when
// the database misses a value there; else a number column whose cell holds a
// text that is no number. Such a cell is named with what the column wants,
// the database's words after it.
RowProblem MyImThread::RowShape::describeFailure(int row, const std::vector<Value>& cells,
                                                 const Refusal& refusal) const {
    const std::vector<std::string>& matched = *matchedColumns;
    const std::string& reason = refusal.reason;
    const auto problemAt = [&](std::size_t i) {
        if (!textColumn[i] && isNoNumber(cells[i])) {
            return RowProblem{
                row, (*headerNames)[i],
                "应为数字，“" + cells[i].asText() + "”不是数字，请只填写数字（" + reason + "）",
                false, true};
        }
        const bool empty = refusal.fault == db::DbFault::MissingValue && cells[i].isNull();
        return RowProblem{row, (*headerNames)[i], reason, empty};
    };
    for (std::size_t i = 0; i < matched.size(); ++i) {
        if (static_cast<int>(i) + 1 != skippedColumn && mentionsColumn(reason, matched[i])) {
            return problemAt(i);
        }
    }
    for (std::size_t i = 0; i < matched.size(); ++i) {
        if (static_cast<int>(i) + 1 != skippedColumn && !textColumn[i] && isNoNumber(cells[i])) {
            return problemAt(i);
        }
    }
    return {row, {}, reason};
}

std::string MyImThread::withImportChoices(ImportOutcome outcome, const std::string& message) {
    std::string text = message;
    try {
        if (rowsWereRead(outcome)) {
            m_result.rejectedRows = rejectedRows(outcome);
        }
        if (m_options.importChoices.dryRun) {
            text = dryRunReport(outcome, message);
        }
        if (!m_options.importChoices.rejectsPath.empty()) {
            text += "\n" + writeRejects(outcome, m_options.importChoices.rejectsPath);
        }
    } catch (const std::exception& e) {
        text += std::string("\n无法列出未导入的行（") + e.what() + "）。";
    }
    return text;
}

// The rows not imported with their reasons: the rows a pass refused, the rows
// that repeat a key of the workbook, and the rows the merge refused, found
// again by their key. When the validation pass refused rows, nothing was
// imported: every row is listed, the ones without a fault of their own too,
// so that the fixed rows can be imported together.
std::vector<RejectedRow> MyImThread::rejectedRows(ImportOutcome outcome) const {
    const workbook::SpreadsheetSession& session = *m_session;
    const RowShape shape = rowShape(m_state.skippedColumn);
    std::vector<Value> cells(static_cast<std::size_t>(m_state.columnCount));
    // Reads the key cells of a row into `cells`, as the passes read them.
    const auto readKey = [&](int row) {
        for (std::size_t i : shape.keyColumns) {
            cells[i] =
                cellParameter(session.readCell(row, static_cast<int>(i) + 1), shape.textColumn[i]);
        }
    };
    const auto keyOf = [&](int row) {
        if (shape.keyColumns.empty()) {
            return std::string();
        }
        readKey(row);
        return shape.describeKey(cells);
    };

    const auto isEmptyRow = [this](int row) {
        return std::binary_search(m_result.emptyRows.begin(), m_result.emptyRows.end(), row);
    };
    std::map<int, RejectedRow> rows;
    for (const RowProblem& p : m_result.rowProblems) {
        rows[p.row] = {p.row, keyOf(p.row), p.text()};
    }
    if (outcome == ImportOutcome::ValidationFailed) {
        for (int row = 3; row <= m_state.lastDataRow; ++row) {
            if (rows.count(row) == 0 && !isEmptyRow(row)) {
                rows[row] = {
                    row, keyOf(row),
                    "本文件中有其他行未通过检查，整个文件都没有导入（这一行没有发现问题）"};
            }
        }
    }
    for (const RepeatedRow& r : m_result.repeatedRows) {
        rows[r.row] = {r.row, r.key,
                       "在本文件中重复（与第" + std::to_string(r.firstRow) + "行相同），未导入"};
    }

    // The merge names a refused row by its key; the worksheet row with that
    // key is the one staged (a later one with the same key is a repeat).
    std::vector<RejectedRow> unmatched;
    const std::vector<RefusedRow>& refused = m_result.merge.refused;
    if (!refused.empty() && !shape.keyColumns.empty()) {
        std::unordered_map<std::string, std::size_t> byKey;
        for (std::size_t k = 0; k < refused.size(); ++k) {
            std::vector<Value> key(cells.size());
            key[shape.keyColumns.back()] = Value::text(refused[k].key);
            if (shape.keyColumns.size() == 2) {
                key[shape.keyColumns.front()] = Value::text(refused[k].annotateType);
            }
            byKey.emplace(shape.recordKey(key), k);
        }
        std::vector<bool> found(refused.size());
        for (int row = 3; row <= m_state.lastDataRow; ++row) {
            if (rows.count(row) > 0 || isEmptyRow(row)) {
                continue;
            }
            readKey(row);
            const auto at = byKey.find(shape.recordKey(cells));
            if (at != byKey.end() && !found[at->second]) {
                found[at->second] = true;
                rows[row] = {row, shape.describeKey(cells), refused[at->second].reason};
            }
        }
        for (std::size_t k = 0; k < refused.size(); ++k) {
            if (!found[k]) {
                unmatched.push_back(
                    {0, refused[k].keyName + "“" + refused[k].key + "”", refused[k].reason});
            }
        }
    } else {
        for (const RefusedRow& r : refused) {
            unmatched.push_back({0, r.keyName + "“" + r.key + "”", r.reason});
        }
    }

    std::vector<RejectedRow> list;
    list.reserve(rows.size() + unmatched.size());
    for (auto& [row, rejected] : rows) {
        list.push_back(std::move(rejected));
    }
    list.insert(list.end(), unmatched.begin(), unmatched.end());
    return list;
}

// What the import would do, in full: the reference rows it would create with
// their identifiers, the counts, every row it would leave out and why, and
// the warnings of its summary.
std::string MyImThread::dryRunReport(ImportOutcome outcome, const std::string& message) const {
    std::string text = "试运行：数据库中的数据没有改变。";
    if (!rowsWereRead(outcome)) {
        return text + "真正导入时会这样结束：\n" + message;
    }
    const std::vector<RejectedRow>& rejected = m_result.rejectedRows;
    const auto listRows = [&text, &rejected] {
        for (const RejectedRow& r : rejected) {
            text += "\n";
            if (r.row > 0) {
                text += "第" + std::to_string(r.row) + "行";
                text += r.key.empty() ? "" : "，";
            }
            text += r.key + "：" + r.reason;
        }
    };
    if (outcome == ImportOutcome::ValidationFailed) {
        text += "真正导入时有" + std::to_string(m_result.rowProblems.size()) +
                "行未通过检查，不会导入任何行：";
        listRows();
        return text;
    }
    const MergeReport& merge = m_result.merge;
    text += "真正导入时：";
    for (const CreatedReference& c : merge.created) {
        text += "\n将新建" + c.kind + "“" + c.name + "”，编号" + std::to_string(c.id);
    }
    text += "\n将导入" + std::to_string(merge.inserted) + "行";
    if (merge.updatesOffered) {
        text += "；将更新" + std::to_string(merge.updated) + "行；" +
                std::to_string(merge.unchanged) + "行与数据库中相同，不会改动";
    }
    if (merge.alreadyExisting > 0) {
        text += "；" + std::to_string(merge.alreadyExisting) + "行已存在，不会重复导入";
    }
    if (!m_result.repeatedRows.empty()) {
        text += "；" + std::to_string(m_result.repeatedRows.size()) +
                "行与本文件中前面的行重复，不会导入";
    }
    const std::size_t refused = m_result.rowProblems.size() + merge.refused.size();
    if (refused > 0) {
        text += "；" + std::to_string(refused) + "行会被数据库拒绝";
    }
    text += "。";
    if (!m_result.emptyRows.empty()) {
        text += "\n" + emptyRowsText(m_result.emptyRows);
    }
    const std::string differing = formatDifferingRows(merge, "不会更新");
    if (!differing.empty()) {
        text += "\n" + differing;
    }
    const std::string changes = formatCellChanges(merge);
    if (!changes.empty()) {
        text += "\n将改动的单元格：\n" + changes;
    }
    if (!rejected.empty()) {
        text += "\n不会导入的行（" + std::to_string(rejected.size()) + "行）：";
        listRows();
    }
    const std::string warnings = formatMergeWarnings(merge);
    if (!warnings.empty()) {
        text += "\n" + warnings;
    }
    return text + (outcome == ImportOutcome::Succeeded ? "\n所有行都会进入数据库。"
                                                       : "\n导入会以有行未能导入结束。");
}

// The rows not imported, in a new workbook laid out as the input (row 1
// empty, the headings in row 2, the rows from row 3, each cell as the input
// shows it) with the reason in one more column.
std::string MyImThread::writeRejects(ImportOutcome outcome, const std::string& path) const {
    const bool dryRun = m_options.importChoices.dryRun;
    if (!rowsWereRead(outcome)) {
        return "没有写出未导入的行：导入在逐行处理之前就结束了，请按上面的说明处理后重新导入。";
    }
    std::size_t unmatched = 0;
    std::size_t count = 0;
    for (const RejectedRow& r : m_result.rejectedRows) {
        ++(r.row > 0 ? count : unmatched);
    }
    std::string note;
    if (unmatched > 0) {
        note = "\n另有" + std::to_string(unmatched) +
               "行被数据库拒绝，但在工作表中找不到它们的行，没有写入文件（见上面的说明）。";
    }
    if (count == 0) {
        return (dryRun ? "所有行都会进入数据库，没有写出未导入的行。"
                       : "所有行都已进入数据库，没有写出未导入的行。") +
               note;
    }
    const std::string k = key();
    const int reasonColumn = m_state.columnCount + 1;
    workbook::SpreadsheetSession out;
    try {
        out.startExcel();
        out.addWorkbook();
        out.nameFirstSheet(k);
        out.sheetByName(k);
        out.wrapAllCells();
        out.hideExcel();
        const auto copyRow = [&](int from, int to) {
            for (int c = 1; c < reasonColumn; ++c) {
                const Value value = m_session->readCell(from, c);
                if (!value.isNull()) {
                    out.writeCell(to, c, shownText(value));
                }
            }
        };
        copyRow(2, 2);
        out.writeCell(2, reasonColumn, kRejectReasonHeading);
        int row = 3;
        for (const RejectedRow& r : m_result.rejectedRows) {
            if (r.row > 0) {
                copyRow(r.row, row);
                out.writeCell(row, reasonColumn, r.reason);
                ++row;
            }
        }
        out.saveSheetAs(path);
    } catch (const std::exception& e) {
        out.quitExcel();
        out.releaseExcel();
        return "未导入的行没有写出：无法保存" + path + "（" + e.what() +
               "）。这些行已在上面列出；请检查路径后再试。" + note;
    }
    out.quitExcel();
    out.releaseExcel();
    return std::string(dryRun ? "真正导入时不会导入的" : "未导入的") + std::to_string(count) +
           "行已写入" + path + "，改正后可以重新导入这个文件。" + note;
}

}  // namespace pos::transfer

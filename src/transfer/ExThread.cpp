// The export worker. Every statement goes through the SQLQuery of the
// worker's transfer session; the workbook session lives for one call of
// writeWorkbook; the view hears of every outcome, failures included.
#include "transfer/ExThread.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <stdexcept>
#include <utility>

#include "common/Cleanup.h"
#include "common/Files.h"
#include "common/Text.h"
#include "common/Unicode.h"
#include "datasets/Datasets.h"
#include "datasets/FieldMap.h"
#include "datasets/Selects.h"
#include "db/DbError.h"
#include "db/Dialect.h"
#include "workbook/SheetData.h"
#include "workbook/SpreadsheetSession.h"
#include "workbook/WorkbookFormats.h"

namespace pos::transfer {

namespace {

const char* const kQueryFailedMessage = "导出失败，有可能所需导出的字段不存在，请检查！";
const char* const kEngineFailedMessage = "不能导出数据，EXCEL可能未正确安装！";
const char* const kSuccessMessage = "数据导出成功！";

std::string viewCreationFailedMessage(const TransferOptions& options) {
    return "数据库" + options.database + "的" + options.dataset.displayText +
           "相关设置表记录不全，请检查数据库！";
}

std::string extensionRefusedMessage(const std::string& path) {
    return "数据导出失败：保存路径" + path + "的扩展名不是" + workbook::extensionList() +
           "之一，无法确定工作簿的格式。\n请把保存路径的扩展名改为" + workbook::extensionList() +
           "后重新导出。";
}

std::string writeFailedMessage(const std::string& reason) {
    return "数据导出失败：" + reason + "\n目标文件没有写入，请检查保存路径是否可以写入后重新导出！";
}

// The export cannot go on: a stored text longer than a cell holds (its
// message names the row and the column, the outcome is Refused), the user's
// stop (Stopped), or the engine or the save failed (Failed). The message is
// shown as it stands; no file is written.
class ExportHalted : public std::runtime_error {
public:
    ExportHalted(ExportOutcome outcome, const std::string& message)
        : std::runtime_error(message), m_outcome(outcome) {}
    ExportOutcome outcome() const { return m_outcome; }

private:
    ExportOutcome m_outcome;
};

// The length of a text as the workbook formats count it (UTF-16 units), when
// that is more than a cell holds; 0 otherwise.
std::size_t excessCellLength(const std::string& text) {
    const auto limit = static_cast<std::size_t>(workbook::kMaxCellCharacters);
    if (text.size() <= limit) {
        return 0;
    }
    const std::size_t length = utf16Length(text);
    return length > limit ? length : 0;
}

std::string cellTooLongMessage(std::int32_t row, const std::string& heading, std::size_t length) {
    return "数据导出失败：第" + std::to_string(row) + "行（第" + std::to_string(row - 2) +
           "条记录）“" + heading + "”列的文本有" + std::to_string(length) +
           "个字符，超过了一个单元格最多能容纳的" + std::to_string(workbook::kMaxCellCharacters) +
           "个字符。\n目标文件没有写入，请在数据库中缩短这段文本后重新导出！";
}

// The line after the success message when the field map gave no heading: the
// workbook was written, but without its heading row.
std::string noHeadingsWarning(const std::string& fieldMapPath) {
    return "注意：字段对应文件“" + fieldMapPath +
           "”中没有可用的列，导出的工作簿没有标题行。请改正该文件[Field]节中的FieldCount和各列，"
           "或删除该文件，程序会重新生成它。";
}

std::string selectFromView(const std::string& columns, const std::string& key) {
    return " select " + columns + " from \"VS" + key + "\"";
}

// The view's column names as the view spells them, in its order, read
// without fetching a row.
std::vector<std::string> readViewColumns(db::Query& query, const std::string& database,
                                         const std::string& key) {
    executePreamble(query, database);
    openStatement(query, selectFromView("*", key) + " where 0 = 1");
    std::vector<std::string> columns;
    for (int i = 0; i < query.fieldCount(); ++i) {
        columns.push_back(query.fieldName(i));
    }
    query.close();
    return columns;
}

// The view's own spelling of the column `name` (ASCII letter case ignored,
// as both servers compare identifiers), or nullptr when the view has none.
const std::string* viewColumnNamed(const std::vector<std::string>& viewColumns,
                                   const std::string& name) {
    const auto found =
        std::find_if(viewColumns.begin(), viewColumns.end(),
                     [&](const std::string& c) { return equalsIgnoreCase(c, name); });
    return found == viewColumns.end() ? nullptr : &*found;
}

std::string missingColumnMessage(const std::string& fieldMapPath, std::size_t number,
                                 const datasets::FieldMapEntry& entry,
                                 const std::vector<std::string>& viewColumns) {
    const std::string n = std::to_string(number);
    std::string text = "数据导出失败：字段对应文件“" + fieldMapPath + "”";
    if (entry.identifier.empty()) {
        text += "的[Field]节中没有第" + n + "项（" + n + "=列名）";
    } else {
        text += "中的第" + n + "项（[" + entry.identifier + "]节）";
        text += entry.showField.empty() ? "没有指定要导出的列（ShowField为空）"
                                        : "的ShowField“" + entry.showField + "”不是可以导出的列";
    }
    text += "。可以导出的列有：";
    for (std::size_t i = 0; i < viewColumns.size(); ++i) {
        text += (i == 0 ? "" : "、") + viewColumns[i];
    }
    return text +
           "。\n目标文件没有写入，请在该文件中为这一项写上其中一列的ShowField（或删去这一项并改正"
           "FieldCount）后重新导出。";
}

// The select list of the view's columns that the map's entries name, in the
// map's order, each quoted; every column of the view when the map has no
// entry (the workbook then has no heading row, and the user is told). An
// entry whose column the view does not have halts the export before anything
// is written.
std::string exportSelectList(const datasets::FieldMap& map,
                             const std::vector<std::string>& viewColumns,
                             const std::string& fieldMapPath) {
    std::vector<std::string> columns;
    if (map.entries.empty()) {
        columns = viewColumns;
    }
    for (std::size_t i = 0; i < map.entries.size(); ++i) {
        const std::string* column = viewColumnNamed(viewColumns, map.entries[i].showField);
        if (column == nullptr) {
            throw ExportHalted(
                ExportOutcome::Refused,
                missingColumnMessage(fieldMapPath, i + 1, map.entries[i], viewColumns));
        }
        columns.push_back(*column);
    }
    std::string list;
    for (const std::string& column : columns) {
        list += (list.empty() ? "" : ",") + db::quoteIdentifier(column);
    }
    return list;
}

// `passed` records and those after the current row of `query`, which it
// walks to the end.
int countToEnd(db::Query& query, int passed) {
    for (query.next(); !query.eof(); query.next()) {
        ++passed;
    }
    return passed;
}

}  // namespace

int exportProgress(std::int32_t row, std::int32_t recordCount) {
    if (recordCount <= 0) {
        return 0;
    }
    const double percent = static_cast<double>(row) / static_cast<double>(recordCount) * 100.0;
    const double position = 3.0 * std::trunc(percent);
    return static_cast<int>(std::clamp(position, 0.0, 300.0));
}

std::vector<std::string> createViewStatements(const datasets::Dataset& dataset) {
    return datasets::exportViewStatements(dataset);
}

std::string leftOutCountStatement(const datasets::Dataset& dataset) {
    if (dataset.exportJoins.empty()) {
        return {};
    }
    std::string statement =
        std::string(" select count(*) as LeftOut from ") + dataset.exportedTable + " where ";
    for (std::size_t i = 0; i < dataset.exportJoins.size(); ++i) {
        const datasets::ExportJoin& join = dataset.exportJoins[i];
        statement += std::string(i == 0 ? "" : " or ") + "not exists (select * from " + join.table +
                     " where " + join.condition + ")";
    }
    return statement + " ";
}

std::string leftOutNote(const datasets::Dataset& dataset, std::int64_t count) {
    if (count <= 0) {
        return {};
    }
    return "另有" + std::to_string(count) + dataset.leftOutRows +
           "，未导出。如需导出，请在数据库中" + dataset.leftOutRemedy + "后重新导出。";
}

std::string tooManyRecordsMessage(int recordCount, const std::string& path) {
    const int limit = recordLimitForPath(path);
    if (recordCount <= limit) {
        return {};
    }
    const workbook::WorkbookFormat* format = workbook::formatForPath(trimmed(path));
    std::string text = "要导出的记录共有" + std::to_string(recordCount) + "条，超过了" +
                       (format != nullptr ? format->extension : ".xls") +
                       (format != nullptr && !format->knownByContent ? "文件" : "工作表") +
                       "最多能容纳的" + std::to_string(limit) +
                       "条记录（第1行留空，第2行为标题），无法导出！";
    if (limit < kXlsxMaxRecords) {
        text += "请把保存路径的扩展名改为.xlsx后重新导出。";
    }
    return text;
}

std::string folderAtPathMessage(const std::string& path) {
    return "数据导出失败：保存路径" + path +
           "是一个文件夹，不是文件，工作簿不能保存在这里。\n请换一个文件名后重新导出。";
}

int recordLimitForPath(const std::string& path) {
    const workbook::WorkbookFormat* format = workbook::formatForPath(trimmed(path));
    return format != nullptr ? format->maxRows - 2 : kXlsMaxRecords;
}

MyExThread::MyExThread(TransferSession session, TransferOptions options, TransferView& view)
    : m_transferSession(std::move(session)),
      m_queries(m_transferSession.queries()),
      m_options(std::move(options)),
      m_view(view),
      m_worker([this] { runExport(); },
               [this](const std::string& reason) {
                   finishWith(ExportOutcome::Failed, writeFailedMessage(reason));
               },
               [this] { finishExport(); }) {}

MyExThread::~MyExThread() {
    join();
}

void MyExThread::start() {
    m_worker.start();
}

void MyExThread::join() {
    m_worker.join();
}

std::string MyExThread::key() const {
    return m_options.dataset.key;
}

void MyExThread::finishWith(ExportOutcome outcome, std::string message) {
    m_result.outcome = outcome;
    m_result.message = std::move(message);
    m_view.showMessage(m_result.message);
}

void MyExThread::runExport() {
    m_view.setChoiceControlsEnabled(false);
    // The session writes the format that the path's extension names; the
    // same test as the session's, made before any work.
    if (workbook::formatForPath(m_options.path) == nullptr) {
        finishWith(ExportOutcome::Refused, extensionRefusedMessage(m_options.path));
        return;
    }
    if (folderExists(m_options.path)) {
        finishWith(ExportOutcome::Refused, folderAtPathMessage(m_options.path));
        return;
    }
    m_selectColumns.clear();
    // Views left by an earlier export go; none there is the usual case.
    dropExportViews(m_queries.sqlQuery, m_options.database, m_options.dataset);
    if (!createViews()) {
        return;
    }
    if (!prepareColumns()) {
        return;
    }
    exportToExcel();
    m_showNames.clear();
}

void MyExThread::finishExport() {
    // The views go first and the window comes back last, so that no new
    // transfer can use SQLQuery while the drops still run; enabling the start
    // button is the last call this worker makes into the view.
    const std::string viewsLeft = dropViews();
    m_transferSession.close();
    if (!viewsLeft.empty()) {
        m_result.message += "\n" + viewsLeft;
        m_view.showMessage(viewsLeft);
    }
    runCleanup("把数据写入数据库文件", [this] { m_queries.connection.settleFile(); });
    m_view.setProgress(0);
    m_view.setChoiceControlsEnabled(true);
}

std::string MyExThread::dropViews() {
    db::Query& query = m_queries.sqlQuery;
    std::string left;
    std::string reason;
    for (const auto& [view, failure] :
         dropExportViews(query, m_options.database, m_options.dataset)) {
        // A drop also fails for a view that is not there: only one that
        // stays is named.
        bool stays = true;
        cleanupFailure([&, name = view] {
            executePreamble(query, m_options.database);
            openStatement(query, query.connection().dialect().tableColumnsLine(name));
            stays = !query.eof();
            query.close();
        });
        if (stays) {
            left += (left.empty() ? "" : "、") + view;
            reason = failure;
        }
    }
    if (left.empty()) {
        return {};
    }
    return "导出用的视图" + left + "未能删除（" + reason + "），留在了数据库" + m_options.database +
           "中；下次导出这些数据时会自动删除。";
}

std::vector<std::pair<std::string, std::string>> dropExportViews(db::Query& query,
                                                                 const std::string& database,
                                                                 const datasets::Dataset& dataset) {
    std::vector<std::pair<std::string, std::string>> failed;
    for (const char* view : dataset.exportViewNames) {
        const std::string failure = cleanupFailure([&] {
            executePreamble(query, database);
            executeStatement(query, std::string("drop view ") + view);
        });
        if (!failure.empty()) {
            failed.emplace_back(view, failure);
        }
    }
    return failed;
}

bool MyExThread::createViews() {
    db::Query& query = m_queries.sqlQuery;
    try {
        const std::vector<std::string> statements = createViewStatements(m_options.dataset);
        if (!statements.empty()) {
            executePreamble(query, m_options.database);
        }
        for (const std::string& statement : statements) {
            executeStatement(query, statement);
        }
        const std::string check = query.connection().dialect().viewCheckLine("VS" + key());
        if (!statements.empty() && !check.empty()) {
            openStatement(query, check);
            query.close();
        }
    } catch (const db::DbError& e) {
        // A busy, read-only or damaged database says so; a missing table or
        // column is the usual "incomplete" message.
        if (db::isEnvironmentFault(e.fault())) {
            finishWith(ExportOutcome::Failed, "不能导出数据：无法在数据库" + m_options.database +
                                                  "中建立视图。" + e.what());
        } else {
            finishWith(ExportOutcome::Refused, viewCreationFailedMessage(m_options));
        }
        return false;
    } catch (const std::exception&) {
        finishWith(ExportOutcome::Refused, viewCreationFailedMessage(m_options));
        return false;
    }
    return true;
}

bool MyExThread::prepareColumns() {
    db::Query& query = m_queries.sqlQuery;
    const std::string k = key();
    const std::string path = datasets::fieldMapPath(m_options.fieldMapDir, m_options.dataset);
    std::vector<std::string> viewColumns;
    try {
        viewColumns = readViewColumns(query, m_options.database, k);
    } catch (const std::exception&) {
        finishWith(ExportOutcome::Refused, kQueryFailedMessage);
        return false;
    }

    datasets::FieldMap map;
    if (regularFileExists(path)) {
        try {
            map = datasets::readFieldMap(path);
        } catch (const std::exception& e) {
            finishWith(ExportOutcome::Refused, std::string("读取字段对照文件失败：") + e.what());
            return false;
        }
    } else {
        // No field map: the view's own column names become the headings and
        // are kept in a new field map for the next export and for the import.
        map = datasets::fieldMapFromColumns(viewColumns);
        try {
            datasets::writeFieldMap(path, map);
        } catch (const std::exception& e) {
            finishWith(ExportOutcome::Failed, std::string("写入字段对照文件失败：") + e.what());
            return false;
        }
    }

    // Each heading stands over its own column, whatever order the map gives.
    try {
        m_selectColumns = exportSelectList(map, viewColumns, path);
    } catch (const ExportHalted& e) {
        finishWith(e.outcome(), e.what());
        return false;
    }
    m_showNames = map.showNames();
    return true;
}

bool MyExThread::openExportQuery(int& recordCount, std::int64_t& leftOut) {
    db::Query& query = m_queries.sqlQuery;
    const std::string k = key();
    try {
        executePreamble(query, m_options.database);
        // The views join the reference tables, so a stored row without its
        // partner is not exported: count those first, to say so at the end.
        const std::string count = leftOutCountStatement(m_options.dataset);
        if (!count.empty()) {
            openStatement(query, count);
            leftOut = query.fieldValue(0).toInteger();
        }
        // The records are counted by the database, so that the rows are then
        // read one at a time and never held all at once.
        openStatement(query, selectFromView("count(*)", k));
        recordCount = static_cast<int>(query.fieldValue(0).toInteger());
        query.close();
        openStatement(query, selectFromView(m_selectColumns, k));
    } catch (const std::exception&) {
        finishWith(ExportOutcome::Refused, kQueryFailedMessage);
        return false;
    }
    return true;
}

std::string MyExThread::successMessage(std::int64_t leftOut) const {
    std::string message = kSuccessMessage;
    const std::string note = leftOutNote(m_options.dataset, leftOut);
    if (!note.empty()) {
        message += "\n" + note;
    }
    if (std::all_of(m_showNames.begin(), m_showNames.end(),
                    [](const std::string& name) { return isBlank(name); })) {
        message += "\n" + noHeadingsWarning(
                              datasets::fieldMapPath(m_options.fieldMapDir, m_options.dataset));
    }
    return message;
}

void MyExThread::exportToExcel() {
    int recordCount = 0;
    std::int64_t leftOut = 0;
    // One row of the result in memory at a time, however many there are.
    const db::ForwardOnly forwardOnly(m_queries.sqlQuery);
    // A price the store keeps as a number goes to its cell as that number:
    // the text and the cell are those of its digits, which are never made.
    const db::DecimalsAsStored decimalsAsStored(m_queries.sqlQuery);
    if (!openExportQuery(recordCount, leftOut)) {
        return;
    }

    // A sheet that cannot hold every record would be cut short: refuse before
    // the engine starts.
    const std::string tooMany = tooManyRecordsMessage(recordCount, m_options.path);
    if (!tooMany.empty()) {
        finishWith(ExportOutcome::Refused, tooMany);
        return;
    }

    try {
        writeWorkbook(recordCount);
    } catch (const ExportHalted& e) {
        finishWith(e.outcome(), e.what());
        return;
    }
    finishWith(ExportOutcome::Succeeded, successMessage(leftOut));
    m_view.clearPath();
}

void MyExThread::writeWorkbook(int recordCount) {
    db::Query& query = m_queries.sqlQuery;
    const std::string k = key();
    workbook::SpreadsheetSession session;
    try {
        session.startExcel();
        session.addWorkbook();
        session.nameFirstSheet(k);
        session.sheetByName(k);
        session.wrapAllCells();
    } catch (const std::exception&) {
        throw ExportHalted(ExportOutcome::Failed, kEngineFailedMessage);
    }

    try {
        query.first();
        for (std::size_t i = 0; i < m_showNames.size(); ++i) {
            session.writeCell(2, static_cast<int>(i) + 1, m_showNames[i]);
        }
        // Rows stored after the count was taken must still fit the sheet.
        const int limit = recordLimitForPath(m_options.path);
        std::int32_t row = 3;
        while (!query.eof()) {
            if (m_view.stopRequested()) {
                throw ExportHalted(
                    ExportOutcome::Stopped,
                    "数据导出已停止：" + m_view.stopReason() + "。目标文件没有写入。");
            }
            if (row - 2 > limit) {
                throw ExportHalted(
                    ExportOutcome::Refused,
                    tooManyRecordsMessage(countToEnd(query, row - 2), m_options.path));
            }
            const int fields = query.fieldCount();
            for (int j = 1; j <= fields; ++j) {
                // Numbers go as number cells, so that a spreadsheet sums
                // prices; texts as text cells, so that a code keeps its
                // leading zeros.
                const Value& value = query.fieldValue(j - 1);
                const std::size_t length =
                    value.type() == ValueType::Text ? excessCellLength(value.asText()) : 0;
                if (length > 0) {
                    const auto column = static_cast<std::size_t>(j - 1);
                    const bool named = column < m_showNames.size() && !isBlank(m_showNames[column]);
                    throw ExportHalted(
                        ExportOutcome::Refused,
                        cellTooLongMessage(
                            row, named ? m_showNames[column] : query.fieldName(j - 1), length));
                }
                session.writeValue(row, j, value);
            }
            query.next();
            m_view.setProgress(exportProgress(row, recordCount));
            ++row;
        }
        // The session saves atomically: a failure leaves no partial file and
        // an existing file whole.
        session.saveSheetAs(m_options.path);
    } catch (const ExportHalted&) {
        throw;
    } catch (const std::exception& e) {
        throw ExportHalted(ExportOutcome::Failed, writeFailedMessage(e.what()));
    }
}

}  // namespace pos::transfer

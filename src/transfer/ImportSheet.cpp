// The import worker's worksheet: reading its used range and headings,
// refusing formulas without a stored result, matching the headings to the
// staging columns, and the words of a refused heading row.
#include <algorithm>
#include <exception>
#include <optional>

#include "common/Files.h"
#include "common/Text.h"
#include "datasets/FieldMap.h"
#include "transfer/HeadingCheck.h"
#include "transfer/ImThread.h"
#include "transfer/ImportDetail.h"
#include "transfer/Staging.h"
#include "workbook/SpreadsheetSession.h"
#include "workbook/WorkbookError.h"

namespace pos::transfer {

namespace {

const char* const kEngineFailedMessage = "不能导入数据，EXCEL可能未正确安装！";

}  // namespace

namespace detail {

std::string headingLines(const workbook::SpreadsheetSession& session, const ImportState& state,
                         const TransferOptions& options, bool tooManyColumns) {
    try {
        HeadingFacts facts{.dataset = options.dataset};
        facts.headings = state.headerNames;
        for (std::size_t c = 1; c <= facts.headings.size(); ++c) {
            facts.firstRow.push_back(trimmed(session.readCell(1, static_cast<int>(c)).toText()));
        }
        facts.stagingColumns = state.stagingColumns;
        facts.fieldMapDir = options.fieldMapDir;
        facts.datasetOption = options.importChoices.datasetOption;
        datasets::FieldMap map;
        const std::string path = datasets::fieldMapPath(options.fieldMapDir, options.dataset);
        if (regularFileExists(path)) {
            map = datasets::readFieldMap(path);
            facts.fieldMap = &map;
        }
        return tooManyColumns ? tooManyColumnsLines(facts) : headingMismatchLines(facts);
    } catch (const std::exception&) {
        return {};
    }
}

}  // namespace detail

bool MyImThread::readWorksheet() {
    const std::string k = key();
    // The workbook as the checks before the worker read it, else the file.
    m_session = m_options.checkedWorkbook ? m_options.checkedWorkbook->take() : nullptr;
    const bool checked = m_session != nullptr;
    if (!checked) {
        m_session = std::make_unique<workbook::SpreadsheetSession>();
    }
    workbook::SpreadsheetSession& session = *m_session;
    try {
        if (!checked) {
            session.startExcel();
            session.openWorkbook(trimmed(m_options.path));
        }
        session.nameFirstSheet(k);
        session.sheetByName(k);
        session.wrapAllCells();
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

bool MyImThread::matchHeaders() {
    const std::string path = datasets::fieldMapPath(m_options.fieldMapDir, m_options.dataset);
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

}  // namespace pos::transfer

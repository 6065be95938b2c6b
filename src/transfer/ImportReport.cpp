// The import worker's report: the texts of the closing message and its
// summary, a dry run's report, the rows not imported and the rejects
// workbook that holds them.
#include <algorithm>
#include <exception>
#include <map>
#include <unordered_map>

#include "common/Text.h"
#include "transfer/ImThread.h"
#include "transfer/ImportDetail.h"
#include "workbook/SpreadsheetSession.h"

namespace pos::transfer {

using detail::cellParameter;

namespace {

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

// Whether the passes read the worksheet's rows, so that it is known which of
// them reached the database.
bool rowsWereRead(ImportOutcome outcome) {
    return outcome == ImportOutcome::ValidationFailed || outcome == ImportOutcome::RowsFailed ||
           outcome == ImportOutcome::Succeeded;
}

// A cell as a spreadsheet program shows it, for the rejects workbook.
std::string shownText(const Value& value) {
    if (value.type() == ValueType::Boolean) {
        return value.asBoolean() ? "TRUE" : "FALSE";
    }
    return value.toText();
}

}  // namespace

namespace detail {

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

}  // namespace detail

using detail::repeatedRowLines;

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

std::string validationFailureText(const std::vector<int>& rows) {
    if (rows.empty()) {
        return {};
    }
    return "第" + rowList(rows) +
           "行数据无法插入,有可能这几行数据有空值，或者数据类型不正确，请检查后再导入！";
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
            const std::vector<std::string>& leading = refused[k].leadingKey;
            for (std::size_t c = 0; c + 1 < shape.keyColumns.size(); ++c) {
                key[shape.keyColumns[c]] = Value::text(c < leading.size() ? leading[c] : "");
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
        return "未导入的行没有写出：无法保存" + path + "（" + e.what() +
               "）。这些行已在上面列出；请检查路径后再试。" + note;
    }
    return std::string(dryRun ? "真正导入时不会导入的" : "未导入的") + std::to_string(count) +
           "行已写入" + path + "，改正后可以重新导入这个文件。" + note;
}

}  // namespace pos::transfer

// The update of stored rows: a stored row as an export shows it compared
// with the staged row as the rules of a new row make it, the cells that
// differ written, and what was written counted in the report.
#include <algorithm>

#include "common/Text.h"
#include "transfer/MergeEngine.h"

namespace pos::transfer {
namespace {

// Two names as the lookups compare them: trailing blanks and ASCII letter
// case aside.
bool sameName(std::string a, std::string b) {
    for (std::string* name : {&a, &b}) {
        while (!name->empty() && name->back() == ' ') {
            name->pop_back();
        }
    }
    return asciiLower(a) == asciiLower(b);
}

}  // namespace

void MergeEngine::updateStoredRow(const Value& keyValue, const std::string& key) {
    const std::vector<const datasets::DatasetColumn*>& columns = m_updatable;
    // The stored row: each column as shown, and the identifier behind a
    // reference name.
    StoredValues stored{std::vector<Value>(columns.size()), std::vector<Value>(columns.size())};
    {
        db::Query& q = m_q.tempQuery;
        q.close();
        q.clearLines();
        q.addLine(storedRowSelect("where " + std::string(m_merge.update.table) + ".ID = :KeyID "));
        q.setParameter("KeyID", keyValue);
        q.open();
        if (q.eof()) {
            q.close();
            ++m_report.alreadyExisting;
            return;
        }
        for (std::size_t i = 0; i < columns.size(); ++i) {
            stored.shown[i] = q.fieldValue(columns[i]->staged);
            if (columns[i]->kind == datasets::ColumnKind::ReferenceName) {
                stored.ids[i] = q.fieldValue(columns[i]->written);
            }
        }
        q.close();
    }
    // A name is looked up as for a new row; the reference passes have
    // created it.
    const FindName findName = [this](const char* staged, const std::string& name) {
        const datasets::ReferencePass& reference = referencePassOver(staged);
        FoundName found;
        openStatement(m_q.tempQuery, reference.lookup + quoted(name));
        if (!m_q.tempQuery.eof()) {
            found.id = m_q.tempQuery.fieldValue(reference.idColumn);
            found.stored = m_q.tempQuery.fieldAsText(reference.nameColumn);
        }
        m_q.tempQuery.close();
        return found;
    };
    const std::vector<CellWrite> writes = plannedWrites(m_row, stored, findName);
    if (!m_report.updatesOffered) {
        countStoredRowLeft(!writes.empty(), key);
        return;
    }
    if (writes.empty()) {
        ++m_report.unchanged;
        return;
    }

    std::vector<std::string> written;
    db::Parameters params;
    for (const CellWrite& write : writes) {
        written.emplace_back(columns[write.index]->written);
        params.emplace_back(written.back(), write.value);
    }
    params.emplace_back("KeyID", keyValue);
    const std::string statement =
        m_q.connection.dialect().updateRowStatement(m_merge.update.table, written, "ID");
    if (!writeRow(statement, params, key)) {
        return;
    }
    countUpdated(writes, stored, key);
}

// Each column the workbook holds, as the rules of a new row make it,
// compared with the stored row as an export shows it: the cells that differ.
std::vector<MergeEngine::CellWrite> MergeEngine::plannedWrites(const StagedRow& row,
                                                               const StoredValues& stored,
                                                               const FindName& findName) const {
    const std::vector<const datasets::DatasetColumn*>& columns = m_updatable;
    // A value of the row as it will be: the workbook's by the rules when the
    // workbook holds the column, else the stored one.
    const ValueInRow valueInRow = [&](const char* column) {
        for (std::size_t i = 0; i < columns.size(); ++i) {
            if (!equalsIgnoreCase(columns[i]->staged, column)) {
                continue;
            }
            if (headingOf(column) == nullptr) {
                return stored.shown[i];
            }
            const Value cell = row.fieldValue(column);
            return ruleValue(columns[i]->rule, cell, column);
        }
        return Value();
    };

    // In worksheet order, as the user reads the row.
    std::vector<CellWrite> writes;
    for (const ImportedColumn& imported : m_columns) {
        const auto at =
            std::find_if(columns.begin(), columns.end(), [&](const datasets::DatasetColumn* c) {
                return equalsIgnoreCase(c->staged, imported.column);
            });
        if (at == columns.end()) {
            continue;  // the key, or a column the dataset does not update
        }
        const auto i = static_cast<std::size_t>(at - columns.begin());
        const datasets::DatasetColumn& column = **at;
        const std::string* heading = &imported.heading;
        const Value cell = row.fieldValue(column.staged);
        const std::string before = stored.shown[i].toText();
        switch (column.kind) {
            case datasets::ColumnKind::Text:
                // An empty cell leaves a stored text of blanks as it is.
                if (cell.toText() != before && !(isBlank(cell.toText()) && isBlank(before))) {
                    writes.push_back({i, heading, cell, cell.toText()});
                }
                break;
            case datasets::ColumnKind::Number: {
                // The value the column's rules make of the cell, as a new row
                // would store it, is what may differ: a cost of -3 is 0, and
                // over a stored 0 changes nothing.
                const double storedNumber = numericValue(stored.shown[i], column.staged);
                Value value = valueInRow(column.staged);
                if (numericValue(value, column.staged) == storedNumber) {
                    break;
                }
                if (column.rule == datasets::ValueRule::MemberPrice) {
                    value = memberPrice(value, valueInRow);
                    if (numericValue(value, column.staged) == storedNumber) {
                        break;
                    }
                }
                writes.push_back({i, heading, value, value.toText()});
                break;
            }
            case datasets::ColumnKind::ReferenceName: {
                const std::string name = cell.toText();
                if (sameName(name, before)) {
                    break;
                }
                // A blank name refers to nothing.
                FoundName found;
                if (!isBlank(name)) {
                    found = findName(column.staged, name);
                }
                const Value& storedId = stored.ids[i];
                if (found.id.isNull() != storedId.isNull() ||
                    found.id.toText() != storedId.toText()) {
                    writes.push_back({i, heading, found.id, found.stored});
                }
                break;
            }
        }
    }
    return writes;
}

void MergeEngine::countUpdated(const std::vector<CellWrite>& writes, const StoredValues& stored,
                               const std::string& key) {
    ++m_report.updated;
    for (const CellWrite& write : writes) {
        countWrite(*m_updatable[write.index], *write.heading, key, stored.shown[write.index],
                   write.value, write.after);
    }
}

// Without updates a stored row stays as it is; the user learns that the
// workbook's values did not arrive when they differ.
void MergeEngine::countStoredRowLeft(bool differs, const std::string& key) {
    ++m_report.alreadyExisting;
    if (differs && m_report.differing++ < static_cast<int>(kListedRows)) {
        m_report.differingKeys.push_back(key);
    }
}

// Counts a rewritten cell of an updated row in the report.
void MergeEngine::countWrite(const datasets::DatasetColumn& column, const std::string& heading,
                             const std::string& key, const Value& before, const Value& value,
                             const std::string& after) {
    auto counted = std::find_if(m_report.changedColumns.begin(), m_report.changedColumns.end(),
                                [&](const auto& entry) { return entry.first == heading; });
    if (counted == m_report.changedColumns.end()) {
        m_report.changedColumns.emplace_back(heading, 1);
    } else {
        ++counted->second;
    }
    if (m_report.changes.size() < kListedChanges) {
        m_report.changes.push_back({key, heading, before.toText(), after});
    }
    ++m_report.changeCount;
    if (value.isNull() && column.withoutReference != nullptr) {
        noteWithoutReference(column.staged, key);
    }
}

}  // namespace pos::transfer

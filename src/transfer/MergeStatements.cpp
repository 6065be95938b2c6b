// The merge's statements of many rows, and the selects of stored rows, built
// from the dataset's columns.
#include "transfer/MergeStatements.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "common/Text.h"
#include "db/DbError.h"
#include "transfer/MergeEngine.h"

namespace pos::transfer {

std::size_t rowsPerStatementLimit(db::ServerKind kind, std::size_t parametersPerRow) {
    const bool server = kind == db::ServerKind::SqlServer;
    // The store's limit is the staging insert's (SqliteDialect).
    const std::size_t parameters = server ? 2100 : 4000;
    const std::size_t rows = server ? 1000 : parameters;
    if (parametersPerRow == 0) {
        return rows;
    }
    return std::min(rows, parameters / parametersPerRow);
}

std::string parameterList(const std::string& prefix, std::size_t count) {
    std::string text;
    for (std::size_t j = 0; j < count; ++j) {
        text += (j == 0 ? ":" : ",:") + prefix + std::to_string(j);
    }
    return text;
}

std::string stagedColumnsSelect(std::span<const char* const> columns, const std::string& table) {
    std::string text = " select ";
    for (std::size_t c = 0; c < columns.size(); ++c) {
        text += (c == 0 ? "" : ",") + std::string(columns[c]);
    }
    return text + " from " + table + " ";
}

std::string namesLookup(const datasets::ReferencePass& pass,
                        const std::vector<std::string>& literals, const std::string& collation) {
    std::string names;
    for (std::size_t k = 0; k < literals.size(); ++k) {
        names += k == 0 ? "select 0 as k, " + literals[k] + " as n"
                        : " union all select " + std::to_string(k) + ", " + literals[k];
    }
    const std::string id = pass.idColumn;
    const std::string name = pass.nameColumn;
    return " select w.k as k, c." + id + " as " + id + ", c." + name + " as " + name + " from (" +
           names + ") w, " + pass.numberedTable + " c where c." + name + " = w.n" + collation + " ";
}

ParameterisedInsert::ParameterisedInsert(const std::string& insert) {
    const std::string lower = asciiLower(insert);
    const std::size_t values = lower.find("values");
    const std::size_t open = insert.find('(', values);
    const std::size_t close = insert.rfind(')');
    if (values == std::string::npos || open == std::string::npos || close < open) {
        throw std::logic_error("no values list in " + insert);
    }
    m_head = insert.substr(0, values + 6);
    m_tuple = insert.substr(open, close - open + 1);
}

std::string ParameterisedInsert::rows(std::size_t count) const {
    std::string text = m_head;
    for (std::size_t j = 0; j < count; ++j) {
        const std::string suffix = "_" + std::to_string(j);
        text += j == 0 ? "" : ",";
        for (std::size_t i = 0; i < m_tuple.size(); ++i) {
            text += m_tuple[i];
            if (m_tuple[i] != ':') {
                continue;
            }
            while (i + 1 < m_tuple.size() &&
                   (std::isalnum(static_cast<unsigned char>(m_tuple[i + 1])) != 0 ||
                    m_tuple[i + 1] == '_')) {
                text += m_tuple[++i];
            }
            text += suffix;
        }
    }
    return text + " ";
}

std::string storedKeysSelect(const std::string& table, const std::string& keyColumn,
                             std::size_t count) {
    return " select " + keyColumn + " from " + table + " where " + keyColumn + " in (" +
           parameterList("K_", count) + ") ";
}

NewRowList newRowList(const std::vector<std::string>& columns,
                      std::span<const std::pair<const char*, const char*>> fixed) {
    NewRowList list;
    for (const std::string& column : columns) {
        list.names += (list.names.empty() ? "" : ",") + column;
    }
    for (const auto& [column, value] : fixed) {
        if (value != nullptr) {
            list.names += std::string(",") + column;
            list.literals += std::string(",") + value;
        }
    }
    return list;
}

std::string newRowsInsert(const std::string& table, const std::vector<std::string>& columns,
                          std::span<const std::pair<const char*, const char*>> fixed,
                          std::size_t count) {
    const auto [names, literals] = newRowList(columns, fixed);
    std::string text = " insert into " + table + " (" + names + ") values ";
    for (std::size_t j = 0; j < count; ++j) {
        text += j == 0 ? "(" : ",(";
        for (std::size_t c = 0; c < columns.size(); ++c) {
            text += (c == 0 ? ":" : ",:") + columns[c] + "_" + std::to_string(j);
        }
        text += literals + ")";
    }
    return text + " ";
}

std::string storedRowsUpdate(const std::string& table, const std::string& keyColumn,
                             const std::vector<RowUpdate>& rows) {
    // The columns in the order the rows first write them.
    std::vector<std::string> columns;
    for (const RowUpdate& row : rows) {
        for (const auto& written : row.columns) {
            const std::string& column = written.first;
            if (std::none_of(columns.begin(), columns.end(),
                             [&](const std::string& c) { return equalsIgnoreCase(c, column); })) {
                columns.push_back(column);
            }
        }
    }
    std::string text = " update " + table + " set ";
    for (std::size_t c = 0; c < columns.size(); ++c) {
        text += (c == 0 ? "" : ", ") + columns[c] + " = case " + keyColumn;
        for (const RowUpdate& row : rows) {
            for (const auto& [column, parameter] : row.columns) {
                if (equalsIgnoreCase(column, columns[c])) {
                    text += " when :" + row.keyParameter + " then :" + parameter;
                }
            }
        }
        text += " else " + columns[c] + " end";
    }
    text += " where " + keyColumn + " in (";
    for (std::size_t j = 0; j < rows.size(); ++j) {
        text += (j == 0 ? ":" : ",:") + rows[j].keyParameter;
    }
    return text + ") ";
}

// A stored row as an export shows it: every updatable column under its
// staging name, and behind a reference name also its identifier, by a left
// join, so that a row whose reference is missing shows it empty; with the
// key as KeyID.
std::string MergeEngine::storedRowSelect(const std::string& where) const {
    const std::string table = m_merge.update.table;
    std::string columns = table + ".ID as KeyID";
    std::string joins;
    for (const datasets::DatasetColumn* column : m_updatable) {
        const std::string written = column->written;
        if (column->kind != datasets::ColumnKind::ReferenceName) {
            columns += ", " + table + "." + written + " as " + column->staged;
            continue;
        }
        const std::string source = column->sourceTable;
        columns += ", " + table + "." + written + " as " + written + ", " + source + "." +
                   column->sourceColumn + " as " + column->staged;
        joins += " left join " + source + " on " + table + "." + written + " = " + source + "." +
                 referencePassOver(column->staged).idColumn;
    }
    return " select " + columns + " from " + table + joins + " " + where;
}

std::vector<std::string> MergeEngine::newRowColumns() const {
    std::vector<std::string> columns;
    for (const datasets::DatasetColumn& column : m_merge.dataset.columns) {
        if (column.key) {
            columns.emplace_back(column.sourceColumn);
        } else if (column.written != nullptr) {
            columns.emplace_back(column.written);
        }
    }
    for (const auto& [column, value] : m_merge.newRowFixed) {
        if (value == nullptr) {
            columns.emplace_back(column);
        }
    }
    return columns;
}

std::string MergeEngine::newRowInsert() const {
    return newRowsInsert(m_merge.update.table, newRowColumns(), m_merge.newRowFixed, 1);
}

db::Parameters MergeEngine::newRowParameters(const std::vector<Value>& values) const {
    const std::vector<std::string> columns = newRowColumns();
    db::Parameters params;
    for (std::size_t c = 0; c < columns.size() && c < values.size(); ++c) {
        params.emplace_back(columns[c] + "_0", values[c]);
    }
    return params;
}

StagedColumns::StagedColumns(const db::Query& cursor, const datasets::Dataset& dataset)
    : m_dataset(dataset) {
    for (int i = 0; i < cursor.fieldCount(); ++i) {
        m_names.push_back(cursor.fieldName(i));
    }
    std::size_t slots = 16;
    while (slots < 2 * m_names.size()) {
        slots <<= 1;
    }
    m_slots.assign(slots, 0);
    for (std::size_t i = 0; i < m_names.size(); ++i) {
        std::size_t at = caselessHash(m_names[i]) & (slots - 1);
        while (m_slots[at] != 0) {
            if (equalsIgnoreCase(m_names[m_slots[at] - 1], m_names[i])) {
                break;  // the first of two equal names is the one found
            }
            at = (at + 1) & (slots - 1);
        }
        if (m_slots[at] == 0) {
            m_slots[at] = i + 1;
        }
    }
    for (const datasets::DatasetColumn& column : dataset.columns) {
        m_ofDataset.push_back(find(column.staged));
    }
}

std::size_t StagedColumns::find(std::string_view column) const {
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t at = caselessHash(column) & mask; m_slots[at] != 0; at = (at + 1) & mask) {
        const std::string& name = m_names[m_slots[at] - 1];
        if (name.size() == column.size() && equalsIgnoreCase(name, column)) {
            return m_slots[at] - 1;
        }
    }
    return m_names.size();
}

StagedRow::StagedRow(std::shared_ptr<const StagedColumns> columns, const db::Query& cursor)
    : m_columns(std::move(columns)) {
    m_values.reserve(m_columns->size());
    for (std::size_t i = 0; i < m_columns->size(); ++i) {
        m_values.push_back(cursor.fieldValue(static_cast<int>(i)));
    }
}

const Value& StagedRow::fieldValue(std::string_view column) const {
    if (m_columns) {
        if (const std::size_t at = m_columns->find(column); at < m_values.size()) {
            return m_values[at];
        }
    }
    throw db::DbError("结果中没有名为" + std::string(column) + "的字段。");
}

const Value& StagedRow::value(const datasets::DatasetColumn& column) const {
    if (m_columns) {
        const std::span<const datasets::DatasetColumn> columns = m_columns->dataset().columns;
        if (&column >= columns.data() && &column < columns.data() + columns.size()) {
            const std::size_t at =
                m_columns->ofDatasetColumn(static_cast<std::size_t>(&column - columns.data()));
            if (at < m_values.size()) {
                return m_values[at];
            }
        }
    }
    return fieldValue(column.staged);
}

void NameIds::add(const char* staged, const std::string& name, FoundName found) {
    auto column = std::find_if(m_found.begin(), m_found.end(),
                               [&](const auto& c) { return equalsIgnoreCase(c.first, staged); });
    if (column == m_found.end()) {
        column = m_found.insert(column, {staged, {}});
    }
    column->second.emplace(name, std::move(found));
}

const FoundName& NameIds::find(const char* staged, const std::string& name) const {
    const auto column = std::find_if(m_found.begin(), m_found.end(), [&](const auto& c) {
        return equalsIgnoreCase(c.first, staged);
    });
    if (column == m_found.end()) {
        return m_none;
    }
    const auto at = column->second.find(name);
    return at == column->second.end() ? m_none : at->second;
}

// For each name, the first stored row that the server finds for it, a
// select for a few hundred names.
std::vector<FoundName> MergeEngine::lookUpNames(const datasets::ReferencePass& pass,
                                                const std::vector<std::string>& names) {
    std::vector<FoundName> found(names.size());
    for (std::size_t first = 0; first < names.size(); first += kNamesPerLookup) {
        const std::size_t count = std::min(kNamesPerLookup, names.size() - first);
        std::vector<std::string> literals;
        for (std::size_t j = 0; j < count; ++j) {
            literals.push_back(dialect().stringLiteral(names[first + j]));
        }
        db::Query& q = m_q.tempQuery;
        openStatement(q, namesLookup(pass, literals, dialect().nameCollation()));
        std::vector<bool> met(count, false);
        for (; !q.eof(); q.next()) {
            const auto k = static_cast<std::size_t>(q.fieldValue("k").toInteger());
            if (k < count && !met[k]) {
                met[k] = true;
                found[first + k] = {q.fieldValue(pass.idColumn), q.fieldAsText(pass.nameColumn)};
            }
        }
        q.close();
    }
    return found;
}

namespace {

// The values of :K_0, :K_1, ... (the statement's only markers), `count` keys
// from `first` on, given by their place.
db::Parameters keyParameters(const std::vector<std::int64_t>& keys, std::size_t first,
                             std::size_t count) {
    db::Parameters params;
    params.reserve(count);
    for (std::size_t j = 0; j < count; ++j) {
        params.emplace_back(std::string(), Value::integer(keys[first + j]));
    }
    return params;
}

}  // namespace

std::unordered_set<std::int64_t> MergeEngine::storedKeys(const std::vector<std::int64_t>& keys) {
    std::unordered_set<std::int64_t> stored;
    const std::size_t chunk = rowsPerStatement(1);
    for (std::size_t first = 0; first < keys.size(); first += chunk) {
        const std::size_t count = std::min(chunk, keys.size() - first);
        db::Query& q = m_q.tempQuery;
        q.close();
        q.clearLines();
        q.addLine(storedKeysSelect(m_merge.update.table, "ID", count));
        q.setParameters(keyParameters(keys, first, count));
        q.open();
        for (; !q.eof(); q.next()) {
            stored.insert(q.fieldValue("ID").toInteger());
        }
        q.close();
    }
    return stored;
}

std::map<std::int64_t, MergeEngine::StoredValues> MergeEngine::storedRows(
    const std::vector<std::int64_t>& keys) {
    std::map<std::int64_t, StoredValues> rows;
    const std::size_t chunk = rowsPerStatement(1);
    const std::string table = m_merge.update.table;
    for (std::size_t first = 0; first < keys.size(); first += chunk) {
        const std::size_t count = std::min(chunk, keys.size() - first);
        db::Query& q = m_q.tempQuery;
        q.close();
        q.clearLines();
        q.addLine(
            storedRowSelect("where " + table + ".ID in (" + parameterList("K_", count) + ")"));
        q.setParameters(keyParameters(keys, first, count));
        q.open();
        for (; !q.eof(); q.next()) {
            StoredValues values{std::vector<Value>(m_updatable.size()),
                                std::vector<Value>(m_updatable.size())};
            for (std::size_t i = 0; i < m_updatable.size(); ++i) {
                values.shown[i] = q.fieldValue(m_updatable[i]->staged);
                if (m_updatable[i]->kind == datasets::ColumnKind::ReferenceName) {
                    values.ids[i] = q.fieldValue(m_updatable[i]->written);
                }
            }
            rows.emplace(q.fieldValue("KeyID").toInteger(), std::move(values));
        }
        q.close();
    }
    return rows;
}

// The identifiers behind the names of the first `count` rows' reference
// columns, each name as the server finds it, blank ones included.
NameIds MergeEngine::namesOf(const std::vector<StagedRow>& rows, std::size_t count) {
    NameIds ids;
    for (const datasets::DatasetColumn& column : m_merge.dataset.columns) {
        if (column.kind != datasets::ColumnKind::ReferenceName) {
            continue;
        }
        std::vector<std::string> names;
        std::unordered_set<std::string> seen;
        for (std::size_t i = 0; i < count; ++i) {
            std::string name = rows[i].value(column).toText();
            if (seen.insert(name).second) {
                names.push_back(std::move(name));
            }
        }
        const std::vector<FoundName> found = lookUpNames(referencePassOver(column.staged), names);
        for (std::size_t i = 0; i < names.size(); ++i) {
            ids.add(column.staged, names[i], found[i]);
        }
    }
    return ids;
}

}  // namespace pos::transfer

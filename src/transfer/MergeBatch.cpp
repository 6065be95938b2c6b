// The merge a batch of rows at a time: a reference pass looks the names it
// needs up in a few selects and inserts the missing ones in multi-row
// inserts; the last pass reads a batch of staged rows, finds the stored keys,
// the stored rows and the reference names of the batch with one select each,
// then inserts the new rows and updates the stored ones in a few multi-row
// statements. The rules are those of a row at a time (MergeEngine.cpp and the
// dataset's merge), and so is the report: a statement the database refuses
// is undone, and its rows are merged again one at a time, so that each
// refused row is named as a row at a time names it.
#include <algorithm>
#include <cstdint>
#include <exception>
#include <limits>
#include <optional>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "common/Text.h"
#include "common/Unicode.h"
#include "db/DbError.h"
#include "transfer/MergeEngine.h"
#include "transfer/MergeStatements.h"

namespace pos::transfer {

// A row of the batched last pass, and what becomes of it.
struct MergeEngine::PlannedRow {
    enum class Kind {
        Counted,  // nothing to write: only counted
        Insert,
        Update,
        Alone,  // merged by itself, once the rows written before it are
    };
    Kind kind = Kind::Counted;
    std::int64_t key = 0;
    std::vector<Value> values;                          // an insert's
    std::vector<std::pair<const char*, Value>> writes;  // an update's
    std::function<void()> count;                        // counts the row once its statement is kept
    bool written = false;
};

namespace {

// A name's form loose enough that any two names a server's collation may
// take for one share it: trailing blanks, letter case, full-width forms
// (the width toggle of Chinese input methods types ＫＧ for KG), accents and
// kana aside, letters beyond ASCII taken for one another. Two names that
// share it are not known to differ; whether they are one is the database's
// to say.
std::string looseNameKey(std::string_view name) {
    std::string key;
    key.reserve(name.size());
    std::size_t at = 0;
    while (at < name.size()) {
        std::uint32_t c = nextCodePoint(name, at);
        if (c >= 0xFF01 && c <= 0xFF5E) {
            c -= 0xFEE0;  // full-width ASCII
        } else if (c == 0x3000) {
            c = ' ';
        }
        if (c >= 'A' && c <= 'Z') {
            c += 'a' - 'A';
        }
        if (c >= 0x0300 && c <= 0x036F) {
            continue;  // combining accents
        }
        const bool foldedAway = (c >= 0x0080 && c <= 0x024F) || (c >= 0x0370 && c <= 0x052F) ||
                                (c >= 0x1E00 && c <= 0x1EFF) || (c >= 0x3040 && c <= 0x30FF) ||
                                (c >= 0xFF61 && c <= 0xFFEF);
        appendUtf8(key, foldedAway ? 0x80 : c);
    }
    while (!key.empty() && key.back() == ' ') {
        key.pop_back();
    }
    return key;
}

// The names of a reference pass's result on `driver`, each once, in the
// order met, blank ones left out; `read`, when given, gets each name as the
// database gave it, and `rows` counts the rows.
std::vector<std::string> readPassNames(db::Query& driver, const datasets::ReferencePass& pass,
                                       std::vector<std::string>* read, int& rows) {
    const std::size_t columns =
        pass.names == datasets::ReferenceNames::Distinct ? 1 : pass.stagedColumns.size();
    // Each column's place in the result, found once; a column the result
    // lacks (-1) is asked for by name, which refuses it.
    std::vector<int> places;
    for (std::size_t c = 0; c < columns; ++c) {
        places.push_back(driver.fieldIndex(pass.stagedColumns[c]));
    }
    std::vector<std::string> names;
    std::unordered_set<std::string> seen;
    for (driver.first(); !driver.eof(); driver.next()) {
        ++rows;
        for (std::size_t c = 0; c < columns; ++c) {
            std::string name = places[c] >= 0 ? driver.fieldValue(places[c]).toText()
                                              : driver.fieldAsText(pass.stagedColumns[c]);
            if (read != nullptr) {
                read->push_back(name);
            }
            if (!isBlank(name) && seen.insert(name).second) {
                names.push_back(std::move(name));
            }
        }
    }
    return names;
}

bool isRefusal(const std::exception& e) {
    if (dynamic_cast<const RowNotUndone*>(&e) != nullptr) {
        return false;
    }
    const auto* dbError = dynamic_cast<const db::DbError*>(&e);
    return dbError == nullptr || !db::isEnvironmentFault(dbError->fault());
}

}  // namespace

std::size_t MergeEngine::rowsPerStatement(std::size_t parametersPerRow) const {
    return std::min(static_cast<std::size_t>(batchRows()),
                    rowsPerStatementLimit(dialect().kind(), parametersPerRow));
}

// The names of the pass as readPassNames reads them from the staging table,
// from those the staging pass noted, where it noted them and the program
// knows how the database compares names (the store, which also keeps each
// text as it was sent). A distinct pass keeps the first name of each that
// the database tells apart, in the order of their first rows, as the
// database's `select distinct` over the table gives them.
bool MergeEngine::stagedPassNames(const datasets::ReferencePass& pass,
                                  std::vector<std::string>* read, int& rows,
                                  std::vector<std::string>& names) const {
    const auto place = static_cast<std::size_t>(&pass - m_merge.dataset.referencePasses.data());
    if (place >= m_stagedKeys.passNames.size() || !m_stagedKeys.passNames[place] ||
        !dialect().nameKey("").has_value()) {
        return false;
    }
    const StagedNames& staged = *m_stagedKeys.passNames[place];
    std::vector<const std::optional<std::string>*> kept;
    if (pass.names == datasets::ReferenceNames::Distinct) {
        std::unordered_set<std::optional<std::string>> keys;
        for (const std::optional<std::string>& name : staged) {
            if (keys.insert(name ? dialect().nameKey(*name) : std::nullopt).second) {
                kept.push_back(&name);
            }
        }
        rows = static_cast<int>(kept.size());
    } else {
        for (const std::optional<std::string>& name : staged) {
            kept.push_back(&name);
        }
        rows = static_cast<int>(m_stagedKeys.rows);
    }
    for (const std::optional<std::string>* name : kept) {
        const std::string text = name->value_or("");
        if (read != nullptr) {
            read->push_back(text);
        }
        if (!isBlank(text)) {
            names.push_back(text);
        }
    }
    return true;
}

// The pass's names in the order a pass a name at a time visits them; the
// names it does not find are inserted under the numbers it would give them.
void MergeEngine::batchedReferencePass(const datasets::ReferencePass& pass) {
    m_step = pass.step;
    clearSubject();
    const std::string table = std::string("TEMP") + m_merge.dataset.key;
    db::Query& driver = m_q.sqlQuery;
    executePreamble(driver, m_options.database);
    std::vector<std::string>* distinct = nullptr;
    if (pass.names == datasets::ReferenceNames::Distinct) {
        distinct = &m_distinctNames[pass.stagedColumns.front()];
        distinct->clear();
    }
    int rowCount = 0;
    std::vector<std::string> names;
    if (!stagedPassNames(pass, distinct, rowCount, names)) {
        // One staged row at a time in memory, however many there are.
        const db::ForwardOnly forwardOnly(driver);
        openStatement(driver, pass.names == datasets::ReferenceNames::Distinct
                                  ? distinctPass(pass.stagedColumns.front(), table)
                                  : stagedColumnsSelect(pass.stagedColumns, table));
        names = readPassNames(driver, pass, distinct, rowCount);
        driver.close();
    }
    if (m_view.stopRequested()) {
        throw StopRequested();
    }
    m_reportAtPassStart = m_report;
    m_lostPass.clear();
    m_transaction.begin();

    const std::vector<FoundName> found = lookUpNames(pass, names);
    // A name missing when the pass began may be one the pass has created
    // since (Soup, then soup; ＫＧ, then KG on a server whose collation
    // ignores width): the rows created so far are inserted and the server
    // asked again, as a name at a time asks it.
    std::unordered_set<std::string> created;
    std::vector<CreatedReference> rows;
    std::vector<std::int64_t> largest;
    std::exception_ptr stop;
    for (std::size_t i = 0; i < names.size() && !stop; ++i) {
        if (!found[i].id.isNull()) {
            continue;
        }
        if (!created.insert(looseNameKey(names[i])).second) {
            insertReferences(pass, rows);
            rows.clear();
            if (!lookUpNames(pass, {names[i]}).front().id.isNull()) {
                continue;
            }
        }
        setSubject(pass.subject + inQuotes(names[i]));
        try {
            if (pass.nameNumberedZero != nullptr && trimmed(names[i]) == pass.nameNumberedZero) {
                rows.push_back({pass.step, names[i], 0});
                for (std::int64_t& value : largest) {
                    value = std::max<std::int64_t>(value, 0);
                }
                continue;
            }
            if (largest.empty()) {
                // Above every stored number, and above the rows this pass
                // numbered before (named 0).
                for (const char* column : pass.numberedColumns) {
                    largest.push_back(largestNumber(column, pass.numberedTable));
                    for (const CreatedReference& row : rows) {
                        largest.back() = std::max(largest.back(), row.id);
                    }
                }
            }
            std::int64_t id = std::numeric_limits<std::int64_t>::min();
            for (std::size_t c = 0; c < largest.size(); ++c) {
                if (largest[c] == std::numeric_limits<std::int32_t>::max()) {
                    throw ConversionError(std::string(pass.numberedTable) + "的" +
                                          pass.numberedColumns[c] + "已达整数上限，无法编号");
                }
                id = std::max(id, largest[c] + 1);
            }
            for (std::int64_t& value : largest) {
                value = std::max(value, id);
            }
            rows.push_back({pass.step, names[i], id});
        } catch (...) {
            stop = std::current_exception();
        }
    }
    const std::string subject = subjectText();
    clearSubject();
    insertReferences(pass, rows);
    // The gauge moves as a pass a name at a time moves it.
    for (int ordinal = pass.firstOrdinal; ordinal < pass.firstOrdinal + rowCount; ++ordinal) {
        m_progress.step(ordinal, rowCount, m_merge.dataset.mergePassSpan);
    }
    if (stop) {
        setSubject(subject);
        std::rethrow_exception(stop);
    }
    commitPass();
}

// The largest `column` of `table`, 0 when it has no row or only NULL there,
// in one select on the database the pass chose.
std::int64_t MergeEngine::largestNumber(const char* column, const char* table) {
    const std::string source = table;
    openStatement(m_q.tempQuery2,
                  "select Max(" + std::string(column) + ") as MaxId from " + source);
    const Value largest = m_q.tempQuery2.eof() ? Value() : m_q.tempQuery2.fieldValue("MaxId");
    m_q.tempQuery2.close();
    if (largest.isNull()) {
        return 0;
    }
    return toInt32(largest, source + "的最大" + column + inQuotes(largest.toText()));
}

// Inserts the reference rows in multi-row inserts; a statement the database
// refuses is undone and its rows are inserted one at a time, so that the
// first one refused stops the merge and is named.
void MergeEngine::insertReferences(const datasets::ReferencePass& pass,
                                   const std::vector<CreatedReference>& rows) {
    const ParameterisedInsert insert(pass.insert);
    const std::size_t perRow = pass.idParameters.size() + 1 + pass.fixedParameters.size();
    const std::size_t chunk = rowsPerStatement(perRow);
    const auto paramsOf = [&](const CreatedReference& row, const std::string& suffix) {
        db::Parameters params;
        for (const char* parameter : pass.idParameters) {
            params.emplace_back(parameter + suffix, Value::integer(row.id));
        }
        params.emplace_back(pass.nameParameter + suffix, Value::text(row.name));
        for (const datasets::FixedParameter& fixed : pass.fixedParameters) {
            params.emplace_back(fixed.name + suffix, Value::integer(fixed.value));
        }
        return params;
    };
    for (std::size_t first = 0; first < rows.size(); first += chunk) {
        const std::size_t count = std::min(chunk, rows.size() - first);
        db::Parameters params;
        for (std::size_t j = 0; j < count; ++j) {
            for (auto& parameter : paramsOf(rows[first + j], "_" + std::to_string(j))) {
                params.push_back(std::move(parameter));
            }
        }
        bool kept = true;
        setSubject(count == 1 ? pass.subject + inQuotes(rows[first].name) : std::string());
        try {
            m_transaction.runInsert(m_q.tempQuery2, insert.rows(count), params, false);
        } catch (const std::exception& e) {
            if (!isRefusal(e) || count == 1) {
                throw;
            }
            kept = false;
        }
        for (std::size_t j = 0; j < count; ++j) {
            const CreatedReference& row = rows[first + j];
            if (!kept) {
                setSubject(pass.subject + inQuotes(row.name));
                insertReference(pass.insert, paramsOf(row, ""));
            }
            m_report.created.push_back(row);
        }
        clearSubject();
    }
}

// The last pass over the staging table, a batch of rows at a time.
void MergeEngine::batchedLastPass() {
    m_step = m_merge.lastStep;
    clearSubject();
    m_passKeys.clear();
    const std::string table = std::string("TEMP") + m_merge.dataset.key;
    db::Query& driver = m_q.sqlQuery;
    executePreamble(driver, m_options.database);
    const db::ForwardOnly forwardOnly(driver);
    openStatement(driver, " select * from " + table + "   ");
    m_reportAtPassStart = m_report;
    m_lostPass.clear();
    m_transaction.begin();
    driver.first();
    openStatement(m_q.tempQuery, "select count(*) as n from " + table);
    const int rowCount = static_cast<int>(m_q.tempQuery.fieldValue("n").toInteger());
    m_q.tempQuery.close();

    const auto columns = std::make_shared<const StagedColumns>(driver, m_merge.dataset);
    std::vector<StagedRow> rows;
    int ordinal = 0;
    while (!driver.eof()) {
        rows.emplace_back(columns, driver);
        driver.next();
        if (rows.size() < static_cast<std::size_t>(batchRows()) && !driver.eof()) {
            continue;
        }
        if (m_view.stopRequested()) {
            throw StopRequested();
        }
        mergeBatch(rows);
        for (std::size_t i = 0; i < rows.size(); ++i) {
            m_progress.step(++ordinal, rowCount, m_merge.dataset.mergePassSpan);
        }
        rows.clear();
    }
    clearSubject();
    commitPass();
}

// Plans the rows up to the first one the merge cannot take, writes them,
// counts them in order, then stops at that row as a row at a time stops.
void MergeEngine::mergeBatch(const std::vector<StagedRow>& rows) {
    std::vector<PlannedRow> plan;
    std::exception_ptr stop;
    std::string subject;
    try {
        planBatch(rows, plan);
    } catch (...) {
        stop = std::current_exception();
        subject = subjectText();
    }
    clearSubject();
    try {
        writeBatch(plan);
    } catch (...) {
        // What was kept is counted before the merge stops.
        for (PlannedRow& row : plan) {
            if (row.written || row.kind == PlannedRow::Kind::Counted) {
                row.count();
            }
        }
        throw;
    }
    finishBatch(rows, plan);
    if (stop) {
        setSubject(subject);
        std::rethrow_exception(stop);
    }
}

// Decides each row's fate with one select for the stored keys, one for the
// stored rows and one for each reference column's names; a row that throws
// ends the plan before it.
void MergeEngine::planBatch(const std::vector<StagedRow>& rows, std::vector<PlannedRow>& plan) {
    std::vector<std::optional<std::int64_t>> keys;
    std::vector<std::int64_t> known;
    std::exception_ptr stop;
    for (const StagedRow& row : rows) {
        try {
            keys.push_back(m_merge.batched.keyOf(*this, row));
        } catch (...) {
            stop = std::current_exception();
            break;
        }
        if (keys.back()) {
            known.push_back(*keys.back());
        }
    }
    const std::string subject = subjectText();
    clearSubject();
    const std::unordered_set<std::int64_t> stored = storedKeys(known);
    std::vector<std::int64_t> storedList;
    for (std::int64_t key : known) {
        if (stored.count(key) != 0) {
            storedList.push_back(key);
        }
    }
    const std::map<std::int64_t, StoredValues> storedValues =
        m_updatable.empty() ? std::map<std::int64_t, StoredValues>{} : storedRows(storedList);
    const NameIds names = namesOf(rows, keys.size());
    const FindName findName = [&names](const char* staged, const std::string& name) {
        return names.find(staged, name);
    };

    for (std::size_t i = 0; i < keys.size(); ++i) {
        const StagedRow& row = rows[i];
        PlannedRow planned;
        // A key met before in the pass, or one that only the database can
        // compare: merged as a row at a time merges it.
        if (!keys[i] || !m_passKeys.insert(*keys[i]).second) {
            planned.kind = PlannedRow::Kind::Alone;
            plan.push_back(std::move(planned));
            continue;
        }
        planned.key = *keys[i];
        const std::string key = std::to_string(planned.key);
        m_merge.batched.keyOf(*this, row);  // the row's subject
        if (stored.count(planned.key) != 0) {
            const auto at = storedValues.find(planned.key);
            if (at == storedValues.end()) {
                planned.count = [this] { ++m_report.alreadyExisting; };
            } else {
                std::vector<CellWrite> writes = plannedWrites(row, at->second, findName);
                if (!m_report.updatesOffered) {
                    planned.count = [this, differs = !writes.empty(), key] {
                        countStoredRowLeft(differs, key);
                    };
                } else if (writes.empty()) {
                    planned.count = [this] { ++m_report.unchanged; };
                } else {
                    planned.kind = PlannedRow::Kind::Update;
                    for (const CellWrite& write : writes) {
                        planned.writes.emplace_back(m_updatable[write.index]->written, write.value);
                    }
                    planned.count = [this, writes = std::move(writes), stored = at->second, key] {
                        countUpdated(writes, stored, key);
                    };
                }
            }
        } else {
            std::vector<const char*> without;
            planned.values.reserve(m_merge.dataset.columns.size() + m_merge.newRowFixed.size());
            m_merge.batched.newRow(*this, row, names, planned.values, without);
            planned.kind = PlannedRow::Kind::Insert;
            planned.count = [this, without = std::move(without), key] {
                ++m_report.inserted;
                for (const char* staged : without) {
                    noteWithoutReference(staged, key);
                }
            };
        }
        plan.push_back(std::move(planned));
    }
    setSubject(subject);
    if (stop) {
        std::rethrow_exception(stop);
    }
}

void MergeEngine::writeBatch(std::vector<PlannedRow>& plan) {
    insertNewRows(plan);
    updateRows(plan);
}

// Sends one statement of a batch, fenced as a row is: false when the
// database refused it (and it was undone), so that its rows go one at a
// time. A fault of the database or its surroundings stops the merge.
bool MergeEngine::sendBatch(const std::string& statement, db::Parameters params) {
    try {
        m_transaction.runInsert(m_q.tempQuery2, statement, std::move(params), true);
        return true;
    } catch (const std::exception& e) {
        if (!isRefusal(e)) {
            throw;
        }
        return false;
    }
}

void MergeEngine::insertNewRows(std::vector<PlannedRow>& plan) {
    std::vector<PlannedRow*> rows;
    for (PlannedRow& row : plan) {
        if (row.kind == PlannedRow::Kind::Insert) {
            rows.push_back(&row);
        }
    }
    const std::vector<std::string> columns = newRowColumns();
    const std::size_t chunk = rowsPerStatement(columns.size());
    for (std::size_t first = 0; first < rows.size(); first += chunk) {
        const std::size_t count = std::min(chunk, rows.size() - first);
        // The values by their place, in the order of the markers; a row
        // whose statement is refused is merged again from its staged row.
        db::Parameters params;
        params.reserve(count * columns.size());
        for (std::size_t j = 0; j < count; ++j) {
            std::vector<Value>& values = rows[first + j]->values;
            for (std::size_t c = 0; c < columns.size(); ++c) {
                params.emplace_back(std::string(), std::move(values[c]));
            }
            values.clear();
        }
        auto statement = m_newRowsInserts.find(count);
        if (statement == m_newRowsInserts.end()) {
            statement =
                m_newRowsInserts
                    .emplace(count, newRowsInsert(
                                        m_merge.update.table != nullptr ? m_merge.update.table : "",
                                        columns, m_merge.newRowFixed, count))
                    .first;
        }
        const bool kept = sendBatch(statement->second, std::move(params));
        for (std::size_t j = 0; j < count; ++j) {
            rows[first + j]->written = kept;
        }
    }
}

void MergeEngine::updateRows(std::vector<PlannedRow>& plan) {
    std::vector<PlannedRow*> rows;
    for (PlannedRow& row : plan) {
        if (row.kind == PlannedRow::Kind::Update) {
            rows.push_back(&row);
        }
    }
    std::size_t first = 0;
    while (first < rows.size()) {
        // As many rows as one statement carries: a key once in the list and
        // a key and a value for each cell written.
        std::size_t count = 0;
        std::size_t parameters = 0;
        while (first + count < rows.size()) {
            const std::size_t more = 1 + 2 * rows[first + count]->writes.size();
            if (count > 0 && (count >= static_cast<std::size_t>(batchRows()) ||
                              rowsPerStatementLimit(dialect().kind(), parameters + more) == 0)) {
                break;
            }
            parameters += more;
            ++count;
        }
        std::vector<RowUpdate> updates;
        db::Parameters params;
        for (std::size_t j = 0; j < count; ++j) {
            const PlannedRow& row = *rows[first + j];
            RowUpdate update{"K_" + std::to_string(j), {}};
            params.emplace_back(update.keyParameter, Value::integer(row.key));
            for (const auto& [column, value] : row.writes) {
                update.columns.emplace_back(column, std::string(column) + "_" + std::to_string(j));
                params.emplace_back(update.columns.back().second, value);
            }
            updates.push_back(std::move(update));
        }
        const bool kept =
            sendBatch(storedRowsUpdate(m_merge.update.table, "ID", updates), std::move(params));
        for (std::size_t j = 0; j < count; ++j) {
            rows[first + j]->written = kept;
        }
        first += count;
    }
}

// Counts the rows in order; a row whose statement was refused, or whose key
// the pass met before, is merged again by itself.
void MergeEngine::finishBatch(const std::vector<StagedRow>& rows, std::vector<PlannedRow>& plan) {
    std::size_t i = 0;
    try {
        for (; i < plan.size(); ++i) {
            PlannedRow& row = plan[i];
            if (row.kind == PlannedRow::Kind::Counted || row.written) {
                row.count();
                continue;
            }
            m_row = rows[i];
            m_merge.mergeRow(*this);
        }
    } catch (...) {
        // The rows written after the one that stopped the merge are counted.
        for (++i; i < plan.size(); ++i) {
            if (plan[i].written) {
                plan[i].count();
            }
        }
        throw;
    }
    clearSubject();
}

}  // namespace pos::transfer

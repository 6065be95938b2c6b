// The pass engine of the merge: the reference passes of a dataset's
// definition, the last pass over the staged rows a row at a time, refused
// rows, progress, stop requests and the report (batches: MergeBatch.cpp; the
// update of stored rows: MergeUpdate.cpp).
#include "transfer/MergeEngine.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <utility>

#include "common/Text.h"
#include "db/DbError.h"

namespace pos::transfer {

std::string inQuotes(std::string_view text) {
    return "“" + std::string(text) + "”";
}

std::int32_t toInt32(const Value& value, const std::string& what) {
    if (value.isNull()) {
        throw ConversionError(what + "为空");
    }
    std::int64_t wide = 0;
    try {
        wide = value.toInteger();
    } catch (const std::exception&) {
        throw ConversionError(what + "不是数字");
    }
    if (wide < std::numeric_limits<std::int32_t>::min() ||
        wide > std::numeric_limits<std::int32_t>::max()) {
        throw ConversionError(what + "超出整数范围");
    }
    return static_cast<std::int32_t>(wide);
}

double numericValue(const Value& value, std::string_view column) {
    switch (value.type()) {
        case ValueType::Null:
            return 0;
        case ValueType::Integer:
            return static_cast<double>(value.asInteger());
        case ValueType::Float:
            return value.asFloat();
        case ValueType::Boolean:
            return value.asBoolean() ? -1 : 0;
        case ValueType::Decimal:
        case ValueType::Text: {
            std::string t = trimmed(value.toText());
            if (t.empty()) {
                return 0;
            }
            char* end = nullptr;
            double d = std::strtod(t.c_str(), &end);
            if (end != nullptr && *end == '\0' && std::isfinite(d)) {
                return d;
            }
            break;
        }
        case ValueType::DateTime:
        case ValueType::Error:
            break;
    }
    throw ConversionError(std::string(column) + "的值" + inQuotes(value.toText()) + "不是数字");
}

void Progress::step(int ordinal, int rowCount, int span) {
    if (rowCount <= 0) {
        return;
    }
    double share = static_cast<double>(ordinal) / rowCount * span;
    m_position = m_base + static_cast<int>(std::trunc(share));
    m_view.setProgress(m_position);
}

MergeEngine::MergeEngine(const DatasetMerge& merge, TransferQueries& queries,
                         const TransferOptions& options, int& progressBase, TransferView& view,
                         const std::vector<ImportedColumn>& columns, StagedKeys staged)
    : m_merge(merge),
      m_q(queries),
      m_options(options),
      m_columns(columns),
      m_stagedKeys(std::move(staged)),
      m_view(view),
      m_progress(progressBase, view),
      m_transaction(queries.connection, "merged_row"),
      m_dataset(merge.dataset.displayText) {
    for (const datasets::DatasetColumn& column : merge.dataset.columns) {
        if (column.written != nullptr) {
            m_updatable.push_back(&column);
        }
        if (column.withoutReference != nullptr) {
            m_report.withoutReference.push_back(
                {column.staged, column.withoutReference, merge.dataset.keyName, {}});
        }
    }
    // A dataset whose rows hold nothing beyond their key (the annotations)
    // has nothing to update.
    m_report.updatesOffered = options.importChoices.updateExisting && !m_updatable.empty();
    m_report.keyName = merge.dataset.keyName;
}

void MergeEngine::noteWithoutReference(const char* staged, const std::string& key) {
    for (MergeReport::RowsWithoutReference& rows : m_report.withoutReference) {
        if (equalsIgnoreCase(rows.staged, staged)) {
            rows.keys.push_back(key);
            return;
        }
    }
    throw std::logic_error(std::string("no reference warning for ") + staged);
}

// Runs one dataset's passes; any failure outside the protected inserts
// becomes MergeStopped, naming where it happened.
void MergeEngine::run() {
    try {
        passes();
    } catch (const StopRequested&) {
        // The pass in progress is undone where the database allows it.
        std::string failure;
        const bool rolledBack = m_transaction.rollBack(failure);
        std::string text = "数据合并在" + m_dataset + "的" + inQuotes(m_step) + "一步停止：" +
                           m_view.stopReason() + "。\n";
        if (!rolledBack) {
            text += "在此之前的数据已写入数据库。";
        } else if (failure.empty()) {
            m_report = m_reportAtPassStart;
            text += "这一步写入的数据已撤销，此前各步的数据已写入数据库。";
        } else {
            text += "这一步写入的数据未能撤销（" + failure +
                    "），请检查数据库中这一步的数据；此前各步的数据已写入数据库。";
        }
        throw MergeStopped(text + "重新导入时，已写入的数据不会重复导入。", m_report);
    } catch (const std::exception& e) {
        // What the pass wrote before the stop is kept.
        std::string lost;
        if (m_transaction.open()) {
            try {
                m_transaction.commit();
            } catch (const std::exception& commitError) {
                lost = commitError.what();
            }
        } else if (!m_transaction.lost().empty()) {
            lost = m_transaction.lost();
        } else {
            lost = m_lostPass;
        }
        if (!lost.empty()) {
            m_report = m_reportAtPassStart;
        }
        throw MergeStopped(stopMessage(e.what(), lost), m_report);
    }
}

// Opens a pass on the driving cursor and handles its rows one by one,
// moving the gauge after each; `firstOrdinal` is the ordinal of the first
// row in the progress arithmetic.
void MergeEngine::walkPass(const char* step, const std::string& statement, int span,
                           int firstOrdinal, const std::function<void()>& handleRow,
                           const std::string& countStatement) {
    m_step = step;
    clearSubject();
    db::Query& driver = m_q.sqlQuery;
    executePreamble(driver, m_options.database);
    // A pass over the whole staging table counts its rows apart and
    // holds one row at a time.
    driver.setForwardOnly(!countStatement.empty());
    struct BackToWhole {
        db::Query& query;
        ~BackToWhole() { query.setForwardOnly(false); }
    } backToWhole{driver};
    openStatement(driver, statement);
    m_reportAtPassStart = m_report;
    m_lostPass.clear();
    m_transaction.begin();
    driver.first();
    // The row count of the progress arithmetic; counting a pass over the
    // whole staging table apart keeps its rows from being read at once.
    int rowCount = -1;
    if (!countStatement.empty()) {
        openStatement(m_q.tempQuery, countStatement);
        rowCount = static_cast<int>(m_q.tempQuery.fieldValue("n").toInteger());
        m_q.tempQuery.close();
    }
    int ordinal = firstOrdinal;
    while (!driver.eof()) {
        if (m_view.stopRequested()) {
            throw StopRequested();
        }
        handleRow();
        m_progress.step(ordinal, rowCount >= 0 ? rowCount : driver.recordCount(), span);
        ++ordinal;
        driver.next();
    }
    clearSubject();
    commitPass();
}

// Commits the pass; a commit that fails loses the whole pass, which the
// report then names.
void MergeEngine::commitPass() {
    try {
        m_transaction.commit();
    } catch (const std::exception& e) {
        m_lostPass = e.what();
        throw;
    }
    m_progress.endPass();
}

// A blank name needs no reference row; a name not yet stored gets one.
void MergeEngine::ensureReference(const std::string& name, const std::string& lookup,
                                  const std::function<void()>& insert) {
    if (isBlank(name)) {
        return;
    }
    openStatement(m_q.tempQuery, lookup + quoted(name));
    if (m_q.tempQuery.eof()) {
        insert();
    }
}

// The first column value of a lookup, NULL when it finds no row.
Value MergeEngine::lookupValue(const std::string& statement, const std::string& column) {
    openStatement(m_q.tempQuery, statement);
    if (m_q.tempQuery.eof()) {
        return Value();
    }
    return m_q.tempQuery.fieldValue(column);
}

// Whether a row with the staged row's key is already stored. A key the
// server cannot even compare (a table number "A01" against an integer ID
// on SQL Server) counts as not stored: the insert that follows is then
// refused and recorded with the database's reason, instead of stopping
// the merge. Any other failure of the lookup stops the merge: it does not
// tell whether the row is stored, and inserting it anyway could store it
// twice (annotations have no unique key).
bool MergeEngine::exists(const std::string& statement, const db::Parameters& params) {
    db::Query& q = m_q.tempQuery;
    try {
        q.close();
        q.clearLines();
        q.addLine(statement);
        for (const auto& [name, value] : params) {
            q.setParameter(name, value);
        }
        q.open();
        return !q.eof();
    } catch (const db::DbError& e) {
        if (e.fault() == db::DbFault::TypeMismatch) {
            return false;
        }
        throw;
    }
}

Value MergeEngine::nextId(const std::string& column, const std::string& source) {
    std::int64_t largest = queryMaxId(m_q.tempQuery2, m_options.database, column, source);
    if (largest == std::numeric_limits<std::int32_t>::max()) {
        throw ConversionError(source + "的" + column + "已达整数上限，无法编号");
    }
    return Value::integer(largest + 1);
}

// A reference row that the database refuses stops the merge: the rows
// that refer to it could not be stored either.
void MergeEngine::insertReference(const std::string& statement, const db::Parameters& params) {
    m_transaction.runInsert(m_q.tempQuery2, statement, params, false);
}

bool MergeEngine::insertRow(const std::string& statement, const db::Parameters& params,
                            const std::string& key) {
    if (!writeRow(statement, params, key)) {
        return false;
    }
    ++m_report.inserted;
    return true;
}

// A last-pass row (an insert, or the update of a stored row) that the
// database refuses is left out and recorded with its key and the
// database's reason; the pass goes on.
bool MergeEngine::writeRow(const std::string& statement, const db::Parameters& params,
                           const std::string& key) {
    try {
        m_transaction.runInsert(m_q.tempQuery2, statement, params, true);
        return true;
    } catch (const RowNotUndone&) {
        throw;
    } catch (const db::DbError& e) {
        // A busy, full or read-only database would refuse every further
        // row alike: the merge stops instead of blaming each row.
        if (db::isEnvironmentFault(e.fault())) {
            throw;
        }
        m_report.refused.push_back({m_merge.dataset.keyName, key, e.what()});
        return false;
    } catch (const std::exception& e) {
        m_report.refused.push_back({m_merge.dataset.keyName, key, e.what()});
        return false;
    }
}

// A name as a literal of a lookup, compared as the server compares
// names: trailing blanks and ASCII letter case ignored.
std::string MergeEngine::quoted(const std::string& name) const {
    const db::Dialect& dialect = m_q.connection.dialect();
    return dialect.stringLiteral(name) + dialect.nameCollation();
}

// The distinct names of a staging column, equal names once.
std::string MergeEngine::distinctPass(const std::string& column, const std::string& table) const {
    const std::string collation = m_q.connection.dialect().nameCollation();
    if (collation.empty()) {
        return " select distinct(" + column + ") from " + table + "   ";
    }
    return " select distinct(" + column + collation + ") as " + column + " from " + table + "   ";
}

// `lost` is the database's reason when the rows of the stopped step
// could not be kept.
std::string MergeEngine::stopMessage(const std::string& reason, const std::string& lost) const {
    std::string text = "数据合并在" + m_dataset + "的" + inQuotes(m_step) + "一步中止";
    if (const std::string subject = subjectText(); !subject.empty()) {
        text += "，" + subject;
    }
    text += "：" + reason;
    if (lost.empty()) {
        text += "\n在此之前的数据已写入数据库。";
    } else {
        text += "\n这一步已写入的数据未能保存（" + lost + "），此前各步的数据已写入数据库。";
    }
    return text + "请改正后重新导入，已写入的数据不会重复导入。";
}

// The heading of the worksheet column that fills staging column
// `column`, or nullptr when the workbook does not hold it.
const std::string* MergeEngine::headingOf(const char* column) const {
    for (const ImportedColumn& imported : m_columns) {
        if (equalsIgnoreCase(imported.column, column)) {
            return &imported.heading;
        }
    }
    return nullptr;
}

// The reference passes of the dataset's definition, then the last pass over
// the whole staging table: a batch of rows at a time, or one by one.
void MergeEngine::passes() {
    const bool batched = batchRows() > 1;
    for (const datasets::ReferencePass& pass : m_merge.dataset.referencePasses) {
        if (batched) {
            batchedReferencePass(pass);
        } else {
            referencePass(pass);
        }
    }
    const std::string table = std::string("TEMP") + m_merge.dataset.key;
    if (batched && m_merge.batched.keyOf != nullptr) {
        if (defineAtOnceFunctions() && allStagedRowsNew(table)) {
            lastPassAtOnce(table);
        } else {
            batchedLastPass();
        }
        return;
    }
    std::shared_ptr<const StagedColumns> columns;
    walkPass(
        m_merge.lastStep, " select * from " + table + "   ", m_merge.dataset.mergePassSpan, 1,
        [this, &columns] {
            if (!columns) {
                columns = std::make_shared<StagedColumns>(m_q.sqlQuery, m_merge.dataset);
            }
            m_row = StagedRow(columns, m_q.sqlQuery);
            m_merge.mergeRow(*this);
        },
        "select count(*) as n from " + table);
}

int MergeEngine::batchRows() const {
    return std::max(m_options.mergeBatchRows, 1);
}

void MergeEngine::referencePass(const datasets::ReferencePass& pass) {
    const std::string table = std::string("TEMP") + m_merge.dataset.key;
    const auto visit = [&](const char* column) {
        std::string name = m_q.sqlQuery.fieldAsText(column);
        setSubject(pass.subject + inQuotes(name));
        ensureReference(name, pass.lookup, [&] {
            Value id = newReferenceId(pass, name);
            db::Parameters params;
            for (const char* parameter : pass.idParameters) {
                params.emplace_back(parameter, id);
            }
            params.emplace_back(pass.nameParameter, Value::text(name));
            for (const datasets::FixedParameter& fixed : pass.fixedParameters) {
                params.emplace_back(fixed.name, Value::integer(fixed.value));
            }
            insertReference(pass.insert, params);
            m_report.created.push_back({pass.step, name, id.asInteger()});
        });
    };
    const int span = m_merge.dataset.mergePassSpan;
    if (pass.names == datasets::ReferenceNames::Distinct) {
        const char* column = pass.stagedColumns.front();
        walkPass(pass.step, distinctPass(column, table), span, pass.firstOrdinal,
                 [&] { visit(column); });
        return;
    }
    walkPass(
        pass.step, " select * from " + table + "   ", span, pass.firstOrdinal,
        [&] {
            for (const char* column : pass.stagedColumns) {
                visit(column);
            }
        },
        "select count(*) as n from " + table);
}

Value MergeEngine::newReferenceId(const datasets::ReferencePass& pass, const std::string& name) {
    if (pass.nameNumberedZero != nullptr && trimmed(name) == pass.nameNumberedZero) {
        return Value::integer(0);
    }
    Value id;
    for (const char* column : pass.numberedColumns) {
        Value next = nextId(column, pass.numberedTable);
        if (id.isNull() || next.asInteger() > id.asInteger()) {
            id = next;
        }
    }
    return id;
}

// The reference pass over a staging column, which an updated column of the
// same name looks its names up as.
const datasets::ReferencePass& MergeEngine::referencePassOver(const char* column) const {
    for (const datasets::ReferencePass& pass : m_merge.dataset.referencePasses) {
        for (const char* staged : pass.stagedColumns) {
            if (equalsIgnoreCase(staged, column)) {
                return pass;
            }
        }
    }
    throw std::logic_error(std::string("no reference pass over ") + column);
}

}  // namespace pos::transfer

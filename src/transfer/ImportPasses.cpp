// The import worker's staging pass: each row's cells as the statement takes
// them, empty rows, repeated keys, rows sent many to a statement, the rows
// the database refuses and the column named for them.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/Text.h"
#include "datasets/Datasets.h"
#include "db/DbError.h"
#include "transfer/ImThread.h"
#include "transfer/ImportDetail.h"
#include "transfer/RowTransaction.h"
#include "transfer/Staging.h"
#include "workbook/SpreadsheetSession.h"

namespace pos::transfer {

using detail::makeCellParameter;
using detail::PassStopped;

namespace {

// A text of nothing but blanks: spaces, tabs, line breaks and the ideographic
// space that Chinese input methods type.
bool isBlankText(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        if (static_cast<unsigned char>(text[i]) <= ' ') {
            ++i;
        } else if (i + 2 < text.size() && text[i] == '\xE3' && text[i + 1] == '\x80' &&
                   text[i + 2] == '\x80') {
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

}  // namespace

// A cell as the statement receives it. A spreadsheet keeps every number as a
// double; a whole number goes on as an integer, so that a table number typed
// as 12 reaches a text column as "12" (the server's conversion), not "12.0".
// A cell of blanks is empty, in every column: no value, so that a column
// that needs one refuses it as it refuses an empty cell (an empty price is 0,
// an empty name is refused), and no name of blanks is stored, which the next
// export would show as an empty cell that its import refuses. A text column
// takes a boolean or a date as the spreadsheet shows it. Every other value is
// handed over as the workbook holds it.
void detail::makeCellParameter(Value& value, bool textColumn) {
    switch (value.type()) {
        case ValueType::Float: {
            const double d = value.asFloat();
            if (std::isfinite(d) && d == std::trunc(d) && std::fabs(d) < 9.0e15) {
                value.setInteger(static_cast<std::int64_t>(d));
            }
            return;
        }
        case ValueType::Text:
            if (isBlankText(value.asText())) {
                value.setNull();
            }
            return;
        case ValueType::Boolean:
            if (textColumn) {
                value = Value::text(value.asBoolean() ? "TRUE" : "FALSE");
            }
            return;
        case ValueType::DateTime:
            if (textColumn) {
                value = Value::text(value.toText());
            }
            return;
        default:
            return;
    }
}

Value detail::cellParameter(Value value, bool textColumn) {
    makeCellParameter(value, textColumn);
    return value;
}

namespace {

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

// Stages the worksheet rows of one statement: nothing when the database
// accepts them, its refusal when it refuses them, which are then undone
// alone. A fault that every further row would meet, or the end of the pass's
// transaction, stops the pass, naming `row`.
std::optional<Refusal> stageRow(RowTransaction& transaction, db::Query& query,
                                const std::string& statement, db::Parameters params, RowEnd end,
                                int row) {
    try {
        transaction.runRow(query, statement, std::move(params), end);
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

// Worksheet rows on their way to the staging table, sent in statements of
// up to `perStatement` rows. A statement the database refuses is undone and
// its rows sent again in halves, down to single rows in the one-row
// statement, so that each refused row is found and named with the words the
// database has for it alone. Accepted rows reach the table in worksheet
// order. The cells go into the statement, not a copy of them: the rows of a
// refused statement are read again from the worksheet.
class StagedRows {
public:
    using Refused = std::function<void(int row, const std::vector<Value>& cells, const Refusal&)>;
    using ReadRow = std::function<std::vector<Value>(int row)>;

    StagedRows(RowTransaction& transaction, db::Query& query, const StagingInsert& single,
               const datasets::Dataset& dataset, const std::vector<std::string>& matchedColumns,
               std::size_t perStatement, RowEnd end, ReadRow readRow, Refused refused)
        : m_transaction(transaction),
          m_query(query),
          m_single(single),
          m_dataset(dataset),
          m_matchedColumns(matchedColumns),
          m_perStatement(std::max<std::size_t>(perStatement, 1)),
          m_end(end),
          m_readRow(std::move(readRow)),
          m_refused(std::move(refused)) {}

    // Adds a row, `cells` one per worksheet column, as `readRow` reads it;
    // a full statement goes.
    void add(int row, std::vector<Value> cells) {
        if (m_rows.empty()) {
            m_params.reserve(m_perStatement * cells.size());
        }
        m_rows.push_back(row);
        // The values in the order of the statement's markers, given by their
        // place: no name is built for each cell.
        for (std::size_t i = 0; i < cells.size(); ++i) {
            if (static_cast<int>(i) + 1 != m_single.skippedColumn) {
                m_params.emplace_back(std::string(), std::move(cells[i]));
            }
        }
        if (m_rows.size() >= m_perStatement) {
            send();
        }
    }

    // Sends the rows that wait.
    void send() {
        if (m_rows.size() == 1) {
            sendAlone(m_rows.front(), m_readRow(m_rows.front()));
        } else if (!m_rows.empty() && stageRow(m_transaction, m_query, statementFor(m_rows.size()),
                                               std::move(m_params), m_end, m_rows.front())) {
            std::vector<std::vector<Value>> cells;
            for (int row : m_rows) {
                cells.push_back(m_readRow(row));
            }
            const std::size_t middle = m_rows.size() / 2;
            sendRange(cells, 0, middle);
            sendRange(cells, middle, m_rows.size());
        }
        m_rows.clear();
        m_params.clear();
    }

private:
    // The rows from `from` to `to` of a refused statement, `cells` theirs.
    void sendRange(const std::vector<std::vector<Value>>& cells, std::size_t from, std::size_t to) {
        if (to - from == 1) {
            sendAlone(m_rows[from], cells[from]);
            return;
        }
        db::Parameters params;
        for (std::size_t r = from; r < to; ++r) {
            for (std::size_t i = 0; i < cells[r].size(); ++i) {
                if (static_cast<int>(i) + 1 != m_single.skippedColumn) {
                    params.emplace_back(std::string(), cells[r][i]);
                }
            }
        }
        if (stageRow(m_transaction, m_query, statementFor(to - from), std::move(params), m_end,
                     m_rows[from])) {
            const std::size_t middle = from + (to - from) / 2;
            sendRange(cells, from, middle);
            sendRange(cells, middle, to);
        }
    }

    // One row by the one-row statement, its markers named as its columns.
    void sendAlone(int row, const std::vector<Value>& cells) {
        db::Parameters params;
        for (std::size_t i = 0; i < cells.size(); ++i) {
            if (static_cast<int>(i) + 1 != m_single.skippedColumn) {
                params.emplace_back(m_matchedColumns[i], cells[i]);
            }
        }
        if (const std::optional<Refusal> refusal = stageRow(
                m_transaction, m_query, m_single.statement, std::move(params), m_end, row)) {
            m_refused(row, cells, *refusal);
        }
    }

    const std::string& statementFor(std::size_t rows) {
        auto at = m_statements.find(rows);
        if (at == m_statements.end()) {
            at = m_statements
                     .emplace(rows, buildStagingBatchInsert(m_dataset, m_matchedColumns,
                                                            m_single.skippedColumn, rows))
                     .first;
        }
        return at->second;
    }

    RowTransaction& m_transaction;
    db::Query& m_query;
    const StagingInsert& m_single;
    const datasets::Dataset& m_dataset;
    const std::vector<std::string>& m_matchedColumns;
    std::size_t m_perStatement;
    RowEnd m_end;
    ReadRow m_readRow;
    Refused m_refused;
    std::vector<int> m_rows;
    db::Parameters m_params;  // the values of m_rows, for the statement of their number
    // The statement for each number of rows sent together, built once.
    std::map<std::size_t, std::string> m_statements;
};

// The rows staged so far by the hash of their key, in one array with open
// addressing, sized once for every row of the sheet: a lookup reads one
// place in memory where a table of nodes reads several. A place holds 32
// bits of the hash (whose low bits choose it) and the row.
class RowsByKeyHash {
public:
    explicit RowsByKeyHash(std::size_t rows) {
        std::size_t size = 1024;
        while (size < 2 * rows) {
            size *= 2;
        }
        m_slots.resize(size);
        m_mask = size - 1;
    }

    // The first row with `hash` for which `sameKey(row)` holds, or 0.
    template <class SameKey>
    int find(std::size_t hash, SameKey&& sameKey) const {
        const auto tag = static_cast<std::uint32_t>(hash >> 32);
        for (std::size_t at = tag & m_mask; m_slots[at].row != 0; at = (at + 1) & m_mask) {
            if (m_slots[at].tag == tag && sameKey(m_slots[at].row)) {
                return m_slots[at].row;
            }
        }
        return 0;
    }

    // `row` (never 0) under `hash`; at most as many rows as the table was
    // made for.
    void add(std::size_t hash, int row) {
        const auto tag = static_cast<std::uint32_t>(hash >> 32);
        std::size_t at = tag & m_mask;
        while (m_slots[at].row != 0) {
            at = (at + 1) & m_mask;
        }
        m_slots[at] = {tag, row};
    }

private:
    struct Slot {
        std::uint32_t tag = 0;
        int row = 0;  // 0: free
    };
    std::vector<Slot> m_slots;
    std::size_t m_mask = 0;
};

// The whole number a key cell reaches the database as, where its key names
// one: an integer, or a text of plain digits (no sign, blank or leading
// zero, at most 18 of them), which the database reads as that number.
std::optional<std::int64_t> wholeNumber(const Value& cell) {
    if (cell.type() == ValueType::Integer) {
        return cell.asInteger();
    }
    if (cell.type() != ValueType::Text) {
        return std::nullopt;
    }
    const std::string& text = cell.asText();
    if (text.empty() || text.size() > 18 || (text != "0" && text.front() == '0') ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    std::int64_t number = 0;
    for (const char c : text) {
        number = number * 10 + (c - '0');
    }
    return number;
}

// Whether each kept row's one key cell is a whole number, and the smallest
// and the largest: the staged keys, no two alike here, are then no two
// alike in the database.
class WholeKeys {
public:
    // `keyColumns`, `keyKinds`: the worksheet's key columns and how each
    // compares.
    WholeKeys(const std::vector<std::size_t>& keyColumns,
              const std::vector<datasets::KeyKind>& keyKinds)
        : m_whole(keyColumns.size() == 1 && keyKinds.front() == datasets::KeyKind::Number),
          m_column(m_whole ? keyColumns.front() : 0) {}

    void add(const std::vector<Value>& cells) {
        if (!m_whole) {
            return;
        }
        const std::optional<std::int64_t> number = wholeNumber(cells[m_column]);
        m_whole = number.has_value();
        m_low = std::min(m_low, number.value_or(m_low));
        m_high = std::max(m_high, number.value_or(m_high));
    }
    // What the merge may rely on once the pass ends (`kept`: no row refused).
    StagedKeys staged(bool kept) const {
        StagedKeys staged;
        staged.distinctWholeNumbers = m_whole && kept;
        staged.low = m_low;
        staged.high = m_high;
        return staged;
    }

private:
    bool m_whole;
    std::size_t m_column;
    std::int64_t m_low = std::numeric_limits<std::int64_t>::max();
    std::int64_t m_high = std::numeric_limits<std::int64_t>::min();
};

// The names the kept rows stage for each reference pass of the dataset, as
// StagedKeys holds them: the merge need not read them back from the
// staging table, which holds each text as it was sent.
class PassNames {
public:
    PassNames(const datasets::Dataset& dataset, const std::vector<std::string>& matchedColumns) {
        for (const datasets::ReferencePass& pass : dataset.referencePasses) {
            Pass& lists = m_passes.emplace_back();
            for (const char* column : pass.stagedColumns) {
                const auto at = std::find_if(
                    matchedColumns.begin(), matchedColumns.end(),
                    [&](const std::string& matched) { return equalsIgnoreCase(matched, column); });
                lists.whole = lists.whole && at != matchedColumns.end();
                lists.columns.push_back(static_cast<std::size_t>(at - matchedColumns.begin()));
            }
        }
    }

    void add(const std::vector<Value>& cells) {
        ++m_rows;
        for (Pass& pass : m_passes) {
            for (std::size_t i = 0; pass.whole && i < pass.columns.size(); ++i) {
                pass.add(cells[pass.columns[i]]);
            }
        }
    }
    void into(StagedKeys& staged) const {
        staged.rows = m_rows;
        for (const Pass& pass : m_passes) {
            staged.passNames.push_back(pass.whole ? std::optional(pass.names) : std::nullopt);
        }
    }

private:
    struct Pass {
        std::vector<std::size_t> columns;  // the worksheet's, in the pass's order
        bool whole = true;
        bool empty = false;  // an empty cell met
        std::unordered_set<std::string> seen;
        StagedNames names;

        void add(const Value& cell) {
            if (cell.isNull()) {
                if (!empty) {
                    empty = true;
                    names.emplace_back();
                }
            } else if (cell.type() != ValueType::Text) {
                whole = false;  // the database would write the number out itself
            } else if (seen.insert(cell.asText()).second) {
                names.emplace_back(cell.asText());
            }
        }
    };
    std::vector<Pass> m_passes;
    std::int64_t m_rows = 0;
};

}  // namespace

int importProgress(std::int32_t row, std::int32_t dataRowCount, int progressBase, int span) {
    if (dataRowCount <= 0) {
        return progressBase;
    }
    const double percent = static_cast<double>(row - 2) / static_cast<double>(dataRowCount) * span;
    return static_cast<int>(std::trunc(percent)) + progressBase;
}

// The staging pass: every worksheet row with anything to import goes to the
// staging table, several rows to a statement, in one transaction where the
// server offers savepoints; a row that repeats an earlier row's key is judged
// by the database too, then undone. When the database refuses any row,
// nothing of the pass is kept: each row is judged before anything is merged.
std::string MyImThread::stageRows() {
    db::Query& query = m_queries.sqlQuery;
    const workbook::SpreadsheetSession& session = *m_session;

    const std::string identity = findIdentityColumn(query, m_options);
    const StagingInsert statement =
        buildStagingInsert(m_options.dataset, m_state.matchedColumns, identity);
    const RowShape shape = rowShape(statement.skippedColumn);
    m_state.skippedColumn = statement.skippedColumn;
    const std::size_t parameters =
        m_state.matchedColumns.size() - (statement.skippedColumn > 0 ? 1 : 0);
    const auto perStatement = static_cast<std::size_t>(stagingRowsPerStatement(
        query.connection().dialect(), parameters, m_options.stagingRowsPerStatement));

    RowTransaction transaction(m_queries.connection, "staged_rows");
    std::vector<RowProblem> problems;
    const StagedRows::Refused refused = [&](int row, const std::vector<Value>& cells,
                                            const Refusal& refusal) {
        problems.push_back(shape.describeFailure(row, cells, refusal));
    };
    // A row's cells, one per worksheet column, the skipped one empty.
    const auto readRow = [&](int row) {
        std::vector<Value> cells(static_cast<std::size_t>(m_state.columnCount));
        session.readRow(row, 1, cells);
        for (std::size_t i = 0; i < cells.size(); ++i) {
            if (static_cast<int>(i) + 1 == statement.skippedColumn) {
                cells[i].setNull();
            } else {
                makeCellParameter(cells[i], shape.textColumn[i]);
            }
        }
        return cells;
    };
    StagedRows kept(transaction, query, statement, m_options.dataset, m_state.matchedColumns,
                    perStatement, RowEnd::Kept, readRow, refused);
    StagedRows repeats(transaction, query, statement, m_options.dataset, m_state.matchedColumns,
                       perStatement, RowEnd::Undone, readRow, refused);

    std::vector<RepeatedRow> repeated;
    std::vector<int> empty;
    // The key of each staged record, and the row that staged it: a later row
    // with the same key would be taken for a record already in the database.
    // Held as a hash per row, the key read again from the earlier row on a
    // match, so that a million rows cost little memory.
    RowsByKeyHash stagedKeys(static_cast<std::size_t>(std::max(m_state.lastDataRow - 2, 0)));
    const auto stagedRowWithKey = [&](std::size_t hash, const std::string& recordKey) {
        return stagedKeys.find(hash, [&](int earlierRow) {
            return shape.recordKey(readRow(earlierRow)) == recordKey;
        });
    };
    const std::int32_t rowCount = m_state.lastDataRow - 2;
    WholeKeys wholeKeys(shape.keyColumns, shape.keyKinds);
    PassNames passNames(m_options.dataset, m_state.matchedColumns);
    // Nothing else runs on the connection during the pass: one preamble
    // chooses the database for all of its statements.
    executePreamble(query, m_options.database);
    transaction.beginAtOnce();
    for (std::int32_t row = 3; row <= m_state.lastDataRow; ++row) {
        if (m_view.stopRequested()) {
            throw PassStopped(row, PassStopped::Cause::User, m_view.stopReason());
        }
        // The pass takes the gauge's first two hundred, the merge the rest.
        setProgress(importProgress(row, rowCount, m_state.progressBase, 200));
        std::vector<Value> cells = readRow(row);
        const bool rowIsEmpty =
            std::all_of(cells.begin(), cells.end(), [](const Value& v) { return v.isNull(); });
        // A row with nothing to import is no record: staging it would only
        // be refused for its first required column.
        if (rowIsEmpty) {
            empty.push_back(row);
            continue;
        }
        const std::string recordKey = shape.recordKey(cells);
        const std::size_t keyHash = std::hash<std::string>{}(recordKey);
        const int earlier = recordKey.empty() ? 0 : stagedRowWithKey(keyHash, recordKey);
        if (earlier > 0) {
            repeated.push_back({row, earlier, shape.describeKey(cells)});
            repeats.add(row, std::move(cells));
            continue;
        }
        if (!recordKey.empty()) {
            stagedKeys.add(keyHash, row);
        }
        wholeKeys.add(cells);
        passNames.add(cells);
        kept.add(row, std::move(cells));
    }
    kept.send();
    repeats.send();
    if (problems.empty()) {
        try {
            transaction.commit();
        } catch (const std::exception& e) {
            // Nothing of the pass was kept.
            throw PassStopped(0, PassStopped::Cause::Database, e.what());
        }
    } else {
        // Nothing is imported: the rows staged so far go, and no row is
        // left out for a repeated key.
        transaction.undoAll();
        repeated.clear();
    }
    m_state.progressBase = m_gauge;
    std::stable_sort(problems.begin(), problems.end(),
                     [](const RowProblem& a, const RowProblem& b) { return a.row < b.row; });
    m_result.failedRows.clear();
    for (const RowProblem& p : problems) {
        m_result.failedRows.push_back(p.row);
    }
    m_state.stagedKeys = wholeKeys.staged(problems.empty());
    passNames.into(m_state.stagedKeys);
    m_result.rowProblems = std::move(problems);
    m_result.repeatedRows = std::move(repeated);
    m_result.emptyRows = std::move(empty);
    return validationFailureText(m_result.failedRows);
}

MyImThread::RowShape MyImThread::rowShape(int skippedColumn) const {
    RowShape shape;
    const datasets::Dataset& dataset = m_options.dataset;
    const std::vector<std::string>& matched = m_state.matchedColumns;
    shape.matchedColumns = &matched;
    shape.headerNames = &m_state.headerNames;
    shape.skippedColumn = skippedColumn;
    shape.textColumn.resize(matched.size());
    for (std::size_t i = 0; i < matched.size(); ++i) {
        shape.textColumn[i] = datasets::isTextColumn(dataset, matched[i]);
    }
    shape.keyName = dataset.keyName;
    for (const datasets::KeyColumn& key : datasets::keyColumns(dataset)) {
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

}  // namespace pos::transfer

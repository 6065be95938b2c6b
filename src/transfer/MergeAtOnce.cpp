// The store's last pass when every staged row is a new row: a batch of
// staged rows goes into the table by one insert ... select, the database
// computing each value with the merge's own rules, written as SQL where the
// staged values are numbers and else called as functions of the program,
// so that no staged row is read into the program.
// A batch the database refuses is undone and merged again as the batched
// pass merges it, which names each refused row. A server runs no code of
// the program: its rows go by the batched pass.
#include <algorithm>
#include <functional>
#include <limits>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "common/Text.h"
#include "transfer/MergeEngine.h"
#include "transfer/MergeStatements.h"

namespace pos::transfer {

namespace {

constexpr const char* kRuleFunction = "pos_rule";
constexpr const char* kMemberPriceFunction = "pos_member_price";
constexpr const char* kReferenceFunction = "pos_reference";
constexpr const char* kRowFunction = "pos_row";

}  // namespace

// What the pass knows of the staged rows: how many and their rowids, the
// identifiers behind their reference names, and the rows a statement
// stores without one, as the functions of the statement meet them.
struct MergeEngine::AtOncePass {
    struct Missing {
        std::int64_t rowid;
        std::size_t column;
        std::int64_t key;
    };
    const datasets::DatasetColumn* key = nullptr;  // the one key column
    std::int64_t rows = 0;
    std::int64_t firstRowid = 0;
    std::int64_t lastRowid = 0;
    std::vector<const char*> columns;  // the staged reference columns
    // For each of them, the identifier by the name exactly as staged, or by
    // the name's key under the database's comparison of names (`keyed`).
    std::vector<std::unordered_map<std::string, Value>> ids;
    const db::Dialect* keyed = nullptr;
    std::vector<Missing> missing;
    // Called for each row a statement reaches, while the pass runs: it
    // moves the gauge and throws when the user asks to stop.
    std::function<void()> onRow;
};

// Whether the staged rows can go in at once: there are some, each key is a
// whole number the merge can use, no key is staged twice and none is
// stored. Any other pass goes by batches, which handle each such row.
bool MergeEngine::allStagedRowsNew(const std::string& table) {
    const std::vector<datasets::KeyColumn> keys = datasets::keyColumns(m_merge.dataset);
    if (m_merge.update.table == nullptr || keys.size() != 1 ||
        keys.front().kind != datasets::KeyKind::Number) {
        return false;
    }
    const datasets::DatasetColumn* key = datasets::findColumn(m_merge.dataset, keys.front().column);
    m_atOnce->key = key;
    // The keys first, then, when they span stored keys, each of them. Where
    // the staging pass sent each key as a whole number, no two alike, it
    // knows them, and the rows are counted without being read; else the
    // database counts the distinct keys and those of another type.
    const std::string staged = std::string("t.") + key->staged;
    db::Query& q = m_q.tempQuery;
    const bool vouched = m_stagedKeys.distinctWholeNumbers;
    if (vouched) {
        openStatement(q, " select (select count(*) from " + table +
                             ") as n, (select min(rowid) from " + table +
                             ") as first, (select max(rowid) from " + table + ") as last ");
    } else {
        openStatement(
            q, " select count(*) as n, count(distinct " + staged + ") as k, coalesce(sum(typeof(" +
                   staged + ") <> 'integer'), 0) as other, min(" + staged + ") as low, max(" +
                   staged + ") as high, min(t.rowid) as first, max(t.rowid) as last from " + table +
                   " t ");
    }
    const std::int64_t rows = q.fieldValue("n").toInteger();
    const Value low = vouched ? Value::integer(m_stagedKeys.low) : q.fieldValue("low");
    const Value high = vouched ? Value::integer(m_stagedKeys.high) : q.fieldValue("high");
    bool allNew = rows > 0 &&
                  (vouched || (q.fieldValue("k").toInteger() == rows &&
                               q.fieldValue("other").toInteger() == 0)) &&
                  low.toInteger() >= std::numeric_limits<std::int32_t>::min() &&
                  high.toInteger() <= std::numeric_limits<std::int32_t>::max();
    m_atOnce->rows = rows;
    m_atOnce->firstRowid = q.fieldValue("first").toInteger();
    m_atOnce->lastRowid = q.fieldValue("last").toInteger();
    q.close();
    const std::string stored = m_merge.update.table;
    const std::string storedKey = key->sourceColumn;
    if (allNew) {
        q.clearLines();
        q.addLine(" select count(*) as n from " + stored + " where " + storedKey +
                  " between :Low and :High ");
        q.setParameters({{"Low", low}, {"High", high}});
        q.open();
        const bool spansStored = q.fieldValue("n").toInteger() > 0;
        q.close();
        if (spansStored) {
            openStatement(q, " select count(*) as n from " + table +
                                 " t where exists (select 1 from " + stored + " s where s." +
                                 storedKey + " = " + staged + ") ");
            allNew = q.fieldValue("n").toInteger() == 0;
            q.close();
        }
    }
    return allNew;
}

// The functions the insert calls: the value rules and the member-price rule
// (no state), and the identifier behind a reference name, which notes the
// rows stored without one. False where the database runs no code of the
// program or refuses one of them now, or the dataset offers no insert of
// its rows at once.
bool MergeEngine::defineAtOnceFunctions() {
    if (m_merge.batched.atOnce == nullptr) {
        return false;
    }
    db::Connection& connection = m_q.connection;
    // pos_rule(the column's place in the dataset, the staged value)
    if (!connection.defineFunction(
            kRuleFunction, 2, [columns = m_merge.dataset.columns](std::span<const Value> args) {
                const datasets::DatasetColumn& column =
                    columns[static_cast<std::size_t>(args[0].toInteger())];
                return ruleValue(column.rule, args[1], column.staged);
            })) {
        return false;
    }
    m_atOnce = std::make_shared<AtOncePass>();
    const NewRowsAtOnce& atOnce = *m_merge.batched.atOnce;
    if (atOnce.memberPrice != nullptr &&
        !connection.defineFunction(kMemberPriceFunction,
                                   static_cast<int>(atOnce.memberPriceColumns.size()),
                                   atOnce.memberPrice)) {
        return false;
    }
    // pos_row(the staged row's rowid): true, once the pass has seen the row
    if (!connection.defineFunction(kRowFunction, 1, [pass = m_atOnce](std::span<const Value>) {
            if (pass->onRow) {
                pass->onRow();
            }
            return Value::integer(1);
        })) {
        return false;
    }
    // pos_reference(the reference column's place, the staged name, the
    // staged row's rowid, its key)
    return connection.defineFunction(
        kReferenceFunction, 4, [names = m_atOnce](std::span<const Value> args) {
            const auto column = static_cast<std::size_t>(args[0].toInteger());
            const std::unordered_map<std::string, Value>& ids = names->ids.at(column);
            const auto lookUp = [&](const std::string& name) {
                return names->keyed != nullptr ? ids.find(*names->keyed->nameKey(name))
                                               : ids.find(name);
            };
            const auto found = args[1].type() == ValueType::Text ? lookUp(args[1].asText())
                                                                 : lookUp(args[1].toText());
            if (found != ids.end() && !found->second.isNull()) {
                return found->second;
            }
            names->missing.push_back({args[2].toInteger(), column, args[3].toInteger()});
            return Value();
        });
}

// The staging columns that hold nothing but numbers and NULL: a strict
// table's REAL and INTEGER columns, in lower case.
std::set<std::string> MergeEngine::numberOnlyColumns(const std::string& table) {
    std::set<std::string> columns;
    const std::string name = dialect().stringLiteral(table);
    openStatement(m_q.tempQuery, " select lower(c.name) as name from pragma_table_list(" + name +
                                     ") t, pragma_table_info(" + name +
                                     ") c where t.strict = 1 and upper(c.type) in ('REAL', "
                                     "'INTEGER') ");
    for (; !m_q.tempQuery.eof(); m_q.tempQuery.next()) {
        columns.insert(m_q.tempQuery.fieldValue(0).toText());
    }
    m_q.tempQuery.close();
    return columns;
}

namespace {

// The member price of a new row: SQL where each price it reads holds
// numbers only, else a call of the rule.
std::string memberPriceValue(const NewRowsAtOnce& atOnce, const std::set<std::string>& numbers) {
    std::vector<std::string> prices;
    bool allNumbers = atOnce.memberPriceSql != nullptr;
    for (const char* price : atOnce.memberPriceColumns) {
        prices.push_back(std::string("t.") + price);
        allNumbers = allNumbers && numbers.contains(asciiLower(price));
    }
    if (allNumbers) {
        return atOnce.memberPriceSql(prices);
    }
    std::string call;
    for (const std::string& price : prices) {
        call += (call.empty() ? "" : ", ") + price;
    }
    return std::string(kMemberPriceFunction) + "(" + call + ")";
}

}  // namespace

// insert into TABLE (the new row's columns) select (their values) from the
// staged rows from :First to :Last, in the order a batch inserts them.
std::string MergeEngine::newRowsAtOnceInsert(const std::string& table) {
    const NewRowsAtOnce& atOnce = *m_merge.batched.atOnce;
    const std::string key = std::string("t.") + m_atOnce->key->staged;
    const std::set<std::string> numbers = numberOnlyColumns(table);
    std::vector<std::string> values;
    for (const datasets::DatasetColumn& column : m_merge.dataset.columns) {
        const std::string staged = std::string("t.") + column.staged;
        if (column.key) {
            values.push_back(staged);
        } else if (column.written == nullptr) {
            continue;
        } else if (column.kind == datasets::ColumnKind::ReferenceName) {
            values.push_back(std::string(kReferenceFunction) + "(" +
                             std::to_string(m_atOnce->columns.size()) + ", " + staged +
                             ", t.rowid, " + key + ")");
            m_atOnce->columns.push_back(column.staged);
        } else if (column.rule == datasets::ValueRule::AsGiven) {
            values.push_back(staged);
        } else if (column.rule == datasets::ValueRule::MemberPrice) {
            values.push_back(memberPriceValue(atOnce, numbers));
        } else {
            // The database decides a NULL, and a number where the column
            // holds nothing else, itself; it calls the program for any
            // other value.
            values.push_back(ruleExpression(
                column.rule, staged,
                std::string(kRuleFunction) + "(" +
                    std::to_string(&column - m_merge.dataset.columns.data()) + ", " + staged + ")",
                numbers.contains(asciiLower(column.staged))));
        }
    }
    std::string select;
    for (const std::string& value : values) {
        select += (select.empty() ? "" : ", ") + value;
    }
    for (const auto& [column, value] : m_merge.newRowFixed) {
        if (value == nullptr) {
            select += ", :Station";  // the one value given per new row
        }
    }
    const NewRowList list = newRowList(newRowColumns(), m_merge.newRowFixed);
    return " insert into " + std::string(m_merge.update.table) + " (" + list.names + ") select " +
           select + list.literals + " from " + table +
           " t where t.rowid between :First and :Last and " + kRowFunction +
           "(t.rowid) order by t.rowid ";
}

// The last pass, a batch of staged rows to a statement.
void MergeEngine::lastPassAtOnce(const std::string& table) {
    m_step = m_merge.lastStep;
    clearSubject();
    m_passKeys.clear();
    if (!m_merge.dataset.newRowsTakeStation) {
        throw std::logic_error("rows inserted at once take the station");
    }
    const std::string insert = newRowsAtOnceInsert(table);
    db::Query& driver = m_q.sqlQuery;
    executePreamble(driver, m_options.database);
    m_reportAtPassStart = m_report;
    m_lostPass.clear();
    m_transaction.begin();
    // The identifiers behind every staged name: no pass after the reference
    // passes writes a reference table. Where the program knows how the
    // database compares names, the names that the reference passes found
    // are looked up again, each standing for every staged name that shares
    // its key: the lookup of any of them finds the same row, the first
    // stored under that key. Else each name as staged, as a batch looks it
    // up.
    const bool keyed = dialect().nameKey("").has_value() &&
                       std::all_of(m_atOnce->columns.begin(), m_atOnce->columns.end(),
                                   [&](const char* c) { return m_distinctNames.contains(c); });
    m_atOnce->keyed = keyed ? &dialect() : nullptr;
    for (const char* column : m_atOnce->columns) {
        std::vector<std::string> names;
        if (keyed) {
            names = m_distinctNames.find(column)->second;
        } else {
            openStatement(m_q.tempQuery,
                          " select distinct " + std::string(column) + " from " + table + " ");
            for (; !m_q.tempQuery.eof(); m_q.tempQuery.next()) {
                names.push_back(m_q.tempQuery.fieldValue(0).toText());
            }
            m_q.tempQuery.close();
        }
        const std::vector<FoundName> found = lookUpNames(referencePassOver(column), names);
        std::unordered_map<std::string, Value>& ids = m_atOnce->ids.emplace_back();
        for (std::size_t i = 0; i < names.size(); ++i) {
            ids.emplace(keyed ? *dialect().nameKey(names[i]) : std::move(names[i]), found[i].id);
        }
    }
    // The rowids of the staged rows, read only when they have gaps.
    std::vector<std::int64_t> rowids;
    if (m_atOnce->lastRowid - m_atOnce->firstRowid + 1 != m_atOnce->rows) {
        const db::ForwardOnly forwardOnly(driver);
        openStatement(driver, " select rowid as r from " + table + " order by rowid ");
        for (; !driver.eof(); driver.next()) {
            rowids.push_back(driver.fieldValue(0).toInteger());
        }
        driver.close();
    }
    const auto rowidAt = [&](std::size_t i) {
        return rowids.empty() ? m_atOnce->firstRowid + static_cast<std::int64_t>(i) : rowids[i];
    };
    const auto rowCount = static_cast<std::size_t>(m_atOnce->rows);
    // The gauge moves, and a stop is seen, at each row a statement reaches;
    // a row the gauge has passed does not move it back.
    int ordinal = 0;
    int shown = 0;
    const auto reach = [&](int row) {
        for (; shown < row; ++shown) {
            m_progress.step(shown + 1, static_cast<int>(rowCount), m_merge.dataset.mergePassSpan);
        }
    };
    m_atOnce->onRow = [&] {
        if (m_view.stopRequested()) {
            throw StopRequested();
        }
        reach(++ordinal);
    };
    const struct PassEnd {
        AtOncePass& pass;
        ~PassEnd() { pass.onRow = nullptr; }
    } passEnd{*m_atOnce};
    // Eight batches to a statement: a statement journals each page of the
    // table's indexes that it changes (the dishes' category and statistics
    // category indexes change all over), so fewer, larger statements write
    // much less.
    const auto chunk = static_cast<std::size_t>(batchRows()) * 8;
    for (std::size_t first = 0; first < rowCount; first += chunk) {
        if (m_view.stopRequested()) {
            throw StopRequested();
        }
        const std::size_t count = std::min(chunk, rowCount - first);
        const std::int64_t from = rowidAt(first);
        const std::int64_t to = rowidAt(first + count - 1);
        m_atOnce->missing.clear();
        ordinal = static_cast<int>(first);
        if (sendBatch(insert, {{"First", Value::integer(from)},
                               {"Last", Value::integer(to)},
                               {"Station", Value::integer(m_options.stationNumber)}})) {
            m_report.inserted += static_cast<int>(count);
            std::vector<AtOncePass::Missing>& missing = m_atOnce->missing;
            std::stable_sort(missing.begin(), missing.end(), [](const auto& a, const auto& b) {
                return std::tie(a.rowid, a.column) < std::tie(b.rowid, b.column);
            });
            for (const AtOncePass::Missing& row : missing) {
                noteWithoutReference(m_atOnce->columns[row.column], std::to_string(row.key));
            }
        } else if (m_view.stopRequested()) {
            throw StopRequested();  // the statement was stopped, and undone
        } else {
            mergeRowsAlone(table, from, to);
        }
        reach(static_cast<int>(first + count));
    }
    if (m_view.stopRequested()) {
        throw StopRequested();  // before the pass is kept
    }
    clearSubject();
    commitPass();
}

// The staged rows from `first` to `last` (rowids) by the batched pass.
void MergeEngine::mergeRowsAlone(const std::string& table, std::int64_t first, std::int64_t last) {
    db::Query& driver = m_q.sqlQuery;
    std::vector<StagedRow> rows;
    {
        const db::ForwardOnly forwardOnly(driver);
        driver.close();
        driver.clearLines();
        driver.addLine(" select * from " + table +
                       " where rowid between :First and :Last order by rowid ");
        driver.setParameters({{"First", Value::integer(first)}, {"Last", Value::integer(last)}});
        driver.open();
        const auto columns = std::make_shared<const StagedColumns>(driver, m_merge.dataset);
        for (; !driver.eof(); driver.next()) {
            rows.emplace_back(columns, driver);
        }
        driver.close();
    }
    mergeBatch(rows);
}

}  // namespace pos::transfer

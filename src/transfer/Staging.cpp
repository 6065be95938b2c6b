// The staging table: every statement goes through the borrowed SQLQuery, each
// after the database preamble; the statements that differ between servers
// come from the connection's dialect.
#include "transfer/Staging.h"

#include <algorithm>
#include <map>
#include <set>

#include "common/Cleanup.h"
#include "common/Text.h"
#include "datasets/Datasets.h"
#include "datasets/Selects.h"

namespace pos::transfer {

std::string stagingTableName(const datasets::Dataset& dataset) {
    return std::string("TEMP") + dataset.key;
}

std::vector<std::string> stagingTableStatements(const db::Dialect& dialect,
                                                const datasets::Dataset& dataset,
                                                const db::Dialect::RowReader& readRows) {
    std::vector<db::StagingTable> tables;
    for (const datasets::StagingSelect& step : datasets::stagingSelects(dataset)) {
        db::StagingTable& table = tables.emplace_back();
        table.table = step.table;
        for (const datasets::StagedColumn& c : step.columns) {
            table.columns.push_back(
                {c.alias != nullptr ? c.alias : "", c.sourceTable, c.sourceColumn});
        }
        table.selectList = step.selectList;
        table.fromClause = step.fromClause;
    }
    return dialect.stagingTableStatements(tables, readRows);
}

std::vector<std::string> stagingTableNames(const datasets::Dataset& dataset) {
    return {dataset.stagingTableNames.begin(), dataset.stagingTableNames.end()};
}

void dropStagingTables(db::Query& query, const std::string& database,
                       const datasets::Dataset& dataset) noexcept {
    // Most often the table is not there. A table that stays is found and
    // reported by the import's closing message, so the failures of the drops
    // are not reported here.
    std::vector<std::string> names;
    cleanupFailure([&] { names = stagingTableNames(dataset); });
    for (const std::string& name : names) {
        cleanupFailure([&] {
            executePreamble(query, database);
            executeStatement(query, "drop table " + name);
        });
    }
    cleanupFailure([&] {
        query.close();
        query.clearLines();
    });
}

void dropStagingTables(db::Query& query, const TransferOptions& options) noexcept {
    dropStagingTables(query, options.database, options.dataset);
}

bool buildStagingTable(db::Query& query, const TransferOptions& options, std::string* reason,
                       db::DbFault* fault) {
    dropStagingTables(query, options);
    try {
        const db::Dialect& dialect = query.connection().dialect();
        // The store needs the source columns' declared types; it asks for them
        // through this reader, which runs on the database the preamble chose.
        const db::Dialect::RowReader readRows = [&query](const std::string& line) {
            std::vector<std::vector<std::string>> rows;
            openStatement(query, line);
            for (; !query.eof(); query.next()) {
                std::vector<std::string> row;
                for (int i = 0; i < query.fieldCount(); ++i) {
                    row.push_back(query.fieldValue(i).toText());
                }
                rows.push_back(std::move(row));
            }
            query.close();
            return rows;
        };
        executePreamble(query, options.database);
        const std::vector<std::string> statements =
            stagingTableStatements(dialect, options.dataset, readRows);
        for (const std::string& statement : statements) {
            executeStatement(query, statement);
        }
        // The copy gives the staging table its column types and proves the
        // dataset's tables whole; its rows go again, so that the merge works
        // on the workbook's rows alone. Offering every stored row once more
        // would count them all as "already there" in the summary and could
        // turn a stored row whose key the merge reads differently (a table
        // number that is not its ID) into a refusal the user never caused.
        if (!statements.empty()) {
            executeStatement(query, "delete from " + stagingTableName(options.dataset));
        }
        query.close();
    } catch (const std::exception& e) {
        if (reason != nullptr) {
            *reason = e.what();
        }
        const auto* dbError = dynamic_cast<const db::DbError*>(&e);
        if (fault != nullptr && dbError != nullptr) {
            *fault = dbError->fault();
        }
        return false;
    }
    return true;
}

std::vector<std::string> readStagingColumns(db::Query& query, const TransferOptions& options) {
    executePreamble(query, options.database);
    openStatement(query,
                  query.connection().dialect().tableColumnsLine(stagingTableName(options.dataset)));
    std::vector<std::string> columns;
    columns.reserve(static_cast<std::size_t>(std::max(query.recordCount(), 0)));
    for (query.first(); !query.eof(); query.next()) {
        columns.push_back(query.fieldAsText("name"));
    }
    query.close();
    return columns;
}

std::string findIdentityColumn(db::Query& query, const TransferOptions& options) {
    executePreamble(query, options.database);
    query.close();
    query.clearLines();
    for (const std::string& line :
         query.connection().dialect().identityColumnLines(stagingTableName(options.dataset))) {
        query.addLine(line);
    }
    query.open();
    std::string identity;
    for (; !query.eof(); query.next()) {
        if (!isBlank(query.fieldAsText("标识"))) {
            identity = trimmed(query.fieldAsText("字段名"));
        }
    }
    query.close();
    return identity;
}

StagingInsert buildStagingInsert(const datasets::Dataset& dataset,
                                 const std::vector<std::string>& matchedColumns,
                                 const std::string& identityColumn) {
    std::string columns = " insert into " + stagingTableName(dataset) + " (";
    std::string values = " values (";
    StagingInsert insert;
    for (std::size_t i = 0; i < matchedColumns.size(); ++i) {
        const std::string& column = matchedColumns[i];
        if (column == identityColumn) {
            insert.skippedColumn = static_cast<int>(i) + 1;
            continue;
        }
        columns += column + ",";
        values += ":" + column + ",";
    }
    // The trailing separators go; a part without any column keeps its bracket.
    if (columns.back() == ',') {
        columns.pop_back();
        values.pop_back();
    }
    insert.statement = columns + ") " + values + ") ";
    return insert;
}

std::string stagingParameter(std::size_t row, int column) {
    return "r" + std::to_string(row) + "c" + std::to_string(column);
}

std::string buildStagingBatchInsert(const datasets::Dataset& dataset,
                                    const std::vector<std::string>& matchedColumns,
                                    int skippedColumn, std::size_t rows) {
    std::string columns;
    for (std::size_t i = 0; i < matchedColumns.size(); ++i) {
        if (static_cast<int>(i) + 1 != skippedColumn) {
            columns += (columns.empty() ? "" : ",") + matchedColumns[i];
        }
    }
    std::string statement =
        " insert into " + stagingTableName(dataset) + " (" + columns + ")  values ";
    for (std::size_t r = 0; r < rows; ++r) {
        statement += r == 0 ? "(" : ",(";
        bool first = true;
        for (std::size_t i = 0; i < matchedColumns.size(); ++i) {
            const int column = static_cast<int>(i) + 1;
            if (column != skippedColumn) {
                statement += (first ? ":" : ",:") + stagingParameter(r, column);
                first = false;
            }
        }
        statement += ")";
    }
    return statement + " ";
}

int stagingRowsPerStatement(const db::Dialect& dialect, std::size_t columns, int wanted) {
    if (columns == 0) {
        return 1;  // a row without a column has nothing to list
    }
    const std::size_t byParameters =
        static_cast<std::size_t>(dialect.statementParameterLimit()) / columns;
    std::size_t rows = std::min(byParameters, static_cast<std::size_t>(dialect.insertRowLimit()));
    if (wanted > 0) {
        rows = std::min(rows, static_cast<std::size_t>(wanted));
    }
    return static_cast<int>(std::max<std::size_t>(rows, 1));
}

std::string repeatedHeading(const std::vector<std::string>& headerNames,
                            const datasets::FieldMap& map) {
    // Each ShowName: how many entries give it, and the first one's ShowField.
    std::map<std::string, std::pair<int, std::string>> names;
    for (const datasets::FieldMapEntry& e : map.entries) {
        auto& [count, field] = names[e.showName];
        if (count++ == 0) {
            field = e.showField;
        }
    }
    std::set<std::string> seen;
    std::set<std::string> filledColumns;  // in lower case
    for (const std::string& heading : headerNames) {
        if (heading.empty()) {
            continue;
        }
        if (!seen.insert(heading).second) {
            return heading;
        }
        const auto name = names.find(heading);
        if (name == names.end()) {
            continue;  // matchHeaderNames refuses it
        }
        const auto& [count, field] = name->second;
        if (count > 1 || (!field.empty() && !filledColumns.insert(asciiLower(field)).second)) {
            return heading;
        }
    }
    return {};
}

std::optional<std::vector<std::string>> matchHeaderNames(
    const std::vector<std::string>& headerNames, const std::vector<std::string>& stagingColumns,
    const datasets::FieldMap* fieldMap) {
    std::vector<std::string> matched;
    matched.reserve(headerNames.size());
    const auto isStagingColumn = [&](const std::string& name) {
        return std::find(stagingColumns.begin(), stagingColumns.end(), name) !=
               stagingColumns.end();
    };
    for (const std::string& heading : headerNames) {
        if (fieldMap != nullptr) {
            const auto entry = std::find_if(
                fieldMap->entries.begin(), fieldMap->entries.end(),
                [&](const datasets::FieldMapEntry& e) { return e.showName == heading; });
            if (entry == fieldMap->entries.end()) {
                return std::nullopt;
            }
            matched.push_back(entry->showField);
        } else {
            if (!isStagingColumn(heading)) {
                return std::nullopt;
            }
            matched.push_back(heading);
        }
    }
    if (!std::all_of(matched.begin(), matched.end(), isStagingColumn)) {
        return std::nullopt;
    }
    return matched;
}

}  // namespace pos::transfer

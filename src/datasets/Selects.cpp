// The views' and staging selects' statements, built from the column table.
#include "datasets/Selects.h"

#include <algorithm>
#include <cstddef>
#include <string_view>

#include "common/Text.h"

namespace pos::datasets {

namespace {

// Whether the select of `level` reads the column's own table.
bool readsSource(const SelectLevel& level, const DatasetColumn& column) {
    return std::ranges::any_of(level.reads, [&column](const char* table) {
        return equalsIgnoreCase(table, column.sourceTable);
    });
}

// Whether the column's own table is read by `level` or by a level before.
bool joinedBy(const Dataset& dataset, std::size_t level, const DatasetColumn& column) {
    for (std::size_t l = 0; l <= level; ++l) {
        if (readsSource(dataset.selects[l], column)) {
            return true;
        }
    }
    return false;
}

bool aliased(const DatasetColumn& column) {
    return std::string_view(column.staged) != column.sourceColumn;
}

// The column of the level's view or table: the column itself once its table
// is joined, before that the exported table's column that refers to it.
StagedColumn stagedColumn(const Dataset& dataset, std::size_t level, const DatasetColumn& column) {
    if (joinedBy(dataset, level, column)) {
        return {aliased(column) ? column.staged : nullptr, column.sourceTable, column.sourceColumn};
    }
    return {nullptr, dataset.exportedTable, column.written};
}

// The column as the select of `level` (of the views, or of the staging
// tables) names it.
std::string columnSpelling(const Dataset& dataset, std::size_t level, bool view,
                           const DatasetColumn& column) {
    const bool last = level + 1 == dataset.selects.size();
    const HistoricSpelling& historic = column.spelled;
    if (const char* spelled = !last  ? historic.intermediate
                              : view ? historic.view
                                     : historic.staging) {
        return spelled;
    }
    if (readsSource(dataset.selects[level], column)) {
        std::string spelling = std::string(column.sourceTable) + "." + column.sourceColumn;
        return aliased(column) ? spelling + " as " + column.staged : spelling;
    }
    if (level == 0) {
        return std::string(dataset.exportedTable) + "." + column.written;
    }
    const SelectLevel& before = dataset.selects[level - 1];
    const StagedColumn staged = stagedColumn(dataset, level - 1, column);
    return std::string(view ? before.view.name : before.staging.name) + "." +
           (staged.alias != nullptr ? staged.alias : staged.sourceColumn);
}

// The select of `level` up to its from clause: the head, the columns, the
// tail.
std::string selectList(const Dataset& dataset, std::size_t level, bool view) {
    const SelectText& text = view ? dataset.selects[level].view : dataset.selects[level].staging;
    std::string list = text.head;
    const char* separator = "";
    for (const DatasetColumn& column : dataset.columns) {
        list += separator + columnSpelling(dataset, level, view, column);
        separator = ",";
    }
    return list + text.tail;
}

}  // namespace

std::vector<std::string> exportViewStatements(const Dataset& dataset) {
    std::vector<std::string> statements;
    for (std::size_t level = 0; level < dataset.selects.size(); ++level) {
        const SelectText& view = dataset.selects[level].view;
        statements.push_back(std::string("create view ") + view.name + " as " +
                             selectList(dataset, level, true) + view.from);
    }
    return statements;
}

std::vector<StagingSelect> stagingSelects(const Dataset& dataset) {
    std::vector<StagingSelect> selects;
    for (std::size_t level = 0; level < dataset.selects.size(); ++level) {
        StagingSelect& select = selects.emplace_back();
        select.table = dataset.selects[level].staging.name;
        for (const DatasetColumn& column : dataset.columns) {
            select.columns.push_back(stagedColumn(dataset, level, column));
        }
        select.selectList = selectList(dataset, level, false);
        select.fromClause = dataset.selects[level].staging.from;
    }
    return selects;
}

}  // namespace pos::datasets

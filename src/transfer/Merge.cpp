// The merge of staged rows into the point-of-sale tables: the pass engine
// (MergeEngine.cpp) runs the passes of the dataset's merge (MenuMerge.cpp,
// HallTableMerge.cpp, MenuAnnotateMerge.cpp); here the dataset is chosen,
// and the report is put into words.
#include "transfer/Merge.h"

#include <array>
#include <utility>

#include "common/Text.h"
#include "transfer/MergeEngine.h"

namespace pos::transfer {

namespace {

// Every dataset's merge, one for each entry of the list of datasets: a
// dataset added without its merge here does not build.
constexpr std::array kDatasetMerges{&kMenuMerge, &kHallTableMerge, &kMenuAnnotateMerge};
static_assert(kDatasetMerges.size() == datasets::kDatasets.size(),
              "each dataset of kDatasets needs its merge in kDatasetMerges");

}  // namespace

const DatasetMerge* datasetMerge(const datasets::Dataset& dataset) {
    for (const DatasetMerge* merge : kDatasetMerges) {
        if (&merge->dataset == &dataset) {
            return merge;
        }
    }
    return nullptr;
}

std::int32_t queryMaxId(db::Query& tempQuery2, const std::string& database,
                        const std::string& column, const std::string& source) {
    executePreamble(tempQuery2, database);
    openStatement(tempQuery2, "select * from " + source);
    if (tempQuery2.eof()) {
        return 0;
    }
    openStatement(tempQuery2, "select Max(" + column + ") as MaxId from " + source);
    Value largest = tempQuery2.fieldValue("MaxId");
    if (largest.isNull()) {
        return 0;
    }
    return toInt32(largest, source + "的最大" + column + inQuotes(largest.toText()));
}

MergeReport mergeStagedRows(TransferQueries& queries, const TransferOptions& options,
                            int& progressBase, TransferView& view,
                            const std::vector<ImportedColumn>& columns, StagedKeys staged) {
    try {
        executePreamble(queries.sqlQuery, options.database);
    } catch (const std::exception&) {
        // Each pass sends the preamble again and stops on its failure.
    }
    const DatasetMerge* merge = datasetMerge(options.dataset);
    if (merge == nullptr) {
        return {};
    }
    MergeEngine engine(*merge, queries, options, progressBase, view, columns, std::move(staged));
    engine.run();
    return engine.report();
}

std::string moreRowsNote(std::size_t total) {
    if (total <= kListedRows) {
        return {};
    }
    return "\n……另有" + std::to_string(total - kListedRows) + "行未列出";
}

std::string formatMergeSummary(const MergeReport& report) {
    std::string text = "已导入" + std::to_string(report.inserted) + "行";
    if (report.updatesOffered) {
        text += "；已更新" + std::to_string(report.updated) + "行";
        std::string columns;
        for (const auto& [heading, rows] : report.changedColumns) {
            columns += (columns.empty() ? "" : "、") + heading + " " + std::to_string(rows) + "行";
        }
        if (!columns.empty()) {
            text += "（" + columns + "）";
        }
        text += "；" + std::to_string(report.unchanged) + "行与数据库中相同，未改动";
    }
    if (report.alreadyExisting > 0) {
        text += "；" + std::to_string(report.alreadyExisting) + "行已存在，未重复导入";
    }
    text += report.refused.empty() ? "。" : "；" + formatRefusedRows(report);
    const std::string differing = formatDifferingRows(report, "没有更新");
    return differing.empty() ? text : text + "\n" + differing;
}

std::string formatDifferingRows(const MergeReport& report, const char* verb) {
    if (report.differing == 0) {
        return {};
    }
    std::string keys;
    for (const std::string& key : report.differingKeys) {
        keys += (keys.empty() ? "" : "、") + key;
    }
    if (static_cast<std::size_t>(report.differing) > report.differingKeys.size()) {
        keys += "等";
    }
    return "已存在的" + std::to_string(report.alreadyExisting) + "行中有" +
           std::to_string(report.differing) + "行与工作簿不同，" + verb + "（" + report.keyName +
           "：" + keys +
           "）；如需更新，请选择“更新已有的行”后重新导入（命令行：--update-existing）。";
}

std::string formatCellChanges(const MergeReport& report) {
    std::string text;
    for (const CellChange& change : report.changes) {
        text += (text.empty() ? "" : "\n") + std::string("ID ") + change.key + " " +
                change.heading + ": " + change.before + " → " + change.after;
    }
    if (report.changeCount > report.changes.size()) {
        text += "\n……另有" + std::to_string(report.changeCount - report.changes.size()) +
                "处改动未列出";
    }
    return text;
}

std::string formatRefusedRows(const MergeReport& report) {
    std::string text = std::to_string(report.refused.size()) + "行未能导入，请检查后手动添加：";
    for (std::size_t i = 0; i < report.refused.size() && i < kListedRows; ++i) {
        const RefusedRow& row = report.refused[i];
        text += "\n" + row.keyName + inQuotes(row.key) + "：" + row.reason;
    }
    return text + moreRowsNote(report.refused.size());
}

std::string formatMergeWarnings(const MergeReport& report) {
    std::string text;
    const auto warn = [&text](const std::vector<std::string>& keys, const char* what,
                              const char* keyName) {
        if (keys.empty()) {
            return;
        }
        std::string list;
        for (std::size_t i = 0; i < keys.size() && i < kListedRows; ++i) {
            list += (list.empty() ? "" : "、") + keys[i];
        }
        if (keys.size() > kListedRows) {
            list += "等";
        }
        text += std::string(text.empty() ? "" : "\n") + "注意：" + std::to_string(keys.size()) +
                what + "，导出时不会出现（" + keyName + "：" + list + "）。";
    };
    for (const MergeReport::RowsWithoutReference& rows : report.withoutReference) {
        warn(rows.keys, rows.what, rows.keyName);
    }
    return text;
}

}  // namespace pos::transfer

// The merge of an import's staged rows into the point-of-sale tables: missing
// reference rows (categories, statistics categories, units, halls, annotation
// types) are created under new identifiers, then every staged dish, dining
// table or annotation is offered for insertion, and what happened to each row
// is counted so that the user learns which rows did not arrive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "db/Connection.h"
#include "transfer/TransferContext.h"
#include "transfer/TransferView.h"

namespace pos::transfer {

// A message lists at most this many rows, then says how many were left out.
inline constexpr std::size_t kListedRows = 20;

// "\n……另有N行未列出" for the rows of a list of `total` beyond kListedRows;
// empty when every row was listed.
std::string moreRowsNote(std::size_t total);

// A staged row of the last pass that the database refused.
struct RefusedRow {
    std::string keyName;  // "菜品编码", "桌号" or "注释"
    std::string key;      // the row's dish ID, table number or annotation name
    std::string reason;   // the database's own message
    // The values of the key's other columns, before `key` in the dataset's
    // order, when its key has more than one (an annotation's type: the name
    // alone does not tell its row).
    std::vector<std::string> leadingKey = {};
};

// A reference row that the merge created for a name of the workbook: a
// category, statistics category, unit, hall or annotation type.
struct CreatedReference {
    std::string kind;  // "菜品类别", "统计类别", "单位", "大厅" or "注释类别"
    std::string name;  // as the workbook spells it
    std::int64_t id = 0;
};

// A change lines list at most this many cells, then says how many more there
// were; the report keeps no more than these.
inline constexpr std::size_t kListedChanges = 200;

// A worksheet column that the import read: the staging column it filled and
// its heading in row 2, as the user sees it.
struct ImportedColumn {
    std::string column;
    std::string heading;
};

// The names that the kept rows staged for one reference pass, a row's
// columns in turn, each once as staged (an empty cell as nullopt), in the
// order first met.
using StagedNames = std::vector<std::optional<std::string>>;

// What the staging pass knows of the rows it kept, which spares the merge
// asking the database again.
struct StagedKeys {
    // Each row's one key cell went to the database as a whole number, and no
    // two of them are alike; the smallest and the largest of them.
    bool distinctWholeNumbers = false;
    std::int64_t low = 0;
    std::int64_t high = 0;
    // The rows kept, and for each of the dataset's reference passes the
    // names they staged, where each went as a text or empty (nullopt: some
    // did not, or the pass's columns are not all in the worksheet).
    std::int64_t rows = 0;
    std::vector<std::optional<StagedNames>> passNames;
};

// One cell of a stored row that an import with updates rewrote: the row's
// key, the column's worksheet heading, and the cell as an export showed it
// before and shows it now.
struct CellChange {
    std::string key;
    std::string heading;
    std::string before;
    std::string after;
};

// What the last pass of a dataset did with the staged rows.
struct MergeReport {
    // The reference rows created, in the order the merge created them.
    std::vector<CreatedReference> created;
    int inserted = 0;
    // Left out because a row with the same key is already stored: a dish whose
    // ID is in menu, a table whose ID is in tables, an annotation whose name is
    // in its annotation type. Decided by a lookup before the insert (of a
    // batch's keys at once).
    int alreadyExisting = 0;
    // Without updates of stored rows: of the rows counted as existing, how
    // many differ from their stored row (compared as an update would), and
    // the keys of the first kListedRows of them, named by keyName.
    int differing = 0;
    std::vector<std::string> differingKeys;
    const char* keyName = "";
    std::vector<RefusedRow> refused;
    // With updates of stored rows (dishes and dining tables): a row whose key
    // is stored is updated or left unchanged instead of counted as existing.
    bool updatesOffered = false;
    int updated = 0;
    int unchanged = 0;
    // How many rows each worksheet column changed, by heading; only columns
    // that changed a row are listed.
    std::vector<std::pair<std::string, int>> changedColumns;
    // The first kListedChanges cells rewritten, and how many there were.
    std::vector<CellChange> changes;
    std::size_t changeCount = 0;
    // Keys of rows stored without a reference that the tool's own export
    // joins on, so that they will not show in an export (dishes without a
    // category or a statistics category, dining tables without a hall): one
    // entry for each such reference column of the dataset, in its order.
    struct RowsWithoutReference {
        const char* staged;   // the reference column
        const char* what;     // the warning's wording: "个菜品没有类别"
        const char* keyName;  // the dataset's key name: "菜品编码"
        std::vector<std::string> keys;
    };
    std::vector<RowsWithoutReference> withoutReference;
};

// The merge stopped part-way. Every row inserted before the stop stays in the
// database (committed before the stop is raised); `report` counts those of
// the last pass. The message names the dataset, the step, the row and the
// reason.
class MergeStopped : public std::runtime_error {
public:
    MergeStopped(const std::string& message, MergeReport report)
        : std::runtime_error(message), m_report(std::move(report)) {}
    const MergeReport& report() const { return m_report; }

private:
    MergeReport m_report;
};

// Carries the rows of the dataset's staging table "TEMP" + key into the
// point-of-sale tables of `options.database`, moving the gauge on from
// `progressBase` by at most 100 and leaving `progressBase` at the position the
// last pass reached. Throws MergeStopped when a step other than a last-pass
// insert fails. A dataset without a merge writes nothing.
// With `options.importChoices.updateExisting`, a dish or dining table whose
// key is stored is updated instead: `columns` (the worksheet's columns, in
// order) says which columns the workbook holds; only those are compared with
// the stored row as an export shows it, each cell as the rules that fill a
// new row make it, and only the cells that then differ are written. The key
// and the station number are never written.
// `staged` is what the staging pass knows of the rows it kept.
MergeReport mergeStagedRows(TransferQueries& queries, const TransferOptions& options,
                            int& progressBase, TransferView& view,
                            const std::vector<ImportedColumn>& columns = {},
                            StagedKeys staged = {});

// The largest `column` of the rows "select * from " + `source` gives, 0 when
// there are none or when the largest is NULL; `source` is a table name,
// optionally followed by a where-clause. Runs the database preamble first and
// leaves `tempQuery2` holding the maximum's statement. Callers add one.
std::int32_t queryMaxId(db::Query& tempQuery2, const std::string& database,
                        const std::string& column, const std::string& source);

// The summary that follows "数据导入成功！": rows imported, with updates the
// rows updated (and how many each column changed) and the rows unchanged,
// rows that already existed, each refused row with its key and the
// database's reason, and the existing rows that differ from the workbook.
std::string formatMergeSummary(const MergeReport& report);

// "已存在的125行中有3行与工作簿不同，没有更新（菜品编码：…）" and how to update
// them, with `verb` ("没有更新", "不会更新"); empty when no row differs.
std::string formatDifferingRows(const MergeReport& report, const char* verb);

// One line per rewritten cell, "ID 5001 价格1: 38 → 42", the first
// kListedChanges of them, then how many more there were; empty when no cell
// changed.
std::string formatCellChanges(const MergeReport& report);

// The refused rows alone, a heading line and one line per row.
std::string formatRefusedRows(const MergeReport& report);

// The warnings about stored rows that an export will not show; empty when
// there are none.
std::string formatMergeWarnings(const MergeReport& report);

}  // namespace pos::transfer

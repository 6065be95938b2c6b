// The merge of the dining tables: the dataset's definition makes sure that
// their halls exist; here each staged dining table is inserted, or updates
// the stored table with its number.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "transfer/MergeEngine.h"

namespace pos::transfer {
namespace {

// Statement texts. Names go into lookups as string literals of the dialect;
// every other value is a named parameter.
const std::string kTableHallLookup = " select ID from Hall where name = ";

// The key check that keeps a stored table from being offered again.
const std::string kTableExists = " select ID from tables where ID = :ID ";

// A new table's columns beyond the dataset's: its ID, the table number as
// staged, then the values every new table takes.
constexpr std::pair<const char*, const char*> kNewTableFixed[] = {
    {"ID", nullptr},    {"Status", "'A'"},    {"TATYP", "1"},     {"IsUse", "0"},
    {"IsPrn", "0"},     {"minType", "0"},     {"minCharge", "0"}, {"popNum", "0"},
    {"isServer", "1"},  {"Oldcapacity", "0"}, {"Unite", "0"},     {"isUnite", "0"},
    {"isReserve", "0"}, {"OKTime", "0"},
};

// The table number as stored, when it is written as the server writes the
// integer (digits without a leading zero); any other number is compared by
// the server itself, a row at a time.
std::optional<std::int64_t> tableKey(MergeEngine& engine, const StagedRow& row) {
    const Value tableId = row.fieldValue("TableID");
    const std::string text = tableId.toText();
    engine.setSubject("桌号" + inQuotes(text));
    if (tableId.isNull() || text.empty() || text.size() > 9 || (text[0] == '0' && text != "0") ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    return std::stoll(text);
}

// A new table's values, in the order of the insert's columns.
void newTable(MergeEngine& /*engine*/, const StagedRow& row, const NameIds& names,
              std::vector<Value>& values, std::vector<const char*>& without) {
    const Value tableId = row.fieldValue("TableID");
    values.push_back(names.find("HallName", row.fieldAsText("HallName")).id);
    if (values.back().isNull()) {
        without.push_back("HallName");
    }
    values.push_back(tableId);
    values.push_back(row.fieldValue("TableName"));
    values.push_back(tableId);
}

void mergeTable(MergeEngine& engine) {
    const StagedRow& row = engine.row();
    Value tableId = row.fieldValue("TableID");
    engine.setSubject("桌号" + inQuotes(tableId.toText()));
    if (!tableId.isNull() && engine.exists(kTableExists, {{"ID", tableId}})) {
        engine.updateStoredRow(tableId, tableId.toText());
        return;
    }
    NameIds names;
    const std::string hall = row.fieldAsText("HallName");
    names.add("HallName", hall,
              {engine.lookupValue(kTableHallLookup + engine.quoted(hall), "ID"), {}});
    std::vector<Value> values;
    std::vector<const char*> without;
    newTable(engine, row, names, values, without);
    if (engine.insertRow(engine.newRowInsert(), engine.newRowParameters(values),
                         tableId.toText())) {
        for (const char* staged : without) {
            engine.noteWithoutReference(staged, tableId.toText());
        }
    }
}

}  // namespace

constinit const DatasetMerge kHallTableMerge{
    .dataset = datasets::kHallTableDataset,
    .lastStep = "餐桌",
    .mergeRow = mergeTable,
    .update = {.table = "tables"},
    .batched = {.keyOf = tableKey, .newRow = newTable},
    .newRowFixed = kNewTableFixed,
};

}  // namespace pos::transfer

// The merge of the dining tables: the dataset's definition makes sure that
// their halls exist; here each staged dining table is inserted, or updates
// the stored table with its number.
#include <string>

#include "transfer/MergeEngine.h"

namespace pos::transfer {
namespace {

// Statement texts. Names go into lookups as string literals of the dialect;
// every other value is a named parameter.
const std::string kTableHallLookup = " select ID from Hall where name = ";
const std::string kTableInsert =
    std::string(" insert into tables ") +
    "(ID,Code,Name,HallId,Status,TATYP,IsUse,IsPrn,minType,minCharge,popNum,isServer,Oldcapacity,"
    "Unite,isUnite,isReserve,OKTime)" +
    " values(:ID,:Code,:Name,:hallID,'A',1,0,0,0,0,0,1,0,0,0,0,0) ";

// The key check that keeps a stored table from being offered again.
const std::string kTableExists = " select ID from tables where ID = :ID ";

void mergeTable(MergeEngine& engine) {
    const StagedRow& row = engine.row();
    Value tableId = row.fieldValue("TableID");
    engine.setSubject("桌号" + inQuotes(tableId.toText()));
    if (!tableId.isNull() && engine.exists(kTableExists, {{"ID", tableId}})) {
        engine.updateStoredRow(tableId, tableId.toText());
        return;
    }
    Value tableName = row.fieldValue("TableName");
    Value hallId =
        engine.lookupValue(kTableHallLookup + engine.quoted(row.fieldAsText("HallName")), "ID");
    const bool stored = engine.insertRow(
        kTableInsert, {{"ID", tableId}, {"Code", tableId}, {"Name", tableName}, {"hallID", hallId}},
        tableId.toText());
    if (stored && hallId.isNull()) {
        engine.noteWithoutReference("HallName", tableId.toText());
    }
}

}  // namespace

constinit const DatasetMerge kHallTableMerge{
    .dataset = datasets::kHallTableDataset,
    .lastStep = "餐桌",
    .mergeRow = mergeTable,
    .update = {.table = "tables"},
};

}  // namespace pos::transfer

// The dining tables (tables), each with the hall (hall) it stands in,
// exported and imported as one row per dining table.
#include "datasets/Datasets.h"

namespace pos::datasets {

namespace {

constexpr const char* kTables[] = {"tables", "hall"};

// The dining tables' columns. A dining table is found by its number: staged
// as text, for the table's Code, but stored and found as its integer ID. A
// table without its hall is left out of an export, which the merge warns
// about.
constexpr DatasetColumn kColumns[] = {
    {.staged = "HallName",
     .sourceTable = "Hall",
     .sourceColumn = "Name",
     .heading = "厅名",
     .kind = ColumnKind::ReferenceName,
     .written = "Hallid",
     .length = 50,
     .withoutReference = "张餐桌没有所属大厅"},
    {.staged = "TableID",
     .sourceTable = "tables",
     .sourceColumn = "Code",
     .heading = "桌号",
     .kind = ColumnKind::Text,
     .key = true,
     .keyKind = KeyKind::Number,
     .length = 10},
    {.staged = "TableName",
     .sourceTable = "tables",
     .sourceColumn = "Name",
     .heading = "桌名",
     .kind = ColumnKind::Text,
     .written = "Name",
     .length = 50},
};

// The dining tables are selected with their halls in one level.
constexpr const char* kTablesAndHalls[] = {"tables", "hall"};

constexpr SelectLevel kSelects[] = {
    {.reads = kTablesAndHalls,
     .view = {.name = "VSHallTable",
              .head = " select ",
              .tail = "  ",
              .from = "from tables,hall "
                      " where tables.Hallid=hall.id "},
     .staging = {.name = "TEMPHallTable",
                 .head = " select ",
                 .tail = "     ",
                 .from = "from tables,hall where tables.Hallid=hall.id "}},
};

// A dining table is exported only when its hall is found.
constexpr ExportJoin kExportJoins[] = {
    {"hall", "tables.Hallid = hall.id"},
};

// The merge first makes sure that every hall a dining table names exists.
constexpr const char* kHallColumns[] = {"HallName"};
constexpr const char* kId[] = {"ID"};
constexpr const char* kMid[] = {"Mid"};
constexpr FixedParameter kHallFixed[] = {{"printId", 0}};

constexpr ReferencePass kReferencePasses[] = {
    {.step = "大厅",
     .subject = "大厅",
     .names = ReferenceNames::Distinct,
     .stagedColumns = kHallColumns,
     .lookup = " select * from Hall where name = ",
     .idColumn = "ID",
     .nameColumn = "Name",
     .insert = " insert into Hall (ID, Name, PrintId) values(:Mid,:Name,:printId) ",
     .idParameters = kMid,
     .nameParameter = "Name",
     .fixedParameters = kHallFixed,
     .numberedTable = "Hall",
     .numberedColumns = kId,
     .nameNumberedZero = nullptr,
     .firstOrdinal = 1},
};

// What a transfer creates, in the order of the drops.
constexpr const char* kExportViewNames[] = {"VSHallTable"};
constexpr const char* kStagingTableNames[] = {"TEMPHallTable"};

}  // namespace

constinit const Dataset kHallTableDataset{
    .key = "HallTable",
    .displayText = "厅桌信息",
    .keyName = "桌号",
    .columns = kColumns,
    .tables = kTables,
    .selects = kSelects,
    .exportedTable = "tables",
    .exportJoins = kExportJoins,
    .leftOutRows = "张桌子没有所属的大厅",
    .leftOutRemedy = "为这些桌子指定已有的大厅",
    .exportViewNames = kExportViewNames,
    .stagingTableNames = kStagingTableNames,
    .referencePasses = kReferencePasses,
    .mergePassSpan = 50,
    .referenceRows = "厅",
};

}  // namespace pos::datasets

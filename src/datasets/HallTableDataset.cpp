// The dining tables (tables), each with the hall (hall) it stands in,
// exported and imported as one row per dining table.
#include "datasets/Datasets.h"

namespace pos::datasets {

namespace {

constexpr const char* kTables[] = {"tables", "hall"};

constexpr const char* kTextColumns[] = {"HallName", "TableID", "TableName"};
// A dining table by its number: staged as text, for the table's Code, but
// stored and found as its integer ID.
constexpr KeyColumn kKeyColumns[] = {{"TableID", KeyKind::Number}};

// Each statement is its pieces joined with nothing between them.
constexpr const char* kExportViews[] = {
    "create view VSHallTable as "
    " select Hall.Name as HallName,tables.Code as TableID,tables.Name as TableName  "
    "from tables,hall "
    " where tables.Hallid=hall.id ",
};

// A dining table is exported only when its hall is found.
constexpr ExportJoin kExportJoins[] = {
    {"hall", "tables.Hallid = hall.id"},
};

constexpr StagedColumn kColumns[] = {
    {"HallName", "Hall", "Name"},
    {"TableID", "tables", "Code"},
    {"TableName", "tables", "Name"},
};

constexpr StagingStep kStagingSteps[] = {
    {"TEMPHallTable", kColumns,
     " select Hall.Name as HallName,tables.Code as TableID,tables.Name as TableName     ",
     "from tables,hall where tables.Hallid=hall.id "},
};

constexpr DefaultHeading kDefaultHeadings[] = {
    {"HallName", "厅名"},
    {"TableID", "桌号"},
    {"TableName", "桌名"},
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
     .firstOrdinal = 0},
};

// What a transfer creates, in the order of the drops.
constexpr const char* kExportViewNames[] = {"VSHallTable"};
constexpr const char* kStagingTableNames[] = {"TEMPHallTable"};

}  // namespace

constinit const Dataset kHallTableDataset{
    .key = "HallTable",
    .displayText = "厅桌信息",
    .keyName = "桌号",
    .textColumns = kTextColumns,
    .keyColumns = kKeyColumns,
    .tables = kTables,
    .exportViews = kExportViews,
    .exportedTable = "tables",
    .exportJoins = kExportJoins,
    .leftOutRows = "张桌子没有所属的大厅",
    .leftOutRemedy = "为这些桌子指定已有的大厅",
    .stagingSteps = kStagingSteps,
    .exportViewNames = kExportViewNames,
    .stagingTableNames = kStagingTableNames,
    .defaultHeadings = kDefaultHeadings,
    .referencePasses = kReferencePasses,
    .mergePassSpan = 50,
};

}  // namespace pos::datasets

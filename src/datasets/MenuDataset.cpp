// The dishes: each with its category (Category) and its kitchen station
// (STCA), exported and imported as one row per dish.
#include "datasets/Datasets.h"

namespace pos::datasets {

namespace {

constexpr const char* kTables[] = {"menu", "Category", "STCA"};

using enum ColumnKind;
using enum ValueRule;

// The dishes' columns. The reference names are stored as the identifiers
// their tables give them; a dish without one of them is left out of an
// export, which the merge warns about.
constexpr DatasetColumn kColumns[] = {
    {.staged = "ID",
     .sourceTable = "menu",
     .sourceColumn = "ID",
     .heading = "菜品编码",
     .kind = Number,
     .key = true,
     .keyKind = KeyKind::Number},
    {.staged = "Name",
     .sourceTable = "menu",
     .sourceColumn = "Name",
     .heading = "菜品名称",
     .kind = Text,
     .written = "Name",
     .length = 50},
    {.staged = "FirstLetter",
     .sourceTable = "menu",
     .sourceColumn = "FirstLetter",
     .heading = "首字母",
     .kind = Text,
     .written = "FirstLetter",
     .length = 20},
    {.staged = "CategoryName",
     .sourceTable = "Category",
     .sourceColumn = "Name",
     .heading = "菜品类别",
     .kind = ReferenceName,
     .written = "CategoryID",
     .length = 50,
     .withoutReference = "个菜品没有类别"},
    {.staged = "SCNA",
     .sourceTable = "STCA",
     .sourceColumn = "SCNA",
     .heading = "统计类别",
     .kind = ReferenceName,
     .written = "SCSN",
     .length = 50,
     .withoutReference = "个菜品没有统计类别"},
    {.staged = "Unit1",
     .sourceTable = "menu",
     .sourceColumn = "Unit1",
     .heading = "单位1",
     .kind = Text,
     .written = "Unit1",
     .length = 20},
    {.staged = "Price1",
     .sourceTable = "menu",
     .sourceColumn = "Price1",
     .heading = "价格1",
     .kind = Number,
     .written = "Price1",
     .rule = FirstPrice},
    {.staged = "Cost1",
     .sourceTable = "menu",
     .sourceColumn = "Cost1",
     .heading = "成本1",
     .kind = Number,
     .written = "Cost1",
     .rule = OtherPrice},
    {.staged = "VPrice1",
     .sourceTable = "menu",
     .sourceColumn = "VPrice1",
     .heading = "会员价1",
     .kind = Number,
     .written = "VPrice1",
     .rule = MemberPrice},
    {.staged = "Unit2",
     .sourceTable = "menu",
     .sourceColumn = "Unit2",
     .heading = "单位2",
     .kind = Text,
     .written = "Unit2",
     .length = 20},
    {.staged = "Price2",
     .sourceTable = "menu",
     .sourceColumn = "Price2",
     .heading = "价格2",
     .kind = Number,
     .written = "Price2",
     .rule = OtherPrice},
    {.staged = "Cost2",
     .sourceTable = "menu",
     .sourceColumn = "Cost2",
     .heading = "成本2",
     .kind = Number,
     .written = "Cost2",
     .rule = OtherPrice},
    {.staged = "VPrice2",
     .sourceTable = "menu",
     .sourceColumn = "VPrice2",
     .heading = "会员价2",
     .kind = Number,
     .written = "VPrice2",
     .rule = OtherPrice},
    {.staged = "Unit3",
     .sourceTable = "menu",
     .sourceColumn = "Unit3",
     .heading = "单位3",
     .kind = Text,
     .written = "Unit3",
     .length = 20},
    {.staged = "Price3",
     .sourceTable = "menu",
     .sourceColumn = "Price3",
     .heading = "价格3",
     .kind = Number,
     .written = "Price3",
     .rule = OtherPrice},
    {.staged = "Cost3",
     .sourceTable = "menu",
     .sourceColumn = "Cost3",
     .heading = "成本3",
     .kind = Number,
     .written = "Cost3",
     .rule = OtherPrice},
    {.staged = "VPrice3",
     .sourceTable = "menu",
     .sourceColumn = "VPrice3",
     .heading = "会员价3",
     .kind = Number,
     .written = "VPrice3",
     .rule = OtherPrice},
};

// Each statement is its pieces joined with nothing between them.
constexpr const char* kExportViews[] = {
    "create view VSmenu0 as "
    " select menu.ID,menu.Name,Menu.FirstLetter,Menu.CategoryID,STCA.SCNA,"
    " Menu.Unit1,Menu.Price1,Menu.Cost1,Menu.VPrice1,Menu.Unit2,Menu.Price2,"
    " Menu.Cost2,Menu.VPrice2,Menu.Unit3,Menu.Price3,Menu.Cost3,Menu.VPrice3 "
    " from menu,STCA  "
    " where menu.SCSN = STCA.SCSN ",
    "create view VSmenu as "
    " select VSmenu0.ID,VSmenu0.Name,VSmenu0.FirstLetter,Category.Name as "
    "CategoryName,"
    " VSmenu0.SCNA,VSmenu0.Unit1,VSmenu0.Price1,VSmenu0.Cost1,VSmenu0.VPrice1,"
    " VSmenu0.Unit2,VSmenu0.Price2,VSmenu0.Cost2,VSmenu0.VPrice2, "
    " VSmenu0.Unit3,VSmenu0.Price3,VSmenu0.Cost3,VSmenu0.VPrice3 "
    " from VSmenu0,Category  "
    " where VSmenu0.CategoryID =Category.ID  ",
};

// A dish is exported only when both its statistics category and its category
// are found, as the views join them.
constexpr ExportJoin kExportJoins[] = {
    {"STCA", "menu.SCSN = STCA.SCSN"},
    {"Category", "menu.CategoryID = Category.ID"},
};

// TEMPMenu's columns (the dataset's) come from TEMPmenu0, whose columns come
// from menu and STCA; their types are taken from those point-of-sale columns
// directly.
constexpr StagedColumn kMenu0Columns[] = {
    {nullptr, "menu", "ID"},         {nullptr, "menu", "Name"},    {nullptr, "menu", "FirstLetter"},
    {nullptr, "menu", "CategoryID"}, {nullptr, "STCA", "SCNA"},    {nullptr, "menu", "Unit1"},
    {nullptr, "menu", "Price1"},     {nullptr, "menu", "Cost1"},   {nullptr, "menu", "VPrice1"},
    {nullptr, "menu", "Unit2"},      {nullptr, "menu", "Price2"},  {nullptr, "menu", "Cost2"},
    {nullptr, "menu", "VPrice2"},    {nullptr, "menu", "Unit3"},   {nullptr, "menu", "Price3"},
    {nullptr, "menu", "Cost3"},      {nullptr, "menu", "VPrice3"},
};

constexpr StagingStep kStagingSteps[] = {
    {"TEMPmenu0", kMenu0Columns,
     " select menu.ID,menu.Name,Menu.FirstLetter,Menu.CategoryID,STCA.SCNA,"
     " Menu.Unit1,Menu.Price1,Menu.Cost1,Menu.VPrice1,Menu.Unit2,Menu.Price2,"
     " Menu.Cost2,Menu.VPrice2,Menu.Unit3,Menu.Price3,Menu.Cost3,Menu.VPrice3  ",
     "from menu,STCA  "
     " where menu.SCSN = STCA.SCSN "},
    {"TEMPMenu",
     {},
     " select TEMPmenu0.ID,TEMPmenu0.Name,TEMPmenu0.FirstLetter,"
     " Category.Name as  CategoryName,TEMPmenu0.SCNA,"
     " TEMPmenu0.Unit1,TEMPmenu0.Price1,TEMPmenu0.Cost1,TEMPmenu0.VPrice1, "
     " TEMPmenu0.Unit2,TEMPmenu0.Price2,TEMPmenu0.Cost2,TEMPmenu0.VPrice2,"
     " TEMPmenu0.Unit3,TEMPmenu0.Price3,TEMPmenu0.Cost3,TEMPmenu0.VPrice3   ",
     "from TEMPmenu0,Category where TEMPmenu0.CategoryID =Category.ID   "},
};

// The merge first makes sure that every category, statistics category and
// unit a dish names exists.
constexpr const char* kCategoryColumns[] = {"CategoryName"};
constexpr const char* kStatisticsColumns[] = {"SCNA"};
constexpr const char* kUnitColumns[] = {"Unit1", "Unit2", "Unit3"};
constexpr const char* kId[] = {"ID"};
constexpr const char* kMid[] = {"Mid"};
// SCID and SCSN take one number, above every SCID and SCSN stored.
constexpr const char* kStatisticsIds[] = {"Mid", "SCSN"};
constexpr const char* kStatisticsNumbering[] = {"SCID", "SCSN"};

constexpr ReferencePass kReferencePasses[] = {
    {.step = "菜品类别",
     .subject = "类别",
     .names = ReferenceNames::Distinct,
     .stagedColumns = kCategoryColumns,
     .lookup = " select * from Category where name = ",
     .idColumn = "ID",
     .nameColumn = "Name",
     .insert = " insert into Category (ID, Name, IsModify, CanDiscount, IsPreOut, IsGiveLQ, "
               "ODPTypeID, isPrice, CanUseCard, NonCalOrderfee, NonCalIntegral, MaxCharge) "
               " values(:Mid,:Name,0,1,1,0,0,1,1,0,0,0) ",
     .idParameters = kMid,
     .nameParameter = "Name",
     .fixedParameters = {},
     .numberedTable = "Category",
     .numberedColumns = kId,
     .nameNumberedZero = nullptr,
     .firstOrdinal = 1},
    {.step = "统计类别",
     .subject = "统计类别",
     .names = ReferenceNames::Distinct,
     .stagedColumns = kStatisticsColumns,
     .lookup = " select * from STCA where SCNA = ",
     .idColumn = "SCSN",
     .nameColumn = "SCNA",
     .insert = " insert into STCA (SCID,SCSN, SCNA, TJLBType) "
               " values(:Mid,:SCSN,:SCNA,0) ",
     .idParameters = kStatisticsIds,
     .nameParameter = "SCNA",
     .fixedParameters = {},
     .numberedTable = "STCA",
     .numberedColumns = kStatisticsNumbering,
     .nameNumberedZero = nullptr,
     .firstOrdinal = 1},
    {.step = "单位",
     .subject = "单位",
     .names = ReferenceNames::EveryCell,
     .stagedColumns = kUnitColumns,
     .lookup = " select * from unit where name = ",
     .idColumn = "ID",
     .nameColumn = "Name",
     .insert = " insert into Unit (ID,Name) "
               " values(:Mid,:Name) ",
     .idParameters = kMid,
     .nameParameter = "Name",
     .fixedParameters = {},
     .numberedTable = "Unit",
     .numberedColumns = kId,
     .nameNumberedZero = nullptr,
     .firstOrdinal = 1},
};

// What a transfer creates, in the order of the drops: VSmenu and VSmenu0,
// TEMPMenu and TEMPmenu0.
constexpr const char* kExportViewNames[] = {"VSMenu", "VSMenu0"};
constexpr const char* kStagingTableNames[] = {"TEMPMenu", "TEMPMenu0"};

}  // namespace

constinit const Dataset kMenuDataset{
    .key = "Menu",
    .displayText = "菜品信息",
    .keyName = "菜品编码",
    .columns = kColumns,
    .tables = kTables,
    .exportViews = kExportViews,
    .exportedTable = "menu",
    .exportJoins = kExportJoins,
    .leftOutRows = "道菜没有类别或统计类别",
    .leftOutRemedy = "为这些菜指定已有的菜品类别和统计类别",
    .stagingSteps = kStagingSteps,
    .exportViewNames = kExportViewNames,
    .stagingTableNames = kStagingTableNames,
    .referencePasses = kReferencePasses,
    .mergePassSpan = 25,
    .referenceRows = "菜品类别、统计类别和单位",
    .newRowsTakeStation = true,
};

}  // namespace pos::datasets

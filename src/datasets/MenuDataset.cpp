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
// export, which the merge warns about. `spelled` keeps the selects' texts as
// they have always been written; a new column needs none.
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
     .length = 20,
     .spelled = {.intermediate = "Menu.FirstLetter"}},
    {.staged = "CategoryName",
     .sourceTable = "Category",
     .sourceColumn = "Name",
     .heading = "菜品类别",
     .kind = ReferenceName,
     .written = "CategoryID",
     .length = 50,
     .withoutReference = "个菜品没有类别",
     .spelled = {.intermediate = "Menu.CategoryID", .staging = " Category.Name as  CategoryName"}},
    {.staged = "SCNA",
     .sourceTable = "STCA",
     .sourceColumn = "SCNA",
     .heading = "统计类别",
     .kind = ReferenceName,
     .written = "SCSN",
     .length = 50,
     .withoutReference = "个菜品没有统计类别",
     .spelled = {.view = " VSmenu0.SCNA"}},
    {.staged = "Unit1",
     .sourceTable = "menu",
     .sourceColumn = "Unit1",
     .heading = "单位1",
     .kind = Text,
     .written = "Unit1",
     .length = 20,
     .spelled = {.intermediate = " Menu.Unit1", .staging = " TEMPmenu0.Unit1"}},
    {.staged = "Price1",
     .sourceTable = "menu",
     .sourceColumn = "Price1",
     .heading = "价格1",
     .kind = Number,
     .written = "Price1",
     .rule = FirstPrice,
     .spelled = {.intermediate = "Menu.Price1"}},
    {.staged = "Cost1",
     .sourceTable = "menu",
     .sourceColumn = "Cost1",
     .heading = "成本1",
     .kind = Number,
     .written = "Cost1",
     .rule = OtherPrice,
     .spelled = {.intermediate = "Menu.Cost1"}},
    {.staged = "VPrice1",
     .sourceTable = "menu",
     .sourceColumn = "VPrice1",
     .heading = "会员价1",
     .kind = Number,
     .written = "VPrice1",
     .rule = MemberPrice,
     .spelled = {.intermediate = "Menu.VPrice1"}},
    {.staged = "Unit2",
     .sourceTable = "menu",
     .sourceColumn = "Unit2",
     .heading = "单位2",
     .kind = Text,
     .written = "Unit2",
     .length = 20,
     .spelled = {.intermediate = "Menu.Unit2",
                 .view = " VSmenu0.Unit2",
                 .staging = "  TEMPmenu0.Unit2"}},
    {.staged = "Price2",
     .sourceTable = "menu",
     .sourceColumn = "Price2",
     .heading = "价格2",
     .kind = Number,
     .written = "Price2",
     .rule = OtherPrice,
     .spelled = {.intermediate = "Menu.Price2"}},
    {.staged = "Cost2",
     .sourceTable = "menu",
     .sourceColumn = "Cost2",
     .heading = "成本2",
     .kind = Number,
     .written = "Cost2",
     .rule = OtherPrice,
     .spelled = {.intermediate = " Menu.Cost2"}},
    {.staged = "VPrice2",
     .sourceTable = "menu",
     .sourceColumn = "VPrice2",
     .heading = "会员价2",
     .kind = Number,
     .written = "VPrice2",
     .rule = OtherPrice,
     .spelled = {.intermediate = "Menu.VPrice2"}},
    {.staged = "Unit3",
     .sourceTable = "menu",
     .sourceColumn = "Unit3",
     .heading = "单位3",
     .kind = Text,
     .written = "Unit3",
     .length = 20,
     .spelled = {.intermediate = "Menu.Unit3",
                 .view = "  VSmenu0.Unit3",
                 .staging = " TEMPmenu0.Unit3"}},
    {.staged = "Price3",
     .sourceTable = "menu",
     .sourceColumn = "Price3",
     .heading = "价格3",
     .kind = Number,
     .written = "Price3",
     .rule = OtherPrice,
     .spelled = {.intermediate = "Menu.Price3"}},
    {.staged = "Cost3",
     .sourceTable = "menu",
     .sourceColumn = "Cost3",
     .heading = "成本3",
     .kind = Number,
     .written = "Cost3",
     .rule = OtherPrice,
     .spelled = {.intermediate = "Menu.Cost3"}},
    {.staged = "VPrice3",
     .sourceTable = "menu",
     .sourceColumn = "VPrice3",
     .heading = "会员价3",
     .kind = Number,
     .written = "VPrice3",
     .rule = OtherPrice,
     .spelled = {.intermediate = "Menu.VPrice3"}},
};

// A dish is exported only when both its statistics category and its category
// are found, as the views join them.
constexpr ExportJoin kExportJoins[] = {
    {"STCA", "menu.SCSN = STCA.SCSN"},
    {"Category", "menu.CategoryID = Category.ID"},
};

// The dishes are selected in two levels: VSmenu0 and TEMPmenu0 read the
// dishes with their statistics categories (and the category's identifier),
// VSmenu and TEMPMenu read those rows with their categories.
constexpr const char* kDishesAndStatistics[] = {"menu", "STCA"};
constexpr const char* kCategories[] = {"Category"};

constexpr SelectLevel kSelects[] = {
    {.reads = kDishesAndStatistics,
     .view = {.name = "VSmenu0",
              .head = " select ",
              .tail = " ",
              .from = " from menu,STCA  "
                      " where menu.SCSN = STCA.SCSN "},
     .staging = {.name = "TEMPmenu0",
                 .head = " select ",
                 .tail = "  ",
                 .from = "from menu,STCA  "
                         " where menu.SCSN = STCA.SCSN "}},
    {.reads = kCategories,
     .view = {.name = "VSmenu",
              .head = " select ",
              .tail = " ",
              .from = " from VSmenu0,Category  "
                      " where VSmenu0.CategoryID =Category.ID  "},
     .staging = {.name = "TEMPMenu",
                 .head = " select ",
                 .tail = "   ",
                 .from = "from TEMPmenu0,Category where TEMPmenu0.CategoryID =Category.ID   "}},
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
    .selects = kSelects,
    .exportedTable = "menu",
    .exportJoins = kExportJoins,
    .leftOutRows = "道菜没有类别或统计类别",
    .leftOutRemedy = "为这些菜指定已有的菜品类别和统计类别",
    .exportViewNames = kExportViewNames,
    .stagingTableNames = kStagingTableNames,
    .referencePasses = kReferencePasses,
    .mergePassSpan = 25,
    .referenceRows = "菜品类别、统计类别和单位",
    .newRowsTakeStation = true,
};

}  // namespace pos::datasets

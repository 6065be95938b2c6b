// The dish annotations (Annotate), each with its type (AnnotateType),
// exported and imported as one row per annotation.
#include "datasets/Datasets.h"

namespace pos::datasets {

namespace {

constexpr const char* kTables[] = {"AnnotateType", "Annotate"};

constexpr const char* kTextColumns[] = {"AnnotateTypeName", "Annotatename"};
// An annotation by its type and its name.
constexpr KeyColumn kKeyColumns[] = {{"AnnotateTypeName", KeyKind::Text},
                                     {"Annotatename", KeyKind::Text}};

// Each statement is its pieces joined with nothing between them.
constexpr const char* kExportViews[] = {
    "create view VSMenuAnnotate as  "
    " select AnnotateType.Name as AnnotateTypeName,Annotate.name as Annotatename "
    "from AnnotateType,Annotate "
    " where AnnotateType.ID = Annotate.AnnotateTypeID ",
};

// An annotation is exported only when its type is found.
constexpr ExportJoin kExportJoins[] = {
    {"AnnotateType", "AnnotateType.ID = Annotate.AnnotateTypeID"},
};

constexpr StagedColumn kColumns[] = {
    {"AnnotateTypeName", "AnnotateType", "Name"},
    {"Annotatename", "Annotate", "name"},
};

constexpr StagingStep kStagingSteps[] = {
    {"TEMPMenuAnnotate", kColumns,
     " select AnnotateType.Name as AnnotateTypeName,Annotate.name as Annotatename   ",
     "from AnnotateType,Annotate "
     " where AnnotateType.ID = Annotate.AnnotateTypeID "},
};

// "Annotatename" is spelled with a small n, as the view's column is.
constexpr DefaultHeading kDefaultHeadings[] = {
    {"AnnotateTypeName", "注释类别"},
    {"Annotatename", "注释名称"},
};

// The merge first makes sure that every annotation type an annotation names
// exists; the general type "总注" always takes ID 0.
constexpr const char* kTypeColumns[] = {"AnnotateTypeName"};
constexpr const char* kId[] = {"ID"};
constexpr const char* kMid[] = {"Mid"};

constexpr ReferencePass kReferencePasses[] = {
    {.step = "注释类别",
     .subject = "注释类别",
     .names = ReferenceNames::Distinct,
     .stagedColumns = kTypeColumns,
     .lookup = " select * from AnnotateType where name = ",
     .idColumn = "ID",
     .nameColumn = "Name",
     .insert = " insert into AnnotateType (ID, Name) values(:Mid,:Name) ",
     .idParameters = kMid,
     .nameParameter = "Name",
     .fixedParameters = {},
     .numberedTable = "AnnotateType",
     .numberedColumns = kId,
     .nameNumberedZero = "总注",
     .firstOrdinal = 1},
};

// What a transfer creates, in the order of the drops.
constexpr const char* kExportViewNames[] = {"VSMenuAnnotate"};
constexpr const char* kStagingTableNames[] = {"TEMPMenuAnnotate"};

}  // namespace

constinit const Dataset kMenuAnnotateDataset{
    .key = "MenuAnnotate",
    .displayText = "菜品注释",
    .keyName = "注释",
    .textColumns = kTextColumns,
    .keyColumns = kKeyColumns,
    .tables = kTables,
    .exportViews = kExportViews,
    .exportedTable = "Annotate",
    .exportJoins = kExportJoins,
    .leftOutRows = "条注释没有注释类别",
    .leftOutRemedy = "为这些注释指定已有的注释类别",
    .stagingSteps = kStagingSteps,
    .exportViewNames = kExportViewNames,
    .stagingTableNames = kStagingTableNames,
    .defaultHeadings = kDefaultHeadings,
    .referencePasses = kReferencePasses,
    .mergePassSpan = 50,
};

}  // namespace pos::datasets

// The dish annotations (Annotate), each with its type (AnnotateType),
// exported and imported as one row per annotation.
#include "datasets/Datasets.h"

namespace pos::datasets {

namespace {

constexpr const char* kTables[] = {"AnnotateType", "Annotate"};

// The annotations' columns: an annotation is found by its type and its name,
// and has no column beyond its key that an update could write.
// "Annotatename" is spelled with a small n, as the view's column is.
constexpr DatasetColumn kColumns[] = {
    {.staged = "AnnotateTypeName",
     .sourceTable = "AnnotateType",
     .sourceColumn = "Name",
     .heading = "注释类别",
     .kind = ColumnKind::ReferenceName,
     .key = true,
     .keyKind = KeyKind::Text,
     .length = 50},
    {.staged = "Annotatename",
     .sourceTable = "Annotate",
     .sourceColumn = "name",
     .heading = "注释名称",
     .kind = ColumnKind::Text,
     .key = true,
     .keyKind = KeyKind::Text,
     .length = 50},
};

// The annotations are selected with their types in one level.
constexpr const char* kTypesAndAnnotations[] = {"AnnotateType", "Annotate"};

constexpr SelectLevel kSelects[] = {
    {.reads = kTypesAndAnnotations,
     .view = {.name = "VSMenuAnnotate",
              .head = "  select ",
              .tail = " ",
              .from = "from AnnotateType,Annotate "
                      " where AnnotateType.ID = Annotate.AnnotateTypeID "},
     .staging = {.name = "TEMPMenuAnnotate",
                 .head = " select ",
                 .tail = "   ",
                 .from = "from AnnotateType,Annotate "
                         " where AnnotateType.ID = Annotate.AnnotateTypeID "}},
};

// An annotation is exported only when its type is found.
constexpr ExportJoin kExportJoins[] = {
    {"AnnotateType", "AnnotateType.ID = Annotate.AnnotateTypeID"},
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
    .columns = kColumns,
    .tables = kTables,
    .selects = kSelects,
    .exportedTable = "Annotate",
    .exportJoins = kExportJoins,
    .leftOutRows = "条注释没有注释类别",
    .leftOutRemedy = "为这些注释指定已有的注释类别",
    .exportViewNames = kExportViewNames,
    .stagingTableNames = kStagingTableNames,
    .referencePasses = kReferencePasses,
    .mergePassSpan = 50,
    .referenceRows = "注释类别",
};

}  // namespace pos::datasets

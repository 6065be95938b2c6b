// The three datasets the tool moves, each defined once in a file of its own
// (MenuDataset.cpp, HallTableDataset.cpp, MenuAnnotateDataset.cpp): its key
// and display text, the point-of-sale tables it needs, the views its export
// reads, the staging tables its import fills, its default field map and the
// reference passes of its merge. The statements are the server's texts, the
// views' and staging selects' built from the column table
// (datasets/Selects.h); the database layer only varies what differs between
// servers, and is handed these lists by the transfer layer.
#pragma once

#include <array>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace pos::datasets {

// One column of a staging table and the point-of-sale column whose declared
// type and NOT NULL it takes: named `alias` when given, else as the source
// column's table declares it.
struct StagedColumn {
    const char* alias;
    const char* sourceTable;
    const char* sourceColumn;
};

// One select of a view or a staging table, as its statement spells what
// surrounds the columns: the statement is `head`, the columns joined by ",",
// `tail`, then `from`. A view is created by "create view NAME as " and the
// whole select; a staging select is split before `from`, where the server's
// SELECT ... INTO names the table it makes.
struct SelectText {
    const char* name;  // the view or staging table it makes
    const char* head;  // " select "
    const char* tail;  // after the last column
    const char* from;  // "from ..." to the end
};

// One level of the selects that the export's views and the import's staging
// tables are built from alike: the view and the table it makes, and the
// point-of-sale tables whose columns it reads as they stand (any letter
// case). A level after the first also reads the view or table of the level
// before; the last level makes the dataset's own view and staging table.
//
// A column's spelling in a level's select follows from the column table:
// read from one of `reads`, it is SOURCETABLE.SOURCECOLUMN, with
// " as STAGED" when the names differ; else, in the first level, a reference
// name not yet joined is the column of the exported table that refers to it
// (EXPORTEDTABLE.WRITTEN, named so in the level's table); else it is read
// from the level before (NAME.STAGED). `DatasetColumn::spelled` overrides
// this where a statement has always spelled a column otherwise.
struct SelectLevel {
    std::span<const char* const> reads;
    SelectText view;
    SelectText staging;
};

// How the selects have always spelled a column where that differs from the
// rule above (letter case, the spaces where the statement's source lines
// were joined, "as  "), or nullptr where the rule's spelling stands.
struct HistoricSpelling {
    // In the selects of the levels before the last, the view and the
    // staging table alike.
    const char* intermediate = nullptr;
    // In the last level's select of the view and of the staging table.
    const char* view = nullptr;
    const char* staging = nullptr;
};

// A table that the export views join the dataset's own rows with, and the
// condition they join on, naming both tables: a row without a partner in it
// is not exported.
struct ExportJoin {
    const char* table;
    const char* condition;
};

// A parameter of a reference row's insert that always takes one number.
struct FixedParameter {
    const char* name;
    int value;
};

// How the database compares the values of a key column, and so when two
// workbook rows name one record: a number column by its value ("012", "12"
// and 12.0 are one key), a text column as the server compares names (trailing
// blanks and ASCII letter case aside).
enum class KeyKind { Number, Text };

struct KeyColumn {
    const char* column;  // the staging column
    KeyKind kind;
    const char* heading;  // its default heading
};

// What a column holds: how a workbook's cell goes in, and how an update
// compares it with the stored row and writes it.
enum class ColumnKind {
    // Text, taken as the spreadsheet shows the cell (TRUE, 2024-03-04).
    Text,
    // A number, made the value stored by the column's value rule.
    Number,
    // The name of a reference row (a category, a hall): text in the workbook
    // and the staging table, the identifier behind the name in the stored row.
    ReferenceName,
};

// The rule that makes a number cell the value stored, for a new row and for
// an update alike. Only the names are data; the rules are code of the
// dataset's merge.
enum class ValueRule {
    AsGiven,      // the cell as it stands
    FirstPrice,   // NULL or blank text is 0, any other value stays
    OtherPrice,   // only a positive value stays, anything else is 0
    MemberPrice,  // as OtherPrice; a row without any member price then takes
                  // its first non-zero price
};

// One column of a dataset, as the export view shows it, the staging table
// holds it and the default field map heads it.
struct DatasetColumn {
    // The column of the export view and of the staging table, and the
    // column the field map names.
    const char* staged;
    // The point-of-sale column whose declared type and NOT NULL the staging
    // column takes, and whose value the export view shows.
    const char* sourceTable;
    const char* sourceColumn;
    // The default field map's heading.
    const char* heading;
    ColumnKind kind;
    // Whether it is (part of) the key that names one record, and how the key
    // compares.
    bool key = false;
    KeyKind keyKind = KeyKind::Text;
    // The stored column an update writes (for a reference name the column of
    // the identifier), or nullptr when an update leaves the column alone.
    const char* written = nullptr;
    ValueRule rule = ValueRule::AsGiven;
    // The length the source column declares for its text, 0 for a number.
    int length = 0;
    // A reference name that the tool's own export joins on: how the merge's
    // warning names the rows stored without it ("个菜品没有类别"), else
    // nullptr.
    const char* withoutReference = nullptr;
    // Only where the views' and staging selects' texts have always spelled
    // the column otherwise than the rule (`SelectLevel`); a new column
    // leaves it out.
    HistoricSpelling spelled = {};
};

// Which names of the staged rows a reference pass visits.
enum class ReferenceNames {
    Distinct,   // each distinct name of its one staged column, equal names once
    EveryCell,  // each staged row in turn, and in it each of its columns in order
};

// A pass of the merge that makes sure each name of a staged column exists in
// a reference table (a category, a hall), and else inserts it under the next
// identifier. Runs before the last pass, which looks the names up.
struct ReferencePass {
    // The step as a stop names it, which is also the kind of a created row:
    // "菜品类别", "统计类别", "单位", "大厅", "注释类别".
    const char* step;
    // How a stop names the row of the pass: this, then the name in quotes.
    const char* subject;
    ReferenceNames names;
    std::span<const char* const> stagedColumns;
    // The lookup of a name, completed by the name as a literal of the dialect.
    const char* lookup;
    // The reference table's identifier and name as the lookup gives them.
    const char* idColumn;
    const char* nameColumn;
    // The insert of a missing name and its parameters: the new identifier
    // under each of `idParameters`, the name under `nameParameter`, then the
    // fixed ones.
    const char* insert;
    std::span<const char* const> idParameters;
    const char* nameParameter;
    std::span<const FixedParameter> fixedParameters;
    // The new identifier: one above the largest of these columns of
    // `numberedTable` (their maxima read in this order), so that it collides
    // with none of them.
    const char* numberedTable;
    std::span<const char* const> numberedColumns;
    // A name that always takes identifier 0 (compared trimmed), or nullptr.
    const char* nameNumberedZero;
    // The ordinal of the pass's first row in the progress arithmetic.
    int firstOrdinal;
};

struct Dataset {
    const char* key;          // "Menu", "HallTable", "MenuAnnotate"
    const char* displayText;  // the text of the dataset drop-down
    const char* keyName;  // what the user calls a record's key: "菜品编码", "桌号", "注释"
    // The dataset's columns in the order of the export view, of the last
    // staging table and of the default field map.
    std::span<const DatasetColumn> columns;
    // The point-of-sale tables the dataset reads, each of which the database
    // must hold once before a transfer starts.
    std::span<const char* const> tables;
    // The levels of the selects that make the export's views and the
    // import's staging tables, in the order they are made: "VS" + key and
    // "TEMP" + key last, after the intermediate "VS" + key + "0" and
    // "TEMP" + key + "0" they read, if any (`datasets/Selects.h` builds
    // the statements).
    std::span<const SelectLevel> selects;
    // The point-of-sale table that holds one stored row per exported row, and
    // the tables the views join it with: its rows without a partner in one of
    // them are the rows an export leaves out.
    const char* exportedTable;
    std::span<const ExportJoin> exportJoins;
    // How an export's closing note names the rows it left out, after their
    // number ("另有3" + "道菜没有类别或统计类别"), and what to do in the
    // database to export them ("为这些菜指定…").
    const char* leftOutRows;
    const char* leftOutRemedy;
    // Every object that a transfer of the dataset creates in the user's
    // database, and nothing else: the views and tables of `selects`, in the
    // order they are dropped (each before the one it reads), named as the
    // drops have always named them (the server compares names without
    // regard to letter case). Only these are dropped,
    // so that an object of the user's own whose name merely resembles them
    // stays.
    std::span<const char* const> exportViewNames;
    std::span<const char* const> stagingTableNames;
    // The merge's reference passes, in the order they run, before its last
    // pass over the staged rows; how far each pass moves the gauge.
    std::span<const ReferencePass> referencePasses;
    int mergePassSpan;
    // The reference rows of those passes as the self-test's steps name them
    // ("清空菜品信息及" + this): the self-test empties the exported table,
    // then also the passes' numbered tables, and has the import create them.
    const char* referenceRows;
    // Whether the import writes the station number into the new rows (and
    // so must be given one).
    bool newRowsTakeStation = false;
};

extern const Dataset kMenuDataset;
extern const Dataset kHallTableDataset;
extern const Dataset kMenuAnnotateDataset;

// The datasets in the order of the drop-down; a new dataset is one more entry.
inline constexpr std::array kDatasets{std::cref(kMenuDataset), std::cref(kHallTableDataset),
                                      std::cref(kMenuAnnotateDataset)};

// The keys of the datasets that `which` accepts (every one when nullptr),
// in the order of the list, each followed by `suffix`, joined by `separator`
// and the last two by `lastJoin`: "Menu, HallTable or MenuAnnotate". The
// help's lists are built with it, so that they name every dataset.
std::string datasetKeys(const std::string& separator, const std::string& lastJoin,
                        const std::string& suffix = {}, bool (*which)(const Dataset&) = nullptr);

// The dataset of a drop-down text (trimmed, compared exactly), or nullptr.
const Dataset* datasetFromCombo(const std::string& text);

// The dataset for a key in any letter case or for a display text, or nullptr.
const Dataset* findDataset(const std::string& keyOrText);

// The dataset for a key in any letter case (not a display text), or nullptr.
const Dataset* datasetForKey(const std::string& key);

// Whether `column` (any letter case) is one of the dataset's columns that
// hold text (a text or a reference name): a cell bound for one of them goes
// in as the spreadsheet shows it, not as the number the cell holds.
bool isTextColumn(const Dataset& dataset, const std::string& column);

// The columns that together name one record, in the dataset's order, each
// compared as the column the merge finds a stored record by compares it.
std::vector<KeyColumn> keyColumns(const Dataset& dataset);

// The column of that staged name (any letter case), or nullptr.
const DatasetColumn* findColumn(const Dataset& dataset, const std::string& staged);

}  // namespace pos::datasets

// The three datasets the tool moves, each defined once in a file of its own
// (MenuDataset.cpp, HallTableDataset.cpp, MenuAnnotateDataset.cpp): its key
// and display text, the point-of-sale tables it needs, the views its export
// reads, the staging tables its import fills, its default field map and the
// reference passes of its merge. The statements are the server's texts; the
// database layer only varies what differs between servers, and is handed
// these lists by the transfer layer.
#pragma once

#include <array>
#include <functional>
#include <span>
#include <string>

namespace pos::datasets {

// One column of a staging table and the point-of-sale column whose declared
// type and NOT NULL it takes: named `alias` when given, else as the source
// column's table declares it.
struct StagedColumn {
    const char* alias;
    const char* sourceTable;
    const char* sourceColumn;
};

// One staging table, filled with the rows of a select. The select is held in
// two parts, split before the word "from", where the server's SELECT ... INTO
// names the table it makes; joined, they are the select itself.
struct StagingStep {
    const char* table;
    std::span<const StagedColumn> columns;  // in the order of the select's columns
    const char* selectList;                 // " select ...", up to "from"
    const char* fromClause;                 // "from ..." to the end
};

// A table that the export views join the dataset's own rows with, and the
// condition they join on, naming both tables: a row without a partner in it
// is not exported.
struct ExportJoin {
    const char* table;
    const char* condition;
};

// A column of the dataset's export view and the heading that the default
// field map gives it.
struct DefaultHeading {
    const char* column;
    const char* heading;
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
    // The staging columns that hold text: a cell bound for one of them goes
    // in as the spreadsheet shows it (TRUE, 2024-03-04), not as the number
    // the cell holds.
    std::span<const char* const> textColumns;
    // The staging columns that together name one record, each compared as
    // the column the merge finds a stored record by compares it.
    std::span<const KeyColumn> keyColumns;
    // The point-of-sale tables the dataset reads, each of which the database
    // must hold once before a transfer starts.
    std::span<const char* const> tables;
    // The statements that create the export's views, in the order they are
    // sent: "VS" + key, after the intermediate "VS" + key + "0" it reads, if
    // any. Each is sent as it stands.
    std::span<const char* const> exportViews;
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
    // The import's staging tables in the order they are built: "TEMP" + key
    // last, after the intermediate "TEMP" + key + "0" it is built from, if any.
    std::span<const StagingStep> stagingSteps;
    // Every object that a transfer of the dataset creates in the user's
    // database, and nothing else: the views of `exportViews` and the tables
    // of `stagingSteps`, in the order they are dropped (each before the one
    // it reads), named as the drops have always named them (the server
    // compares names without regard to letter case). Only these are dropped,
    // so that an object of the user's own whose name merely resembles them
    // stays.
    std::span<const char* const> exportViewNames;
    std::span<const char* const> stagingTableNames;
    // The default field map's entries, in the order of the view's columns.
    std::span<const DefaultHeading> defaultHeadings;
    // The merge's reference passes, in the order they run, before its last
    // pass over the staged rows; how far each pass moves the gauge.
    std::span<const ReferencePass> referencePasses;
    int mergePassSpan;
};

extern const Dataset kMenuDataset;
extern const Dataset kHallTableDataset;
extern const Dataset kMenuAnnotateDataset;

// The datasets in the order of the drop-down.
inline constexpr std::array<std::reference_wrapper<const Dataset>, 3> kDatasets{
    std::cref(kMenuDataset), std::cref(kHallTableDataset), std::cref(kMenuAnnotateDataset)};

// The key for a drop-down text (trimmed, compared exactly), or empty.
std::string datasetKeyFromCombo(const std::string& text);

// The dataset for a key in any letter case or for a display text, or nullptr.
const Dataset* findDataset(const std::string& keyOrText);

// The dataset for a key in any letter case (not a display text), or nullptr.
const Dataset* datasetForKey(const std::string& key);

// Whether `column` (any letter case) is one of the dataset's text columns.
bool isTextColumn(const Dataset& dataset, const std::string& column);

}  // namespace pos::datasets

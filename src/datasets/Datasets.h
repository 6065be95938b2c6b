// The three datasets the tool moves, each defined once in a file of its own
// (MenuDataset.cpp, HallTableDataset.cpp, MenuAnnotateDataset.cpp): its key
// and display text, the point-of-sale tables it needs, the views its export
// reads, the staging tables its import fills and its default field map. The statements are the
// server's texts; the database layer only varies what differs between
// servers, and is handed these lists by the transfer layer.
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

// A column of the dataset's export view and the heading that the default
// field map gives it.
struct DefaultHeading {
    const char* column;
    const char* heading;
};

struct Dataset {
    const char* key;          // "Menu", "HallTable", "MenuAnnotate"
    const char* displayText;  // the text of the dataset drop-down
    const char* keyName;  // what the user calls a record's key: "菜品编码", "桌号", "注释"
    // The staging columns that hold text: a cell bound for one of them goes
    // in as the spreadsheet shows it (TRUE, 2024-03-04), not as the number
    // the cell holds.
    std::span<const char* const> textColumns;
    // The staging columns that together name one record.
    std::span<const char* const> keyColumns;
    // The point-of-sale tables the dataset reads, each of which the database
    // must hold once before a transfer starts.
    std::span<const char* const> tables;
    // The statements that create the export's views, in the order they are
    // sent: "VS" + key, after the intermediate "VS" + key + "0" it reads, if
    // any. Each is sent as it stands.
    std::span<const char* const> exportViews;
    // The import's staging tables in the order they are built: "TEMP" + key
    // last, after the intermediate "TEMP" + key + "0" it is built from, if any.
    std::span<const StagingStep> stagingSteps;
    // The default field map's entries, in the order of the view's columns.
    std::span<const DefaultHeading> defaultHeadings;
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

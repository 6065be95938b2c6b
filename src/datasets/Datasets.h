// The three datasets the tool moves, and how their names are derived.
#pragma once

#include <array>
#include <span>
#include <string>

namespace pos::datasets {

// The staging columns of each dataset that hold text: a cell bound for one
// of them goes in as the spreadsheet shows it (TRUE, 2024-03-04), not as the
// number the cell holds.
inline constexpr const char* kMenuTextColumns[] = {"Name",  "FirstLetter", "CategoryName", "SCNA",
                                                   "Unit1", "Unit2",       "Unit3"};
inline constexpr const char* kHallTableTextColumns[] = {"HallName", "TableID", "TableName"};
inline constexpr const char* kMenuAnnotateTextColumns[] = {"AnnotateTypeName", "Annotatename"};

// The staging columns that together name one record: a dish by its ID, a
// dining table by its number, an annotation by its type and its name.
inline constexpr const char* kMenuKeyColumns[] = {"ID"};
inline constexpr const char* kHallTableKeyColumns[] = {"TableID"};
inline constexpr const char* kMenuAnnotateKeyColumns[] = {"AnnotateTypeName", "Annotatename"};

struct Dataset {
    const char* key;          // "Menu", "HallTable", "MenuAnnotate"
    const char* displayText;  // the text of the dataset drop-down
    std::span<const char* const> textColumns;
    std::span<const char* const> keyColumns;
    const char* keyName;  // what the user calls a record's key: "菜品编码", "桌号", "注释"
};

inline constexpr std::array<Dataset, 3> kDatasets{{
    {"Menu", "菜品信息", kMenuTextColumns, kMenuKeyColumns, "菜品编码"},
    {"HallTable", "厅桌信息", kHallTableTextColumns, kHallTableKeyColumns, "桌号"},
    {"MenuAnnotate", "菜品注释", kMenuAnnotateTextColumns, kMenuAnnotateKeyColumns, "注释"},
}};

// The key for a drop-down text (trimmed, compared exactly), or empty.
std::string datasetKeyFromCombo(const std::string& text);

// The dataset for a key in any letter case or for a display text, or nullptr.
const Dataset* findDataset(const std::string& keyOrText);

// Whether `column` (any letter case) is one of the dataset's text columns.
bool isTextColumn(const Dataset& dataset, const std::string& column);

}  // namespace pos::datasets

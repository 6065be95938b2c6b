// The three datasets the tool moves, and how their names are derived.
#pragma once

#include <array>
#include <string>

namespace pos::datasets {

struct Dataset {
    const char* key;          // "Menu", "HallTable", "MenuAnnotate"
    const char* displayText;  // the text of the dataset drop-down
};

inline constexpr std::array<Dataset, 3> kDatasets{{
    {"Menu", "菜品信息"},
    {"HallTable", "厅桌信息"},
    {"MenuAnnotate", "菜品注释"},
}};

// The key for a drop-down text (trimmed, compared exactly), or empty.
std::string datasetKeyFromCombo(const std::string& text);

// The dataset for a key in any letter case or for a display text, or nullptr.
const Dataset* findDataset(const std::string& keyOrText);

}  // namespace pos::datasets

// The three datasets the tool moves.
#include "datasets/Datasets.h"

#include "common/Text.h"

namespace pos::datasets {

std::string datasetKeyFromCombo(const std::string& text) {
    std::string t = trimmed(text);
    for (const Dataset& d : kDatasets) {
        if (t == d.displayText) {
            return d.key;
        }
    }
    return {};
}

const Dataset* findDataset(const std::string& keyOrText) {
    for (const Dataset& d : kDatasets) {
        if (equalsIgnoreCase(keyOrText, d.key) || keyOrText == d.displayText) {
            return &d;
        }
    }
    return nullptr;
}

const Dataset* datasetForKey(const std::string& key) {
    for (const Dataset& d : kDatasets) {
        if (equalsIgnoreCase(key, d.key)) {
            return &d;
        }
    }
    return nullptr;
}

bool isTextColumn(const Dataset& dataset, const std::string& column) {
    for (const char* name : dataset.textColumns) {
        if (equalsIgnoreCase(column, name)) {
            return true;
        }
    }
    return false;
}

}  // namespace pos::datasets

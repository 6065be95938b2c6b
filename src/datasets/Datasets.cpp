// The three datasets the tool moves.
#include "datasets/Datasets.h"

#include "common/Text.h"

namespace pos::datasets {

const Dataset* datasetFromCombo(const std::string& text) {
    std::string t = trimmed(text);
    for (const Dataset& d : kDatasets) {
        if (t == d.displayText) {
            return &d;
        }
    }
    return nullptr;
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
    const DatasetColumn* c = findColumn(dataset, column);
    return c != nullptr && c->kind != ColumnKind::Number;
}

std::vector<KeyColumn> keyColumns(const Dataset& dataset) {
    std::vector<KeyColumn> key;
    for (const DatasetColumn& c : dataset.columns) {
        if (c.key) {
            key.push_back({c.staged, c.keyKind, c.heading});
        }
    }
    return key;
}

const DatasetColumn* findColumn(const Dataset& dataset, const std::string& staged) {
    for (const DatasetColumn& c : dataset.columns) {
        if (equalsIgnoreCase(staged, c.staged)) {
            return &c;
        }
    }
    return nullptr;
}

}  // namespace pos::datasets

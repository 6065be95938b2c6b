// The three datasets the tool moves.
#include "datasets/Datasets.h"

#include "common/Text.h"

namespace pos::datasets {

std::string datasetKeys(const std::string& separator, const std::string& lastJoin,
                        const std::string& suffix, bool (*which)(const Dataset&)) {
    std::vector<std::string> keys;
    for (const Dataset& d : kDatasets) {
        if (which == nullptr || which(d)) {
            keys.push_back(d.key + suffix);
        }
    }
    std::string text;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (i > 0) {
            text += i + 1 == keys.size() ? lastJoin : separator;
        }
        text += keys[i];
    }
    return text;
}

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

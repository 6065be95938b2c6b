// Field maps: the default contents, writing missing files, reading a map.
#include "datasets/FieldMap.h"

#include <array>
#include <stdexcept>

#include "common/Text.h"
#include "datasets/Datasets.h"
#include "datasets/IniFile.h"

namespace pos::datasets {

namespace {

// A dataset's default headings as a field map: each column is both the
// worksheet's column and the view's.
FieldMap mapOf(const Dataset& dataset) {
    FieldMap map;
    for (const DatasetColumn& c : dataset.columns) {
        map.entries.push_back({c.staged, c.staged, c.heading});
    }
    return map;
}

}  // namespace

std::vector<std::string> FieldMap::showNames() const {
    std::vector<std::string> names;
    names.reserve(entries.size());
    for (const FieldMapEntry& e : entries) {
        names.push_back(e.showName);
    }
    return names;
}

const FieldMap& defaultFieldMap(const Dataset& dataset) {
    static const std::array<FieldMap, kDatasets.size()> maps = [] {
        std::array<FieldMap, kDatasets.size()> all;
        for (std::size_t i = 0; i < kDatasets.size(); ++i) {
            all[i] = mapOf(kDatasets[i]);
        }
        return all;
    }();
    for (std::size_t i = 0; i < kDatasets.size(); ++i) {
        if (&dataset == &kDatasets[i].get()) {
            return maps[i];
        }
    }
    throw std::invalid_argument(std::string("数据集“") + dataset.key + "”没有默认的字段对应。");
}

const FieldMap& defaultFieldMap(const std::string& datasetKey) {
    const Dataset* dataset = datasetForKey(datasetKey);
    if (dataset == nullptr) {
        throw std::invalid_argument("数据集“" + datasetKey + "”没有默认的字段对应。");
    }
    return defaultFieldMap(*dataset);
}

std::string fieldMapPath(const std::string& dir, const Dataset& dataset) {
    return fieldMapPath(dir, std::string(dataset.key));
}

std::string fieldMapPath(const std::string& dir, const std::string& datasetKey) {
    std::string path = dir;
    if (!path.empty() && path.back() != '/') {
        path += '/';
    }
    return path + datasetKey + ".ini";
}

void writeDefaultFieldMaps(const std::string& dir) {
    for (const Dataset& d : kDatasets) {
        std::string path = fieldMapPath(dir, d.key);
        if (!IniFile::exists(path)) {
            writeFieldMap(path, defaultFieldMap(d.key));
        }
    }
}

FieldMap readFieldMap(const std::string& path) {
    IniFile ini = IniFile::load(path);
    int count = ini.readInteger("field", "FieldCount", 1);
    if (count > kMaxFieldMapEntries) {
        throw IniError("字段对应文件“" + path + "”中的FieldCount=" + std::to_string(count) +
                       "，超过了工作表最多能容纳的" + std::to_string(kMaxFieldMapEntries) +
                       "列，请改正该文件中的FieldCount。");
    }
    FieldMap map;
    for (int k = 1; k <= count; ++k) {
        FieldMapEntry e;
        e.identifier = ini.readString("field", std::to_string(k), "");
        e.showField = ini.readString(e.identifier, "ShowField", "");
        e.showName = ini.readString(e.identifier, "ShowName", "");
        map.entries.push_back(std::move(e));
    }
    return map;
}

FieldMap fieldMapFromColumns(const std::vector<std::string>& columns) {
    FieldMap map;
    for (const std::string& c : columns) {
        map.entries.push_back({c, c, c});
    }
    return map;
}

void writeFieldMap(const std::string& path, const FieldMap& map) {
    IniFile ini = IniFile::load(path);
    ini.writeInteger("Field", "FieldCount", static_cast<int>(map.entries.size()));
    for (std::size_t k = 0; k < map.entries.size(); ++k) {
        const FieldMapEntry& e = map.entries[k];
        ini.writeString("Field", std::to_string(k + 1), e.identifier);
        ini.writeString(e.identifier, "ShowField", e.showField);
        ini.writeString(e.identifier, "ShowName", e.showName);
    }
    ini.save();
}

}  // namespace pos::datasets

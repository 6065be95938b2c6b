// Field maps: the default contents, writing missing files, reading a map.
#include "datasets/FieldMap.h"

#include <stdexcept>

#include "common/Text.h"
#include "datasets/Datasets.h"
#include "datasets/IniFile.h"

namespace pos::datasets {

namespace {

FieldMap sameNames(std::initializer_list<std::pair<const char*, const char*>> pairs) {
    FieldMap map;
    for (const auto& [field, heading] : pairs) {
        map.entries.push_back({field, field, heading});
    }
    return map;
}

const FieldMap kMenuMap = sameNames({
    {"ID", "菜品编码"},
    {"Name", "菜品名称"},
    {"FirstLetter", "首字母"},
    {"CategoryName", "菜品类别"},
    {"SCNA", "统计类别"},
    {"Unit1", "单位1"},
    {"Price1", "价格1"},
    {"Cost1", "成本1"},
    {"VPrice1", "会员价1"},
    {"Unit2", "单位2"},
    {"Price2", "价格2"},
    {"Cost2", "成本2"},
    {"VPrice2", "会员价2"},
    {"Unit3", "单位3"},
    {"Price3", "价格3"},
    {"Cost3", "成本3"},
    {"VPrice3", "会员价3"},
});

const FieldMap kHallTableMap = sameNames({
    {"HallName", "厅名"},
    {"TableID", "桌号"},
    {"TableName", "桌名"},
});

// "Annotatename" is spelled with a small n, as the view's column is.
const FieldMap kMenuAnnotateMap = sameNames({
    {"AnnotateTypeName", "注释类别"},
    {"Annotatename", "注释名称"},
});

}  // namespace

std::vector<std::string> FieldMap::showNames() const {
    std::vector<std::string> names;
    names.reserve(entries.size());
    for (const FieldMapEntry& e : entries) {
        names.push_back(e.showName);
    }
    return names;
}

const FieldMap& defaultFieldMap(const std::string& datasetKey) {
    if (equalsIgnoreCase(datasetKey, "Menu")) {
        return kMenuMap;
    }
    if (equalsIgnoreCase(datasetKey, "HallTable")) {
        return kHallTableMap;
    }
    if (equalsIgnoreCase(datasetKey, "MenuAnnotate")) {
        return kMenuAnnotateMap;
    }
    throw std::invalid_argument("数据集“" + datasetKey + "”没有默认的字段对应。");
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

// Field maps: which columns a dataset has, in which order, and under which
// heading each stands in a workbook. One profile file per dataset, named after
// its key, in the field-map folder (the executable's folder in the window).
#pragma once

#include <string>
#include <vector>

namespace pos::datasets {

struct FieldMapEntry {
    std::string identifier;  // names the entry's own section
    std::string showField;   // the database column (export view, staging table)
    std::string showName;    // the workbook heading

    bool operator==(const FieldMapEntry&) const = default;
};

struct FieldMap {
    std::vector<FieldMapEntry> entries;  // entry k of the file is entries[k - 1]

    std::vector<std::string> showNames() const;
};

// The most entries a field map may declare: the columns of the widest
// worksheet format. A larger FieldCount is refused rather than allocated.
inline constexpr int kMaxFieldMapEntries = 16384;

struct Dataset;

// The default map of a dataset: its columns under their headings.
const FieldMap& defaultFieldMap(const Dataset& dataset);
// The same by a dataset key (any letter case); throws std::invalid_argument
// for an unknown key.
const FieldMap& defaultFieldMap(const std::string& datasetKey);

// `dir` + key + ".ini"; a '/' is put between them when `dir` lacks one.
std::string fieldMapPath(const std::string& dir, const std::string& datasetKey);
std::string fieldMapPath(const std::string& dir, const Dataset& dataset);

// For "Menu", "HallTable" and "MenuAnnotate" in this order, writes the default
// map of every file that does not exist in `dir`; an existing file is left
// untouched. The first file that cannot be written ends it with IniError
// naming the file; the files after it are not written.
void writeDefaultFieldMaps(const std::string& dir);

// Reads a map: FieldCount of section "field" (default 1); for k = 1 .. count
// the identifier under key k (default empty) and ShowField and ShowName in the
// identifier's section (default empty). A missing file reads as an empty
// profile, so it gives one empty entry; callers test existence first. A
// FieldCount below 1 gives no entries; one above kMaxFieldMapEntries throws
// IniError.
FieldMap readFieldMap(const std::string& path);

// The map that stands for a view's columns: each column is identifier,
// ShowField and ShowName at once.
FieldMap fieldMapFromColumns(const std::vector<std::string>& columns);

// Writes `map` to `path` in the layout of the default files ("Field" section
// with FieldCount and the numbered keys, then one section per entry with
// ShowField and ShowName), as one atomic save. Throws IniError.
void writeFieldMap(const std::string& path, const FieldMap& map);

}  // namespace pos::datasets

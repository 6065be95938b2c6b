// The words of a heading refusal. The headings are judged as the match judges
// them (exactly, the first entry of the map with the heading wins); the
// guesses (another dataset, headings in row 1) count the headings that a
// dataset's field map knows.
#include "transfer/HeadingCheck.h"

#include <algorithm>
#include <exception>
#include <set>

#include "common/Files.h"
#include "common/Text.h"
#include "datasets/Datasets.h"
#include "transfer/Merge.h"

namespace pos::transfer {

namespace {

bool contains(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) {
        if (!item.empty()) {
            text += (text.empty() ? "" : "、") + item;
        }
    }
    return text;
}

// The headings that the dataset's field map knows: its file's, else the
// default map's (an unreadable file counts as missing: this is a guess).
std::vector<std::string> knownHeadings(const datasets::Dataset& dataset, const std::string& dir) {
    const std::string path = datasets::fieldMapPath(dir, dataset);
    try {
        if (regularFileExists(path)) {
            return datasets::readFieldMap(path).showNames();
        }
    } catch (const std::exception&) {
    }
    return datasets::defaultFieldMap(dataset).showNames();
}

// How many distinct headings of a row the list knows.
int knownCount(const std::vector<std::string>& row, const std::vector<std::string>& known) {
    std::set<std::string> found;
    for (const std::string& heading : row) {
        if (!heading.empty() && contains(known, heading)) {
            found.insert(heading);
        }
    }
    return static_cast<int>(found.size());
}

int filledCount(const std::vector<std::string>& row) {
    return static_cast<int>(
        std::count_if(row.begin(), row.end(), [](const std::string& h) { return !h.empty(); }));
}

std::string fieldMapName(const HeadingFacts& facts) {
    return std::string("字段对应文件") + facts.dataset.key + ".ini";
}

// The headings the match compares with: the map's, or without a map the
// fields themselves.
std::vector<std::string> ourHeadings(const HeadingFacts& facts) {
    return facts.fieldMap != nullptr ? facts.fieldMap->showNames() : facts.stagingColumns;
}

// Another dataset whose headings the workbook has (more of them than of this
// one's, and at least half of its headings), or the headings of this one in
// row 1 rather than row 2: one or two lines that say so; empty when neither.
std::string lookalikeLines(const HeadingFacts& facts) {
    const std::vector<std::string> ours = ourHeadings(facts);
    const int oursInRow2 = knownCount(facts.headings, ours);
    const int oursInRow1 = knownCount(facts.firstRow, ours);
    const datasets::Dataset* other = nullptr;
    int otherBest = std::max(oursInRow2, oursInRow1);
    bool otherInRow1 = false;
    for (const datasets::Dataset& dataset : datasets::kDatasets) {
        if (&dataset == &facts.dataset) {
            continue;
        }
        const std::vector<std::string> known = knownHeadings(dataset, facts.fieldMapDir);
        for (const bool row1 : {false, true}) {
            const std::vector<std::string>& row = row1 ? facts.firstRow : facts.headings;
            const int count = knownCount(row, known);
            if (count > otherBest && 2 * count >= filledCount(row)) {
                other = &dataset;
                otherBest = count;
                otherInRow1 = row1;
            }
        }
    }
    std::string lines;
    bool inRow1 = oursInRow1 > oursInRow2;
    if (other != nullptr) {
        const std::string text = other->displayText;
        lines += "\n这个工作簿看起来是" + text + "，";
        lines += facts.datasetOption.empty()
                     ? "请在“导入的数据”中选择" + text
                     : "请用" + facts.datasetOption + " " + other->key + "选择" + text;
        inRow1 = otherInRow1;
    }
    if (inRow1) {
        lines +=
            "\n工作表的标题在第1行，但第1行必须留空，标题应在第2行：请在标题行上面插入一个空行，"
            "使标题在第2行、数据从第3行开始，然后重新导入。";
    }
    return lines;
}

// A line for each worksheet heading that the match does not know.
std::string unknownHeadingLines(const HeadingFacts& facts, std::size_t& count) {
    const std::vector<std::string> known = ourHeadings(facts);
    std::string lines;
    count = 0;
    for (std::size_t i = 0; i < facts.headings.size(); ++i) {
        const std::string& heading = facts.headings[i];
        if (!heading.empty() && contains(known, heading)) {
            continue;
        }
        if (++count > kListedRows) {
            continue;
        }
        lines += "\n第2行第" + columnLetters(static_cast<int>(i) + 1) + "列";
        if (heading.empty()) {
            lines += "没有标题";
        } else if (facts.fieldMap != nullptr) {
            lines += "的标题“" + heading + "”在" + fieldMapName(facts) + "中没有对应的字段";
        } else {
            lines += "的标题“" + heading + "”不是" + facts.dataset.displayText + "的字段名";
        }
    }
    if (count > kListedRows) {
        lines += "\n……另有" + std::to_string(count - kListedRows) + "列未列出";
    }
    return lines;
}

// The headings the match knows, and those of them the worksheet lacks.
std::string knownHeadingLines(const HeadingFacts& facts) {
    const std::vector<std::string> known = ourHeadings(facts);
    std::string lines;
    if (facts.fieldMap != nullptr) {
        lines += "\n" + fieldMapName(facts) + "中的标题有：" + joined(known);
    } else {
        lines += "\n没有" + fieldMapName(facts) + "，标题必须与字段名完全相同（区分大小写）：" +
                 joined(known);
    }
    std::vector<std::string> missing;
    for (const std::string& heading : known) {
        if (!heading.empty() && !contains(facts.headings, heading)) {
            missing.push_back(heading);
        }
    }
    if (!missing.empty()) {
        lines += "\n工作表第2行中没有这些标题：" + joined(missing);
    }
    return lines;
}

// A line for each entry of the map that a heading finds but whose field the
// dataset does not have.
std::string unknownFieldLines(const HeadingFacts& facts) {
    if (facts.fieldMap == nullptr) {
        return {};
    }
    std::string lines;
    std::set<std::string> named;
    for (const std::string& heading : facts.headings) {
        const auto& entries = facts.fieldMap->entries;
        const auto entry =
            std::find_if(entries.begin(), entries.end(),
                         [&](const datasets::FieldMapEntry& e) { return e.showName == heading; });
        if (entry == entries.end() || contains(facts.stagingColumns, entry->showField) ||
            !named.insert(heading).second) {
            continue;
        }
        lines += "\n" + fieldMapName(facts) + "中标题“" + heading + "”对应的字段“" +
                 entry->showField + "”不是" + facts.dataset.displayText + "的字段，可用的字段有：" +
                 joined(facts.stagingColumns) + "。请改正该文件后重新导入。";
    }
    return lines;
}

}  // namespace

std::string columnLetters(int column) {
    std::string letters;
    for (; column > 0; column = (column - 1) / 26) {
        letters.insert(letters.begin(), static_cast<char>('A' + (column - 1) % 26));
    }
    return letters;
}

std::string headingMismatchLines(const HeadingFacts& facts) {
    const std::string lookalike = lookalikeLines(facts);
    if (!lookalike.empty()) {
        return lookalike;
    }
    std::size_t unknown = 0;
    std::string lines = unknownHeadingLines(facts, unknown);
    if (unknown > 0) {
        lines += knownHeadingLines(facts);
        lines += facts.fieldMap != nullptr
                     ? "\n请把工作表第2行的标题改为字段对应文件中的标题（或改正该文件）后重新导入。"
                     : "\n请把工作表第2行的标题改为字段名后重新导入。";
    }
    return lines + unknownFieldLines(facts);
}

std::string tooManyColumnsLines(const HeadingFacts& facts) {
    const std::string lookalike = lookalikeLines(facts);
    if (!lookalike.empty()) {
        return lookalike;
    }
    const auto columns = static_cast<int>(facts.headings.size());
    std::size_t unknown = 0;
    std::string lines = "\n工作表有" + std::to_string(columns) + "列（A列至" +
                        columnLetters(columns) + "列），而" + facts.dataset.displayText + "只有" +
                        std::to_string(facts.stagingColumns.size()) + "个字段。";
    lines += unknownHeadingLines(facts, unknown);
    return lines + "\n请整列删除多余的列（看起来是空的列也算在内）后重新导入。";
}

}  // namespace pos::transfer

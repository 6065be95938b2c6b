// Why an import refuses a worksheet's headings, in words: the lines that
// follow the refusal's first line, naming the heading at fault, the one the
// field map misses, headings that stand in row 1, or the dataset that the
// workbook belongs to.
#pragma once

#include <string>
#include <vector>

#include "datasets/Datasets.h"
#include "datasets/FieldMap.h"

namespace pos::transfer {

// Spreadsheet column letters: 1 is A, 27 is AA.
std::string columnLetters(int column);

// What the import knows of the worksheet when it refuses its headings.
struct HeadingFacts {
    const datasets::Dataset& dataset;
    std::vector<std::string> headings = {};        // row 2, trimmed; entry c-1 is column c
    std::vector<std::string> firstRow = {};        // row 1, trimmed, as wide
    std::vector<std::string> stagingColumns = {};  // the dataset's fields
    const datasets::FieldMap* fieldMap = nullptr;  // nullptr: no field-map file
    // Where the field maps of the other datasets are looked for (their
    // default maps stand for a missing file).
    std::string fieldMapDir = {};
    // How to choose another dataset: empty for the window's drop-down, else
    // the command line's option ("--dataset").
    std::string datasetOption = {};
};

// The lines after "不可以进行数据导入，请检查对应字段是否一致！", each
// starting with a line break.
std::string headingMismatchLines(const HeadingFacts& facts);

// The lines after "导入的数据字段多余数据库字段…", each starting with a
// line break.
std::string tooManyColumnsLines(const HeadingFacts& facts);

}  // namespace pos::transfer

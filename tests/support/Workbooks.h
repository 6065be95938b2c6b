// Workbooks for import tests, written by the program's own spreadsheet
// session, or record by record as an older spreadsheet program wrote them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "datasets/Datasets.h"

namespace pos::testing {

// The default field map's headings of `dataset`, in the order of its columns:
// all of them, or the first `count`.
std::vector<std::string> defaultHeadings(const datasets::Dataset& dataset,
                                         std::size_t count = static_cast<std::size_t>(-1));

// Writes `grid` from row `firstRow` (row 1 left empty by default) on the
// first sheet "Sheet1"; an empty text leaves its cell empty.
void writeWorkbook(const std::string& path, const std::vector<std::vector<std::string>>& grid,
                   int firstRow = 2);

// Writes `grid` as Excel 5.0 and 95 on a Chinese system save a workbook: a
// compound file whose "Book" stream holds BIFF5 records, its texts in code
// page 936 (GBK), its number formats in FORMAT records with 8-bit counts (one
// a date, one holding a character of the code page). The first sheet is
// "工作表1". A text that reads wholly as a number is written as a NUMBER cell,
// one of the form yyyy-mm-dd as a date (a NUMBER whose format is a date), any
// other as a LABEL. Whole records in `extraGlobals` and `extraCells` go after
// the formats and after the cells.
void writeExcel95Workbook(const std::string& path,
                          const std::vector<std::vector<std::string>>& grid, int firstRow = 2,
                          const std::string& extraGlobals = {}, const std::string& extraCells = {});

}  // namespace pos::testing

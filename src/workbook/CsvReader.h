// The CSV reader. A CSV file has one sheet of text cells and no types: each
// field that is not empty is a text cell, which the import converts as it
// converts the text cells of a workbook.
//
// The encoding: UTF-8, with or without a byte-order mark; a file that is
// not valid UTF-8 is GB18030 (GBK), as a Chinese spreadsheet program saves
// "CSV". A file with NUL bytes, or that neither encoding reads, is no text.
//
// The separator: the comma, or the semicolon or the tab when the first line
// that holds text (the headings) has more of it than of commas, outside
// quotes. Fields may be quoted ("..."), with "" for a quote and line breaks
// inside; lines end in CR LF, LF or CR.
//
// The layout: as the other formats', the first line empty, the headings on
// the second and the records from the third. A file whose first line holds
// text (a CSV written by other programs, headings on the first line) is
// given one empty row above it, so that its callers see the same layout.
//
// The limits are those of an .xlsx sheet (rows, columns, characters in a
// cell); see SheetData.h for the row limit and the errors.
#pragma once

#include <string>
#include <string_view>

#include "workbook/SheetData.h"

namespace pos::workbook {

WorkbookData readCsv(const std::string& path, int rowLimit = kEveryRow);

// Reads the bytes of a CSV file held in memory; `name` stands for the file
// in messages and names the sheet (the fuzz target uses it).
WorkbookData readCsvFromMemory(std::string_view bytes, const std::string& name,
                               int rowLimit = kEveryRow);

// The largest CSV file read: the file is held in memory while it is read.
inline constexpr long long kMaxCsvBytes = 2LL << 30;

}  // namespace pos::workbook

// The CSV writer: UTF-8 with a byte-order mark (so that a spreadsheet
// program opens it with the Chinese intact), comma-separated, lines ending
// in CR LF, laid out as the sheet is (its first line empty when its first
// row is). A number cell is written as the value it holds, in the shortest
// plain decimal that reads back as that value (no exponent, a point for the
// decimals whatever the locale). A text is quoted when it holds a comma, a
// quote, a line break, or blanks at either end, and when it starts as a
// number, a date or a sign does (a code "007"), so that a program that keeps
// quoted fields as text keeps it as text. It writes the file at `path`
// directly and throws WorkbookError when a text cannot be written (not UTF-8,
// a NUL) or the file cannot be written; the session makes the save atomic
// around it.
#pragma once

#include <string>
#include <string_view>

#include "workbook/CellSpool.h"

namespace pos::workbook {

void writeCsv(const std::string& path, const SheetToWrite& sheet);

// The field that a cell becomes, quoted when it must be, appended to `out`;
// a test can call them on their own.
void appendCsvText(std::string& out, std::string_view text);
void appendCsvNumber(std::string& out, std::string_view number);

}  // namespace pos::workbook

// The .xls reader: a file, or a compound file held in memory (the fuzz
// target uses it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "workbook/SheetData.h"

namespace pos::workbook {

// Reads a .xls file (BIFF8, and the BIFF5/7 of older programs); see
// SheetData.h for the row limit and the errors.
WorkbookData readXls(const std::string& path, int rowLimit = kEveryRow);

// Reads a .xls file from memory; `name` stands for the file in messages.
WorkbookData readXlsFromMemory(const std::uint8_t* data, std::size_t size, const std::string& name);

// Whether the first bytes of a file (at least 8) start a bare record stream
// of Excel 2.x to 4.0, which these versions saved without a compound file.
bool isOldBiffStream(const unsigned char* head, std::size_t size);

// The refusal of a workbook saved by a version older than Excel 5.0, with
// what to do about it; `name` stands for the file.
std::string olderThanExcel5Message(const std::string& name);

}  // namespace pos::workbook

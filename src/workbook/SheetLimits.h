// The hard limits of the two workbook formats, in one place for the readers,
// the writers and the export that counts what fits. Excel: 65,536 rows and
// 256 columns in a .xls sheet; 1,048,576 rows and 16,384 columns in a .xlsx
// sheet; 32,767 characters in a cell and 31 in a sheet name in both. An
// OpenDocument spreadsheet is held to the limits of .xlsx.
#pragma once

namespace pos::workbook {

inline constexpr int kXlsMaxRows = 65536;
inline constexpr int kXlsMaxColumns = 256;
inline constexpr int kXlsxMaxRows = 1048576;
inline constexpr int kXlsxMaxColumns = 16384;
inline constexpr int kOdsMaxRows = kXlsxMaxRows;
inline constexpr int kOdsMaxColumns = kXlsxMaxColumns;
inline constexpr int kCsvMaxRows = kXlsxMaxRows;
inline constexpr int kMaxCellCharacters = 32767;
inline constexpr int kMaxSheetNameCharacters = 31;

}  // namespace pos::workbook

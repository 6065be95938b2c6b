// The cells of one worksheet as a reader found them: a compact grid of values
// and the used range as spreadsheet programs count it (cells with a value or
// with a format of their own). Rows and columns count from 0 here.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/Value.h"

namespace pos::workbook {

// The format's hard limits. Excel: 65,536 rows and 256 columns in a .xls
// sheet; 1,048,576 rows and 16,384 columns in a .xlsx sheet.
inline constexpr int kXlsMaxRows = 65536;
inline constexpr int kXlsMaxColumns = 256;
inline constexpr int kXlsxMaxRows = 1048576;
inline constexpr int kXlsxMaxColumns = 16384;
inline constexpr int kMaxCellCharacters = 32767;
inline constexpr int kMaxSheetNameCharacters = 31;

class SheetData {
public:
    std::string name;

    void setCell(int row, int column, Value value);
    // A formatted empty cell (BLANK, MULBLANK, a styled empty <c>): no value,
    // but it counts in the used range.
    void markFormatted(int row, int column);
    // A formula cell whose result the file does not store (written by a
    // program that does not calculate): no value, but it counts in the used
    // range, and the sheet remembers its place.
    void markWithoutResult(int row, int column);
    // Those cells, in the order the reader met them.
    const std::vector<std::pair<int, int>>& cellsWithoutResult() const { return m_withoutResult; }

    // A text held once in the sheet, for readers that place the same text in
    // many cells (a shared string table): intern it once, then place the
    // handle in each cell without hashing or copying the text again.
    using TextHandle = std::uint32_t;
    TextHandle internText(std::string_view text);
    // The same for a text known to be new (an entry of a table of distinct
    // texts): no lookup, and the text is moved in.
    TextHandle addText(std::string text);
    void setInterned(int row, int column, TextHandle handle);

    const Value* cell(int row, int column) const;  // nullptr for an empty cell
    bool isEmpty() const { return m_lastRow < 0; }
    int firstRow() const { return m_firstRow; }  // -1 when empty
    int lastRow() const { return m_lastRow; }
    int firstColumn() const { return m_firstColumn; }
    int lastColumn() const { return m_lastColumn; }

private:
    void touch(int row, int column);
    std::uint32_t intern(Value&& value);
    void place(int row, int column, std::uint32_t ref);
    // m_rows[row][column]: 1 + the index of the cell's value in m_values, 0
    // for an empty cell; short rows end early. Equal texts share one value,
    // so a sheet's repeated texts are held once.
    std::vector<std::vector<std::uint32_t>> m_rows;
    std::deque<Value> m_values;              // a deque keeps the addresses that cell() hands out
    std::vector<std::uint64_t> m_textSlots;  // open addressing: hash << 32 | (1 + index)
    std::size_t m_textCount = 0;
    std::vector<std::pair<int, int>> m_withoutResult;
    int m_firstRow = -1;
    int m_lastRow = -1;
    int m_firstColumn = -1;
    int m_lastColumn = -1;
};

struct WorkbookData {
    std::vector<std::string> sheetNames;  // every worksheet, in workbook order
    SheetData firstSheet;                 // the cells of the first worksheet
};

// Readers, by format. Each throws WorkbookError with a clear message for a
// file that is missing, encrypted, truncated or corrupt.
WorkbookData readXls(const std::string& path);
WorkbookData readXlsx(const std::string& path);
// Reads by content: a zip package is .xlsx, a compound file is .xls.
WorkbookData readWorkbookFile(const std::string& path);

}  // namespace pos::workbook

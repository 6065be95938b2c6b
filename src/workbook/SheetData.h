// The cells of one worksheet as a reader found them: a compact grid of values
// and the used range as spreadsheet programs count it (cells with a value or
// with a format of their own). Rows and columns count from 0 here.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/Value.h"
#include "workbook/SheetLimits.h"

namespace pos::workbook {

// Every row of a sheet, for readers and sessions that take a row limit.
inline constexpr int kEveryRow = 0;

class SheetData {
public:
    std::string name;

    // Keeps the values of the first `rows` rows only (kEveryRow: all); a cell
    // further down still counts in the used range but holds no value, so a
    // caller that needs the top of a large sheet and its size does not hold
    // the whole sheet in memory.
    void limitRows(int rows) { m_rowLimit = rows; }
    int rowLimit() const { return m_rowLimit; }
    bool keepsRow(int row) const { return m_rowLimit == kEveryRow || row < m_rowLimit; }

    void setCell(int row, int column, const Value& value);
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
    // handle in each cell without hashing or copying the text again. A
    // handle is never 0.
    using TextHandle = std::uint64_t;
    TextHandle internText(std::string_view text);
    // The same for a text known to be new (an entry of a table of distinct
    // texts): no lookup.
    TextHandle addText(std::string_view text);
    void setInterned(int row, int column, TextHandle handle);

    // The `count` rows below `row` hold the cells of `row`, which share its
    // values instead of a copy each (a row that a file says repeats); the
    // reader places every cell of `row` first and writes none of it after.
    // The used range is the caller's to mark.
    void repeatRow(int row, int count);

    std::optional<Value> cell(int row, int column) const;  // empty for an empty cell
    // The cells of `row` from `column` on, one for each value of `out`, an
    // empty cell NULL: a row at a time, its values filled in place.
    void readRow(int row, int column, std::span<Value> out) const;
    bool isEmpty() const { return m_lastRow < 0; }
    int firstRow() const { return m_firstRow; }  // -1 when empty
    int lastRow() const { return m_lastRow; }
    int firstColumn() const { return m_firstColumn; }
    int lastColumn() const { return m_lastColumn; }

private:
    // Each cell is one 64-bit slot: a number as its own bits, anything else
    // in the bits of a negative NaN that no number read from a file carries
    // (kind in bits 48-51, payload below). Texts live in one byte stream,
    // each a length and its bytes; a text cell holds 1 + the text's offset.
    using Slot = std::uint64_t;
    struct Row {
        std::uint64_t start = 0;  // index of the row's first slot (column 0)
        std::uint32_t width = 0;  // columns with a slot
        std::uint32_t capacity = 0;
    };
    void touch(int row, int column);
    Slot encode(const Value& value);
    Value decode(Slot slot) const;
    void decodeInto(Slot slot, Value& out) const;
    void place(int row, int column, Slot slot);
    Slot& slotAt(std::uint64_t index);
    Slot slotAt(std::uint64_t index) const;
    std::uint64_t allocateSlots(std::uint32_t count);
    void appendBytes(const char* data, std::size_t size);
    // The length of the text at `handle`, and the offset of its first byte.
    std::pair<std::size_t, std::uint64_t> textAt(TextHandle handle) const;
    bool textEquals(TextHandle handle, std::string_view text) const;
    std::string textOf(TextHandle handle) const;

    std::vector<Row> m_rows;                       // by row number
    std::vector<std::unique_ptr<Slot[]>> m_slots;  // fixed-size chunks, so growth never copies
    std::uint64_t m_slotCount = 0;
    std::vector<std::unique_ptr<char[]>> m_textBytes;  // the same for the texts
    std::uint64_t m_textSize = 0;
    std::vector<std::uint64_t> m_textSlots;  // open addressing: hash << 40 | handle
    std::size_t m_textCount = 0;
    std::vector<Value> m_otherValues;  // values no slot can carry (dates beyond the packed ranges)
    std::vector<std::pair<int, int>> m_withoutResult;
    int m_rowLimit = kEveryRow;
    int m_firstRow = -1;
    int m_lastRow = -1;
    int m_firstColumn = -1;
    int m_lastColumn = -1;
};

struct WorkbookData {
    std::vector<std::string> sheetNames;  // every worksheet, in workbook order
    SheetData firstSheet;                 // the cells of the first worksheet
};

// The readers, one header each (XlsReader.h, XlsxReader.h, and
// WorkbookFile.h for reading by content), give a workbook so. Each throws
// WorkbookError with a clear message for a file that is missing, encrypted,
// truncated or corrupt. With a row limit the first sheet keeps the values of
// its first `rowLimit` rows only (see SheetData::limitRows).

}  // namespace pos::workbook

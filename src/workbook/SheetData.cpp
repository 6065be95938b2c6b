// The compact cell grid of a worksheet that a reader fills.
#include <functional>

#include "workbook/SheetData.h"
#include "workbook/WorkbookError.h"

namespace pos::workbook {

namespace {

std::size_t hashText(const std::string& s) {
    return std::hash<std::string>{}(s);
}

}  // namespace

void SheetData::touch(int row, int column) {
    if (row < 0 || column < 0 || row >= kXlsxMaxRows || column >= kXlsxMaxColumns) {
        throw WorkbookError("The workbook names a cell at row " + std::to_string(row + 1) +
                            ", column " + std::to_string(column + 1) +
                            ", outside any worksheet: the file is corrupt.");
    }
    if (m_lastRow < 0) {
        m_firstRow = m_lastRow = row;
        m_firstColumn = m_lastColumn = column;
        return;
    }
    if (row < m_firstRow)
        m_firstRow = row;
    if (row > m_lastRow)
        m_lastRow = row;
    if (column < m_firstColumn)
        m_firstColumn = column;
    if (column > m_lastColumn)
        m_lastColumn = column;
}

std::uint32_t SheetData::intern(Value&& value) {
    if (value.type() != ValueType::Text) {
        m_values.push_back(std::move(value));
        return static_cast<std::uint32_t>(m_values.size());
    }
    if (m_textSlots.size() < 2 * (m_textCount + 1)) {
        const std::size_t size = m_textSlots.empty() ? 256 : m_textSlots.size() * 2;
        std::vector<std::uint32_t> slots(size, 0);
        for (std::uint32_t ref : m_textSlots) {
            if (ref == 0)
                continue;
            std::size_t slot = hashText(m_values[ref - 1].asText()) & (size - 1);
            while (slots[slot] != 0)
                slot = (slot + 1) & (size - 1);
            slots[slot] = ref;
        }
        m_textSlots.swap(slots);
    }
    const std::size_t mask = m_textSlots.size() - 1;
    std::size_t slot = hashText(value.asText()) & mask;
    while (m_textSlots[slot] != 0) {
        const std::uint32_t ref = m_textSlots[slot];
        if (m_values[ref - 1].asText() == value.asText()) {
            return ref;
        }
        slot = (slot + 1) & mask;
    }
    m_values.push_back(std::move(value));
    const auto ref = static_cast<std::uint32_t>(m_values.size());
    m_textSlots[slot] = ref;
    ++m_textCount;
    return ref;
}

void SheetData::setCell(int row, int column, Value value) {
    touch(row, column);
    if (static_cast<std::size_t>(row) >= m_rows.size()) {
        m_rows.resize(static_cast<std::size_t>(row) + 1);
    }
    auto& cells = m_rows[static_cast<std::size_t>(row)];
    if (static_cast<std::size_t>(column) >= cells.size()) {
        cells.resize(static_cast<std::size_t>(column) + 1, 0);
    }
    cells[static_cast<std::size_t>(column)] = value.isNull() ? 0 : intern(std::move(value));
}

void SheetData::markFormatted(int row, int column) {
    touch(row, column);
}

const Value* SheetData::cell(int row, int column) const {
    if (row < 0 || column < 0 || static_cast<std::size_t>(row) >= m_rows.size()) {
        return nullptr;
    }
    const auto& cells = m_rows[static_cast<std::size_t>(row)];
    if (static_cast<std::size_t>(column) >= cells.size()) {
        return nullptr;
    }
    const std::uint32_t ref = cells[static_cast<std::size_t>(column)];
    return ref == 0 ? nullptr : &m_values[ref - 1];
}

}  // namespace pos::workbook

// The compact cell grid of a worksheet that a reader fills.
#include <functional>

#include "workbook/SheetData.h"
#include "workbook/WorkbookError.h"

namespace pos::workbook {

namespace {

std::size_t hashText(std::string_view s) {
    return std::hash<std::string_view>{}(s);
}

}  // namespace

void SheetData::touch(int row, int column) {
    if (row < 0 || column < 0 || row >= kXlsxMaxRows || column >= kXlsxMaxColumns) {
        throw WorkbookError("文件已损坏：其中有位于第" + std::to_string(row + 1) + "行第" +
                            std::to_string(column + 1) + "列的单元格，超出了工作表的范围。" +
                            kSaveAgainAdvice);
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
    if (value.type() == ValueType::Text) {
        return internText(value.asText());
    }
    m_values.push_back(std::move(value));
    return static_cast<std::uint32_t>(m_values.size());
}

SheetData::TextHandle SheetData::internText(std::string_view text) {
    // Each slot holds the text's 32-bit hash beside its reference, so that
    // probing and growing rarely touch the texts themselves.
    if (m_textSlots.size() < 2 * (m_textCount + 1)) {
        const std::size_t size = m_textSlots.empty() ? 256 : m_textSlots.size() * 2;
        std::vector<std::uint64_t> slots(size, 0);
        for (std::uint64_t entry : m_textSlots) {
            if (entry == 0)
                continue;
            std::size_t slot = (entry >> 32) & (size - 1);
            while (slots[slot] != 0)
                slot = (slot + 1) & (size - 1);
            slots[slot] = entry;
        }
        m_textSlots.swap(slots);
    }
    const std::size_t full = hashText(text);
    const auto hash = static_cast<std::uint32_t>(full ^ (full >> 32));
    const std::size_t mask = m_textSlots.size() - 1;
    std::size_t slot = hash & mask;
    while (m_textSlots[slot] != 0) {
        const std::uint64_t entry = m_textSlots[slot];
        const auto ref = static_cast<std::uint32_t>(entry);
        if ((entry >> 32) == hash && m_values[ref - 1].asText() == text) {
            return ref;
        }
        slot = (slot + 1) & mask;
    }
    m_values.push_back(Value::text(std::string(text)));
    const auto ref = static_cast<std::uint32_t>(m_values.size());
    m_textSlots[slot] = (static_cast<std::uint64_t>(hash) << 32) | ref;
    ++m_textCount;
    return ref;
}

SheetData::TextHandle SheetData::addText(std::string text) {
    m_values.push_back(Value::text(std::move(text)));
    return static_cast<TextHandle>(m_values.size());
}

void SheetData::setInterned(int row, int column, TextHandle handle) {
    if (handle == 0 || handle > m_values.size()) {
        throw WorkbookError("内部错误：工作表中放入了未知的文本编号。");
    }
    place(row, column, handle);
}

void SheetData::place(int row, int column, std::uint32_t ref) {
    touch(row, column);
    if (static_cast<std::size_t>(row) >= m_rows.size()) {
        m_rows.resize(static_cast<std::size_t>(row) + 1);
    }
    auto& cells = m_rows[static_cast<std::size_t>(row)];
    if (static_cast<std::size_t>(column) >= cells.size()) {
        cells.resize(static_cast<std::size_t>(column) + 1, 0);
    }
    cells[static_cast<std::size_t>(column)] = ref;
}

void SheetData::setCell(int row, int column, Value value) {
    touch(row, column);
    place(row, column, value.isNull() ? 0 : intern(std::move(value)));
}

void SheetData::markFormatted(int row, int column) {
    touch(row, column);
}

void SheetData::markWithoutResult(int row, int column) {
    touch(row, column);
    // Drop whatever a reader placed there before it knew (an empty text).
    if (static_cast<std::size_t>(row) < m_rows.size()) {
        auto& cells = m_rows[static_cast<std::size_t>(row)];
        if (static_cast<std::size_t>(column) < cells.size()) {
            cells[static_cast<std::size_t>(column)] = 0;
        }
    }
    m_withoutResult.emplace_back(row, column);
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

// The compact cell grid of a worksheet that a reader fills: eight bytes a
// cell, texts packed one after another, rows laid out one after another in
// chunks that never move once written.
#include "workbook/SheetData.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>

#include "workbook/WorkbookError.h"

namespace pos::workbook {

namespace {

constexpr std::uint64_t kSlotChunk = 1 << 16;  // slots per chunk (512 KB)
constexpr std::uint64_t kTextChunk = 1 << 20;  // bytes per chunk

// Slot kinds, in bits 48-51 of a negative NaN (bits 52-63 all set). Kind 0
// is left to the numbers (negative infinity); a packed date and time takes
// kinds 12 to 15, whose low two bits are the top of its 50-bit payload.
constexpr std::uint64_t kTagBits = 0xFFF0'0000'0000'0000ull;
constexpr std::uint64_t kPayloadMask = (1ull << 48) - 1;
enum Kind : std::uint64_t { Empty = 1, Text = 2, Boolean = 3, Error = 4, Other = 5, Date = 12 };

constexpr std::uint64_t tag(std::uint64_t kind, std::uint64_t payload) {
    return kTagBits | (kind << 48) | payload;
}
constexpr std::uint64_t kEmptySlot = tag(Empty, 0);

// Handles are 1 + a byte offset, below 2^40, so that a hash table entry
// holds a handle and 24 bits of the text's hash.
constexpr std::uint64_t kMaxTextBytes = (1ull << 40) - 1;
constexpr std::size_t kMaxInterned = 1 << 23;

std::uint64_t kindOf(std::uint64_t slot) {
    return (slot & kTagBits) == kTagBits ? (slot >> 48) & 0xF : 0;
}

// A date and time in 50 bits: year 0-9999, month, day, hour, minute, second
// (60 for a leap second) and millisecond in their usual ranges.
std::optional<std::uint64_t> packDateTime(const DateTime& t) {
    if (t.year < 0 || t.year > 9999 || t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31 ||
        t.hour < 0 || t.hour > 23 || t.minute < 0 || t.minute > 59 || t.second < 0 ||
        t.second > 60 || t.millisecond < 0 || t.millisecond > 999) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(t.year) << 36 | static_cast<std::uint64_t>(t.month) << 32 |
           static_cast<std::uint64_t>(t.day) << 27 | static_cast<std::uint64_t>(t.hour) << 22 |
           static_cast<std::uint64_t>(t.minute) << 16 | static_cast<std::uint64_t>(t.second) << 10 |
           static_cast<std::uint64_t>(t.millisecond);
}

DateTime unpackDateTime(std::uint64_t bits) {
    DateTime t;
    t.year = static_cast<int>(bits >> 36 & 0x3FFF);
    t.month = static_cast<int>(bits >> 32 & 0xF);
    t.day = static_cast<int>(bits >> 27 & 0x1F);
    t.hour = static_cast<int>(bits >> 22 & 0x1F);
    t.minute = static_cast<int>(bits >> 16 & 0x3F);
    t.second = static_cast<int>(bits >> 10 & 0x3F);
    t.millisecond = static_cast<int>(bits & 0x3FF);
    return t;
}

std::uint32_t hashText(std::string_view s) {
    const std::size_t full = std::hash<std::string_view>{}(s);
    return static_cast<std::uint32_t>((full ^ (full >> 32)) & 0xFFFFFF);
}

}  // namespace

void SheetData::touch(int row, int column) {
    if (row < 0 || column < 0 || row >= kXlsxMaxRows || column >= kXlsxMaxColumns) {
        throw WorkbookError("文件已损坏：其中有位于第" + std::to_string(row + 1) + "行第" +
                                std::to_string(column + 1) + "列的单元格，超出了工作表的范围。" +
                                kSaveAgainAdvice,
                            WorkbookFault::Damaged);
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

SheetData::Slot& SheetData::slotAt(std::uint64_t index) {
    return m_slots[index / kSlotChunk][index % kSlotChunk];
}

SheetData::Slot SheetData::slotAt(std::uint64_t index) const {
    return m_slots[index / kSlotChunk][index % kSlotChunk];
}

std::uint64_t SheetData::allocateSlots(std::uint32_t count) {
    const std::uint64_t start = m_slotCount;
    while (m_slots.size() * kSlotChunk < start + count) {
        m_slots.push_back(std::make_unique_for_overwrite<Slot[]>(kSlotChunk));
    }
    for (std::uint64_t i = start; i < start + count; ++i) {
        slotAt(i) = kEmptySlot;
    }
    m_slotCount = start + count;
    return start;
}

void SheetData::place(int row, int column, Slot slot) {
    const auto r = static_cast<std::size_t>(row);
    if (r >= m_rows.size()) {
        m_rows.resize(r + 1);
    }
    Row& cells = m_rows[r];
    if (cells.capacity == 0 && cells.width > 0) {
        // A repeated row shares its source's slots: it gets its own first.
        const std::uint64_t start = allocateSlots(cells.width);
        for (std::uint32_t i = 0; i < cells.width; ++i) {
            slotAt(start + i) = slotAt(cells.start + i);
        }
        cells.start = start;
        cells.capacity = cells.width;
    }
    const auto c = static_cast<std::uint32_t>(column);
    if (c >= cells.width) {
        const std::uint32_t needed = c + 1;
        if (needed > cells.capacity) {
            if (cells.capacity > 0 && cells.start + cells.capacity == m_slotCount) {
                // The row is the last one laid out (a reader going row by
                // row): it grows where it stands.
                allocateSlots(needed - cells.capacity);
                cells.capacity = needed;
            } else {
                // A row met again after others: it moves to the end, with
                // room to grow, so that a sheet written column by column
                // moves each row a few times only.
                const std::uint32_t capacity = std::max(needed, 2 * cells.capacity);
                const std::uint64_t start = allocateSlots(capacity);
                for (std::uint32_t i = 0; i < cells.width; ++i) {
                    slotAt(start + i) = slotAt(cells.start + i);
                }
                cells.start = start;
                cells.capacity = capacity;
            }
        }
        cells.width = needed;
    }
    slotAt(cells.start + c) = slot;
}

void SheetData::appendBytes(const char* data, std::size_t size) {
    while (size > 0) {
        const std::uint64_t at = m_textSize % kTextChunk;
        if (at == 0 && m_textBytes.size() * kTextChunk <= m_textSize) {
            m_textBytes.push_back(std::make_unique_for_overwrite<char[]>(kTextChunk));
        }
        const std::size_t n = std::min<std::size_t>(size, kTextChunk - at);
        std::memcpy(&m_textBytes[m_textSize / kTextChunk][at], data, n);
        m_textSize += n;
        data += n;
        size -= n;
    }
}

SheetData::TextHandle SheetData::addText(std::string_view text) {
    if (m_textSize + text.size() + 10 > kMaxTextBytes) {
        throw WorkbookError(
            "工作簿第一个工作表中的文本太多，本程序的内存容纳不下。请拆分工作表后重试。",
            WorkbookFault::TooLarge);
    }
    const TextHandle handle = m_textSize + 1;
    // The length, seven bits a byte, low bits first.
    char length[10];
    std::size_t n = 0;
    std::uint64_t left = text.size();
    do {
        length[n++] = static_cast<char>((left & 0x7F) | (left > 0x7F ? 0x80 : 0));
        left >>= 7;
    } while (left != 0);
    appendBytes(length, n);
    appendBytes(text.data(), text.size());
    return handle;
}

std::pair<std::size_t, std::uint64_t> SheetData::textAt(TextHandle handle) const {
    std::uint64_t at = handle - 1;
    std::size_t length = 0;
    for (int shift = 0;; shift += 7) {
        const auto byte = static_cast<unsigned char>(m_textBytes[at / kTextChunk][at % kTextChunk]);
        ++at;
        length |= static_cast<std::size_t>(byte & 0x7F) << shift;
        if ((byte & 0x80) == 0) {
            return {length, at};
        }
    }
}

bool SheetData::textEquals(TextHandle handle, std::string_view text) const {
    auto [length, at] = textAt(handle);
    if (length != text.size()) {
        return false;
    }
    while (!text.empty()) {
        const std::size_t n = std::min<std::size_t>(text.size(), kTextChunk - at % kTextChunk);
        if (std::memcmp(&m_textBytes[at / kTextChunk][at % kTextChunk], text.data(), n) != 0) {
            return false;
        }
        at += n;
        text.remove_prefix(n);
    }
    return true;
}

std::string SheetData::textOf(TextHandle handle) const {
    auto [length, at] = textAt(handle);
    std::string text;
    text.reserve(length);
    while (text.size() < length) {
        const std::size_t n =
            std::min<std::size_t>(length - text.size(), kTextChunk - at % kTextChunk);
        text.append(&m_textBytes[at / kTextChunk][at % kTextChunk], n);
        at += n;
    }
    return text;
}

SheetData::TextHandle SheetData::internText(std::string_view text) {
    // Each table entry holds 24 bits of the text's hash beside its handle,
    // so that probing and growing rarely touch the texts themselves. Those
    // bits place 2^24 entries; texts beyond half of them are kept as they
    // come, repeats and all.
    if (m_textCount >= kMaxInterned) {
        return addText(text);
    }
    if (m_textSlots.size() < 2 * (m_textCount + 1)) {
        const std::size_t size = m_textSlots.empty() ? 256 : m_textSlots.size() * 2;
        std::vector<std::uint64_t> slots(size, 0);
        for (std::uint64_t entry : m_textSlots) {
            if (entry == 0)
                continue;
            std::size_t slot = (entry >> 40) & (size - 1);
            while (slots[slot] != 0)
                slot = (slot + 1) & (size - 1);
            slots[slot] = entry;
        }
        m_textSlots.swap(slots);
    }
    const std::uint32_t hash = hashText(text);
    const std::size_t mask = m_textSlots.size() - 1;
    std::size_t slot = hash & mask;
    while (m_textSlots[slot] != 0) {
        const std::uint64_t entry = m_textSlots[slot];
        const TextHandle handle = entry & kMaxTextBytes;
        if ((entry >> 40) == hash && textEquals(handle, text)) {
            return handle;
        }
        slot = (slot + 1) & mask;
    }
    const TextHandle handle = addText(text);
    m_textSlots[slot] = (static_cast<std::uint64_t>(hash) << 40) | handle;
    ++m_textCount;
    return handle;
}

void SheetData::setInterned(int row, int column, TextHandle handle) {
    if (handle == 0 || handle > m_textSize) {
        throw WorkbookError("内部错误：工作表中放入了未知的文本编号。");
    }
    touch(row, column);
    if (keepsRow(row)) {
        place(row, column, tag(Text, handle));
    }
}

SheetData::Slot SheetData::encode(const Value& value) {
    switch (value.type()) {
        case ValueType::Null:
            return kEmptySlot;
        case ValueType::Float: {
            const double number = value.asFloat();
            if (std::isnan(number)) {
                return 0x7FF8'0000'0000'0000ull;  // one NaN for all, clear of the kinds
            }
            Slot bits;
            std::memcpy(&bits, &number, sizeof bits);
            return bits;
        }
        case ValueType::Text:
            return tag(Text, internText(value.asText()));
        case ValueType::Boolean:
            return tag(Boolean, value.asBoolean() ? 1 : 0);
        case ValueType::Error:
            return tag(Error, value.errorCode());
        case ValueType::DateTime:
            if (auto bits = packDateTime(value.asDateTime())) {
                return tag(Date + (*bits >> 48), *bits & kPayloadMask);
            }
            break;
        default:
            break;
    }
    m_otherValues.push_back(value);
    return tag(Other, m_otherValues.size() - 1);
}

Value SheetData::decode(Slot slot) const {
    const std::uint64_t kind = kindOf(slot);
    const std::uint64_t payload = slot & kPayloadMask;
    switch (kind) {
        case 0: {
            double number;
            std::memcpy(&number, &slot, sizeof number);
            return Value::floating(number);
        }
        case Empty:
            return Value();
        case Text:
            return Value::text(textOf(payload));
        case Boolean:
            return Value::boolean(payload != 0);
        case Error:
            return Value::error(static_cast<std::uint8_t>(payload));
        case Other:
            return m_otherValues[payload];
        default:
            return Value::dateTime(unpackDateTime((kind - Date) << 48 | payload));
    }
}

void SheetData::setCell(int row, int column, const Value& value) {
    touch(row, column);
    if (keepsRow(row)) {
        place(row, column, encode(value));
    }
}

void SheetData::repeatRow(int row, int count) {
    if (row < 0 || count <= 0 || !keepsRow(row) || static_cast<std::size_t>(row) >= m_rows.size()) {
        return;
    }
    const Row source = m_rows[static_cast<std::size_t>(row)];
    std::size_t end = static_cast<std::size_t>(row) + 1 + static_cast<std::size_t>(count);
    if (m_rowLimit != kEveryRow) {
        end = std::min(end, static_cast<std::size_t>(m_rowLimit));
    }
    if (end > m_rows.size()) {
        m_rows.resize(end);
    }
    for (std::size_t r = static_cast<std::size_t>(row) + 1; r < end; ++r) {
        m_rows[r] = Row{source.start, source.width, 0};
    }
}

void SheetData::markFormatted(int row, int column) {
    touch(row, column);
}

void SheetData::markWithoutResult(int row, int column) {
    touch(row, column);
    if (!keepsRow(row)) {
        return;
    }
    // Drop whatever a reader placed there before it knew (an empty text).
    if (static_cast<std::size_t>(row) < m_rows.size()) {
        const Row& cells = m_rows[static_cast<std::size_t>(row)];
        if (static_cast<std::uint32_t>(column) < cells.width) {
            slotAt(cells.start + static_cast<std::uint32_t>(column)) = kEmptySlot;
        }
    }
    m_withoutResult.emplace_back(row, column);
}

std::optional<Value> SheetData::cell(int row, int column) const {
    if (row < 0 || column < 0 || static_cast<std::size_t>(row) >= m_rows.size()) {
        return std::nullopt;
    }
    const Row& cells = m_rows[static_cast<std::size_t>(row)];
    if (static_cast<std::uint32_t>(column) >= cells.width) {
        return std::nullopt;
    }
    const Slot slot = slotAt(cells.start + static_cast<std::uint32_t>(column));
    if (slot == kEmptySlot) {
        return std::nullopt;
    }
    return decode(slot);
}

void SheetData::readRow(int row, int column, std::span<Value> out) const {
    const Row* cells = row >= 0 && static_cast<std::size_t>(row) < m_rows.size()
                           ? &m_rows[static_cast<std::size_t>(row)]
                           : nullptr;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const auto at = static_cast<std::int64_t>(column) + static_cast<std::int64_t>(i);
        if (cells == nullptr || at < 0 || at >= cells->width) {
            out[i].setNull();
        } else {
            decodeInto(slotAt(cells->start + static_cast<std::uint64_t>(at)), out[i]);
        }
    }
}

void SheetData::decodeInto(Slot slot, Value& out) const {
    switch (kindOf(slot)) {
        case 0: {
            double number;
            std::memcpy(&number, &slot, sizeof number);
            out.setFloat(number);
            return;
        }
        case Empty:
            out.setNull();
            return;
        case Text: {
            // A text within one chunk is read where it lies.
            const auto [length, at] = textAt(slot & kPayloadMask);
            if (at % kTextChunk + length <= kTextChunk) {
                out.setText(
                    std::string_view(&m_textBytes[at / kTextChunk][at % kTextChunk], length));
                return;
            }
            break;
        }
        default:
            break;
    }
    out = decode(slot);
}

}  // namespace pos::workbook

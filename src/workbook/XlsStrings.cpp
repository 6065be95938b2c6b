// The shared string table of the .xls writer: each distinct text once, and
// its SST/CONTINUE/EXTSST records split by the format's rules.
#include <algorithm>
#include <functional>

#include "common/Unicode.h"
#include "workbook/SheetData.h"
#include "workbook/XlsRecords.h"

namespace pos::workbook::biff {

namespace {

std::size_t hashBytes(std::string_view s) {
    return std::hash<std::string_view>{}(s);
}

// The part of an arena entry that identifies a string: flag and bytes.
std::string_view entryKey(const std::string& arena, std::uint32_t offset) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(arena.data()) + offset;
    const std::size_t count = p[0] | (p[1] << 8);
    const std::size_t bytes = p[2] ? count * 2 : count;
    return std::string_view(arena.data() + offset, 3 + bytes);
}

// Whether the UTF-16LE unit at the start of `bytes` opens a surrogate pair.
bool isHighSurrogate(std::string_view bytes) {
    const auto high = static_cast<unsigned char>(bytes[1]);
    return high >= 0xD8 && high <= 0xDB;
}

// The usual characters of a text (ASCII, and the three-byte sequences of
// CJK) decoded here as nextCodePoint decodes them; false, with `pos` left
// where it was, for any other sequence, which nextCodePoint takes.
inline bool decodeCommon(std::string_view utf8, std::size_t& pos, std::uint32_t& cp) {
    const auto b0 = static_cast<unsigned char>(utf8[pos]);
    if (b0 < 0x80) {
        cp = b0;
        ++pos;
        return true;
    }
    if ((b0 & 0xF0) != 0xE0 || pos + 2 >= utf8.size()) {
        return false;
    }
    const auto b1 = static_cast<unsigned char>(utf8[pos + 1]);
    const auto b2 = static_cast<unsigned char>(utf8[pos + 2]);
    if ((b1 & 0xC0) != 0x80 || (b2 & 0xC0) != 0x80) {
        return false;
    }
    const std::uint32_t value = ((b0 & 0x0Fu) << 12) | ((b1 & 0x3Fu) << 6) | (b2 & 0x3Fu);
    if (value < 0x800 || (value >= 0xD800 && value <= 0xDFFF)) {
        return false;
    }
    cp = value;
    pos += 3;
    return true;
}

char* store16(char* out, std::uint16_t unit) {
    out[0] = static_cast<char>(unit & 0xFF);
    out[1] = static_cast<char>(unit >> 8);
    return out + 2;
}

}  // namespace

std::uint32_t SharedStrings::add(std::string_view utf8) {
    ++m_references;
    // One pass encodes the text as UTF-16LE after the 3 header bytes (each
    // byte of UTF-8 gives at most two bytes); a text whose characters all
    // fit in Latin-1 is then packed to one byte each, the compressed form.
    m_scratch.resize(3 + 2 * utf8.size());
    char* const first = m_scratch.data() + 3;
    char* out = first;
    std::uint32_t widest = 0;
    std::size_t pos = 0;
    while (pos < utf8.size()) {
        std::uint32_t cp = 0;
        if (!decodeCommon(utf8, pos, cp)) {
            cp = nextCodePoint(utf8, pos);
        }
        widest = std::max(widest, cp);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out = store16(out, static_cast<std::uint16_t>(0xD800 + (cp >> 10)));
            out = store16(out, static_cast<std::uint16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out = store16(out, static_cast<std::uint16_t>(cp));
        }
    }
    const auto units = static_cast<std::size_t>(out - first) / 2;
    const bool wide = widest > 0xFF;
    if (!wide) {
        for (std::size_t i = 0; i < units; ++i) {
            first[i] = first[2 * i];
        }
    }
    m_scratch.resize(3 + (wide ? 2 * units : units));
    if (units > static_cast<std::size_t>(kMaxCellCharacters)) {
        --m_references;
        return kTooLong;
    }
    m_scratch[0] = static_cast<char>(units & 0xFF);
    m_scratch[1] = static_cast<char>(units >> 8);
    m_scratch[2] = wide ? 1 : 0;

    if (m_slots.size() < 2 * (m_offsets.size() + 1)) {
        grow();
    }
    // Each slot holds the string's 32-bit hash beside its index, so that
    // probing and growing rarely touch the strings themselves.
    const std::size_t full = hashBytes(m_scratch);
    const auto hash = static_cast<std::uint32_t>(full ^ (full >> 32));
    const std::size_t mask = m_slots.size() - 1;
    std::size_t slot = hash & mask;
    while (m_slots[slot] != 0) {
        const std::uint64_t entry = m_slots[slot];
        const auto index = static_cast<std::uint32_t>(entry) - 1;
        if ((entry >> 32) == hash && entryKey(m_arena, m_offsets[index]) == m_scratch) {
            return index;
        }
        slot = (slot + 1) & mask;
    }
    const auto index = static_cast<std::uint32_t>(m_offsets.size());
    m_offsets.push_back(static_cast<std::uint32_t>(m_arena.size()));
    m_arena.append(m_scratch);
    m_slots[slot] = (static_cast<std::uint64_t>(hash) << 32) | (index + 1);
    return index;
}

void SharedStrings::grow() {
    const std::size_t size = m_slots.empty() ? 1024 : m_slots.size() * 2;
    std::vector<std::uint64_t> slots(size, 0);
    const std::size_t mask = size - 1;
    for (std::uint64_t entry : m_slots) {
        if (entry == 0)
            continue;
        std::size_t slot = (entry >> 32) & mask;
        while (slots[slot] != 0) {
            slot = (slot + 1) & mask;
        }
        slots[slot] = entry;
    }
    m_slots.swap(slots);
}

std::uint16_t SharedStrings::characterCount(std::uint32_t index) const {
    const auto* p = reinterpret_cast<const std::uint8_t*>(m_arena.data()) + m_offsets[index];
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

bool SharedStrings::isWide(std::uint32_t index) const {
    return m_arena[m_offsets[index] + 2] != 0;
}

std::string_view SharedStrings::characterBytes(std::uint32_t index) const {
    return entryKey(m_arena, m_offsets[index]).substr(3);
}

std::uint16_t extSstBucketSize(std::uint32_t count) {
    // At most 128 buckets, each of at least 8 strings.
    const std::uint32_t size = count / 128 + 1;
    return static_cast<std::uint16_t>(size < 8 ? 8 : size);
}

std::string encodeSst(const SharedStrings& strings, std::uint32_t streamOffset,
                      std::uint16_t bucketSize, std::vector<ExtSstBucket>& buckets) {
    std::string out;
    buckets.clear();
    std::size_t recordStart = 0;  // of the current record's header in `out`
    auto beginRecord = [&](std::uint16_t type) {
        if (!out.empty()) {
            // Patch the finished record's length.
            const std::size_t length = out.size() - recordStart - 4;
            out[recordStart + 2] = static_cast<char>(length & 0xFF);
            out[recordStart + 3] = static_cast<char>(length >> 8);
        }
        recordStart = out.size();
        put16(out, type);
        put16(out, 0);
    };
    auto space = [&]() { return kMaxRecordData - (out.size() - recordStart - 4); };

    beginRecord(kSst);
    put32(out, strings.references());
    put32(out, strings.size());
    for (std::uint32_t i = 0; i < strings.size(); ++i) {
        const bool wide = strings.isWide(i);
        const std::size_t charSize = wide ? 2 : 1;
        const std::uint16_t count = strings.characterCount(i);
        std::string_view bytes = strings.characterBytes(i);
        // A string's header and first character never split (a character
        // outside the Basic Multilingual Plane is two UTF-16 units).
        const std::size_t firstCharacter = count == 0                       ? 0
                                           : wide && isHighSurrogate(bytes) ? 4
                                                                            : charSize;
        if (space() < 3 + firstCharacter) {
            beginRecord(kContinue);
        }
        if (i % bucketSize == 0) {
            buckets.push_back({static_cast<std::uint32_t>(streamOffset + out.size()),
                               static_cast<std::uint16_t>(out.size() - recordStart)});
        }
        put16(out, count);
        put8(out, wide ? 0x01 : 0x00);
        while (!bytes.empty()) {
            std::size_t fits = space() / charSize * charSize;
            if (fits >= bytes.size()) {
                out.append(bytes);
                break;
            }
            // End the record one unit early rather than part a surrogate
            // pair: readers decode each record's units on their own.
            if (wide && fits >= 2 && isHighSurrogate(bytes.substr(fits - 2))) {
                fits -= 2;
            }
            out.append(bytes.substr(0, fits));
            bytes.remove_prefix(fits);
            // The characters continue in a new record that starts with the
            // flag byte.
            beginRecord(kContinue);
            put8(out, wide ? 0x01 : 0x00);
        }
    }
    beginRecord(kContinue);  // patches the last record's length
    out.resize(recordStart);
    return out;
}

std::string encodeExtSst(std::uint16_t bucketSize, const std::vector<ExtSstBucket>& buckets) {
    std::string d;
    put16(d, bucketSize);
    for (const auto& b : buckets) {
        put32(d, b.streamOffset);
        put16(d, b.recordOffset);
        put16(d, 0);
    }
    std::string out;
    appendRecord(out, kExtSst, d);
    return out;
}

}  // namespace pos::workbook::biff

// The cursor of the .xls reader: records of a Workbook stream and the fields
// inside them, read with bounds checks that never trust a length field, and
// the strings that run on into CONTINUE records. Shared by the reader's
// record walk (XlsBiffReader.cpp) and its container (XlsReader.cpp).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace pos::workbook::biff {

// A file that breaks the format; the message says what was found.
struct Corrupt {
    std::string reason;
};
struct Encrypted {};
struct TooOld {};

inline std::uint16_t le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t le32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

struct Record {
    std::uint16_t type = 0;
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
};

// The record stream: each header's length is checked against what is left.
class RecordCursor {
public:
    RecordCursor(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

    bool atEnd() const { return m_pos >= m_size; }
    std::size_t position() const { return m_pos; }
    void seek(std::size_t pos) {
        if (pos > m_size) {
            throw Corrupt{"有工作表的位置超出了工作簿数据的末尾"};
        }
        m_pos = pos;
    }
    Record next() {
        if (m_size - m_pos < 4) {
            throw Corrupt{"工作簿数据在一条记录的中间就结束了"};
        }
        Record r;
        r.type = le16(m_data + m_pos);
        r.size = le16(m_data + m_pos + 2);
        if (r.size > m_size - m_pos - 4) {
            throw Corrupt{"工作簿数据在一条记录的中间就结束了"};
        }
        r.data = m_data + m_pos + 4;
        m_pos += 4 + r.size;
        return r;
    }
    // The type of the record that follows, or 0xFFFFFFFF at the end.
    std::uint32_t peekType() const {
        if (m_size - m_pos < 4) {
            return 0xFFFFFFFF;
        }
        return le16(m_data + m_pos);
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

// Fields of one record, read with bounds checks.
class Fields {
public:
    explicit Fields(const Record& r) : m_data(r.data), m_size(r.size) {}
    void need(std::size_t n) const {
        if (m_size - m_pos < n) {
            throw Corrupt{"有记录比它的内容短"};
        }
    }
    std::uint8_t u8() {
        need(1);
        return m_data[m_pos++];
    }
    std::uint16_t u16() {
        need(2);
        m_pos += 2;
        return le16(m_data + m_pos - 2);
    }
    std::uint32_t u32() {
        need(4);
        m_pos += 4;
        return le32(m_data + m_pos - 4);
    }
    double f64() {
        need(8);
        std::uint64_t bits =
            le32(m_data + m_pos) | (static_cast<std::uint64_t>(le32(m_data + m_pos + 4)) << 32);
        m_pos += 8;
        double v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }
    const std::uint8_t* bytes(std::size_t n) {
        need(n);
        m_pos += n;
        return m_data + m_pos - n;
    }
    std::size_t left() const { return m_size - m_pos; }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

// A BIFF8 string's bytes may run on from a record into its CONTINUE records;
// where characters continue, the next record starts with a new flag byte.
class ContinuedReader {
public:
    void addSegment(const std::uint8_t* data, std::size_t size) {
        m_segments.push_back({data, size});
    }

    bool atEnd() {
        while (m_segment < m_segments.size() && m_pos == m_segments[m_segment].second) {
            ++m_segment;
            m_pos = 0;
        }
        return m_segment >= m_segments.size();
    }
    std::uint8_t u8() {
        if (atEnd()) {
            throw Corrupt{"有文本超出了所在记录的末尾"};
        }
        return m_segments[m_segment].first[m_pos++];
    }
    std::uint16_t u16() {
        const std::uint8_t lo = u8();
        return static_cast<std::uint16_t>(lo | (u8() << 8));
    }
    std::uint32_t u32() {
        const std::uint32_t lo = u16();
        return lo | (static_cast<std::uint32_t>(u16()) << 16);
    }
    void skip(std::uint64_t n) {
        while (n > 0) {
            if (atEnd()) {
                throw Corrupt{"有文本超出了所在记录的末尾"};
            }
            const std::size_t take = static_cast<std::size_t>(
                std::min<std::uint64_t>(n, m_segments[m_segment].second - m_pos));
            m_pos += take;
            n -= take;
        }
    }
    // `count` characters, 8-bit or (for `wide`) UTF-16LE, appended to `out`
    // as UTF-8; they may continue in the next records.
    void chars(std::size_t count, bool wide, std::string& out);
    // An XLUnicodeString (16-bit count) or, for `shortCount`, its 8-bit kin.
    std::string string(bool shortCount);
    // The same appended to `out`.
    void appendString(bool shortCount, std::string& out);

private:
    std::vector<std::pair<const std::uint8_t*, std::size_t>> m_segments;
    std::size_t m_segment = 0;
    std::size_t m_pos = 0;
};

}  // namespace pos::workbook::biff

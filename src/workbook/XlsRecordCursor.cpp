// Strings of the .xls reader's cursor: characters that run on from a record
// into its CONTINUE records, and the counted strings made of them.
#include "workbook/XlsRecordCursor.h"

#include "common/Unicode.h"

namespace pos::workbook::biff {

void ContinuedReader::chars(std::size_t count, bool wide, std::string& out) {
    // A writer may end a record between the two halves of a surrogate
    // pair; the high half waits here for the low one in the next record.
    std::uint32_t pendingHigh = 0;
    while (count > 0) {
        const std::size_t avail =
            m_segment < m_segments.size() ? m_segments[m_segment].second - m_pos : 0;
        if (avail == 0) {
            // The characters continue in the next record, after a flag byte.
            ++m_segment;
            m_pos = 0;
            if (m_segment >= m_segments.size() || m_segments[m_segment].second == 0) {
                throw Corrupt{"有文本超出了所在记录的末尾"};
            }
            wide = (m_segments[m_segment].first[m_pos++] & 0x01) != 0;
            continue;
        }
        const std::size_t size = wide ? 2 : 1;
        std::size_t n = std::min(count, avail / size);
        if (n == 0) {
            throw Corrupt{"有文本的字符被拆分在两条记录之间"};
        }
        const std::uint8_t* p = m_segments[m_segment].first + m_pos;
        m_pos += n * size;
        count -= n;
        if (!wide) {
            if (pendingHigh != 0) {
                appendUtf8(out, 0xFFFD);
                pendingHigh = 0;
            }
            appendLatin1AsUtf8(out, p, n);
            continue;
        }
        if (pendingHigh != 0) {
            const std::uint32_t low = le16(p);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                appendUtf8(out, 0x10000 + ((pendingHigh - 0xD800) << 10) + (low - 0xDC00));
                p += 2;
                --n;
            } else {
                appendUtf8(out, 0xFFFD);
            }
            pendingHigh = 0;
        }
        if (n > 0 && count > 0) {
            const std::uint32_t last = le16(p + 2 * (n - 1));
            if (last >= 0xD800 && last <= 0xDBFF) {
                pendingHigh = last;
                --n;
            }
        }
        appendUtf16LeAsUtf8(out, p, n);
    }
    if (pendingHigh != 0) {
        appendUtf8(out, 0xFFFD);
    }
}

std::string ContinuedReader::string(bool shortCount) {
    std::string out;
    appendString(shortCount, out);
    return out;
}

void ContinuedReader::appendString(bool shortCount, std::string& out) {
    const std::size_t count = shortCount ? u8() : u16();
    const std::uint8_t flags = u8();
    std::uint16_t runs = 0;
    std::uint32_t extra = 0;
    if (flags & 0x08) {
        runs = u16();
    }
    if (flags & 0x04) {
        extra = u32();
    }
    chars(count, (flags & 0x01) != 0, out);
    skip(4ull * runs);
    skip(extra);
}

}  // namespace pos::workbook::biff

// The .xls reader: the Workbook stream of an OLE2 compound file (BIFF8, and
// the BIFF5/7 of older programs), read once into memory and walked with a
// bounds-checked cursor that never trusts a length field. It reads the
// globals (code page, date system, formats, sheets, shared strings) and the
// cells of the first worksheet; chart and other substreams are skipped.
#include "workbook/XlsReader.h"

#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-memory.h>
#include <gsf/gsf-input-stdio.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/CodePage.h"
#include "common/Unicode.h"
#include "workbook/GsfHandles.h"
#include "workbook/WorkbookError.h"
#include "workbook/XlsxParts.h"

namespace pos::workbook {

namespace {

// A file that breaks the format; the message says what was found.
struct Corrupt {
    std::string reason;
};
struct Encrypted {};
struct TooOld {};

std::uint16_t le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t le32(const std::uint8_t* p) {
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
    void chars(std::size_t count, bool wide, std::string& out) {
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
    // An XLUnicodeString (16-bit count) or, for `shortCount`, its 8-bit kin.
    std::string string(bool shortCount) {
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
        std::string out;
        chars(count, (flags & 0x01) != 0, out);
        skip(4ull * runs);
        skip(extra);
        return out;
    }

private:
    std::vector<std::pair<const std::uint8_t*, std::size_t>> m_segments;
    std::size_t m_segment = 0;
    std::size_t m_pos = 0;
};

// Byte strings of BIFF5/7 files, in the workbook's code page.
class CodePage {
public:
    void set(std::uint16_t codePage) {
        m_codePage = codePage;
        m_decoder.reset();
    }

    std::string decode(const std::uint8_t* data, std::size_t size) {
        std::string out;
        bool ascii = true;
        for (std::size_t i = 0; i < size && ascii; ++i) {
            ascii = data[i] < 0x80;
        }
        if (ascii) {
            out.assign(reinterpret_cast<const char*>(data), size);
            return out;
        }
        if (m_codePage == 1200 || m_codePage == 0) {
            appendLatin1AsUtf8(out, data, size);
            return out;
        }
        if (!m_decoder) {
            m_decoder = std::make_unique<TextDecoder>(encodingName());
        }
        m_decoder->appendAsUtf8(out, data, size);
        return out;
    }

private:
    std::string encodingName() const {
        switch (m_codePage) {
            case 367:
                return "ASCII";
            case 936:
                return "GB18030";  // a superset of GBK
            case 950:
                return "BIG5";
            case 932:
                return "CP932";
            case 949:
                return "CP949";
            case 1361:
                return "JOHAB";
            case 10000:
            case 32768:
                return "MACINTOSH";
            case 32769:
                return "CP1252";
            default:
                return "CP" + std::to_string(m_codePage);
        }
    }
    std::uint16_t m_codePage = 1252;
    std::unique_ptr<TextDecoder> m_decoder;
};

struct SheetEntry {
    std::uint32_t offset;
    std::string name;
};

class BiffReader {
public:
    BiffReader(const std::uint8_t* data, std::size_t size) : m_cursor(data, size) {}

    WorkbookData read(int rowLimit) {
        readGlobals();
        WorkbookData book;
        book.firstSheet.limitRows(rowLimit);
        for (const auto& s : m_worksheets) {
            book.sheetNames.push_back(s.name);
        }
        if (!m_worksheets.empty()) {
            book.firstSheet.name = m_worksheets.front().name;
            readSheet(m_worksheets.front().offset, book.firstSheet);
        }
        return book;
    }

private:
    void readGlobals() {
        Record bof = m_cursor.next();
        if (bof.type == 0x0009 || bof.type == 0x0209 || bof.type == 0x0409) {
            throw TooOld{};
        }
        if (bof.type != 0x0809 || bof.size < 4) {
            throw Corrupt{"工作簿数据不以起始记录开头"};
        }
        // Versions below BIFF5 are those of Excel 2.x to 4.0, as some
        // programs label them in a BIFF5-style start record.
        const std::uint16_t version = le16(bof.data);
        if (version < 0x0500) {
            throw TooOld{};
        }
        if (version != 0x0500 && version != 0x0600) {
            throw Corrupt{"工作簿数据的版本号无法识别"};
        }
        m_biff8 = version == 0x0600;
        if (!m_biff8) {
            m_codePage.set(1252);
        }
        std::vector<std::uint16_t> xfFormats;
        std::unordered_map<std::uint16_t, bool> customDate;
        for (;;) {
            const Record r = m_cursor.next();
            Fields f(r);
            switch (r.type) {
                case 0x000A:  // EOF
                    finishFormats(xfFormats, customDate);
                    return;
                case 0x002F:  // FILEPASS
                    throw Encrypted{};
                case 0x0042:  // CODEPAGE
                    m_codePage.set(f.u16());
                    break;
                case 0x0022:  // DATEMODE
                    m_date1904 = f.u16() != 0;
                    break;
                case 0x041E:  // FORMAT
                    readFormat(r, customDate);
                    break;
                case 0x00E0:  // XF
                    f.u16();
                    xfFormats.push_back(f.u16());
                    break;
                case 0x0085: {  // BOUNDSHEET
                    const std::uint32_t offset = f.u32();
                    f.u8();
                    const std::uint8_t type = f.u8();
                    std::string name = m_biff8 ? singleString(r, 6, true) : byteString(f, false);
                    if (type == 0x00) {
                        m_worksheets.push_back({offset, std::move(name)});
                    }
                    break;
                }
                case 0x00FC:  // SST
                    readSst(r);
                    break;
                default:
                    break;
            }
        }
    }

    // A number format: its code is 8-bit counted bytes in the code page in
    // BIFF5/7, a Unicode string in BIFF8. One that cannot be read costs only
    // itself: the cells of its XFs show as General.
    void readFormat(const Record& r, std::unordered_map<std::uint16_t, bool>& customDate) {
        Fields f(r);
        if (f.left() < 2) {
            return;
        }
        const std::uint16_t index = f.u16();
        try {
            const std::string code = m_biff8 ? singleString(r, 2, false) : byteString(f, false);
            customDate[index] = xlsx::isDateFormatCode(code);
        } catch (const Corrupt&) {
            customDate[index] = false;
        }
    }

    void finishFormats(const std::vector<std::uint16_t>& xfFormats,
                       const std::unordered_map<std::uint16_t, bool>& customDate) {
        m_dateXf.resize(xfFormats.size());
        for (std::size_t i = 0; i < xfFormats.size(); ++i) {
            const auto custom = customDate.find(xfFormats[i]);
            m_dateXf[i] = custom != customDate.end() ? custom->second
                                                     : xlsx::isBuiltinDateFormat(xfFormats[i]);
        }
    }

    // A BIFF8 string inside one record, from `offset`.
    static std::string singleString(const Record& r, std::size_t offset, bool shortCount) {
        if (offset > r.size) {
            throw Corrupt{"有记录比它的内容短"};
        }
        ContinuedReader reader;
        reader.addSegment(r.data + offset, r.size - offset);
        return reader.string(shortCount);
    }

    // A BIFF5/7 byte string with an 8-bit or 16-bit length.
    std::string byteString(Fields& f, bool longCount) {
        const std::size_t count = longCount ? f.u16() : f.u8();
        return m_codePage.decode(f.bytes(count), count);
    }

    // The record and the CONTINUE records after it, as one reader.
    ContinuedReader continued(const Record& first, std::size_t offset) {
        ContinuedReader reader;
        if (offset > first.size) {
            throw Corrupt{"有记录比它的内容短"};
        }
        reader.addSegment(first.data + offset, first.size - offset);
        while (m_cursor.peekType() == 0x003C) {
            const Record c = m_cursor.next();
            reader.addSegment(c.data, c.size);
        }
        return reader;
    }

    void readSst(const Record& r) {
        ContinuedReader reader = continued(r, 0);
        reader.u32();
        const std::uint32_t unique = reader.u32();
        // The count is only a hint: reserve no more than the bytes could hold.
        m_sst.reserve(std::min<std::size_t>(unique, r.size / 3 + 1));
        for (std::uint32_t i = 0; i < unique && !reader.atEnd(); ++i) {
            m_sst.push_back(reader.string(false));
        }
        m_sstHandles.assign(m_sst.size(), 0);
    }

    Value number(double v, std::uint16_t xf) const {
        if (xf < m_dateXf.size() && m_dateXf[xf]) {
            if (auto dt = xlsx::serialToDateTime(v, m_date1904)) {
                return Value::dateTime(*dt);
            }
        }
        return Value::floating(v);
    }

    static double rk(std::uint32_t v) {
        double d;
        if (v & 0x02) {
            d = static_cast<double>(static_cast<std::int32_t>(v) >> 2);
        } else {
            const std::uint64_t bits = static_cast<std::uint64_t>(v & 0xFFFFFFFC) << 32;
            std::memcpy(&d, &bits, sizeof d);
        }
        return (v & 0x01) ? d / 100 : d;
    }

    static void checkColumn(int column) {
        if (column >= kXlsMaxColumns) {
            throw Corrupt{"有单元格超出了第256列"};
        }
    }

    void readSheet(std::uint32_t offset, SheetData& sheet) {
        m_cursor.seek(offset);
        const Record bof = m_cursor.next();
        if (bof.type != 0x0809) {
            throw Corrupt{"有工作表不以起始记录开头"};
        }
        std::optional<std::pair<int, int>> pendingString;  // a formula cell awaiting STRING
        // Formula cells whose result reads as an empty text, and whether the
        // sheet was calculated before it was saved (see markUncalculated).
        std::vector<std::pair<int, int>> emptyResults;
        bool savedWithoutRecalc = false;
        for (;;) {
            const Record r = m_cursor.next();
            Fields f(r);
            const std::uint16_t type = r.type;
            if (type != 0x0207 && type != 0x04BC && type != 0x0221 && type != 0x0236) {
                pendingString.reset();
            }
            switch (type) {
                case 0x000A:  // EOF
                    if (savedWithoutRecalc) {
                        markUncalculated(emptyResults, sheet);
                    }
                    return;
                case 0x005F:  // SAVERECALC
                    savedWithoutRecalc = f.u16() == 0;
                    break;
                case 0x0809:  // a chart or other substream inside the sheet
                    skipSubstream();
                    break;
                case 0x00FD: {  // LABELSST
                    const int row = f.u16(), col = f.u16();
                    f.u16();
                    const std::uint32_t index = f.u32();
                    checkColumn(col);
                    if (index >= m_sst.size()) {
                        throw Corrupt{"有单元格引用了共享字符串表中不存在的文本"};
                    }
                    if (!sheet.keepsRow(row)) {
                        sheet.markFormatted(row, col);
                        break;
                    }
                    if (m_sstHandles[index] == 0) {
                        m_sstHandles[index] = sheet.addText(m_sst[index]);
                        std::string().swap(m_sst[index]);
                    }
                    sheet.setInterned(row, col, m_sstHandles[index]);
                    break;
                }
                case 0x0204:    // LABEL
                case 0x00D6: {  // RSTRING
                    const int row = f.u16(), col = f.u16();
                    f.u16();
                    checkColumn(col);
                    std::string text = m_biff8 ? singleString(r, 6, false) : byteString(f, true);
                    sheet.setCell(row, col, Value::text(std::move(text)));
                    break;
                }
                case 0x0203: {  // NUMBER
                    const int row = f.u16(), col = f.u16();
                    const std::uint16_t xf = f.u16();
                    checkColumn(col);
                    sheet.setCell(row, col, number(f.f64(), xf));
                    break;
                }
                case 0x027E: {  // RK
                    const int row = f.u16(), col = f.u16();
                    const std::uint16_t xf = f.u16();
                    checkColumn(col);
                    sheet.setCell(row, col, number(rk(f.u32()), xf));
                    break;
                }
                case 0x00BD: {  // MULRK
                    const int row = f.u16();
                    int col = f.u16();
                    while (f.left() >= 8) {  // each xf + RK, then the last column
                        const std::uint16_t xf = f.u16();
                        checkColumn(col);
                        sheet.setCell(row, col, number(rk(f.u32()), xf));
                        ++col;
                    }
                    break;
                }
                case 0x0205: {  // BOOLERR
                    const int row = f.u16(), col = f.u16();
                    f.u16();
                    const std::uint8_t value = f.u8();
                    const std::uint8_t isError = f.u8();
                    checkColumn(col);
                    sheet.setCell(row, col,
                                  isError ? Value::error(value) : Value::boolean(value != 0));
                    break;
                }
                case 0x0201: {  // BLANK
                    const int row = f.u16(), col = f.u16();
                    checkColumn(col);
                    sheet.markFormatted(row, col);
                    break;
                }
                case 0x00BE: {  // MULBLANK
                    const int row = f.u16();
                    int col = f.u16();
                    while (f.left() >= 4) {  // each xf, then the last column
                        f.u16();
                        checkColumn(col);
                        sheet.markFormatted(row, col);
                        ++col;
                    }
                    break;
                }
                case 0x0006:    // FORMULA: the cached result
                case 0x0206:    // the same, with the record numbers of older
                case 0x0406: {  // versions that some converters still write
                    const int row = f.u16(), col = f.u16();
                    const std::uint16_t xf = f.u16();
                    const std::uint8_t* result = f.bytes(8);
                    checkColumn(col);
                    if (result[6] == 0xFF && result[7] == 0xFF) {
                        switch (result[0]) {
                            case 0x00:  // text, in the STRING record that follows
                                sheet.setCell(row, col, Value::text(std::string()));
                                pendingString = std::make_pair(row, col);
                                break;
                            case 0x01:
                                sheet.setCell(row, col, Value::boolean(result[2] != 0));
                                break;
                            case 0x02:
                                sheet.setCell(row, col, Value::error(result[2]));
                                break;
                            case 0x03:  // an empty text
                                sheet.setCell(row, col, Value::text(std::string()));
                                if (std::memcmp(result, kEmptyTextResult, 8) == 0) {
                                    emptyResults.emplace_back(row, col);
                                }
                                break;
                            default:
                                sheet.setCell(row, col, Value::text(std::string()));
                                break;
                        }
                    } else {
                        double v;
                        std::memcpy(&v, result, sizeof v);  // little-endian host
                        sheet.setCell(row, col, number(v, xf));
                    }
                    break;
                }
                case 0x0207: {  // STRING: a formula's text result
                    if (!pendingString) {
                        break;
                    }
                    std::string text;
                    if (m_biff8) {
                        ContinuedReader reader = continued(r, 0);
                        text = reader.string(false);
                    } else {
                        text = byteString(f, true);
                    }
                    sheet.setCell(pendingString->first, pendingString->second,
                                  Value::text(std::move(text)));
                    pendingString.reset();
                    break;
                }
                default:
                    break;
            }
        }
    }

    // The result bytes of a formula whose value is an empty text.
    static constexpr std::uint8_t kEmptyTextResult[8] = {0x03, 0, 0, 0, 0, 0, 0xFF, 0xFF};

    // A program that calculates stores a formula's result; one that does not
    // fills the result with the empty-text pattern above, and so does a
    // program that calculated an empty text (LibreOffice writes
    // =IF(1;"";"") exactly as xlwt writes an uncalculated =A1*2, with the
    // same flags and no STRING record). The cell alone cannot tell them
    // apart; the sheet can: spreadsheet programs save with "recalculate
    // before saving" set in SAVERECALC, and a writer that does not calculate
    // clears it. Only in such a sheet are empty-text results taken for
    // missing ones, so that an empty text calculated by a spreadsheet
    // program is never refused.
    static void markUncalculated(const std::vector<std::pair<int, int>>& cells, SheetData& sheet) {
        for (const auto& [row, column] : cells) {
            sheet.markWithoutResult(row, column);
        }
    }

    // From a nested BOF to its matching EOF.
    void skipSubstream() {
        int depth = 1;
        while (depth > 0) {
            const Record r = m_cursor.next();
            if (r.type == 0x0809) {
                ++depth;
            } else if (r.type == 0x000A) {
                --depth;
            }
        }
    }

    RecordCursor m_cursor;
    bool m_biff8 = true;
    bool m_date1904 = false;
    CodePage m_codePage;
    std::vector<bool> m_dateXf;
    std::vector<std::string> m_sst;
    std::vector<SheetData::TextHandle> m_sstHandles;  // 0 until first placed
    std::vector<SheetEntry> m_worksheets;
};

std::string encryptedMessage(const std::string& name) {
    return "无法读取工作簿" + inQuotes(name) +
           "：它设有打开密码（已加密）。请在电子表格程序中取消密码、保存后重试。";
}

WorkbookData readFromInput(GsfInput* input, const std::string& name, int rowLimit) {
    GError* rawError = nullptr;
    GsfHandle<GsfInfile> ole(gsf_infile_msole_new(input, &rawError));
    GErrorHandle error(rawError);
    if (!ole) {
        throw WorkbookError("无法读取文件" + inQuotes(name) +
                            "：它不是Excel工作簿（.xls或.xlsx），或者文件已损坏、不完整（" +
                            errorMessage(error.get(), "复合文档已损坏") + "）。" +
                            kSaveAgainAdvice);
    }
    for (const char* encrypted : {"EncryptedPackage", "EncryptionInfo"}) {
        GsfHandle<GsfInput> child(gsf_infile_child_by_name(ole.get(), encrypted));
        if (child) {
            throw WorkbookError(encryptedMessage(name));
        }
    }
    GsfHandle<GsfInput> stream;
    for (const char* streamName : {"Workbook", "Book", "WORKBOOK", "BOOK"}) {
        stream.reset(gsf_infile_child_by_name(ole.get(), streamName));
        if (stream) {
            break;
        }
    }
    if (!stream) {
        throw WorkbookError("无法读取文件" + inQuotes(name) +
                            "：它是复合文档，但其中没有工作簿（可能是其他程序的文档），不是Excel"
                            "工作簿（.xls或.xlsx）。" +
                            kSaveAgainAdvice);
    }
    const gsf_off_t size = gsf_input_size(stream.get());
    const gsf_off_t containerSize = gsf_input_size(input);
    if (size < 0 || size > containerSize) {
        throw WorkbookError("无法读取工作簿" + inQuotes(name) +
                            "：文件已损坏（其中的工作簿数据比文件本身还大）。" + kSaveAgainAdvice);
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const std::size_t n = std::min<std::size_t>(bytes.size() - done, 1u << 20);
        if (gsf_input_read(stream.get(), n, bytes.data() + done) == nullptr) {
            throw WorkbookError("无法读取工作簿" + inQuotes(name) +
                                "：文件已损坏或不完整，其中的工作簿数据无法读出。" +
                                kSaveAgainAdvice);
        }
        done += n;
    }
    try {
        return BiffReader(bytes.data(), bytes.size()).read(rowLimit);
    } catch (const Corrupt& c) {
        throw WorkbookError("无法读取工作簿" + inQuotes(name) + "：文件已损坏或不完整（" +
                            c.reason + "）。" + kSaveAgainAdvice);
    } catch (const Encrypted&) {
        throw WorkbookError(encryptedMessage(name));
    } catch (const TooOld&) {
        throw WorkbookError(olderThanExcel5Message(name));
    } catch (const WorkbookError& e) {
        throw WorkbookError("无法读取工作簿" + inQuotes(name) + "：" + e.what());
    }
}

}  // namespace

bool isOldBiffStream(const unsigned char* head, std::size_t size) {
    if (size < 8) {
        return false;
    }
    // The start record of a sheet or workbook of Excel 2.x, 3.0 or 4.0: its
    // type, a length such a record has, the version, and a known kind of
    // sheet (worksheet, chart, macro sheet, or the workbook of 4.0).
    const std::uint16_t type = le16(head);
    const std::uint16_t length = le16(head + 2);
    const std::uint16_t kind = le16(head + 6);
    return (type == 0x0009 || type == 0x0209 || type == 0x0409) && length >= 4 && length <= 20 &&
           (kind == 0x0010 || kind == 0x0020 || kind == 0x0040 || kind == 0x0100);
}

std::string olderThanExcel5Message(const std::string& name) {
    return "无法读取工作簿" + inQuotes(name) +
           "：这是Excel 5.0之前的版本（Excel 2.x–4.0）保存的工作簿，本程序不能读取，"
           "请在电子表格程序中另存为.xls或.xlsx后再导入。";
}

WorkbookData readXlsFromMemory(const std::uint8_t* data, std::size_t size,
                               const std::string& name) {
    const QuietGsf quiet;
    GsfHandle<GsfInput> input(gsf_input_memory_new(data, static_cast<gsf_off_t>(size), FALSE));
    if (!input) {
        throw WorkbookError("无法读取" + inQuotes(name) + "：数据是空的或无法读取。");
    }
    return readFromInput(input.get(), name, kEveryRow);
}

WorkbookData readXls(const std::string& path, int rowLimit) {
    const QuietGsf quiet;
    GError* rawError = nullptr;
    GsfHandle<GsfInput> input(gsf_input_stdio_new(path.c_str(), &rawError));
    GErrorHandle error(rawError);
    if (!input) {
        throw WorkbookError("无法打开工作簿" + inQuotes(path) + "（" +
                            errorMessage(error.get(), "未知错误") +
                            "）。请检查文件是否存在并且可以读取。");
    }
    return readFromInput(input.get(), path, rowLimit);
}

}  // namespace pos::workbook

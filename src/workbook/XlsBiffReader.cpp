// The record walk of the .xls reader: globals first, then the cells of the
// first worksheet, each record read through the bounds-checked cursor.
#include "workbook/XlsBiffReader.h"

#include <cmath>
#include <cstring>
#include <string_view>

#include "workbook/XlsxParts.h"

namespace pos::workbook::biff {

namespace {

// The result bytes of a formula whose value is an empty text.
constexpr std::uint8_t kEmptyTextResult[8] = {0x03, 0, 0, 0, 0, 0, 0xFF, 0xFF};

}  // namespace

WorkbookData BiffReader::read(int rowLimit) {
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

void BiffReader::readGlobals() {
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
void BiffReader::readFormat(const Record& r, std::unordered_map<std::uint16_t, bool>& customDate) {
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

void BiffReader::finishFormats(const std::vector<std::uint16_t>& xfFormats,
                               const std::unordered_map<std::uint16_t, bool>& customDate) {
    m_dateXf.resize(xfFormats.size());
    for (std::size_t i = 0; i < xfFormats.size(); ++i) {
        const auto custom = customDate.find(xfFormats[i]);
        m_dateXf[i] =
            custom != customDate.end() ? custom->second : xlsx::isBuiltinDateFormat(xfFormats[i]);
    }
}

// A BIFF8 string inside one record, from `offset`.
std::string BiffReader::singleString(const Record& r, std::size_t offset, bool shortCount) {
    if (offset > r.size) {
        throw Corrupt{"有记录比它的内容短"};
    }
    ContinuedReader reader;
    reader.addSegment(r.data + offset, r.size - offset);
    return reader.string(shortCount);
}

// A BIFF5/7 byte string with an 8-bit or 16-bit length.
std::string BiffReader::byteString(Fields& f, bool longCount) {
    const std::size_t count = longCount ? f.u16() : f.u8();
    return m_codePage.decode(f.bytes(count), count);
}

// The record and the CONTINUE records after it, as one reader.
ContinuedReader BiffReader::continued(const Record& first, std::size_t offset) {
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

void BiffReader::readSst(const Record& r) {
    ContinuedReader reader = continued(r, 0);
    reader.u32();
    const std::uint32_t unique = reader.u32();
    // The count is only a hint: reserve no more than the bytes could hold.
    m_sstEnds.reserve(std::min<std::size_t>(unique, r.size / 3 + 1));
    for (std::uint32_t i = 0; i < unique && !reader.atEnd(); ++i) {
        reader.appendString(false, m_sstText);
        m_sstEnds.push_back(m_sstText.size());
    }
    m_sstHandles.assign(m_sstEnds.size(), 0);
}

Value BiffReader::number(double v, std::uint16_t xf) const {
    if (xf < m_dateXf.size() && m_dateXf[xf]) {
        if (auto dt = xlsx::serialToDateTime(v, m_date1904)) {
            return Value::dateTime(*dt);
        }
    }
    return Value::floating(v);
}

double BiffReader::rk(std::uint32_t v) {
    double d;
    if (v & 0x02) {
        d = static_cast<double>(static_cast<std::int32_t>(v) >> 2);
    } else {
        const std::uint64_t bits = static_cast<std::uint64_t>(v & 0xFFFFFFFC) << 32;
        std::memcpy(&d, &bits, sizeof d);
    }
    return (v & 0x01) ? d / 100 : d;
}

void BiffReader::checkColumn(int column) {
    if (column >= kXlsMaxColumns) {
        throw Corrupt{"有单元格超出了第256列"};
    }
}

void BiffReader::readSheet(std::uint32_t offset, SheetData& sheet) {
    m_cursor.seek(offset);
    const Record bof = m_cursor.next();
    if (bof.type != 0x0809) {
        throw Corrupt{"有工作表不以起始记录开头"};
    }
    SheetState state;
    for (;;) {
        const Record r = m_cursor.next();
        const std::uint16_t type = r.type;
        if (type != 0x0207 && type != 0x04BC && type != 0x0221 && type != 0x0236) {
            state.pendingString.reset();
        }
        if (type == 0x000A) {  // EOF
            if (state.savedWithoutRecalc) {
                markUncalculated(state.emptyResults, sheet);
            }
            return;
        }
        readSheetRecord(r, state, sheet);
    }
}

void BiffReader::readSheetRecord(const Record& r, SheetState& state, SheetData& sheet) {
    Fields f(r);
    switch (r.type) {
        case 0x005F:  // SAVERECALC
            state.savedWithoutRecalc = f.u16() == 0;
            break;
        case 0x0809:  // a chart or other substream inside the sheet
            skipSubstream();
            break;
        case 0x00FD:  // LABELSST
            readLabelSst(f, sheet);
            break;
        case 0x0204:  // LABEL
        case 0x00D6:  // RSTRING
            readLabel(r, f, sheet);
            break;
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
        case 0x00BD:  // MULRK
            readMulRk(f, sheet);
            break;
        case 0x0205:  // BOOLERR
            readBoolErr(f, sheet);
            break;
        case 0x0201: {  // BLANK
            const int row = f.u16(), col = f.u16();
            checkColumn(col);
            sheet.markFormatted(row, col);
            break;
        }
        case 0x00BE:  // MULBLANK
            readMulBlank(f, sheet);
            break;
        case 0x0006:  // FORMULA: the cached result
        case 0x0206:  // the same, with the record numbers of older
        case 0x0406:  // versions that some converters still write
            readFormula(f, state, sheet);
            break;
        case 0x0207:  // STRING: a formula's text result
            readFormulaString(r, f, state, sheet);
            break;
        default:
            break;
    }
}

void BiffReader::readLabelSst(Fields& f, SheetData& sheet) {
    const int row = f.u16(), col = f.u16();
    f.u16();
    const std::uint32_t index = f.u32();
    checkColumn(col);
    if (index >= m_sstEnds.size()) {
        throw Corrupt{"有单元格引用了共享字符串表中不存在的文本"};
    }
    if (!sheet.keepsRow(row)) {
        sheet.markFormatted(row, col);
        return;
    }
    if (m_sstHandles[index] == 0) {
        const std::size_t start = index == 0 ? 0 : m_sstEnds[index - 1];
        m_sstHandles[index] =
            sheet.addText(std::string_view(m_sstText).substr(start, m_sstEnds[index] - start));
    }
    sheet.setInterned(row, col, m_sstHandles[index]);
}

void BiffReader::readLabel(const Record& r, Fields& f, SheetData& sheet) {
    const int row = f.u16(), col = f.u16();
    f.u16();
    checkColumn(col);
    std::string text = m_biff8 ? singleString(r, 6, false) : byteString(f, true);
    sheet.setCell(row, col, Value::text(std::move(text)));
}

void BiffReader::readMulRk(Fields& f, SheetData& sheet) const {
    const int row = f.u16();
    int col = f.u16();
    while (f.left() >= 8) {  // each xf + RK, then the last column
        const std::uint16_t xf = f.u16();
        checkColumn(col);
        sheet.setCell(row, col, number(rk(f.u32()), xf));
        ++col;
    }
}

void BiffReader::readBoolErr(Fields& f, SheetData& sheet) {
    const int row = f.u16(), col = f.u16();
    f.u16();
    const std::uint8_t value = f.u8();
    const std::uint8_t isError = f.u8();
    checkColumn(col);
    sheet.setCell(row, col, isError ? Value::error(value) : Value::boolean(value != 0));
}

void BiffReader::readMulBlank(Fields& f, SheetData& sheet) {
    const int row = f.u16();
    int col = f.u16();
    while (f.left() >= 4) {  // each xf, then the last column
        f.u16();
        checkColumn(col);
        sheet.markFormatted(row, col);
        ++col;
    }
}

void BiffReader::readFormula(Fields& f, SheetState& state, SheetData& sheet) const {
    const int row = f.u16(), col = f.u16();
    const std::uint16_t xf = f.u16();
    const std::uint8_t* result = f.bytes(8);
    checkColumn(col);
    if (result[6] != 0xFF || result[7] != 0xFF) {
        double v;
        std::memcpy(&v, result, sizeof v);  // little-endian host
        sheet.setCell(row, col, number(v, xf));
        return;
    }
    switch (result[0]) {
        case 0x00:  // text, in the STRING record that follows
            sheet.setCell(row, col, Value::text(std::string()));
            state.pendingString = std::make_pair(row, col);
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
                state.emptyResults.emplace_back(row, col);
            }
            break;
        default:
            sheet.setCell(row, col, Value::text(std::string()));
            break;
    }
}

void BiffReader::readFormulaString(const Record& r, Fields& f, SheetState& state,
                                   SheetData& sheet) {
    if (!state.pendingString) {
        return;
    }
    std::string text;
    if (m_biff8) {
        ContinuedReader reader = continued(r, 0);
        text = reader.string(false);
    } else {
        text = byteString(f, true);
    }
    sheet.setCell(state.pendingString->first, state.pendingString->second,
                  Value::text(std::move(text)));
    state.pendingString.reset();
}

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
void BiffReader::markUncalculated(const std::vector<std::pair<int, int>>& cells, SheetData& sheet) {
    for (const auto& [row, column] : cells) {
        sheet.markWithoutResult(row, column);
    }
}

// From a nested BOF to its matching EOF.
void BiffReader::skipSubstream() {
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

}  // namespace pos::workbook::biff

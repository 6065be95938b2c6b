// The BIFF8 record encoders of the .xls writer, one family per source file:
// globals (XlsGlobals.cpp), formats (XlsFormats.cpp), the shared string table
// (XlsStrings.cpp) and cells (XlsCells.cpp). Each encoder returns or appends
// whole records, header included, so a test can compare them byte for byte.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace pos::workbook::biff {

// Record identifiers.
inline constexpr std::uint16_t kBof = 0x0809;
inline constexpr std::uint16_t kEof = 0x000A;
inline constexpr std::uint16_t kContinue = 0x003C;
inline constexpr std::uint16_t kSst = 0x00FC;
inline constexpr std::uint16_t kExtSst = 0x00FF;
inline constexpr std::uint16_t kLabelSst = 0x00FD;
inline constexpr std::uint16_t kBlank = 0x0201;
inline constexpr std::uint16_t kNumber = 0x0203;
inline constexpr std::uint16_t kRow = 0x0208;
inline constexpr std::uint16_t kDimensions = 0x0200;
inline constexpr std::uint16_t kBoundSheet = 0x0085;

// A record's data holds at most this many bytes; longer data continues in
// CONTINUE records.
inline constexpr std::size_t kMaxRecordData = 8224;

// Substream types of BOF.
inline constexpr std::uint16_t kGlobalsSubstream = 0x0005;
inline constexpr std::uint16_t kWorksheetSubstream = 0x0010;

// Cell XF indexes: 0..14 are style XFs, 15 the default cell XF, 16 ours with
// text wrapping.
inline constexpr std::uint16_t kDefaultCellXf = 15;
inline constexpr std::uint16_t kWrapCellXf = 16;

inline void put8(std::string& out, std::uint8_t v) {
    out.push_back(static_cast<char>(v));
}
inline void put16(std::string& out, std::uint16_t v) {
    const char b[2] = {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
    out.append(b, 2);
}
inline void put32(std::string& out, std::uint32_t v) {
    const char b[4] = {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
                       static_cast<char>((v >> 16) & 0xFF), static_cast<char>(v >> 24)};
    out.append(b, 4);
}
inline void putDouble(std::string& out, double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    put32(out, static_cast<std::uint32_t>(bits));
    put32(out, static_cast<std::uint32_t>(bits >> 32));
}
// Appends a record header and its data (at most kMaxRecordData bytes).
void appendRecord(std::string& out, std::uint16_t type, std::string_view data);

// --- Globals (XlsGlobals.cpp) ---------------------------------------------
std::string encodeBof(std::uint16_t substreamType);
std::string encodeEof();
// INTERFACEHDR through BOOKBOOL: the fixed records between BOF and the fonts.
std::string encodeWorkbookPrologue(int sheetCount);
// BOUNDSHEET of a worksheet whose BOF sits at `bofOffset` in the stream.
std::string encodeBoundSheet(std::uint32_t bofOffset, std::string_view utf8Name);
std::string encodeUseSelfs();
std::string encodeCountry();

// --- Formats (XlsFormats.cpp) ---------------------------------------------
std::string encodeFont(std::string_view asciiName, std::uint16_t height, std::uint16_t weight);
std::string encodeStyleXf(std::uint16_t font, std::uint8_t ignoredAttributes);
std::string encodeCellXf(bool wrapText);
std::string encodeNormalStyle();
// The five fonts, the 15 style XFs, the default cell XF, the wrap cell XF and
// the Normal style.
std::string encodeFormatting();

// --- Shared string table (XlsStrings.cpp) -----------------------------------
// The distinct texts of a sheet, each held once, already in its BIFF8 form
// (character count, flag byte, Latin-1 bytes or UTF-16LE units).
class SharedStrings {
public:
    static constexpr std::uint32_t kTooLong = 0xFFFFFFFF;

    // Index of the text in the table, adding it when new; kTooLong when the
    // text exceeds the format's 32,767 characters.
    std::uint32_t add(std::string_view utf8);
    std::uint32_t size() const { return static_cast<std::uint32_t>(m_offsets.size()); }
    std::uint32_t references() const { return m_references; }

    std::uint16_t characterCount(std::uint32_t index) const;
    bool isWide(std::uint32_t index) const;
    std::string_view characterBytes(std::uint32_t index) const;

private:
    void grow();
    std::string m_arena;                   // [u16 count][u8 flag][bytes] per string
    std::vector<std::uint32_t> m_offsets;  // into m_arena
    std::vector<std::uint64_t> m_slots;    // open addressing: hash << 32 | (index + 1), 0 free
    std::string m_scratch;
    std::uint32_t m_references = 0;
};

struct ExtSstBucket {
    std::uint32_t streamOffset;  // of the bucket's first string
    std::uint16_t recordOffset;  // of that string inside its record, header included
};

// Strings per EXTSST bucket for a table of `count` strings.
std::uint16_t extSstBucketSize(std::uint32_t count);
// SST and its CONTINUE records, starting at `streamOffset` in the stream.
std::string encodeSst(const SharedStrings& strings, std::uint32_t streamOffset,
                      std::uint16_t bucketSize, std::vector<ExtSstBucket>& buckets);
std::string encodeExtSst(std::uint16_t bucketSize, const std::vector<ExtSstBucket>& buckets);

// --- Cells (XlsCells.cpp) ---------------------------------------------------
std::string encodeDefColWidth();
std::string encodeColInfo(std::uint16_t firstColumn, std::uint16_t lastColumn, std::uint16_t xf);
// The used range; an empty sheet has all zeros.
std::string encodeDimensions(int firstRow, int lastRow, int firstColumn, int lastColumn);
void appendRow(std::string& out, int row, int firstColumn, int lastColumn, std::uint16_t xf);
void appendLabelSst(std::string& out, int row, int column, std::uint16_t xf, std::uint32_t index);
void appendBlank(std::string& out, int row, int column, std::uint16_t xf);
void appendNumber(std::string& out, int row, int column, std::uint16_t xf, double value);
std::string encodeWindow2();

}  // namespace pos::workbook::biff

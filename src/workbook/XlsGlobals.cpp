// Workbook globals records of the .xls writer: BOF, the fixed prologue,
// BOUNDSHEET, COUNTRY, EOF.
#include <stdexcept>

#include "common/Unicode.h"
#include "workbook/XlsRecords.h"

namespace pos::workbook::biff {

void appendRecord(std::string& out, std::uint16_t type, std::string_view data) {
    if (data.size() > kMaxRecordData) {
        throw std::logic_error("内部错误：BIFF记录的数据超过了8,224字节");
    }
    put16(out, type);
    put16(out, static_cast<std::uint16_t>(data.size()));
    out.append(data);
}

namespace {

std::string record(std::uint16_t type, std::string_view data) {
    std::string out;
    appendRecord(out, type, data);
    return out;
}

std::string word(std::uint16_t v) {
    std::string d;
    put16(d, v);
    return d;
}

}  // namespace

std::string encodeBof(std::uint16_t substreamType) {
    std::string d;
    put16(d, 0x0600);  // BIFF8
    put16(d, substreamType);
    put16(d, 0x0DBB);  // build
    put16(d, 0x07CC);  // year
    put32(d, 0x00000000);
    put32(d, 0x00000006);  // lowest BIFF version that can read the file
    return record(kBof, d);
}

std::string encodeEof() {
    return record(kEof, {});
}

std::string encodeWorkbookPrologue(int sheetCount) {
    std::string out;
    appendRecord(out, 0x00E1, word(0x04B0));  // INTERFACEHDR: UTF-16
    appendRecord(out, 0x00C1, word(0x0000));  // MMS
    appendRecord(out, 0x00E2, {});            // INTERFACEEND
    {
        // WRITEACCESS: the user name, padded with blanks to 112 bytes.
        std::string d;
        const std::string_view user = "pos-transfer";
        put16(d, static_cast<std::uint16_t>(user.size()));
        put8(d, 0x00);
        d.append(user);
        d.append(112 - d.size(), ' ');
        appendRecord(out, 0x005C, d);
    }
    appendRecord(out, 0x0042, word(0x04B0));  // CODEPAGE: UTF-16
    appendRecord(out, 0x0161, word(0x0000));  // DSF
    {
        std::string d;  // TABID: one id per sheet
        for (int i = 1; i <= sheetCount; ++i) {
            put16(d, static_cast<std::uint16_t>(i));
        }
        appendRecord(out, 0x013D, d);
    }
    appendRecord(out, 0x009C, word(0x000E));  // FNGROUPCOUNT
    appendRecord(out, 0x0019, word(0x0000));  // WINDOWPROTECT
    appendRecord(out, 0x0012, word(0x0000));  // PROTECT
    appendRecord(out, 0x0013, word(0x0000));  // PASSWORD
    appendRecord(out, 0x01AF, word(0x0000));  // PROT4REV
    appendRecord(out, 0x01BC, word(0x0000));  // PROT4REVPASS
    {
        std::string d;  // WINDOW1
        put16(d, 0x01E0);
        put16(d, 0x005A);
        put16(d, 0x3FCF);
        put16(d, 0x2A4E);
        put16(d, 0x0038);  // horizontal and vertical scroll bars, sheet tabs
        put16(d, 0x0000);  // active sheet
        put16(d, 0x0000);  // first visible tab
        put16(d, 0x0001);  // selected sheets
        put16(d, 0x0258);  // tab bar width
        appendRecord(out, 0x003D, d);
    }
    appendRecord(out, 0x0040, word(0x0000));  // BACKUP
    appendRecord(out, 0x008D, word(0x0000));  // HIDEOBJ
    appendRecord(out, 0x0022, word(0x0000));  // DATEMODE: 1900 system
    appendRecord(out, 0x000E, word(0x0001));  // PRECISION: as displayed off
    appendRecord(out, 0x01B7, word(0x0000));  // REFRESHALL
    appendRecord(out, 0x00DA, word(0x0000));  // BOOKBOOL
    return out;
}

std::string encodeBoundSheet(std::uint32_t bofOffset, std::string_view utf8Name) {
    std::string d;
    put32(d, bofOffset);
    put8(d, 0x00);  // visible
    put8(d, 0x00);  // worksheet
    // ShortXLUnicodeString; sheet names are at most 31 characters.
    std::string units;
    std::size_t pos = 0;
    std::uint8_t count = 0;
    while (pos < utf8Name.size() && count < 255) {
        std::uint32_t cp = nextCodePoint(utf8Name, pos);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            put16(units, static_cast<std::uint16_t>(0xD800 + (cp >> 10)));
            put16(units, static_cast<std::uint16_t>(0xDC00 + (cp & 0x3FF)));
            count = static_cast<std::uint8_t>(count + 2);
        } else {
            put16(units, static_cast<std::uint16_t>(cp));
            ++count;
        }
    }
    put8(d, count);
    put8(d, 0x01);  // UTF-16
    d.append(units);
    return record(kBoundSheet, d);
}

std::string encodeUseSelfs() {
    return record(0x0160, word(0x0001));
}

std::string encodeCountry() {
    std::string d;
    put16(d, 0x0001);
    put16(d, 0x0001);
    return record(0x008C, d);
}

}  // namespace pos::workbook::biff

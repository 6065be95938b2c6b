// Worksheet records of the .xls writer: column and row records, the used
// range, cells, and the window settings.
#include "workbook/XlsRecords.h"

#include <cstring>

namespace pos::workbook::biff {

namespace {

std::string record(std::uint16_t type, std::string_view data) {
    std::string out;
    appendRecord(out, type, data);
    return out;
}

}  // namespace

std::string encodeDefColWidth() {
    std::string d;
    put16(d, 8);
    return record(0x0055, d);
}

std::string encodeColInfo(std::uint16_t firstColumn, std::uint16_t lastColumn, std::uint16_t xf) {
    std::string d;
    put16(d, firstColumn);
    put16(d, lastColumn);
    put16(d, 0x0924);  // width in 1/256 of a character: the default 8.43
    put16(d, xf);
    put16(d, 0x0000);
    put16(d, 0x0000);
    return record(0x007D, d);
}

std::string encodeDimensions(int firstRow, int lastRow, int firstColumn, int lastColumn) {
    std::string d;
    if (lastRow < 0) {
        firstRow = lastRow = -1;
        firstColumn = lastColumn = -1;
        put32(d, 0);
        put32(d, 0);
        put16(d, 0);
        put16(d, 0);
    } else {
        put32(d, static_cast<std::uint32_t>(firstRow));
        put32(d, static_cast<std::uint32_t>(lastRow + 1));
        put16(d, static_cast<std::uint16_t>(firstColumn));
        put16(d, static_cast<std::uint16_t>(lastColumn + 1));
    }
    put16(d, 0);
    return record(kDimensions, d);
}

void appendRow(std::string& out, int row, int firstColumn, int lastColumn, std::uint16_t xf) {
    put16(out, kRow);
    put16(out, 16);
    put16(out, static_cast<std::uint16_t>(row));
    put16(out, static_cast<std::uint16_t>(firstColumn));
    put16(out, static_cast<std::uint16_t>(lastColumn + 1));
    put16(out, 0x00FF);  // height in twips, the default
    put16(out, 0x0000);
    put16(out, 0x0000);
    // Flags: 0x0100 always set; 0x0080 when the row has a format of its own.
    put16(out, static_cast<std::uint16_t>(xf != kDefaultCellXf ? 0x0180 : 0x0100));
    put16(out, xf);
}

void appendLabelSst(std::string& out, int row, int column, std::uint16_t xf, std::uint32_t index) {
    char b[14] = {static_cast<char>(kLabelSst & 0xFF),
                  static_cast<char>(kLabelSst >> 8),
                  10,
                  0,
                  static_cast<char>(row & 0xFF),
                  static_cast<char>(row >> 8),
                  static_cast<char>(column & 0xFF),
                  static_cast<char>(column >> 8),
                  static_cast<char>(xf & 0xFF),
                  static_cast<char>(xf >> 8),
                  static_cast<char>(index & 0xFF),
                  static_cast<char>((index >> 8) & 0xFF),
                  static_cast<char>((index >> 16) & 0xFF),
                  static_cast<char>(index >> 24)};
    out.append(b, sizeof b);
}

void appendBlank(std::string& out, int row, int column, std::uint16_t xf) {
    put16(out, kBlank);
    put16(out, 6);
    put16(out, static_cast<std::uint16_t>(row));
    put16(out, static_cast<std::uint16_t>(column));
    put16(out, xf);
}

void appendNumber(std::string& out, int row, int column, std::uint16_t xf, double value) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    // One append per cell, as for the labels.
    char b[18] = {static_cast<char>(kNumber & 0xFF),
                  static_cast<char>(kNumber >> 8),
                  14,
                  0,
                  static_cast<char>(row & 0xFF),
                  static_cast<char>(row >> 8),
                  static_cast<char>(column & 0xFF),
                  static_cast<char>(column >> 8),
                  static_cast<char>(xf & 0xFF),
                  static_cast<char>(xf >> 8)};
    for (int i = 0; i < 8; ++i) {
        b[10 + i] = static_cast<char>((bits >> (8 * i)) & 0xFF);
    }
    out.append(b, sizeof b);
}

std::string encodeWindow2() {
    std::string d;
    // Gridlines, headings, zeros, automatic grid colour, outline symbols,
    // selected, shown in the window.
    put16(d, 0x06B6);
    put16(d, 0);  // top row
    put16(d, 0);  // left column
    put32(d, 0x00000040);
    put16(d, 0);
    put16(d, 0);
    put32(d, 0);
    return record(0x023E, d);
}

}  // namespace pos::workbook::biff

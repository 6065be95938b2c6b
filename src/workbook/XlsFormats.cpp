// Formatting records of the .xls writer: FONT, XF and STYLE.
#include "workbook/XlsRecords.h"

namespace pos::workbook::biff {

std::string encodeFont(std::string_view asciiName, std::uint16_t height, std::uint16_t weight) {
    std::string d;
    put16(d, height);  // twips
    put16(d, weight >= 700 ? 0x0001 : 0x0000);
    put16(d, 0x7FFF);  // automatic colour
    put16(d, weight);
    put16(d, 0x0000);  // no super- or subscript
    put8(d, 0x00);     // no underline
    put8(d, 0x00);     // family
    put8(d, 0x00);     // character set
    put8(d, 0x00);
    put8(d, static_cast<std::uint8_t>(asciiName.size()));
    put8(d, 0x00);  // compressed
    d.append(asciiName);
    std::string out;
    appendRecord(out, 0x0031, d);
    return out;
}

namespace {

std::string xf(std::uint16_t font, std::uint16_t typeAndProtection, std::uint8_t alignment,
               std::uint8_t attributes) {
    std::string d;
    put16(d, font);
    put16(d, 0x0000);  // number format General
    put16(d, typeAndProtection);
    put8(d, alignment);
    put8(d, 0x00);  // rotation
    put8(d, 0x00);  // indent, shrink, reading order
    put8(d, attributes);
    put32(d, 0x00000000);  // no borders
    put32(d, 0x00000000);
    put16(d, 0x20C0);  // pattern colours: system foreground and background
    std::string out;
    appendRecord(out, 0x00E0, d);
    return out;
}

constexpr std::uint8_t kAlignBottom = 0x20;
constexpr std::uint8_t kWrap = 0x08;
constexpr std::uint8_t kAlignmentAttribute = 0x10;

}  // namespace

std::string encodeStyleXf(std::uint16_t font, std::uint8_t ignoredAttributes) {
    // Locked, style XF, parent 0xFFF.
    return xf(font, 0xFFF5, kAlignBottom, ignoredAttributes);
}

std::string encodeCellXf(bool wrapText) {
    // Locked, cell XF, parent style 0. A wrapping XF says that its alignment
    // is its own, so that the style's alignment does not win.
    return wrapText ? xf(0, 0x0001, kAlignBottom | kWrap, kAlignmentAttribute)
                    : xf(0, 0x0001, kAlignBottom, 0x00);
}

std::string encodeNormalStyle() {
    std::string d;
    put16(d, 0x8000);  // built-in style, XF 0
    put8(d, 0x00);     // Normal
    put8(d, 0xFF);
    std::string out;
    appendRecord(out, 0x0293, d);
    return out;
}

std::string encodeFormatting() {
    std::string out;
    // Five fonts: indexes 0, 1, 2, 3 and 5 (index 4 does not exist).
    out += encodeFont("Arial", 200, 400);
    out += encodeFont("Arial", 200, 400);
    out += encodeFont("Arial", 200, 400);
    out += encodeFont("Arial", 200, 400);
    out += encodeFont("Arial", 200, 400);
    out += encodeStyleXf(0, 0x00);
    out += encodeStyleXf(1, 0xF4);
    out += encodeStyleXf(1, 0xF4);
    out += encodeStyleXf(2, 0xF4);
    out += encodeStyleXf(2, 0xF4);
    for (int i = 5; i < 15; ++i) {
        out += encodeStyleXf(0, 0xF4);
    }
    out += encodeCellXf(false);  // 15
    out += encodeCellXf(true);   // 16
    out += encodeNormalStyle();
    return out;
}

}  // namespace pos::workbook::biff

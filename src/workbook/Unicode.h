// UTF-8 and UTF-16 conversions for the workbook formats, which store text as
// UTF-16 units (or as Latin-1 bytes when every character fits).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace pos::workbook {

// Appends the code point as UTF-8; a lone surrogate becomes U+FFFD.
void appendUtf8(std::string& out, std::uint32_t codePoint);

// Decodes one code point from UTF-8 at `pos` and advances it. An invalid
// sequence yields U+FFFD and advances by one byte, so malformed input never
// stalls a loop.
std::uint32_t nextCodePoint(std::string_view s, std::size_t& pos);

// Appends UTF-16LE units (`count` units at `data`) as UTF-8, pairing
// surrogates; unpaired ones become U+FFFD.
void appendUtf16LeAsUtf8(std::string& out, const std::uint8_t* data, std::size_t count);

// Appends Latin-1 bytes (the compressed form of a BIFF8 string) as UTF-8.
void appendLatin1AsUtf8(std::string& out, const std::uint8_t* data, std::size_t count);

// Number of UTF-16 units the text takes (the unit in which the formats count
// characters).
std::size_t utf16Length(std::string_view utf8);

}  // namespace pos::workbook

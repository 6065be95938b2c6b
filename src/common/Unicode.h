// The one UTF-8 and UTF-16 codec of the program. The workbook formats store
// text as UTF-16 units (or as Latin-1 bytes when every character fits), and
// the ODBC driver takes and gives UTF-16; everything else is UTF-8. Damaged
// input never stops a conversion: what cannot be read becomes U+FFFD, so the
// text still arrives and the user sees where it was damaged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pos {

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

// UTF-8 text as UTF-16 units, and back.
std::u16string toUtf16(std::string_view utf8);
std::string toUtf8(std::u16string_view utf16);

// Number of UTF-16 units the text takes (the unit in which the formats count
// characters).
std::size_t utf16Length(std::string_view utf8);

// True for the characters a terminal shows two columns wide: CJK
// ideographs, kana, hangul and the full-width forms and punctuation.
bool isWideCharacter(std::uint32_t codePoint);

// The columns a terminal takes to show the UTF-8 text.
std::size_t terminalColumns(std::string_view utf8);

// The UTF-8 text in lines of at most `width` columns, broken at spaces and
// between wide characters, never before a closing punctuation mark (，。）)
// nor after an opening one (（“); a word longer than a line keeps its own.
std::vector<std::string> wrappedLines(std::string_view utf8, std::size_t width);

}  // namespace pos

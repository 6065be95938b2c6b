// The UTF-8 and UTF-16 codec.
#include "common/Unicode.h"

namespace pos {

void appendUtf8(std::string& out, std::uint32_t cp) {
    if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
        cp = 0xFFFD;
    }
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

std::uint32_t nextCodePoint(std::string_view s, std::size_t& pos) {
    const auto b0 = static_cast<unsigned char>(s[pos]);
    if (b0 < 0x80) {
        ++pos;
        return b0;
    }
    int extra = 0;
    std::uint32_t cp = 0;
    std::uint32_t minimum = 0;
    if ((b0 & 0xE0) == 0xC0) {
        extra = 1;
        cp = b0 & 0x1F;
        minimum = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        extra = 2;
        cp = b0 & 0x0F;
        minimum = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        extra = 3;
        cp = b0 & 0x07;
        minimum = 0x10000;
    } else {
        ++pos;
        return 0xFFFD;
    }
    if (pos + extra >= s.size()) {
        ++pos;
        return 0xFFFD;
    }
    for (int i = 1; i <= extra; ++i) {
        const auto b = static_cast<unsigned char>(s[pos + i]);
        if ((b & 0xC0) != 0x80) {
            ++pos;
            return 0xFFFD;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++pos;
        return 0xFFFD;
    }
    pos += extra + 1;
    return cp;
}

void appendUtf16LeAsUtf8(std::string& out, const std::uint8_t* data, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t unit = data[2 * i] | (data[2 * i + 1] << 8);
        if (unit < 0x80) {
            out.push_back(static_cast<char>(unit));
            continue;
        }
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < count) {
            std::uint32_t low = data[2 * i + 2] | (data[2 * i + 3] << 8);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        appendUtf8(out, unit);
    }
}

void appendLatin1AsUtf8(std::string& out, const std::uint8_t* data, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (data[i] < 0x80) {
            out.push_back(static_cast<char>(data[i]));
        } else {
            out.push_back(static_cast<char>(0xC0 | (data[i] >> 6)));
            out.push_back(static_cast<char>(0x80 | (data[i] & 0x3F)));
        }
    }
}

std::u16string toUtf16(std::string_view utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    std::size_t pos = 0;
    while (pos < utf8.size()) {
        std::uint32_t cp = nextCodePoint(utf8, pos);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

std::string toUtf8(std::u16string_view utf16) {
    std::string out;
    out.reserve(utf16.size() * 3);
    for (std::size_t i = 0; i < utf16.size(); ++i) {
        std::uint32_t unit = utf16[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
            utf16[i + 1] <= 0xDFFF) {
            unit = 0x10000 + ((unit - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
            ++i;
        }
        appendUtf8(out, unit);
    }
    return out;
}

std::size_t utf16Length(std::string_view utf8) {
    std::size_t units = 0;
    std::size_t pos = 0;
    while (pos < utf8.size()) {
        units += nextCodePoint(utf8, pos) >= 0x10000 ? 2 : 1;
    }
    return units;
}

bool isWideCharacter(std::uint32_t codePoint) {
    const std::uint32_t c = codePoint;
    return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) ||
           (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
           (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
           (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD);
}

std::size_t terminalColumns(std::string_view utf8) {
    std::size_t columns = 0;
    std::size_t pos = 0;
    while (pos < utf8.size()) {
        columns += isWideCharacter(nextCodePoint(utf8, pos)) ? 2 : 1;
    }
    return columns;
}

namespace {

bool isClosingPunctuation(std::uint32_t c) {
    return c == 0x3001 || c == 0x3002 || c == 0xFF0C || c == 0xFF1B || c == 0xFF1A || c == 0xFF09 ||
           c == 0xFF01 || c == 0xFF1F || c == 0x201D || c == 0x300D;
}

bool isOpeningPunctuation(std::uint32_t c) {
    return c == 0xFF08 || c == 0x201C || c == 0x300C;
}

// A piece of a line that is never broken, and whether a space came before it.
struct TextPiece {
    std::string text;
    std::size_t columns = 0;
    bool spaceBefore = false;
};

std::vector<TextPiece> textPieces(std::string_view utf8) {
    std::vector<TextPiece> pieces;
    bool space = false;
    bool previousWide = false;
    bool previousOpening = false;
    std::size_t pos = 0;
    while (pos < utf8.size()) {
        const std::size_t start = pos;
        const std::uint32_t c = nextCodePoint(utf8, pos);
        if (c == ' ') {
            space = true;
            continue;
        }
        const bool wide = isWideCharacter(c);
        const bool breakBefore =
            pieces.empty() || space ||
            (!isClosingPunctuation(c) && (wide || previousWide) && !previousOpening);
        if (breakBefore) {
            pieces.push_back({std::string(), 0, space});
        }
        pieces.back().text.append(utf8.substr(start, pos - start));
        pieces.back().columns += wide ? 2 : 1;
        space = false;
        previousWide = wide;
        previousOpening = isOpeningPunctuation(c);
    }
    return pieces;
}

}  // namespace

std::vector<std::string> wrappedLines(std::string_view utf8, std::size_t width) {
    std::vector<std::string> lines;
    std::size_t columns = 0;
    for (const TextPiece& piece : textPieces(utf8)) {
        const std::size_t gap = piece.spaceBefore ? 1 : 0;
        if (lines.empty() || (columns > 0 && columns + gap + piece.columns > width)) {
            lines.emplace_back();
            columns = 0;
        } else if (gap > 0) {
            lines.back() += ' ';
            columns += gap;
        }
        lines.back() += piece.text;
        columns += piece.columns;
    }
    return lines;
}

}  // namespace pos

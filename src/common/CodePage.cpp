// Code-page conversion through glibc's iconv.
#include "common/CodePage.h"

#include <iconv.h>

#include <cerrno>
#include <system_error>

#include "common/Unicode.h"

namespace pos {

namespace {

const iconv_t kNoConversion = reinterpret_cast<iconv_t>(-1);

}  // namespace

std::optional<std::string> convertText(const char* to, const char* from, std::string_view in) {
    iconv_t cd = ::iconv_open(to, from);
    if (cd == kNoConversion) {
        throw std::system_error(errno, std::generic_category(),
                                std::string("iconv ") + from + " -> " + to);
    }
    std::string out;
    out.resize(in.size() * 4 + 16);
    char* inPtr = const_cast<char*>(in.data());
    std::size_t inLeft = in.size();
    char* outPtr = out.data();
    std::size_t outLeft = out.size();
    bool ok = true;
    while (inLeft > 0) {
        if (::iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1)) {
            if (errno == E2BIG) {
                std::size_t used = out.size() - outLeft;
                out.resize(out.size() * 2);
                outPtr = out.data() + used;
                outLeft = out.size() - used;
                continue;
            }
            ok = false;  // EILSEQ or EINVAL (a sequence cut off at the end)
            break;
        }
    }
    ::iconv_close(cd);
    if (!ok) {
        return std::nullopt;
    }
    out.resize(out.size() - outLeft);
    return out;
}

// Checked by hand rather than by a conversion: a whole CSV file is checked
// at once, and a writer checks each cell. The rules are iconv's: no overlong
// form, no surrogate, nothing beyond U+10FFFF, nothing cut off at the end.
bool isValidUtf8(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char* const end = p + text.size();
    while (p < end) {
        if (*p < 0x80) {
            ++p;
            continue;
        }
        const unsigned c = *p;
        const int length = (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || end - p < length) {
            return false;
        }
        unsigned codePoint = c & (0x7Fu >> length);
        for (int k = 1; k < length; ++k) {
            if ((p[k] & 0xC0) != 0x80) {
                return false;
            }
            codePoint = (codePoint << 6) | (p[k] & 0x3Fu);
        }
        static constexpr unsigned kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
        if (codePoint < kMinimum[length] || codePoint > 0x10FFFF ||
            (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
            return false;
        }
        p += length;
    }
    return true;
}

TextDecoder::TextDecoder(std::string encoding) : m_encoding(std::move(encoding)) {}

TextDecoder::~TextDecoder() {
    if (m_iconv) {
        ::iconv_close(static_cast<iconv_t>(m_iconv));
    }
}

void TextDecoder::appendAsUtf8(std::string& out, const std::uint8_t* data, std::size_t size) {
    if (!m_opened) {
        m_opened = true;
        iconv_t cd = ::iconv_open("UTF-8", m_encoding.c_str());
        m_iconv = cd == kNoConversion ? nullptr : static_cast<void*>(cd);
    }
    if (!m_iconv) {
        appendLatin1AsUtf8(out, data, size);
        return;
    }
    const auto cd = static_cast<iconv_t>(m_iconv);
    ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* in = const_cast<char*>(reinterpret_cast<const char*>(data));
    std::size_t inLeft = size;
    std::string buffer(size * 4 + 8, '\0');
    while (inLeft > 0) {
        char* outPtr = buffer.data();
        std::size_t outLeft = buffer.size();
        const std::size_t rc = ::iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        out.append(buffer.data(), buffer.size() - outLeft);
        if (rc == static_cast<std::size_t>(-1)) {
            if (errno == E2BIG) {
                continue;
            }
            // An invalid or cut-off byte sequence: one replacement
            // character, then go on after the byte.
            appendUtf8(out, 0xFFFD);
            ++in;
            --inLeft;
            ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
}

}  // namespace pos

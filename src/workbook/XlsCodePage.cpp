// Decoding of BIFF5/7 byte strings: ASCII as it is, Latin-1 where the
// workbook names no code page, else through the code page's decoder.
#include "workbook/XlsCodePage.h"

#include "common/Unicode.h"

namespace pos::workbook::biff {

std::string CodePage::decode(const std::uint8_t* data, std::size_t size) {
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

std::string CodePage::encodingName() const {
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

}  // namespace pos::workbook::biff

// The code page of a BIFF5/7 workbook, which decodes its byte strings (sheet
// names, texts, number formats) to UTF-8. BIFF8 strings are Unicode and need
// none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/CodePage.h"

namespace pos::workbook::biff {

// Byte strings of BIFF5/7 files, in the workbook's code page.
class CodePage {
public:
    void set(std::uint16_t codePage) {
        m_codePage = codePage;
        m_decoder.reset();
    }

    std::string decode(const std::uint8_t* data, std::size_t size);

private:
    std::string encodingName() const;

    std::uint16_t m_codePage = 1252;
    std::unique_ptr<TextDecoder> m_decoder;
};

}  // namespace pos::workbook::biff

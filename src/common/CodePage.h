// The one home of code-page conversion (GBK, Big5, the Windows code pages),
// through glibc's iconv. Encodings are named as iconv names them ("GB18030",
// "UTF-8", "CP1252").
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pos {

// Converts text between two encodings; nullopt when the input holds a byte
// sequence that `from` does not define or that `to` cannot hold. Throws
// std::system_error when the system has no such conversion.
std::optional<std::string> convertText(const char* to, const char* from, std::string_view in);

// Whether the text is valid UTF-8.
bool isValidUtf8(std::string_view text);

// Decodes text of one code page into UTF-8 without ever failing: a byte
// sequence the code page does not define becomes one U+FFFD and decoding
// goes on after its first byte. Opened on first use; without the conversion
// on the system, bytes are read as Latin-1.
class TextDecoder {
public:
    explicit TextDecoder(std::string encoding);
    ~TextDecoder();
    TextDecoder(const TextDecoder&) = delete;
    TextDecoder& operator=(const TextDecoder&) = delete;

    void appendAsUtf8(std::string& out, const std::uint8_t* data, std::size_t size);

private:
    std::string m_encoding;
    bool m_opened = false;
    void* m_iconv = nullptr;  // an iconv_t, or null when there is none
};

}  // namespace pos

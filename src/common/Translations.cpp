// The gettext catalog of the user's language, read from its .mo file.
#include "common/Translations.h"

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#ifndef POS_INSTALLED_LOCALE_DIR
#error "POS_INSTALLED_LOCALE_DIR is the locale folder relative to the installed programs"
#endif

namespace pos {

namespace {

const char* const kDomain = "pos-transfer";

std::unordered_map<std::string, std::string>& catalog() {
    static std::unordered_map<std::string, std::string> entries;
    return entries;
}

// The locale that names the language of messages: LC_ALL, else
// LC_MESSAGES, else LANG, each only when set and not empty.
std::string messageLocale() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        if (const char* value = std::getenv(name); value != nullptr && *value != '\0') {
            return value;
        }
    }
    return {};
}

// The folders a catalog may be in for `locale` ("zh_CN.UTF-8@x"): the
// language with its territory ("zh_CN"), then the language alone ("zh").
std::vector<std::string> languageFolders(const std::string& locale) {
    const std::string withTerritory = locale.substr(0, locale.find_first_of(".@"));
    const std::string language = withTerritory.substr(0, withTerritory.find('_'));
    if (language.empty() || language == "C" || language == "POSIX") {
        return {};
    }
    if (withTerritory == language) {
        return {language};
    }
    return {withTerritory, language};
}

// A .mo file: a header of 32-bit words (the magic number, the revision, the
// number of strings, the offsets of the tables of originals and of
// translations), each table a length and an offset per string. Written in
// either byte order; the magic number tells which.
class MoReader {
public:
    explicit MoReader(std::string bytes) : m_bytes(std::move(bytes)) {}

    bool read(std::unordered_map<std::string, std::string>& entries) {
        const std::uint32_t magic = word(0);
        if (magic == 0xde120495U) {
            m_swapped = true;
        } else if (magic != 0x950412deU) {
            return false;
        }
        const std::uint32_t count = word(8);
        const std::uint32_t originals = word(12);
        const std::uint32_t translations = word(16);
        if (!m_ok) {
            return false;
        }
        for (std::uint32_t i = 0; i < count && m_ok; ++i) {
            std::string original = text(originals + 8 * i);
            std::string translation = text(translations + 8 * i);
            // The empty original holds the catalog's header.
            if (m_ok && !original.empty() && !translation.empty()) {
                entries.emplace(std::move(original), std::move(translation));
            }
        }
        return m_ok;
    }

private:
    std::uint32_t word(std::size_t offset) {
        if (offset + 4 > m_bytes.size()) {
            m_ok = false;
            return 0;
        }
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            const std::size_t shift = 8 * (m_swapped ? 3 - i : i);
            value |= static_cast<std::uint32_t>(static_cast<unsigned char>(m_bytes[offset + i]))
                     << shift;
        }
        return value;
    }

    std::string text(std::size_t entry) {
        const std::uint32_t length = word(entry);
        const std::uint32_t offset = word(entry + 4);
        if (!m_ok || std::size_t{offset} + length > m_bytes.size()) {
            m_ok = false;
            return {};
        }
        return m_bytes.substr(offset, length);
    }

    std::string m_bytes;
    bool m_swapped = false;
    bool m_ok = true;
};

bool readCatalog(const std::string& path, std::unordered_map<std::string, std::string>& entries) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::unordered_map<std::string, std::string> read;
    if (!MoReader(std::move(bytes)).read(read)) {
        return false;
    }
    entries = std::move(read);
    return true;
}

}  // namespace

void loadTranslations(const std::string& executableDir) {
    catalog().clear();
    const std::vector<std::string> languages = languageFolders(messageLocale());
    for (const std::string& localeDir :
         {executableDir + "locale/", executableDir + POS_INSTALLED_LOCALE_DIR + "/"}) {
        for (const std::string& language : languages) {
            const std::string path = localeDir + language + "/LC_MESSAGES/" + kDomain + ".mo";
            if (readCatalog(path, catalog())) {
                return;
            }
        }
    }
}

std::string translated(const char* text) {
    const auto found = catalog().find(text);
    return found == catalog().end() ? std::string(text) : found->second;
}

std::string translated(const char* text, const std::vector<std::string>& values) {
    const std::string pattern = translated(text);
    std::string result;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char next = i + 1 < pattern.size() ? pattern[i + 1] : '\0';
        if (pattern[i] == '%' && next >= '1' && next <= '9' &&
            static_cast<std::size_t>(next - '1') < values.size()) {
            result += values[static_cast<std::size_t>(next - '1')];
            ++i;
        } else {
            result += pattern[i];
        }
    }
    return result;
}

}  // namespace pos

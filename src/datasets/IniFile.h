// A profile (INI) file with the rules of the classic Windows profile
// functions: sections and keys matched without regard to letter case, blanks
// around keys and values not part of them, an existing key replaced in place,
// a new key at the end of its section, a new section at the end of the file.
// The file is GBK text (converted with GB18030, which agrees with GBK on every
// GBK character and covers the rest of Unicode) with CR LF line ends. A file
// that starts with a UTF-8 byte-order mark, or whose bytes beyond ASCII are
// valid UTF-8 (as most editors save it; Chinese text in GBK practically never
// is), is read, and written back, as UTF-8, with its mark or without.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace pos::datasets {

// A profile file that cannot be read, decoded or written; the text names the
// file, the cause and what to do.
class IniError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class IniFile {
public:
    // An empty profile that save() writes to `path`.
    explicit IniFile(std::string path);

    // Reads `path`; a missing file gives an empty profile (the first save
    // creates it). Throws IniError when the file exists but cannot be read or
    // is not GBK (nor UTF-8) text.
    static IniFile load(const std::string& path);
    static bool exists(const std::string& path);

    const std::string& path() const { return m_path; }

    // The value of the first matching key in the first matching section, or
    // `defaultValue` when either is missing. A key present with nothing after
    // its equals sign reads as empty text.
    std::string readString(const std::string& section, const std::string& key,
                           const std::string& defaultValue) const;
    // Decimal, or hexadecimal after 0x or $, with an optional sign, within 32
    // bits; anything else (empty text included) gives `defaultValue`.
    int readInteger(const std::string& section, const std::string& key, int defaultValue) const;

    void writeString(const std::string& section, const std::string& key, const std::string& value);
    void writeInteger(const std::string& section, const std::string& key, int value);

    // Writes the whole profile to a temporary file beside it and renames that
    // over the file, so a failed save leaves the old file whole. Throws IniError.
    void save() const;

    // The file's bytes as save() writes them (encoded, CR LF).
    std::string encoded() const;

private:
    struct Line {
        std::string raw;  // kept as read for lines that are not entries
        std::string key;  // trimmed; empty for lines that are not entries
        std::string value;
        bool isEntry = false;
    };
    struct Section {
        std::string name;  // trimmed, as spelled in the file
        std::string head;  // the head line as read or written
        std::vector<Line> lines;
    };

    Section* findSection(const std::string& name);
    const Section* findSection(const std::string& name) const;

    std::string m_path;
    enum class Encoding { Gbk, Utf8, Utf8WithMark };
    Encoding m_encoding = Encoding::Gbk;
    std::vector<Line> m_preamble;  // lines before the first section head
    std::vector<Section> m_sections;
};

// Parses a profile integer by the rules of IniFile::readInteger.
std::optional<int> parseProfileInteger(const std::string& text);

}  // namespace pos::datasets

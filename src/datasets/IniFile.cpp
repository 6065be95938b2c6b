// Profile files: parsing, the profile rules of lookup and replacement, GBK
// through the code-page helpers, and the atomic save.
#include "datasets/IniFile.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

#include "common/AtomicFile.h"
#include "common/CodePage.h"
#include "common/Files.h"
#include "common/Text.h"

namespace pos::datasets {

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

// Converts between two encodings; nullopt when the input holds a byte
// sequence that `from` does not define or that `to` cannot hold.
std::optional<std::string> convert(const char* to, const char* from, const std::string& in) {
    try {
        return convertText(to, from, in);
    } catch (const std::system_error& e) {
        throw IniError(std::string("系统不支持从") + from + "到" + to + "的文字转换（" +
                       e.code().message() + "），请安装系统的字符集转换模块（glibc）。");
    }
}

bool isValidUtf8(const std::string& s) {
    return convert("UTF-16LE", "UTF-8", s).has_value();
}

bool hasLineBreak(const std::string& s) {
    return s.find_first_of("\r\n") != std::string::npos;
}

void checkName(const std::string& what, const std::string& text) {
    if (hasLineBreak(text)) {
        throw IniError("字段对应文件中的" + what + "不能含有换行：“" + text + "”。");
    }
}

std::string errnoText() {
    return std::strerror(errno);
}

}  // namespace

std::optional<int> parseProfileInteger(const std::string& text) {
    std::string t = trimmed(text);
    std::size_t i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == '-' || t[i] == '+')) {
        negative = t[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < t.size() && t[i] == '$') {
        base = 16;
        ++i;
    } else if (i + 1 < t.size() && t[i] == '0' && (t[i + 1] == 'x' || t[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= t.size()) {
        return std::nullopt;
    }
    long long value = 0;
    for (; i < t.size(); ++i) {
        char c = t[i];
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            return std::nullopt;
        }
        value = value * base + digit;
        // Hexadecimal may spell a negative number in its 32 bits ($FFFFFFFF).
        if (value > (base == 16 ? 0xFFFFFFFFLL : static_cast<long long>(INT_MAX) + 1)) {
            return std::nullopt;
        }
    }
    if (base == 16 && value > INT_MAX) {
        value -= 0x100000000LL;
    }
    if (negative) {
        value = -value;
    }
    if (value < INT_MIN || value > INT_MAX) {
        return std::nullopt;
    }
    return static_cast<int>(value);
}

IniFile::IniFile(std::string path) : m_path(std::move(path)) {}

bool IniFile::exists(const std::string& path) {
    return regularFileExists(path);
}

IniFile IniFile::load(const std::string& path) {
    IniFile ini(path);
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (!exists(path)) {
            return ini;
        }
        throw IniError("无法读取文件“" + path + "”（" + errnoText() + "），请检查该文件能否读取。");
    }
    std::ostringstream buf;
    buf << in.rdbuf();
    if (in.bad()) {
        throw IniError("无法读取文件“" + path + "”，请检查该文件和磁盘。");
    }
    std::string bytes = buf.str();
    std::string text;
    const auto beyondAscii = [](const std::string& s) {
        return std::any_of(s.begin(), s.end(),
                           [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    };
    if (bytes.compare(0, kBom.size(), kBom) == 0) {
        ini.m_encoding = Encoding::Utf8WithMark;
        text = bytes.substr(kBom.size());
        if (!isValidUtf8(text)) {
            throw IniError(
                "文件“" + path +
                "”以UTF-8字节顺序标记开头，内容却不是UTF-8文本，请将它另存为GBK或UTF-8。");
        }
    } else if (beyondAscii(bytes) && isValidUtf8(bytes)) {
        ini.m_encoding = Encoding::Utf8;
        text = std::move(bytes);
    } else if (std::optional<std::string> decoded = convert("UTF-8", "GB18030", bytes)) {
        text = std::move(*decoded);
    } else {
        throw IniError("文件“" + path + "”既不是GBK文本也不是UTF-8文本，请将它另存为GBK或UTF-8。");
    }

    Section* current = nullptr;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        std::string raw =
            text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        pos = end == std::string::npos ? text.size() : end + 1;
        if (!raw.empty() && raw.back() == '\r') {
            raw.pop_back();
        }
        std::string t = trimmed(raw);
        if (!t.empty() && t.front() == '[') {
            std::size_t close = t.find(']');
            Section s;
            s.name =
                trimmed(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
            s.head = raw;
            ini.m_sections.push_back(std::move(s));
            current = &ini.m_sections.back();
            continue;
        }
        Line line;
        line.raw = raw;
        std::size_t eq = raw.find('=');
        if (eq != std::string::npos && !t.empty() && t.front() != ';') {
            line.isEntry = true;
            line.key = trimmed(raw.substr(0, eq));
            line.value = trimmed(raw.substr(eq + 1));
        }
        (current ? current->lines : ini.m_preamble).push_back(std::move(line));
    }
    return ini;
}

IniFile::Section* IniFile::findSection(const std::string& name) {
    std::string wanted = trimmed(name);
    for (Section& s : m_sections) {
        if (equalsIgnoreCase(s.name, wanted)) {
            return &s;
        }
    }
    return nullptr;
}

const IniFile::Section* IniFile::findSection(const std::string& name) const {
    return const_cast<IniFile*>(this)->findSection(name);
}

std::string IniFile::readString(const std::string& section, const std::string& key,
                                const std::string& defaultValue) const {
    const Section* s = findSection(section);
    if (s == nullptr) {
        return defaultValue;
    }
    std::string wanted = trimmed(key);
    for (const Line& line : s->lines) {
        if (line.isEntry && equalsIgnoreCase(line.key, wanted)) {
            return line.value;
        }
    }
    return defaultValue;
}

int IniFile::readInteger(const std::string& section, const std::string& key,
                         int defaultValue) const {
    return parseProfileInteger(readString(section, key, {})).value_or(defaultValue);
}

void IniFile::writeString(const std::string& section, const std::string& key,
                          const std::string& value) {
    checkName("节名", section);
    checkName("键名", key);
    checkName("值", value);
    std::string sectionName = trimmed(section);
    std::string keyName = trimmed(key);
    Line entry;
    entry.isEntry = true;
    entry.key = keyName;
    entry.value = trimmed(value);
    entry.raw = keyName + "=" + value;

    Section* s = findSection(sectionName);
    if (s == nullptr) {
        Section added;
        added.name = sectionName;
        added.head = "[" + sectionName + "]";
        added.lines.push_back(std::move(entry));
        m_sections.push_back(std::move(added));
        return;
    }
    std::size_t insertAt = 0;
    for (std::size_t i = 0; i < s->lines.size(); ++i) {
        Line& line = s->lines[i];
        if (!line.isEntry) {
            continue;
        }
        if (equalsIgnoreCase(line.key, keyName)) {
            // The key keeps its spelling; only the value changes.
            entry.key = line.key;
            entry.raw = line.key + "=" + value;
            line = std::move(entry);
            return;
        }
        insertAt = i + 1;
    }
    s->lines.insert(s->lines.begin() + static_cast<std::ptrdiff_t>(insertAt), std::move(entry));
}

void IniFile::writeInteger(const std::string& section, const std::string& key, int value) {
    writeString(section, key, std::to_string(value));
}

std::string IniFile::encoded() const {
    std::string text;
    auto put = [&text](const std::string& line) {
        text += line;
        text += "\r\n";
    };
    for (const Line& line : m_preamble) {
        put(line.raw);
    }
    for (const Section& s : m_sections) {
        put(s.head);
        for (const Line& line : s.lines) {
            put(line.raw);
        }
    }
    if (m_encoding == Encoding::Utf8WithMark) {
        return std::string(kBom) + text;
    }
    if (m_encoding == Encoding::Utf8) {
        return text;
    }
    std::optional<std::string> gbk = convert("GB18030", "UTF-8", text);
    if (!gbk) {
        throw IniError("要写入“" + m_path + "”的文字不是有效的UTF-8，无法以GBK写入。");
    }
    return *gbk;
}

void IniFile::save() const {
    const std::string bytes = encoded();
    std::size_t slash = m_path.rfind('/');
    std::string dir = slash == std::string::npos ? std::string(".") : m_path.substr(0, slash);
    try {
        writeFileAtomically(m_path, bytes);
    } catch (const AtomicFileError& e) {
        if (e.step() == AtomicFileError::Step::Create) {
            throw IniError("无法写入文件“" + m_path + "”（" + e.what() + "），请检查文件夹“" + dir +
                           "”是否存在、能否写入。");
        }
        throw IniError("无法写入文件“" + m_path + "”（" + e.what() + "），请检查文件夹“" + dir +
                       "”能否写入、磁盘是否还有空间。");
    }
}

}  // namespace pos::datasets

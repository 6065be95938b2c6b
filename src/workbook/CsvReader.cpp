// Reads a CSV file into the grid of its one sheet: the bytes are decoded to
// UTF-8 as a whole (the encoding is known only once every byte is seen),
// the separator is chosen from the headings' line, then each record becomes
// a row of text cells.
#include "workbook/CsvReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>

#include "common/CodePage.h"
#include "common/Text.h"
#include "common/Unicode.h"
#include "workbook/SheetData.h"
#include "workbook/SheetLimits.h"
#include "workbook/WorkbookError.h"
#include "workbook/WorkbookFormats.h"
#include "workbook/XlsxParts.h"

namespace pos::workbook {

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// The advice that closes a refusal of a file that is no CSV text.
std::string csvAdvice() {
    return "请选择UTF-8或GBK编码、以逗号分隔的CSV文件，或另一种格式的工作簿（" + extensionList() +
           "）。";
}

std::string withSeparators(long long n) {
    std::string digits = std::to_string(n);
    for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3) {
        digits.insert(static_cast<std::size_t>(i), ",");
    }
    return digits;
}

// The bytes as UTF-8 text: as they are (after a byte-order mark) when they
// are UTF-8, else decoded from GB18030 into `decoded`.
std::string_view utf8Text(std::string_view bytes, std::string& decoded, const std::string& name) {
    if (bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF")) {
        throw WorkbookError("无法读取文件" + inQuotes(name) +
                                "：它是UTF-16编码的文本，本程序只读取UTF-8或GBK编码的CSV文件。"
                                "请在电子表格程序中把它另存为“CSV UTF-8（逗号分隔）”后重试。",
                            WorkbookFault::NotAWorkbook);
    }
    if (bytes.find('\0') != std::string_view::npos) {
        throw WorkbookError("无法读取文件" + inQuotes(name) +
                                "：它含有空字节，不是文本文件，也就不是CSV文件。" + csvAdvice(),
                            WorkbookFault::NotAWorkbook);
    }
    if (bytes.starts_with(kUtf8Bom)) {
        bytes.remove_prefix(kUtf8Bom.size());
    }
    if (isValidUtf8(bytes)) {
        return bytes;
    }
    std::optional<std::string> converted;
    try {
        converted = convertText("UTF-8", "GB18030", bytes);
    } catch (const std::system_error& e) {
        throw WorkbookError("无法读取文件" + inQuotes(name) + "：系统缺少GBK编码的转换（" +
                                e.what() + "）。请把文件另存为UTF-8编码的CSV后重试。",
                            WorkbookFault::CannotRead);
    }
    if (!converted) {
        throw WorkbookError("无法读取文件" + inQuotes(name) +
                                "：它既不是UTF-8编码也不是GBK编码的文本，不是CSV文件。" +
                                csvAdvice(),
                            WorkbookFault::NotAWorkbook);
    }
    decoded = std::move(*converted);
    return decoded;
}

// The separator that the first line holding text (the headings) uses: the
// one of comma, semicolon and tab found most often outside quotes there,
// the comma on a tie and the semicolon before the tab.
char chooseSeparator(std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        int commas = 0;
        int semicolons = 0;
        int tabs = 0;
        bool quoted = false;
        bool holdsText = false;
        for (; pos < text.size(); ++pos) {
            const char c = text[pos];
            if (c == '"') {
                quoted = !quoted;  // a doubled quote turns it back at once
            } else if (quoted) {
                holdsText = true;
            } else if (c == '\r' || c == '\n') {
                break;
            } else if (c == ',') {
                ++commas;
            } else if (c == ';') {
                ++semicolons;
            } else if (c == '\t') {
                ++tabs;
            } else if (c != ' ') {
                holdsText = true;
            }
        }
        if (holdsText) {
            if (semicolons > commas && semicolons >= tabs) {
                return ';';
            }
            return tabs > commas && tabs > semicolons ? '\t' : ',';
        }
        pos += pos < text.size() && text[pos] == '\r' ? 1 : 0;
        pos += pos < text.size() && text[pos] == '\n' ? 1 : 0;
    }
    return ',';
}

// Walks the records of the text field by field.
class CsvParser {
public:
    CsvParser(std::string_view text, char separator, const std::string& name)
        : m_text(text), m_separator(separator), m_name(name) {}

    bool atEnd() const { return m_pos >= m_text.size(); }
    // The line of the file (from 1) where the next field starts.
    long long line() const { return m_line; }
    std::size_t position() const { return m_pos; }
    void rewind(std::size_t pos, long long line) {
        m_pos = pos;
        m_line = line;
    }

    // Reads the next field into `field` (valid until the next call); true
    // when it ends its record.
    bool nextField(std::string_view& field) {
        if (m_pos < m_text.size() && m_text[m_pos] == '"') {
            readQuoted(field);
        } else {
            const std::size_t end = fieldEnd(m_pos);
            field = m_text.substr(m_pos, end - m_pos);
            m_pos = end;
        }
        return endOfField();
    }

private:
    std::size_t fieldEnd(std::size_t from) const {
        std::size_t end = from;
        while (end < m_text.size()) {
            const char c = m_text[end];
            if (c == m_separator || c == '\n' || c == '\r') {
                break;
            }
            ++end;
        }
        return end;
    }

    // A quoted field: up to the quote that is not doubled, line breaks and
    // separators included; what follows that quote up to the separator is
    // kept as it stands, as spreadsheet programs keep it.
    void readQuoted(std::string_view& field) {
        const long long startLine = m_line;
        std::size_t from = m_pos + 1;
        bool copied = false;
        for (;;) {
            const std::size_t quote = m_text.find('"', from);
            if (quote == std::string_view::npos) {
                throw WorkbookError("无法读取CSV文件" + inQuotes(m_name) + "：第" +
                                        std::to_string(startLine) +
                                        "行有一个以引号开始的字段，直到文件末尾都没有配对的"
                                        "引号。请检查这一行的引号（字段中的引号应写成两个"
                                        "引号\"\"）后重试。",
                                    WorkbookFault::Damaged);
            }
            countLines(from, quote);
            const bool doubled = quote + 1 < m_text.size() && m_text[quote + 1] == '"';
            const std::size_t after = doubled ? quote + 2 : quote + 1;
            const std::size_t end = doubled ? quote + 1 : fieldEnd(after);
            if (!copied && !doubled && end == after) {
                field = m_text.substr(m_pos + 1, quote - m_pos - 1);
                m_pos = end;
                return;
            }
            if (!copied) {
                m_scratch.assign(m_text.substr(m_pos + 1, quote - m_pos - 1));
                copied = true;
            } else {
                m_scratch.append(m_text.substr(from, quote - from));
            }
            if (!doubled) {
                m_scratch.append(m_text.substr(after, end - after));
                field = m_scratch;
                m_pos = end;
                return;
            }
            m_scratch.push_back('"');
            from = after;
        }
    }

    void countLines(std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) {
            const char c = m_text[i];
            if (c == '\n' || (c == '\r' && (i + 1 >= m_text.size() || m_text[i + 1] != '\n'))) {
                ++m_line;
            }
        }
    }

    // Steps over what ends the field: a separator (the record goes on), a
    // line end or the end of the text (the record ends).
    bool endOfField() {
        if (m_pos >= m_text.size()) {
            return true;
        }
        const char c = m_text[m_pos++];
        if (c == m_separator) {
            return false;
        }
        if (c == '\r' && m_pos < m_text.size() && m_text[m_pos] == '\n') {
            ++m_pos;
        }
        ++m_line;
        return true;
    }

    std::string_view m_text;
    char m_separator;
    const std::string& m_name;
    std::size_t m_pos = 0;
    long long m_line = 1;
    std::string m_scratch;
};

// Places the fields of the records as rows of text cells, within the limits
// of an .xlsx sheet.
class CsvSheetBuilder {
public:
    CsvSheetBuilder(SheetData& sheet, const std::string& name) : m_sheet(sheet), m_name(name) {}

    void build(CsvParser& parser) {
        int row = firstLineHoldsText(parser) ? 1 : 0;
        while (!parser.atEnd()) {
            if (row >= kCsvMaxRows) {
                throw WorkbookError("无法读取CSV文件" + inQuotes(m_name) + "：它的行数超过了" +
                                        "一个工作表最多可容纳的" + withSeparators(kCsvMaxRows) +
                                        "行（第1行留空，第2行为标题）。请把它拆分成几个文件后"
                                        "重试。",
                                    WorkbookFault::TooLarge);
            }
            readRecord(parser, row);
            ++row;
        }
    }

private:
    // Whether the first line holds the headings (any field not blank), read
    // ahead and then read again.
    static bool firstLineHoldsText(CsvParser& parser) {
        bool holdsText = false;
        std::string_view field;
        bool ended = false;
        while (!ended && !parser.atEnd()) {
            ended = parser.nextField(field);
            holdsText = holdsText || !isBlank(field);
        }
        parser.rewind(0, 1);
        return holdsText;
    }

    void readRecord(CsvParser& parser, int row) {
        std::string_view field;
        long long column = 0;  // a line of empty fields may count past any int
        for (bool ended = false; !ended; ++column) {
            const long long line = parser.line();
            ended = parser.nextField(field);
            if (field.empty()) {
                continue;
            }
            if (column >= kXlsxMaxColumns) {
                throw WorkbookError("无法读取CSV文件" + inQuotes(m_name) + "：第" +
                                        std::to_string(line) + "行的字段超过了一个工作表最多" +
                                        "可容纳的" + withSeparators(kXlsxMaxColumns) +
                                        "列。请删除多余的列后重试。",
                                    WorkbookFault::TooLarge);
            }
            if (field.size() > static_cast<std::size_t>(kMaxCellCharacters) &&
                utf16Length(field) > static_cast<std::size_t>(kMaxCellCharacters)) {
                throw WorkbookError("无法读取CSV文件" + inQuotes(m_name) + "：第" +
                                        std::to_string(line) + "行第" + std::to_string(column + 1) +
                                        "个字段有" +
                                        withSeparators(static_cast<long long>(utf16Length(field))) +
                                        "个字符，超过了一个单元格最多可容纳的" +
                                        withSeparators(kMaxCellCharacters) +
                                        "个字符。请缩短它，或检查它前面的引号是否配对后重试。",
                                    WorkbookFault::TooLarge);
            }
            place(row, static_cast<int>(column), field);
        }
    }

    void place(int row, int column, std::string_view field) {
        if (!m_sheet.keepsRow(row)) {
            m_sheet.markFormatted(row, column);  // counts in the used range, holds no value
            return;
        }
        // The grid pads each row up to its last value: refuse a file whose
        // padded grid would not fit in memory rather than try to hold it.
        if (row != m_gridRow) {
            m_gridRow = row;
            m_gridRowWidth = 0;
        }
        if (column + 1 > m_gridRowWidth) {
            m_gridCells += static_cast<std::uint64_t>(column + 1 - m_gridRowWidth);
            m_gridRowWidth = column + 1;
        }
        if (m_gridCells > xlsx::kMaxGridCells) {
            throw WorkbookError("CSV文件" + inQuotes(m_name) + "的数据分布在太多的单元格中（超过" +
                                    std::to_string(xlsx::kMaxGridCells) +
                                    "个），本程序的内存容纳不下。请删除未使用的列，或拆分文件后"
                                    "重试。",
                                WorkbookFault::TooLarge);
        }
        m_sheet.setInterned(row, column, m_sheet.internText(field));
    }

    SheetData& m_sheet;
    const std::string& m_name;
    int m_gridRow = -1;
    int m_gridRowWidth = 0;
    std::uint64_t m_gridCells = 0;
};

// The file's name without its folder and its extension: the sheet's name,
// as spreadsheet programs name the one sheet of a CSV file.
std::string sheetNameFor(const std::string& name) {
    std::string base = name.substr(name.rfind('/') + 1);
    const std::size_t dot = base.rfind('.');
    if (dot != std::string::npos && dot > 0) {
        base.resize(dot);
    }
    return base.empty() ? "Sheet1" : base;
}

std::string readWholeFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw WorkbookError("无法打开文件" + inQuotes(path) + "（" + std::strerror(errno) +
                                "）。请检查文件是否存在并且可以读取。",
                            WorkbookFault::CannotRead);
    }
    struct stat info {};
    std::string bytes;
    int error = 0;
    if (::fstat(fd, &info) != 0) {
        error = errno;
    } else if (info.st_size > kMaxCsvBytes) {
        ::close(fd);
        throw WorkbookError("无法读取CSV文件" + inQuotes(path) + "：它有" +
                                withSeparators(info.st_size) + "字节，超过了本程序能读取的" +
                                withSeparators(kMaxCsvBytes) + "字节。请把它拆分成几个文件后重试。",
                            WorkbookFault::TooLarge);
    } else {
        bytes.resize(static_cast<std::size_t>(info.st_size));
        std::size_t got = 0;
        while (error == 0 && got < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
            if (n < 0 && errno != EINTR) {
                error = errno;
            } else if (n == 0) {
                bytes.resize(got);  // shorter than it was a moment ago
            } else if (n > 0) {
                got += static_cast<std::size_t>(n);
            }
        }
    }
    ::close(fd);
    if (error != 0) {
        throw WorkbookError("无法读取文件" + inQuotes(path) + "：读取时出错（" +
                                std::strerror(error) + "）。请检查文件所在的磁盘后重试。",
                            WorkbookFault::CannotRead);
    }
    return bytes;
}

}  // namespace

WorkbookData readCsvFromMemory(std::string_view bytes, const std::string& name, int rowLimit) {
    std::string decoded;
    const std::string_view text = utf8Text(bytes, decoded, name);
    WorkbookData data;
    data.firstSheet.name = sheetNameFor(name);
    data.sheetNames.push_back(data.firstSheet.name);
    data.firstSheet.limitRows(rowLimit);
    CsvParser parser(text, chooseSeparator(text), name);
    CsvSheetBuilder(data.firstSheet, name).build(parser);
    return data;
}

WorkbookData readCsv(const std::string& path, int rowLimit) {
    const std::string bytes = readWholeFile(path);
    return readCsvFromMemory(bytes, path, rowLimit);
}

}  // namespace pos::workbook

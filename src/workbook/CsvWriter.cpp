// Writes one sheet as CSV: the cells come from the spool in row-major order
// and go out through a buffer, so that memory does not grow with the rows.
#include "workbook/CsvWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>

#include "common/CodePage.h"
#include "workbook/WorkbookError.h"
#include "workbook/XlsxParts.h"

namespace pos::workbook {

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::size_t kBufferBytes = std::size_t{1} << 20;

// Whether a text must be quoted to come back as written, or to stay a text
// in a program that keeps quoted fields as text.
bool needsQuotes(std::string_view text) {
    if (text.empty()) {
        return false;
    }
    const char first = text.front();
    const char last = text.back();
    if (first == ' ' || first == '\t' || last == ' ' || last == '\t') {
        return true;
    }
    // Something a spreadsheet program would take for a number or a date.
    if ((first >= '0' && first <= '9') || first == '+' || first == '-' || first == '.') {
        return true;
    }
    return text.find_first_of(",\"\r\n") != std::string_view::npos;
}

// The file being written, through a buffer; errors name the file.
class CsvOutput {
public:
    explicit CsvOutput(const std::string& path) : m_path(path) {
        m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (m_fd < 0) {
            throw WorkbookError("无法创建文件" + inQuotes(path) + "（" + std::strerror(errno) +
                                    "）。请检查文件夹是否存在、是否可以写入。",
                                WorkbookFault::CannotWrite);
        }
        m_buffer.reserve(kBufferBytes + 4096);
    }
    ~CsvOutput() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    CsvOutput(const CsvOutput&) = delete;
    CsvOutput& operator=(const CsvOutput&) = delete;

    std::string& buffer() { return m_buffer; }
    void flushWhenFull() {
        if (m_buffer.size() >= kBufferBytes) {
            flush();
        }
    }
    void close() {
        flush();
        const int fd = m_fd;
        m_fd = -1;
        if (::close(fd) != 0) {
            failed(errno);
        }
    }

private:
    void flush() {
        std::string_view left = m_buffer;
        while (!left.empty()) {
            const ssize_t n = ::write(m_fd, left.data(), left.size());
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                failed(errno);
            }
            left.remove_prefix(static_cast<std::size_t>(n));
        }
        m_buffer.clear();
    }
    [[noreturn]] void failed(int error) const {
        throw WorkbookError("无法写完文件" + inQuotes(m_path) + "（" + std::strerror(error) +
                                "）。请检查磁盘是否还有空间后重试。",
                            WorkbookFault::CannotWrite);
    }

    std::string m_path;
    int m_fd = -1;
    std::string m_buffer;
};

// Writes the separators and line ends between the cells as they come.
class CsvLayout {
public:
    CsvLayout(std::string& out, int lastColumn) : m_out(out), m_lastColumn(lastColumn) {}

    // Moves to the field at (row, column), ending the rows before it.
    void moveTo(int row, int column) {
        while (m_row < row) {
            endRow();
        }
        // One separator before each field but the first.
        for (int field = m_column; field <= column; ++field) {
            if (field > 0) {
                m_out.push_back(',');
            }
        }
        m_rowHasCells = true;
        m_column = column + 1;
    }
    // Ends the last row that holds a cell. A row with cells has a field for
    // every column of the sheet; a row without is an empty line.
    void endRow() {
        if (m_rowHasCells) {
            for (; m_column <= m_lastColumn; ++m_column) {
                m_out.push_back(',');
            }
        }
        m_out.append("\r\n");
        ++m_row;
        m_column = 0;
        m_rowHasCells = false;
    }

private:
    std::string& m_out;
    int m_lastColumn;
    int m_row = 0;
    int m_column = 0;
    bool m_rowHasCells = false;
};

}  // namespace

void appendCsvText(std::string& out, std::string_view text) {
    if (!needsQuotes(text)) {
        out.append(text);
        return;
    }
    out.push_back('"');
    for (std::size_t quote = text.find('"'); quote != std::string_view::npos;
         quote = text.find('"')) {
        out.append(text.substr(0, quote + 1));
        out.push_back('"');
        text.remove_prefix(quote + 1);
    }
    out.append(text);
    out.push_back('"');
}

void appendCsvNumber(std::string& out, std::string_view number) {
    const double value = cellNumber(number);
    if (!std::isfinite(value)) {
        out.append(number);  // the spool holds no such number; kept as given
        return;
    }
    if (value == 0) {
        out.push_back('0');  // and never "-0"
        return;
    }
    // The shortest plain decimal that reads back as the value: what a number
    // cell of the other formats holds, without an exponent (a value of up to
    // 15 significant digits has at most 309 digits before the point).
    char digits[400];
    const auto [end, error] =
        std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed);
    if (error != std::errc()) {
        out.append(number);
        return;
    }
    out.append(digits, end);
}

void writeCsv(const std::string& path, const SheetToWrite& sheet) {
    CsvOutput output(path);
    std::string& out = output.buffer();
    out.append(kUtf8Bom);
    if (!sheet.cells.isEmpty()) {
        CsvLayout layout(out, sheet.cells.lastColumn());
        sheet.cells.forEach([&](int row, int column, std::string_view text, CellKind kind) {
            layout.moveTo(row, column);
            if (kind == CellKind::Number) {
                appendCsvNumber(out, text);
            } else {
                if (text.find('\0') != std::string_view::npos || !isValidUtf8(text)) {
                    throw WorkbookError("无法保存" + inQuotes(path) + "：单元格" +
                                            xlsx::cellRefText(row, column) +
                                            "中的文本不是有效的Unicode文本（或含有NUL字符），"
                                            "文件无法保存。请修改该文本后重试。",
                                        WorkbookFault::CannotWrite);
                }
                appendCsvText(out, text);
            }
            output.flushWhenFull();
        });
        layout.endRow();
    }
    output.close();
}

}  // namespace pos::workbook

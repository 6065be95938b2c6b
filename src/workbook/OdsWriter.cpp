// Writes one sheet of text and number cells as an OpenDocument spreadsheet:
// a zip package of the mimetype (first and stored, as the format wants it),
// the manifest, and content.xml, whose XML is made from the spooled cells
// as they come and deflated on the way to the file, so that the memory used
// does not grow with the row count. Each entry's sizes and checksum are
// written into its header once the entry is complete.
#include "workbook/OdsWriter.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "workbook/CellSpool.h"
#include "workbook/SheetLimits.h"
#include "workbook/WorkbookError.h"

namespace pos::workbook {

namespace {

constexpr std::string_view kMimeType = "application/vnd.oasis.opendocument.spreadsheet";

constexpr std::string_view kManifest =
    R"(<?xml version="1.0" encoding="UTF-8"?>)"
    "\n"
    R"(<manifest:manifest xmlns:manifest="urn:oasis:names:tc:opendocument:xmlns:manifest:1.0" )"
    R"(manifest:version="1.2">)"
    R"(<manifest:file-entry manifest:full-path="/" manifest:version="1.2" )"
    R"(manifest:media-type="application/vnd.oasis.opendocument.spreadsheet"/>)"
    R"(<manifest:file-entry manifest:full-path="content.xml" manifest:media-type="text/xml"/>)"
    R"(<manifest:file-entry manifest:full-path="styles.xml" manifest:media-type="text/xml"/>)"
    "</manifest:manifest>\n";

constexpr std::string_view kNamespaces =
    R"(xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" )"
    R"(xmlns:style="urn:oasis:names:tc:opendocument:xmlns:style:1.0" )"
    R"(xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" )"
    R"(xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0" )"
    R"(xmlns:fo="urn:oasis:names:tc:opendocument:xmlns:xsl-fo-compatible:1.0" )"
    R"(office:version="1.2")";

// The styles part that a reader expects beside the content, with nothing of
// its own in it.
std::string stylesPart() {
    return std::string(R"(<?xml version="1.0" encoding="UTF-8"?>)") + "\n<office:document-styles " +
           std::string(kNamespaces) + "><office:styles/></office:document-styles>\n";
}

void putU16(std::string& out, std::uint32_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>((v >> 8) & 0xFF);
}

void putU32(std::string& out, std::uint32_t v) {
    putU16(out, v & 0xFFFF);
    putU16(out, v >> 16);
}

// A zip package written front to back into one file: entries stored or
// deflated, each header completed in place when its entry ends, then the
// central directory.
class ZipWriter {
public:
    explicit ZipWriter(const std::string& path) : m_path(path) {
        m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (m_fd < 0) {
            throw WorkbookError("无法创建工作簿" + inQuotes(path) + "（" + std::strerror(errno) +
                                    "）。请检查文件夹是否存在并且可以写入。",
                                WorkbookFault::CannotWrite);
        }
        m_out.reserve(kBufferSize + 1024);
    }
    ~ZipWriter() {
        if (m_deflating) {
            deflateEnd(&m_stream);
        }
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    ZipWriter(const ZipWriter&) = delete;
    ZipWriter& operator=(const ZipWriter&) = delete;

    void begin(const char* name, bool deflated) {
        Entry entry;
        entry.name = name;
        entry.deflated = deflated;
        entry.offset = m_offset + m_out.size();
        std::string header;
        putU32(header, 0x04034b50);
        putU16(header, 20);  // version needed: 2.0
        putU16(header, 0);   // flags
        putU16(header, deflated ? 8 : 0);
        putU16(header, 0);     // time 00:00
        putU16(header, 0x21);  // date 1980-01-01
        putU32(header, 0);     // CRC-32, sizes: completed at the end
        putU32(header, 0);
        putU32(header, 0);
        putU16(header, static_cast<std::uint32_t>(entry.name.size()));
        putU16(header, 0);  // no extra field
        header += entry.name;
        raw(header);
        m_entries.push_back(std::move(entry));
        if (deflated) {
            m_stream = z_stream{};
            if (deflateInit2(&m_stream, Z_BEST_SPEED, Z_DEFLATED, -MAX_WBITS, 8,
                             Z_DEFAULT_STRATEGY) != Z_OK) {
                throw WorkbookError(
                    "无法保存" + inQuotes(m_path) + "：内存不足。请关闭其他程序后重试。",
                    WorkbookFault::CannotWrite);
            }
            m_deflating = true;
        }
    }

    void write(std::string_view data) {
        Entry& entry = m_entries.back();
        entry.crc = crc32_z(entry.crc, reinterpret_cast<const Bytef*>(data.data()), data.size());
        entry.size += data.size();
        if (!entry.deflated) {
            raw(data);
            return;
        }
        m_stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
        m_stream.avail_in = static_cast<uInt>(data.size());
        pump(Z_NO_FLUSH);
    }

    void end() {
        Entry& entry = m_entries.back();
        if (entry.deflated) {
            m_stream.next_in = nullptr;
            m_stream.avail_in = 0;
            pump(Z_FINISH);
            deflateEnd(&m_stream);
            m_deflating = false;
        }
        entry.compressedSize = m_offset + m_out.size() - entry.offset - 30 - entry.name.size();
        if (entry.size > 0xFFFFFFFFu || entry.compressedSize > 0xFFFFFFFFu ||
            m_offset + m_out.size() > 0xFFFFFFFFu) {
            throw WorkbookError(
                "无法写入文件" + inQuotes(m_path) +
                    "：工作表太大，超出了.ods文件的容量（4 GB）。请减少导出的数据。",
                WorkbookFault::TooLarge);
        }
        flush();
        std::string sizes;
        putU32(sizes, static_cast<std::uint32_t>(entry.crc));
        putU32(sizes, static_cast<std::uint32_t>(entry.compressedSize));
        putU32(sizes, static_cast<std::uint32_t>(entry.size));
        if (::pwrite(m_fd, sizes.data(), sizes.size(), static_cast<off_t>(entry.offset + 14)) !=
            static_cast<ssize_t>(sizes.size())) {
            failWrite();
        }
    }

    // The central directory and its end, then the file closed.
    void finish() {
        const std::uint64_t directory = m_offset + m_out.size();
        std::string out;
        for (const Entry& entry : m_entries) {
            putU32(out, 0x02014b50);
            putU16(out, 20 | (3 << 8));  // made by: 2.0 on Unix
            putU16(out, 20);
            putU16(out, 0);
            putU16(out, entry.deflated ? 8 : 0);
            putU16(out, 0);
            putU16(out, 0x21);
            putU32(out, static_cast<std::uint32_t>(entry.crc));
            putU32(out, static_cast<std::uint32_t>(entry.compressedSize));
            putU32(out, static_cast<std::uint32_t>(entry.size));
            putU16(out, static_cast<std::uint32_t>(entry.name.size()));
            putU16(out, 0);               // extra field
            putU16(out, 0);               // comment
            putU16(out, 0);               // disk
            putU16(out, 0);               // internal attributes
            putU32(out, 0100644u << 16);  // a regular file, rw-r--r--
            putU32(out, static_cast<std::uint32_t>(entry.offset));
            out += entry.name;
        }
        const auto directorySize = static_cast<std::uint32_t>(out.size());
        putU32(out, 0x06054b50);
        putU16(out, 0);
        putU16(out, 0);
        putU16(out, static_cast<std::uint32_t>(m_entries.size()));
        putU16(out, static_cast<std::uint32_t>(m_entries.size()));
        putU32(out, directorySize);
        putU32(out, static_cast<std::uint32_t>(directory));
        putU16(out, 0);
        raw(out);
        flush();
        const int fd = m_fd;
        m_fd = -1;
        if (::close(fd) != 0) {
            failWrite();
        }
    }

private:
    static constexpr std::size_t kBufferSize = 1 << 20;

    struct Entry {
        std::string name;
        bool deflated = false;
        std::uint64_t offset = 0;
        uLong crc = 0;
        std::uint64_t size = 0;
        std::uint64_t compressedSize = 0;
    };

    void pump(int flush) {
        unsigned char chunk[1 << 16];
        for (;;) {
            m_stream.next_out = chunk;
            m_stream.avail_out = sizeof chunk;
            const int status = deflate(&m_stream, flush);
            if (status == Z_STREAM_ERROR) {
                throw WorkbookError("无法保存" + inQuotes(m_path) + "：压缩数据时出错。",
                                    WorkbookFault::CannotWrite);
            }
            raw(std::string_view(reinterpret_cast<const char*>(chunk),
                                 sizeof chunk - m_stream.avail_out));
            if (flush == Z_FINISH ? status == Z_STREAM_END : m_stream.avail_out != 0) {
                return;
            }
        }
    }

    void raw(std::string_view data) {
        m_out.append(data);
        if (m_out.size() >= kBufferSize) {
            flush();
        }
    }

    void flush() {
        const char* p = m_out.data();
        std::size_t left = m_out.size();
        while (left > 0) {
            const ssize_t n = ::write(m_fd, p, left);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                failWrite();
            }
            p += n;
            left -= static_cast<std::size_t>(n);
        }
        m_offset += m_out.size();
        m_out.clear();
    }

    [[noreturn]] void failWrite() const {
        const int cause = errno != 0 ? errno : ENOSPC;
        throw WorkbookError("无法完整写入文件" + inQuotes(m_path) + "（" + std::strerror(cause) +
                                "）。请检查磁盘的剩余空间后重试。",
                            WorkbookFault::CannotWrite);
    }

    std::string m_path;
    int m_fd = -1;
    std::string m_out;
    std::uint64_t m_offset = 0;
    std::vector<Entry> m_entries;
    z_stream m_stream{};
    bool m_deflating = false;
};

void appendEscaped(std::string& out, std::string_view text) {
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\r':
                out += "&#13;";  // a literal one would read as a line feed
                break;
            default:
                out += c;
        }
    }
}

void appendSpaces(std::string& out, std::size_t count) {
    out += count == 1 ? "<text:s/>" : "<text:s text:c=\"" + std::to_string(count) + "\"/>";
}

// A text as the paragraphs of a cell: a line break starts a paragraph, a tab
// is an element, and a run of blanks that a reader would collapse (at the
// start or the end of a paragraph, or more than one) is counted out.
void appendParagraphs(std::string& out, std::string_view text) {
    out += "<text:p>";
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '\n') {
            out += "</text:p><text:p>";
            ++i;
        } else if (c == '\t') {
            out += "<text:tab/>";
            ++i;
        } else if (c == ' ') {
            std::size_t end = i;
            while (end < text.size() && text[end] == ' ') {
                ++end;
            }
            const bool edge = i == 0 || text[i - 1] == '\n' || text[i - 1] == '\t' ||
                              end == text.size() || text[end] == '\n' || text[end] == '\t';
            if (edge) {
                appendSpaces(out, end - i);
            } else {
                out += ' ';
                if (end - i > 1) {
                    appendSpaces(out, end - i - 1);
                }
            }
            i = end;
        } else {
            const std::size_t end = text.find_first_of("\n\t ", i);
            appendEscaped(out, text.substr(i, end == std::string_view::npos ? std::string_view::npos
                                                                            : end - i));
            i = end == std::string_view::npos ? text.size() : end;
        }
    }
    out += "</text:p>";
}

std::string cellName(int row, int column) {
    return "第" + std::to_string(row + 1) + "行第" + std::to_string(column + 1) + "列的单元格";
}

// A text that no XML part can carry: invalid UTF-8, a NUL, or a control
// character other than the tab, the line feed and the carriage return.
void checkText(const std::string& path, int row, int column, std::string_view text) {
    const long long characters = countCharacters(text);
    if (characters > kMaxCellCharacters) {
        throw WorkbookError("无法保存" + inQuotes(path) + "：" + cellName(row, column) + "有" +
                                std::to_string(characters) +
                                "个字符，超过了一个单元格最多可容纳的32,767个字符。请缩短文本。",
                            WorkbookFault::TooLarge);
    }
    bool control = false;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        control = control || (byte < 0x20 && c != '\t' && c != '\n' && c != '\r');
    }
    if (characters < 0 || control) {
        throw WorkbookError("无法保存" + inQuotes(path) + "：" + cellName(row, column) +
                                "中的文本不是有效的Unicode文本，或含有.ods文件不能保存的控制字符，"
                                "工作簿无法保存。请修改该文本后重试，或保存为.xlsx。",
                            WorkbookFault::CannotWrite);
    }
}

// The rows of content.xml, made cell by cell: empty rows and empty cells
// between the ones written go as repeated ones.
class ContentWriter {
public:
    ContentWriter(const std::string& path, ZipWriter& zip) : m_path(path), m_zip(zip) {
        m_out.reserve(kChunk + 4096);
    }

    void cell(int row, int column, std::string_view text, CellKind kind) {
        if (text.empty()) {
            return;  // an empty text is an empty cell
        }
        if (kind == CellKind::Text) {
            checkText(m_path, row, column, text);
        }
        moveTo(row, column);
        if (kind == CellKind::Number) {
            m_out += R"(<table:table-cell office:value-type="float" office:value=")";
            m_out += text;
            m_out += "\"><text:p>";
            m_out += text;
            m_out += "</text:p></table:table-cell>";
        } else {
            m_out += R"(<table:table-cell office:value-type="string">)";
            appendParagraphs(m_out, text);
            m_out += "</table:table-cell>";
        }
        m_column = column + 1;
        if (m_out.size() >= kChunk) {
            drain();
        }
    }

    // Closes the last row; a sheet without cells gets one empty row, since a
    // table holds at least one.
    void finish() {
        if (m_row < 0) {
            m_out += "<table:table-row><table:table-cell/></table:table-row>";
        } else {
            m_out += "</table:table-row>";
        }
        drain();
    }

    void text(std::string_view text) {
        m_out += text;
        drain();
    }

private:
    static constexpr std::size_t kChunk = 1 << 18;

    void moveTo(int row, int column) {
        if (row != m_row) {
            if (m_row >= 0) {
                m_out += "</table:table-row>";
            }
            const int gap = row - m_row - 1;
            if (gap > 0) {
                m_out += gap == 1 ? "<table:table-row>"
                                  : "<table:table-row table:number-rows-repeated=\"" +
                                        std::to_string(gap) + "\">";
                m_out += "<table:table-cell/></table:table-row>";
            }
            m_out += "<table:table-row>";
            m_row = row;
            m_column = 0;
        }
        const int gap = column - m_column;
        if (gap == 1) {
            m_out += "<table:table-cell/>";
        } else if (gap > 1) {
            m_out +=
                "<table:table-cell table:number-columns-repeated=\"" + std::to_string(gap) + "\"/>";
        }
    }

    void drain() {
        m_zip.write(m_out);
        m_out.clear();
    }

    const std::string& m_path;
    ZipWriter& m_zip;
    std::string m_out;
    int m_row = -1;
    int m_column = 0;
};

std::string contentHead(const SheetToWrite& sheet) {
    std::string head = R"(<?xml version="1.0" encoding="UTF-8"?>)";
    head += "\n<office:document-content ";
    head += kNamespaces;
    head += "><office:automatic-styles>";
    if (sheet.wrapText) {
        head += R"(<style:style style:name="ce1" style:family="table-cell">)"
                R"(<style:table-cell-properties fo:wrap-option="wrap"/></style:style>)";
    }
    head += "</office:automatic-styles><office:body><office:spreadsheet><table:table table:name=\"";
    appendEscaped(head, sheet.name);
    head += "\">";
    const int columns = sheet.cells.isEmpty() ? 1 : sheet.cells.lastColumn() + 1;
    head += "<table:table-column";
    if (columns > 1) {
        head += " table:number-columns-repeated=\"" + std::to_string(columns) + "\"";
    }
    if (sheet.wrapText) {
        head += R"( table:default-cell-style-name="ce1")";
    }
    head += "/>";
    return head;
}

}  // namespace

void writeOds(const std::string& path, const SheetToWrite& sheet) {
    const CellSpool& cells = sheet.cells;
    if (!cells.isEmpty()) {
        if (cells.lastRow() >= kOdsMaxRows) {
            throw WorkbookError("无法保存" + inQuotes(path) + "：第" +
                                    std::to_string(cells.lastRow() + 1) +
                                    "行超出了.ods工作表最多可容纳的1,048,576行。请减少导出的行数。",
                                WorkbookFault::TooLarge);
        }
        if (cells.lastColumn() >= kOdsMaxColumns) {
            throw WorkbookError("无法保存" + inQuotes(path) + "：第" +
                                    std::to_string(cells.lastColumn() + 1) +
                                    "列超出了.ods工作表最多可容纳的16,384列。请减少导出的列数。",
                                WorkbookFault::TooLarge);
        }
    }
    ZipWriter zip(path);
    zip.begin("mimetype", false);
    zip.write(kMimeType);
    zip.end();
    zip.begin("META-INF/manifest.xml", true);
    zip.write(kManifest);
    zip.end();
    zip.begin("styles.xml", true);
    zip.write(stylesPart());
    zip.end();
    zip.begin("content.xml", true);
    ContentWriter content(path, zip);
    content.text(contentHead(sheet));
    cells.forEach([&](int row, int column, std::string_view text, CellKind kind) {
        content.cell(row, column, text, kind);
    });
    content.finish();
    content.text("</table:table></office:spreadsheet></office:body></office:document-content>\n");
    zip.end();
    zip.finish();
}

}  // namespace pos::workbook

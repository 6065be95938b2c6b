// The .xls writer: one worksheet of text and number cells in a BIFF8 Workbook stream
// inside an OLE2 compound file. The sheet's records are built in memory (a
// few bytes per cell, each distinct text once) so that every limit is checked
// before the file is touched; then the stream is written in one go.
#include <gsf/gsf-outfile-msole.h>
#include <gsf/gsf-output-stdio.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "common/Unicode.h"
#include "workbook/CellSpool.h"
#include "workbook/GsfHandles.h"
#include "workbook/SheetData.h"
#include "workbook/WorkbookError.h"
#include "workbook/XlsRecords.h"
#include "workbook/XlsWriter.h"

namespace pos::workbook {

namespace {

thread_local int tQuiet = 0;

void dropWhileQuiet(const gchar* domain, GLogLevelFlags level, const gchar* message,
                    gpointer data) {
    if (tQuiet > 0 && (level & G_LOG_LEVEL_ERROR) == 0) {
        return;
    }
    g_log_default_handler(domain, level, message, data);
}

}  // namespace

void ensureGsf() {
    static std::once_flag once;
    std::call_once(once, [] {
        gsf_init();
        const auto levels =
            static_cast<GLogLevelFlags>(G_LOG_LEVEL_MASK | G_LOG_FLAG_FATAL | G_LOG_FLAG_RECURSION);
        for (const char* domain : {"libgsf", "libgsf:msole", "GLib-GObject"}) {
            g_log_set_handler(domain, levels, &dropWhileQuiet, nullptr);
        }
    });
}

QuietGsf::QuietGsf() {
    ensureGsf();
    ++tQuiet;
}

QuietGsf::~QuietGsf() {
    --tQuiet;
}

namespace {

using namespace biff;

std::string cellName(int row, int column) {
    return "第" + std::to_string(row + 1) + "行第" + std::to_string(column + 1) + "列";
}

// Collects cells into blocks of 32 rows: the ROW records of a block, then
// its cells, as spreadsheet programs write them.
class SheetBody {
public:
    // Room for the records of `cells` is taken at once: the body is as long
    // as the workbook (tens of megabytes), and growing it would copy it and
    // hold it twice. Room never written costs no memory.
    SheetBody(SharedStrings& strings, std::uint16_t xf, const CellSpool& cells)
        : m_strings(strings), m_xf(xf) {
        const std::size_t rows =
            cells.isEmpty() ? 0 : static_cast<std::size_t>(cells.lastRow() - cells.firstRow() + 1);
        m_out.reserve(cells.writeCount() * kLargestCellRecord + rows * kRowRecord);
    }

    void add(const SpooledCell& cell) {
        const int row = cell.row();
        const int column = cell.column();
        if (row / 32 != m_block) {
            flush();
            m_block = row / 32;
        }
        auto& r = m_rows[static_cast<std::size_t>(row % 32)];
        if (r.first < 0) {
            r.first = r.last = column;
        } else {
            r.first = std::min(r.first, column);
            r.last = std::max(r.last, column);
        }
        if (cell.empty()) {
            // An empty text leaves a formatted blank cell, which keeps its
            // place in the used range.
            appendBlank(m_cells, row, column, m_xf);
            return;
        }
        if (cell.kind() == CellKind::Number) {
            appendNumber(m_cells, row, column, m_xf, cell.number());
            return;
        }
        const std::string_view text = cell.text();
        const std::uint32_t index = m_strings.add(text);
        if (index == SharedStrings::kTooLong) {
            throw WorkbookError(
                cellName(row, column) + "的文本有" + std::to_string(utf16Length(text)) +
                    "个字符，超过了一个单元格最多可容纳的32,767个字符。请缩短文本。",
                WorkbookFault::TooLarge);
        }
        appendLabelSst(m_cells, row, column, m_xf, index);
    }

    void flush() {
        for (std::size_t i = 0; i < m_rows.size(); ++i) {
            if (m_rows[i].first >= 0) {
                appendRow(m_out, m_block * 32 + static_cast<int>(i), m_rows[i].first,
                          m_rows[i].last, kDefaultCellXf);
                m_rows[i] = RowSpan{};
            }
        }
        m_out += m_cells;
        m_cells.clear();
    }

    std::string& bytes() { return m_out; }

private:
    static constexpr std::size_t kLargestCellRecord = 18;  // NUMBER
    static constexpr std::size_t kRowRecord = 20;
    struct RowSpan {
        int first = -1;
        int last = -1;
    };
    SharedStrings& m_strings;
    std::uint16_t m_xf;
    int m_block = -1;
    std::array<RowSpan, 32> m_rows{};
    std::string m_cells;
    std::string m_out;
};

void writeAll(GsfOutput* out, const std::string& bytes, const std::string& path) {
    const auto* p = reinterpret_cast<const guint8*>(bytes.data());
    std::size_t left = bytes.size();
    while (left > 0) {
        const std::size_t n = std::min<std::size_t>(left, 1u << 20);
        if (!gsf_output_write(out, n, p)) {
            throw WorkbookError("无法写入工作簿" + inQuotes(path) + "（" +
                                    errorMessage(gsf_output_error(out), "写入失败") +
                                    "）。请检查磁盘的剩余空间和文件夹的写入权限。",
                                WorkbookFault::CannotWrite);
        }
        p += n;
        left -= n;
    }
}

void closeOutput(GsfOutput* out, const std::string& path) {
    if (!gsf_output_close(out)) {
        throw WorkbookError("无法完成工作簿" + inQuotes(path) + "的写入（" +
                                errorMessage(gsf_output_error(out), "关闭失败") +
                                "）。请检查磁盘的剩余空间和文件夹的写入权限。",
                            WorkbookFault::CannotWrite);
    }
}

}  // namespace

void writeXls(const std::string& path, const SheetToWrite& sheet) {
    const CellSpool& cells = sheet.cells;
    // Limits first, so that nothing is written for a sheet that cannot fit.
    if (!cells.isEmpty() && cells.lastRow() >= kXlsMaxRows) {
        throw WorkbookError(
            "工作表的数据到达第" + std::to_string(cells.lastRow() + 1) +
                "行，但.xls工作表最多只能有65,536行。请另存为.xlsx，或减少导出的行数。",
            WorkbookFault::TooLarge);
    }
    if (!cells.isEmpty() && cells.lastColumn() >= kXlsMaxColumns) {
        throw WorkbookError(
            "工作表的数据到达第" + std::to_string(cells.lastColumn() + 1) +
                "列，但.xls工作表最多只能有256列。请另存为.xlsx，或减少导出的列数。",
            WorkbookFault::TooLarge);
    }
    if (utf16Length(sheet.name) > static_cast<std::size_t>(kMaxSheetNameCharacters) ||
        sheet.name.empty()) {
        throw WorkbookError(
            "工作表名称" + inQuotes(sheet.name) + "必须有1至31个字符。请换一个名称。",
            WorkbookFault::CannotWrite);
    }

    const std::uint16_t xf = sheet.wrapText ? kWrapCellXf : kDefaultCellXf;
    SharedStrings strings;
    SheetBody body(strings, xf, cells);
    cells.forEachCell([&](const SpooledCell& cell) { body.add(cell); });
    body.flush();

    // Globals: everything before the SST has a known size, so the SST's and
    // the sheet's offsets follow from it.
    std::string globals = encodeBof(kGlobalsSubstream) + encodeWorkbookPrologue(1) +
                          encodeFormatting() + encodeUseSelfs();
    const std::size_t boundSheetAt = globals.size();
    globals += encodeBoundSheet(0, sheet.name);
    globals += encodeCountry();
    const std::uint16_t bucketSize = extSstBucketSize(strings.size());
    std::vector<ExtSstBucket> buckets;
    globals += encodeSst(strings, static_cast<std::uint32_t>(globals.size()), bucketSize, buckets);
    globals += encodeExtSst(bucketSize, buckets);
    globals += encodeEof();
    const std::string boundSheet =
        encodeBoundSheet(static_cast<std::uint32_t>(globals.size()), sheet.name);
    globals.replace(boundSheetAt, boundSheet.size(), boundSheet);

    std::string head = encodeBof(kWorksheetSubstream) + encodeDefColWidth();
    if (sheet.wrapText) {
        head += encodeColInfo(0, 255, kWrapCellXf);
    }
    head += encodeDimensions(cells.firstRow(), cells.lastRow(), cells.firstColumn(),
                             cells.lastColumn());
    const std::string tail = encodeWindow2() + encodeEof();

    const QuietGsf quiet;
    // The file is opened here, not by the library, which would write beside
    // it under a name of its own and rename: the caller already writes to a
    // temporary file (one without a name, where the system allows it).
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        throw WorkbookError("无法创建工作簿" + inQuotes(path) + "（" + std::strerror(errno) +
                                "）。请检查文件夹是否存在并且可以写入。",
                            WorkbookFault::CannotWrite);
    }
    GsfHandle<GsfOutput> sink(gsf_output_stdio_new_FILE(path.c_str(), file, FALSE));
    if (!sink) {
        std::fclose(file);
        throw WorkbookError("无法创建工作簿" + inQuotes(path) + "。请检查磁盘的剩余空间后重试。",
                            WorkbookFault::CannotWrite);
    }
    GsfHandle<GsfOutfile> ole(gsf_outfile_msole_new(sink.get()));
    if (!ole) {
        throw WorkbookError(
            "无法为工作簿" + inQuotes(path) + "创建复合文档。请检查磁盘的剩余空间后重试。",
            WorkbookFault::CannotWrite);
    }
    GsfHandle<GsfOutput> stream(gsf_outfile_new_child(ole.get(), "Workbook", FALSE));
    if (!stream) {
        throw WorkbookError(
            "无法在" + inQuotes(path) + "中创建工作簿数据。请检查磁盘的剩余空间后重试。",
            WorkbookFault::CannotWrite);
    }
    writeAll(stream.get(), globals, path);
    writeAll(stream.get(), head, path);
    writeAll(stream.get(), body.bytes(), path);
    writeAll(stream.get(), tail, path);
    closeOutput(stream.get(), path);
    closeOutput(GSF_OUTPUT(ole.get()), path);  // closes the sink too
    if (!gsf_output_is_closed(sink.get())) {
        closeOutput(sink.get(), path);
    }
}

}  // namespace pos::workbook

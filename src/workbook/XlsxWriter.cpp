// Writes one sheet of text and number cells as an .xlsx workbook with
// libxlsxwriter in its constant-memory mode: rows go to a temporary file as
// they come, so the memory used does not grow with the row count.
#include <xlsxwriter.h>

#include <locale.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>

#include "workbook/CellSpool.h"
#include "workbook/SheetData.h"
#include "workbook/WorkbookError.h"
#include "workbook/XlsxParts.h"
#include "workbook/XlsxWriter.h"

namespace pos::workbook {

namespace {

std::string withSeparators(long long n) {
    std::string digits = std::to_string(n);
    for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3) {
        digits.insert(static_cast<std::size_t>(i), ",");
    }
    return digits;
}

std::string writeErrorText(lxw_error error, const std::string& path, const std::string& tmpdir) {
    switch (error) {
        case LXW_ERROR_CREATING_XLSX_FILE:
            return "无法创建文件" + inQuotes(path) +
                   "。请检查文件夹是否存在、是否可以写入，以及该文件是否正被其他程序打开。";
        case LXW_ERROR_CREATING_TMPFILE:
        case LXW_ERROR_READING_TMPFILE:
            return "无法保存" + inQuotes(path) + "：临时文件夹" + inQuotes(tmpdir) +
                   "无法使用。请检查它是否存在、是否可以写入、所在磁盘是否还有空间（或把TMPDIR"
                   "设为另一个文件夹）。";
        case LXW_ERROR_MEMORY_MALLOC_FAILED:
            return "无法保存" + inQuotes(path) + "：内存不足。请关闭其他程序后重试。";
        case LXW_ERROR_ZIP_FILE_OPERATION:
        case LXW_ERROR_ZIP_FILE_ADD:
        case LXW_ERROR_ZIP_CLOSE:
            return "无法完整写入文件" + inQuotes(path) + "。请检查磁盘的剩余空间后重试。";
        case LXW_ERROR_ZIP_PARAMETER_ERROR:
        case LXW_ERROR_ZIP_BAD_ZIP_FILE:
        case LXW_ERROR_ZIP_INTERNAL_ERROR:
            return "无法写入文件" + inQuotes(path) +
                   "：工作表太大，超出了.xlsx文件的容量（4 GB）。请减少导出的数据。";
        default:
            return "无法保存" + inQuotes(path) + "（" + lxw_strerror(error) + "）。";
    }
}

bool isHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Readers turn "_xHHHH_" into the character it names, and libxlsxwriter
// leaves such text as it is: escape its underscore ("_x005F_") so that a
// text like "_x000D_" comes back as written, not as a carriage return.
void assignEscaped(std::string& out, std::string_view text) {
    if (text.find("_x") == std::string_view::npos) {
        out.assign(text);
        return;
    }
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '_' && i + 6 < text.size() && text[i + 1] == 'x' && isHex(text[i + 2]) &&
            isHex(text[i + 3]) && isHex(text[i + 4]) && isHex(text[i + 5]) && text[i + 6] == '_') {
            out += "_x005F";
        }
        out += text[i];
    }
}

// libxlsxwriter prints its errors on stderr ("[ERROR]...", "[WARNING]...")
// and has no way to take them instead; the error code it returns is what our
// message is made of. While a workbook is written, file descriptor 2 goes to
// a temporary file; then the library's lines are dropped and any other line
// written meanwhile (by another thread) is passed on, late but whole.
class LibraryStderr {
public:
    LibraryStderr() : m_lock(s_mutex) {
        std::fflush(stderr);
        m_file = std::tmpfile();
        if (m_file == nullptr) {
            return;
        }
        m_saved = ::dup(2);
        if (m_saved < 0 || ::dup2(::fileno(m_file), 2) < 0) {
            std::fclose(m_file);
            m_file = nullptr;
        }
    }
    ~LibraryStderr() {
        if (m_file == nullptr) {
            return;
        }
        std::fflush(stderr);
        ::dup2(m_saved, 2);
        ::close(m_saved);
        std::rewind(m_file);
        char line[4096];
        while (std::fgets(line, sizeof line, m_file) != nullptr) {
            if (std::strncmp(line, "[ERROR]", 7) != 0 && std::strncmp(line, "[WARNING]", 9) != 0) {
                std::fputs(line, stderr);
            }
        }
        std::fclose(m_file);
    }
    LibraryStderr(const LibraryStderr&) = delete;
    LibraryStderr& operator=(const LibraryStderr&) = delete;

private:
    static inline std::mutex s_mutex;  // one redirection at a time
    std::lock_guard<std::mutex> m_lock;
    std::FILE* m_file = nullptr;
    int m_saved = -1;
};

// libxlsxwriter writes numbers with printf ("%.16G"), which follows the
// locale: under a locale whose decimal separator is a comma (de_DE, which a
// Qt program takes from its environment) a price would read "12,5", which
// no reader takes. This thread writes in the C locale while the workbook is
// written; other threads keep theirs.
class CNumericLocale {
public:
    CNumericLocale() {
        locale_t base = ::duplocale(LC_GLOBAL_LOCALE);
        if (base == nullptr) {
            return;
        }
        m_locale = ::newlocale(LC_NUMERIC_MASK, "C", base);  // takes `base` when it succeeds
        if (m_locale == nullptr) {
            ::freelocale(base);
            return;
        }
        m_previous = ::uselocale(m_locale);
    }
    ~CNumericLocale() {
        if (m_locale != nullptr) {
            ::uselocale(m_previous);
            ::freelocale(m_locale);
        }
    }
    CNumericLocale(const CNumericLocale&) = delete;
    CNumericLocale& operator=(const CNumericLocale&) = delete;

private:
    locale_t m_locale = nullptr;
    locale_t m_previous = nullptr;
};

struct WorkbookDeleter {
    void operator()(lxw_workbook* workbook) const { lxw_workbook_free(workbook); }
};

}  // namespace

void writeXlsx(const std::string& path, const SheetToWrite& sheet) {
    const CellSpool& cells = sheet.cells;
    if (!cells.isEmpty()) {
        if (cells.lastRow() >= kXlsxMaxRows) {
            throw WorkbookError(
                "无法保存" + inQuotes(path) + "：第" + withSeparators(cells.lastRow() + 1LL) +
                    "行超出了.xlsx工作表最多可容纳的1,048,576行。请减少导出的行数。",
                WorkbookFault::TooLarge);
        }
        if (cells.lastColumn() >= kXlsxMaxColumns) {
            throw WorkbookError("无法保存" + inQuotes(path) + "：第" +
                                    withSeparators(cells.lastColumn() + 1LL) +
                                    "列超出了.xlsx工作表最多可容纳的16,384列。请减少导出的列数。",
                                WorkbookFault::TooLarge);
        }
    }

    const LibraryStderr quiet;
    const CNumericLocale numbers;

    // libxlsxwriter's own default (tmpfile) ignores TMPDIR; follow it.
    std::error_code ec;
    std::string tmpdir = std::filesystem::temp_directory_path(ec).string();
    if (ec || tmpdir.empty()) {
        tmpdir = "/tmp";
    }
    lxw_workbook_options options{};
    options.constant_memory = LXW_TRUE;
    options.tmpdir = tmpdir.data();
    options.use_zip64 = LXW_FALSE;

    // Nothing reaches the path before workbook_close, so a sheet refused
    // half-way leaves no file behind: the workbook is freed unwritten.
    std::unique_ptr<lxw_workbook, WorkbookDeleter> workbook(
        workbook_new_opt(path.c_str(), &options));
    if (!workbook) {
        throw WorkbookError("无法保存" + inQuotes(path) + "：内存不足。请关闭其他程序后重试。",
                            WorkbookFault::CannotWrite);
    }
    lxw_worksheet* worksheet = workbook_add_worksheet(workbook.get(), sheet.name.c_str());
    if (!worksheet) {
        throw WorkbookError("无法保存" + inQuotes(path) + "：" + inQuotes(sheet.name) +
                                "不是有效的工作表名称（最多31个字符，不能包含 : \\ / ? * [ ]，"
                                "不能以单引号开头或结尾）。请换一个名称。",
                            WorkbookFault::CannotWrite);
    }
    lxw_format* wrap = nullptr;
    if (sheet.wrapText) {
        wrap = workbook_add_format(workbook.get());
        format_set_text_wrap(wrap);
    }

    std::string text;  // libxlsxwriter wants NUL-terminated text
    cells.forEachCell([&](const SpooledCell& cell) {
        const int row = cell.row();
        const int column = cell.column();
        if (cell.kind() == CellKind::Number) {
            const lxw_error error =
                worksheet_write_number(worksheet, static_cast<lxw_row_t>(row),
                                       static_cast<lxw_col_t>(column), cell.number(), wrap);
            if (error != LXW_NO_ERROR) {
                throw WorkbookError("无法保存" + inQuotes(path) + "：单元格" +
                                    xlsx::cellRefText(row, column) + "无法写入（" +
                                    lxw_strerror(error) + "）。");
            }
            return;
        }
        const std::string_view value = cell.text();
        long long characters = countCharacters(value);
        if (characters < 0) {
            throw WorkbookError(
                "无法保存" + inQuotes(path) + "：单元格" + xlsx::cellRefText(row, column) +
                    "中的文本不是有效的Unicode文本（或含有NUL字符），工作簿无法保存。"
                    "请修改该文本后重试。",
                WorkbookFault::CannotWrite);
        }
        if (characters > kMaxCellCharacters) {
            throw WorkbookError(
                "无法保存" + inQuotes(path) + "：单元格" + xlsx::cellRefText(row, column) + "有" +
                    withSeparators(characters) +
                    "个字符，超过了一个单元格最多可容纳的32,767个字符。请缩短文本。",
                WorkbookFault::TooLarge);
        }
        assignEscaped(text, value);
        lxw_error error =
            worksheet_write_string(worksheet, static_cast<lxw_row_t>(row),
                                   static_cast<lxw_col_t>(column), text.c_str(), wrap);
        if (error != LXW_NO_ERROR) {
            throw WorkbookError("无法保存" + inQuotes(path) + "：单元格" +
                                    xlsx::cellRefText(row, column) + "无法写入（" +
                                    lxw_strerror(error) + "）。",
                                WorkbookFault::CannotWrite);
        }
    });

    // The rows of a constant-memory sheet go to a temporary file whose
    // failed writes (a full disk) the library does not notice: it would
    // assemble a workbook with rows missing and report it written. Flushing
    // the file tells.
    if (FILE* rows = worksheet->optimize_tmpfile) {
        errno = 0;
        const bool flushed = std::fflush(rows) == 0;
        if (!flushed || std::ferror(rows) != 0) {
            const int cause = flushed ? ENOSPC : errno;
            throw WorkbookError("无法保存" + inQuotes(path) + "：写入临时文件夹" +
                                    inQuotes(tmpdir) + "失败（" + std::strerror(cause) +
                                    "），工作簿没有写入。请检查磁盘空间后重试。",
                                WorkbookFault::CannotWrite);
        }
    }

    lxw_error error = workbook_close(workbook.release());  // frees the workbook
    if (error != LXW_NO_ERROR) {
        throw WorkbookError(writeErrorText(error, path, tmpdir), WorkbookFault::CannotWrite);
    }
}

}  // namespace pos::workbook

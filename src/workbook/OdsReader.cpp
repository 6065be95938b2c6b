// Reads an OpenDocument spreadsheet: the manifest says whether the package
// is encrypted, the mimetype part whether it is a spreadsheet, and
// content.xml, streamed through expat, gives the tables' names and the cells
// of the first one. Repeated rows and cells are expanded only where they
// hold a value, so the trailing empty rows that spreadsheet programs write
// as one repeated row cost nothing.
#include "workbook/OdsReader.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "common/IsoDate.h"
#include "workbook/SheetLimits.h"
#include "workbook/WorkbookError.h"
#include "workbook/WorkbookFormats.h"
#include "workbook/XlsxParts.h"

namespace pos::workbook {

namespace {

using xlsx::Attribute;
using xlsx::findAttribute;

constexpr const char* kSpreadsheetType = "application/vnd.oasis.opendocument.spreadsheet";
// A cell's text, in bytes: 32,767 characters of up to three bytes each (a
// character beyond the basic plane counts twice in four bytes).
constexpr std::size_t kMaxCellBytes = std::size_t{kMaxCellCharacters} * 3;

[[noreturn]] void damaged(const std::string& path, const std::string& what) {
    throw WorkbookError(
        "无法读取工作簿" + inQuotes(path) + "：文件已损坏，" + what + "。" + kSaveAgainAdvice,
        WorkbookFault::Damaged);
}

// A count of repeated rows or cells: at least 1; a huge one is kept as it
// reads (up to 2^32), since only the ones with a value are expanded.
std::uint64_t repeatCount(const std::vector<Attribute>& attributes, std::string_view name) {
    const auto text = findAttribute(attributes, name);
    if (!text) {
        return 1;
    }
    std::uint64_t count = 0;
    const auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), count);
    if (ec == std::errc::result_out_of_range) {
        return std::uint64_t{1} << 32;
    }
    if (ec != std::errc() || count == 0) {
        return 1;
    }
    return std::min<std::uint64_t>(count, std::uint64_t{1} << 32);
}

// "PT13H45M10.5S" (an ODF time, an ISO duration) as a fraction of days;
// negative when the text is no duration.
double durationDays(std::string_view text) {
    bool negative = false;
    if (!text.empty() && text.front() == '-') {
        negative = true;
        text.remove_prefix(1);
    }
    if (text.size() < 2 || text.front() != 'P') {
        return -1;
    }
    text.remove_prefix(1);
    double seconds = 0;
    bool inTime = false;
    while (!text.empty()) {
        if (text.front() == 'T') {
            inTime = true;
            text.remove_prefix(1);
            continue;
        }
        double number = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
        if (ec != std::errc() || end == text.data() + text.size()) {
            return -1;
        }
        const char unit = *end;
        text.remove_prefix(static_cast<std::size_t>(end - text.data()) + 1);
        if (unit == 'D' && !inTime) {
            seconds += number * 86400;
        } else if (unit == 'H' && inTime) {
            seconds += number * 3600;
        } else if (unit == 'M' && inTime) {
            seconds += number * 60;
        } else if (unit == 'S' && inTime) {
            seconds += number;
        } else {
            return -1;
        }
    }
    return negative ? -1 : seconds / 86400;
}

// One cell of a row, kept until the row ends, since a row repeated N times
// places its cells N times.
struct RowCell {
    std::uint64_t column = 0;
    std::uint64_t count = 1;     // columns it spans by repetition
    std::optional<Value> value;  // empty: a formula without a stored result
};

class ContentHandler : public xlsx::XmlHandler {
public:
    ContentHandler(const std::string& path, WorkbookData& data) : m_path(path), m_data(data) {}

    void startElement(std::string_view name, const std::vector<Attribute>& attributes) override {
        if (m_skipDepth > 0) {
            ++m_skipDepth;
            return;
        }
        if (name == "table") {
            startTable(attributes);
            return;
        }
        if (m_tableDepth != 1 || !m_inFirstTable) {
            return;
        }
        if (m_cellDepth > 0) {
            startInCell(name, attributes);
        } else if (name == "table-row") {
            m_rowRepeat = repeatCount(attributes, "number-rows-repeated");
            m_column = 0;
            m_rowCells.clear();
        } else if (name == "table-cell" || name == "covered-cell") {
            startCell(name == "covered-cell", attributes);
        }
    }

    void endElement(std::string_view name) override {
        if (m_skipDepth > 0) {
            --m_skipDepth;
            return;
        }
        if (name == "table") {
            if (--m_tableDepth == 0) {
                m_inFirstTable = false;
            }
            return;
        }
        if (m_tableDepth != 1 || !m_inFirstTable) {
            return;
        }
        if (m_cellDepth > 1) {
            if (--m_cellDepth == 1) {
                m_inParagraph = false;
            }
        } else if (m_cellDepth == 1) {
            m_cellDepth = 0;
            endCell();
        } else if (name == "table-row") {
            endRow();
        }
    }

    void characters(std::string_view text) override {
        if (m_inParagraph && m_skipDepth == 0) {
            appendText(text);
        }
    }

private:
    void startTable(const std::vector<Attribute>& attributes) {
        ++m_tableDepth;
        if (m_tableDepth != 1) {
            return;  // a table inside a cell: not the sheet's cells
        }
        const std::string name(findAttribute(attributes, "name").value_or(""));
        if (m_data.sheetNames.empty()) {
            m_inFirstTable = true;
            m_data.firstSheet.name = name;
        }
        m_data.sheetNames.push_back(name);
    }

    void startCell(bool covered, const std::vector<Attribute>& attributes) {
        m_cellDepth = 1;
        m_inParagraph = false;
        m_paragraphs = 0;
        m_text.clear();
        m_cellRepeat = repeatCount(attributes, "number-columns-repeated");
        m_covered = covered;
        m_type.clear();
        m_hasFormula = false;
        m_numberText.clear();
        m_stringValue.reset();
        for (const Attribute& a : attributes) {
            if (a.name == "value-type") {
                // office:value-type, and calcext:value-type beside it, which
                // alone says "error" for a formula whose result is an error.
                if (m_type.empty() || a.value == "error") {
                    m_type = a.value;
                }
            } else if (a.name == "formula") {
                m_hasFormula = true;
            } else if (a.name == "value" || a.name == "date-value" || a.name == "time-value" ||
                       a.name == "boolean-value") {
                m_numberText = a.value;
            } else if (a.name == "string-value") {
                m_stringValue = std::string(a.value);
            }
        }
    }

    // Inside a cell, only the paragraphs that are its own children hold its
    // text; notes, comments and drawings anchored to it are left out.
    void startInCell(std::string_view name, const std::vector<Attribute>& attributes) {
        if (name == "annotation" || name == "note" || name == "frame" || name == "custom-shape" ||
            name == "ruby-text" || (m_cellDepth == 1 && name != "p" && name != "h")) {
            m_skipDepth = 1;
            return;
        }
        ++m_cellDepth;
        if (m_cellDepth == 2) {
            if (m_paragraphs++ > 0) {
                appendText("\n");
            }
            m_inParagraph = true;
        } else if (name == "s") {
            const std::uint64_t count = repeatCount(attributes, "c");
            appendText(std::string(
                static_cast<std::size_t>(std::min<std::uint64_t>(count, kMaxCellBytes + 1)), ' '));
        } else if (name == "tab") {
            appendText("\t");
        } else if (name == "line-break") {
            appendText("\n");
        }
    }

    void appendText(std::string_view text) {
        if (m_covered) {
            return;
        }
        if (m_text.size() + text.size() > kMaxCellBytes) {
            damaged(m_path, "第一个工作表第" + std::to_string(m_row + 1) +
                                "行中有一个单元格，其文本超出了一个单元格最多可容纳的32,767个字符");
        }
        m_text.append(text);
    }

    [[noreturn]] void badValue(const char* what) const {
        damaged(m_path, "第一个工作表第" + std::to_string(m_row + 1) + "行中有一个单元格，其" +
                            what + inQuotes(m_numberText) + "无法识别");
    }

    double number() const {
        double value = 0;
        const char* end = m_numberText.data() + m_numberText.size();
        const auto [p, ec] = std::from_chars(m_numberText.data(), end, value);
        if (ec != std::errc() || p != end || !std::isfinite(value)) {
            badValue("数字");
        }
        return value;
    }

    // The value the cell holds: its stored one (for a formula, the result),
    // or none for an empty cell.
    std::optional<Value> cellValue() const {
        const std::string_view type = m_type;
        if (type == "float" || type == "percentage" || type == "currency") {
            return Value::floating(number());
        }
        if (type == "date") {
            const auto date = parseIsoDateTime(m_numberText, IsoTail::Ignored);
            if (!date) {
                badValue("日期");
            }
            return Value::dateTime(*date);
        }
        if (type == "time") {
            const double days = durationDays(m_numberText);
            const auto time = days < 0 ? std::nullopt : xlsx::serialToDateTime(days, false);
            if (!time) {
                badValue("时间");
            }
            return Value::dateTime(*time);
        }
        if (type == "boolean") {
            return Value::boolean(m_numberText == "true" || m_numberText == "1");
        }
        if (type == "error") {
            const auto code = errorCodeOf(m_text);
            return Value::error(code ? *code : 0x2A);
        }
        const std::string& text = m_stringValue ? *m_stringValue : m_text;
        if (text.empty() && !(m_hasFormula && type == "string")) {
            return std::nullopt;  // an empty text is an empty cell, a formula's aside
        }
        return Value::text(text);
    }

    void endCell() {
        const std::uint64_t column = m_column;
        m_column += m_cellRepeat;
        if (m_covered) {
            return;  // hidden by a merged range: empty, whatever it keeps
        }
        const bool withoutResult = m_hasFormula && (m_type.empty() || m_type == "void");
        std::optional<Value> value;
        if (!withoutResult) {
            value = cellValue();
            if (!value) {
                return;
            }
        }
        if (column + m_cellRepeat > static_cast<std::uint64_t>(kOdsMaxColumns)) {
            damaged(m_path, "第一个工作表第" + std::to_string(m_row + 1) +
                                "行中有超出工作表最后一列（第16,384列）的单元格");
        }
        m_rowCells.push_back({column, m_cellRepeat, std::move(value)});
    }

    void endRow() {
        const std::uint64_t first = m_row;
        m_row += m_rowRepeat;
        if (m_rowCells.empty()) {
            return;
        }
        if (m_row > static_cast<std::uint64_t>(kOdsMaxRows)) {
            damaged(m_path, "超出工作表最后一行（第1,048,576行）的单元格");
        }
        SheetData& sheet = m_data.firstSheet;
        const RowCell& lastCell = m_rowCells.back();
        const std::uint64_t width = lastCell.column + lastCell.count;
        const std::uint64_t keptEnd =
            sheet.rowLimit() == kEveryRow
                ? m_row
                : std::min<std::uint64_t>(m_row, static_cast<std::uint64_t>(sheet.rowLimit()));
        const std::uint64_t keptRows = keptEnd > first ? keptEnd - first : 0;
        m_gridCells += keptRows * width;
        if (m_gridCells > xlsx::kMaxGridCells) {
            throw WorkbookError(
                "工作簿第一个工作表的数据分布在太多的单元格中（超过" +
                    std::to_string(xlsx::kMaxGridCells) +
                    "个），本程序的内存容纳不下。请删除未使用的行和列，或拆分工作表后重试。",
                WorkbookFault::TooLarge);
        }
        std::vector<SheetData::TextHandle> handles(m_rowCells.size(), 0);
        for (std::uint64_t r = first; r < m_row; ++r) {
            if (!sheet.keepsRow(static_cast<int>(r)) && r + 1 < m_row) {
                r = m_row - 2;  // rows not kept: their last one alone marks the used range
                continue;
            }
            placeRow(static_cast<int>(r), handles);
        }
    }

    void placeRow(int row, std::vector<SheetData::TextHandle>& handles) {
        SheetData& sheet = m_data.firstSheet;
        const bool kept = sheet.keepsRow(row);
        for (std::size_t i = 0; i < m_rowCells.size(); ++i) {
            const RowCell& cell = m_rowCells[i];
            const std::uint64_t end = cell.column + cell.count;
            for (std::uint64_t c = cell.column; c < end; ++c) {
                if (!kept && c != cell.column && c + 1 < end) {
                    c = end - 2;  // the used range needs the span's ends only
                    continue;
                }
                const int column = static_cast<int>(c);
                if (!cell.value) {
                    sheet.markWithoutResult(row, column);
                } else if (!kept) {
                    sheet.markFormatted(row, column);
                } else if (cell.value->type() == ValueType::Text) {
                    // A text repeated across cells and rows is held once.
                    if (handles[i] == 0) {
                        handles[i] = sheet.addText(cell.value->asText());
                    }
                    sheet.setInterned(row, column, handles[i]);
                } else {
                    sheet.setCell(row, column, *cell.value);
                }
            }
        }
    }

    const std::string& m_path;
    WorkbookData& m_data;
    int m_tableDepth = 0;
    bool m_inFirstTable = false;
    int m_skipDepth = 0;

    std::uint64_t m_row = 0;
    std::uint64_t m_rowRepeat = 1;
    std::uint64_t m_column = 0;
    std::vector<RowCell> m_rowCells;
    std::uint64_t m_gridCells = 0;

    int m_cellDepth = 0;  // 1 in a cell, 2 in one of its paragraphs, more below
    bool m_inParagraph = false;
    int m_paragraphs = 0;
    std::uint64_t m_cellRepeat = 1;
    bool m_covered = false;
    std::string m_type;
    bool m_hasFormula = false;
    std::string m_numberText;
    std::optional<std::string> m_stringValue;
    std::string m_text;
};

// Finds an encryption-data element in the manifest: the parts it names are
// encrypted with the document's password.
class ManifestHandler : public xlsx::XmlHandler {
public:
    bool encrypted = false;
    void startElement(std::string_view name, const std::vector<Attribute>&) override {
        if (name == "encryption-data") {
            encrypted = true;
        }
    }
    void endElement(std::string_view) override {}
    void characters(std::string_view) override {}
};

void checkPackage(xlsx::Package& package) {
    const std::string& path = package.path();
    if (package.has("META-INF/manifest.xml")) {
        ManifestHandler manifest;
        xlsx::parsePart(package, "META-INF/manifest.xml", manifest);
        if (manifest.encrypted) {
            throw WorkbookError("无法读取工作簿" + inQuotes(path) +
                                    "：这个OpenDocument电子表格设有打开密码（已加密），本程序无法"
                                    "读取。请在电子表格程序中打开它，取消密码（文件→属性→安全，"
                                    "或另存时不勾选“使用密码保存”）并保存后重试。",
                                WorkbookFault::Encrypted);
        }
    }
    if (package.has("mimetype")) {
        std::string type;
        package.stream("mimetype", [&](const char* data, std::size_t size) {
            if (type.size() < 256) {
                type.append(data, std::min<std::size_t>(size, 256 - type.size()));
            }
        });
        while (!type.empty() &&
               (type.back() == '\n' || type.back() == '\r' || type.back() == ' ')) {
            type.pop_back();
        }
        if (type != kSpreadsheetType && type != std::string(kSpreadsheetType) + "-template") {
            throw WorkbookError("无法读取文件" + inQuotes(path) +
                                    "：它是OpenDocument文档，但不是电子表格（" + type +
                                    "）。请选择一个工作簿（" + extensionList() + "）。",
                                WorkbookFault::NotAWorkbook);
        }
    }
    if (!package.has("content.xml")) {
        damaged(path, "其中缺少工作表的内容（content.xml）");
    }
}

}  // namespace

WorkbookData readOds(const std::string& path, int rowLimit) {
    xlsx::Package package(path);
    checkPackage(package);
    WorkbookData data;
    data.firstSheet.limitRows(rowLimit);
    ContentHandler handler(path, data);
    xlsx::parsePart(package, "content.xml", handler);
    if (data.sheetNames.empty()) {
        throw WorkbookError("无法读取工作簿" + inQuotes(path) +
                            "：其中没有工作表。请添加一个含有数据的工作表后重试。");
    }
    return data;
}

bool isOpenDocumentPackage(const std::string& path) {
    try {
        const xlsx::Package package(path);
        return package.has("mimetype") ||
               (package.has("content.xml") && package.has("META-INF/manifest.xml"));
    } catch (const WorkbookError&) {
        return false;
    }
}

}  // namespace pos::workbook

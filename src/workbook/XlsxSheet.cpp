// A worksheet part (xl/worksheets/sheetN.xml), streamed cell by cell into the
// grid: shared, inline and formula strings, numbers (dates by their format),
// booleans, errors and ISO dates; formulas give their cached result.
#include <charconv>
#include <cmath>

#include "common/IsoDate.h"
#include "common/Unicode.h"
#include "workbook/WorkbookError.h"
#include "workbook/XlsxParts.h"

namespace pos::workbook::xlsx {

std::string cellRefText(int row, int column) {
    std::string letters;
    for (int c = column + 1; c > 0; c = (c - 1) / 26) {
        letters.insert(letters.begin(), static_cast<char>('A' + (c - 1) % 26));
    }
    return letters + std::to_string(row + 1);
}

std::optional<CellRef> parseCellRef(std::string_view ref) {
    std::size_t i = 0;
    long long column = 0;
    while (i < ref.size() &&
           ((ref[i] >= 'A' && ref[i] <= 'Z') || (ref[i] >= 'a' && ref[i] <= 'z'))) {
        column = column * 26 + ((ref[i] | 0x20) - 'a' + 1);
        if (++i > 7) {
            return std::nullopt;
        }
    }
    std::size_t digits = i;
    long long row = 0;
    while (i < ref.size() && ref[i] >= '0' && ref[i] <= '9') {
        row = row * 10 + (ref[i] - '0');
        if (i - digits > 10) {
            return std::nullopt;
        }
        ++i;
    }
    if (digits == 0 || i == digits || i != ref.size() || row == 0) {
        return std::nullopt;
    }
    if (row > kXlsxMaxRows || column > kXlsxMaxColumns) {
        throw WorkbookError("工作簿已损坏：其中有位于" + std::string(ref) +
                                "的单元格，超出了工作表的最后一个单元格（XFD1048576）。" +
                                kSaveAgainAdvice,
                            WorkbookFault::Damaged);
    }
    return CellRef{static_cast<int>(row - 1), static_cast<int>(column - 1)};
}

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string decodeEscapes(std::string_view text) {
    if (text.find("_x") == std::string_view::npos) {
        return std::string(text);
    }
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '_' && i + 6 < text.size() && text[i + 1] == 'x' && text[i + 6] == '_') {
            unsigned cp = 0;
            bool hex = true;
            for (std::size_t k = 2; k < 6; ++k) {
                int d = hexDigit(text[i + k]);
                hex = hex && d >= 0;
                cp = cp * 16 + static_cast<unsigned>(d < 0 ? 0 : d);
            }
            // A lone surrogate cannot be text; leave such an escape as written.
            if (hex && !(cp >= 0xD800 && cp <= 0xDFFF)) {
                appendUtf8(out, cp);
                i += 6;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

namespace {

// Thrown to stop reading a sheet once the rows a caller asked for are read.
struct EnoughRows {};

class SheetHandler : public XmlHandler {
public:
    SheetHandler(const std::vector<SheetData::TextHandle>& strings, const Styles& styles,
                 bool date1904, SheetData& sheet)
        : m_strings(strings), m_styles(styles), m_date1904(date1904), m_sheet(sheet) {}

    void startElement(std::string_view name, const std::vector<Attribute>& attributes) override {
        if (name == "sheetData") {
            m_inSheetData = true;
        } else if (!m_inSheetData) {
            if (name == "dimension") {
                readDimension(attributes);
            }
            return;
        } else if (name == "row") {
            auto r = findAttribute(attributes, "r");
            if (r) {
                int n = 0;
                auto [p, ec] = std::from_chars(r->data(), r->data() + r->size(), n);
                if (ec != std::errc() || p != r->data() + r->size() || n < 1) {
                    damaged("编号为" + inQuotes(std::string(*r)) + "的行");
                }
                if (n > kXlsxMaxRows) {
                    damaged("第" + std::to_string(n) + "行，超出了工作表的1,048,576行");
                }
                m_row = n - 1;
            } else {
                ++m_row;
            }
            m_nextColumn = 0;
            if (m_row >= kXlsxMaxRows) {
                damaged("超过1,048,576行的行，超出了工作表的范围");
            }
        } else if (name == "c") {
            beginCell(attributes);
        } else if (!m_inCell) {
            return;
        } else if (name == "v") {
            m_capture = &m_valueText;
            m_sawValue = true;
        } else if (name == "f") {
            m_hasFormula = true;
        } else if (name == "is") {
            m_inInline = true;
            m_sawInline = true;
        } else if (name == "rPh") {
            ++m_phonetic;
        } else if (name == "t" && m_inInline && m_phonetic == 0) {
            m_capture = &m_inlineText;
        }
    }

    void endElement(std::string_view name) override {
        if (name == "sheetData") {
            m_inSheetData = false;
        } else if (!m_inCell) {
            return;
        } else if (name == "c") {
            endCell();
        } else if (name == "v" || name == "t") {
            m_capture = nullptr;
        } else if (name == "is") {
            m_inInline = false;
        } else if (name == "rPh") {
            --m_phonetic;
        }
    }

    void characters(std::string_view text) override {
        if (m_capture) {
            if (m_capture->size() + text.size() > kMaxCellBytes) {
                damaged("位于" + cellRefText(m_cellRow, m_cellColumn) +
                        "的单元格，其内容超出了单元格可能的长度");
            }
            m_capture->append(text);
        }
    }

private:
    // Four bytes for each of a cell's 32,767 characters, with room for escapes.
    static constexpr std::size_t kMaxCellBytes = std::size_t{32767} * 7;

    [[noreturn]] void damaged(const std::string& what) {
        throw WorkbookError("工作簿已损坏：第一个工作表中有" + what + "。" + kSaveAgainAdvice,
                            WorkbookFault::Damaged);
    }

    void beginCell(const std::vector<Attribute>& attributes) {
        m_inCell = true;
        m_hasFormula = false;
        m_sawValue = false;
        m_inInline = false;
        m_sawInline = false;
        m_phonetic = 0;
        m_capture = nullptr;
        m_valueText.clear();
        m_inlineText.clear();
        m_type = "n";
        m_style = 0;
        if (m_row < 0) {
            m_row = 0;  // a cell outside any <row>: take the first row
        }
        m_cellRow = m_row;
        m_cellColumn = m_nextColumn;
        for (const Attribute& a : attributes) {
            if (a.name == "r") {
                auto ref = parseCellRef(a.value);
                if (!ref) {
                    damaged("名为" + inQuotes(std::string(a.value)) +
                            "的单元格（无效的单元格引用）");
                }
                m_cellRow = ref->row;
                m_cellColumn = ref->column;
            } else if (a.name == "t") {
                m_type = a.value;
            } else if (a.name == "s") {
                auto [p, ec] =
                    std::from_chars(a.value.data(), a.value.data() + a.value.size(), m_style);
                if (ec != std::errc()) {
                    m_style = 0;
                }
            }
        }
        if (m_cellColumn >= kXlsxMaxColumns) {
            damaged("超出工作表最后一列（XFD列）的单元格");
        }
        m_nextColumn = m_cellColumn + 1;
        if (!m_sheet.keepsRow(m_cellRow) && !m_readingOn) {
            stopOrReadOn();
        }
    }

    // The used range as the writer recorded it ("A1:Q1000", or "A1").
    void readDimension(const std::vector<Attribute>& attributes) {
        const auto ref = findAttribute(attributes, "ref");
        if (!ref) {
            return;
        }
        try {
            const std::size_t colon = ref->find(':');
            const auto first = parseCellRef(ref->substr(0, colon));
            const auto last =
                colon == std::string_view::npos ? first : parseCellRef(ref->substr(colon + 1));
            if (first && last && first->row <= last->row && first->column <= last->column) {
                m_dimension = std::make_pair(*first, *last);
            }
        } catch (const WorkbookError&) {
            // A range beyond the sheet's limits says nothing to rely on.
        }
    }

    // At the first cell below the rows the caller keeps: the rest of the sheet
    // is left unread when its recorded range holds every cell met so far,
    // this one included (a writer that records a stale range is caught
    // here); otherwise the sheet is read on, keeping no values, to learn it.
    void stopOrReadOn() {
        const auto covers = [&](int row, int column) {
            return row >= m_dimension->first.row && row <= m_dimension->second.row &&
                   column >= m_dimension->first.column && column <= m_dimension->second.column;
        };
        if (m_dimension && covers(m_cellRow, m_cellColumn) &&
            (m_sheet.isEmpty() || (covers(m_sheet.firstRow(), m_sheet.firstColumn()) &&
                                   covers(m_sheet.lastRow(), m_sheet.lastColumn())))) {
            m_sheet.markFormatted(m_dimension->first.row, m_dimension->first.column);
            m_sheet.markFormatted(m_dimension->second.row, m_dimension->second.column);
            throw EnoughRows{};
        }
        m_readingOn = true;
    }

    void endCell() {
        m_inCell = false;
        if (m_hasFormula && !hasResult()) {
            m_sheet.markWithoutResult(m_cellRow, m_cellColumn);
            return;
        }
        if (placeText()) {
            return;
        }
        std::optional<Value> value = cellValue();
        if (value) {
            reserveGrid();
            m_sheet.setCell(m_cellRow, m_cellColumn, std::move(*value));
        } else if (m_style != 0 || m_hasFormula) {
            m_sheet.markFormatted(m_cellRow, m_cellColumn);
        }
    }

    // Whether a formula cell stores its result. A program that calculates
    // writes a <v> for every formula, an empty one (typed "str") for an
    // empty text; a writer that does not calculate leaves <v> out or empty.
    bool hasResult() const {
        if (m_sawInline) {
            return true;
        }
        if (!m_sawValue) {
            return false;
        }
        return !m_valueText.empty() || m_type == "str";
    }

    // Text cells go into the grid by handle: an inline text is added as it
    // stands, and each shared string is interned once, on its first use,
    // however many cells show it. False for a cell of another kind.
    bool placeText() {
        const std::string_view type = m_type;
        if (type == "inlineStr") {
            if (!m_sawInline) {
                return false;
            }
            if (!m_sheet.keepsRow(m_cellRow)) {
                m_sheet.markFormatted(m_cellRow, m_cellColumn);
                return true;
            }
            reserveGrid();
            // Inline texts are a writer's way of giving each cell its own
            // text, mostly distinct: looking each up among the sheet's texts
            // costs more than keeping the few repeats twice.
            const SheetData::TextHandle handle = m_sheet.addText(
                m_inlineText.find("_x") == std::string::npos ? m_inlineText
                                                             : decodeEscapes(m_inlineText));
            m_sheet.setInterned(m_cellRow, m_cellColumn, handle);
            return true;
        }
        if (type != "s" || m_valueText.empty()) {
            return false;
        }
        std::size_t index = 0;
        auto [p, ec] =
            std::from_chars(m_valueText.data(), m_valueText.data() + m_valueText.size(), index);
        if (ec != std::errc() || index >= m_strings.size()) {
            damaged("位于" + cellRefText(m_cellRow, m_cellColumn) +
                    "的单元格，引用了不存在的共享字符串");
        }
        reserveGrid();
        m_sheet.setInterned(m_cellRow, m_cellColumn, m_strings[index]);
        return true;
    }

    // The grid pads each row up to its last value; refuse a sheet whose padded
    // grid would not fit in memory rather than try to allocate it.
    void reserveGrid() {
        if (!m_sheet.keepsRow(m_cellRow)) {
            return;
        }
        if (m_cellRow != m_gridRow) {
            m_gridRow = m_cellRow;
            m_gridRowWidth = 0;
        }
        if (m_cellColumn + 1 > m_gridRowWidth) {
            m_gridCells += static_cast<std::uint64_t>(m_cellColumn + 1 - m_gridRowWidth);
            m_gridRowWidth = m_cellColumn + 1;
        }
        if (m_gridCells > kMaxGridCells) {
            throw WorkbookError(
                "工作簿第一个工作表的数据分布在太多的单元格中（超过" +
                    std::to_string(kMaxGridCells) +
                    "个），本程序的内存容纳不下。请删除未使用的行和列，或拆分工作表后"
                    "重试。",
                WorkbookFault::TooLarge);
        }
    }

    std::optional<Value> cellValue() {
        // Text cells ("inlineStr", "s") are placed by placeText; one left here
        // holds no text.
        std::string_view type = m_type;
        if (type == "inlineStr" || type == "s") {
            return std::nullopt;
        }
        // A formula without a cached result, or an empty cell.
        if (m_valueText.empty() && type != "str") {
            return std::nullopt;
        }
        if (type == "str") {
            return Value::text(decodeEscapes(m_valueText));
        }
        if (type == "b") {
            return Value::boolean(m_valueText == "1" || m_valueText == "true");
        }
        if (type == "e") {
            auto code = errorCodeOf(m_valueText);
            return Value::error(code ? *code : 0x2A);
        }
        if (type == "d") {
            auto dt = parseIsoDateTime(m_valueText, IsoTail::Ignored);
            if (!dt) {
                damaged("位于" + cellRefText(m_cellRow, m_cellColumn) + "的单元格，其日期" +
                        inQuotes(m_valueText) + "无法识别");
            }
            return Value::dateTime(*dt);
        }
        double number = 0;
        std::string_view v = m_valueText;
        while (!v.empty() && (v.front() == ' ' || v.front() == '+'))
            v.remove_prefix(1);
        while (!v.empty() && v.back() == ' ')
            v.remove_suffix(1);
        auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), number);
        if (ec != std::errc() || p != v.data() + v.size() || !std::isfinite(number)) {
            damaged("位于" + cellRefText(m_cellRow, m_cellColumn) + "的单元格，其数字" +
                    inQuotes(m_valueText) + "无法识别");
        }
        if (m_styles.isDate(m_style)) {
            if (auto dt = serialToDateTime(number, m_date1904)) {
                return Value::dateTime(*dt);
            }
        }
        return Value::floating(number);
    }

    const std::vector<SheetData::TextHandle>& m_strings;
    const Styles& m_styles;
    bool m_date1904;
    SheetData& m_sheet;

    bool m_inSheetData = false;
    int m_row = -1;
    int m_nextColumn = 0;

    bool m_inCell = false;
    int m_cellRow = 0;
    int m_cellColumn = 0;
    std::string m_type;
    int m_style = 0;
    bool m_hasFormula = false;
    bool m_sawValue = false;
    bool m_inInline = false;
    bool m_sawInline = false;
    int m_phonetic = 0;
    std::string* m_capture = nullptr;
    std::string m_valueText;
    std::string m_inlineText;
    std::optional<std::pair<CellRef, CellRef>> m_dimension;
    bool m_readingOn = false;  // below the rows kept, without a range to rely on

    int m_gridRow = -1;
    int m_gridRowWidth = 0;
    std::uint64_t m_gridCells = 0;
};

}  // namespace

void readSheet(Package& package, const std::string& part,
               const std::vector<SheetData::TextHandle>& strings, const Styles& styles,
               bool date1904, SheetData& sheet) {
    SheetHandler handler(strings, styles, date1904, sheet);
    try {
        parsePart(package, part, handler);
    } catch (const EnoughRows&) {
        // The rows asked for are read, and the used range is known.
    }
}

}  // namespace pos::workbook::xlsx

// The cells that a session writes, kept outside memory until the workbook is
// saved, so that writing a large sheet does not grow with its row count. The
// writers replay them in row-major order. Rows and columns count from 0.
// A cell is a text, or a number: kept as its decimal text ("12.5", "1001"),
// or as its value when the session knows that value and the text it shows
// (a number read from the database), so that a writer of binary numbers
// parses nothing and a writer of text formats it only then.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace pos::workbook {

enum class CellKind : std::uint8_t { Text, Number };

// A cell as the spool gives it back, valid during the visit.
class SpooledCell {
public:
    enum class Form : std::uint8_t { Text, NumberText, Float, Integer };

    SpooledCell(int row, int column, Form form, std::string_view payload, std::string& scratch)
        : m_row(row), m_column(column), m_form(form), m_payload(payload), m_scratch(scratch) {}

    int row() const { return m_row; }
    int column() const { return m_column; }
    CellKind kind() const { return m_form == Form::Text ? CellKind::Text : CellKind::Number; }
    // Whether the cell's text is empty (a number kept as its value never is).
    bool empty() const { return m_payload.empty(); }
    // A text, or a number's decimal text.
    std::string_view text() const;
    // A number's value: the nearest double to its decimal text. NaN for a text.
    double number() const;

private:
    int m_row;
    int m_column;
    Form m_form;
    std::string_view m_payload;
    std::string& m_scratch;
};

class CellSpool {
public:
    CellSpool();
    ~CellSpool();
    CellSpool(const CellSpool&) = delete;
    CellSpool& operator=(const CellSpool&) = delete;

    // A number's text is a plain decimal that strtod reads whole.
    void add(int row, int column, std::string_view text, CellKind kind = CellKind::Text);
    // A number kept as its value, whose decimal text is formatFloat(value)
    // (common/Value.h). The caller makes sure that text reads back as the
    // value itself (a zero as +0), so that every writer writes what the text
    // would give.
    void addFloat(int row, int column, double value);
    // A whole number of at most 15 significant digits, kept as its value;
    // its text is its plain decimal digits.
    void addInteger(int row, int column, std::int64_t value);
    bool isEmpty() const;
    // The writes so far (a cell written twice counts twice).
    std::size_t writeCount() const;
    int firstRow() const;  // -1 when empty
    int lastRow() const;
    int firstColumn() const;
    int lastColumn() const;

    // Visits every cell in row-major order; when a cell was written twice the
    // later text wins.
    void forEach(const std::function<void(int row, int column, std::string_view text,
                                          CellKind kind)>& visit) const;
    // The same, for a writer that takes a number as its value.
    void forEachCell(const std::function<void(const SpooledCell& cell)>& visit) const;

private:
    // Room for an entry whose tag carries `small`, with `extra` bytes and a
    // payload of `payload` bytes after its position; where those begin.
    char* append(int row, int column, SpooledCell::Form form, std::uint32_t small,
                 std::size_t extra, std::size_t payload);

    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// The number a Number cell's text stands for (the nearest double), read
// without regard to the process's locale; NaN when the text is no number.
double cellNumber(std::string_view text);

// The characters of a text as spreadsheet programs count them (UTF-16 code
// units); -1 when the text is not valid UTF-8 or holds a NUL, which no
// workbook can carry.
long long countCharacters(std::string_view text);

// A sheet as a writer takes it.
struct SheetToWrite {
    std::string name;
    bool wrapText = false;
    const CellSpool& cells;
};

// The writers, one header each (XlsWriter.h, XlsxWriter.h, OdsWriter.h), take a
// sheet so.

}  // namespace pos::workbook

// The cells that a session writes, kept outside memory until the workbook is
// saved, so that writing a large sheet does not grow with its row count. The
// writers replay them in row-major order. Rows and columns count from 0.
// A cell is a text, or a number kept as its decimal text ("12.5", "1001"),
// which the writers turn into the format's number.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace pos::workbook {

enum class CellKind : std::uint8_t { Text, Number };

class CellSpool {
public:
    CellSpool();
    ~CellSpool();
    CellSpool(const CellSpool&) = delete;
    CellSpool& operator=(const CellSpool&) = delete;

    // A number's text is a plain decimal that strtod reads whole.
    void add(int row, int column, std::string_view text, CellKind kind = CellKind::Text);
    bool isEmpty() const;
    int firstRow() const;  // -1 when empty
    int lastRow() const;
    int firstColumn() const;
    int lastColumn() const;

    // Visits every cell in row-major order; when a cell was written twice the
    // later text wins.
    void forEach(const std::function<void(int row, int column, std::string_view text,
                                          CellKind kind)>& visit) const;

private:
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

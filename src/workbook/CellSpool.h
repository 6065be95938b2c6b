// The cells that a session writes, kept outside memory until the workbook is
// saved, so that writing a large sheet does not grow with its row count. The
// writers replay them in row-major order. Rows and columns count from 0.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace pos::workbook {

class CellSpool {
public:
    CellSpool();
    ~CellSpool();
    CellSpool(const CellSpool&) = delete;
    CellSpool& operator=(const CellSpool&) = delete;

    void add(int row, int column, std::string_view text);
    bool isEmpty() const;
    int firstRow() const;  // -1 when empty
    int lastRow() const;
    int firstColumn() const;
    int lastColumn() const;

    // Visits every cell in row-major order; when a cell was written twice the
    // later text wins.
    void forEach(
        const std::function<void(int row, int column, std::string_view text)>& visit) const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

struct SheetToWrite {
    std::string name;
    bool wrapText = false;
    const CellSpool& cells;
};

// Writers, by format. Each writes the file at `path` directly and throws
// WorkbookError when the sheet exceeds the format's limits (checked before
// anything is written) or the file cannot be written; the session makes the
// save atomic around them.
void writeXls(const std::string& path, const SheetToWrite& sheet);
void writeXlsx(const std::string& path, const SheetToWrite& sheet);

}  // namespace pos::workbook

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

// A sheet as a writer takes it.
struct SheetToWrite {
    std::string name;
    bool wrapText = false;
    const CellSpool& cells;
};

// The writers, one header each (XlsWriter.h, XlsxWriter.h), take a sheet so.

}  // namespace pos::workbook
